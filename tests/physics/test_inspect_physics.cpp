// pavonix-inspect --physics: the demo character posed through its dance with and without
// the rigid bodies.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "common/ProgramRun.h"

namespace {

const std::string kDemo = std::string(PAVONIX_SOURCE_DIR) + "/Data/demo";
const std::string kTool = std::string(PAVONIX_BINARY_DIR) + "/tools/pavonix-inspect";

// Bone name -> its 16 matrix values, from the tool's pose output.
std::map<std::string, std::vector<float>> boneMatrices(const std::string& json) {
    std::map<std::string, std::vector<float>> out;
    std::istringstream lines(json);
    const std::string nameKey = "{\"name\": \"", matrixKey = "\"matrix\": [";
    for (std::string line; std::getline(lines, line);) {
        const std::size_t n = line.find(nameKey), m = line.find(matrixKey);
        if (n == std::string::npos || m == std::string::npos) continue;
        const std::size_t nameStart = n + nameKey.size();
        const std::string name = line.substr(nameStart, line.find('"', nameStart) - nameStart);
        std::vector<float> values;
        const char* p = line.c_str() + m + matrixKey.size();
        for (int k = 0; k < 16; ++k) {
            char* end = nullptr;
            values.push_back(std::strtof(p, &end));
            if (end == p) break;
            p = end + 1;  // past the comma
        }
        out[name] = values;
    }
    return out;
}

std::string inspect(int frame, bool physics, int* status) {
    std::vector<std::string> args = {kDemo + "/pavo.pmx", "--pose", kDemo + "/dance.vmd", "--frame",
                                     std::to_string(frame)};
    if (physics) args.push_back("--physics");
    std::string out;
    *status = runToEnd(kTool, args, kDemo, {}, 120.0, &out);
    return out;
}

float positionGap(const std::vector<float>& a, const std::vector<float>& b) {
    return std::sqrt((a[12] - b[12]) * (a[12] - b[12]) + (a[13] - b[13]) * (a[13] - b[13]) +
                     (a[14] - b[14]) * (a[14] - b[14]));
}

}  // namespace

TEST(InspectPhysics, SimulatedBonesLagTheDanceAndTheRestArePosedAsWithout) {
    struct stat st;
    if (stat(kTool.c_str(), &st) != 0) GTEST_SKIP() << "pavonix-inspect not built: " << kTool;
    int status = -1;
    const std::string kinematicJson = inspect(120, false, &status);
    ASSERT_EQ(status, 0) << kinematicJson;
    const std::string physicsJson = inspect(120, true, &status);
    ASSERT_EQ(status, 0) << physicsJson;
    const auto kinematic = boneMatrices(kinematicJson);
    const auto simulated = boneMatrices(physicsJson);
    // 33 bones and the six D bones of the legs.
    ASSERT_EQ(kinematic.size(), 39u) << kinematicJson.substr(0, 400);
    ASSERT_EQ(simulated.size(), 39u);
    for (const auto& [name, m] : simulated) {
        ASSERT_EQ(m.size(), 16u) << name;
        for (float v : m) ASSERT_TRUE(std::isfinite(v)) << name;
    }
    // Bones no body moves are posed exactly as without physics.
    for (const char* name : {"センター", "上半身", "頭", "左ひざ", "右足首"}) {
        ASSERT_EQ(kinematic.count(name), 1u) << name;
        EXPECT_EQ(kinematic.at(name), simulated.at(name)) << name;
    }
    // The crest and tail tips hang behind where the dance alone would put them.
    for (const char* name : {"冠羽中2", "冠羽左2", "尾3"}) {
        ASSERT_EQ(simulated.count(name), 1u) << name;
        const auto& k = kinematic.at(name);
        const auto& s = simulated.at(name);
        float turned = 0.0f;
        for (int i = 0; i < 12; ++i) turned = std::max(turned, std::fabs(k[i] - s[i]));
        EXPECT_GT(positionGap(k, s) + turned, 0.05f) << name;
    }
    // The run is the same every time.
    EXPECT_EQ(inspect(120, true, &status), physicsJson);

    // Physics needs a motion to play.
    std::string out;
    EXPECT_EQ(runToEnd(kTool, {kDemo + "/pavo.pmx", "--physics"}, kDemo, {}, 60.0, &out), 2);
    EXPECT_NE(out.find("--physics needs --pose MOTION"), std::string::npos) << out;
}
