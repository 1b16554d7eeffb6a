// Loading PMX 2.0/2.1 files: skin types, materials and textures, bones with IK, vertex
// morphs, the text decoding, the user-visible messages, and refusal of damaged files.
#include "test_pmd_fixtures.h"

#include "animation/MotionPlayer.h"
#include "animation/Skeleton.h"
#include "model/MorphKinds.h"
#include "physics/RigidBody.h"

using namespace modeltest;

namespace {

const char kHeadUtf8[] = "\xe9\xa0\xad";  // 頭

class PMXLoad : public ModelTest {};

// The two-quad model with one vertex of each skin type and a texture table.
ModelDesc skinTypesModel() {
    ModelDesc d = twoQuadModelPMX();
    VertexDesc* v = d.vertices.data();
    v[0].skinType = 0;
    v[0].bones[0] = 2;
    v[1].skinType = 1;
    v[1].bones[0] = 1;
    v[1].bones[1] = 2;
    v[1].weights[0] = 0.25f;
    v[2].skinType = 2;
    const int32_t four[4] = {0, 1, 2, -1};
    const float w4[4] = {0.5f, 0.25f, 0.25f, 0.0f};
    for (int k = 0; k < 4; ++k) {
        v[2].bones[k] = four[k];
        v[2].weights[k] = w4[k];
    }
    v[3].skinType = 3;
    v[3].bones[0] = 2;
    v[3].bones[1] = 0;
    v[3].weights[0] = 0.75f;
    for (int k = 0; k < 9; ++k) v[3].sdef[k] = 100.0f + k;
    v[4] = v[2];
    v[4].skinType = 4;
    return d;
}

TEST_F(PMXLoad, ReadsSkinsMaterialsBonesAndMorphs) {
    writeSolidBMP("tex.bmp", 2, 2, 255, 0, 0);
    writeSolidBMP("shine.bmp", 2, 2, 0, 255, 0);
    ModelDesc d = skinTypesModel();
    d.name = kHeadUtf8;
    d.textures = {"tex.bmp", "shine.bmp"};
    d.materials[0].texture = 0;
    d.materials[0].sphereTexture = 1;
    d.materials[0].sphereMode = 1;
    d.materials[0].flags = 0x13;
    d.materials[0].shininess = 7.0f;
    d.materials[1].sphereTexture = 1;
    d.materials[1].sphereMode = 2;
    d.materials[1].sharedToon = 0;  // toon as a texture index
    d.materials[1].toon = 0;
    // Flags whose extra fields must be stepped over for the next bone to read right.
    d.bones[0].pmxFlags = 0x001A | 0x0400 | 0x0800 | 0x2000;
    d.bones[1].appendParent = 0;
    d.bones[1].appendRatio = 0.5f;
    d.bones[2].appendParent = 1;
    d.bones[2].appendTranslation = true;
    d.ikChains[0].limit = 1.0f;
    d.ikChains[0].links[0].limited = true;
    // Vertex morph plus types that are stepped over.
    d.morphs.clear();
    MorphDesc group;
    group.name = "group";
    group.type = 0;
    group.offsets.push_back(MorphOffsetDesc{1, {0.5f, 0, 0}});
    d.morphs.push_back(group);
    MorphDesc move;
    move.name = "move";
    move.type = 1;
    move.offsets.push_back(MorphOffsetDesc{5, {0, 0, 2}});
    move.offsets.push_back(MorphOffsetDesc{0, {1, 0, 0}});
    d.morphs.push_back(move);
    for (uint8_t type : {2, 3, 5, 8}) {
        MorphDesc other;
        other.name = "other";
        other.type = type;
        other.offsets.push_back(MorphOffsetDesc{0, {}});
        d.morphs.push_back(other);
    }
    ModelFileInfo info;
    std::string error;
    ASSERT_TRUE(loadBytes(model, writePMX(d), &error, &info)) << error;

    EXPECT_EQ(model.format, 1);
    EXPECT_STREQ(model.name, "\x93\xaa");  // CP932
    EXPECT_FLOAT_EQ(info.version, 2.0f);
    EXPECT_EQ(model.pmxTextEncoding, 0);
    EXPECT_EQ(model.pmxBoneIndexSize, 1);
    ASSERT_EQ(model.vertexCount, 8u);
    for (uint32_t i = 0; i < 3 * model.vertexCount; ++i) EXPECT_EQ(model.restPositions[i], model.positions[i]);
    const VertexSkin* s = model.skins.data();
    EXPECT_EQ(s[0].type, 0);
    EXPECT_EQ(s[0].boneIndices[0], 2);
    EXPECT_EQ(s[0].boneIndices[1], -1);
    EXPECT_FLOAT_EQ(s[0].weights[0], 1.0f);
    EXPECT_EQ(s[1].type, 1);
    EXPECT_EQ(s[1].boneIndices[1], 2);
    EXPECT_FLOAT_EQ(s[1].weights[0], 0.25f);
    EXPECT_FLOAT_EQ(s[1].weights[1], 0.75f);
    EXPECT_EQ(s[2].type, 2);
    EXPECT_EQ(s[2].boneIndices[3], -1);
    EXPECT_FLOAT_EQ(s[2].weights[1], 0.25f);
    EXPECT_EQ(s[3].type, 3);
    EXPECT_EQ(s[3].boneIndices[0], 2);
    EXPECT_FLOAT_EQ(s[3].weights[1], 0.25f);
    EXPECT_EQ(s[4].type, 4);
    EXPECT_EQ(s[4].boneIndices[2], 2);
    EXPECT_FLOAT_EQ(model.positions[3 * 5], 1.0f);  // the vertices after the SDEF one are in place

    ASSERT_EQ(model.textureNameCount(), 2u);
    EXPECT_EQ(model.textureNames[1], "shine.bmp");
    ASSERT_EQ(model.materialCount(), 2u);
    const Material& m0 = model.materials[0];
    EXPECT_EQ(m0.drawFlags, 0x13);
    EXPECT_FLOAT_EQ(m0.shininess, 7.0f);
    EXPECT_FLOAT_EQ(m0.specular[3], 1.0f);
    const MaterialTextures& t0 = model.textures.materials[0];
    EXPECT_NE(t0.texture, -1);
    EXPECT_NE(t0.sphere, -1);
    EXPECT_EQ(m0.sphereMode, 1);
    EXPECT_EQ(model.textures.materials[1].texture, -1);
    EXPECT_EQ(model.textures.materials[1].sphere, t0.sphere);
    EXPECT_EQ(model.materials[1].sphereMode, 2);

    ASSERT_EQ(model.boneCount(), 3u);
    const cBone* b = model.bones.data();
    EXPECT_STREQ(b[1].name, "arm");
    EXPECT_EQ(b[1].parent, &b[0]);
    EXPECT_EQ(b[0].child, &b[1]);
    EXPECT_EQ(b[2].child, nullptr);
    EXPECT_EQ(b[1].flags & 0x0100, 0x0100);
    EXPECT_EQ(b[1].appendParent, &b[0]);
    EXPECT_FLOAT_EQ(b[1].appendRatio, 0.5f);
    EXPECT_EQ(b[2].flags & 0x0300, 0x0200);  // translation-only append links its source too
    EXPECT_NE(b[2].appendParent, nullptr);
    EXPECT_FLOAT_EQ(b[2].restPosition[2], 6.0f);
    EXPECT_FLOAT_EQ(b[2].parentOffset[1], 2.0f);
    ASSERT_EQ(model.ikCount(), 1);
    EXPECT_EQ(model.ikChains[0].ikBone, &b[2]);
    EXPECT_EQ(model.ikChains[0].targetBone, &b[1]);
    EXPECT_EQ(model.ikChains[0].iterations, 7);
    EXPECT_FLOAT_EQ(model.ikChains[0].angleLimit, 1.0f);
    EXPECT_EQ(model.ikChains[0].linkCount, 2);

    ASSERT_EQ(model.morphCount(), 1);
    const cMorph& morph = model.morphs[0];
    EXPECT_STREQ(morph.name, "move");
    ASSERT_EQ(morph.vertexCount, 2);
    EXPECT_EQ(morph.entries[0].vertexIndex, 5);
    EXPECT_FLOAT_EQ(morph.entries[0].position[0], 1.0f);  // vertex 5 rests at (1, -1, 0)
    EXPECT_FLOAT_EQ(morph.entries[0].position[1], -1.0f);
    EXPECT_FLOAT_EQ(morph.entries[0].position[2], 2.0f);
    EXPECT_FLOAT_EQ(morph.entries[1].position[0], 0.0f);  // vertex 0 rests at (-1, -1, 0)
    // Bodies and the joint are built; PMX places bodies in model space, so the body on
    // bone 2 (resting at z = 6) stays at the origin the file gives.
    ASSERT_EQ(model.physics.bodies.size(), 2u);
    ASSERT_EQ(model.physics.joints.size(), 1u);
    EXPECT_EQ(model.physics.bodies[1].bone, &b[2]);
    ASSERT_NE(model.physics.bodies[1].body, nullptr);
    EXPECT_NEAR(model.physics.bodies[1].body->getWorldTransform().getOrigin().length(), 0.0f, 1e-5f);
    EXPECT_NE(model.physics.joints[0].constraint, nullptr);
}

TEST_F(PMXLoad, Version21WithUtf8WideIndicesAndExtraUVLoadsLike20) {
    ModelDesc d = skinTypesModel();
    d.pmx.version = 2.1f;
    d.pmx.textEncoding = 1;
    d.pmx.additionalUVCount = 2;
    d.pmx.vertexIndexSize = 2;
    d.pmx.boneIndexSize = 4;
    d.pmx.morphIndexSize = 2;
    d.pmx.materialIndexSize = 4;
    d.pmx.textureIndexSize = 2;
    d.pmx.rigidBodyIndexSize = 2;
    for (VertexDesc& v : d.vertices) v.additionalUV[1][3] = 9.0f;
    d.bones[0].name = kHeadUtf8;
    d.morphs.resize(1);
    d.morphs[0].type = 1;
    std::string error;
    ASSERT_TRUE(loadBytes(model, writePMX(d), &error)) << error;
    EXPECT_EQ(model.pmxTextEncoding, 1);
    EXPECT_EQ(model.pmxAdditionalUVCount, 2);
    EXPECT_EQ(model.vertexCount, 8u);
    EXPECT_EQ(model.skins[4].type, 4);
    EXPECT_FLOAT_EQ(model.texCoords[2 * 7 + 1], 0.0f);
    EXPECT_EQ(model.headBone, &model.bones[0]);
    EXPECT_STREQ(model.bones[2].name, "hand");
    EXPECT_EQ(model.morphCount(), 1);

    // Vertex indices of 1 and 2 bytes have no sign: 200 is vertex 200, not -56.
    ModelDesc many = twoQuadModelPMX();
    many.vertices.resize(201, many.vertices[0]);
    many.indices.push_back(200);
    many.indices.push_back(199);
    many.indices.push_back(128);
    many.materials[1].indexCount += 3;
    many.morphs.resize(1);
    many.morphs[0].offsets = {MorphOffsetDesc{200, {1, 0, 0}}};
    ASSERT_TRUE(loadBytes(model, writePMX(many), &error)) << error;
    EXPECT_EQ(model.pmxVertexIndexSize, 1);
    EXPECT_EQ(model.indices[12], 200u);
    EXPECT_EQ(model.morphs[0].entries[0].vertexIndex, 200);
}

TEST_F(PMXLoad, ModelWithoutVertexMorphsHasNoMorphArray) {
    ModelDesc d = twoQuadModelPMX();
    d.morphs.clear();
    MorphDesc group;
    group.name = "group";
    group.type = 0;
    group.offsets.push_back(MorphOffsetDesc{0, {1, 0, 0}});
    d.morphs.push_back(group);
    MorphDesc boneMorph;
    boneMorph.name = "bone";
    boneMorph.type = 2;
    boneMorph.offsets.push_back(MorphOffsetDesc{1, {}});
    d.morphs.push_back(boneMorph);
    std::string error;
    ASSERT_TRUE(loadBytes(model, writePMX(d), &error)) << error;
    EXPECT_EQ(model.morphCount(), 0);
    EXPECT_TRUE(model.morphs.empty());
    d.morphs.clear();
    ASSERT_TRUE(loadBytes(model, writePMX(d), &error)) << error;
    EXPECT_TRUE(model.morphs.empty());
}

// Only vertex morphs become cMorph records, in file order among the other kinds, and
// each kind record names the one made from it.
TEST_F(PMXLoad, VertexMorphsAmongOtherKindsKeepTheirOrder) {
    ModelDesc d = twoQuadModelPMX();
    d.morphs.clear();
    auto add = [&d](const char* name, uint8_t type, MorphOffsetDesc offset) {
        MorphDesc m;
        m.name = name;
        m.type = type;
        m.offsets.push_back(offset);
        d.morphs.push_back(m);
    };
    add("group", 0, MorphOffsetDesc{1, {1, 0, 0}});
    add("first", 1, MorphOffsetDesc{5, {0, 0, 2}});
    add("bone", 2, MorphOffsetDesc{1, {}});
    add("second", 1, MorphOffsetDesc{0, {0, 3, 0}});
    std::string error;
    ASSERT_TRUE(loadBytes(model, writePMX(d), &error)) << error;
    ASSERT_EQ(model.morphs.size(), 2u);
    EXPECT_STREQ(model.morphs[0].name, "first");
    EXPECT_STREQ(model.morphs[1].name, "second");
    EXPECT_EQ(model.morphs[1].entries[0].vertexIndex, 0);
    EXPECT_FLOAT_EQ(model.morphs[1].entries[0].position[1], 2.0f);  // vertex 0 rests at y = -1
    ASSERT_NE(model.morphKinds, nullptr);
    ASSERT_EQ(model.morphKinds->morphs.size(), 4u);
    EXPECT_EQ(model.morphKinds->morphs[0].vertexMorph, -1);
    EXPECT_EQ(model.morphKinds->morphs[1].vertexMorph, 0);
    EXPECT_EQ(model.morphKinds->morphs[2].vertexMorph, -1);
    EXPECT_EQ(model.morphKinds->morphs[3].vertexMorph, 1);
    EXPECT_EQ(findMorph(model, "second"), &model.morphs[1]);
}

// A model read over another keeps nothing of it: a PMD after a PMX with SDEF vertices
// has no rest positions, SDEF records or morph kinds, and releasing gives the memory back.
TEST_F(PMXLoad, AModelReadOverAnotherKeepsNothingOfIt) {
    ModelDesc pmx = skinTypesModel();
    std::string error;
    ASSERT_TRUE(loadBytes(model, writePMX(pmx), &error)) << error;
    ASSERT_FALSE(model.restPositions.empty());
    ASSERT_FALSE(model.sdefVertices.empty());
    ASSERT_NE(model.morphKinds, nullptr);

    ASSERT_TRUE(loadBytes(model, writePMD(twoQuadModel()), &error)) << error;
    EXPECT_EQ(model.format, 0);
    EXPECT_TRUE(model.restPositions.empty());
    EXPECT_TRUE(model.sdefVertices.empty());
    EXPECT_EQ(model.morphKinds, nullptr);
    EXPECT_EQ(model.positions.size(), 3u * model.vertexCount);
    EXPECT_EQ(model.skins.size(), model.vertexCount);
    EXPECT_EQ(model.edgeScales.size(), model.vertexCount);
    for (const cBone& bone : model.bones) {
        const cBone* parent = bone.parent;
        EXPECT_TRUE(!parent || (parent >= model.bones.data() && parent < model.bones.data() + model.bones.size()));
    }

    releaseModel(model);
    EXPECT_EQ(model.vertexCount, 0u);
    EXPECT_TRUE(model.positions.empty() && model.normals.empty() && model.texCoords.empty() && model.indices.empty());
    EXPECT_TRUE(model.materials.empty() && model.bones.empty() && model.ikChains.empty() && model.morphs.empty());
    EXPECT_EQ(model.headBone, nullptr);
    EXPECT_EQ(model.positions.capacity(), 0u);
    EXPECT_EQ(model.skins.capacity(), 0u);
    EXPECT_EQ(model.bones.capacity(), 0u);
    EXPECT_EQ(model.morphs.capacity(), 0u);
}

TEST_F(PMXLoad, TextureProblemsAreShownOnceAndLoadingGoesOn) {
    writeSolidBMP("shine.bmp", 2, 2, 0, 255, 0);
    ModelDesc d = twoQuadModelPMX();
    d.textures = {"missing.png", "shine.bmp"};
    d.materials[0].texture = 0;
    d.materials[1].texture = 0;
    d.materials[1].sphereTexture = 1;
    d.materials[1].sphereMode = 3;  // sub-texture: ignored with a message
    std::string error;
    const std::string printed = stderrOf([&] { ASSERT_TRUE(loadBytes(model, writePMX(d), &error)) << error; });
    std::size_t first = printed.find("Texture Read Error: missing.png");
    EXPECT_NE(first, std::string::npos) << printed;
    EXPECT_EQ(printed.find("Texture Read Error", first + 1), std::string::npos) << printed;
    EXPECT_NE(printed.find("mat: サブテクスチャは無視します: nSphereIndex = -1, MatCount = 2, TexIndexSize = 1, fpos = "),
              std::string::npos)
        << printed;
    EXPECT_EQ(model.textures.materials[0].texture, -1);
    EXPECT_EQ(model.textures.materials[1].texture, -1);
    EXPECT_EQ(model.textures.materials[1].sphere, -1);
    EXPECT_EQ(model.materials[1].sphereMode, 0);
}

TEST_F(PMXLoad, TextureIndexBeyondTheTableLoadsWithoutThatTexture) {
    writeSolidBMP("a.bmp", 2, 2, 0, 255, 0);
    ModelDesc d = twoQuadModelPMX();
    d.textures = {"a.bmp"};
    d.materials[0].texture = 1;
    d.materials[1].texture = 0;
    d.materials[1].sphereTexture = 5;
    d.materials[1].sphereMode = 2;
    std::string error;
    const std::string printed = stderrOf([&] { ASSERT_TRUE(loadBytes(model, writePMX(d), &error)) << error; });
    EXPECT_NE(printed.find("mat: material 0: texture 1 out of range (1 textures); drawn without it"),
              std::string::npos)
        << printed;
    EXPECT_NE(printed.find("mat: material 1: sphere texture 5 out of range (1 textures); drawn without it"),
              std::string::npos)
        << printed;
    EXPECT_EQ(model.textures.materials[0].texture, -1);
    EXPECT_NE(model.textures.materials[1].texture, -1);  // the good index in the same file still counts
    EXPECT_EQ(model.textures.materials[1].sphere, -1);
    EXPECT_EQ(model.materials[1].sphereMode, 0);
    EXPECT_EQ(model.materialCount(), 2u);
}

TEST_F(PMXLoad, TwoBoneVertexWithoutItsSecondBoneBelongsToTheFirst) {
    ModelDesc d = twoQuadModelPMX();
    d.vertices[1].skinType = 1;
    d.vertices[1].bones[0] = 2;
    d.vertices[1].bones[1] = -1;
    d.vertices[1].weights[0] = 0.3f;
    d.ikChains.clear();  // bone 2 moves alone
    d.rigidBodies.clear();  // and no body takes it over
    d.joints.clear();
    std::string error;
    ASSERT_TRUE(loadBytes(model, writePMX(d), &error)) << error;
    const VertexSkin& s = model.skins[1];
    EXPECT_EQ(s.boneIndices[0], 2);
    EXPECT_EQ(s.boneIndices[1], 2);
    EXPECT_FLOAT_EQ(s.weights[0], 1.0f);
    EXPECT_FLOAT_EQ(s.weights[1], 0.0f);
    // Skinned, it moves with bone 2 alone instead of lagging toward the rest pose.
    model.bones[2].translation[0] = 5.0f;
    updateModelPose(model, 0.0f);
    skinModel(model);
    EXPECT_NEAR(model.skin.positions[3 + 0], model.positions[3 + 0] + 5.0f, 1e-5f);
}

TEST_F(PMXLoad, KeepsDeformLayerAxesAndLinkLimits) {
    ModelDesc d = twoQuadModelPMX();
    d.bones[1].deformLayer = 3;
    d.bones[1].pmxFlags |= 0x0400 | 0x0800;
    d.bones[1].fixedAxis[0] = 0;
    d.bones[1].fixedAxis[2] = -3;
    d.bones[1].localAxisX[1] = 1;
    d.bones[2].pmxFlags |= 0x0400;
    d.bones[2].fixedAxis[0] = 0;  // zero length: turns freely
    d.ikChains[0].links[0].limited = true;
    d.ikChains[0].links[0].lower[0] = -1.5f;
    d.ikChains[0].links[0].upper[0] = -0.1f;
    std::string error;
    ASSERT_TRUE(loadBytes(model, writePMX(d), &error)) << error;
    const cBone* b = model.bones.data();
    EXPECT_EQ(b[1].deformLayer, 3);
    EXPECT_FLOAT_EQ(b[1].fixedAxis[2], -1.0f);
    EXPECT_FLOAT_EQ(b[1].localAxisX[1], 1.0f);
    EXPECT_EQ(b[2].flags & 0x0400, 0);
    ASSERT_EQ(model.ikCount(), 1);
    ASSERT_FALSE(model.ikChains[0].limits.empty());
    EXPECT_EQ(model.ikChains[0].limits[0].limited, 1);
    EXPECT_EQ(model.ikChains[0].limits[1].limited, 0);
    EXPECT_FLOAT_EQ(model.ikChains[0].limits[0].lower[0], -1.5f);
    EXPECT_FLOAT_EQ(model.ikChains[0].limits[0].upper[0], -0.1f);
    EXPECT_FLOAT_EQ(model.ikChains[0].angleLimit, 0.25f);  // as stored, radians per step
    EXPECT_EQ(b[2].ikChain, &model.ikChains[0]);
}

// Bones holding an IK chain each, on a chain of parents.
ModelDesc chainOfIKBones(int chains) {
    ModelDesc d = twoQuadModelPMX();
    d.bones.clear();
    d.ikChains.clear();
    for (int i = 0; i < chains + 1; ++i) d.bones.push_back(bone("b" + std::to_string(i), i - 1, -1, 0, float(i), 0));
    for (int i = 1; i <= chains; ++i) {
        IKChainDesc ik;
        ik.ikBone = i;
        ik.target = i - 1;
        ik.links.push_back(IKLinkDesc{i - 1, false, {}, {}});
        d.ikChains.push_back(ik);
    }
    return d;
}

TEST_F(PMXLoad, LimitsOnChainsBonesAndLinks) {
    std::string error;
    ASSERT_TRUE(loadBytes(model, writePMX(chainOfIKBones(64)), &error)) << error;
    EXPECT_EQ(model.ikCount(), 64);

    std::string printed = stderrOf([&] { EXPECT_FALSE(loadBytes(model, writePMX(chainOfIKBones(65)), &error)); });
    EXPECT_NE(printed.find("bone: Error: IkListMax: IkCount = 65, fpos = "), std::string::npos) << printed;
    EXPECT_TRUE(isEmpty(model));

    ModelDesc d = twoQuadModelPMX();
    d.bones.resize(32767, bone("x", 0, -1, 0, 0, 0));
    ASSERT_TRUE(loadBytes(model, writePMX(d), &error)) << error;
    EXPECT_EQ(model.boneCount(), 32767u);
    d.bones.push_back(bone("x", 0, -1, 0, 0, 0));
    printed = stderrOf([&] { EXPECT_FALSE(loadBytes(model, writePMX(d), &error)); });
    EXPECT_NE(printed.find("bone: Error: ボーン数が多すぎます(32767まで): BoneCount = 32768, BoneIndexSize = 4, len = "),
              std::string::npos)
        << printed;
    EXPECT_TRUE(isEmpty(model));

    // 256 links: the chain is dropped with a message, its links stepped over, and the
    // bones after it are read from the right place.
    d = twoQuadModelPMX();
    d.bones.push_back(bone("after", 0, -1, 7, 8, 9));
    for (int k = 0; k < 255; ++k) d.ikChains[0].links.push_back(IKLinkDesc{k % 3, k % 2 == 0, {1, 2, 3}, {4, 5, 6}});
    ASSERT_EQ(d.ikChains[0].links.size(), 257u);
    d.ikChains[0].linkCountOverride = 257;
    printed = stderrOf([&] { ASSERT_TRUE(loadBytes(model, writePMX(d), &error)) << error; });
    EXPECT_NE(printed.find("bone: 2をターゲットとするIK構成ボーンの数が多すぎます。BoneCount = 4, BoneIndexSize = 1, len = "),
              std::string::npos)
        << printed;
    EXPECT_EQ(model.ikCount(), 0);
    ASSERT_EQ(model.boneCount(), 4u);
    EXPECT_STREQ(model.bones[3].name, "after");
    EXPECT_FLOAT_EQ(model.bones[3].restPosition[2], 9.0f);
    EXPECT_EQ(model.morphCount(), 2);

    // 255 links still fit a chain.
    d.ikChains[0].links.resize(255);
    d.ikChains[0].linkCountOverride = -1;
    ASSERT_TRUE(loadBytes(model, writePMX(d), &error)) << error;
    ASSERT_EQ(model.ikCount(), 1);
    EXPECT_EQ(model.ikChains[0].linkCount, 255);
}

// Decodes one text field written with the given encoding.
std::string decode(const std::string& raw, uint8_t encoding, std::size_t outSize = 256, bool* ok = nullptr) {
    const uint32_t n = static_cast<uint32_t>(raw.size());
    std::vector<uint8_t> field;
    for (int i = 0; i < 4; ++i) field.push_back(static_cast<uint8_t>(n >> (8 * i)));
    for (char ch : raw) field.push_back(static_cast<uint8_t>(ch));
    cModel m;
    m.pmxTextEncoding = encoding;
    ByteCursor c(field.data(), field.size());
    std::vector<char> out(outSize, 'Z');
    const bool result = readPMXText(c, m, out.data(), outSize);
    if (ok) *ok = result;
    if (result && c.offset() != field.size()) ADD_FAILURE() << "cursor not past the field";
    return out.data();
}

TEST(PMXText, DecodesUtf8AndUtf16ToCp932) {
    // 日本語 and a 4-byte sequence (an emoji) between ASCII letters.
    EXPECT_EQ(decode("\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e", 1), "\x93\xfa\x96\x7b\x8c\xea");
    EXPECT_EQ(decode("A\xf0\x9f\x98\x80" "B", 1), "A?B");
    EXPECT_EQ(decode("a\x80z\xf9", 1), "a?z?");  // stray continuation and 0xF8-0xFF bytes
    EXPECT_EQ(decode("ab\xe6\x97", 1), "ab");    // a sequence cut by the end of the field
    EXPECT_EQ(decode(utf8ToUtf16le("\xe9\xa0\xad" "x"), 0), "\x93\xaa" "x");
    EXPECT_EQ(decode(utf8ToUtf16le("ab") + "c", 0), "ab");  // an odd byte is dropped
    EXPECT_EQ(decode("", 0), "");
}

TEST(PMXText, CutsAtTheOutputSizeOnACharacterBoundary) {
    std::string kana;
    for (int i = 0; i < 20; ++i) kana += "\xe3\x81\x82";  // あ, two bytes in CP932
    const std::string cut = decode(utf8ToUtf16le(kana), 0, 32);
    EXPECT_EQ(cut.size(), 30u);
    EXPECT_EQ(cut.substr(0, 2), "\x82\xa0");
    EXPECT_EQ(decode("abcdefgh", 1, 5), "abcd");
    // Text longer than the decoding buffer is cut, never overrun.
    EXPECT_EQ(decode(std::string(5000, 'q'), 1, 4096).size(), 1023u);
}

TEST(PMXText, RefusesFieldsThatDoNotFit) {
    std::vector<uint8_t> field = {10, 0, 0, 0, 'a', 'b'};
    cModel m;
    ByteCursor c(field.data(), field.size());
    char out[8] = "xxxxxxx";
    EXPECT_FALSE(readPMXText(c, m, out, sizeof out));
    EXPECT_STREQ(out, "");
    EXPECT_TRUE(c.failed());
    std::vector<uint8_t> negative = {0xFF, 0xFF, 0xFF, 0xFF, 'a'};
    ByteCursor n(negative.data(), negative.size());
    EXPECT_FALSE(readPMXText(n, m, out, sizeof out));
}

TEST_F(PMXLoad, EveryPrefixIsRefusedOrLoadsWhole) {
    ModelDesc d = skinTypesModel();
    d.textures = {"a.png"};
    Layout layout;
    const std::vector<uint8_t> bytes = writePMX(d, &layout);
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        std::vector<uint8_t> prefix(bytes.begin(), bytes.begin() + static_cast<long>(n));
        std::string error;
        bool ok = false;
        stderrOf([&] { ok = loadBytes(model, prefix, &error); });
        // Every section up to the last joint is needed for the file to count as whole.
        EXPECT_FALSE(ok) << n << " bytes";
        if (!ok) {
            EXPECT_TRUE(isEmpty(model)) << n << " bytes";
        }
        if (!ok && n >= 9) {
            EXPECT_NE(error.find("PMX"), std::string::npos) << n << " bytes: " << error;
        }
    }
}

TEST_F(PMXLoad, RefusesBadValuesAndOutOfRangeIndices) {
    struct Case {
        const char* what;
        std::function<void(ModelDesc&)> change;
        const char* expected;  // in the reason
        const char* shown;     // in the message box text, or null
    } cases[] = {
        {"weight type 5", [](ModelDesc& d) { d.vertices[3].skinType = 5; }, "PMX vtx:",
         "vtx: Error: unkWeightType = 5, BoneIndexSize = 1, ulNumVertices = 8, fpos = "},
        {"sphere mode 4", [](ModelDesc& d) { d.materials[1].sphereMode = 4; }, "PMX mat:",
         "mat: Error: unkSphereMode = 4, MatCount = 2, TexIndexSize = 1, fpos = "},
        {"morph type 11", [](ModelDesc& d) { d.morphs[1].type = 11; }, "PMX face:",
         "face: Error: unkMorphType = 11, FaceCount = 2, len = "},
        {"shared toon 2", [](ModelDesc& d) { d.materials[0].sharedToon = 2; }, "shared-toon", nullptr},
        {"index size 3", [](ModelDesc& d) { d.pmx.boneIndexSize = 3; }, "index size 3", nullptr},
        {"face index 8", [](ModelDesc& d) { d.indices[4] = 8; }, "PMX faces: index 4: vertex 8", nullptr},
        {"indices 6 + 7 of 12", [](ModelDesc& d) { d.materials[1].indexCount = 7; }, "material 1", nullptr},
        {"parent 3", [](ModelDesc& d) { d.bones[0].parent = 3; }, "bone 0: parent 3", nullptr},
        {"parent -2", [](ModelDesc& d) { d.bones[0].parent = -2; }, "bone 0: parent -2", nullptr},
        {"tail 5", [](ModelDesc& d) { d.bones[1].tail = 5; }, "tail 5", nullptr},
        {"append parent 3", [](ModelDesc& d) { d.bones[1].appendParent = 3; }, "append parent 3", nullptr},
        {"parent cycle", [](ModelDesc& d) { d.bones[0].parent = 2; }, "own ancestor", nullptr},
        {"IK target 3", [](ModelDesc& d) { d.ikChains[0].target = 3; }, "IK target 3", nullptr},
        {"IK target -1", [](ModelDesc& d) { d.ikChains[0].target = -1; }, "IK target -1", nullptr},
        {"IK link 3", [](ModelDesc& d) { d.ikChains[0].links[1].bone = 3; }, "names bone 3", nullptr},
        {"vertex bone 3", [](ModelDesc& d) { d.vertices[6].bones[1] = 3; }, "vertex 6: bone 3", nullptr},
        {"BDEF1 bone -1", [](ModelDesc& d) { d.vertices[0].skinType = 0; d.vertices[0].bones[0] = -1; }, "vertex 0: bone -1", nullptr},
        {"morph vertex 8", [](ModelDesc& d) { d.morphs[1].offsets[0].index = 8; }, "names vertex 8", nullptr},
        {"morph count 69889", [](ModelDesc& d) { d.morphs.resize(1); }, "morph count 69889 out of range", nullptr},
        {"vertex count beyond the file", [](ModelDesc&) {}, "PMX vertices: file ends early", nullptr},
    };
    for (const Case& c : cases) {
        ModelDesc d = twoQuadModelPMX();
        c.change(d);
        Layout layout;
        std::vector<uint8_t> bytes = writePMX(d, &layout);
        if (std::string(c.what) == "morph count 69889") bytes[layout.morphs + 1] = 0x11, bytes[layout.morphs + 2] = 0x01;
        if (std::string(c.what) == "vertex count beyond the file") bytes[layout.vertices + 3] = 0x7F;
        std::string error;
        const std::string printed = stderrOf([&] { EXPECT_FALSE(loadBytes(model, bytes, &error)) << c.what; });
        EXPECT_TRUE(isEmpty(model)) << c.what;
        EXPECT_NE(error.find(c.expected), std::string::npos) << c.what << ": " << error;
        if (c.shown) {
            EXPECT_NE(printed.find(c.shown), std::string::npos) << c.what << ": " << printed;
        }
    }
    std::string error;
    EXPECT_TRUE(loadBytes(model, writePMX(twoQuadModelPMX()), &error)) << error;
}

}  // namespace
