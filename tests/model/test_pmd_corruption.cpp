// Randomly damaged PMD and PMX files: each is refused with an empty model, or loads into
// a model whose every index is sound. Never a crash (run under the sanitizers to see
// stray reads).
#include <random>

#include "physics/RigidBody.h"
#include "test_pmd_fixtures.h"

using namespace modeltest;

namespace {

class Corruption : public ModelTest {
protected:
    void damageAndLoad(const std::vector<uint8_t>& good, uint32_t seed, int rounds) {
        std::mt19937 random(seed);
        int loaded = 0, refused = 0;
        for (int round = 0; round < rounds; ++round) {
            std::vector<uint8_t> bytes = good;
            // A few bytes set to values that break counts and indices most often.
            const int flips = 1 + static_cast<int>(random() % 4);
            for (int k = 0; k < flips; ++k) {
                const std::size_t at = random() % bytes.size();
                const uint8_t values[] = {0x00, 0xFF, 0x7F, 0x80, 0x01, static_cast<uint8_t>(random())};
                bytes[at] = values[random() % 6];
            }
            if (random() % 4 == 0) bytes.resize(random() % bytes.size());
            std::string error;
            bool ok = false;
            stderrOf([&] { ok = loadBytes(model, bytes, &error); });
            if (ok) {
                ++loaded;
                const std::string breach = breachIn(model);
                EXPECT_EQ(breach, "") << "seed " << seed << " round " << round;
                for (std::size_t i = 0; i < model.physics.bodies.size(); ++i) {
                    const cBone* b = model.physics.bodies[i].bone;
                    EXPECT_TRUE(!b || (b >= model.bones.data() && b < model.bones.data() + model.boneCount()));
                }
            } else {
                ++refused;
                EXPECT_TRUE(isEmpty(model)) << "seed " << seed << " round " << round << ": " << error;
                EXPECT_FALSE(error.empty());
            }
        }
        // Both outcomes occur, so the damage reached the checks and spared some files.
        EXPECT_GT(loaded, 0);
        EXPECT_GT(refused, 0);
    }
};

TEST_F(Corruption, DamagedPMDFilesAreRefusedOrSound) {
    damageAndLoad(writePMD(twoQuadModel()), 1, 3000);
}

TEST_F(Corruption, DamagedPMXFilesAreRefusedOrSound) {
    ModelDesc d = twoQuadModelPMX();
    d.vertices[2].skinType = 2;
    d.vertices[3].skinType = 3;
    MorphDesc group;
    group.name = "group";
    group.type = 0;
    group.offsets.push_back(MorphOffsetDesc{1, {}});
    d.morphs.push_back(group);
    d.pmx.textEncoding = 1;
    damageAndLoad(writePMX(d), 2, 3000);
    d.pmx.textEncoding = 0;
    d.pmx.version = 2.1f;
    damageAndLoad(writePMX(d), 3, 3000);
}

}  // namespace
