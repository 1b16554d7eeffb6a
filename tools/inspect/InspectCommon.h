// What both modes of pavonix-inspect share: JSON text and numbers, and loading a model
// without a window (textures decoded but not uploaded, names resolved from the model's
// folder, a physics world for its rigid bodies).
#pragma once

#include <climits>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "character/LoadModelFile.h"
#include "render/Texture.h"
#include "physics/PhysicsWorld.h"
#include "platform/HostUI.h"
#include "platform/Text.h"

namespace inspect {

// A UTF-8 string as a JSON string.
inline std::string jsonString(const std::string& utf8) {
    std::string out = "\"";
    for (unsigned char ch : utf8) {
        switch (ch) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (ch < 0x20) {
                    char buffer[8];
                    std::snprintf(buffer, sizeof buffer, "\\u%04x", ch);
                    out += buffer;
                } else {
                    out += static_cast<char>(ch);
                }
        }
    }
    return out + "\"";
}

// A CP932 name as a JSON string, or null when empty and emptyIsNull.
inline std::string jsonName(const std::string& cp932, bool emptyIsNull = false) {
    if (cp932.empty() && emptyIsNull) return "null";
    return jsonString(cp932ToUtf8(cp932));
}

// JSON has no NaN or infinity: those print as null so the document stays valid.
inline std::string jsonFloat(float v) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.9g", static_cast<double>(v));
    if (std::strchr(buffer, 'n') || std::strchr(buffer, 'N')) return "null";
    return buffer;
}

// Hands out increasing names, as GL would, without a context.
inline int32_t recordUpload(const DecodedImage&, void* user) {
    int32_t& next = *static_cast<int32_t*>(user);
    return next++;
}
inline void ignoreDelete(uint32_t, void*) {}

// Loads a model and tells what the load met on standard error, as the viewer would with
// its dialogs off: each warning (with its caption when it has one), then a refusal as
// "FILE: REASON".
inline bool loadModelTelling(cModel& model, const char* path, ModelFileInfo* info = nullptr,
                             PhysicsWorld* world = nullptr) {
    const LoadResult result = loadModel(model, path, info, world);
    for (const LoadProblem& w : result.warnings()) {
        if (!w.section.empty()) {
            showMessage(w.section.c_str(), w.what.c_str());
        } else {
            std::fprintf(stderr, "%s\n", w.what.c_str());
        }
    }
    if (!result) std::fprintf(stderr, "%s: %s\n", result.problem().file.c_str(), refusalText(result.problem()).c_str());
    return result.ok();
}

// Moves into the model's folder (its texture names are relative to it), installs the
// window-less texture hooks and creates the physics world; absolutePath receives the
// model's full path. False after a message.
inline bool prepareModelLoad(const char* path, std::string& absolutePath) {
    char absolute[PATH_MAX];
    if (!realpath(path, absolute)) {
        std::fprintf(stderr, "pavonix-inspect: %s: cannot open: %s\n", path, std::strerror(errno));
        return false;
    }
    absolutePath = absolute;
    std::string folder = absolute;
    folder.erase(folder.find_last_of('/') + 1);
    if (chdir(folder.c_str()) != 0) {
        std::fprintf(stderr, "pavonix-inspect: %s: cannot enter its folder\n", path);
        return false;
    }
    static int32_t nextName = 1;
    setTextureUploader(recordUpload, &nextName);
    setTextureDeleter(ignoreDelete, nullptr);
    return true;
}

}  // namespace inspect
