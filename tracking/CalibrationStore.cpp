// The per-frame-size calibration file.

#include "tracking/CalibrationStore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr long kRecordBytes = static_cast<long>(sizeof(CameraParam));

bool plausible(const CameraParam& p) {
    if (p.width <= 0 || p.height <= 0 || p.width > 65536 || p.height > 65536) return false;
    for (const auto& row : p.projection)
        for (double v : row)
            if (!std::isfinite(v)) return false;
    for (double v : p.distortion)
        if (!std::isfinite(v)) return false;
    return p.projection[0][0] != 0.0 && p.projection[1][1] != 0.0 && p.projection[2][2] != 0.0 &&
           p.distortion[3] > 0.0;
}

// mkdir -p for the folder holding path.
bool makeFolderFor(const std::string& path, std::string* error) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string folder = path.substr(0, slash);
        if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
            *error = folder + ": cannot make the folder: " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

}  // namespace

std::string userCalibrationPath(const char* xdgConfigHome, const char* home) {
    // The XDG rules ignore a relative XDG_CONFIG_HOME.
    if (xdgConfigHome != nullptr && xdgConfigHome[0] == '/') return std::string(xdgConfigHome) + "/pavonix/camera_para.dat";
    if (home != nullptr && home[0] != '\0') return std::string(home) + "/.config/pavonix/camera_para.dat";
    return {};
}

std::string userCalibrationPath() { return userCalibrationPath(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME")); }

LoadResult loadCalibrationRecords(const std::string& path, std::vector<CameraParam>* records) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return LoadResult::refuse(std::string("cannot open the calibration file: ") + std::strerror(errno))
            .inFile(path);
    if (!S_ISREG(info.st_mode)) return LoadResult::refuse("not a calibration file (not a regular file)").inFile(path);
    const long long size = info.st_size;
    if (size < kRecordBytes || size % kRecordBytes != 0) {
        return LoadResult::refuse("not a calibration file: " + std::to_string(size) +
                                  " bytes, not a whole number of 136-byte records")
            .inFile(path);
    }
    const int count = static_cast<int>(size / kRecordBytes);
    std::vector<CameraParam> read(static_cast<size_t>(count));
    LoadResult result = loadCameraParam(path.c_str(), count, &read[0], count > 1 ? &read[1] : nullptr);
    if (!result) return result;
    for (int i = 0; i < count; ++i) {
        if (!plausible(read[static_cast<size_t>(i)]))
            return LoadResult::refuse("record " + std::to_string(i + 1) +
                                      " is not a camera calibration (its frame size, projection or distortion "
                                      "values make no sense)")
                .inFile(path);
    }
    *records = std::move(read);
    return {};
}

const CameraParam& calibrationForSize(const std::vector<CameraParam>& records, int width, int height) {
    for (const CameraParam& r : records)
        if (r.width == width && r.height == height) return r;
    return records.front();
}

bool saveCalibrationForSize(const std::string& path, const CameraParam& param, std::string* error) {
    if (path.empty()) {
        *error = "nowhere to save the calibration (neither XDG_CONFIG_HOME nor HOME is set)";
        return false;
    }
    std::vector<CameraParam> records;
    // A file that cannot be read is replaced; one that can keeps its other sizes.
    if (access(path.c_str(), F_OK) == 0 && !loadCalibrationRecords(path, &records)) records.clear();
    std::vector<CameraParam> kept{param};  // the newest first, where single-record readers look
    for (const CameraParam& r : records)
        if (r.width != param.width || r.height != param.height) kept.push_back(r);
    records.swap(kept);
    if (!makeFolderFor(path, error)) return false;
    const std::string temporary = path + ".new";
    if (saveCameraParam(temporary.c_str(), static_cast<int>(records.size()), records.data()) != 0) {
        *error = temporary + ": cannot write the calibration: " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        *error = path + ": cannot replace the calibration: " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}
