// "Pavo", the demo character: a friendly round figure with a peacock-feather crest and
// tail, built from simple shapes, skinned to the bone names ordinary motion files use.
//
// Model space: y up, the character faces -z, one unit is the usual character unit (Pavo
// is about 18 units tall without the crest). Triangles wind clockwise seen from
// outside, as the character files made for the usual viewers do.
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "model/ModelWriter.h"

namespace demo {

using modelwriter::BoneDesc;
using modelwriter::ModelDesc;
using modelwriter::VertexDesc;

struct V3 {
    float x, y, z;
};
inline V3 operator+(V3 a, V3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline V3 operator-(V3 a, V3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline V3 operator*(V3 a, float s) { return {a.x * s, a.y * s, a.z * s}; }
inline float dot(V3 a, V3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline V3 cross(V3 a, V3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
inline float length(V3 a) { return std::sqrt(dot(a, a)); }
inline V3 normalized(V3 a) {
    const float l = length(a);
    return l > 0.0f ? a * (1.0f / l) : V3{0.0f, 1.0f, 0.0f};
}

// Bone weights of one vertex: b0 with weight w, b1 with 1 - w.
struct Skin {
    int b0, b1;
    float w;
};
using SkinFn = std::function<Skin(V3)>;

enum Material : int {
    kBody,
    kHead,
    kBelly,
    kEyeWhite,
    kPupil,
    kBeak,
    kMouth,
    kCrest,
    kTail,
    kLegs,
    kMaterialCount
};

// Vertices of the named regions that morphs move.
struct FaceParts {
    std::vector<int> eyeLeft, eyeRight, mouth;
    V3 eyeLeftCentre, eyeRightCentre, mouthCentre;
};

class PavoBuilder {
public:
    PavoBuilder();
    // The finished description: materials, bones, IK, morphs, bodies and joints.
    ModelDesc build();

    int boneIndex(const std::string& utf8Name) const;

private:
    ModelDesc model_;
    std::vector<std::vector<uint32_t>> materialTriangles_;
    FaceParts face_;

    int addBone(const std::string& name, V3 position, int parent, uint8_t pmdType = 0);
    int addVertex(V3 p, V3 n, float u, float v, Skin skin);
    void addTriangle(int material, int a, int b, int c);  // clockwise seen from outside
    std::vector<int> ellipsoid(int material, V3 centre, V3 radii, int rings, int segments, const SkinFn& skin);
    void tube(int material, V3 a, V3 b, float ra, float rb, int segments, int rings, const SkinFn& skin);
    std::vector<int> feather(int material, V3 base, V3 direction, V3 side, float length, float baseWidth,
                             float tipWidth, int rows, const SkinFn& skin);

    void addSkeleton();
    void addBodyShapes();
    void addFace();
    void addCrestAndHair();
    void addTail();
    void addMaterials();
    void addMorphs();
    void addPhysics();
};

// Gives a PMX form of the model what most PMX characters carry: "D" leg bones (左足D,
// 左ひざD, 左足首D and the right ones) in deform layer 1, driven only by append links from
// the plain leg bones, with the legs' skin moved onto them. The plain bones keep their
// indices; the D bones come last.
void addDeformLegBones(ModelDesc& m);

}  // namespace demo
