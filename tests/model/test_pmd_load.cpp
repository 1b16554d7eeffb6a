// Loading PMD files: every field lands where drawing, animation and physics expect it,
// and damaged files are refused without leaving anything behind.
#include <cmath>

#include "physics/RigidBody.h"
#include "test_pmd_fixtures.h"

using namespace modeltest;

namespace {

const char kHead[] = "\xe9\xa0\xad";                 // 頭 in UTF-8
const char kCentre[] = "\xe3\x82\xbb\xe3\x83\xb3\xe3\x82\xbf\xe3\x83\xbc";  // センター
const char kLeftKnee[] = "\xe5\xb7\xa6\xe3\x81\xb2\xe3\x81\x96";            // 左ひざ

class PMDLoad : public ModelTest {};

void expectVec3(const float* v, float x, float y, float z) {
    EXPECT_FLOAT_EQ(v[0], x);
    EXPECT_FLOAT_EQ(v[1], y);
    EXPECT_FLOAT_EQ(v[2], z);
}

TEST_F(PMDLoad, FillsGeometryMaterialsAndPhysics) {
    ModelDesc d = twoQuadModel();
    d.materials[1].diffuse[3] = 0.5f;
    d.materials[1].flags = 0x10;
    d.materials[0].specular[0] = 0.25f;
    d.materials[0].ambient[2] = 0.75f;
    d.materials[0].shininess = 12.0f;
    std::string error;
    ASSERT_TRUE(loadBytes(model, writePMD(d), &error)) << error;

    EXPECT_EQ(model.format, 0);
    EXPECT_STREQ(model.name, "quads");
    ASSERT_EQ(model.vertexCount, 8u);
    expectVec3(&model.positions[3 * 1], 0, -1, 0);
    EXPECT_FLOAT_EQ(model.texCoords[2 * 1], 1.0f);
    EXPECT_TRUE(model.restPositions.empty());
    ASSERT_NE(model.skin.positions.data(), nullptr);
    ASSERT_NE(model.skin.normals.data(), nullptr);
    // Weight bytes are percentages of the first bone.
    EXPECT_EQ(model.skins[0].type, 1);
    EXPECT_FLOAT_EQ(model.skins[0].weights[0], 1.0f);
    EXPECT_FLOAT_EQ(model.skins[0].weights[1], 0.0f);
    EXPECT_FLOAT_EQ(model.skins[1].weights[0], 0.5f);
    EXPECT_FLOAT_EQ(model.skins[2].weights[0], 0.25f);
    EXPECT_FLOAT_EQ(model.skins[2].weights[1], 0.75f);
    EXPECT_EQ(model.skins[1].boneIndices[0], 1);
    EXPECT_EQ(model.skins[1].boneIndices[1], 2);

    ASSERT_EQ(model.indexCount(), 12u);
    EXPECT_EQ(model.indices[6], 4u);
    EXPECT_EQ(model.indices[11], 7u);

    ASSERT_EQ(model.materialCount(), 2u);
    const Material& m0 = model.materials[0];
    EXPECT_EQ(m0.indexCount, 6);
    EXPECT_FLOAT_EQ(m0.specular[0], 0.25f);
    EXPECT_FLOAT_EQ(m0.specular[3], 1.0f);
    EXPECT_FLOAT_EQ(m0.ambient[2], 0.75f);
    EXPECT_FLOAT_EQ(m0.ambient[3], 1.0f);
    EXPECT_FLOAT_EQ(m0.shininess, 12.0f);
    EXPECT_EQ(model.textures.materials[0].texture, -1);
    EXPECT_EQ(model.textures.materials[0].sphere, -1);
    EXPECT_EQ(m0.drawFlags, 0);
    // Translucent materials are drawn double-sided; the edge byte becomes bit 0x10.
    EXPECT_EQ(model.materials[1].drawFlags, 0x11);

    EXPECT_EQ(model.ikCount(), 1);
    EXPECT_EQ(model.morphCount(), 2);
    ASSERT_EQ(model.physics.bodies.size(), 2u);
    EXPECT_EQ(model.physics.bodies[0].bone, &model.bones[1]);
    EXPECT_NE(model.physics.bodies[1].body, nullptr);
    ASSERT_EQ(model.physics.joints.size(), 1u);
    EXPECT_NE(model.physics.joints[0].constraint, nullptr);
}

TEST_F(PMDLoad, BonesFollowTheirTypes) {
    ModelDesc d = twoQuadModel();
    d.bones.clear();
    d.bones.push_back(bone(kCentre, -1, 1, 0, 1, 0));  // 0: parent 65535
    d.bones.push_back(bone(kHead, 0, -1, 0, 3, 0));    // 1: tail 0 = none
    d.bones.push_back(bone(kHead, 1, 1, 0, 4, 1));     // 2: a second head
    BoneDesc follower = bone("follow", 0, 1, 1, 1, 1);  // 3: type 9, tail names the source
    follower.pmdType = 9;
    follower.pmdIKNumber = 40;
    d.bones.push_back(follower);
    BoneDesc copier = bone("copy", 0, 2, 0, 0, 0);  // 4: type 5, IK number names the source
    copier.pmdType = 5;
    copier.pmdIKNumber = 2;
    d.bones.push_back(copier);
    BoneDesc ik = bone("ik", 0, 0, 0, 0, 0);
    ik.pmdType = 2;
    d.bones.push_back(ik);  // 5
    for (VertexDesc& v : d.vertices) v.bones[0] = v.bones[1] = 0;
    d.rigidBodies[0].bone = -1;  // 65535: the centre bone
    d.rigidBodies[1].bone = 2;
    d.ikChains.clear();
    std::string error;
    ASSERT_TRUE(loadBytes(model, writePMD(d), &error)) << error;

    ASSERT_EQ(model.boneCount(), 6u);
    const cBone* b = model.bones.data();
    EXPECT_EQ(b[0].parent, nullptr);
    expectVec3(b[0].parentOffset, 0, 1, 0);
    EXPECT_EQ(b[0].child, &b[1]);
    EXPECT_EQ(b[0].flags, 0x001B);
    EXPECT_EQ(b[1].child, nullptr);
    EXPECT_EQ(b[1].parent, &b[0]);
    expectVec3(b[1].parentOffset, 0, 2, 0);
    EXPECT_EQ(model.headBone, &b[2]);
    EXPECT_EQ(b[3].flags, 0x0112);
    EXPECT_EQ(b[3].child, nullptr);
    EXPECT_EQ(b[3].appendParent, &b[1]);
    EXPECT_FLOAT_EQ(b[3].appendRatio, 0.4f);
    EXPECT_EQ(b[4].flags, 0x011B);
    EXPECT_EQ(b[4].appendParent, &b[2]);
    EXPECT_FLOAT_EQ(b[4].appendRatio, 1.0f);
    EXPECT_EQ(b[5].flags, 0x003F);
    EXPECT_EQ(model.physics.bodies[0].bone, &b[0]);
}

TEST_F(PMDLoad, ChainsAreSortedByFirstLinkAndKneesLimited) {
    ModelDesc d = twoQuadModel();
    d.bones.clear();
    for (int i = 0; i < 12; ++i) d.bones.push_back(bone(i == 3 ? std::string(kLeftKnee) : "b" + std::to_string(i), -1, -1, 0, 0, 0));
    d.ikChains.clear();
    for (int first : {10, 3, 7}) {
        IKChainDesc ik;
        ik.ikBone = 11;
        ik.target = first + 1;
        ik.iterations = static_cast<uint16_t>(first);
        ik.limit = 0.5f;
        ik.links.push_back(IKLinkDesc{first, false, {}, {}});
        ik.links.push_back(IKLinkDesc{0, false, {}, {}});
        d.ikChains.push_back(ik);
    }
    std::string error;
    ASSERT_TRUE(loadBytes(model, writePMD(d), &error)) << error;
    ASSERT_EQ(model.ikCount(), 3);
    const int expected[3] = {3, 7, 10};
    for (int i = 0; i < 3; ++i) {
        const cIKChain& c = model.ikChains[i];
        EXPECT_EQ(c.sortKey, expected[i]);
        EXPECT_EQ(c.iterations, expected[i]);  // the chain's fields moved with its key
        EXPECT_EQ(c.links[0], &model.bones[expected[i]]);
        EXPECT_EQ(c.targetBone, &model.bones[expected[i] + 1]);
        EXPECT_EQ(c.linkCount, 2);
        EXPECT_FLOAT_EQ(c.angleLimit, 2.0f);
    }
    EXPECT_TRUE(model.bones[3].ikAngleLimited);
    EXPECT_FALSE(model.bones[7].ikAngleLimited);
}

TEST_F(PMDLoad, MorphsBecomeAbsoluteTargets) {
    std::string error;
    ASSERT_TRUE(loadBytes(model, writePMD(twoQuadModel()), &error)) << error;
    ASSERT_EQ(model.morphCount(), 2);
    const cMorph& base = model.morphs[0];
    ASSERT_EQ(base.vertexCount, 2);
    EXPECT_EQ(base.entries[1].vertexIndex, 6);
    expectVec3(base.entries[1].position, 1, 1, 0);
    // "smile" names place 1 of the base (vertex 6) and moves it by (0, 0.5, 0).
    const cMorph& smile = model.morphs[1];
    EXPECT_STREQ(smile.name, "smile");
    ASSERT_EQ(smile.vertexCount, 1);
    EXPECT_EQ(smile.entries[0].vertexIndex, 6);
    expectVec3(smile.entries[0].position, 1, 1.5f, 0);
}

TEST_F(PMDLoad, TextureFieldsSplitIntoMainAndSphere) {
    writeSolidBMP("body.bmp", 2, 2, 255, 0, 0);
    writeSolidBMP("light.sph", 2, 2, 0, 255, 0);
    writeSolidBMP("light.bmp", 2, 2, 0, 0, 255);
    writeSolidBMP("metal.SPA", 2, 2, 9, 9, 9);
    writeSolidBMP("abcdefghijklmnop.bmp", 2, 2, 1, 2, 3);
    ModelDesc d = twoQuadModel();
    const char* fields[] = {"body.bmp*light.sph", "body.bmp*light.bmp", "metal.SPA", "abcdefghijklmnop.bmp",
                            "none.png*light.sph"};
    d.materials.clear();
    for (const char* f : fields) {
        MaterialDesc m = material(0);
        m.pmdTexture = f;
        d.materials.push_back(m);
    }
    d.materials[0].indexCount = 12;
    ModelFileInfo info;
    std::string error;
    ASSERT_TRUE(loadBytes(model, writePMD(d), &error, &info)) << error;
    ASSERT_EQ(model.materialCount(), 5u);
    const MaterialTextures* m = model.textures.materials.data();

    EXPECT_NE(m[0].texture, -1);
    EXPECT_NE(m[0].sphere, -1);
    EXPECT_EQ(m[0].sphereMode, 1);
    EXPECT_EQ(m[1].texture, m[0].texture);  // one upload per file and cache
    EXPECT_EQ(m[1].sphere, -1);
    EXPECT_EQ(m[1].sphereMode, 0);
    EXPECT_EQ(m[2].texture, -1);
    EXPECT_NE(m[2].sphere, -1);
    EXPECT_EQ(m[2].sphereMode, 2);
    EXPECT_NE(m[3].texture, -1);  // a full 20-byte field has no terminator
    EXPECT_EQ(m[4].texture, -1);  // a missing file is not an error
    EXPECT_EQ(m[4].sphere, m[0].sphere);
    EXPECT_EQ(m[4].sphereMode, 1);

    ASSERT_EQ(info.materials.size(), 5u);
    EXPECT_EQ(info.materials[0].texture, "body.bmp");
    EXPECT_EQ(info.materials[0].sphere, "light.sph");
    EXPECT_EQ(info.materials[1].sphere, "");
    EXPECT_EQ(info.materials[2].texture, "");
    EXPECT_EQ(info.materials[2].sphere, "metal.SPA");
    EXPECT_EQ(info.materials[3].texture, "abcdefghijklmnop.bmp");
    EXPECT_FLOAT_EQ(info.version, 1.0f);

    // The caches hold each file once, with a reference per material.
    int colourNodes = 0, sphereNodes = 0;
    for (const TextureEntry& e : model.textures.colourTextures) {
        ++colourNodes;
        if (std::strcmp(e.fileName, "body.bmp") == 0) {
            EXPECT_EQ(e.refCount, 2);
        }
    }
    for (const TextureEntry& e : model.textures.sphereTextures) {
        ++sphereNodes;
        if (std::strcmp(e.fileName, "light.sph") == 0) {
            EXPECT_EQ(e.refCount, 2);
        }
    }
    EXPECT_EQ(colourNodes, 2);
    EXPECT_EQ(sphereNodes, 2);

    // Releasing gives every reference back: each texture is deleted exactly once.
    releaseModel(model);
    EXPECT_EQ(textures.deletions, 4);
    EXPECT_TRUE(model.textures.colourTextures.empty());
    EXPECT_TRUE(model.textures.sphereTextures.empty());
}

TEST_F(PMDLoad, OptionalSectionsMayBeMissing) {
    ModelDesc d = twoQuadModel();
    d.pmd.english = false;
    d.pmd.toonNames = false;
    Layout layout;
    std::vector<uint8_t> bytes = writePMD(d, &layout);
    std::string error;
    ASSERT_TRUE(loadBytes(model, bytes, &error)) << error;  // ends after the display lists
    EXPECT_EQ(model.physics.bodies.size(), 0u);
    EXPECT_EQ(model.physics.joints.size(), 0u);
    EXPECT_EQ(model.morphCount(), 2);

    // English names only, and toon names without the physics sections after them.
    d.pmd.english = true;
    ASSERT_TRUE(loadBytes(model, writePMD(d), &error)) << error;
    EXPECT_EQ(model.physics.bodies.size(), 0u);
    d.pmd.toonNames = true;
    d.pmd.physics = false;
    ASSERT_TRUE(loadBytes(model, writePMD(d), &error)) << error;
    EXPECT_EQ(model.physics.bodies.size(), 0u);

    // Rigid bodies without the joint section.
    d.pmd.physics = true;
    bytes = writePMD(d, &layout);
    bytes.resize(layout.joints);
    ASSERT_TRUE(loadBytes(model, bytes, &error)) << error;
    EXPECT_EQ(model.physics.bodies.size(), 2u);
    EXPECT_EQ(model.physics.joints.size(), 0u);
}

// Trailing sections a file may leave out: one cut off, or announcing more than the file
// holds, costs that section (and the bodies when their joints are gone), never the model.
TEST_F(PMDLoad, CutOptionalSectionsLoadWhatCameBeforeWithAMessage) {
    ModelDesc d = twoQuadModel();
    Layout layout;
    const std::vector<uint8_t> good = writePMD(d, &layout);
    struct Case {
        const char* what;
        std::size_t cutAt;          // file length, or 0 to patch a count instead
        std::size_t countAt;        // where a huge count goes when cutAt is 0
        const char* section;        // named in the message
        uint32_t bodies;            // rigid bodies kept
    } cases[] = {
        {"inside the English names", layout.english + 30, 0, "English names", 0},
        {"inside the toon names", layout.toonNames + 500, 0, "toon names", 0},
        {"inside the rigid bodies", layout.rigidBodies + 4 + 83 + 10, 0, "rigid bodies", 0},
        {"rigid body count beyond the file", 0, layout.rigidBodies, "rigid bodies", 0},
        {"inside the joints", layout.joints + 10, 0, "joints", 0},
        {"joint count beyond the file", 0, layout.joints, "joints", 0},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes = good;
        if (c.cutAt) bytes.resize(c.cutAt);
        else for (int i = 0; i < 4; ++i) bytes[c.countAt + i] = 0xFF;
        std::string error;
        const std::string printed = stderrOf([&] { EXPECT_TRUE(loadBytes(model, bytes, &error)) << c.what << ": " << error; });
        EXPECT_NE(printed.find(std::string("the ") + c.section + " section is cut off"), std::string::npos)
            << c.what << ": " << printed;
        EXPECT_EQ(model.vertexCount, 8u) << c.what;
        EXPECT_EQ(model.boneCount(), 3u) << c.what;
        EXPECT_EQ(model.morphCount(), 2) << c.what;
        EXPECT_EQ(model.physics.bodies.size(), c.bodies) << c.what;
        EXPECT_EQ(model.physics.joints.size(), 0u) << c.what;
    }
    // A body naming a bone that does not exist is damage, not a cut: still refused.
    std::vector<uint8_t> bytes = good;
    bytes[layout.rigidBodies + 4 + 20] = 3;
    bytes[layout.rigidBodies + 4 + 21] = 0;
    std::string error;
    stderrOf([&] { EXPECT_FALSE(loadBytes(model, bytes, &error)); });
    EXPECT_NE(error.find("PMD rigid bodies: body 0: bone 3"), std::string::npos) << error;
}

TEST_F(PMDLoad, UnusedSecondBoneOfAFullWeightVertexIsNotChecked) {
    ModelDesc d = twoQuadModel();
    Layout layout;
    std::vector<uint8_t> bytes = writePMD(d, &layout);
    // Vertex 0 has weight 100 on bone 0; its second bone field says 65535.
    bytes[layout.vertices + 4 + 34] = 0xFF;
    bytes[layout.vertices + 4 + 35] = 0xFF;
    std::string error;
    ASSERT_TRUE(loadBytes(model, bytes, &error)) << error;
    EXPECT_EQ(model.skins[0].boneIndices[0], 0);
    EXPECT_EQ(model.skins[0].boneIndices[1], 0);  // points at a real bone: no read outside
    EXPECT_FLOAT_EQ(model.skins[0].weights[0], 1.0f);
}

// Every prefix of a valid file: refused and empty, or (past the mandatory sections)
// loaded; never a crash, never a half-built model.
TEST_F(PMDLoad, EveryPrefixIsRefusedOrLoadsWhole) {
    ModelDesc d = twoQuadModel();
    Layout layout;
    const std::vector<uint8_t> bytes = writePMD(d, &layout);
    const std::size_t mandatoryEnd = layout.english;
    int loaded = 0;
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        std::vector<uint8_t> prefix(bytes.begin(), bytes.begin() + static_cast<long>(n));
        std::string error;
        bool ok = false;
        stderrOf([&] { ok = loadBytes(model, prefix, &error); });
        if (ok) {
            ++loaded;
            EXPECT_GE(n, mandatoryEnd) << "a file cut inside the mandatory sections loaded (" << n << " bytes)";
            EXPECT_EQ(model.vertexCount, 8u);
        } else {
            EXPECT_TRUE(isEmpty(model)) << n << " bytes: " << error;
            if (n >= 7) {
                EXPECT_NE(error.find("PMD"), std::string::npos) << n << " bytes: " << error;
            }
        }
    }
    // Ends at the optional section boundaries: after the display lists, the English names,
    // and cuts in the toon names that leave no room for the physics sections.
    EXPECT_GT(loaded, 3);
}

TEST_F(PMDLoad, RefusesOutOfRangeNumbersAndHugeCounts) {
    ModelDesc d = twoQuadModel();
    Layout layout;
    const std::vector<uint8_t> good = writePMD(d, &layout);
    auto patch16 = [](std::vector<uint8_t>& b, std::size_t at, uint16_t v) {
        b[at] = static_cast<uint8_t>(v);
        b[at + 1] = static_cast<uint8_t>(v >> 8);
    };
    auto patch32 = [](std::vector<uint8_t>& b, std::size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    const std::size_t ik = layout.ikChains + 2;
    const std::size_t morph1 = layout.morphs + 2 + 25 + 2 * 16;  // the second morph
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> damage;
        const char* section;
    } cases[] = {
        {"vertex count beyond the file", [&](auto& b) { patch32(b, layout.vertices, 0xFFFFFFFF); }, "vertices"},
        {"index count beyond the file", [&](auto& b) { patch32(b, layout.indices, 0x40000000); }, "indices"},
        {"face names vertex 8 of 8", [&](auto& b) { patch16(b, layout.indices + 4, 8); }, "indices"},
        {"material count beyond the file", [&](auto& b) { patch32(b, layout.materials, 1000); }, "materials"},
        {"materials use 13 of 12 indices", [&](auto& b) { patch32(b, layout.materialRecords[1] + 46, 7); }, "materials"},
        {"parent 300", [&](auto& b) { patch16(b, layout.boneRecords[1] + 20, 300); }, "bones"},
        {"tail 3 of 3", [&](auto& b) { patch16(b, layout.boneRecords[0] + 22, 3); }, "bones"},
        {"parent cycle", [&](auto& b) { patch16(b, layout.boneRecords[0] + 20, 2); }, "bones"},
        {"type 5 names bone 9", [&](auto& b) { b[layout.boneRecords[2] + 24] = 5; patch16(b, layout.boneRecords[2] + 25, 9); }, "bones"},
        {"vertex bone 3 of 3", [&](auto& b) { patch16(b, layout.vertices + 4 + 38 * 5 + 32, 3); }, "vertices"},
        {"vertex bone 65535 weighted 50", [&](auto& b) { patch16(b, layout.vertices + 4 + 38 + 34, 65535); }, "vertices"},
        {"IK bone 3 of 3", [&](auto& b) { patch16(b, ik, 3); }, "IK chains"},
        {"IK target 65535", [&](auto& b) { patch16(b, ik + 2, 65535); }, "IK chains"},
        {"IK link 40", [&](auto& b) { patch16(b, ik + 11 + 2, 40); }, "IK chains"},
        {"IK link count beyond the file", [&](auto& b) { b[ik + 4] = 255; b.resize(ik + 11 + 100); }, "IK chains"},
        {"base morph names vertex 8", [&](auto& b) { patch32(b, layout.morphs + 2 + 25, 8); }, "morphs"},
        {"morph names base place 2 of 2", [&](auto& b) { patch32(b, morph1 + 25, 2); }, "morphs"},
        {"morph entry count beyond the file", [&](auto& b) { patch32(b, morph1 + 20, 0x10000000); }, "morphs"},
        {"rigid body bone 3", [&](auto& b) { patch16(b, layout.rigidBodies + 4 + 20, 3); }, "rigid bodies"},
        {"joint body 2 of 2", [&](auto& b) { patch32(b, layout.joints + 4 + 24, 2); }, "joints"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes = good;
        c.damage(bytes);
        std::string error;
        const std::string printed = stderrOf([&] { EXPECT_FALSE(loadBytes(model, bytes, &error)) << c.what; });
        EXPECT_TRUE(isEmpty(model)) << c.what;
        EXPECT_NE(error.find(std::string("PMD ") + c.section + ":"), std::string::npos) << c.what << ": " << error;
        EXPECT_NE(error.find("offset 0x"), std::string::npos) << c.what << ": " << error;
        // Standard error names the file and the problem.
        EXPECT_NE(printed.find("test.model: " + error), std::string::npos) << c.what << ": " << printed;
    }
    // The undamaged file still loads, so the cases above failed for their damage alone.
    std::string error;
    EXPECT_TRUE(loadBytes(model, good, &error)) << error;
}

TEST_F(PMDLoad, FailedLoadEmptiesTheSlotAndUnknownFilesAreRefused) {
    writeSolidBMP("body.bmp", 2, 2, 255, 0, 0);
    ModelDesc d = twoQuadModel();
    d.materials[0].pmdTexture = "body.bmp";
    std::string error;
    ASSERT_TRUE(loadBytes(model, writePMD(d), &error)) << error;
    ASSERT_NE(model.textures.materials[0].texture, -1);
    model.lookAtCamera = 1;
    model.motion.boneTargets.assign(4, nullptr);

    const std::vector<uint8_t> junk = {'P', 'm', 'd', 0, 0, 0x80, 0x3F, 1, 2, 3};  // version 1.0, then nothing
    EXPECT_FALSE(loadBytes(model, junk, &error));
    EXPECT_TRUE(isEmpty(model));
    EXPECT_EQ(textures.deletions, 1);  // the previous model's texture went with it
    EXPECT_TRUE(model.motion.boneTargets.empty());
    EXPECT_EQ(model.lookAtCamera, 0);

    const std::vector<uint8_t> text = {'h', 'e', 'l', 'l', 'o'};
    const std::string printed = stderrOf([&] { EXPECT_FALSE(loadBytes(model, text, &error)); });
    EXPECT_NE(error.find("neither a PMD nor a PMX"), std::string::npos) << error;
    EXPECT_NE(printed.find("test.model"), std::string::npos);
    std::vector<uint8_t> wrongVersion = writePMD(d);
    wrongVersion[5] = 0x00;  // 1.0 -> another float
    wrongVersion[6] = 0x40;
    EXPECT_FALSE(loadBytes(model, wrongVersion, &error));
    EXPECT_NE(error.find("neither"), std::string::npos) << error;

    // A path that does not open leaves the model as it was.
    ASSERT_TRUE(loadBytes(model, writePMD(d), &error)) << error;
    stderrOf([&] { EXPECT_FALSE(loadModelFile(model, "no/such/file.pmd", world.get(), &error)); });
    EXPECT_NE(error.find("cannot open"), std::string::npos);
    EXPECT_EQ(model.vertexCount, 8u);
}

}  // namespace
