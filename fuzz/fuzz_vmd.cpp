// VMD bytes into a motion that already carries default faces, as the program loads them.
#include "FuzzSupport.h"
#include "animation/Morph.h"
#include "animation/Motion.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::noDialogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char kFaces[] = "\x82\xdc\x82\xce\x82\xbd\n\x82\xa0\n";  // two CP932 names
    MotionData motion;
    setDefaultFaces(motion, kFaces, sizeof kFaces - 1);
    const LoadResult result = parseVMD(motion, data, size, "fuzz.vmd");
    // A refusal says why; an offset it names lies in the file.
    if (!result && result.problem().what.empty()) __builtin_trap();
    for (const LoadProblem& warning : result.warnings())
        if (warning.offset != LoadProblem::kNoOffset && warning.offset > size) __builtin_trap();
    // Walk what was built: counts must match the lists.
    int32_t bones = 0, faces = 0;
    for (const BoneTrack* t = motion.boneTracks; t; t = t->next, ++bones)
        for (int32_t k = 0; k < t->keyCount; ++k) (void)t->keys[k].frame;
    for (const FaceTrack* t = motion.faceTracks; t; t = t->next, ++faces)
        for (int32_t k = 0; k < t->keyCount; ++k) (void)t->keys[k].weight;
    if (bones != motion.boneTrackCount || faces != motion.faceTrackCount) __builtin_trap();
    return 0;
}
