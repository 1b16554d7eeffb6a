// The executable's folder, and texture names from Windows-made models turned into
// paths that exist on a case-sensitive file system.

#include "platform/Paths.h"

#include "platform/Text.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

}  // namespace

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
