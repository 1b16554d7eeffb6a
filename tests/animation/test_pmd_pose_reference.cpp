// PMD poses are kept to the last bit: the bone matrices of Gene (PMD) playing a real
// motion, with IK, hash to the value the viewer produced before PMX posing was added.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "character/ModelFrame.h"
#include "animation/Motion.h"
#include "animation/MotionPlayer.h"
#include "render/ModelDraw.h"
#include "character/LoadModelFile.h"
#include "render/Texture.h"
#include "physics/PhysicsWorld.h"

namespace {

namespace fs = std::filesystem;

// Measured with the posing code as it stood before PMX bones got their own path.
constexpr uint64_t kGeneStandPoseHash = 0x88ea00413a90a1e9ULL;

uint64_t fnv1a(uint64_t h, const void* data, std::size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    for (std::size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ULL;
    return h;
}

int32_t fakeName(const DecodedImage&, void* user) { return (*static_cast<int32_t*>(user))++; }

TEST(PmdPoseReference, GeneStandIsBitIdentical) {
    const fs::path model = fs::path(PAVONIX_TESTDATA_DIR) / "pmd/gene_light/Gene_light.pmd";
    const fs::path motion = fs::path(PAVONIX_TESTDATA_DIR) / "vmd/gene/stand.vmd";
    if (!fs::exists(model) || !fs::exists(motion)) GTEST_SKIP() << "real files not present";
    setenv("PAVONIX_NO_DIALOGS", "1", 1);
    int32_t next = 1;
    setTextureUploader(fakeName, &next);
    PhysicsWorld world;
    uint64_t h = 0xcbf29ce484222325ULL;
    {
        cModel m;
        const fs::path previous = fs::current_path();
        fs::current_path(model.parent_path());
        ASSERT_TRUE(loadModelFile(m, model.c_str(), &world));
        fs::current_path(previous);
        MotionData d;
        ASSERT_TRUE(loadVMDFile(motion.c_str(), d));
        bindMotion(m.motion, m, d);
        for (int frame = 0; frame < 240; ++frame) {
            updateModelPose(m, 1.0f);
            for (uint32_t i = 0; i < m.boneCount(); ++i) h = fnv1a(h, m.bones[i].globalMatrix, sizeof(float) * 16);
        }
        clearMotionPlayer(m.motion);
        destroyModel(m);
    }
    setTextureUploader(nullptr, nullptr);
    std::printf("pose hash 0x%016llx\n", static_cast<unsigned long long>(h));
    EXPECT_EQ(h, kGeneStandPoseHash);
}

}  // namespace
