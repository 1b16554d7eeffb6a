#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "character/ModelFrame.h"
#include "animation/MathUtil.h"
#include "animation/Sdef.h"
#include "animation/Skeleton.h"
#include "common/TestModels.h"
#include "render/ModelDraw.h"
#include "character/LoadModelFile.h"
#include "platform/WorkerPool.h"

namespace {

using testmodels::ScopedModel;
using testmodels::VertexDesc;

void turn(float ax, float ay, float az, float angle, float q[4]) {
    const float s = std::sin(angle / 2);
    q[0] = ax * s;
    q[1] = ay * s;
    q[2] = az * s;
    q[3] = std::cos(angle / 2);
}

void updateAll(cModel& m) {
    for (uint32_t i = 0; i < m.boneCount(); ++i) updateBoneTransform(m.bones[i]);
}

void setSdef(cModel& m, const std::vector<SdefVertex>& records) {
    m.sdefVertices = records;
}

// Restores the automatic choice however a test ends.
struct ThreadChoice {
    explicit ThreadChoice(unsigned n) { setSkinningThreads(n); }
    ~ThreadChoice() { setSkinningThreads(0); }
};

// ---- The pool. ----

TEST(WorkerPool, RunsEveryTaskOnceAndNestedRunsFinish) {
    WorkerPool pool(3);
    EXPECT_EQ(pool.threadCount(), 3u);
    struct Work {
        WorkerPool* pool;
        std::atomic<int> hits[200];
        std::atomic<int> inner{0};
    } work;
    work.pool = &pool;
    for (auto& h : work.hits) h = 0;
    for (int round = 0; round < 50; ++round) {
        pool.run(200, [](uint32_t t, void* u) { static_cast<Work*>(u)->hits[t]++; }, &work);
    }
    for (int t = 0; t < 200; ++t) ASSERT_EQ(work.hits[t].load(), 50) << t;
    // A task that asks the busy pool for more work does it itself instead of waiting.
    pool.run(4, [](uint32_t, void* u) {
        auto* w = static_cast<Work*>(u);
        w->pool->run(5, [](uint32_t, void* v) { static_cast<Work*>(v)->inner++; }, w);
    }, &work);
    EXPECT_EQ(work.inner.load(), 20);
    // One thread: everything on the caller.
    WorkerPool alone(1);
    int count = 0;
    alone.run(7, [](uint32_t, void* u) { ++*static_cast<int*>(u); }, &count);
    EXPECT_EQ(count, 7);
}

// ---- Skinning split over threads. ----

// A mesh of every deformation type, SDEF records included, on 12 bones turned at random;
// 3 chunks and a part, so chunk edges and the array's end are both crossed.
void makeMixedMesh(cModel& m, uint32_t count) {
    std::vector<testmodels::BoneDesc> bones;
    for (int i = 0; i < 12; ++i) bones.push_back({"b", float(i % 3), float(i), 0.5f * i, i == 0 ? -1 : (i - 1) / 2});
    testmodels::setBones(m, bones);
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (uint32_t i = 0; i < m.boneCount(); ++i) {
        turn(0.6f, 0.0f, 0.8f, u(rng), m.bones[i].rotation);
        m.bones[i].translation[1] = u(rng);
    }
    updateAll(m);
    std::vector<VertexDesc> vertices(count);
    std::vector<SdefVertex> sdefs;
    std::uniform_int_distribution<int> bone(0, 11), type(0, 4);
    for (uint32_t v = 0; v < count; ++v) {
        VertexDesc& d = vertices[v];
        for (int k = 0; k < 3; ++k) {
            d.position[k] = 5 * u(rng);
            d.normal[k] = u(rng);
        }
        d.type = static_cast<uint8_t>(type(rng));
        for (int k = 0; k < 4; ++k) d.bones[k] = bone(rng);
        const float w = 0.5f + 0.5f * u(rng);
        d.weights[0] = d.type == 0 ? 1.0f : w;
        d.weights[1] = 1.0f - w;
        if (d.type == 2 || d.type == 4) {
            d.weights[1] = (1.0f - w) * 0.5f;
            d.weights[2] = d.weights[3] = (1.0f - w) * 0.25f;
        }
        if (d.type == 3) {
            SdefVertex s{v, {1, 2, 3}, {1.5f, 2, 3}, {0.5f, 2, 3}};
            sdefs.push_back(s);
        }
    }
    testmodels::setVertices(m, vertices, true);
    setSdef(m, sdefs);
}

TEST(ParallelSkinning, EveryThreadCountGivesTheSingleThreadedBits) {
    ScopedModel s;
    const uint32_t count = 3 * 4096 + 1001;
    makeMixedMesh(s.model, count);
    std::vector<float> pos1, nrm1;
    {
        ThreadChoice one(1);
        skinModel(s.model);
        pos1.assign(s.model.skin.positions.data(), s.model.skin.positions.data() + 3 * count);
        nrm1.assign(s.model.skin.normals.data(), s.model.skin.normals.data() + 3 * count);
    }
    for (unsigned threads : {2u, 3u, 8u}) {
        ThreadChoice many(threads);
        for (int frame = 0; frame < 3; ++frame) {
            std::memset(s.model.skin.positions.data(), 0xff, sizeof(float) * 3 * count);
            skinModel(s.model);
            ASSERT_EQ(std::memcmp(pos1.data(), s.model.skin.positions.data(), sizeof(float) * 3 * count), 0) << threads;
            ASSERT_EQ(std::memcmp(nrm1.data(), s.model.skin.normals.data(), sizeof(float) * 3 * count), 0) << threads;
        }
    }
    // And the bits are right: linear vertices against the blend written out longhand, so a
    // store that spills into a neighbour (at a chunk's edge or the array's end) shows.
    for (uint32_t v = 0; v < count; ++v) {
        const VertexSkin& k = s.model.skins[v];
        if (k.type == 3) continue;
        float m[16] = {};
        const int used = (k.type == 2 || k.type == 4) && k.weights[0] < 0.9999f ? 4 : 2;
        for (int b = 0; b < used; ++b) {
            const float w = used == 4 ? k.weights[b] : (b == 0 ? k.weights[0] : 1.0f - k.weights[0]);
            if (k.weights[0] >= 0.9999f && b == 1) continue;
            const float wb = k.weights[0] >= 0.9999f ? 1.0f : w;
            for (int e = 0; e < 16; ++e) m[e] += wb * s.model.bones[k.boneIndices[b]].skinMatrix[e];
        }
        float expect[3];
        transformPoint(m, s.model.positions.data() + 3 * v, expect);
        for (int e = 0; e < 3; ++e) ASSERT_NEAR(pos1[3 * v + e], expect[e], 1e-4f) << "vertex " << v;
    }
}

// Vertices are skinned two at a time where they can be; a vertex must come out the same
// whichever neighbour it is paired with, and whether it is paired at all.
TEST(ParallelSkinning, AVertexGetsTheSameBitsWhereverItStands) {
    ScopedModel s;
    const uint32_t count = 2 * 4096 + 77;
    makeMixedMesh(s.model, count);
    s.model.sdefVertices.clear();  // the spherical pass is the same either way
    skinModel(s.model);
    const std::vector<float> pos(s.model.skin.positions.data(), s.model.skin.positions.data() + 3 * count);
    const std::vector<float> nrm(s.model.skin.normals.data(), s.model.skin.normals.data() + 3 * count);
    // Reversed, and then shifted by one behind a four-bone vertex: every vertex gets a new
    // partner, a new place in its chunk, and the other half of the registers.
    for (uint32_t shift : {0u, 1u}) {
        std::vector<VertexDesc> moved(count + shift);
        for (uint32_t v = 0; v < count; ++v) {
            VertexDesc& d = moved[shift + count - 1 - v];
            const VertexSkin& k = s.model.skins[v];
            for (int e = 0; e < 3; ++e) {
                d.position[e] = s.model.positions[3 * v + e];
                d.normal[e] = s.model.normals[3 * v + e];
            }
            d.type = k.type;
            for (int e = 0; e < 4; ++e) {
                d.weights[e] = k.weights[e];
                d.bones[e] = k.boneIndices[e];
            }
        }
        if (shift) moved[0] = {{1, 2, 3}, {0, 1, 0}, 2, {0.4f, 0.3f, 0.2f, 0.1f}, {1, 2, 3, 4}};
        ScopedModel t;
        makeMixedMesh(t.model, 1);  // the same bones in the same pose
        t.model.sdefVertices.clear();
        testmodels::setVertices(t.model, moved, true);
        skinModel(t.model);
        for (uint32_t v = 0; v < count; ++v) {
            const uint32_t w = shift + count - 1 - v;
            ASSERT_EQ(std::memcmp(&pos[3 * v], t.model.skin.positions.data() + 3 * w, 3 * sizeof(float)), 0)
                << "vertex " << v << " shift " << shift;
            ASSERT_EQ(std::memcmp(&nrm[3 * v], t.model.skin.normals.data() + 3 * w, 3 * sizeof(float)), 0)
                << "vertex " << v << " shift " << shift;
        }
    }
}

// Meshes whose end falls on a pair, on a lone vertex, or right after a four-bone vertex
// write nothing past their last vertex.
TEST(ParallelSkinning, NothingIsWrittenPastTheMesh) {
    for (uint32_t count : {1u, 2u, 3u, 4u, 4096u, 4097u, 4098u}) {
        for (bool fourAtEnd : {false, true}) {
            ScopedModel s;
            makeMixedMesh(s.model, count);
            for (uint32_t v = 0; v + 1 < count; ++v) s.model.skins[v].type = v % 7 == 3 ? 2 : 1;
            s.model.skins[count - 1].type = fourAtEnd ? 2 : 1;
            s.model.skins[count - 1].weights[0] = 0.5f;
            s.model.sdefVertices.clear();
            // Outputs with room for a whole vector beyond the end, all sentinel.
            const uint32_t guard = 8;
            for (std::vector<float>* out : {&s.model.skin.positions, &s.model.skin.normals})
                out->assign(3 * count + guard, -12345.0f);
            for (unsigned threads : {1u, 2u}) {
                ThreadChoice choice(threads);
                skinModel(s.model);
                for (const float* out : {s.model.skin.positions.data(), s.model.skin.normals.data()}) {
                    for (uint32_t i = 0; i < guard; ++i)
                        ASSERT_EQ(out[3 * count + i], -12345.0f) << count << " vertices, float " << i << " past";
                    ASSERT_NE(out[3 * count - 1], -12345.0f) << count;
                }
            }
        }
    }
}

// A bone index past the skeleton keeps the vertex where it is, wherever the vertex stands
// and whichever slot holds the bad index; a skeleton that grows between frames is skinned
// with its new bones, not the table kept from the old ones.
TEST(ParallelSkinning, BadIndicesStayPutAndNewBonesAreUsed) {
    ScopedModel s;
    testmodels::setBones(s.model, {{"root", 0, 0, 0}, {"arm", 1, 0, 0, 0}});
    std::vector<VertexDesc> vertices(5);
    for (uint32_t v = 0; v < 5; ++v) {
        vertices[v].position[0] = float(v);
        vertices[v].position[1] = 1.0f;
        vertices[v].bones[0] = 1;
    }
    vertices[1].bones[0] = 7;  // past the two bones, whole weight
    vertices[2].bones[0] = -3;
    vertices[3].weights[0] = 0.0f;  // whole weight on the second, bad index
    vertices[3].weights[1] = 1.0f;
    vertices[3].bones[1] = 1000;
    testmodels::setVertices(s.model, vertices);
    s.model.bones[0].translation[0] = 0.5f;  // no bone rests in place to hide behind
    s.model.bones[1].translation[2] = 2.0f;
    updateAll(s.model);
    skinModel(s.model);
    for (uint32_t v : {1u, 2u, 3u}) {
        for (int e = 0; e < 3; ++e)
            EXPECT_EQ(s.model.skin.positions[3 * v + e], s.model.positions[3 * v + e]) << "vertex " << v;
    }
    for (uint32_t v : {0u, 4u}) EXPECT_FLOAT_EQ(s.model.skin.positions[3 * v + 2], 2.0f) << "vertex " << v;

    // Three bones now; vertex 1's index 7 is still bad, index 2 is new and moves.
    testmodels::setBones(s.model, {{"root", 0, 0, 0}, {"arm", 1, 0, 0, 0}, {"hand", 2, 0, 0, 1}});
    s.model.skins[4].boneIndices[0] = 2;
    s.model.bones[2].translation[1] = -3.0f;
    updateAll(s.model);
    skinModel(s.model);
    EXPECT_FLOAT_EQ(s.model.skin.positions[3 * 4 + 1], -2.0f);
    EXPECT_EQ(s.model.skin.positions[3 * 1 + 1], 1.0f);
}

// Two models skinned at once, one per thread, come out as each skinned alone.
TEST(ParallelSkinning, TwoModelsSideBySideGiveTheirOwnBits) {
    ScopedModel a, b;
    makeMixedMesh(a.model, 4096 + 33);
    makeMixedMesh(b.model, 999);
    for (uint32_t i = 0; i < b.model.boneCount(); ++i) b.model.bones[i].translation[0] = 0.25f * float(i);
    updateAll(b.model);
    skinModel(a.model);
    skinModel(b.model);
    const std::vector<float> posA(a.model.skin.positions.data(), a.model.skin.positions.data() + 3 * a.model.vertexCount);
    const std::vector<float> nrmB(b.model.skin.normals.data(), b.model.skin.normals.data() + 3 * b.model.vertexCount);
    const std::vector<float> posB(b.model.skin.positions.data(), b.model.skin.positions.data() + 3 * b.model.vertexCount);
    for (unsigned threads : {1u, 2u}) {
        ThreadChoice choice(threads);
        std::memset(a.model.skin.positions.data(), 0, sizeof(float) * posA.size());
        std::memset(b.model.skin.positions.data(), 0, sizeof(float) * posB.size());
        std::memset(b.model.skin.normals.data(), 0, sizeof(float) * nrmB.size());
        cModel* const both[2] = {&a.model, &b.model};
        skinModelsSideBySide(both, 2);
        EXPECT_EQ(std::memcmp(posA.data(), a.model.skin.positions.data(), sizeof(float) * posA.size()), 0) << threads;
        EXPECT_EQ(std::memcmp(posB.data(), b.model.skin.positions.data(), sizeof(float) * posB.size()), 0) << threads;
        EXPECT_EQ(std::memcmp(nrmB.data(), b.model.skin.normals.data(), sizeof(float) * nrmB.size()), 0) << threads;
        // One model alone, as when the second slot is empty.
        std::memset(b.model.skin.positions.data(), 0, sizeof(float) * posB.size());
        skinModelsSideBySide(both + 1, 1);
        EXPECT_EQ(std::memcmp(posB.data(), b.model.skin.positions.data(), sizeof(float) * posB.size()), 0) << threads;
    }
}

// ---- SDEF. ----

// An upper arm from the origin and a forearm from the elbow at (1, 0, 0).
class SdefElbow : public ::testing::Test {
protected:
    void SetUp() override {
        testmodels::setBones(s.model, {{"upper", 0, 0, 0}, {"fore", 1, 0, 0, 0}});
    }
    // Skins one vertex at the elbow's top, 0.2 above the joint centre, after the forearm
    // turned by angle about z.
    const float* bend(float angle, float w0, const SdefVertex& sdef, float* normal = nullptr) {
        VertexDesc d{};
        d.position[0] = 1.0f;
        d.position[1] = 0.2f;
        d.type = 3;
        d.weights[0] = w0;
        d.weights[1] = 1.0f - w0;
        d.bones[0] = 0;
        d.bones[1] = 1;
        testmodels::setVertices(s.model, {d}, true);
        setSdef(s.model, {sdef});
        resetBonePose(s.model.bones[1]);
        turn(0, 0, 1, angle, s.model.bones[1].rotation);
        updateAll(s.model);
        skinModel(s.model);
        if (normal) std::memcpy(normal, s.model.skin.normals.data(), sizeof(float) * 3);
        return s.model.skin.positions.data();
    }
    ScopedModel s;
    const SdefVertex atJoint{0, {1, 0, 0}, {1, 0, 0}, {1, 0, 0}};
};

TEST_F(SdefElbow, TurnsAboutTheJointByTheBlendedAngleInsteadOfCollapsing) {
    const float half = static_cast<float>(M_PI / 4);
    float n[3];
    const float* p = bend(static_cast<float>(M_PI / 2), 0.5f, atJoint, n);
    // C + Rz(45 degrees) (0, 0.2, 0); the linear blend would give (0.9, 0.1, 0), 0.141
    // from the joint.
    EXPECT_NEAR(p[0], 1.0f - 0.2f * std::sin(half), 1e-6f);
    EXPECT_NEAR(p[1], 0.2f * std::cos(half), 1e-6f);
    EXPECT_NEAR(p[2], 0.0f, 1e-6f);
    EXPECT_NEAR(n[0], -std::sin(half), 1e-6f);
    EXPECT_NEAR(n[1], std::cos(half), 1e-6f);
    // At every weight the vertex keeps its distance from the joint, and turns further the
    // more the forearm holds it.
    float lastAngle = -1.0f;
    for (float w0 : {0.9f, 0.7f, 0.5f, 0.3f, 0.1f}) {
        p = bend(static_cast<float>(M_PI / 2), w0, atJoint);
        const float dx = p[0] - 1.0f, dy = p[1];
        EXPECT_NEAR(std::sqrt(dx * dx + dy * dy), 0.2f, 1e-6f) << w0;
        const float angle = std::atan2(-dx, dy);
        EXPECT_GT(angle, lastAngle) << w0;
        EXPECT_NEAR(angle, (1.0f - w0) * static_cast<float>(M_PI / 2), 0.05f) << w0;
        lastAngle = angle;
    }
}

TEST_F(SdefElbow, AgreesWithTheBonesWhereTheyAgree) {
    const SdefVertex offset{0, {1, 0.1f, 0}, {0.6f, 0, 0.2f}, {1.4f, 0.1f, -0.3f}};
    // Unbent: the rest position, whatever C, R0 and R1 are.
    const float* p = bend(0.0f, 0.4f, offset);
    EXPECT_NEAR(p[0], 1.0f, 1e-6f);
    EXPECT_NEAR(p[1], 0.2f, 1e-6f);
    EXPECT_NEAR(p[2], 0.0f, 1e-6f);
    // Both bones turned alike (the whole arm from the shoulder): a rigid turn.
    resetBonePose(s.model.bones[1]);
    turn(0, 0, 1, 1.0f, s.model.bones[0].rotation);
    updateAll(s.model);
    skinModel(s.model);
    float rigid[3];
    transformPoint(s.model.bones[0].skinMatrix, s.model.positions.data(), rigid);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(s.model.skin.positions[k], rigid[k], 1e-5f) << k;
    resetBonePose(s.model.bones[0]);
    // A whole weight on the forearm follows the forearm exactly.
    p = bend(1.0f, 0.0f, offset);
    transformPoint(s.model.bones[1].skinMatrix, s.model.positions.data(), rigid);
    for (int k = 0; k < 3; ++k) EXPECT_FLOAT_EQ(p[k], rigid[k]) << k;
}

TEST(SdefRotation, MatrixToQuaternionRoundTripsOnEveryBranch) {
    // Turns of up to nearly 180 degrees about the three axes and a skew one reach each of
    // the four ways the conversion picks its pivot.
    const float axes[4][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0.48f, 0.6f, 0.64f}};
    for (const auto& a : axes) {
        for (float angle : {0.3f, 2.0f, 3.1f}) {
            float q[4], m[16], back[4];
            turn(a[0], a[1], a[2], angle, q);
            quaternionToMatrix(q, m);
            matrixRotationToQuaternion(m, back);
            for (int k = 0; k < 4; ++k) EXPECT_NEAR(back[k], q[k], 1e-5f) << angle;
        }
    }
}

TEST(SdefFile, TheSharedElbowTurnsRigidlyAboutItsCentre) {
    const std::string path =
        std::string(PAVONIX_TESTDATA_DIR) + "/pmx/unity-mmd-loader/GeneratedPmx/sdef-two-bone-elbow.pmx";
    struct stat st;
    if (stat(path.c_str(), &st) != 0) GTEST_SKIP() << "no " << path;
    struct Loaded {
        cModel model;
        ~Loaded() { destroyModel(model); }
    } s;
    std::string error;
    ASSERT_TRUE(loadModelFile(s.model, path.c_str(), nullptr, &error)) << error;
    ASSERT_GT(s.model.sdefCount(), 0u);
    for (uint32_t i = 0; i < s.model.sdefCount(); ++i) {
        ASSERT_LT(s.model.sdefVertices[i].vertex, s.model.vertexCount);
        EXPECT_EQ(s.model.skins[s.model.sdefVertices[i].vertex].type, 3);
    }
    const SdefVertex& first = s.model.sdefVertices[0];
    const int32_t fore = s.model.skins[first.vertex].boneIndices[1];
    ASSERT_GE(fore, 0);
    // At rest every vertex stays where it is.
    updateAll(s.model);
    skinModel(s.model);
    for (uint32_t v = 0; v < s.model.vertexCount; ++v)
        for (int k = 0; k < 3; ++k) ASSERT_NEAR(s.model.skin.positions[3 * v + k], s.model.positions[3 * v + k], 1e-4f);
    // The file puts C, R0 and R1 all at the middle of the elbow, so bent by 90 degrees each
    // vertex must turn rigidly about the weighted mean of where the two bones carry C:
    // its distance from there is its rest distance from C, and at weight 1/2 it is turned
    // by exactly 45 degrees. The linear blend pinches the half-weight ring to 0.71 of it.
    turn(0, 0, 1, static_cast<float>(M_PI / 2), s.model.bones[fore].rotation);
    updateAll(s.model);
    skinModel(s.model);
    int halfway = 0;
    for (uint32_t i = 0; i < s.model.sdefCount(); ++i) {
        const SdefVertex& d = s.model.sdefVertices[i];
        const VertexSkin& k = s.model.skins[d.vertex];
        const float w0 = k.weights[0], w1 = k.weights[1];
        if (w0 >= 0.9999f || w1 >= 0.9999f) continue;
        float c0[3], c1[3], centre[3], rest[3], now[3];
        transformPoint(s.model.bones[k.boneIndices[0]].skinMatrix, d.c, c0);
        transformPoint(s.model.bones[k.boneIndices[1]].skinMatrix, d.c, c1);
        const float* p = s.model.positions.data() + 3 * d.vertex;
        const float* q = s.model.skin.positions.data() + 3 * d.vertex;
        for (int e = 0; e < 3; ++e) {
            centre[e] = w0 * c0[e] + w1 * c1[e];
            rest[e] = p[e] - d.c[e];
            now[e] = q[e] - centre[e];
        }
        const float restLength = std::sqrt(rest[0] * rest[0] + rest[1] * rest[1] + rest[2] * rest[2]);
        const float nowLength = std::sqrt(now[0] * now[0] + now[1] * now[1] + now[2] * now[2]);
        EXPECT_NEAR(nowLength, restLength, 1e-5f) << "vertex " << d.vertex;
        if (std::fabs(w0 - 0.5f) < 1e-6f) {
            float r[16], q45[4], expect[3];
            turn(0, 0, 1, static_cast<float>(M_PI / 4), q45);
            quaternionToMatrix(q45, r);
            transformDirection(r, rest, expect);
            for (int e = 0; e < 3; ++e) EXPECT_NEAR(now[e], expect[e], 1e-5f) << "vertex " << d.vertex;
            ++halfway;
        }
    }
    EXPECT_GT(halfway, 0);
}

}  // namespace
