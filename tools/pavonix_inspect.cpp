// pavonix-inspect: prints what Pavonix reads from a model file, as JSON, without a
// window. Textures are decoded but not uploaded, so "textureLoaded" says whether the
// file named by the model was found and decoded.
//
//   pavonix-inspect MODEL
//   pavonix-inspect MOTION.vmd                      (motion summary)
//   pavonix-inspect MODEL --pose MOTION --frame F   (posed bones)
//   pavonix-inspect MODEL --pose MOTION --frame F --physics
//                                                   (posed with the rigid bodies simulated)
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "render/ModelDraw.h"
#include "character/LoadModelFile.h"
#include "render/Texture.h"
#include "physics/PhysicsWorld.h"
#include "platform/Text.h"
#include "inspect/InspectCommon.h"

#if __has_include("inspect/InspectMotion.h")
#include "inspect/InspectMotion.h"
#define PAVONIX_INSPECT_MOTION 1
#endif

namespace {

using inspect::jsonFloat;
using inspect::jsonName;

void printModel(const cModel& model, const ModelFileInfo& info) {
    std::printf("{\n  \"format\": \"%s\",\n", model.format == 0 ? "pmd" : "pmx");
    std::printf("  \"version\": %.1f,\n", static_cast<double>(info.version));
    std::printf("  \"name\": %s,\n", jsonName(model.name, false).c_str());
    std::printf("  \"counts\": {\"vertices\": %u, \"indices\": %u, \"materials\": %u, \"bones\": %u, "
                "\"ikChains\": %u, \"morphs\": %u, \"rigidBodies\": %u, \"joints\": %u},\n",
                model.vertexCount, model.indexCount(), model.materialCount(), model.boneCount(),
                static_cast<unsigned>(model.ikCount()), static_cast<unsigned>(model.morphCount()),
                static_cast<unsigned>(model.rigidBodyDefs.size()), static_cast<unsigned>(model.jointDefs.size()));

    std::printf("  \"materials\": [");
    for (uint32_t i = 0; i < model.materialCount(); ++i) {
        const Material& m = model.materials[i];
        const MaterialTextures& t = i < model.textures.materials.size() ? model.textures.materials[i] : MaterialTextures{};
        const ModelFileInfo::MaterialTextures names =
            i < info.materials.size() ? info.materials[i] : ModelFileInfo::MaterialTextures{};
        std::printf("%s\n    {\"indexCount\": %d, \"flags\": %u, \"texture\": %s, \"textureLoaded\": %s, "
                    "\"sphere\": %s, \"sphereLoaded\": %s, \"sphereMode\": %u}",
                    i ? "," : "", m.indexCount, static_cast<unsigned>(m.drawFlags),
                    jsonName(names.texture, true).c_str(), t.texture != -1 ? "true" : "false",
                    jsonName(names.sphere, true).c_str(), t.sphere != -1 ? "true" : "false",
                    static_cast<unsigned>(t.sphereMode));
    }
    std::printf("%s],\n", model.materialCount() ? "\n  " : "");

    std::printf("  \"bones\": [");
    for (uint32_t i = 0; i < model.boneCount(); ++i) {
        const cBone& b = model.bones[i];
        const long parent = b.parent ? static_cast<long>(b.parent - model.bones.data()) : -1;
        std::printf("%s\n    {\"name\": %s, \"parent\": %ld, \"restPosition\": [%s, %s, %s]}", i ? "," : "",
                    jsonName(b.name, false).c_str(), parent, jsonFloat(b.restPosition[0]).c_str(),
                    jsonFloat(b.restPosition[1]).c_str(), jsonFloat(b.restPosition[2]).c_str());
    }
    std::printf("%s],\n", model.boneCount() ? "\n  " : "");

    std::printf("  \"morphs\": [");
    for (uint32_t i = 0; i < model.morphCount(); ++i) {
        const cMorph& m = model.morphs[i];
        std::printf("%s\n    {\"name\": %s, \"entries\": %d}", i ? "," : "", jsonName(m.name, false).c_str(),
                    m.vertexCount);
    }
    std::printf("%s]\n}\n", model.morphCount() ? "\n  " : "");
}

int inspectModel(const char* path) {
    // Texture names are relative to the model's folder, as when the viewer opens it.
    std::string absolutePath;
    if (!inspect::prepareModelLoad(path, absolutePath)) return 1;
    const char* absolute = absolutePath.c_str();

    static cModel model;  // large; one per run
    ModelFileInfo info;
    PhysicsWorld world;
    const bool ok = inspect::loadModelTelling(model, absolute, &info, &world);
    if (ok) printModel(model, info);
    destroyModel(model);
    return ok ? 0 : 1;
}

bool endsWith(const char* text, const char* ending) {
    const std::size_t n = std::strlen(text), m = std::strlen(ending);
    return n >= m && strcasecmp(text + n - m, ending) == 0;
}

int usage() {
    std::fprintf(stderr,
                 "usage: pavonix-inspect MODEL\n"
                 "       pavonix-inspect MOTION.vmd\n"
                 "       pavonix-inspect MODEL --pose MOTION --frame F [--physics]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    // Messages go to standard error only: this tool never opens a window.
    setenv("PAVONIX_NO_DIALOGS", "1", 1);

    const char* path = nullptr;
    const char* posePath = nullptr;
    int frame = 0;
    bool physics = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--pose") == 0 && i + 1 < argc) {
            posePath = argv[++i];
        } else if (std::strcmp(argv[i], "--frame") == 0 && i + 1 < argc) {
            char* end = nullptr;
            const long value = std::strtol(argv[++i], &end, 10);
            if (!end || *end || value < 0 || value > INT_MAX) return usage();
            frame = static_cast<int>(value);
        } else if (std::strcmp(argv[i], "--physics") == 0) {
            physics = true;
        } else if (!path && argv[i][0] != '-') {
            path = argv[i];
        } else {
            return usage();
        }
    }
    if (!path) return usage();
    if (physics && !posePath) {
        std::fprintf(stderr, "pavonix-inspect: --physics needs --pose MOTION\n");
        return usage();
    }

    // ---- Motion modes: the motion inspector plugs in here. ----
#ifdef PAVONIX_INSPECT_MOTION
    if (posePath) return inspectPose(path, posePath, frame, physics);
    if (endsWith(path, ".vmd")) return inspectMotion(path);
#else
    if (posePath || endsWith(path, ".vmd")) {
        std::fprintf(stderr, "pavonix-inspect: motion inspection is not built in\n");
        (void)frame;
        (void)physics;
        return 2;
    }
#endif
    return inspectModel(path);
}
