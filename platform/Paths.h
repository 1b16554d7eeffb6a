// Where the program lives and how texture names from models become openable paths.
#pragma once

#include <string>

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
