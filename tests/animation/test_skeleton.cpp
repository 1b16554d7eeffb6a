#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>

#include "character/ModelFrame.h"
#include "animation/MathUtil.h"
#include "animation/Skeleton.h"
#include "common/TestModels.h"

using testmodels::BoneDesc;
using testmodels::ScopedModel;
using testmodels::VertexDesc;

namespace {

void axisAngle(float ax, float ay, float az, float angle, float q[4]) {
    const float len = std::sqrt(ax * ax + ay * ay + az * az);
    const float s = std::sin(angle / 2) / len;
    q[0] = ax * s;
    q[1] = ay * s;
    q[2] = az * s;
    q[3] = std::cos(angle / 2);
}

void expectPosition(const cBone& bone, float x, float y, float z, float tol = 1e-5f) {
    EXPECT_NEAR(bone.globalMatrix[12], x, tol) << bone.name;
    EXPECT_NEAR(bone.globalMatrix[13], y, tol) << bone.name;
    EXPECT_NEAR(bone.globalMatrix[14], z, tol) << bone.name;
}

void updateAll(cModel& m) {
    for (uint32_t i = 0; i < m.boneCount(); ++i) updateBoneTransform(m.bones[i]);
}

float distanceBetween(const cBone& a, const cBone& b) {
    const float dx = a.globalMatrix[12] - b.globalMatrix[12];
    const float dy = a.globalMatrix[13] - b.globalMatrix[13];
    const float dz = a.globalMatrix[14] - b.globalMatrix[14];
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

bool allFinite(const float* v, int n) {
    for (int i = 0; i < n; ++i) {
        if (!std::isfinite(v[i])) return false;
    }
    return true;
}

}  // namespace

TEST(BoneSetup, RootAndChildAtRestHaveIdentitySkinMatrices) {
    ScopedModel s;
    const std::string longName(40, 'b');
    testmodels::setBones(s.model, {{"root", 3, 4, 5}, {longName.c_str(), 3, 6, 5, 0}});
    cBone& root = s.model.bones[0];
    cBone& child = s.model.bones[1];
    EXPECT_EQ(root.parent, nullptr);
    EXPECT_EQ(child.parent, &root);
    EXPECT_EQ(std::strlen(child.name), 31u);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(root.parentOffset[k], root.restPosition[k]);
    EXPECT_FLOAT_EQ(child.parentOffset[1], 2.0f);
    EXPECT_FLOAT_EQ(root.inverseRest[12], -3.0f);

    updateAll(s.model);
    skinVertices(s.model);
    const float identity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    for (int k = 0; k < 16; ++k) {
        EXPECT_FLOAT_EQ(root.skinMatrix[k], identity[k]) << k;
        EXPECT_FLOAT_EQ(child.skinMatrix[k], identity[k]) << k;
    }
}

TEST(BoneSetup, AppendParentOnlyWithItsFlag) {
    cBone bones[3];
    BoneDef def{};
    def.parent = def.child = def.appendParent = -1;
    initBone(bones[0], "a", def, bones);
    def.appendParent = 0;
    def.appendRatio = 0.5f;
    initBone(bones[1], "b", def, bones);
    EXPECT_EQ(bones[1].appendParent, nullptr);
    def.flags = 0x0100;
    initBone(bones[2], "c", def, bones);
    EXPECT_EQ(bones[2].appendParent, &bones[0]);
    EXPECT_FLOAT_EQ(bones[2].appendRatio, 0.5f);
}

TEST(BoneTransform, RotatedParentMovesItsChildren) {
    ScopedModel s;
    testmodels::setBones(s.model, {{"p", 0, 0, 0}, {"c", 0, 1, 0, 0}, {"g", 0, 2, 0, 1}});
    axisAngle(0, 0, 1, static_cast<float>(M_PI / 2), s.model.bones[0].rotation);
    s.model.bones[1].translation[0] = 0.5f;  // along the parent's (turned) x axis
    updateAll(s.model);
    expectPosition(s.model.bones[1], -1.0f, 0.5f, 0.0f);  // (0.5, 1, 0) turned 90 degrees about z
    expectPosition(s.model.bones[2], -2.0f, 0.5f, 0.0f);  // the grandchild turns with them
}

TEST(BoneTransform, ParentListedAfterChildContributesItsPreviousMatrix) {
    ScopedModel s;
    testmodels::setBones(s.model, {{"child", 0, 1, 0, 1}, {"parent", 0, 0, 0}});
    s.model.bones[1].translation[0] = 4.0f;
    updateAll(s.model);
    expectPosition(s.model.bones[0], 0.0f, 1.0f, 0.0f);  // parent still at rest when the child ran
    expectPosition(s.model.bones[1], 4.0f, 0.0f, 0.0f);
    updateAll(s.model);
    expectPosition(s.model.bones[0], 4.0f, 1.0f, 0.0f);  // one frame late
}

TEST(Matrix, InverseOfGeneralAndRotatedMatrices) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-2.0f, 2.0f);
    for (int trial = 0; trial < 50; ++trial) {
        float q[4] = {u(rng), u(rng), u(rng), u(rng)};
        normalizeQuaternion(q);
        float m[16];
        quaternionToMatrix(q, m);
        m[12] = u(rng) * 10;
        m[13] = u(rng) * 10;
        m[14] = u(rng) * 10;
        m[0] *= 1.5f;  // not only rigid transforms
        float inv[16], prod[16];
        ASSERT_TRUE(invertMatrix4(m, inv));
        multiplyMatrix4(m, inv, prod);
        for (int k = 0; k < 16; ++k) EXPECT_NEAR(prod[k], (k % 5 == 0) ? 1.0f : 0.0f, 1e-4f) << trial << ' ' << k;
    }
    // A quarter turn about z has zeros on the diagonal and is still invertible.
    float q[4], m[16], inv[16];
    axisAngle(0, 0, 1, static_cast<float>(M_PI / 2), q);
    quaternionToMatrix(q, m);
    m[0] = m[5] = 0.0f;  // exactly, as a motion key of 90 degrees gives
    m[12] = 1.0f;
    ASSERT_TRUE(invertMatrix4(m, inv));
    const float p[3] = {2.0f, 3.0f, 4.0f};
    float there[3], back[3];
    transformPoint(m, p, there);
    transformPoint(inv, there, back);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(back[k], p[k], 1e-5f);
}

TEST(Matrix, SingularMatrixGivesIdentityNotNaN) {
    float m[16] = {};
    m[15] = 1.0f;
    float out[16];
    std::memset(out, 0xff, sizeof(out));
    EXPECT_FALSE(invertMatrix4(m, out));
    for (int k = 0; k < 16; ++k) EXPECT_EQ(out[k], (k % 5 == 0) ? 1.0f : 0.0f);
}

TEST(Quaternion, ProductMatchesMatrixProductAndNormalisesToPositiveW) {
    float a[4], b[4], ab[4];
    axisAngle(1, 2, 3, 0.7f, a);
    axisAngle(-2, 1, 0.5f, 2.1f, b);
    multiplyQuaternion(a, b, ab);
    float ma[16], mb[16], mab[16], mq[16];
    quaternionToMatrix(a, ma);
    quaternionToMatrix(b, mb);
    multiplyMatrix4(ma, mb, mab);
    quaternionToMatrix(ab, mq);
    for (int k = 0; k < 16; ++k) EXPECT_NEAR(mq[k], mab[k], 1e-5f) << k;

    float n[4] = {0.0f, 0.0f, 0.6f, -0.8f};
    normalizeQuaternion(n);
    EXPECT_FLOAT_EQ(n[2], -0.6f);
    EXPECT_FLOAT_EQ(n[3], 0.8f);
    float zero[4] = {0, 0, 0, 0};
    normalizeQuaternion(zero);
    EXPECT_EQ(zero[3], 1.0f);
}

TEST(Quaternion, EulerAnglesRoundTripAwayFromThePoles) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> wide(-3.0f, 3.0f);
    std::uniform_real_distribution<float> pitch(-1.4f, 1.4f);
    for (int trial = 0; trial < 200; ++trial) {
        const float x = wide(rng), y = pitch(rng), z = wide(rng);
        float qx[4], qy[4], qz[4], q[4];
        axisAngle(1, 0, 0, x, qx);
        axisAngle(0, 1, 0, y, qy);
        axisAngle(0, 0, 1, z, qz);
        multiplyQuaternion(qz, qy, q);
        multiplyQuaternion(q, qx, q);
        normalizeQuaternion(q);
        float e[3];
        quaternionToEuler(q, e);
        EXPECT_NEAR(e[0], x, 2e-3f) << trial;
        EXPECT_NEAR(e[1], y, 2e-3f) << trial;
        EXPECT_NEAR(e[2], z, 2e-3f) << trial;
    }
    // At the pole the sine is clamped rather than handed to asin above 1.
    float q[4], e[3];
    axisAngle(0, 1, 0, static_cast<float>(M_PI / 2), q);
    q[1] *= 1.0001f;
    quaternionToEuler(q, e);
    EXPECT_TRUE(allFinite(e, 3));
    EXPECT_EQ(e[2], 0.0f);
}

class LegIK : public ::testing::Test {
protected:
    void SetUp() override {
        testmodels::makeLegModel(s.model);
        chain = &s.model.ikChains[0];
        hip = &s.model.bones[1];
        knee = &s.model.bones[2];
        ankle = &s.model.bones[3];
        goal = &s.model.bones[4];
    }
    void solveWithGoalAt(float x, float y, float z) {
        goal->translation[0] = x - 1.0f;
        goal->translation[1] = y;
        goal->translation[2] = z;
        updateAll(s.model);
        solveIK(*chain);
    }
    ScopedModel s;
    cIKChain* chain = nullptr;
    cBone *hip = nullptr, *knee = nullptr, *ankle = nullptr, *goal = nullptr;
};

TEST_F(LegIK, ReachesAReachableGoalBendingTheKneeBackwards) {
    ASSERT_TRUE(knee->ikAngleLimited);
    solveWithGoalAt(1.0f, 3.0f, -1.0f);  // a foot raised in front, as in a step
    EXPECT_LT(distanceBetween(*ankle, *goal), 0.01f);
    // Only an X turn, and a negative one.
    EXPECT_LT(knee->rotation[0], 0.0f);
    EXPECT_EQ(knee->rotation[1], 0.0f);
    EXPECT_EQ(knee->rotation[2], 0.0f);
    EXPECT_GE(knee->rotation[3], 0.0f);
    EXPECT_NEAR(std::hypot(std::hypot(hip->rotation[0], hip->rotation[1]), std::hypot(hip->rotation[2], hip->rotation[3])),
                1.0f, 1e-5f);
}

TEST_F(LegIK, GoalAlreadyReachedLeavesEveryLinkUntouched) {
    solveWithGoalAt(1.0f, 1e-4f, 1e-4f);  // within sqrt(1e-7) of the effector
    for (const cBone* b : {hip, knee}) {
        EXPECT_EQ(b->rotation[0], 0.0f);
        EXPECT_EQ(b->rotation[1], 0.0f);
        EXPECT_EQ(b->rotation[2], 0.0f);
        EXPECT_EQ(b->rotation[3], 1.0f);
    }
}

TEST_F(LegIK, KneeStepTowardTheFrontIsClampedToASlightBackwardBend) {
    // Only the knee in the chain; the goal is in front, which would need a positive X turn.
    const std::vector<cBone*> saved = chain->links;
    chain->links = {knee};
    chain->linkCount = 1;
    chain->iterations = 1;
    solveWithGoalAt(1.0f, 1.0f, -3.0f);
    chain->links = saved;
    chain->linkCount = 2;
    EXPECT_NEAR(knee->rotation[0], std::sin(-0.001f), 1e-6f);
    EXPECT_NEAR(knee->rotation[3], std::cos(-0.001f), 1e-6f);
    EXPECT_GT(ankle->globalMatrix[14], 0.0f);  // the foot moved backwards (+z), not toward the goal
}

TEST_F(LegIK, DegenerateGoalsNeverProduceNaN) {
    // Straight leg and a goal on its line beyond reach: the unit vectors' dot product lands
    // on 1 (or just past it); a goal on the hip itself has no direction at all.
    knee->restPosition[2] = 0.0f;
    computeParentOffsets(s.model);
    for (const float y : {-20.0f, 10.0f}) {
        solveWithGoalAt(1.0f, y, 0.0f);
        for (uint32_t i = 0; i < s.model.boneCount(); ++i) {
            EXPECT_TRUE(allFinite(s.model.bones[i].rotation, 4)) << i;
            EXPECT_TRUE(allFinite(s.model.bones[i].globalMatrix, 16)) << i;
        }
    }
}

class Skinning : public ::testing::Test {
protected:
    // Bone i is moved by offsets[i]; bone 4 is turned a quarter about z.
    void SetUp() override {
        testmodels::setBones(s.model, {{"a", 0, 0, 0}, {"b", 0, 0, 0}, {"c", 0, 0, 0}, {"d", 0, 0, 0}, {"r", 0, 0, 0}});
        const float offsets[4][3] = {{1, 0, 0}, {0, 2, 0}, {0, 0, 3}, {4, 0, 0}};
        for (int i = 0; i < 4; ++i) std::memcpy(s.model.bones[i].translation, offsets[i], sizeof(offsets[i]));
        axisAngle(0, 0, 1, static_cast<float>(M_PI / 2), s.model.bones[4].rotation);
        updateAll(s.model);
    }
    const float* skinned(const std::vector<VertexDesc>& vertices, int v) {
        testmodels::setVertices(s.model, vertices);
        skinModel(s.model);
        return s.model.skin.positions.data() + 3 * v;
    }
    static VertexDesc vertex(uint8_t type, std::initializer_list<float> w, std::initializer_list<int32_t> b) {
        VertexDesc v{};
        v.position[0] = 10.0f;
        v.position[1] = 20.0f;
        v.position[2] = 30.0f;
        v.type = type;
        std::copy(w.begin(), w.end(), v.weights);
        std::copy(b.begin(), b.end(), v.bones);
        return v;
    }
    ScopedModel s;
};

TEST_F(Skinning, NearlyFullWeightFollowsOneBoneAlone) {
    const float* p = skinned({vertex(1, {0.99995f, 0.00005f}, {0, 3})}, 0);
    EXPECT_FLOAT_EQ(p[0], 11.0f);  // bone 3's share would show as 0.0002
    EXPECT_FLOAT_EQ(p[1], 20.0f);
    p = skinned({vertex(1, {0.00005f, 0.99995f}, {0, 1})}, 0);
    EXPECT_FLOAT_EQ(p[0], 10.0f);
    EXPECT_FLOAT_EQ(p[1], 22.0f);
    p = skinned({vertex(0, {1.0f}, {2, -1})}, 0);  // one-bone vertex, second index unused
    EXPECT_FLOAT_EQ(p[2], 33.0f);
}

TEST_F(Skinning, TwoBoneBlendAndSdefAlike) {
    for (uint8_t type : {1, 3}) {
        const float* p = skinned({vertex(type, {0.5f, 0.5f}, {0, 1})}, 0);
        EXPECT_FLOAT_EQ(p[0], 10.5f) << int(type);
        EXPECT_FLOAT_EQ(p[1], 21.0f) << int(type);
        EXPECT_FLOAT_EQ(p[2], 30.0f) << int(type);
    }
    // The second weight is implied (1 - w0), whatever is stored there.
    const float* p = skinned({vertex(1, {0.25f, 0.0f}, {0, 1})}, 0);
    EXPECT_FLOAT_EQ(p[0], 10.25f);
    EXPECT_FLOAT_EQ(p[1], 21.5f);
}

TEST_F(Skinning, FourBoneBlendUsesWeightsAsStored) {
    const float* p = skinned({vertex(2, {0.4f, 0.3f, 0.2f, 0.1f}, {0, 1, 2, 3})}, 0);
    EXPECT_NEAR(p[0], 10.8f, 1e-5f);
    EXPECT_NEAR(p[1], 20.6f, 1e-5f);
    EXPECT_NEAR(p[2], 30.6f, 1e-5f);
    // Weights summing to 0.5 are not renormalised: the point shrinks toward the origin.
    p = skinned({vertex(4, {0.2f, 0.1f, 0.1f, 0.1f}, {0, 0, 0, 0})}, 0);
    EXPECT_NEAR(p[0], 5.5f, 1e-5f);
    EXPECT_NEAR(p[1], 10.0f, 1e-5f);
}

TEST_F(Skinning, NormalsTurnWithoutTranslationAndStayUnnormalisedWhenBlended) {
    VertexDesc v = vertex(1, {0.5f, 0.5f}, {4, 0});
    v.normal[0] = 1.0f;
    v.normal[1] = 0.0f;
    testmodels::setVertices(s.model, {v, vertex(1, {1.0f}, {4, 0})});
    s.model.normals[3] = 1.0f;
    s.model.normals[4] = 0.0f;
    skinModel(s.model);
    const float* n = s.model.skin.normals.data();
    EXPECT_NEAR(n[0], 0.5f, 1e-6f);  // half (0, 1, 0), half (1, 0, 0)
    EXPECT_NEAR(n[1], 0.5f, 1e-6f);
    EXPECT_NEAR(n[3], 0.0f, 1e-6f);  // a quarter turn, no translation leaked in
    EXPECT_NEAR(n[4], 1.0f, 1e-6f);
    EXPECT_NEAR(n[5], 0.0f, 1e-6f);
}

TEST_F(Skinning, BoneIndexOutsideTheArrayLeavesTheVertexInPlace) {
    const float* p = skinned({vertex(1, {1.0f}, {65535, 0}), vertex(1, {0.5f}, {0, -7}), vertex(1, {1.0f}, {1, 0})}, 0);
    EXPECT_FLOAT_EQ(p[0], 10.0f);
    EXPECT_FLOAT_EQ(p[3], 10.5f);
    EXPECT_FLOAT_EQ(p[7], 22.0f);
}
