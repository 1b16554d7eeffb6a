// Where the program lives, where its data and its output go, and how texture names
// from models become openable paths.
#pragma once

#include <string>
#include <vector>

// Folder of the running executable (from /proc/self/exe), without a trailing '/'.
// Empty when it cannot be determined.
std::string executableDir();

// Turns a CP932 texture name as a model gives it into a UTF-8 path that exists:
// decodes CP932, turns '\' into '/', resolves against the current directory and, when
// the file does not exist as written, matches each path component case-insensitively.
// Returns the best path found (the decoded path itself when nothing matches).
std::string resolveTexturePath(const char* cp932Name);

// Case-insensitive resolution of a UTF-8 path, component by component.
// Returns true and the existing path when one is found.
bool resolvePathCaseInsensitive(const std::string& utf8Path, std::string& resolved);

// The folder holding the calibration, the pattern and the video configuration. Looked
// for in this order: $PAVONIX_DATA, Data/ in the current folder, Data/ beside the
// executable or one level above it (a build tree), and share/pavonix of the prefix the
// executable is installed in (EXE/../share/pavonix). A folder counts when it holds at
// least one of the start-up files, so an unrelated ~/Data is passed over; $PAVONIX_DATA,
// being the user's explicit choice, is never passed over.
struct DataFolder {
    std::string path;                   // empty when none was found
    std::string origin;                 // how it was found, for messages
    std::vector<std::string> searched;  // every place looked at, in order, for messages
    std::string problem;                // why nothing was found (empty on success)
};

// env: the value of PAVONIX_DATA (null when unset); exeDir: the executable's folder.
DataFolder findDataFolder(const char* env, const std::string& exeDir);
// The same for the running program (reads the environment and /proc/self/exe).
DataFolder programDataFolder();
// folder/leaf, or Data/leaf when no folder was found (so messages still name the file).
std::string dataFilePath(const DataFolder& folder, const char* leaf);
// "FILE: reason (data folder D, found as ORIGIN)" or, without a folder, the places
// searched: the text shown when a data file cannot be read.
std::string describeDataFileProblem(const DataFolder& folder, const std::string& file, const std::string& reason);

// Where screenshots and recordings go: preferred when it is a writable folder, else the
// current folder, $XDG_PICTURES_DIR, $HOME. *note (when given) is set to a sentence
// saying where the files go instead, or cleared when preferred is used.
std::string chooseOutputFolder(const std::string& preferred, std::string* note);
