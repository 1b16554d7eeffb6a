// Calibration files holding one record per frame size: the user's own calibration made
// in the viewer, kept in $XDG_CONFIG_HOME/pavonix/camera_para.dat (~/.config when
// XDG_CONFIG_HOME is unset), and any file given with --calibration. The first record is
// what a reader of single-record files sees, so such files stay readable everywhere.
#pragma once

#include <string>
#include <vector>

#include "base/LoadResult.h"
#include "tracking/CameraParam.h"

// Where the viewer keeps the calibration it made; empty when neither XDG_CONFIG_HOME
// nor HOME is set. xdgConfigHome and home are the variables' values (null when unset).
std::string userCalibrationPath(const char* xdgConfigHome, const char* home);
// The same from the environment.
std::string userCalibrationPath();

// Every record of the file. Refused when it cannot be read, holds no whole record,
// its length is not a whole number of records, or a record cannot be a calibration
// (a frame size or focal length that is not positive, numbers that are not finite).
LoadResult loadCalibrationRecords(const std::string& path, std::vector<CameraParam>* records);

// The record made for width x height, else the first (which the caller scales).
const CameraParam& calibrationForSize(const std::vector<CameraParam>& records, int width, int height);

// Stores param as the record for its frame size, first in the file: replaces the record
// of that size, keeps the others, makes the folder when needed. Written beside the file and renamed
// over it, so a failure leaves the old file whole. False with the reason in *error.
bool saveCalibrationForSize(const std::string& path, const CameraParam& param, std::string* error);
