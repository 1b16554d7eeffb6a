// The readers give the model's data and nothing more; what is made from it, and the
// messages about it, come from the load that ties them together.
#include "test_pmd_fixtures.h"

namespace {

using namespace modeltest;

std::vector<std::string> captionsOf(const LoadResult& result) {
    std::vector<std::string> captions;
    for (const LoadProblem& w : result.warnings()) captions.push_back(w.section);
    return captions;
}

TEST_F(ModelTest, ReadersLeaveTexturesAndBodiesToTheLoad) {
    writeSolidBMP("shine.bmp", 2, 2, 0, 255, 0);
    ModelDesc d = twoQuadModelPMX();
    d.textures = {"shine.bmp"};
    d.materials[0].texture = 0;
    d.rigidBodies.assign(2, RigidBodyDesc{});
    d.rigidBodies[0].bone = 0;
    d.rigidBodies[1].mode = 1;
    d.joints.assign(1, JointDesc{});
    d.joints[0].bodyB = 1;
    const std::vector<uint8_t> bytes = writePMX(d);

    cModel scratch;
    const LoadResult read = loadPMX(scratch, bytes.data(), bytes.size());
    ASSERT_TRUE(read.ok()) << refusalText(read.problem());
    EXPECT_EQ(textures.nextName, 1000) << "the reader uploaded a texture";
    EXPECT_TRUE(scratch.textures.materials.empty());
    EXPECT_EQ(scratch.materials[0].textureIndex, 0);
    EXPECT_EQ(scratch.materials[1].textureIndex, -1);
    EXPECT_TRUE(scratch.physics.bodies.empty());
    ASSERT_EQ(scratch.rigidBodyDefs.size(), 2u);
    EXPECT_EQ(scratch.rigidBodyDefs[0].bone, 0);
    EXPECT_EQ(scratch.rigidBodyDefs[1].bone, -1);
    EXPECT_EQ(scratch.rigidBodyDefs[1].def.mode, 1);
    ASSERT_EQ(scratch.jointDefs.size(), 1u);
    EXPECT_EQ(scratch.jointDefs[0].bodyA, 0);
    EXPECT_EQ(scratch.jointDefs[0].bodyB, 1);
    releaseModel(scratch);

    // The load makes them: the texture first, a body per definition, a joint.
    const LoadResult loaded = loadModelBytes(model, bytes.data(), bytes.size(), nullptr, nullptr, world.get());
    ASSERT_TRUE(loaded.ok()) << refusalText(loaded.problem());
    EXPECT_EQ(model.textures.materials[0].texture, 1000);
    EXPECT_EQ(model.textures.materials[1].texture, -1);
    EXPECT_EQ(model.physics.bodies.size(), 2u);
    EXPECT_EQ(model.physics.joints.size(), 1u);
}

// Messages keep the order of the file: a texture that cannot be read is told where its
// material is, before or after what the reader says about the next one.
TEST_F(ModelTest, TextureMessagesKeepTheirPlaceAmongTheReaders) {
    ModelDesc d = twoQuadModelPMX();
    d.textures = {"missing.png"};
    d.materials[0].texture = 0;
    d.materials[1].texture = 7;  // outside the table: the reader tells it
    std::vector<uint8_t> bytes = writePMX(d);
    LoadResult loaded = loadModelBytes(model, bytes.data(), bytes.size());
    ASSERT_TRUE(loaded.ok()) << refusalText(loaded.problem());
    EXPECT_EQ(captionsOf(loaded), (std::vector<std::string>{"Texture Read Error", "mat"}));

    std::swap(d.materials[0].texture, d.materials[1].texture);
    bytes = writePMX(d);
    loaded = loadModelBytes(model, bytes.data(), bytes.size());
    ASSERT_TRUE(loaded.ok()) << refusalText(loaded.problem());
    EXPECT_EQ(captionsOf(loaded), (std::vector<std::string>{"mat", "Texture Read Error"}));
    EXPECT_EQ(loaded.warnings()[1].what, "missing.png");
    EXPECT_EQ(loaded.warnings()[1].file, "model file");
}

// A refusal carries the format and section, and the words the program has always shown.
TEST_F(ModelTest, RefusalsNameFormatSectionAndOffset) {
    ModelDesc d = twoQuadModel();
    std::vector<uint8_t> bytes = writePMD(d);
    bytes.resize(300);  // inside the vertices
    cModel scratch;
    const LoadResult read = loadPMD(scratch, bytes.data(), bytes.size());
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.problem().section.compare(0, 4, "PMD "), 0) << read.problem().section;
    EXPECT_NE(read.problem().offset, LoadProblem::kNoOffset);
    const std::string text = refusalText(read.problem());
    EXPECT_EQ(text.compare(0, read.problem().section.size() + 2, read.problem().section + ": "), 0) << text;
    EXPECT_NE(text.find("(offset 0x"), std::string::npos) << text;
    releaseModel(scratch);

    EXPECT_FALSE(loadPMX(scratch, bytes.data(), bytes.size()).ok());
    EXPECT_EQ(refusalText(loadPMX(scratch, bytes.data(), bytes.size()).problem()), "not a PMX 2.0/2.1 file");
    releaseModel(scratch);
}

}  // namespace
