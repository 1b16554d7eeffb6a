// Reading the rigid-body, joint and soft-body sections of PMX files: damaged sections
// refused with the section named, the kinds of record that load with a note.
#include <cstring>
#include <functional>
#include <limits>

#include "test_pmd_fixtures.h"

#include "physics/RigidBody.h"

using namespace modeltest;

namespace {

class PMXPhysicsLoad : public ModelTest {
protected:
    // The two-quad model with two-byte bone and body indices and empty names, so the
    // fields of the first body and joint sit at fixed places after their section's count.
    ModelDesc physicsModel() {
        ModelDesc d = twoQuadModelPMX();
        d.pmx.boneIndexSize = 2;
        d.pmx.rigidBodyIndexSize = 2;
        for (auto& b : d.rigidBodies) b.name.clear();
        for (auto& j : d.joints) j.name.clear();
        return d;
    }
    static constexpr std::size_t kBodyBone = 4 + 8;   // count, two empty names
    static constexpr std::size_t kJointType = 4 + 8;  // count, two empty names
    static constexpr std::size_t kJointBodyA = kJointType + 1;
    static constexpr std::size_t kJointBodyB = kJointBodyA + 2;
};

void patch16(std::vector<uint8_t>& b, std::size_t at, uint16_t v) { std::memcpy(b.data() + at, &v, 2); }
void patch32(std::vector<uint8_t>& b, std::size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); }

}  // namespace

TEST_F(PMXPhysicsLoad, DamagedSectionsAreRefusedNamingTheSectionAndTheFile) {
    Layout layout;
    const std::vector<uint8_t> good = writePMX(physicsModel(), &layout);
    {
        std::string error;
        ASSERT_TRUE(loadBytes(model, good, &error)) << error;
        ASSERT_EQ(model.physics.bodies.size(), 2u);
        ASSERT_NE(model.physics.joints[0].constraint, nullptr);
        destroyModel(model);
    }
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> damage;
        const char* expected;
    };
    const Case cases[] = {
        {"body count beyond the file", [&](auto& b) { patch32(b, layout.rigidBodies, 1000); }, "PMX rigid bodies"},
        {"negative body count", [&](auto& b) { patch32(b, layout.rigidBodies, 0xFFFFFFFF); }, "PMX rigid bodies"},
        {"cut inside a body", [&](auto& b) { b.resize(layout.rigidBodies + 4 + 20); }, "PMX rigid bodies"},
        {"body bone out of range", [&](auto& b) { patch16(b, layout.rigidBodies + kBodyBone, 50); },
         "bone 50 out of range (3 bones)"},
        {"negative body bone", [&](auto& b) { patch16(b, layout.rigidBodies + kBodyBone, 0xFFFE); }, "bone -2"},
        {"joint count beyond the file", [&](auto& b) { patch32(b, layout.joints, 77); }, "PMX joints"},
        {"cut inside a joint", [&](auto& b) { b.resize(layout.joints + 30); }, "PMX joints"},
        {"joint body out of range", [&](auto& b) { patch16(b, layout.joints + kJointBodyB, 2); },
         "bodies 0 and 2, but 2 rigid bodies"},
        {"unknown joint type", [&](auto& b) { b[layout.joints + kJointType] = 9; }, "unknown joint type 9"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes = good;
        c.damage(bytes);
        std::string error;
        bool ok = true;
        const std::string printed = stderrOf([&] { ok = loadBytes(model, bytes, &error); });
        EXPECT_FALSE(ok) << c.what;
        EXPECT_NE(error.find(c.expected), std::string::npos) << c.what << ": " << error;
        EXPECT_NE(printed.find("test.model: PMX"), std::string::npos) << c.what << ": " << printed;
        EXPECT_TRUE(isEmpty(model)) << c.what;
    }
}

TEST_F(PMXPhysicsLoad, OtherJointKindsAJointWithoutABodyAndSoftBodiesLoadWithANote) {
    ModelDesc d = physicsModel();
    d.pmx.version = 2.1f;
    d.joints.push_back(d.joints[0]);
    Layout layout;
    std::vector<uint8_t> bytes = writePMX(d, &layout);
    const std::size_t jointBytes = 8 + 1 + 2 + 2 + 96;
    bytes[layout.joints + kJointType] = 5;                         // a hinge
    patch16(bytes, layout.joints + jointBytes + kJointBodyA, 0xFFFF);  // the second names no body
    // Two soft bodies follow; their records are not walked.
    patch32(bytes, layout.end - 4, 2);
    bytes.insert(bytes.end(), 12, 0xAB);
    std::string error;
    bool ok = false;
    const std::string printed = stderrOf([&] { ok = loadBytes(model, bytes, &error); });
    ASSERT_TRUE(ok) << error;
    ASSERT_EQ(model.physics.joints.size(), 2u);
    EXPECT_NE(model.physics.joints[0].constraint, nullptr);
    EXPECT_EQ(model.physics.joints[0].constraint->getConstraintType(), D6_SPRING_CONSTRAINT_TYPE);
    EXPECT_EQ(model.physics.joints[1].constraint, nullptr);
    EXPECT_NE(printed.find("1 joints of other kinds are made spring joints"), std::string::npos) << printed;
    EXPECT_NE(printed.find("1 of 2 joints are left out"), std::string::npos) << printed;
    EXPECT_NE(printed.find("2 soft bodies are not simulated"), std::string::npos) << printed;
    EXPECT_EQ(breachIn(model), "");
}

TEST_F(PMXPhysicsLoad, BadValuesLeaveOneBodyOutAndTheModelLoads) {
    ModelDesc d = physicsModel();
    d.rigidBodies[1].mass = std::numeric_limits<float>::quiet_NaN();
    d.rigidBodies[0].shape = 7;
    std::string error;
    bool ok = false;
    const std::string printed = stderrOf([&] { ok = loadBytes(model, writePMX(d), &error); });
    ASSERT_TRUE(ok) << error;
    EXPECT_EQ(model.physics.bodies[0].body, nullptr);
    EXPECT_EQ(model.physics.bodies[1].body, nullptr);
    EXPECT_EQ(model.physics.joints[0].constraint, nullptr);
    EXPECT_NE(printed.find("unknown shape 7"), std::string::npos) << printed;
    EXPECT_NE(printed.find("non-finite mass"), std::string::npos) << printed;
    EXPECT_NE(printed.find("2 of 2 rigid bodies are not simulated"), std::string::npos) << printed;
}
