// Motion modes of pavonix-inspect, as JSON on standard output:
//
//   inspectMotion(MOTION)           the tracks as the reader filled them (with the default
//                                   faces of a default_face.txt in the current directory):
//                                   {"lastFrame": F, "boneTracks": [{"name", "keys",
//                                   "firstFrame", "lastFrame"}, ...], "faceTracks": [...]}
//   inspectPose(MODEL, MOTION, F)   the model posed at frame F: the motion is bound, played
//                                   with elapsed 1 exactly F times and once with elapsed 0,
//                                   then skinned without the rigid-body write-back and
//                                   without head turning: {"bones": [{"name", "matrix"}],
//                                   "positions": [[x, y, z], ...]}; matrices are the bones'
//                                   model-space globalMatrix, column-major.
//   inspectPose(MODEL, MOTION, F, true)  the same run with the rigid bodies: the motion
//                                   starts as the viewer starts it (frame 0 posed, bodies
//                                   reset), then each of the frames 0 .. F-1 is posed, its
//                                   1/30 s simulated and the model skinned with the bodies'
//                                   write-back and the bones posed after physics; last,
//                                   frame F is posed and skinned with the bodies as they are.
//
// Names are printed as UTF-8. Both return the process status (0 success, 1 failure).
#pragma once

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "animation/Morph.h"
#include "animation/Motion.h"
#include "animation/MotionPlayer.h"
#include "animation/Skeleton.h"
#include "render/ModelDraw.h"
#include "character/LoadModelFile.h"
#include "render/Texture.h"
#include "physics/PhysicsWorld.h"
#include "physics/ModelBodies.h"
#include "character/ModelFrame.h"
#include "platform/Text.h"
#include "inspect/InspectCommon.h"

namespace inspect_motion {

inline std::string jsonText(const char* cp932) { return inspect::jsonName(cp932); }
inline std::string jsonNumber(float v) { return inspect::jsonFloat(v); }

template <typename Track>
void printTracks(const char* label, const Track* head) {
    std::printf("  \"%s\": [", label);
    bool first = true;
    for (const Track* t = head; t; t = t->next) {
        const float firstFrame = t->keyCount > 0 ? t->keys[0].frame : 0.0f;
        const float lastFrame = t->keyCount > 0 ? t->keys[t->keyCount - 1].frame : 0.0f;
        std::printf("%s\n    {\"name\": %s, \"keys\": %d, \"firstFrame\": %s, \"lastFrame\": %s}", first ? "" : ",",
                    jsonText(t->name).c_str(), t->keyCount, jsonNumber(firstFrame).c_str(),
                    jsonNumber(lastFrame).c_str());
        first = false;
    }
    std::printf("%s]", head ? "\n  " : "");
}

}  // namespace inspect_motion

// Reads the motion, its refusal and warnings on standard error as the viewer prints them.
inline bool readMotion(const char* path, MotionData& motion) {
    const LoadResult result = loadVMDFile(path, motion);
    for (const LoadProblem& warning : result.warnings()) std::fprintf(stderr, "%s\n", warning.text().c_str());
    if (!result) std::fprintf(stderr, "%s\n", result.problem().text().c_str());
    return result.ok();
}

inline int inspectMotion(const char* path) {
    static MotionData motion;  // large enough to keep off the stack
    std::string facesProblem;
    if (!loadDefaultFaces(motion, kDefaultFaceFile, &facesProblem) && !facesProblem.empty())
        std::fprintf(stderr, "%s\n", facesProblem.c_str());
    if (!readMotion(path, motion)) return 1;
    std::printf("{\n  \"lastFrame\": %s,\n", inspect_motion::jsonNumber(motion.lastFrame).c_str());
    inspect_motion::printTracks("boneTracks", motion.boneTracks);
    std::printf(",\n");
    inspect_motion::printTracks("faceTracks", motion.faceTracks);
    std::printf("\n}\n");
    return 0;
}

inline int inspectPose(const char* modelPath, const char* motionPath, int frame, bool physics = false) {
    using namespace inspect_motion;
    // The motion and the default faces are named relative to where the tool was started;
    // the model's textures relative to the model's folder.
    static MotionData motion;
    std::string facesProblem;
    if (!loadDefaultFaces(motion, kDefaultFaceFile, &facesProblem) && !facesProblem.empty())
        std::fprintf(stderr, "%s\n", facesProblem.c_str());
    if (!readMotion(motionPath, motion)) return 1;
    std::string absolutePath;
    if (!inspect::prepareModelLoad(modelPath, absolutePath)) return 1;
    const char* absolute = absolutePath.c_str();
    PhysicsWorld world;
    static cModel model;
    const bool ok = inspect::loadModelTelling(model, absolute, nullptr, &world);
    if (ok) {
        bindMotion(model.motion, model, motion);
        if (physics) {
            updateModelPose(model, 0.0f);
            resetRigidBodies(model.physics);
            skinModel(model);
            for (int i = 0; i < frame; ++i) {
                updateModelPose(model, 1.0f);
                world.step(1.0f);
                skinModel(model);
            }
            // Frame F itself, as the kinematic run poses it; the bodies keep the F frames
            // of time they were simulated.
            updateModelPose(model, 0.0f);
            skinModel(model);
        } else {
            for (int i = 0; i < frame; ++i) updateModelPose(model, 1.0f);
            updateModelPose(model, 0.0f);
            skinVertices(model);
        }

        std::printf("{\n  \"bones\": [");
        for (uint32_t i = 0; i < model.boneCount(); ++i) {
            const cBone& b = model.bones[i];
            std::printf("%s\n    {\"name\": %s, \"matrix\": [", i ? "," : "", jsonText(b.name).c_str());
            for (int k = 0; k < 16; ++k) std::printf("%s%s", k ? ", " : "", jsonNumber(b.globalMatrix[k]).c_str());
            std::printf("]}");
        }
        std::printf("%s],\n  \"positions\": [", model.boneCount() ? "\n  " : "");
        for (uint32_t v = 0; v < model.vertexCount; ++v) {
            const float* p = model.skin.positions.data() + 3 * std::size_t(v);
            std::printf("%s\n    [%s, %s, %s]", v ? "," : "", jsonNumber(p[0]).c_str(), jsonNumber(p[1]).c_str(),
                        jsonNumber(p[2]).c_str());
        }
        std::printf("%s]\n}\n", model.vertexCount ? "\n  " : "");
    }
    destroyModel(model);
    return ok ? 0 : 1;
}
