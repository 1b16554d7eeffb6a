// The default face list as text (CP932, or UTF-8 converted first) and its compaction
// into distinct names with one track each.
#include <cstring>

#include "FuzzSupport.h"
#include "animation/Morph.h"
#include "animation/Motion.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MotionData motion;
    setDefaultFaces(motion, reinterpret_cast<const char*>(data), size);
    // Every stored name is terminated inside the text.
    const char* p = motion.defaultFaceText;
    for (int32_t i = 0; i < motion.defaultFaceCount; ++i) {
        if (!p) __builtin_trap();
        p += std::strlen(p) + 1;
    }
    int32_t faces = 0;
    for (const FaceTrack* t = motion.faceTracks; t; t = t->next, ++faces)
        if (t->keyCount != 1 || std::memchr(t->name, 0, sizeof t->name) == nullptr) __builtin_trap();
    if (faces != motion.faceTrackCount || faces > motion.defaultFaceCount) __builtin_trap();
    return 0;
}
