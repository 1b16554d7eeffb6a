#include "render/ToonTexture.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "render/Texture.h"
#include "platform/Paths.h"
#include "platform/Text.h"

namespace {

bool isFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool isFolder(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Loading a model makes its folder the current directory, so the start-up directory is
// captured before main runs.
std::string startDirectory() {
    char buffer[4096];
    return getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string();
}
const std::string g_startDirectory = startDirectory();

// The folder of the shared toon ramps, found on first use unless the program chose one.
struct ToonFolder {
    std::string path;
    bool chosen = false;
};
ToonFolder g_toonFolder;

std::string findToonFolder() {
    if (const char* env = std::getenv("PAVONIX_TOON_DIR")) {
        if (*env) return env;
    }
    if (!g_startDirectory.empty() && isFolder(g_startDirectory + "/Data/toon")) return g_startDirectory + "/Data/toon";
    // The ramps travel with the rest of the data, so wherever the calibration is found
    // (an installed share/pavonix among them) they are too.
    const DataFolder data = programDataFolder();
    if (!data.path.empty() && isFolder(data.path + "/toon")) return data.path + "/toon";
    const std::string exe = executableDir();
    if (!exe.empty()) {
        if (isFolder(exe + "/Data/toon")) return exe + "/Data/toon";
        if (isFolder(exe + "/../../Data/toon")) return exe + "/../../Data/toon";
    }
    return "Data/toon";
}

// The shared ramps are known by name whatever the case the model writes it in.
int sharedToonIndex(const std::string& utf8Name) {
    const std::size_t slash = utf8Name.find_last_of("/\\");
    const std::string leaf = slash == std::string::npos ? utf8Name : utf8Name.substr(slash + 1);
    for (int i = 0; i < kSharedToonCount; ++i) {
        if (strcasecmp(leaf.c_str(), sharedToonName(i).c_str()) == 0) return i;
    }
    return -1;
}

}  // namespace

void setDefaultToonFolder(const std::string& utf8Folder) {
    g_toonFolder.path = utf8Folder;
    g_toonFolder.chosen = true;
}

const std::string& defaultToonFolder() {
    if (!g_toonFolder.chosen) setDefaultToonFolder(findToonFolder());
    return g_toonFolder.path;
}

std::string sharedToonName(int index) {
    if (index < 0 || index >= kSharedToonCount) return std::string();
    char name[16];
    std::snprintf(name, sizeof name, "toon%02d.bmp", index + 1);
    return name;
}

int32_t acquireToonTexture(TextureCache& cache, const char* cp932Name, std::vector<LoadProblem>* problems) {
    auto tell = [problems](std::string line) {
        if (problems) problems->push_back(LoadProblem{std::move(line), {}, {}});
    };
    if (!cp932Name || !*cp932Name) return -1;
    if (isFile(resolveTexturePath(cp932Name))) {
        std::string reason;
        const int32_t name = acquireTexture(cache, cp932Name, &reason);
        if (name == -1) tell(reason);
        return name;
    }
    const int shared = sharedToonIndex(cp932ToUtf8(cp932Name));
    if (shared >= 0) {
        const std::string ours = defaultToonFolder() + "/" + sharedToonName(shared);
        if (isFile(ours)) return acquireTexture(cache, utf8ToCp932(ours).c_str());
        tell(ours + ": toon ramp missing (needed for " + cp932ToUtf8(cp932Name) + ")");
        return -1;
    }
    tell(cp932ToUtf8(cp932Name) + ": toon ramp not found; the material is drawn without it");
    return -1;
}
