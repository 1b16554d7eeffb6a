// Playing a motion on a model: keyframe search, interpolation, the clock, face weights,
// binding, and the head turn.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "character/ModelFrame.h"
#include "animation/MathUtil.h"
#include "animation/Morph.h"
#include "animation/Motion.h"
#include "animation/MotionPlayer.h"
#include "animation/VmdWriter.h"
#include "common/TestModels.h"

using testmodels::ScopedModel;

namespace {

VmdBoneKeyDef boneKey(const std::string& name, uint32_t frame, float x, float y = 0.0f, float z = 0.0f) {
    VmdBoneKeyDef k;
    k.name = name;
    k.frame = frame;
    k.position[0] = x;
    k.position[1] = y;
    k.position[2] = z;
    return k;
}

VmdBoneKeyDef rotationKey(const std::string& name, uint32_t frame, const float q[4]) {
    VmdBoneKeyDef k;
    k.name = name;
    k.frame = frame;
    std::memcpy(k.rotation, q, sizeof(k.rotation));
    return k;
}

VmdFaceKeyDef faceKey(const std::string& name, uint32_t frame, float weight) {
    VmdFaceKeyDef k;
    k.name = name;
    k.frame = frame;
    k.weight = weight;
    return k;
}

void load(MotionData& motion, const std::vector<VmdBoneKeyDef>& bones, const std::vector<VmdFaceKeyDef>& faces = {}) {
    const std::vector<uint8_t> bytes = encodeVMD(bones, faces);
    ASSERT_TRUE(parseVMD(motion, bytes.data(), bytes.size(), "test.vmd"));
}

float positionX(const BoneTrack& track, float frame) {
    float p[3], q[4];
    evaluateBoneTrack(track, frame, p, q);
    return p[0];
}

// A model of two bones ("root" at the origin, "arm" at (1, 0, 0) under it) and, for faces,
// three vertices on the x axis with a morph "smile" lifting vertex 1 to y = 10.
void makeArmModel(cModel& model, bool pmx) {
    model.format = pmx ? 1 : 0;
    testmodels::setBones(model, {{"root", 0, 0, 0}, {"arm", 1, 0, 0, 0}});
    testmodels::setVertices(model, {{{0, 0, 0}}, {{1, 0, 0}}, {{2, 0, 0}}}, pmx);
    if (!pmx) testmodels::addMorph(model, "base", {{1, {1, 0, 0}}});
    testmodels::addMorph(model, "smile", {{1, {1, 10, 0}}});
}

cBone& bone(cModel& model, const char* name) {
    cBone* b = findBone(model, name);
    EXPECT_NE(b, nullptr) << name;
    return *b;
}

}  // namespace

TEST(KeyframeSearch, BeforeOnBetweenAndAfterTheKeys) {
    MotionData motion;
    load(motion, {boneKey("a", 10, 1.0f), boneKey("a", 20, 3.0f), boneKey("a", 40, 7.0f)});
    const BoneTrack& t = *motion.boneTracks;

    EXPECT_EQ(findBoneKey(t, -5.0f), 0);
    EXPECT_EQ(findBoneKey(t, 10.0f), 0);
    EXPECT_EQ(findBoneKey(t, 10.5f), 1);
    EXPECT_EQ(findBoneKey(t, 20.0f), 1);
    EXPECT_EQ(findBoneKey(t, 39.0f), 2);
    EXPECT_EQ(findBoneKey(t, 1000.0f), 2);

    EXPECT_EQ(positionX(t, 0.0f), 1.0f);    // before the first key: the first key
    EXPECT_EQ(positionX(t, 10.0f), 1.0f);
    EXPECT_EQ(positionX(t, 20.0f), 3.0f);   // exactly on a key: that key (u = 1)
    EXPECT_EQ(positionX(t, 15.0f), 2.0f);   // linear curves: the plain fraction
    EXPECT_EQ(positionX(t, 25.0f), 4.0f);
    EXPECT_EQ(positionX(t, 500.0f), 7.0f);  // after the last key: the last key

    MotionData faces;
    load(faces, {}, {faceKey("f", 0, 1.0f), faceKey("f", 30, 0.0f)});
    EXPECT_EQ(evaluateFaceTrack(*faces.faceTracks, -1.0f), 1.0f);
    EXPECT_FLOAT_EQ(evaluateFaceTrack(*faces.faceTracks, 7.5f), 0.75f);
    EXPECT_EQ(evaluateFaceTrack(*faces.faceTracks, 30.0f), 0.0f);
    EXPECT_EQ(evaluateFaceTrack(*faces.faceTracks, 90.0f), 0.0f);
}

TEST(KeyframeSearch, TracksWithoutKeysGiveTheRestPose) {
    BoneTrack bt = {"x", 0, nullptr, nullptr};
    float p[3] = {5, 5, 5}, q[4] = {1, 0, 0, 0};
    evaluateBoneTrack(bt, 3.0f, p, q);
    EXPECT_EQ(p[0], 0.0f);
    EXPECT_EQ(q[3], 1.0f);
    FaceTrack ft = {"y", 0, nullptr, nullptr};
    EXPECT_EQ(evaluateFaceTrack(ft, 3.0f), 0.0f);
}

TEST(BoneInterpolation, TheLaterKeysCurveShapesEachChannel) {
    VmdBoneKeyDef a = boneKey("a", 0, 0.0f, 0.0f, 0.0f);
    a.curves[1] = {127, 0, 0, 127};  // a's curves do not shape the way to b
    VmdBoneKeyDef b = boneKey("a", 16, 16.0f, 16.0f, 16.0f);
    b.curves[0] = {127, 0, 0, 127};  // ease in and out on X only
    MotionData motion;
    load(motion, {a, b});

    CurveTable ease;
    buildCurveTable(ease, 127, 0, 0, 127);
    float p[3], q[4];
    evaluateBoneTrack(*motion.boneTracks, 4.0f, p, q);  // u = 0.25, sample 4 exactly
    EXPECT_FLOAT_EQ(p[0], 16.0f * ease.samples[4]);
    EXPECT_LT(p[0], 4.0f);
    EXPECT_FLOAT_EQ(p[1], 4.0f);
    EXPECT_FLOAT_EQ(p[2], 4.0f);

    // Between samples the table is read linearly.
    evaluateBoneTrack(*motion.boneTracks, 4.5f, p, q);
    EXPECT_FLOAT_EQ(p[0], 16.0f * (0.5f * ease.samples[4] + 0.5f * ease.samples[5]));
}

TEST(BoneInterpolation, RotationTakesTheShortWay) {
    // +170 and -170 degrees about y: halfway is 180 degrees, not the rest pose.
    const float h = 85.0f * 3.14159265f / 180.0f;
    const float plus[4] = {0.0f, std::sin(h), 0.0f, std::cos(h)};
    const float minus[4] = {0.0f, -std::sin(h), 0.0f, std::cos(h)};
    MotionData motion;
    load(motion, {rotationKey("a", 0, plus), rotationKey("a", 10, minus)});
    float p[3], q[4];
    evaluateBoneTrack(*motion.boneTracks, 5.0f, p, q);
    EXPECT_NEAR(std::fabs(q[1]), 1.0f, 1e-5f);
    EXPECT_NEAR(q[3], 0.0f, 1e-5f);
    EXPECT_NEAR(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3], 1.0f, 1e-5f);

    // A quarter turn: unit length, w >= 0, on the way from a to b.
    const float quarter[4] = {0.0f, std::sin(0.7853982f), 0.0f, std::cos(0.7853982f)};
    const float identity[4] = {0.0f, 0.0f, 0.0f, 1.0f};
    load(motion, {rotationKey("a", 0, identity), rotationKey("a", 10, quarter)});
    evaluateBoneTrack(*motion.boneTracks, 5.0f, p, q);
    EXPECT_GE(q[3], 0.0f);
    EXPECT_NEAR(std::atan2(q[1], q[3]) * 2.0f, 0.7853982f, 1e-3f);
}

TEST(Playback, TheClockHoldsTheLastFrameAndElapsedZeroRepeatsTheFrame) {
    ScopedModel s;
    makeArmModel(s.model, true);
    MotionData motion;
    load(motion, {boneKey("arm", 0, 0.0f), boneKey("arm", 30, 30.0f)});
    bindMotion(s.model.motion, s.model, motion);
    cBone& arm = bone(s.model, "arm");

    // The pose shown after a step is the one for the frame before the advance.
    updateModelPose(s.model, 10.0f);
    EXPECT_EQ(arm.translation[0], 0.0f);
    EXPECT_EQ(s.model.motion.currentFrame, 10.0f);
    updateModelPose(s.model, 0.0f);
    EXPECT_EQ(arm.translation[0], 10.0f);
    EXPECT_EQ(s.model.motion.currentFrame, 10.0f);
    updateModelPose(s.model, 0.0f);
    EXPECT_EQ(arm.translation[0], 10.0f);
    // The bone's model-space matrix follows: rest (1, 0, 0) plus the translation.
    EXPECT_FLOAT_EQ(arm.globalMatrix[12], 11.0f);

    updateModelPose(s.model, 15.0f);
    updateModelPose(s.model, 15.0f);
    EXPECT_EQ(s.model.motion.currentFrame, 30.0f);
    updateModelPose(s.model, 10.0f);
    EXPECT_EQ(s.model.motion.currentFrame, 30.0f);
    EXPECT_EQ(arm.translation[0], 30.0f);

    // Rebinding restarts from frame 0.
    bindMotion(s.model.motion, s.model, motion);
    EXPECT_EQ(s.model.motion.currentFrame, 0.0f);
    updateModelPose(s.model, 0.0f);
    EXPECT_EQ(arm.translation[0], 0.0f);
}

TEST(Playback, FaceWeightsOneSmallAndBetween) {
    for (bool pmx : {false, true}) {
        SCOPED_TRACE(pmx ? "PMX" : "PMD");
        ScopedModel s;
        makeArmModel(s.model, pmx);
        MotionData motion;
        load(motion, {}, {faceKey("smile", 0, 1.0f), faceKey("smile", 10, 1.0f), faceKey("smile", 20, 0.0005f),
                          faceKey("smile", 30, 0.0005f), faceKey("smile", 40, 0.5f)});
        bindMotion(s.model.motion, s.model, motion);
        const float* v1 = s.model.positions.data() + 3;

        updateModelPose(s.model, 0.0f);
        EXPECT_EQ(v1[1], 10.0f);  // weight exactly 1: the target
        s.model.motion.currentFrame = 25.0f;
        updateModelPose(s.model, 0.0f);
        EXPECT_EQ(v1[1], 0.0f);  // 0.0005: back at the reset position
        s.model.motion.currentFrame = 40.0f;
        updateModelPose(s.model, 0.0f);
        EXPECT_FLOAT_EQ(v1[1], 5.0f);
        s.model.motion.currentFrame = 15.0f;  // between 1 and 0.0005
        updateModelPose(s.model, 0.0f);
        EXPECT_NEAR(v1[1], 10.0f * (0.5f + 0.5f * 0.0005f), 1e-4f);
        // Vertices no morph touches stay where they are.
        EXPECT_EQ(s.model.positions[6], 2.0f);
        EXPECT_EQ(s.model.positions[7], 0.0f);
    }
}

TEST(Playback, DefaultFacesStartFullyOnAndFollowTheMotionsKeys) {
    ScopedModel s;
    makeArmModel(s.model, true);
    MotionData motion;
    const char list[] = "smile\n";
    setDefaultFaces(motion, list, sizeof(list) - 1);

    // Before any motion file is read the default face already shows.
    bindMotion(s.model.motion, s.model, motion);
    updateModelPose(s.model, 1.0f);
    EXPECT_EQ(s.model.positions[4], 10.0f);

    load(motion, {}, {faceKey("smile", 30, 0.0f)});
    bindMotion(s.model.motion, s.model, motion);
    updateModelPose(s.model, 15.0f);
    EXPECT_EQ(s.model.positions[4], 10.0f);
    updateModelPose(s.model, 0.0f);
    EXPECT_FLOAT_EQ(s.model.positions[4], 5.0f);
    updateModelPose(s.model, 15.0f);
    updateModelPose(s.model, 0.0f);
    EXPECT_EQ(s.model.positions[4], 0.0f);
}

TEST(Binding, TargetsFollowNamesAndStaleTablesAreNeverOverrun) {
    ScopedModel s;
    const std::string longName = "ABCDEFGHIJKLMNOPQR";  // longer than a track name can be
    testmodels::setBones(s.model, {{"root", 0, 0, 0}, {longName.c_str(), 1, 0, 0, 0}, {"arm", 2, 0, 0, 0}});
    MotionData motion;
    load(motion, {boneKey("missing", 0, 5.0f), boneKey(longName, 0, 5.0f), boneKey("arm", 0, 5.0f)});
    bindMotion(s.model.motion, s.model, motion);
    ASSERT_EQ(s.model.motion.boneTargets.size(), 3u);
    // Tracks are newest first: arm, the long name, missing.
    EXPECT_EQ(s.model.motion.boneTargets[0], &s.model.bones[2]);
    EXPECT_EQ(s.model.motion.boneTargets[1], nullptr);
    EXPECT_EQ(s.model.motion.boneTargets[2], nullptr);
    updateModelPose(s.model, 1.0f);
    EXPECT_EQ(s.model.bones[2].translation[0], 5.0f);
    EXPECT_EQ(s.model.bones[1].translation[0], 0.0f);

    // The motion is refilled with more tracks and not rebound: the old table still
    // covers only its own entries (this would read past it otherwise).
    std::vector<VmdBoneKeyDef> many;
    for (int i = 0; i < 50; ++i) many.push_back(boneKey("b" + std::to_string(i), 0, 1.0f));
    many.push_back(boneKey("root", 0, 9.0f));
    load(motion, many);
    updateModelPose(s.model, 1.0f);
    EXPECT_EQ(s.model.motion.boneTargets.size(), 3u);

    clearMotionPlayer(s.model.motion);
    EXPECT_TRUE(s.model.motion.boneTargets.empty());
    EXPECT_TRUE(s.model.motion.faceTargets.empty());
    EXPECT_EQ(s.model.motion.motionData, nullptr);
    updateModelPose(s.model, 1.0f);  // unbound: nothing to play
}

TEST(Playback, MotionThenBonesThenIK) {
    ScopedModel s;
    testmodels::makeLegModel(s.model);
    // Raise the leg's IK goal: the solver runs after the motion has moved it, so the
    // ankle follows within this frame.
    MotionData motion;
    load(motion, {boneKey(s.model.bones[4].name, 0, 0.0f, 3.0f, -1.0f)});
    bindMotion(s.model.motion, s.model, motion);
    updateModelPose(s.model, 0.0f);
    const float* goal = s.model.bones[4].globalMatrix + 12;
    const float* ankle = s.model.bones[3].globalMatrix + 12;
    EXPECT_NEAR(goal[1], 3.0f, 1e-5f);
    EXPECT_NEAR(ankle[0], goal[0], 0.05f);
    EXPECT_NEAR(ankle[1], goal[1], 0.05f);
    EXPECT_NEAR(ankle[2], goal[2], 0.05f);
}

TEST(HeadTurn, ClampedSmoothedAndNeverNaN) {
    ScopedModel s;
    testmodels::makeLegModel(s.model);
    cModel& m = s.model;
    ASSERT_NE(m.headBone, nullptr);
    const float behind[3] = {0.0f, 15.0f, -100.0f};

    // Off: nothing moves.
    lookAtViewpoint(behind, m);
    EXPECT_EQ(m.headBone->rotation[3], 1.0f);

    m.lookAtCamera = 1;
    lookAtViewpoint(behind, m);
    float goal[4];
    quaternionFromEuler(0.0f, -kHeadYawLimit, 0.0f, goal);
    // One step goes 30 % of the way.
    float expected[4];
    for (int k = 0; k < 4; ++k) expected[k] = 0.7f * (k == 3 ? 1.0f : 0.0f) + 0.3f * goal[k];
    normalizeQuaternion(expected);
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(m.headBone->rotation[k], expected[k], 1e-5f) << k;
    for (int i = 0; i < 100; ++i) lookAtViewpoint(behind, m);
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(m.headBone->savedRotation[k], goal[k], 1e-4f) << k;
    // The head's matrix is updated with its new rotation.
    float r[16];
    quaternionToMatrix(m.headBone->rotation, r);
    for (int k : {0, 2, 8, 10}) EXPECT_NEAR(m.headBone->globalMatrix[k], r[k], 1e-5f);

    // Far above: pitch stops at its limit.
    const float above[3] = {0.0f, 1000.0f, 1.0f};
    for (int i = 0; i < 100; ++i) lookAtViewpoint(above, m);
    float up[4];
    quaternionFromEuler(kHeadPitchMax, 0.0f, 0.0f, up);
    EXPECT_NEAR(std::fabs(m.headBone->rotation[0]), std::fabs(up[0]), 2e-3f);

    // Exactly above the head and a NaN viewpoint have no direction: the head turns back to
    // straight ahead instead of keeping NaN for good.
    const float straightUp[3] = {0.0f, 100.0f, 0.0f};
    const float nan[3] = {std::nanf(""), 0.0f, 0.0f};
    for (const float* v : {straightUp, nan}) {
        lookAtViewpoint(v, m);
        for (int k = 0; k < 4; ++k) EXPECT_TRUE(std::isfinite(m.headBone->savedRotation[k]));
        for (int k = 0; k < 16; ++k) EXPECT_TRUE(std::isfinite(m.headBone->globalMatrix[k]));
    }
}

TEST(HeadTurn, EulerAnglesComposeYawAfterPitch) {
    const float a = 0.6f, b = -1.1f;
    float q[4], qx[4], qy[4], both[4];
    quaternionFromEuler(a, 0.0f, 0.0f, qx);
    EXPECT_NEAR(qx[0], std::sin(a / 2), 1e-6f);
    EXPECT_NEAR(qx[3], std::cos(a / 2), 1e-6f);
    quaternionFromEuler(0.0f, b, 0.0f, qy);
    EXPECT_NEAR(qy[1], std::sin(b / 2), 1e-6f);
    quaternionFromEuler(a, b, 0.0f, q);
    multiplyQuaternion(qy, qx, both);
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(q[k], both[k], 1e-6f) << k;
}
