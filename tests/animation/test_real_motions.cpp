// Real third-party motions: every file reads with the key counts its authors' tools wrote,
// and playing each on the real models (with physics) keeps every vertex finite and near
// the model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

#include "character/ModelFrame.h"
#include "animation/MathUtil.h"
#include "animation/Motion.h"
#include "animation/MotionPlayer.h"
#include "animation/Skeleton.h"
#include "render/ModelDraw.h"
#include "character/LoadModelFile.h"
#include "render/Texture.h"
#include "physics/ModelBodies.h"
#include "physics/PhysicsWorld.h"
#include "physics/RigidBody.h"

namespace fs = std::filesystem;

namespace {

const fs::path kReal = PAVONIX_TESTDATA_DIR;

std::vector<fs::path> filesUnder(const fs::path& dir, const char* extension) {
    std::vector<fs::path> out;
    if (!fs::is_directory(dir)) return out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        if (e.is_regular_file() && e.path().extension() == extension) out.push_back(e.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

template <typename Track>
int totalKeys(const Track* head) {
    int n = 0;
    for (const Track* t = head; t; t = t->next) n += t->keyCount;
    return n;
}

int32_t fakeUpload(const DecodedImage&, void* user) { return (*static_cast<int32_t*>(user))++; }
void fakeDelete(uint32_t, void*) {}

// Loads a real model the way the viewer does (from its folder, so textures resolve),
// with textures handed fake names instead of going to GL.
bool loadRealModel(cModel& model, PhysicsWorld& world, const fs::path& path) {
    static int32_t nextName = 1;
    setTextureUploader(fakeUpload, &nextName);
    setTextureDeleter(fakeDelete, nullptr);
    const fs::path previous = fs::current_path();
    fs::current_path(path.parent_path());
    const bool ok = loadModelFile(model, path.c_str(), &world);
    fs::current_path(previous);
    return ok;
}

// Largest extent of the rest mesh, at least 1.
float modelSize(const cModel& model) {
    float lo[3] = {1e30f, 1e30f, 1e30f}, hi[3] = {-1e30f, -1e30f, -1e30f};
    for (uint32_t v = 0; v < model.vertexCount; ++v) {
        for (int k = 0; k < 3; ++k) {
            lo[k] = std::min(lo[k], model.positions[3 * v + k]);
            hi[k] = std::max(hi[k], model.positions[3 * v + k]);
        }
    }
    float size = 1.0f;
    for (int k = 0; k < 3; ++k) size = std::max(size, hi[k] - lo[k]);
    return size;
}

struct PlayResult {
    int frames = 0;
    int boundBones = 0;
    int boundFaces = 0;
    std::string fault;  // empty when every frame was sound
};

// Plays the whole motion at one frame per step with physics, checking every skinned vertex.
PlayResult play(PhysicsWorld& world, cModel& model, MotionData& motion) {
    PlayResult r;
    bindMotion(model.motion, model, motion);
    for (std::size_t i = 0; i < model.motion.boneTargets.size(); ++i) r.boundBones += model.motion.boneTargets[i] != nullptr;
    for (std::size_t i = 0; i < model.motion.faceTargets.size(); ++i) r.boundFaces += model.motion.faceTargets[i] != nullptr;
    updateModelPose(model, 0.0f);
    resetRigidBodies(model.physics);

    const float limit = 10.0f * modelSize(model);
    const int steps = static_cast<int>(motion.lastFrame) + 2;  // one past the end: the held frame
    for (int step = 0; step < steps && r.fault.empty(); ++step) {
        updateModelPose(model, 1.0f);
        world.step(1.0f);
        skinModel(model);
        ++r.frames;
        for (uint32_t v = 0; v < model.vertexCount; ++v) {
            const float* p = model.skin.positions.data() + 3 * v;
            if (!std::isfinite(p[0]) || !std::isfinite(p[1]) || !std::isfinite(p[2])) {
                r.fault = "vertex " + std::to_string(v) + " not finite at step " + std::to_string(step);
                break;
            }
            if (std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]) > limit) {
                r.fault = "vertex " + std::to_string(v) + " flew off at step " + std::to_string(step);
                break;
            }
        }
    }
    return r;
}

class RealMotions : public testing::Test {
protected:
    void SetUp() override {
        if (!fs::is_directory(kReal / "vmd")) GTEST_SKIP() << "no real motions at " << kReal;
        setenv("PAVONIX_NO_DIALOGS", "1", 1);
    }
};

}  // namespace

TEST_F(RealMotions, EveryFileReadsWithItsKeyCounts) {
    // Bone and face key counts as the files' own headers state them (see SOURCES.md).
    const std::map<std::string, std::pair<int, int>> expected = {
        {"00_normal.vmd", {0, 449}},     {"02_laugh.vmd", {548, 393}},
        {"33_angry.vmd", {828, 335}},    {"stand.vmd", {470, 184}},
        {"mei_wait.vmd", {406, 142}},    {"mei_happiness.vmd", {142, 142}},
        {"physics_toggle_test_yyb10th.vmd", {454, 100}},
        {"physics_toggle_test_v2_yyb10th.vmd", {3, 0}},
        {"physics_toggle_test_v3_yyb10th.vmd", {17, 0}},
        {"mmt_test_model_test_motion.vmd", {125, 0}},
        {"test_vertex_morph_motion.vmd", {0, 2}},
        {"test_1bone_cube_motion.vmd", {6, 0}},
    };
    const std::vector<fs::path> files = filesUnder(kReal / "vmd", ".vmd");
    EXPECT_EQ(files.size(), expected.size());
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.string());
        MotionData motion;
        ASSERT_TRUE(loadVMDFile(file.c_str(), motion));
        auto it = expected.find(file.filename().string());
        ASSERT_NE(it, expected.end());
        EXPECT_EQ(totalKeys(motion.boneTracks), it->second.first);
        EXPECT_EQ(totalKeys(motion.faceTracks), it->second.second);
        EXPECT_GT(motion.lastFrame, 0.0f);
        for (const BoneTrack* t = motion.boneTracks; t; t = t->next) {
            for (int k = 0; k < t->keyCount; ++k) {
                const float* q = t->keys[k].rotation;
                ASSERT_NEAR(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3], 1.0f, 1e-4f) << t->name;
                ASSERT_GE(q[3], 0.0f);
                if (k) {
                    ASSERT_LE(t->keys[k - 1].frame, t->keys[k].frame);
                }
                ASSERT_LE(t->keys[k].frame, motion.lastFrame);
            }
        }
    }
}

TEST_F(RealMotions, TruncatedCopiesAreRefused) {
    for (const fs::path& file : filesUnder(kReal / "vmd", ".vmd")) {
        SCOPED_TRACE(file.string());
        std::FILE* f = std::fopen(file.c_str(), "rb");
        ASSERT_NE(f, nullptr);
        std::vector<uint8_t> bytes(fs::file_size(file));
        ASSERT_EQ(std::fread(bytes.data(), 1, bytes.size(), f), bytes.size());
        std::fclose(f);
        // The sections read end after the face records; later sections are not needed.
        uint32_t boneKeys, faceKeys;
        std::memcpy(&boneKeys, &bytes[50], 4);
        std::memcpy(&faceKeys, &bytes[54 + 111 * std::size_t{boneKeys}], 4);
        const std::size_t needed = 58 + 111 * std::size_t{boneKeys} + 23 * std::size_t{faceKeys};
        ASSERT_LE(needed, bytes.size());
        MotionData motion;
        for (int i = 0; i < 97; ++i) {
            const std::size_t cut = needed * i / 97 + (i % 5);  // spread out, some mid-field
            const LoadResult refused =
                parseVMD(motion, bytes.data(), std::min(cut, needed - 1), file.c_str());
            ASSERT_FALSE(refused) << cut;
            ASSERT_EQ(refused.problem().file, file.string()) << cut;
            ASSERT_EQ(motion.boneTracks, nullptr);
            ASSERT_EQ(motion.faceTracks, nullptr);
        }
        EXPECT_TRUE(parseVMD(motion, bytes.data(), needed, file.c_str()));
    }
}

TEST_F(RealMotions, PlayOnRealModelsWithoutNaNOrFlyingVertices) {
    struct Case {
        fs::path model;
        std::vector<fs::path> motions;
        const char* ownMotions;  // folder of the motions made for this model: they must bind
    };
    const std::vector<fs::path> all = filesUnder(kReal / "vmd", ".vmd");
    const std::vector<fs::path> gene = filesUnder(kReal / "vmd" / "gene", ".vmd");
    const fs::path unity = kReal / "vmd" / "unity-mmd-loader";
    const std::vector<Case> cases = {
        {kReal / "pmd/gene_light/Gene_light.pmd", all, "gene"},
        {kReal / "pmx/gene_light/Gene_light.pmx", all, "gene"},
        {kReal / "pmd/glasses/glasses.pmd", gene, ""},
        {kReal / "pmx/glasses/glasses.pmx", gene, ""},
        {kReal / "pmx/unity-mmd-loader/mmt_test_model.pmx", {unity / "mmt_test_model_test_motion.vmd"}, "unity-mmd-loader"},
        {kReal / "pmx/unity-mmd-loader/test_1bone_cube.pmx", {unity / "test_1bone_cube_motion.vmd"}, "unity-mmd-loader"},
        {kReal / "pmx/unity-mmd-loader/test_vertex_morph.pmx", {unity / "test_vertex_morph_motion.vmd"}, "unity-mmd-loader"},
    };
    PhysicsWorld world;
    static cModel model;
    int played = 0;
    for (const Case& c : cases) {
        if (!fs::exists(c.model)) continue;
        SCOPED_TRACE(c.model.string());
        ASSERT_TRUE(loadRealModel(model, world, c.model));
        for (const fs::path& m : c.motions) {
            SCOPED_TRACE(m.filename().string());
            MotionData motion;
            ASSERT_TRUE(loadVMDFile(m.c_str(), motion));
            const PlayResult r = play(world, model, motion);
            std::printf("  %s + %s: %d frames, %d/%d bone and %d/%d face tracks bound\n",
                        c.model.filename().c_str(), m.filename().c_str(), r.frames, r.boundBones,
                        motion.boneTrackCount, r.boundFaces, motion.faceTrackCount);
            EXPECT_EQ(r.fault, "");
            EXPECT_GT(r.frames, static_cast<int>(motion.lastFrame));
            if (m.parent_path().filename() == c.ownMotions) {
                EXPECT_GT(r.boundBones + r.boundFaces, 0);
            }
            ++played;
            clearMotionPlayer(model.motion);
        }
    }
    destroyModel(model);
    EXPECT_GT(played, 0);
}

namespace {

// Rotation between a bone and its parent, read back from the matrices alone.
void relativeRotationMatrix(const cBone& b, float out[16]) {
    float inv[16];
    if (b.parent) {
        invertMatrix4(b.parent->globalMatrix, inv);
        multiplyMatrix4(inv, b.globalMatrix, out);
    } else {
        std::memcpy(out, b.globalMatrix, sizeof(inv));
    }
}

// Axis times angle of the rotation part of a rigid matrix (angles below a half turn).
void rotationVector(const float m[16], float v[3]) {
    v[0] = 0.5f * (m[6] - m[9]);
    v[1] = 0.5f * (m[8] - m[2]);
    v[2] = 0.5f * (m[1] - m[4]);
    const float s = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    const float angle = std::atan2(s, 0.5f * (m[0] + m[5] + m[10] - 1.0f));
    const float k = s > 1e-9f ? angle / s : 1.0f;
    for (int i = 0; i < 3; ++i) v[i] *= k;
}

// The IK keys of the real motions: Gene's carry one record with the switches of their
// chains; Mei's older files end before the section.
TEST(RealMotionIKSwitches, AreReadWhereTheFileHasThem) {
    const fs::path stand = kReal / "vmd/gene/stand.vmd";
    const fs::path wait = kReal / "vmd/mmdagent-mei/mei_wait.vmd";
    if (!fs::exists(stand) || !fs::exists(wait)) GTEST_SKIP() << "real motions not present";
    MotionData motion;
    ASSERT_TRUE(loadVMDFile(stand.c_str(), motion));
    EXPECT_EQ(motion.visibilityKeyCount, 1);
    EXPECT_GT(motion.ikTrackCount, 0);
    for (const IKSwitchTrack* t = motion.ikTracks; t; t = t->next) {
        EXPECT_EQ(t->keyCount, 1) << t->name;
        EXPECT_GT(std::strlen(t->name), 0u);
    }
    ASSERT_TRUE(loadVMDFile(wait.c_str(), motion));
    EXPECT_EQ(motion.ikTrackCount, 0);
    EXPECT_EQ(motion.visibilityKeyCount, 0);
    EXPECT_GT(motion.boneTrackCount, 0);
}

// Gene as PMX, dancing: every bone that inherits a share of its source's turn turns,
// relative to its parent, by that share of the source's turn as read back from the
// source's matrices (same axis, the ratio of the angle), then by its own keys, on every
// frame.
TEST(RealPmxPosing, AppendBonesOfGeneFollowTheirSourcesOnEveryFrame) {
    const fs::path modelPath = kReal / "pmx/gene_light/Gene_light.pmx";
    const fs::path motionPath = kReal / "vmd/gene/stand.vmd";
    if (!fs::exists(modelPath) || !fs::exists(motionPath)) GTEST_SKIP() << "real files not present";
    setenv("PAVONIX_NO_DIALOGS", "1", 1);
    PhysicsWorld world;
    {
        cModel model;
        ASSERT_TRUE(loadRealModel(model, world, modelPath));
        MotionData motion;
        ASSERT_TRUE(loadVMDFile(motionPath.c_str(), motion));
        bindMotion(model.motion, model, motion);
        std::vector<int> followers;
        for (uint32_t i = 0; i < model.boneCount(); ++i) {
            const cBone& b = model.bones[i];
            if (b.appendParent && (b.flags & 0x0100) && !(b.flags & 0x0080) && !(b.flags & 0x0200) &&
                !(b.flags & 0x0400) && !b.appendParent->appendParent && !b.appendParent->ikChain)
                followers.push_back(static_cast<int>(i));
        }
        ASSERT_FALSE(followers.empty());
        int checked = 0;
        for (int frame = 0; frame <= static_cast<int>(motion.lastFrame); ++frame) {
            model.motion.currentFrame = static_cast<float>(frame);
            updateModelPose(model, 0.0f);
            skinModel(model);
            for (int i : followers) {
                const cBone& b = model.bones[i];
                float mine[16], theirs[16];
                relativeRotationMatrix(b, mine);
                relativeRotationMatrix(*b.appendParent, theirs);
                // The share of the source's turn, then the bone's own keyed turn.
                float v[3], share[4], inherited[16], own[16], expected[16];
                rotationVector(theirs, v);
                const float angle = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]) * b.appendRatio;
                const float s = angle != 0.0f ? std::sin(0.5f * angle) / (angle / b.appendRatio) : 0.0f;
                share[0] = v[0] * s;
                share[1] = v[1] * s;
                share[2] = v[2] * s;
                share[3] = std::cos(0.5f * angle);
                quaternionToMatrix(share, inherited);
                quaternionToMatrix(b.rotation, own);
                multiplyMatrix4(inherited, own, expected);
                for (int k : {0, 1, 2, 4, 5, 6, 8, 9, 10})
                    ASSERT_NEAR(mine[k], expected[k], 1e-4f) << b.name << " frame " << frame;
                ++checked;
            }
        }
        EXPECT_GT(checked, 0);
        clearMotionPlayer(model.motion);
        destroyModel(model);
    }
}

}  // namespace
