// Posing PMX skeletons: append bones, the deform order, IK with link limits, fixed axes,
// IK switches of a motion, and after-physics bones; on small PMX files the model writer
// makes and loads back.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "character/ModelFrame.h"
#include "animation/DeformOrder.h"
#include "animation/MathUtil.h"
#include "animation/Motion.h"
#include "animation/MotionPlayer.h"
#include "animation/Skeleton.h"
#include "animation/VmdWriter.h"
#include "render/ModelDraw.h"
#include "character/LoadModelFile.h"
#include "model/ModelWriter.h"

using modelwriter::BoneDesc;
using modelwriter::IKChainDesc;
using modelwriter::IKLinkDesc;
using modelwriter::ModelDesc;

namespace {

constexpr float kPi = 3.14159265f;
// A chain counts as solved when its effector is this close to the goal; the cyclic
// descent from a straight leg creeps the last millimetres.
constexpr float kReached = 0.01f;

BoneDesc bone(const char* name, int parent, float x, float y, float z) {
    BoneDesc b;
    b.name = name;
    b.parent = parent;
    b.position[0] = x;
    b.position[1] = y;
    b.position[2] = z;
    return b;
}

void axisAngle(float ax, float ay, float az, float angle, float q[4]) {
    const float len = std::sqrt(ax * ax + ay * ay + az * az);
    const float s = std::sin(angle / 2) / len;
    q[0] = ax * s;
    q[1] = ay * s;
    q[2] = az * s;
    q[3] = std::cos(angle / 2);
    normalizeQuaternion(q);
}

// Angle of a unit quaternion about +Z (signed), for turns known to be about Z.
float angleAboutZ(const float q[4]) { return 2.0f * std::atan2(q[2], q[3]); }

float distance(const cBone& a, const cBone& b) {
    const float d[3] = {a.globalMatrix[12] - b.globalMatrix[12], a.globalMatrix[13] - b.globalMatrix[13],
                        a.globalMatrix[14] - b.globalMatrix[14]};
    return std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
}

class PmxPosing : public ::testing::Test {
protected:
    void SetUp() override { setenv("PAVONIX_NO_DIALOGS", "1", 1); }
    void TearDown() override {
        clearMotionPlayer(model.motion);
        destroyModel(model);
    }

    void load(const ModelDesc& d) {
        destroyModel(model);
        const std::vector<uint8_t> bytes = modelwriter::writePMX(d);
        const LoadResult loaded = loadModelBytes(model, bytes.data(), bytes.size());
        ASSERT_TRUE(loaded.ok()) << refusalText(loaded.problem());
    }
    // One frame without a motion: the bones' rotation and translation fields are the
    // motion values a test sets by hand.
    void pose() {
        updateModelPose(model, 0.0f);
        skinModel(model);
    }
    cBone& at(int i) { return model.bones[i]; }

    cModel model;
};

// A root, a source bone and a bone appending it, each at its own place.
ModelDesc appendModel(float ratio, bool translation) {
    ModelDesc d;
    d.bones = {bone("root", -1, 0, 0, 0), bone("source", 0, 1, 0, 0), bone("follower", 0, -1, 0, 0)};
    d.bones[2].appendParent = 1;
    d.bones[2].appendRatio = ratio;
    d.bones[2].appendTranslation = translation;
    return d;
}

TEST_F(PmxPosing, AppendRotationFollowsTheSourceByItsRatio) {
    for (float ratio : {1.0f, 0.5f, -1.0f}) {
        load(appendModel(ratio, false));
        axisAngle(0, 0, 1, kPi / 2, at(1).rotation);
        pose();
        EXPECT_NEAR(angleAboutZ(at(2).poseRotation), ratio * kPi / 2, 1e-5f) << "ratio " << ratio;
        // The follower stays at its own place and only turns.
        EXPECT_NEAR(at(2).globalMatrix[12], -1.0f, 1e-6f);
        EXPECT_NEAR(at(2).globalMatrix[0], std::cos(ratio * kPi / 2), 1e-5f) << "ratio " << ratio;
        EXPECT_NEAR(at(2).globalMatrix[1], std::sin(ratio * kPi / 2), 1e-5f) << "ratio " << ratio;
        // Rotation append carries no translation.
        at(1).translation[0] = 3.0f;
        pose();
        EXPECT_NEAR(at(2).globalMatrix[12], -1.0f, 1e-6f);
    }
}

TEST_F(PmxPosing, AppendTranslationMovesByTheRatioOfTheSourceMove) {
    for (float ratio : {1.0f, 0.5f, -1.0f}) {
        load(appendModel(ratio, true));
        const float move[3] = {1.0f, 2.0f, -3.0f};
        for (int k = 0; k < 3; ++k) at(1).translation[k] = move[k];
        axisAngle(0, 0, 1, kPi / 2, at(1).rotation);
        pose();
        EXPECT_NEAR(at(2).globalMatrix[12], -1.0f + ratio * move[0], 1e-5f) << "ratio " << ratio;
        EXPECT_NEAR(at(2).globalMatrix[13], ratio * move[1], 1e-5f) << "ratio " << ratio;
        EXPECT_NEAR(at(2).globalMatrix[14], ratio * move[2], 1e-5f) << "ratio " << ratio;
        // Translation append carries no rotation.
        EXPECT_NEAR(at(2).globalMatrix[0], 1.0f, 1e-6f);
    }
}

TEST_F(PmxPosing, AppendOfAnAppendBoneCarriesBothTurnsAndItsOwnMotion) {
    ModelDesc d;
    d.bones = {bone("root", -1, 0, 0, 0), bone("a", 0, 0, 1, 0), bone("b", 0, 0, 2, 0), bone("c", 0, 0, 3, 0)};
    d.bones[2].appendParent = 1;
    d.bones[2].appendRatio = 0.5f;
    d.bones[3].appendParent = 2;
    d.bones[3].appendRatio = 1.0f;
    load(d);
    axisAngle(0, 0, 1, 0.6f, at(1).rotation);
    axisAngle(0, 0, 1, 0.1f, at(2).rotation);
    pose();
    EXPECT_NEAR(angleAboutZ(at(2).poseRotation), 0.3f + 0.1f, 1e-5f);
    EXPECT_NEAR(angleAboutZ(at(3).poseRotation), 0.4f, 1e-5f);
}

TEST_F(PmxPosing, LocalAppendTakesTheSourceTurnRelativeToItsParent) {
    ModelDesc d = appendModel(1.0f, false);
    d.bones[2].pmxFlags |= 0x0080;
    load(d);
    axisAngle(1, 0, 0, 0.7f, at(0).rotation);  // the shared parent turns too
    axisAngle(0, 0, 1, 0.5f, at(1).rotation);
    pose();
    float expected[4];
    axisAngle(0, 0, 1, 0.5f, expected);
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(at(2).poseRotation[k], expected[k], 1e-5f);
}

// A two-link leg: thigh (1) at y 4, knee (2) at y 2, ankle (3) at y 0, a goal bone (4)
// and a D thigh (5) appending the thigh. The chain bends the knee to reach the goal.
ModelDesc legModel(int dLayer) {
    ModelDesc d;
    d.bones = {bone("root", -1, 0, 4, 0), bone("thigh", 0, 0, 4, 0), bone("knee", 1, 0, 2, 0), bone("ankle", 2, 0, 0, 0),
               bone("goal", 0, 0, 0, 0), bone("thighD", 0, 0, 4, 0), bone("kneeD", 5, 0, 2, 0), bone("ankleD", 6, 0, 0, 0)};
    // The D bones sit before the goal bone in the file, so only their layer can put them
    // after the chain.
    std::swap(d.bones[4], d.bones[5]);
    std::swap(d.bones[5], d.bones[6]);
    std::swap(d.bones[6], d.bones[7]);
    // Now: 4 thighD, 5 kneeD, 6 ankleD, 7 goal.
    d.bones[4].parent = 0;
    d.bones[5].parent = 4;
    d.bones[6].parent = 5;
    d.bones[7].parent = 0;
    for (int i = 4; i <= 6; ++i) {
        d.bones[i].appendParent = i - 3;
        d.bones[i].appendRatio = 1.0f;
        d.bones[i].deformLayer = dLayer;
    }
    IKChainDesc ik;
    ik.ikBone = 7;
    ik.target = 3;
    ik.iterations = 40;
    ik.limit = 1.0f;
    IKLinkDesc knee;
    knee.bone = 2;
    knee.limited = true;
    knee.lower[0] = -kPi;
    knee.upper[0] = -0.01f;
    IKLinkDesc thigh;
    thigh.bone = 1;
    ik.links = {knee, thigh};
    d.ikChains = {ik};
    return d;
}

TEST_F(PmxPosing, LaterLayerSeesTheSolvedChainThroughAppendFromAnIKLink) {
    load(legModel(1));
    at(7).translation[1] = 1.0f;  // goal up and forward: the knee has to bend
    at(7).translation[2] = -0.5f;
    pose();
    EXPECT_LT(distance(at(3), at(7)), kReached);
    EXPECT_GT(std::fabs(at(2).poseRotation[0]), 0.1f);  // the knee did bend
    for (int i = 4; i <= 6; ++i) EXPECT_LT(distance(at(i), at(i - 3)), 1e-4f) << at(i).name;

    // In the chain's own layer the D bones come before the goal bone in index order and
    // see the legs as the motion left them.
    load(legModel(0));
    at(7).translation[1] = 1.0f;
    at(7).translation[2] = -0.5f;
    pose();
    EXPECT_LT(distance(at(3), at(7)), kReached);
    EXPECT_GT(distance(at(6), at(3)), 0.5f);
    EXPECT_NEAR(at(6).globalMatrix[13], 0.0f, 1e-5f);
}

TEST_F(PmxPosing, DeformOrderSortsByAfterPhysicsThenLayerThenIndex) {
    ModelDesc d;
    d.bones = {bone("a", -1, 0, 0, 0), bone("b", -1, 0, 0, 0), bone("c", -1, 0, 0, 0), bone("d", -1, 0, 0, 0),
               bone("e", -1, 0, 0, 0)};
    d.bones[0].deformLayer = 2;
    d.bones[1].pmxFlags |= 0x1000;
    d.bones[2].deformLayer = 1;
    d.bones[4].deformLayer = 1;
    load(d);
    std::string order;
    for (const cBone* b = model.deformOrder.first; b; b = b->nextInOrder) order += b->name;
    EXPECT_EQ(order, "dceab");
    ASSERT_NE(model.deformOrder.firstAfterPhysics, nullptr);
    EXPECT_STREQ(model.deformOrder.firstAfterPhysics->name, "b");
}

TEST_F(PmxPosing, AfterPhysicsBonesArePosedWhenTheModelIsSkinned) {
    ModelDesc d;
    d.bones = {bone("root", -1, 0, 0, 0), bone("late", 0, 1, 0, 0), bone("follower", 0, 2, 0, 0)};
    d.bones[1].pmxFlags |= 0x1000;
    d.bones[2].pmxFlags |= 0x1000;
    d.bones[2].appendParent = 1;
    load(d);
    axisAngle(0, 0, 1, 0.5f, at(1).rotation);
    updateModelPose(model, 0.0f);
    EXPECT_NEAR(at(1).globalMatrix[0], 1.0f, 1e-6f);  // not yet: physics comes first
    skinModel(model);
    EXPECT_NEAR(at(1).globalMatrix[0], std::cos(0.5f), 1e-6f);
    EXPECT_NEAR(angleAboutZ(at(2).poseRotation), 0.5f, 1e-5f);
}

TEST_F(PmxPosing, LimitedLinkStaysInsideItsRange) {
    // One link that may only turn about X, between -0.3 and 0 radians, reaching for a
    // goal it cannot get to.
    ModelDesc d;
    d.bones = {bone("root", -1, 0, 0, 0), bone("arm", 0, 0, 0, 0), bone("hand", 1, 0, 2, 0), bone("goal", 0, 0, 0, 0)};
    IKChainDesc ik;
    ik.ikBone = 3;
    ik.target = 2;
    ik.iterations = 20;
    ik.limit = 0.2f;
    IKLinkDesc link;
    link.bone = 1;
    link.limited = true;
    link.lower[0] = -0.3f;
    link.upper[0] = 0.0f;
    ik.links = {link};
    d.ikChains = {ik};
    for (float gx : {2.0f, 0.0f}) {
        for (float gz : {-2.0f, 2.0f}) {
            load(d);
            at(3).translation[0] = gx;
            at(3).translation[1] = 0.5f;
            at(3).translation[2] = gz;
            pose();
            float euler[3];
            quaternionToEuler(at(1).poseRotation, euler);
            EXPECT_GE(euler[0], -0.3f - 1e-4f) << gx << " " << gz;
            EXPECT_LE(euler[0], 1e-4f) << gx << " " << gz;
            EXPECT_NEAR(euler[1], 0.0f, 1e-4f);
            EXPECT_NEAR(euler[2], 0.0f, 1e-4f);
        }
    }
    // Toward -z the link turns as far as it may: the limit holds it, not the step size.
    load(d);
    at(3).translation[1] = 0.5f;
    at(3).translation[2] = -2.0f;
    pose();
    float euler[3];
    quaternionToEuler(at(1).poseRotation, euler);
    EXPECT_NEAR(euler[0], -0.3f, 1e-4f);
}

TEST_F(PmxPosing, PerStepAngleIsTheStoredOne) {
    // One iteration, one step: the link turns by exactly the chain's stored angle.
    ModelDesc d;
    d.bones = {bone("root", -1, 0, 0, 0), bone("arm", 0, 0, 0, 0), bone("hand", 1, 0, 2, 0), bone("goal", 0, 0, 0, 0)};
    IKChainDesc ik;
    ik.ikBone = 3;
    ik.target = 2;
    ik.iterations = 1;
    ik.limit = 0.25f;
    ik.links = {IKLinkDesc{1, false, {}, {}}};
    d.ikChains = {ik};
    load(d);
    at(3).translation[0] = -2.0f;  // 135 degrees about +z away, far more than one step
    at(3).translation[1] = -2.0f;
    pose();
    EXPECT_NEAR(angleAboutZ(at(1).poseRotation), 0.25f, 1e-5f);
}

TEST_F(PmxPosing, FixedAxisBoneTurnsOnlyAboutItsAxis) {
    ModelDesc d;
    d.bones = {bone("root", -1, 0, 0, 0), bone("twist", 0, 0, 1, 0)};
    d.bones[1].pmxFlags |= 0x0400;
    d.bones[1].fixedAxis[0] = 0.0f;
    d.bones[1].fixedAxis[1] = 2.0f;  // not unit length in the file
    d.bones[1].fixedAxis[2] = 0.0f;
    load(d);
    EXPECT_NEAR(at(1).fixedAxis[1], 1.0f, 1e-6f);
    axisAngle(1, 1, 0, 0.8f, at(1).rotation);
    pose();
    const float* q = at(1).poseRotation;
    EXPECT_NEAR(q[0], 0.0f, 1e-6f);
    EXPECT_NEAR(q[2], 0.0f, 1e-6f);
    // The share of the turn about the axis: the component of the rotation vector on it.
    const float expected = 2.0f * std::atan2(std::sin(0.4f) / std::sqrt(2.0f), std::cos(0.4f));
    EXPECT_NEAR(2.0f * std::atan2(q[1], q[3]), expected, 1e-5f);
    // The motion's own value is left as keyed.
    EXPECT_GT(std::fabs(at(1).rotation[0]), 0.1f);
}

TEST_F(PmxPosing, ChainSwitchedOffByTheMotionIsNotSolvedThere) {
    load(legModel(1));
    const std::string goal = "goal";
    VmdBoneKeyDef key;
    key.name = goal;
    key.position[1] = 1.0f;
    key.position[2] = -0.5f;
    VmdIKKeyDef on, off, onAgain;
    on.switches = {{goal, true}};
    off.frame = 10;
    off.switches = {{goal, false}};
    onAgain.frame = 20;
    onAgain.switches = {{goal, true}};
    VmdBoneKeyDef last = key;
    last.frame = 30;
    const std::vector<uint8_t> bytes = encodeVMD({key, last}, {}, "m", {on, off, onAgain});
    MotionData motion;
    ASSERT_TRUE(parseVMD(motion, bytes.data(), bytes.size(), "switch.vmd"));
    ASSERT_EQ(motion.ikTrackCount, 1);
    EXPECT_EQ(motion.visibilityKeyCount, 3);
    bindMotion(model.motion, model, motion);

    for (float frame : {5.0f, 15.0f, 25.0f}) {
        model.motion.currentFrame = frame;
        pose();
        const bool solved = distance(at(3), at(7)) < kReached;
        EXPECT_EQ(solved, frame < 10.0f || frame >= 20.0f) << "frame " << frame;
        EXPECT_EQ(model.ikChains[0].enabled != 0, solved) << "frame " << frame;
    }
    // Unbinding switches the chain back on.
    model.motion.currentFrame = 15.0f;
    pose();
    clearMotionPlayer(model.motion);
    EXPECT_EQ(model.ikChains[0].enabled, 1);
}

}  // namespace
