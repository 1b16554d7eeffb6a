// Reading VMD motions: signature, track building, curves, and refusal of damaged files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "character/ModelFrame.h"
#include "animation/Morph.h"
#include "animation/Motion.h"
#include "animation/VmdWriter.h"

namespace {

VmdBoneKeyDef boneKey(const std::string& name, uint32_t frame, float x = 0.0f) {
    VmdBoneKeyDef k;
    k.name = name;
    k.frame = frame;
    k.position[0] = x;
    return k;
}

VmdFaceKeyDef faceKey(const std::string& name, uint32_t frame, float weight) {
    VmdFaceKeyDef k;
    k.name = name;
    k.frame = frame;
    k.weight = weight;
    return k;
}

LoadResult parse(MotionData& motion, const std::vector<uint8_t>& bytes, const char* name = "test.vmd") {
    return parseVMD(motion, bytes.data(), bytes.size(), name);
}

const BoneTrack* findBoneTrack(const MotionData& m, const char* name) {
    for (const BoneTrack* t = m.boneTracks; t; t = t->next)
        if (std::strcmp(t->name, name) == 0) return t;
    return nullptr;
}

const FaceTrack* findFaceTrack(const MotionData& m, const char* name) {
    for (const FaceTrack* t = m.faceTracks; t; t = t->next)
        if (std::strcmp(t->name, name) == 0) return t;
    return nullptr;
}

std::vector<uint8_t> sampleMotion() {
    return encodeVMD({boneKey("arm", 30, 3.0f), boneKey("leg", 5), boneKey("arm", 10, 1.0f)},
                     {faceKey("smile", 40, 0.5f), faceKey("blink", 0, 1.0f)});
}

}  // namespace

TEST(VmdSignature, OnlyTheFirstTwentySixBytesCount) {
    std::vector<uint8_t> bytes = sampleMotion();
    for (int i = 26; i < 30; ++i) bytes[i] = static_cast<uint8_t>(0xA0 + i);
    MotionData motion;
    EXPECT_TRUE(parse(motion, bytes));
    EXPECT_EQ(motion.boneTrackCount, 2);

    // Without the zero after the text the signature does not match, and the motion that
    // was there before is gone.
    bytes[25] = '!';
    const LoadResult refused = parse(motion, bytes);
    EXPECT_FALSE(refused);
    EXPECT_EQ(refused.problem().text(),
              "test.vmd: not a VMD motion file (no \"Vocaloid Motion Data 0002\" signature)");
    EXPECT_EQ(motion.boneTracks, nullptr);
    EXPECT_EQ(motion.faceTracks, nullptr);
    EXPECT_EQ(motion.boneTrackCount, 0);
    EXPECT_EQ(motion.faceTrackCount, 0);

    std::vector<uint8_t> other = sampleMotion();
    other[24] = '1';  // "Vocaloid Motion Data 0001"
    EXPECT_FALSE(parse(motion, other));
}

TEST(VmdTracks, GroupsKeysByNameSortedByFrameNewestTrackFirst) {
    MotionData motion;
    ASSERT_TRUE(parse(motion, sampleMotion()));
    ASSERT_EQ(motion.boneTrackCount, 2);
    // Tracks are created in file order and pushed on the front of the list.
    ASSERT_NE(motion.boneTracks, nullptr);
    EXPECT_STREQ(motion.boneTracks->name, "leg");
    EXPECT_STREQ(motion.boneTracks->next->name, "arm");
    EXPECT_EQ(motion.boneTracks->next->next, nullptr);

    const BoneTrack* arm = findBoneTrack(motion, "arm");
    ASSERT_EQ(arm->keyCount, 2);
    EXPECT_EQ(arm->keys[0].frame, 10.0f);
    EXPECT_EQ(arm->keys[0].position[0], 1.0f);
    EXPECT_EQ(arm->keys[1].frame, 30.0f);
    EXPECT_EQ(arm->keys[1].position[0], 3.0f);

    EXPECT_EQ(motion.faceTrackCount, 2);
    const FaceTrack* smile = findFaceTrack(motion, "smile");
    ASSERT_NE(smile, nullptr);
    ASSERT_EQ(smile->keyCount, 1);
    EXPECT_EQ(smile->keys[0].frame, 40.0f);
    EXPECT_EQ(smile->keys[0].weight, 0.5f);
    // The largest frame of either kind of key.
    EXPECT_EQ(motion.lastFrame, 40.0f);

    // A second load replaces everything.
    ASSERT_TRUE(parse(motion, encodeVMD({boneKey("head", 7)}, {})));
    EXPECT_EQ(motion.boneTrackCount, 1);
    EXPECT_EQ(motion.faceTrackCount, 0);
    EXPECT_EQ(motion.faceTracks, nullptr);
    EXPECT_EQ(motion.lastFrame, 7.0f);
}

TEST(VmdTracks, KeysSharingAFrameAreBothKept) {
    MotionData motion;
    ASSERT_TRUE(parse(motion, encodeVMD({boneKey("arm", 10, 1.0f), boneKey("arm", 10, 2.0f), boneKey("arm", 0)},
                                        {faceKey("a", 3, 0.1f), faceKey("a", 3, 0.9f)})));
    const BoneTrack* arm = findBoneTrack(motion, "arm");
    ASSERT_EQ(arm->keyCount, 3);
    EXPECT_EQ(arm->keys[1].frame, 10.0f);
    EXPECT_EQ(arm->keys[2].frame, 10.0f);
    EXPECT_EQ(arm->keys[1].position[0] + arm->keys[2].position[0], 3.0f);
    EXPECT_EQ(findFaceTrack(motion, "a")->keyCount, 2);
}

TEST(VmdTracks, NamesMatchOverFifteenBytes) {
    // A 15-byte name fills its field with no terminator; the 16th byte of the record is
    // the frame number, which must not take part.
    const std::string full = "ABCDEFGHIJKLMNO";
    std::vector<uint8_t> bytes = encodeVMD({boneKey(full, 1), boneKey(full + "PQ", 2), boneKey("short", 3)}, {});
    // Bytes after a terminator inside the field are not part of the name either.
    bytes[54 + 2 * 111 + 6] = 'Z';  // "short\0Z..."
    const std::vector<uint8_t> copy(bytes.begin() + 54 + 2 * 111, bytes.begin() + 54 + 3 * 111);
    bytes.insert(bytes.begin() + 54 + 3 * 111, copy.begin(), copy.end());
    bytes[54 + 3 * 111 + 6] = 'Y';  // "short\0Y..."
    bytes[50] = 4;

    MotionData motion;
    ASSERT_TRUE(parse(motion, bytes));
    EXPECT_EQ(motion.boneTrackCount, 2);
    const BoneTrack* t = findBoneTrack(motion, full.c_str());
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->keyCount, 2);
    EXPECT_EQ(t->name[15], 0);
    EXPECT_EQ(findBoneTrack(motion, "short")->keyCount, 2);
}

TEST(VmdKeys, RotationsAreNormalisedWithNonNegativeW) {
    VmdBoneKeyDef flipped = boneKey("a", 0);
    const float q[4] = {0.0f, -2.0f, 0.0f, -2.0f};  // 90 degrees about y, scaled and negated
    std::memcpy(flipped.rotation, q, sizeof(q));
    VmdBoneKeyDef zero = boneKey("b", 0);
    std::memset(zero.rotation, 0, sizeof(zero.rotation));
    VmdBoneKeyDef nan = boneKey("c", 0);
    nan.rotation[1] = std::nanf("");

    MotionData motion;
    ASSERT_TRUE(parse(motion, encodeVMD({flipped, zero, nan}, {})));
    const float* r = findBoneTrack(motion, "a")->keys[0].rotation;
    EXPECT_NEAR(r[0], 0.0f, 1e-6f);
    EXPECT_NEAR(r[1], std::sqrt(0.5f), 1e-6f);
    EXPECT_NEAR(r[2], 0.0f, 1e-6f);
    EXPECT_NEAR(r[3], std::sqrt(0.5f), 1e-6f);
    // A degenerate rotation in the file becomes the rest rotation rather than NaN.
    for (const char* name : {"b", "c"}) {
        const float* z = findBoneTrack(motion, name)->keys[0].rotation;
        EXPECT_EQ(z[0], 0.0f);
        EXPECT_EQ(z[1], 0.0f);
        EXPECT_EQ(z[2], 0.0f);
        EXPECT_EQ(z[3], 1.0f);
    }
}

TEST(VmdCurves, DiagonalControlPointsAreLinearOthersSampled) {
    CurveTable t;
    buildCurveTable(t, 20, 20, 107, 107);
    EXPECT_EQ(t.linear, 1);
    buildCurveTable(t, 64, 64, 64, 64);
    EXPECT_EQ(t.linear, 1);

    // An ease-in-out curve: symmetric about the middle, slow at both ends, monotonic.
    buildCurveTable(t, 127, 0, 0, 127);
    EXPECT_EQ(t.linear, 0);
    EXPECT_EQ(t.samples[0], 0.0f);
    EXPECT_EQ(t.samples[16], 1.0f);
    EXPECT_NEAR(t.samples[8], 0.5f, 1e-3f);
    EXPECT_LT(t.samples[2], 0.125f);
    EXPECT_GT(t.samples[14], 0.875f);
    for (int i = 1; i <= 16; ++i) EXPECT_GE(t.samples[i], t.samples[i - 1]);
    for (int i = 1; i < 16; ++i) EXPECT_NEAR(t.samples[i] + t.samples[16 - i], 1.0f, 2e-3f);

    // Solving x(t) = x: with the control points on x = t (x1 = 42, x2 = 85 is one third and
    // two thirds of 127) the curve's y is the Bernstein form at t = x.
    const float s = 3.0f / 127.0f;
    const float y = bezierYForX(0.25f, 42 * s, 0.0f, 85 * s, 0.0f);
    EXPECT_NEAR(y, 0.25f * 0.25f * 0.25f, 2e-3f);
}

TEST(VmdCurves, ControlBytesAreSignedAndPerChannel) {
    VmdBoneKeyDef k = boneKey("a", 10);
    k.curves[0] = {200, 10, 20, 30};   // 200 is -56 as a signed byte
    k.curves[1] = {127, 0, 0, 127};
    k.curves[3] = {0, 127, 127, 0};
    MotionData motion;
    ASSERT_TRUE(parse(motion, encodeVMD({k}, {})));
    const BoneKey& key = findBoneTrack(motion, "a")->keys[0];

    CurveTable expected;
    buildCurveTable(expected, -56, 10, 20, 30);
    EXPECT_EQ(key.curves[0].linear, 0);
    for (int i = 0; i < kCurveSamples; ++i) EXPECT_EQ(key.curves[0].samples[i], expected.samples[i]) << i;
    buildCurveTable(expected, 127, 0, 0, 127);
    for (int i = 0; i < kCurveSamples; ++i) EXPECT_EQ(key.curves[1].samples[i], expected.samples[i]) << i;
    EXPECT_EQ(key.curves[2].linear, 1);
    EXPECT_EQ(key.curves[3].linear, 0);
    EXPECT_GT(key.curves[3].samples[4], 0.25f);  // fast start
}

TEST(VmdDefaultFaces, EveryMotionCarriesThemOncePerName) {
    MotionData motion;
    const char list[] = "blink\nsmile\nblink\n";
    setDefaultFaces(motion, list, sizeof(list) - 1);
    EXPECT_EQ(motion.defaultFaceCount, 3);
    EXPECT_EQ(motion.faceTrackCount, 2);

    // A motion with no records: no bone tracks, the default faces, last frame 0.
    ASSERT_TRUE(parse(motion, encodeVMD({}, {})));
    EXPECT_EQ(motion.boneTrackCount, 0);
    EXPECT_EQ(motion.lastFrame, 0.0f);
    ASSERT_EQ(motion.faceTrackCount, 2);
    for (const char* name : {"blink", "smile"}) {
        const FaceTrack* t = findFaceTrack(motion, name);
        ASSERT_NE(t, nullptr) << name;
        ASSERT_EQ(t->keyCount, 1) << name;
        EXPECT_EQ(t->keys[0].frame, 0.0f);
        EXPECT_EQ(t->keys[0].weight, 1.0f);
    }

    // Keys of the file join the default track; file tracks come before the defaults.
    ASSERT_TRUE(parse(motion, encodeVMD({}, {faceKey("smile", 30, 0.0f), faceKey("angry", 5, 1.0f)})));
    ASSERT_EQ(motion.faceTrackCount, 3);
    EXPECT_STREQ(motion.faceTracks->name, "angry");
    const FaceTrack* smile = findFaceTrack(motion, "smile");
    ASSERT_EQ(smile->keyCount, 2);
    EXPECT_EQ(smile->keys[0].frame, 0.0f);
    EXPECT_EQ(smile->keys[0].weight, 1.0f);
    EXPECT_EQ(smile->keys[1].frame, 30.0f);
    EXPECT_EQ(smile->keys[1].weight, 0.0f);
    EXPECT_EQ(findFaceTrack(motion, "blink")->keyCount, 1);
    EXPECT_EQ(motion.lastFrame, 30.0f);

    // Clearing keeps the names; the next load brings the tracks back.
    clearMotion(motion);
    EXPECT_EQ(motion.faceTrackCount, 0);
    EXPECT_EQ(motion.defaultFaceCount, 3);
}

TEST(VmdDamagedFiles, EveryTruncationIsRefusedAndEmptiesTheMotion) {
    const std::vector<uint8_t> full = encodeVMD({boneKey("arm", 1), boneKey("leg", 2)},
                                                {faceKey("smile", 3, 0.5f), faceKey("blink", 4, 1.0f)});
    // The sections we read end with the last face record; what follows is not read.
    const std::size_t faceCountAt = 54 + 2 * 111;
    const std::size_t needed = faceCountAt + 4 + 2 * 23;
    for (std::size_t cut = 0; cut < needed; ++cut) {
        MotionData motion;
        ASSERT_TRUE(parse(motion, full));
        std::vector<uint8_t> part(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut));
        const LoadResult refused = parseVMD(motion, part.data(), part.size(), "cut.vmd");
        EXPECT_FALSE(refused) << cut;
        const std::string err = refused.problem().text();
        EXPECT_EQ(refused.problem().file, "cut.vmd") << cut;
        if (cut >= 26) {
            EXPECT_NE(err.find("truncated"), std::string::npos) << cut << ": " << err;
            // The part the file ends in, and where that part starts.
            const char* section = cut < 54                ? "header"
                                  : cut < faceCountAt + 4 ? "bone keyframes"
                                                          : "face keyframes";
            const std::size_t offset = cut < 54 ? 0 : cut < faceCountAt + 4 ? 54 : faceCountAt + 4;
            EXPECT_EQ(refused.problem().section, section) << cut;
            EXPECT_EQ(refused.problem().offset, offset) << cut;
        }
        EXPECT_EQ(motion.boneTracks, nullptr) << cut;
        EXPECT_EQ(motion.faceTracks, nullptr) << cut;
        EXPECT_EQ(motion.lastFrame, 0.0f) << cut;
    }
    // The words the viewer prints for it.
    MotionData motion;
    const LoadResult inFaces = parseVMD(motion, full.data(), needed - 1, "cut.vmd");
    EXPECT_EQ(inFaces.problem().text(),
              "cut.vmd: truncated VMD file: 2 face keyframes at offset 280 needs 46 bytes, but the file ends "
              "at 325 bytes");
    std::vector<uint8_t> exact(full.begin(), full.begin() + needed);
    EXPECT_TRUE(parse(motion, exact));
    EXPECT_EQ(motion.faceTrackCount, 2);
}

TEST(VmdDamagedFiles, HugeCountsAreRefusedBeforeAllocating) {
    std::vector<uint8_t> bytes = encodeVMD({boneKey("arm", 1)}, {faceKey("smile", 3, 0.5f)});
    MotionData motion;
    for (uint32_t huge : {0xFFFFFFFFu, 0x80000000u, 0x02000000u}) {
        std::vector<uint8_t> b = bytes;
        std::memcpy(&b[50], &huge, 4);
        const LoadResult bones = parse(motion, b);
        EXPECT_FALSE(bones) << huge;
        EXPECT_NE(bones.problem().text().find("bone keyframes"), std::string::npos) << bones.problem().text();

        b = bytes;
        std::memcpy(&b[54 + 111], &huge, 4);
        const LoadResult faces = parse(motion, b);
        EXPECT_FALSE(faces) << huge;
        EXPECT_NE(faces.problem().text().find("face keyframes"), std::string::npos);
    }
}

TEST(VmdDamagedFiles, ALaterSectionCutShortIsAWarningAndTheKeysStand) {
    VmdIKKeyDef ik;
    ik.frame = 5;
    ik.switches = {{"leftFootIK", false}, {"rightFootIK", true}};
    const std::vector<uint8_t> full =
        encodeVMD({boneKey("arm", 1)}, {faceKey("smile", 3, 0.5f)}, "", {ik, ik});
    // After the face records: three empty sections of a count each, then the IK count.
    const std::size_t ikAt = 54 + 111 + 4 + 23 + 3 * 4;
    MotionData motion;
    const LoadResult whole = parse(motion, full, "ik.vmd");
    ASSERT_TRUE(whole);
    EXPECT_TRUE(whole.warnings().empty());
    EXPECT_EQ(motion.ikTrackCount, 2);

    const std::vector<uint8_t> cut(full.begin(),
                                   full.begin() + static_cast<std::ptrdiff_t>(ikAt + 4 + 9 + 10));
    const LoadResult partial = parse(motion, cut, "ik.vmd");
    ASSERT_TRUE(partial);
    EXPECT_EQ(motion.boneTrackCount, 1);
    EXPECT_EQ(motion.ikTrackCount, 0);
    ASSERT_EQ(partial.warnings().size(), 1u);
    const LoadProblem& warning = partial.warnings()[0];
    EXPECT_EQ(warning.section, "IK switch");
    EXPECT_EQ(warning.offset, ikAt + 4 + 9);  // the first key's switches run past the end
    EXPECT_EQ(warning.text(), "ik.vmd: the IK switch section is cut off at offset " +
                                  std::to_string(ikAt + 4 + 9) + "; its keys are ignored");

    // The camera section's count itself cut.
    const std::vector<uint8_t> inCamera(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(ikAt - 10));
    const LoadResult camera = parse(motion, inCamera, "ik.vmd");
    ASSERT_TRUE(camera);
    ASSERT_EQ(camera.warnings().size(), 1u);
    EXPECT_EQ(camera.warnings()[0].section, "camera");
    EXPECT_EQ(camera.warnings()[0].offset, ikAt - 12);
}

TEST(VmdFiles, LoadsFromDiskAndKeepsTheMotionWhenTheFileCannotBeOpened) {
    const std::string path = testing::TempDir() + "pavonix_motion_test.vmd";
    ASSERT_TRUE(writeVMDFile(path.c_str(), {boneKey("arm", 12)}, {faceKey("smile", 3, 0.5f)}));
    MotionData motion;
    ASSERT_TRUE(loadVMDFile(path.c_str(), motion));
    EXPECT_EQ(motion.boneTrackCount, 1);
    EXPECT_EQ(motion.lastFrame, 12.0f);

    const LoadResult missing = loadVMDFile((path + ".missing").c_str(), motion);
    EXPECT_FALSE(missing);
    EXPECT_EQ(missing.problem().text(),
              path + ".missing: cannot open the motion file: No such file or directory");
    EXPECT_EQ(motion.boneTrackCount, 1);
    EXPECT_EQ(motion.lastFrame, 12.0f);

    // An empty file is opened and read, and refused.
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_FALSE(loadVMDFile(path.c_str(), motion));
    EXPECT_EQ(motion.boneTrackCount, 0);
    std::remove(path.c_str());
}
