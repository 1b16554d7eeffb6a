// PMX morphs of every kind, on small files the model writer makes and the loader reads
// back, driven by face keys as a motion drives them; and the real models' morphs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "character/ModelFrame.h"
#include "animation/MathUtil.h"
#include "animation/Motion.h"
#include "animation/MotionPlayer.h"
#include "animation/Skeleton.h"
#include "animation/VmdWriter.h"
#include "render/ModelDraw.h"
#include "character/LoadModelFile.h"
#include "model/ModelWriter.h"
#include "model/MorphKinds.h"
#include "render/Texture.h"

using modelwriter::ModelDesc;
using modelwriter::MorphDesc;
using modelwriter::MorphOffsetDesc;

namespace {

namespace fs = std::filesystem;

constexpr float kPi = 3.14159265f;

MorphOffsetDesc member(int32_t morph, float weight) {
    MorphOffsetDesc o;
    o.index = morph;
    o.value[0] = weight;
    return o;
}

// An add offset starts from zeros: whatever the test does not set adds nothing.
MorphOffsetDesc addNothing(int32_t material) {
    MorphOffsetDesc o;
    o.index = material;
    o.operation = 1;
    for (float* v : {o.diffuse, o.edgeColour, o.textureTint, o.sphereTint, o.toonTint})
        for (int k = 0; k < 4; ++k) v[k] = 0;
    for (int k = 0; k < 3; ++k) o.specular[k] = o.ambient[k] = 0;
    o.power = o.edgeSize = 0;
    return o;
}

MorphDesc morph(const char* name, uint8_t type, std::vector<MorphOffsetDesc> offsets) {
    MorphDesc m;
    m.name = name;
    m.type = type;
    m.offsets = std::move(offsets);
    return m;
}

// Morph indices of the model below.
enum : int32_t { kVtx, kMat, kGrp, kBone, kUv, kAdd, kAll, kOuter, kLoopA, kLoopB, kSelf };

// A quad of two triangles, one per material, on a two-bone skeleton, with one morph of
// each kind and groups that nest, loop and name themselves.
ModelDesc morphModel() {
    ModelDesc d;
    d.name = "kinds";
    const float corners[4][3] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 1, 0}};
    for (int i = 0; i < 4; ++i) {
        modelwriter::VertexDesc v;
        for (int k = 0; k < 3; ++k) v.position[k] = corners[i][k];
        v.uv[0] = 0.1f * i;
        v.uv[1] = 0.2f * i;
        d.vertices.push_back(v);
    }
    d.indices = {0, 1, 2, 1, 3, 2};
    modelwriter::MaterialDesc m0;
    m0.diffuse[0] = 0.8f, m0.diffuse[1] = 0.6f, m0.diffuse[2] = 0.4f;
    m0.indexCount = 3;
    modelwriter::MaterialDesc m1 = m0;
    m1.diffuse[0] = 0.2f, m1.diffuse[1] = 0.4f, m1.diffuse[2] = 0.6f;
    d.materials = {m0, m1};
    modelwriter::BoneDesc root, arm;
    root.name = "root";
    arm.name = "arm";
    arm.parent = 0;
    arm.position[1] = 1.0f;
    d.bones = {root, arm};

    MorphOffsetDesc vtx;
    vtx.index = 1;
    vtx.value[0] = 2.0f;
    MorphOffsetDesc mat;
    mat.index = 0;
    mat.diffuse[0] = 0.0f, mat.diffuse[1] = 0.5f;
    mat.textureTint[0] = 0.5f;
    MorphOffsetDesc bone;
    bone.index = 1;
    bone.value[1] = 2.0f;
    bone.rotation[2] = std::sin(kPi / 4), bone.rotation[3] = std::cos(kPi / 4);  // 90 degrees about z
    MorphOffsetDesc uv;
    uv.index = 2;
    uv.uv[0] = 0.5f, uv.uv[1] = 0.25f;
    MorphOffsetDesc add = addNothing(1);
    add.diffuse[0] = 0.2f, add.diffuse[3] = -0.5f;
    add.edgeSize = 2.0f;
    add.textureTint[2] = 0.5f;
    MorphOffsetDesc all;
    all.index = -1;
    all.ambient[0] = all.ambient[1] = all.ambient[2] = 0.0f;

    d.morphs = {morph("vtx", 1, {vtx}),
                morph("mat", 8, {mat}),
                morph("grp", 0, {member(kVtx, 1.0f), member(kMat, 1.0f)}),
                morph("bone", 2, {bone}),
                morph("uv", 3, {uv}),
                morph("add", 8, {add}),
                morph("all", 8, {all}),
                morph("outer", 0, {member(kGrp, 0.5f)}),
                morph("loopA", 0, {member(kLoopB, 1.0f), member(kVtx, 1.0f)}),
                morph("loopB", 0, {member(kLoopA, 1.0f)}),
                morph("self", 0, {member(kSelf, 1.0f), member(kMat, 1.0f)})};
    return d;
}

class MorphKindsTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("PAVONIX_NO_DIALOGS", "1", 1); }
    void TearDown() override {
        clearMotionPlayer(model.motion);
        destroyModel(model);
    }

    bool load(const ModelDesc& d, std::string* reason = nullptr) {
        clearMotionPlayer(model.motion);
        destroyModel(model);
        const std::vector<uint8_t> bytes = modelwriter::writePMX(d);
        const LoadResult loaded = loadModelBytes(model, bytes.data(), bytes.size());
        if (reason) *reason = loaded ? std::string() : refusalText(loaded.problem());
        return loaded.ok();
    }

    // One frame of the model under face keys (all at frame 0) and bone keys.
    void play(const std::vector<std::pair<const char*, float>>& faces, const std::vector<VmdBoneKeyDef>& bones = {}) {
        std::vector<VmdFaceKeyDef> keys;
        for (const auto& f : faces) keys.push_back({f.first, 0, f.second});
        const std::vector<uint8_t> bytes = encodeVMD(bones, keys);
        ASSERT_TRUE(parseVMD(motion, bytes.data(), bytes.size(), "faces.vmd"));
        bindMotion(model.motion, model, motion);
        updateModelPose(model, 0.0f);
    }

    const float* position(int v) const { return model.positions.data() + 3 * v; }
    const MaterialTint& tint(int m) const { return model.morphKinds->tints[static_cast<std::size_t>(m)]; }

    cModel model;
    MotionData motion;
};

TEST_F(MorphKindsTest, GroupsHandTheirWeightDownAndEachMorphMovesOnce) {
    ASSERT_TRUE(load(morphModel()));
    ASSERT_NE(model.morphKinds, nullptr);
    EXPECT_EQ(model.morphKinds->morphs.size(), 11u);
    EXPECT_EQ(model.morphCount(), 1);  // the vertex morph alone is a cMorph

    // A group of a vertex and a material morph at 0.5: both act at half weight.
    play({{"grp", 0.5f}});
    EXPECT_FLOAT_EQ(position(1)[0], 2.0f);
    EXPECT_FLOAT_EQ(model.materials[0].diffuse[0], 0.8f * 0.5f);
    EXPECT_FLOAT_EQ(model.materials[0].diffuse[1], 0.6f * 0.75f);
    EXPECT_FLOAT_EQ(model.materials[0].diffuse[2], 0.4f);
    EXPECT_FLOAT_EQ(tint(0).textureMul[0], 0.75f);
    EXPECT_FLOAT_EQ(model.materials[1].diffuse[0], 0.2f);

    // The group's share and the track's own weight sum and are applied once: blending
    // twice at 0.25 would leave the vertex at 1.875 instead.
    play({{"grp", 0.25f}, {"vtx", 0.25f}});
    EXPECT_FLOAT_EQ(position(1)[0], 2.0f);
    EXPECT_FLOAT_EQ(model.materials[0].diffuse[0], 0.8f * 0.75f);

    // Nested groups multiply their weights.
    play({{"outer", 1.0f}});
    EXPECT_FLOAT_EQ(position(1)[0], 2.0f);
    EXPECT_FLOAT_EQ(model.materials[0].diffuse[0], 0.8f * 0.5f);

    // A shared weight of 0.001 or less leaves the morphs out, as for vertex morphs.
    play({{"outer", 0.0015f}});
    EXPECT_EQ(position(1)[0], 1.0f);
    EXPECT_EQ(model.materials[0].diffuse[0], 0.8f);

    // The next frame puts every value back exactly.
    play({{"grp", 0.0f}});
    EXPECT_EQ(position(1)[0], 1.0f);
    EXPECT_EQ(model.materials[0].diffuse[0], 0.8f);
    EXPECT_EQ(model.materials[0].diffuse[1], 0.6f);
    EXPECT_EQ(tint(0).textureMul[0], 1.0f);
}

TEST_F(MorphKindsTest, GroupLoopsAreCutAtLoad) {
    ASSERT_TRUE(load(morphModel()));
    const MorphKinds& kinds = *model.morphKinds;
    // The loop A -> B -> A loses the member that closes it; the group naming itself
    // keeps only its other member; the others are whole.
    EXPECT_EQ(kinds.morphs[kLoopA].count, 2u);
    EXPECT_EQ(kinds.morphs[kLoopB].count, 0u);
    ASSERT_EQ(kinds.morphs[kSelf].count, 1u);
    EXPECT_EQ(kinds.members[kinds.morphs[kSelf].first].morph, kMat);
    EXPECT_EQ(kinds.morphs[kOuter].count, 1u);
    EXPECT_EQ(kinds.groupOrder.size(), 5u);
    // Every group comes before the groups it contains.
    auto place = [&](int32_t g) {
        for (std::size_t i = 0; i < kinds.groupOrder.size(); ++i)
            if (kinds.groupOrder[i] == g) return static_cast<int>(i);
        return -1;
    };
    EXPECT_LT(place(kOuter), place(kGrp));
    EXPECT_LT(place(kLoopA), place(kLoopB));

    play({{"loopA", 1.0f}, {"loopB", 1.0f}, {"self", 1.0f}});
    EXPECT_FLOAT_EQ(position(1)[0], 3.0f);            // through loopA only, once
    EXPECT_FLOAT_EQ(model.materials[0].diffuse[0], 0.0f);  // self's material morph at 1
    EXPECT_FLOAT_EQ(model.materials[0].diffuse[1], 0.3f);
}

TEST_F(MorphKindsTest, BoneMorphsAddToTheMotionAndNeverPileUp) {
    ASSERT_TRUE(load(morphModel()));
    play({{"bone", 0.5f}});
    const cBone& arm = model.bones[1];
    EXPECT_NEAR(arm.globalMatrix[12], 0.0f, 1e-6f);
    EXPECT_NEAR(arm.globalMatrix[13], 2.0f, 1e-6f);  // rest 1 + 2 x 0.5
    EXPECT_NEAR(arm.globalMatrix[0], std::cos(kPi / 4), 1e-5f);  // half of 90 degrees about z
    EXPECT_NEAR(arm.globalMatrix[1], std::sin(kPi / 4), 1e-5f);

    // Frame after frame at full weight the same pose: the arm has no bone track, so what
    // the morph added must not stay in its local pose.
    for (int frame = 0; frame < 3; ++frame) {
        play({{"bone", 1.0f}});
        EXPECT_NEAR(model.bones[1].globalMatrix[13], 3.0f, 1e-5f) << "frame " << frame;
        EXPECT_NEAR(model.bones[1].globalMatrix[0], 0.0f, 1e-5f) << "frame " << frame;
    }

    // With a motion turning the arm 90 degrees about x, the morph's turn is multiplied
    // onto it: motion x morph.
    VmdBoneKeyDef key;
    key.name = "arm";
    key.rotation[0] = std::sin(kPi / 4);
    key.rotation[3] = std::cos(kPi / 4);
    play({{"bone", 1.0f}}, {key});
    float morphTurn[4] = {0, 0, std::sin(kPi / 4), std::cos(kPi / 4)}, expected[4];
    multiplyQuaternion(key.rotation, morphTurn, expected);
    for (int k = 0; k < 4; ++k) EXPECT_NEAR(model.bones[1].poseRotation[k], expected[k], 1e-5f) << k;

    play({{"bone", 0.0f}});
    EXPECT_NEAR(model.bones[1].globalMatrix[13], 1.0f, 1e-6f);
    EXPECT_NEAR(model.bones[1].globalMatrix[0], 1.0f, 1e-6f);
}

TEST_F(MorphKindsTest, UVMorphsMoveTheDrawnTextureCoordinates) {
    ASSERT_TRUE(load(morphModel()));
    play({{"uv", 0.5f}});
    EXPECT_FLOAT_EQ(model.texCoords[4], 0.2f + 0.25f);
    EXPECT_FLOAT_EQ(model.texCoords[5], 0.4f + 0.125f);
    EXPECT_FLOAT_EQ(model.texCoords[2], 0.1f);  // other vertices keep theirs
    play({{"uv", 1.0f}});
    EXPECT_FLOAT_EQ(model.texCoords[4], 0.7f);  // from the rest, not from last frame
    play({});
    EXPECT_EQ(model.texCoords[4], 0.2f);
    EXPECT_EQ(model.texCoords[5], 0.4f);
}

TEST_F(MorphKindsTest, MaterialMorphsMultiplyAddAndReachEveryMaterial) {
    ASSERT_TRUE(load(morphModel()));
    play({{"add", 0.5f}});
    const Material& m1 = model.materials[1];
    EXPECT_FLOAT_EQ(m1.diffuse[0], 0.3f);
    EXPECT_FLOAT_EQ(m1.diffuse[1], 0.4f);
    EXPECT_FLOAT_EQ(m1.diffuse[3], 0.75f);
    EXPECT_FLOAT_EQ(m1.edgeSize, 2.0f);
    EXPECT_FLOAT_EQ(tint(1).textureAdd[2], 0.25f);
    EXPECT_FLOAT_EQ(tint(1).textureMul[2], 1.0f);
    EXPECT_FLOAT_EQ(m1.shininess, 5.0f);
    EXPECT_EQ(model.materials[0].diffuse[0], 0.8f);  // the other material is left alone
    EXPECT_EQ(model.materials[0].edgeSize, 1.0f);

    // Index -1: every material. A multiply of one changes nothing else.
    play({{"all", 1.0f}});
    for (uint32_t i = 0; i < model.materialCount(); ++i) {
        EXPECT_EQ(model.materials[i].ambient[0], 0.0f) << i;
        EXPECT_EQ(model.materials[i].ambient[2], 0.0f) << i;
        EXPECT_FLOAT_EQ(model.materials[i].diffuse[2], i == 0 ? 0.4f : 0.6f) << i;
    }

    // Multiply and add on the same material, then back to rest.
    play({{"mat", 1.0f}, {"all", 0.5f}});
    EXPECT_FLOAT_EQ(model.materials[0].diffuse[0], 0.0f);
    EXPECT_FLOAT_EQ(model.materials[0].ambient[0], 0.25f);
    EXPECT_FLOAT_EQ(model.materials[1].ambient[0], 0.25f);
    EXPECT_FLOAT_EQ(tint(0).textureMul[0], 0.5f);
    play({});
    EXPECT_EQ(model.materials[0].ambient[0], 0.5f);
    EXPECT_EQ(model.materials[1].diffuse[3], 1.0f);
    EXPECT_EQ(tint(1).textureAdd[2], 0.0f);

    // A shininess driven below zero stops at zero (OpenGL refuses negative values), and
    // values in the file that are not numbers change nothing.
    ModelDesc d = morphModel();
    d.morphs[kAdd].offsets[0].power = -20.0f;
    d.morphs[kAdd].offsets[0].diffuse[1] = std::nanf("");
    d.morphs[kMat].offsets[0].diffuse[2] = std::nanf("");
    ASSERT_TRUE(load(d));
    play({{"add", 1.0f}, {"mat", 1.0f}});
    EXPECT_EQ(model.materials[1].shininess, 0.0f);
    EXPECT_FLOAT_EQ(model.materials[1].diffuse[1], 0.4f);
    EXPECT_FLOAT_EQ(model.materials[0].diffuse[2], 0.4f);
}

TEST_F(MorphKindsTest, LaterKindsAreReadAndTheSectionsAfterThemStillParse) {
    ModelDesc d = morphModel();
    d.pmx.version = 2.1f;
    d.pmx.additionalUVCount = 1;
    MorphOffsetDesc extraUV;
    extraUV.index = 3;
    extraUV.uv[0] = 1.0f;
    MorphOffsetDesc impulse;
    impulse.index = 0;
    d.morphs.push_back(morph("flip", 9, {member(kVtx, 0.5f)}));
    d.morphs.push_back(morph("extra", 4, {extraUV}));
    d.morphs.push_back(morph("push", 10, {impulse}));
    MorphOffsetDesc last;
    last.index = 3;
    last.value[2] = 1.0f;
    d.morphs.push_back(morph("last", 1, {last}));
    std::string reason;
    ASSERT_TRUE(load(d, &reason)) << reason;
    const MorphKinds& kinds = *model.morphKinds;
    EXPECT_EQ(kinds.morphs.size(), 15u);
    EXPECT_EQ(kinds.additionalUVMorphs, 1u);
    EXPECT_EQ(kinds.impulseMorphs, 1u);
    EXPECT_STREQ(kinds.morphs[14].name, "last");
    EXPECT_EQ(model.morphCount(), 2);

    // A flip passes its weight on like a group; the others change nothing drawn.
    play({{"flip", 1.0f}, {"extra", 1.0f}, {"push", 1.0f}, {"last", 1.0f}});
    EXPECT_FLOAT_EQ(position(1)[0], 2.0f);
    EXPECT_FLOAT_EQ(position(3)[2], 1.0f);
    EXPECT_EQ(model.texCoords[6], 0.3f);
}

TEST_F(MorphKindsTest, DamagedOffsetsAreRefused) {
    struct Case {
        const char* what;
        void (*damage)(ModelDesc&);
        const char* reason;
    };
    const Case cases[] = {
        {"group member past the morphs", [](ModelDesc& d) { d.morphs[kGrp].offsets[1].index = 99; },
         "morph 2: offset 1 names morph 99 (11 morphs)"},
        {"bone past the bones", [](ModelDesc& d) { d.morphs[kBone].offsets[0].index = 5; },
         "morph 3: offset 0 names bone 5 (2 bones)"},
        {"material past the materials", [](ModelDesc& d) { d.morphs[kMat].offsets[0].index = 7; },
         "morph 1: offset 0 names material 7 (2 materials)"},
        {"material below -1", [](ModelDesc& d) { d.morphs[kAll].offsets[0].index = -2; }, "names material -2"},
        {"unknown material operation", [](ModelDesc& d) { d.morphs[kAdd].offsets[0].operation = 2; },
         "morph 5: offset 0 has operation 2"},
        {"UV vertex past the vertices", [](ModelDesc& d) { d.morphs[kUv].offsets[0].index = 10; },
         "morph 4: offset 0 names vertex 10 (4 vertices)"},
    };
    for (const Case& c : cases) {
        ModelDesc d = morphModel();
        c.damage(d);
        std::string reason;
        EXPECT_FALSE(load(d, &reason)) << c.what;
        EXPECT_NE(reason.find(c.reason), std::string::npos) << c.what << ": " << reason;
        EXPECT_NE(reason.find("PMX morphs"), std::string::npos) << c.what << ": " << reason;
    }

    // A file cut anywhere inside the morph section is refused, never read past its end.
    modelwriter::Layout layout;
    const std::vector<uint8_t> whole = modelwriter::writePMX(morphModel(), &layout);
    ASSERT_LT(layout.morphs, layout.displayLists);
    for (std::size_t size = layout.morphs; size < layout.displayLists; ++size) {
        const std::vector<uint8_t> cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
        cModel scratch;
        const LoadResult loaded = loadPMX(scratch, cut.data(), cut.size());
        EXPECT_FALSE(loaded.ok()) << size;
        EXPECT_FALSE(refusalText(loaded.problem()).empty()) << size;
        destroyModel(scratch);
    }
}

// Real models load with every morph kept under its kind, and playing each at full weight
// keeps the mesh and the materials finite.
int32_t fakeUpload(const DecodedImage&, void* user) { return (*static_cast<int32_t*>(user))++; }
void fakeDelete(uint32_t, void*) {}

TEST_F(MorphKindsTest, RealModelsKeepEveryKind) {
    struct Expected {
        const char* path;
        std::size_t total, vertex, bone, uv, material, group;
    };
    // Counts as the shared data's notes list them.
    const Expected models[] = {
        {"pmx/gene_light/Gene_light.pmx", 184, 177, 0, 1, 3, 3},
        {"pmx/glasses/glasses.pmx", 39, 17, 7, 0, 13, 2},
    };
    const fs::path real = PAVONIX_TESTDATA_DIR;
    if (!fs::exists(real / models[0].path)) GTEST_SKIP() << "real models not found under " << real;
    static int32_t nextName = 1;
    setTextureUploader(fakeUpload, &nextName);
    setTextureDeleter(fakeDelete, nullptr);
    for (const Expected& e : models) {
        clearMotionPlayer(model.motion);
        destroyModel(model);
        const fs::path path = real / e.path;
        const fs::path previous = fs::current_path();
        fs::current_path(path.parent_path());
        const bool ok = loadModelFile(model, path.c_str(), nullptr);
        fs::current_path(previous);
        ASSERT_TRUE(ok) << e.path;
        ASSERT_NE(model.morphKinds, nullptr) << e.path;
        const MorphKinds& kinds = *model.morphKinds;
        std::size_t count[morphkind::kLast + 1] = {};
        for (const MorphRecord& r : kinds.morphs) ++count[r.kind];
        EXPECT_EQ(kinds.morphs.size(), e.total) << e.path;
        EXPECT_EQ(count[morphkind::kVertex], e.vertex) << e.path;
        EXPECT_EQ(count[morphkind::kBone], e.bone) << e.path;
        EXPECT_EQ(count[morphkind::kUV], e.uv) << e.path;
        EXPECT_EQ(count[morphkind::kMaterial], e.material) << e.path;
        EXPECT_EQ(count[morphkind::kGroup], e.group) << e.path;
        EXPECT_EQ(model.morphCount(), e.vertex) << e.path;
        EXPECT_EQ(kinds.groupOrder.size(), e.group) << e.path;  // nothing was cut

        // Every morph that is not a vertex morph, one frame each at full weight.
        std::vector<std::string> names;
        for (const MorphRecord& r : kinds.morphs)
            if (r.kind != morphkind::kVertex) names.push_back(r.name);
        for (const std::string& name : names) {
            play({{name.c_str(), 1.0f}});
            skinModel(model);
            bool finite = true;
            for (uint32_t v = 0; v < 3 * model.vertexCount && finite; ++v) finite = std::isfinite(model.skin.positions[v]);
            for (uint32_t i = 0; i < model.materialCount() && finite; ++i)
                for (int k = 0; k < 4; ++k) finite = finite && std::isfinite(model.materials[i].diffuse[k]);
            EXPECT_TRUE(finite) << e.path << " morph " << name;
        }
    }
    setTextureUploader(nullptr, nullptr);
    setTextureDeleter(nullptr, nullptr);
}

}  // namespace
