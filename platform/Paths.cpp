// The executable's folder, the data and output folders, and texture names from
// Windows-made models turned into paths that exist on a case-sensitive file system.

#include "platform/Paths.h"

#include "platform/Text.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool exists(const std::string& path) {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0;
}

bool equalIgnoringAsciiCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

std::string join(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    if (folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

// The entry of folder whose name equals name apart from letter case. Several such
// entries (possible on Linux) are settled by byte order, so the choice is stable.
bool findEntryIgnoringCase(const std::string& folder, const std::string& name, std::string& entry) {
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr) return false;
    std::vector<std::string> matches;
    while (dirent* e = readdir(dir)) {
        const std::string candidate = e->d_name;
        if (equalIgnoringAsciiCase(candidate, name)) matches.push_back(candidate);
    }
    closedir(dir);
    if (matches.empty()) return false;
    entry = *std::min_element(matches.begin(), matches.end());
    return true;
}

bool isFolder(const std::string& path) {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isWritableFolder(const std::string& path) { return isFolder(path) && access(path.c_str(), W_OK | X_OK) == 0; }

const char* const kStartupFiles[] = {"camera_para.dat", "patt.00", "WDM_camera_flipV.xml"};

bool holdsStartupFile(const std::string& folder) {
    for (const char* leaf : kStartupFiles) {
        if (exists(join(folder, leaf))) return true;
    }
    return false;
}

// "a/b/../c" stays as it is for the file system, but messages read better without the
// "..": the canonical form is used when the folder exists.
std::string tidy(const std::string& path) {
    char buffer[PATH_MAX];
    if (realpath(path.c_str(), buffer)) return buffer;
    return path;
}

std::string currentFolder() {
    char buffer[PATH_MAX];
    return getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string(".");
}

}  // namespace

DataFolder findDataFolder(const char* env, const std::string& exeDir) {
    DataFolder found;
    if (env && *env) {
        const std::string given = env;
        found.searched.push_back(given + " (PAVONIX_DATA)");
        if (isFolder(given)) {
            found.path = given;
            found.origin = "PAVONIX_DATA";
        } else {
            found.problem = std::string("PAVONIX_DATA names \"") + given + "\", which is not a folder";
        }
        return found;
    }
    found.searched.push_back("PAVONIX_DATA (not set)");
    struct Candidate {
        std::string path;
        const char* origin;
    };
    std::vector<Candidate> candidates;
    candidates.push_back({currentFolder() + "/Data", "Data/ in the current folder"});
    if (!exeDir.empty()) {
        candidates.push_back({join(exeDir, "Data"), "Data/ beside the program"});
        candidates.push_back({tidy(join(exeDir, "..")) + "/Data", "Data/ above the program"});
        candidates.push_back({tidy(join(exeDir, "..")) + "/share/pavonix", "the installed data"});
    }
    for (const Candidate& c : candidates) {
        found.searched.push_back(c.path);
        if (isFolder(c.path) && holdsStartupFile(c.path)) {
            found.path = c.path;
            found.origin = c.origin;
            return found;
        }
    }
    found.problem = "no data folder holding camera_para.dat, patt.00 or WDM_camera_flipV.xml was found";
    return found;
}

DataFolder programDataFolder() { return findDataFolder(std::getenv("PAVONIX_DATA"), executableDir()); }

std::string dataFilePath(const DataFolder& folder, const char* leaf) {
    return join(folder.path.empty() ? std::string("Data") : folder.path, leaf);
}

std::string describeDataFileProblem(const DataFolder& folder, const std::string& file, const std::string& reason) {
    if (folder.path.empty()) {
        std::string text = folder.problem + "; looked in:";
        for (const std::string& place : folder.searched) text += "\n  " + place;
        text += "\nSet PAVONIX_DATA to the folder that holds camera_para.dat and patt.00.";
        return text;
    }
    return file + ": " + reason + " (data folder " + folder.path + ", found as " + folder.origin + ")";
}

std::string chooseOutputFolder(const std::string& preferred, std::string* note) {
    if (note) note->clear();
    if (isWritableFolder(preferred)) return preferred;
    std::vector<std::string> fallbacks = {currentFolder()};
    if (const char* pictures = std::getenv("XDG_PICTURES_DIR"); pictures && *pictures) fallbacks.push_back(pictures);
    if (const char* home = std::getenv("HOME"); home && *home) fallbacks.push_back(home);
    for (const std::string& folder : fallbacks) {
        if (!isWritableFolder(folder)) continue;
        if (note) *note = "the folder " + preferred + " cannot be written; saving into " + folder + " instead";
        return folder;
    }
    // Nothing writable: keep the preferred folder so the failure names it.
    if (note) *note = "no writable folder found for the output (tried " + preferred + ", the current folder, $HOME)";
    return preferred;
}

std::string executableDir() {
    std::vector<char> buffer(256);
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) return std::string();
        if (static_cast<std::size_t>(n) < buffer.size()) {
            const std::string path(buffer.data(), static_cast<std::size_t>(n));
            const std::size_t slash = path.rfind('/');
            if (slash == std::string::npos) return std::string();
            return slash == 0 ? std::string("/") : path.substr(0, slash);
        }
        if (buffer.size() >= (1u << 16)) return std::string();  // no sane path is this long
        buffer.resize(buffer.size() * 2);
    }
}

bool resolvePathCaseInsensitive(const std::string& utf8Path, std::string& resolved) {
    if (utf8Path.empty()) return false;
    if (exists(utf8Path)) {
        resolved = utf8Path;
        return true;
    }

    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= utf8Path.size()) {
        std::size_t slash = utf8Path.find('/', start);
        if (slash == std::string::npos) slash = utf8Path.size();
        const std::string part = utf8Path.substr(start, slash - start);
        if (!part.empty() && part != ".") parts.push_back(part);
        start = slash + 1;
    }
    if (parts.empty()) return false;

    std::string current = utf8Path[0] == '/' ? "/" : "";
    for (const std::string& part : parts) {
        const std::string exact = join(current, part);
        if (part == ".." || exists(exact)) {
            current = exact;
            continue;
        }
        std::string entry;
        if (!findEntryIgnoringCase(current, part, entry)) return false;
        current = join(current, entry);
    }
    if (!exists(current)) return false;
    resolved = current;
    return true;
}

std::string resolveTexturePath(const char* cp932Name) {
    if (cp932Name == nullptr || *cp932Name == '\0') return std::string();
    // Decode first: the second byte of a CP932 character can be 0x5C, which is only a
    // backslash when it stands alone.
    std::string path = cp932ToUtf8(cp932Name);
    std::replace(path.begin(), path.end(), '\\', '/');
    std::string resolved;
    if (resolvePathCaseInsensitive(path, resolved)) return resolved;
    return path;
}
