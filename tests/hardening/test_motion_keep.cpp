// Opening a motion over another: a damaged file must leave the playing motion whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "animation/Morph.h"
#include "animation/Motion.h"
#include "animation/VmdWriter.h"
#include "common/ProgramRun.h"

namespace {

std::vector<std::string> boneNames(const MotionData& motion) {
    std::vector<std::string> names;
    for (const BoneTrack* t = motion.boneTracks; t; t = t->next) names.push_back(t->name);
    return names;
}

std::vector<std::string> faceNames(const MotionData& motion) {
    std::vector<std::string> names;
    for (const FaceTrack* t = motion.faceTracks; t; t = t->next) names.push_back(t->name);
    return names;
}

bool writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

class KeepMotion : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = makeTempDir("pavonix-keep-motion");
        ASSERT_FALSE(dir_.empty());
        VmdBoneKeyDef arm;
        arm.name = "arm";
        arm.frame = 40;
        VmdBoneKeyDef leg = arm;
        leg.name = "leg";
        leg.frame = 90;
        VmdFaceKeyDef smile;
        smile.name = "smile";
        smile.frame = 10;
        smile.weight = 0.5f;
        good_ = encodeVMD({arm, leg}, {smile});
        ASSERT_TRUE(writeBytes(dir_ + "/first.vmd", good_));

        VmdBoneKeyDef head;
        head.name = "head";
        head.frame = 7;
        ASSERT_TRUE(writeBytes(dir_ + "/second.vmd", encodeVMD({head}, {})));

        const char faces[] = "blink\nsmile\n";
        setDefaultFaces(motion_, faces, sizeof faces - 1);
        ASSERT_TRUE(loadVMDFileKeepingOld((dir_ + "/first.vmd").c_str(), motion_));
        bonesBefore_ = boneNames(motion_);
        facesBefore_ = faceNames(motion_);
        ASSERT_EQ(bonesBefore_.size(), 2u);
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    void expectUnchanged() {
        EXPECT_EQ(boneNames(motion_), bonesBefore_);
        EXPECT_EQ(faceNames(motion_), facesBefore_);
        EXPECT_EQ(motion_.boneTrackCount, 2);
        EXPECT_FLOAT_EQ(motion_.lastFrame, 90.0f);
        EXPECT_EQ(motion_.defaultFaceCount, 2);
    }

    std::string dir_;
    std::vector<uint8_t> good_;
    MotionData motion_;
    std::vector<std::string> bonesBefore_, facesBefore_;
};

TEST_F(KeepMotion, RefusedFilesLeaveTheMotionAsItWas) {
    std::vector<uint8_t> truncated(good_.begin(), good_.end() - 30);
    std::vector<uint8_t> garbage(500, 0x5A);
    std::vector<uint8_t> hugeCount = good_;
    // The bone key count sits right after the 30-byte signature and 20-byte model name.
    hugeCount[50] = hugeCount[51] = hugeCount[52] = 0xFF;
    ASSERT_TRUE(writeBytes(dir_ + "/truncated.vmd", truncated));
    ASSERT_TRUE(writeBytes(dir_ + "/garbage.vmd", garbage));
    ASSERT_TRUE(writeBytes(dir_ + "/count.vmd", hugeCount));
    ASSERT_TRUE(writeBytes(dir_ + "/empty.vmd", {}));

    for (const char* name : {"truncated.vmd", "garbage.vmd", "count.vmd", "empty.vmd", "missing.vmd"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(loadVMDFileKeepingOld((dir_ + "/" + name).c_str(), motion_));
        expectUnchanged();
    }
}

TEST_F(KeepMotion, AGoodFileReplacesTheTracksAndKeepsTheDefaultFaces) {
    ASSERT_TRUE(loadVMDFileKeepingOld((dir_ + "/second.vmd").c_str(), motion_));
    EXPECT_EQ(boneNames(motion_), std::vector<std::string>{"head"});
    EXPECT_FLOAT_EQ(motion_.lastFrame, 7.0f);
    // The new motion has no face keys of its own: both default faces are worn.
    std::vector<std::string> faces = faceNames(motion_);
    std::sort(faces.begin(), faces.end());
    EXPECT_EQ(faces, (std::vector<std::string>{"blink", "smile"}));
    EXPECT_EQ(motion_.faceTrackCount, 2);
    EXPECT_EQ(motion_.defaultFaceCount, 2);
}

}  // namespace
