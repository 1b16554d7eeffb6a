// The fields of a rigid-body or joint record that PMD and PMX files share, read once
// through the loaders' byte cursor. Both formats store them in the same order after the
// record's names and indices:
//   rigid body (61 bytes): group u8, no-collision mask u16, shape u8 (0 sphere, 1 box,
//     2 capsule), size f32[3], position f32[3], rotation f32[3] (Euler, radians), mass,
//     linear damping, angular damping, restitution, friction (f32 each), mode u8.
//   joint (96 bytes): position, rotation, linear lower, linear upper, angular lower,
//     angular upper, linear spring, angular spring (f32[3] each).
// PMD gives a body's position relative to its bone, PMX in model space (see PmxBodies.h);
// joint positions are in model space in both.
#pragma once

#include <cstdint>

class ByteCursor;

constexpr int kRigidBodyDefinitionBytes = 61;
constexpr int kJointDefinitionBytes = 96;

struct RigidBodyDef {
    uint8_t group = 0;
    uint16_t mask = 0xFFFF;
    uint8_t shape = 0;
    float size[3] = {1, 1, 1};
    float position[3] = {0, 0, 0};
    float rotation[3] = {0, 0, 0};
    float mass = 1.0f;
    float linearDamping = 0.0f;
    float angularDamping = 0.0f;
    float restitution = 0.0f;
    float friction = 0.5f;
    uint8_t mode = 0;  // 0 follows its bone, 1 simulated, 2 simulated and pulled to its bone
};

struct JointDef {
    float position[3] = {0, 0, 0};
    float rotation[3] = {0, 0, 0};
    float linearLower[3] = {0, 0, 0};
    float linearUpper[3] = {0, 0, 0};
    float angularLower[3] = {0, 0, 0};
    float angularUpper[3] = {0, 0, 0};
    float linearSpring[3] = {0, 0, 0};
    float angularSpring[3] = {0, 0, 0};
};

// Read the shared fields at the cursor and advance past them. False (cursor marked as
// run out, def partly zeroed) when they do not fit in the bytes left.
bool readRigidBodyDef(ByteCursor& cursor, RigidBodyDef& def);
bool readJointDef(ByteCursor& cursor, JointDef& def);

// True when every float of the definition is finite; otherwise *badField names the
// first field that is not.
bool rigidBodyDefFinite(const RigidBodyDef& def, const char** badField);
bool jointDefFinite(const JointDef& def, const char** badField);
