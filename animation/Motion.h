// Keyframe tracks of one VMD motion file ("Vocaloid Motion Data 0002"), plus the default
// face names that every motion of a model slot wears from frame 0.
//
// Layout: the records below keep the byte sizes the playback code and the tools rely on
// (BoneKey 320 bytes, CurveTable 72, FaceKey 8). Tracks are singly linked, newest first;
// each owns its key array (malloc). MotionData owns its tracks and its default face text
// and frees both in its destructor.
//
// Frames are VMD frames (30 per second). Positions and rotations are the file's values in
// the model's own coordinate space; rotations are quaternions (x, y, z, w), unit, w >= 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "animation/IkSwitchKeys.h"
#include "base/LoadResult.h"

// Bytes of a track name in the file; a name of exactly this length has no terminator.
constexpr std::size_t kVmdNameBytes = 15;
// Samples of a pre-computed interpolation curve, at x = 0, 1/16, ..., 16/16.
constexpr int kCurveSamples = 17;

// An interpolation curve sampled once at load time so that playback is a table lookup.
struct CurveTable {
    float samples[kCurveSamples];  // y for x = i / 16; not filled when linear
    uint8_t linear;                // 1: y = x, the control points lie on the diagonal
};

struct BoneKey {
    float frame;
    float position[3];     // local translation, model units
    float rotation[4];     // local rotation (x, y, z, w), unit length, w >= 0
    CurveTable curves[4];  // X position, Y position, Z position, rotation
};

struct FaceKey {
    float frame;
    float weight;  // 0 = rest, 1 = the morph's target positions
};

struct BoneTrack {
    char name[kVmdNameBytes + 1];  // CP932, always terminated
    int32_t keyCount;
    BoneKey* keys;  // keyCount keys sorted by frame; owned (malloc)
    BoneTrack* next;
};

struct FaceTrack {
    char name[kVmdNameBytes + 1];
    int32_t keyCount;
    FaceKey* keys;  // owned (malloc)
    FaceTrack* next;
};

struct MotionData : IKSwitchData {
    BoneTrack* boneTracks = nullptr;  // newest track first
    int32_t boneTrackCount = 0;
    FaceTrack* faceTracks = nullptr;  // newest track first; default-face tracks last
    int32_t faceTrackCount = 0;
    float lastFrame = 0.0f;  // largest bone or face key frame read (0 when none)
    // Default face names, each followed by one zero byte, in file order (animation/Morph.h).
    char* defaultFaceText = nullptr;  // owned (malloc)
    int32_t defaultFaceCount = 0;

    MotionData() = default;
    ~MotionData();
    MotionData(const MotionData&) = delete;
    MotionData& operator=(const MotionData&) = delete;
};

// Every reader below returns the refusal or success as a LoadResult and prints nothing;
// the program decides where the words go. Refusals and warnings name the file (fileName,
// or "motion data" when none is given).
//
// Reads a whole VMD file opened by the caller in binary mode and parses it (parseVMD).
// The file stays open; the caller closes it. When the file cannot be sized or read the
// motion is left unchanged and that is the refusal; otherwise the result is parseVMD's.
LoadResult loadVMDFile(std::FILE* file, MotionData& motion, const char* fileName = nullptr);
// Opens path and reads it as above. A file that cannot be opened leaves the motion
// unchanged and is refused ("path: cannot open the motion file: reason").
LoadResult loadVMDFile(const char* path, MotionData& motion);

// Opens path and reads it into a scratch motion wearing the same default faces; only
// when that succeeds do its tracks replace the motion's. On any failure the motion keeps
// every track it had, so a damaged file opened over a playing motion does not stop the
// dance.
LoadResult loadVMDFileKeepingOld(const char* path, MotionData& motion);

// Replaces the motion's tracks with those of the VMD bytes; the default faces (already in
// motion.defaultFaceText) get a key (frame 0, weight 1) each. After the face keys come
// camera, light and self-shadow keys (stepped over) and the IK switch / visibility keys,
// each optional: a file may end before any of them, and one cut off inside these loses
// only that section (a warning naming the section and its offset). Refuses, leaving the
// motion empty, when the signature does not match or the bone or face keys are shorter
// than their counts announce; a truncated file's refusal names the section ("header",
// "bone keyframes", "face keyframes"), its offset, and in its words the bytes it needs.
LoadResult parseVMD(MotionData& motion, const uint8_t* bytes, std::size_t size,
                    const char* fileName = nullptr);

// Frees every track and key and empties the lists; the default face names stay.
void clearMotion(MotionData& motion);

// Gives every distinct default face name that has no face track yet a track with the
// single key (frame 0, weight 1), at the head of the list. loadDefaultFaces uses it on an
// emptied motion; parseVMD builds the same tracks as it reads.
void addDefaultFaceTracks(MotionData& motion);

// Samples the cubic Bezier curve (0,0)-(x1,y1)-(x2,y2)-(127,127) given by signed control
// values on the 0..127 scale; x1 == y1 and x2 == y2 marks the table linear.
void buildCurveTable(CurveTable& table, int x1, int y1, int x2, int y2);

// y of the curve X(t) = X1 t(1-t)^2 + X2 t^2(1-t) + t^3, Y likewise, at the given x; the
// control values are already scaled by 3/127. Solves X(t) = x by damped fixed-point steps.
float bezierYForX(float x, float X1, float Y1, float X2, float Y2);
