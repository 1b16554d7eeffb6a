#include "model/BodyDefinition.h"

#include <cmath>

#include "base/ByteCursor.h"

namespace {

bool finite(const float* v, int n) {
    for (int i = 0; i < n; ++i) {
        if (!std::isfinite(v[i])) return false;
    }
    return true;
}

}  // namespace

bool readRigidBodyDef(ByteCursor& c, RigidBodyDef& d) {
    c.readU8(d.group);
    c.readU16(d.mask);
    c.readU8(d.shape);
    c.readF32s(d.size, 3);
    c.readF32s(d.position, 3);
    c.readF32s(d.rotation, 3);
    c.readF32(d.mass);
    c.readF32(d.linearDamping);
    c.readF32(d.angularDamping);
    c.readF32(d.restitution);
    c.readF32(d.friction);
    c.readU8(d.mode);
    return !c.failed();
}

bool readJointDef(ByteCursor& c, JointDef& d) {
    c.readF32s(d.position, 3);
    c.readF32s(d.rotation, 3);
    c.readF32s(d.linearLower, 3);
    c.readF32s(d.linearUpper, 3);
    c.readF32s(d.angularLower, 3);
    c.readF32s(d.angularUpper, 3);
    c.readF32s(d.linearSpring, 3);
    c.readF32s(d.angularSpring, 3);
    return !c.failed();
}

bool rigidBodyDefFinite(const RigidBodyDef& d, const char** badField) {
    const char* bad = nullptr;
    if (!finite(d.size, 3)) {
        bad = "size";
    } else if (!finite(d.position, 3)) {
        bad = "position";
    } else if (!finite(d.rotation, 3)) {
        bad = "rotation";
    } else if (!std::isfinite(d.mass)) {
        bad = "mass";
    } else if (!std::isfinite(d.linearDamping) || !std::isfinite(d.angularDamping)) {
        bad = "damping";
    } else if (!std::isfinite(d.restitution)) {
        bad = "restitution";
    } else if (!std::isfinite(d.friction)) {
        bad = "friction";
    }
    if (badField) *badField = bad;
    return bad == nullptr;
}

bool jointDefFinite(const JointDef& d, const char** badField) {
    const char* bad = nullptr;
    if (!finite(d.position, 3)) {
        bad = "position";
    } else if (!finite(d.rotation, 3)) {
        bad = "rotation";
    } else if (!finite(d.linearLower, 3) || !finite(d.linearUpper, 3)) {
        bad = "linear limits";
    } else if (!finite(d.angularLower, 3) || !finite(d.angularUpper, 3)) {
        bad = "angular limits";
    } else if (!finite(d.linearSpring, 3)) {
        bad = "linear spring";
    } else if (!finite(d.angularSpring, 3)) {
        bad = "angular spring";
    }
    if (badField) *badField = bad;
    return bad == nullptr;
}
