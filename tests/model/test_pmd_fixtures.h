// Shared by the PMD, PMX, drawing and real-model suites: small models built with the
// model writer, loading from bytes, and a texture uploader that needs no GL context.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "render/ModelDraw.h"
#include "app/ModelMessages.h"
#include "character/LoadModelFile.h"
#include "character/ModelFrame.h"
#include "physics/ModelBodies.h"
#include "model/ModelWriter.h"
#include "render/Texture.h"
#include "physics/PhysicsWorld.h"

namespace modeltest {

using namespace modelwriter;

// Hands out increasing names instead of uploading; counts deletions.
struct FakeTextures {
    int32_t nextName = 1000;
    int deletions = 0;
    std::vector<uint32_t> deleted;

    void install() {
        setTextureUploader(
            [](const DecodedImage&, void* user) { return static_cast<FakeTextures*>(user)->nextName++; }, this);
        setTextureDeleter(
            [](uint32_t name, void* user) {
                auto* self = static_cast<FakeTextures*>(user);
                ++self->deletions;
                self->deleted.push_back(name);
            },
            this);
    }
    static void uninstall() {
        setTextureUploader(nullptr, nullptr);
        setTextureDeleter(nullptr, nullptr);
    }
};

// Every test starts with dialogs off (messages still reach standard error), a physics
// world for rigid bodies, fake texture uploads and a scratch folder as the current
// directory, where textures named by test models are written.
class ModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("PAVONIX_NO_DIALOGS", "1", 1);
        world = std::make_unique<PhysicsWorld>();
        textures.install();
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        previousDir = cwd;
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        scratch = std::string(PAVONIX_BINARY_DIR) + "/test_scratch/loaders/" + info->test_suite_name() + "." +
                  info->name();
        ASSERT_EQ(std::system(("rm -rf '" + scratch + "' && mkdir -p '" + scratch + "'").c_str()), 0);
        ASSERT_EQ(chdir(scratch.c_str()), 0);
    }
    void TearDown() override {
        destroyModel(model);
        FakeTextures::uninstall();
        world.reset();
        if (!previousDir.empty() && chdir(previousDir.c_str()) != 0) ADD_FAILURE() << "cannot go back";
    }

    // Loads bytes through loadModelFile (as the viewer does, from a stream), the bodies
    // into this test's world.
    bool loadBytes(cModel& target, const std::vector<uint8_t>& bytes, std::string* error = nullptr,
                   ModelFileInfo* info = nullptr) {
        std::FILE* f = std::tmpfile();
        if (!f) return false;
        if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::rewind(f);
        // Told as the program tells it, so tests see the messages where the user would.
        const LoadResult result = loadModel(target, f, "test.model", info, world.get());
        reportModelLoad(result);
        if (error) *error = result ? std::string() : refusalText(result.problem());
        return result.ok();
    }

    std::unique_ptr<PhysicsWorld> world;  // made before the model's bodies, gone after them
    cModel model;
    FakeTextures textures;
    std::string scratch;
    std::string previousDir;
};

// Loads bytes through loadModelFile (as the viewer does, from a stream).
inline bool loadBytes(cModel& model, const std::vector<uint8_t>& bytes, std::string* error = nullptr,
                      ModelFileInfo* info = nullptr) {
    std::FILE* f = std::tmpfile();
    if (!f) return false;
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::rewind(f);
    // Told as the program tells it, so tests see the messages where the user would.
    const LoadResult result = loadModel(model, f, "test.model", info);
    reportModelLoad(result);
    if (error) *error = result ? std::string() : refusalText(result.problem());
    return result.ok();
}

// Runs fn and returns what it wrote to standard error.
inline std::string stderrOf(const std::function<void()>& fn) {
    ::testing::internal::CaptureStderr();
    fn();
    return ::testing::internal::GetCapturedStderr();
}

inline bool isEmpty(const cModel& m) {
    return m.positions.empty() && m.restPositions.empty() && m.normals.empty() && m.texCoords.empty() &&
           m.skins.empty() && m.edgeScales.empty() && m.skin.positions.empty() && m.skin.normals.empty() &&
           m.indices.empty() && m.textureNames.empty() && m.materials.empty() && m.bones.empty() && !m.headBone &&
           m.ikChains.empty() && m.morphs.empty() && m.sdefVertices.empty() && !m.morphKinds &&
           m.physics.bodies.empty() && m.physics.joints.empty() && m.vertexCount == 0 &&
           m.rigidBodyDefs.empty() && m.jointDefs.empty() && m.textures.colourTextures.empty() && m.textures.sphereTextures.empty() &&
           m.name[0] == '\0' && m.pmxVertexIndexSize == 0;
}

// A 24-bit BMP of one colour, bottom-up rows padded to 4 bytes.
inline void writeSolidBMP(const std::string& path, int width, int height, uint8_t r, uint8_t g, uint8_t b) {
    const int row = (width * 3 + 3) & ~3;
    std::vector<uint8_t> out(54 + static_cast<std::size_t>(row) * height, 0);
    auto put = [&out](std::size_t at, uint32_t v, int n) {
        for (int i = 0; i < n; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    out[0] = 'B';
    out[1] = 'M';
    put(2, static_cast<uint32_t>(out.size()), 4);
    put(10, 54, 4);
    put(14, 40, 4);
    put(18, static_cast<uint32_t>(width), 4);
    put(22, static_cast<uint32_t>(height), 4);
    put(26, 1, 2);
    put(28, 24, 2);
    put(34, static_cast<uint32_t>(row * height), 4);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &out[54 + static_cast<std::size_t>(y) * row + 3 * x];
            p[0] = b;
            p[1] = g;
            p[2] = r;
        }
    }
    ASSERT_TRUE(saveFile(path, out)) << path;
}

inline VertexDesc vertex(float x, float y, float z, float u, float v, int bone0 = 0, int bone1 = 0, float w = 1.0f) {
    VertexDesc d;
    d.position[0] = x;
    d.position[1] = y;
    d.position[2] = z;
    d.uv[0] = u;
    d.uv[1] = v;
    d.bones[0] = bone0;
    d.bones[1] = bone1;
    d.weights[0] = w;
    return d;
}

inline BoneDesc bone(const std::string& name, int parent, int tail, float x, float y, float z) {
    BoneDesc b;
    b.name = name;
    b.parent = parent;
    b.tail = tail;
    b.position[0] = x;
    b.position[1] = y;
    b.position[2] = z;
    return b;
}

inline MaterialDesc material(uint32_t indexCount, float alpha = 1.0f) {
    MaterialDesc m;
    m.indexCount = indexCount;
    m.diffuse[3] = alpha;
    return m;
}

// Two quads side by side (left x in [-1,0], right x in [0,1], y in [-1,1], z = 0),
// counter-clockwise seen from +z, one material each; three bones and everything a PMD
// file can hold: an IK chain, a base morph and one more, two rigid bodies and a joint.
inline ModelDesc twoQuadModel() {
    ModelDesc m;
    m.name = "quads";
    m.comment = "test model";
    const float xs[3] = {-1, 0, 1};
    for (int q = 0; q < 2; ++q) {
        m.vertices.push_back(vertex(xs[q], -1, 0, 0, 1, 0, 1, 1.0f));
        m.vertices.push_back(vertex(xs[q + 1], -1, 0, 1, 1, 1, 2, 0.5f));
        m.vertices.push_back(vertex(xs[q + 1], 1, 0, 1, 0, 2, 0, 0.25f));
        m.vertices.push_back(vertex(xs[q], 1, 0, 0, 0, 0, 0, 0.0f));
        const uint32_t base = 4 * q;
        for (uint32_t i : {0u, 1u, 2u, 0u, 2u, 3u}) m.indices.push_back(base + i);
    }
    m.materials.push_back(material(6));
    m.materials.push_back(material(6));
    m.bones.push_back(bone("root", -1, 1, 0, 0, 0));
    m.bones.push_back(bone("arm", 0, 2, 1, 2, 3));
    m.bones.push_back(bone("hand", 1, -1, 2, 4, 6));
    IKChainDesc ik;
    ik.ikBone = 2;
    ik.target = 1;
    ik.iterations = 7;
    ik.limit = 0.25f;
    ik.links.push_back(IKLinkDesc{1, false, {}, {}});
    ik.links.push_back(IKLinkDesc{0, false, {}, {}});
    m.ikChains.push_back(ik);
    MorphDesc base;
    base.name = "base";
    base.offsets.push_back(MorphOffsetDesc{2, {1, 1, 0}});
    base.offsets.push_back(MorphOffsetDesc{6, {1, 1, 0}});
    m.morphs.push_back(base);
    MorphDesc smile;
    smile.name = "smile";
    smile.panel = 1;
    smile.offsets.push_back(MorphOffsetDesc{1, {0, 0.5f, 0}});
    m.morphs.push_back(smile);
    RigidBodyDesc body;
    body.bone = 1;
    m.rigidBodies.push_back(body);
    body.bone = 2;
    body.mode = 1;
    m.rigidBodies.push_back(body);
    JointDesc joint;
    joint.bodyA = 0;
    joint.bodyB = 1;
    m.joints.push_back(joint);
    return m;
}

// The same model as PMX: vertex morphs hold offsets from the rest position, and the
// base morph of the PMD form has no meaning, so it becomes a plain vertex morph.
inline ModelDesc twoQuadModelPMX() {
    ModelDesc m = twoQuadModel();
    m.morphs[1].offsets[0].index = 6;  // PMX morphs name vertices directly
    for (VertexDesc& v : m.vertices) v.skinType = 1;
    return m;
}

}  // namespace modeltest

namespace modeltest {

// Everything later code follows without checking: every index and pointer of a loaded
// model lands inside what it indexes. Returns the first breach, empty when sound.
inline std::string breachIn(const cModel& m) {
    auto boneOk = [&m](const cBone* b) { return !b || (b >= m.bones.data() && b < m.bones.data() + m.boneCount()); };
    uint64_t used = 0;
    for (uint32_t i = 0; i < m.materialCount(); ++i) {
        if (m.materials[i].indexCount < 0) return "negative material index count";
        used += static_cast<uint64_t>(m.materials[i].indexCount);
    }
    if (used > m.indexCount()) return "materials use more indices than there are";
    for (uint32_t i = 0; i < m.indexCount(); ++i)
        if (m.indices[i] >= m.vertexCount) return "index " + std::to_string(i) + " out of range";
    for (uint32_t i = 0; i < m.vertexCount; ++i) {
        const VertexSkin& s = m.skins[i];
        const int used4 = s.type == 0 ? 1 : (s.type == 2 || s.type == 4) ? 4 : 2;
        for (int k = 0; k < used4; ++k) {
            const int32_t b = s.boneIndices[k];
            if (b >= static_cast<int64_t>(m.boneCount()) || b < (k == 0 ? 0 : -1))
                return "vertex " + std::to_string(i) + " bone out of range";
        }
    }
    for (uint32_t i = 0; i < m.boneCount(); ++i) {
        const cBone& b = m.bones[i];
        if (!boneOk(b.parent) || !boneOk(b.child) || !boneOk(b.appendParent))
            return "bone " + std::to_string(i) + " links outside the bones";
    }
    if (!boneOk(m.headBone)) return "head bone outside the bones";
    for (uint32_t i = 0; i < m.ikCount(); ++i) {
        const cIKChain& c = m.ikChains[i];
        if (!c.ikBone || !c.targetBone || !boneOk(c.ikBone) || !boneOk(c.targetBone)) return "IK chain bones";
        for (int k = 0; k < c.linkCount; ++k)
            if (!c.links[k] || !boneOk(c.links[k])) return "IK link outside the bones";
    }
    for (uint32_t i = 0; i < m.morphCount(); ++i) {
        for (int32_t k = 0; k < m.morphs[i].vertexCount; ++k) {
            const int32_t v = m.morphs[i].entries[k].vertexIndex;
            if (v < 0 || static_cast<uint32_t>(v) >= m.vertexCount) return "morph entry out of range";
        }
    }
    return "";
}

}  // namespace modeltest
