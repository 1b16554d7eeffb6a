#include "make_demo/PavoModel.h"

#include <algorithm>
#include <stdexcept>

namespace demo {

namespace {

constexpr float kPi = 3.14159265358979f;

Skin one(int bone) { return {bone, bone, 1.0f}; }

// Weight of the first bone going from 1 to 0 across [from, to] of a coordinate.
float ramp(float value, float from, float to) {
    if (value <= from) return 1.0f;
    if (value >= to) return 0.0f;
    return 1.0f - (value - from) / (to - from);
}

V3 mirrorX(V3 p) { return {-p.x, p.y, p.z}; }

}  // namespace

PavoBuilder::PavoBuilder() : materialTriangles_(kMaterialCount) {}

int PavoBuilder::boneIndex(const std::string& name) const {
    for (size_t i = 0; i < model_.bones.size(); ++i) {
        if (model_.bones[i].name == name) return static_cast<int>(i);
    }
    throw std::runtime_error("no bone " + name);
}

int PavoBuilder::addBone(const std::string& name, V3 p, int parent, uint8_t pmdType) {
    BoneDesc b;
    b.name = name;
    b.position[0] = p.x;
    b.position[1] = p.y;
    b.position[2] = p.z;
    b.parent = parent;
    b.pmdType = pmdType;
    b.pmxFlags = pmdType == 1 || pmdType == 2 ? 0x001E : 0x001A;  // movable for centre and IK bones
    model_.bones.push_back(b);
    return static_cast<int>(model_.bones.size()) - 1;
}

int PavoBuilder::addVertex(V3 p, V3 n, float u, float v, Skin skin) {
    VertexDesc vd;
    vd.position[0] = p.x;
    vd.position[1] = p.y;
    vd.position[2] = p.z;
    const V3 nn = normalized(n);
    vd.normal[0] = nn.x;
    vd.normal[1] = nn.y;
    vd.normal[2] = nn.z;
    vd.uv[0] = u;
    vd.uv[1] = v;
    // Weights travel as whole percentages in PMD; keep both formats identical.
    const float w = std::round(std::clamp(skin.w, 0.0f, 1.0f) * 100.0f) / 100.0f;
    if (skin.b0 == skin.b1 || w >= 1.0f) {
        vd.skinType = 0;
        vd.bones[0] = skin.b0;
        vd.bones[1] = skin.b0;
        vd.weights[0] = 1.0f;
        vd.weights[1] = 0.0f;
    } else {
        vd.skinType = 1;
        vd.bones[0] = skin.b0;
        vd.bones[1] = skin.b1;
        vd.weights[0] = w;
        vd.weights[1] = 1.0f - w;
    }
    model_.vertices.push_back(vd);
    return static_cast<int>(model_.vertices.size()) - 1;
}

void PavoBuilder::addTriangle(int material, int a, int b, int c) {
    auto& t = materialTriangles_[material];
    t.push_back(static_cast<uint32_t>(a));
    t.push_back(static_cast<uint32_t>(b));
    t.push_back(static_cast<uint32_t>(c));
}

std::vector<int> PavoBuilder::ellipsoid(int material, V3 c, V3 r, int rings, int segments, const SkinFn& skin) {
    std::vector<int> ids;
    const int first = static_cast<int>(model_.vertices.size());
    for (int i = 0; i <= rings; ++i) {
        const float theta = kPi * static_cast<float>(i) / static_cast<float>(rings);  // 0 at the top
        for (int j = 0; j <= segments; ++j) {
            const float phi = 2.0f * kPi * static_cast<float>(j) / static_cast<float>(segments);
            // phi = 0 looks forward (-z) so the texture's centre column faces the front.
            const V3 unit{std::sin(theta) * std::sin(phi), std::cos(theta), -std::sin(theta) * std::cos(phi)};
            const V3 p{c.x + r.x * unit.x, c.y + r.y * unit.y, c.z + r.z * unit.z};
            const V3 n{unit.x / r.x, unit.y / r.y, unit.z / r.z};
            const float u = static_cast<float>(j) / static_cast<float>(segments);
            const float v = static_cast<float>(i) / static_cast<float>(rings);
            ids.push_back(addVertex(p, n, u, v, skin(p)));
        }
    }
    const int row = segments + 1;
    for (int i = 0; i < rings; ++i) {
        for (int j = 0; j < segments; ++j) {
            const int a = first + i * row + j, b = a + 1, d = a + row, e = d + 1;
            // Seen from outside, (a, e, b) and (a, d, e) run clockwise.
            if (i > 0) addTriangle(material, a, b, e);
            if (i < rings - 1) addTriangle(material, a, e, d);
        }
    }
    return ids;
}

void PavoBuilder::tube(int material, V3 a, V3 b, float ra, float rb, int segments, int rings, const SkinFn& skin) {
    const V3 axis = normalized(b - a);
    const V3 helper = std::fabs(axis.y) < 0.9f ? V3{0, 1, 0} : V3{1, 0, 0};
    const V3 s = normalized(cross(axis, helper));
    const V3 t = cross(s, axis);
    const int first = static_cast<int>(model_.vertices.size());
    for (int i = 0; i <= rings; ++i) {
        const float f = static_cast<float>(i) / static_cast<float>(rings);
        const V3 centre = a + (b - a) * f;
        const float radius = ra + (rb - ra) * f;
        for (int j = 0; j <= segments; ++j) {
            const float phi = 2.0f * kPi * static_cast<float>(j) / static_cast<float>(segments);
            const V3 n = s * std::cos(phi) + t * std::sin(phi);
            const V3 p = centre + n * radius;
            addVertex(p, n, static_cast<float>(j) / static_cast<float>(segments), f, skin(p));
        }
    }
    const int row = segments + 1;
    for (int i = 0; i < rings; ++i) {
        for (int j = 0; j < segments; ++j) {
            const int p0 = first + i * row + j, p1 = p0 + 1, p2 = p0 + row, p3 = p2 + 1;
            addTriangle(material, p0, p2, p3);
            addTriangle(material, p0, p3, p1);
        }
    }
}

std::vector<int> PavoBuilder::feather(int material, V3 base, V3 dir, V3 side, float len, float baseWidth,
                                      float tipWidth, int rows, const SkinFn& skin) {
    std::vector<int> ids;
    const V3 d = normalized(dir);
    const V3 sd = normalized(side);
    const V3 n = normalized(cross(sd, d));
    const int first = static_cast<int>(model_.vertices.size());
    for (int i = 0; i <= rows; ++i) {
        const float f = static_cast<float>(i) / static_cast<float>(rows);
        // Narrow at the base, widest just before the rounded tip.
        const float shape = f < 0.8f ? baseWidth + (tipWidth - baseWidth) * (f / 0.8f)
                                     : tipWidth * std::sqrt(std::max(0.0f, 1.0f - (f - 0.8f) / 0.2f * 0.85f));
        const V3 centre = base + d * (len * f);
        for (int k = 0; k < 2; ++k) {
            const float sgn = k == 0 ? -1.0f : 1.0f;
            const V3 p = centre + sd * (0.5f * shape * sgn);
            ids.push_back(addVertex(p, n, static_cast<float>(k), 1.0f - f, skin(p)));
        }
    }
    for (int i = 0; i < rows; ++i) {
        const int a = first + 2 * i, b = a + 1, c = a + 2, e = a + 3;
        addTriangle(material, a, c, e);
        addTriangle(material, a, e, b);
    }
    return ids;
}

void PavoBuilder::addSkeleton() {
    // Standard names, so motions made for ordinary characters drive Pavo.
    const int centre = addBone("センター", {0, 8.0f, 0}, -1, 1);
    const int upper = addBone("上半身", {0, 9.0f, 0}, centre);
    const int neck = addBone("首", {0, 12.3f, 0}, upper);
    const int head = addBone("頭", {0, 13.0f, 0}, neck);
    addBone("両目", {0, 15.4f, -2.2f}, head);
    const int lower = addBone("下半身", {0, 9.0f, 0}, centre);
    for (int side = 0; side < 2; ++side) {
        const std::string lr = side == 0 ? "左" : "右";
        auto place = [side](V3 p) { return side == 0 ? p : mirrorX(p); };
        const int shoulder = addBone(lr + "肩", place({0.6f, 11.8f, 0}), upper);
        const int arm = addBone(lr + "腕", place({1.7f, 11.6f, 0.1f}), shoulder);
        const int elbow = addBone(lr + "ひじ", place({3.4f, 10.4f, 0.2f}), arm);
        addBone(lr + "手首", place({4.9f, 9.3f, 0.0f}), elbow);
    }
    for (int side = 0; side < 2; ++side) {
        const std::string lr = side == 0 ? "左" : "右";
        auto place = [side](V3 p) { return side == 0 ? p : mirrorX(p); };
        const int leg = addBone(lr + "足", place({1.0f, 8.4f, 0}), lower);
        // The knee sits a little forward, so a crouch bends it the natural way.
        const int knee = addBone(lr + "ひざ", place({1.0f, 4.7f, -0.35f}), leg);
        addBone(lr + "足首", place({1.0f, 1.0f, 0.0f}), knee);
    }
    for (int side = 0; side < 2; ++side) {
        const std::string lr = side == 0 ? "左" : "右";
        const int ik = addBone(lr + "足ＩＫ", side == 0 ? V3{1.0f, 1.0f, 0} : V3{-1.0f, 1.0f, 0}, -1, 2);
        modelwriter::IKChainDesc chain;
        chain.ikBone = ik;
        chain.target = boneIndex(lr + "足首");
        chain.iterations = 40;
        chain.limit = 0.5f;  // PMD weight; four times this in radians per step
        modelwriter::IKLinkDesc kneeLink;
        kneeLink.bone = boneIndex(lr + "ひざ");
        kneeLink.limited = true;
        kneeLink.lower[0] = -3.14159f;
        kneeLink.upper[0] = -0.002f;
        modelwriter::IKLinkDesc legLink;
        legLink.bone = boneIndex(lr + "足");
        chain.links = {kneeLink, legLink};
        model_.ikChains.push_back(chain);
        model_.bones[ik].pmdIKNumber = 0;
    }
    // Crest feathers, hair and tail: chains the physics swings.
    for (const char* which : {"中", "左", "右"}) {
        const std::string w = which;
        const float x = w == "中" ? 0.0f : (w == "左" ? 0.9f : -0.9f);
        const int c1 = addBone("冠羽" + w + "1", {x * 0.5f, 17.4f, 0.2f}, head);
        addBone("冠羽" + w + "2", {x * 1.6f, 19.0f, 0.8f}, c1);
    }
    const int hair1 = addBone("髪1", {0, 15.6f, 2.3f}, head);
    addBone("髪2", {0, 14.0f, 3.3f}, hair1);
    const int tail1 = addBone("尾1", {0, 8.2f, 1.9f}, lower);
    const int tail2 = addBone("尾2", {0, 8.8f, 4.3f}, tail1);
    addBone("尾3", {0, 10.6f, 6.6f}, tail2);

    // Tails point along each chain so an editor draws the skeleton sensibly.
    auto tailTo = [this](const char* from, const char* to) { model_.bones[boneIndex(from)].tail = boneIndex(to); };
    tailTo("センター", "上半身");
    tailTo("上半身", "首");
    tailTo("首", "頭");
    tailTo("左腕", "左ひじ");
    tailTo("左ひじ", "左手首");
    tailTo("右腕", "右ひじ");
    tailTo("右ひじ", "右手首");
    tailTo("左足", "左ひざ");
    tailTo("左ひざ", "左足首");
    tailTo("右足", "右ひざ");
    tailTo("右ひざ", "右足首");
    tailTo("尾1", "尾2");
    tailTo("尾2", "尾3");
    tailTo("髪1", "髪2");
}

void PavoBuilder::addBodyShapes() {
    const int upper = boneIndex("上半身"), lower = boneIndex("下半身"), head = boneIndex("頭");
    // Torso and belly: the waist blends the two halves of the body.
    auto torsoSkin = [=](V3 p) { return Skin{lower, upper, ramp(p.y, 9.0f, 10.6f)}; };
    ellipsoid(kBody, {0, 10.4f, 0.1f}, {2.4f, 3.1f, 2.1f}, 16, 24, torsoSkin);
    ellipsoid(kBelly, {0, 10.0f, -0.85f}, {1.75f, 2.4f, 1.35f}, 12, 18, torsoSkin);
    // The head, with the neck hidden inside it.
    ellipsoid(kHead, {0, 15.0f, 0}, {2.8f, 2.7f, 2.6f}, 18, 28, [=](V3 p) {
        return Skin{head, upper, p.y > 13.0f ? 1.0f : ramp(13.0f - p.y, 0.0f, 0.8f)};
    });

    for (int side = 0; side < 2; ++side) {
        const std::string lr = side == 0 ? "左" : "右";
        const int shoulder = boneIndex(lr + "肩"), arm = boneIndex(lr + "腕"), elbow = boneIndex(lr + "ひじ"),
                  wrist = boneIndex(lr + "手首");
        auto pos = [this](int bone) {
            const float* p = model_.bones[bone].position;
            return V3{p[0], p[1], p[2]};
        };
        const V3 a = pos(arm), e = pos(elbow), w = pos(wrist);
        tube(kBody, pos(shoulder), a, 0.6f, 0.58f, 10, 2, [=](V3) { return Skin{arm, shoulder, 0.6f}; });
        tube(kBody, a, e, 0.58f, 0.5f, 10, 6, [=](V3 p) {
            const float f = dot(p - a, normalized(e - a)) / length(e - a);
            return Skin{arm, elbow, f < 0.75f ? 1.0f : ramp(f, 0.75f, 1.05f) * 0.5f + 0.5f};
        });
        tube(kBody, e, w, 0.5f, 0.42f, 10, 6, [=](V3 p) {
            const float f = dot(p - e, normalized(w - e)) / length(w - e);
            return Skin{elbow, arm, f > 0.2f ? 1.0f : 0.5f + f * 2.5f};
        });
        const V3 handDir = normalized(w - e);
        ellipsoid(kBody, w + handDir * 0.45f, {0.62f, 0.62f, 0.5f}, 8, 12, [=](V3) { return one(wrist); });

        const int leg = boneIndex(lr + "足"), knee = boneIndex(lr + "ひざ"), ankle = boneIndex(lr + "足首");
        const V3 l = pos(leg), k = pos(knee), an = pos(ankle);
        tube(kLegs, l + V3{0, 0.4f, 0}, k, 0.78f, 0.6f, 12, 6, [=](V3 p) {
            const float f = (l.y - p.y) / (l.y - k.y);
            return Skin{leg, knee, f < 0.8f ? 1.0f : 1.0f - (f - 0.8f) * 2.5f};
        });
        tube(kLegs, k, an, 0.6f, 0.45f, 12, 6, [=](V3 p) {
            const float f = (k.y - p.y) / (k.y - an.y);
            return Skin{knee, leg, f > 0.2f ? 1.0f : 0.5f + f * 2.5f};
        });
        // The foot rests on the ground (y = 0) and points forward.
        ellipsoid(kLegs, {an.x, 0.5f, -0.6f}, {0.65f, 0.5f, 1.15f}, 8, 14, [=](V3) { return one(ankle); });
    }
}

void PavoBuilder::addFace() {
    const int head = boneIndex("頭");
    auto headSkin = [=](V3) { return one(head); };
    face_.eyeLeftCentre = {0.95f, 15.4f, -2.45f};
    face_.eyeRightCentre = mirrorX(face_.eyeLeftCentre);
    for (int side = 0; side < 2; ++side) {
        const V3 c = side == 0 ? face_.eyeLeftCentre : face_.eyeRightCentre;
        std::vector<int>& ids = side == 0 ? face_.eyeLeft : face_.eyeRight;
        auto white = ellipsoid(kEyeWhite, c, {0.62f, 0.78f, 0.32f}, 8, 14, headSkin);
        auto pupil = ellipsoid(kPupil, c + V3{0, -0.05f, -0.27f}, {0.33f, 0.44f, 0.13f}, 6, 12, headSkin);
        ids.insert(ids.end(), white.begin(), white.end());
        ids.insert(ids.end(), pupil.begin(), pupil.end());
    }
    // A small beak, and the mouth just below it.
    const int first = static_cast<int>(model_.vertices.size());
    const V3 beakBase{0, 14.55f, -2.55f};
    const V3 tip{0, 14.35f, -3.7f};
    const int segments = 12;
    for (int j = 0; j <= segments; ++j) {
        const float phi = 2.0f * kPi * static_cast<float>(j) / segments;
        const V3 n{std::cos(phi), std::sin(phi), -0.3f};
        addVertex(beakBase + V3{0.42f * std::cos(phi), 0.32f * std::sin(phi), 0}, n,
                  static_cast<float>(j) / segments, 0, one(head));
    }
    const int tipId = addVertex(tip, {0, 0, -1}, 0.5f, 1, one(head));
    for (int j = 0; j < segments; ++j) addTriangle(kBeak, first + j, tipId, first + j + 1);
    face_.mouthCentre = {0, 13.85f, -2.58f};
    face_.mouth = ellipsoid(kMouth, face_.mouthCentre, {0.5f, 0.16f, 0.1f}, 6, 12, headSkin);
}

void PavoBuilder::addCrestAndHair() {
    for (const char* which : {"中", "左", "右"}) {
        const std::string w = which;
        const int b1 = boneIndex("冠羽" + w + "1"), b2 = boneIndex("冠羽" + w + "2");
        const float* p1 = model_.bones[b1].position;
        const float* p2 = model_.bones[b2].position;
        const V3 a{p1[0], p1[1] - 0.6f, p1[2]}, m{p1[0], p1[1], p1[2]}, b{p2[0], p2[1], p2[2]};
        tube(kBeak, a, m, 0.12f, 0.1f, 6, 1, [=](V3) { return one(b1); });
        tube(kBeak, m, b, 0.1f, 0.07f, 6, 4, [=](V3 p) { return Skin{b1, b2, ramp(p.y, m.y, b.y)}; });
        // The feather's eye faces forward, a little tilted back.
        const V3 up = normalized(b - m);
        feather(kCrest, b - up * 0.2f, up, {1, 0, 0}, 1.9f, 0.5f, 1.3f, 4, [=](V3) { return one(b2); });
    }
    const int h1 = boneIndex("髪1"), h2 = boneIndex("髪2"), head = boneIndex("頭");
    const float* q1 = model_.bones[h1].position;
    const float* q2 = model_.bones[h2].position;
    for (int k = -1; k <= 1; ++k) {
        const V3 a{q1[0] + 0.7f * k, q1[1], q1[2] - 0.4f};
        const V3 b{q2[0] + 0.9f * k, q2[1], q2[2]};
        tube(kBody, a, b, 0.55f, 0.2f, 8, 5, [=](V3 p) {
            const float f = dot(p - a, normalized(b - a)) / length(b - a);
            return f < 0.15f ? Skin{head, h1, 0.5f} : Skin{h1, h2, ramp(f, 0.3f, 0.9f)};
        });
    }
}

void PavoBuilder::addTail() {
    const int t1 = boneIndex("尾1"), t2 = boneIndex("尾2"), t3 = boneIndex("尾3");
    const float* p1 = model_.bones[t1].position;
    const float* p3 = model_.bones[t3].position;
    const V3 base{p1[0], p1[1], p1[2]};
    const V3 end{p3[0], p3[1], p3[2]};
    const float span = length(end - base);
    // Five feathers fanned out behind, skinned along the tail chain by distance.
    for (int i = 0; i < 5; ++i) {
        const float angle = (static_cast<float>(i) - 2.0f) * 0.38f;
        const V3 dir = normalized(V3{std::sin(angle) * 1.1f, 0.9f, 1.0f});
        const V3 side = normalized(cross(V3{0, 0, 1}, dir) * -1.0f + V3{0, 0, 0.001f});
        feather(kTail, base + V3{0, 0, 0.1f * std::fabs(static_cast<float>(i) - 2.0f)}, dir, side, 9.5f, 0.6f,
                2.6f, 10, [=](V3 p) {
                    const float f = length(p - base) / span;
                    if (f < 0.45f) return Skin{t1, t2, ramp(f, 0.15f, 0.45f)};
                    return Skin{t2, t3, ramp(f, 0.55f, 0.95f)};
                });
    }
}

void PavoBuilder::addMaterials() {
    struct Spec {
        float r, g, b, a;
        const char* pmdTexture;
        int texture;  // index into the PMX table
        int sphere;
        uint8_t sphereMode;
        bool toon;     // lit through Pavo's ramp (the eyes stay flat)
        bool outline;  // closed shapes only: a single sheet would hide under its own hull
    };
    // PMX texture table: the same files the PMD names.
    model_.textures = {"body.png", "shine.sph", "face.bmp", "belly.jpg", "glow.spa", "crest.tga", "tail.dds",
                       "pavo_toon.bmp"};
    constexpr int kOwnToon = 7;
    // PMD toon numbers name this list; entry 0 is Pavo's own ramp.
    model_.pmd.toonNameList = {"pavo_toon.bmp"};
    const Spec specs[kMaterialCount] = {
        {0.55f, 0.75f, 1.0f, 1.0f, "body.png*shine.sph", 0, 1, 1, true, true},   // body
        {0.7f, 0.85f, 1.0f, 1.0f, "face.bmp", 2, -1, 0, true, true},              // head
        {1.0f, 1.0f, 1.0f, 1.0f, "belly.jpg", 3, -1, 0, true, true},              // belly
        {1.0f, 1.0f, 1.0f, 1.0f, "", -1, -1, 0, false, false},                    // eye white
        {0.08f, 0.08f, 0.12f, 1.0f, "glow.spa", -1, 4, 2, false, false},         // pupils
        {1.0f, 0.68f, 0.15f, 1.0f, "", -1, -1, 0, true, true},                    // beak and stalks
        {0.55f, 0.1f, 0.15f, 1.0f, "", -1, -1, 0, true, false},                   // mouth
        {1.0f, 1.0f, 1.0f, 0.99f, "crest.tga", 5, -1, 0, true, false},            // crest feathers
        {1.0f, 1.0f, 1.0f, 0.99f, "tail.dds*glow.spa", 6, 4, 2, true, false},     // tail feathers
        {0.55f, 0.6f, 0.75f, 1.0f, "", -1, -1, 0, true, true},                    // legs and feet
    };
    const char* names[kMaterialCount] = {"体", "頭", "お腹", "白目", "瞳", "くちばし", "口", "冠羽", "尾羽", "脚"};
    for (int i = 0; i < kMaterialCount; ++i) {
        const Spec& s = specs[i];
        modelwriter::MaterialDesc m;
        m.name = names[i];
        m.diffuse[0] = s.r * 0.8f;
        m.diffuse[1] = s.g * 0.8f;
        m.diffuse[2] = s.b * 0.8f;
        m.diffuse[3] = s.a;
        m.ambient[0] = s.r * 0.35f;
        m.ambient[1] = s.g * 0.35f;
        m.ambient[2] = s.b * 0.35f;
        m.specular[0] = m.specular[1] = m.specular[2] = 0.15f;
        m.shininess = 12.0f;
        // Every part casts its ground shadow and onto the self-shadow map.
        m.flags = static_cast<uint8_t>((s.a < 1.0f ? 0x01 : 0x00) | 0x02 | 0x04 | 0x08 | (s.outline ? 0x10 : 0x00));
        m.pmdToon = s.toon ? 0 : 0xFF;
        m.sharedToon = 0;
        m.toon = s.toon ? kOwnToon : -1;
        // A deep blue-grey line reads softer on the pale body than black.
        const float edge[4] = {0.12f, 0.14f, 0.28f, 1.0f};
        for (int k = 0; k < 4; ++k) m.edgeColour[k] = edge[k];
        m.edgeSize = 1.0f;
        m.pmdTexture = s.pmdTexture;
        m.texture = s.texture;
        m.sphereTexture = s.sphere;
        m.sphereMode = s.sphereMode;
        m.indexCount = static_cast<uint32_t>(materialTriangles_[i].size());
        model_.materials.push_back(m);
        model_.indices.insert(model_.indices.end(), materialTriangles_[i].begin(), materialTriangles_[i].end());
    }
}

void PavoBuilder::addMorphs() {
    struct Target {
        int vertex;
        V3 offset;
    };
    // Each expression as offsets from the rest position.
    auto squashEyes = [this](float keep, float lift, std::vector<Target>& out) {
        for (int side = 0; side < 2; ++side) {
            const V3 c = side == 0 ? face_.eyeLeftCentre : face_.eyeRightCentre;
            for (int id : side == 0 ? face_.eyeLeft : face_.eyeRight) {
                const float* p = model_.vertices[id].position;
                const float dy = p[1] - c.y;
                // Lids close toward a line just below the eye's middle.
                const float target = c.y - 0.1f + dy * keep + (dy < 0 ? lift * -dy : 0.0f);
                out.push_back({id, {0, target - p[1], 0}});
            }
        }
    };
    auto shapeMouth = [this](float sx, float sy, float pushZ, std::vector<Target>& out) {
        const V3 c = face_.mouthCentre;
        for (int id : face_.mouth) {
            const float* p = model_.vertices[id].position;
            out.push_back({id, {(p[0] - c.x) * (sx - 1.0f), (p[1] - c.y) * (sy - 1.0f) - (sy - 1.0f) * 0.12f,
                                pushZ}});
        }
    };
    std::vector<std::pair<std::string, std::vector<Target>>> morphs(5);
    morphs[0].first = "まばたき";
    squashEyes(0.08f, 0.0f, morphs[0].second);
    morphs[1].first = "あ";
    shapeMouth(1.25f, 3.4f, -0.05f, morphs[1].second);
    morphs[2].first = "い";
    shapeMouth(1.6f, 1.4f, 0.0f, morphs[2].second);
    morphs[3].first = "う";
    shapeMouth(0.55f, 2.0f, -0.12f, morphs[3].second);
    morphs[4].first = "笑い";
    squashEyes(0.25f, 0.9f, morphs[4].second);
    shapeMouth(1.5f, 2.2f, 0.0f, morphs[4].second);

    // PMD keeps a base morph of every moved vertex; others name places in it. The PMX
    // writer takes the same offsets against the rest positions (type 1 morphs) and the
    // base entry is dropped by writePMX callers (see pavonix_make_demo.cpp).
    std::vector<int> moved;
    for (auto& m : morphs) {
        for (auto& t : m.second) {
            if (std::find(moved.begin(), moved.end(), t.vertex) == moved.end()) moved.push_back(t.vertex);
        }
    }
    modelwriter::MorphDesc base;
    base.name = "base";
    for (int id : moved) {
        modelwriter::MorphOffsetDesc o;
        o.index = id;
        for (int k = 0; k < 3; ++k) o.value[k] = model_.vertices[id].position[k];
        base.offsets.push_back(o);
    }
    model_.morphs.push_back(base);
    for (auto& m : morphs) {
        modelwriter::MorphDesc d;
        d.name = m.first;
        d.panel = m.first == "まばたき" || m.first == "笑い" ? 2 : 3;
        for (auto& t : m.second) {
            modelwriter::MorphOffsetDesc o;
            o.index = static_cast<int>(std::find(moved.begin(), moved.end(), t.vertex) - moved.begin());
            o.value[0] = t.offset.x;
            o.value[1] = t.offset.y;
            o.value[2] = t.offset.z;
            d.offsets.push_back(o);
        }
        model_.morphs.push_back(d);
    }
}

void PavoBuilder::addPhysics() {
    auto bonePos = [this](int bone) {
        const float* p = model_.bones[bone].position;
        return V3{p[0], p[1], p[2]};
    };
    // Anchors follow their bones (mode 0) and collide with nothing; the swinging parts
    // (modes 1 and 2) only meet the ground.
    auto body = [&](const char* name, const std::string& bone, uint8_t shape, V3 size, V3 offset, uint8_t mode) {
        modelwriter::RigidBodyDesc b;
        b.name = name;
        b.bone = boneIndex(bone);
        b.group = mode == 0 ? 0 : 2;
        b.mask = mode == 0 ? 0 : 0x0002;
        b.shape = shape;
        b.size[0] = size.x;
        b.size[1] = size.y;
        b.size[2] = size.z;
        b.position[0] = offset.x;
        b.position[1] = offset.y;
        b.position[2] = offset.z;
        b.mass = mode == 0 ? 1.0f : 0.4f;
        b.linearDamping = 0.6f;
        b.angularDamping = 0.6f;
        b.restitution = 0.0f;
        b.friction = 0.5f;
        b.mode = mode;
        model_.rigidBodies.push_back(b);
        return static_cast<int>(model_.rigidBodies.size()) - 1;
    };
    auto joint = [&](const char* name, int a, int b, V3 at, float swing) {
        modelwriter::JointDesc j;
        j.name = name;
        j.bodyA = a;
        j.bodyB = b;
        j.position[0] = at.x;
        j.position[1] = at.y;
        j.position[2] = at.z;
        for (int k = 0; k < 3; ++k) {
            j.angularLower[k] = -swing;
            j.angularUpper[k] = swing;
            j.angularSpring[k] = 30.0f;
        }
        model_.joints.push_back(j);
    };
    const int headBody = body("頭", "頭", 0, {2.6f, 0, 0}, {0, 2.0f, 0}, 0);
    body("上半身", "上半身", 2, {2.0f, 2.0f, 0}, {0, 1.4f, 0}, 0);
    const int lowerBody = body("下半身", "下半身", 0, {1.8f, 0, 0}, {0, 0.3f, 0.6f}, 0);

    for (const char* which : {"中", "左", "右"}) {
        const std::string w = which;
        const std::string n1 = "冠羽" + w + "1", n2 = "冠羽" + w + "2";
        const V3 p1 = bonePos(boneIndex(n1)), p2 = bonePos(boneIndex(n2));
        const int c1 = body("冠羽1", n1, 0, {0.25f, 0, 0}, (p2 - p1) * 0.5f, 1);
        const int c2 = body("冠羽2", n2, 0, {0.45f, 0, 0}, {0, 0.7f, 0}, 1);
        joint("冠羽1", headBody, c1, p1, 0.35f);
        joint("冠羽2", c1, c2, p2, 0.45f);
    }
    const V3 h1 = bonePos(boneIndex("髪1")), h2 = bonePos(boneIndex("髪2"));
    const int hb1 = body("髪1", "髪1", 0, {0.5f, 0, 0}, (h2 - h1) * 0.5f, 2);
    const int hb2 = body("髪2", "髪2", 0, {0.35f, 0, 0}, {0, -0.4f, 0.2f}, 2);
    joint("髪1", headBody, hb1, h1, 0.4f);
    joint("髪2", hb1, hb2, h2, 0.5f);

    const V3 t1 = bonePos(boneIndex("尾1")), t2 = bonePos(boneIndex("尾2")), t3 = bonePos(boneIndex("尾3"));
    const int tb1 = body("尾1", "尾1", 1, {0.6f, 0.3f, 0.6f}, (t2 - t1) * 0.5f, 0);
    const int tb2 = body("尾2", "尾2", 1, {0.9f, 0.25f, 0.9f}, (t3 - t2) * 0.5f, 1);
    const int tb3 = body("尾3", "尾3", 0, {0.8f, 0, 0}, {0, 1.5f, 1.5f}, 1);
    joint("尾1", lowerBody, tb1, t1, 0.2f);
    joint("尾2", tb1, tb2, t2, 0.35f);
    joint("尾3", tb2, tb3, t3, 0.45f);
}

ModelDesc PavoBuilder::build() {
    model_ = ModelDesc();
    for (auto& t : materialTriangles_) t.clear();
    model_.name = "Pavo";
    model_.comment = "Pavo, the Pavonix demo character: a friendly peacock.";
    addSkeleton();
    addBodyShapes();
    addFace();
    addCrestAndHair();
    addTail();
    addMaterials();
    addMorphs();
    addPhysics();
    return model_;
}

void addDeformLegBones(ModelDesc& m) {
    auto find = [&m](const std::string& name) {
        for (size_t i = 0; i < m.bones.size(); ++i) {
            if (m.bones[i].name == name) return static_cast<int>(i);
        }
        throw std::runtime_error("no bone " + name);
    };
    std::vector<std::pair<int, int>> plainToD;
    for (const char* lr : {"左", "右"}) {
        int parent = find("下半身");
        for (const char* part : {"足", "ひざ", "足首"}) {
            const int plain = find(std::string(lr) + part);
            BoneDesc d = m.bones[static_cast<size_t>(plain)];
            d.name = std::string(lr) + part + "D";
            d.parent = parent;
            d.tail = -1;
            d.pmxFlags = 0x001A;
            d.appendParent = plain;
            d.appendRatio = 1.0f;
            d.appendTranslation = false;
            d.deformLayer = 1;
            m.bones.push_back(d);
            parent = static_cast<int>(m.bones.size()) - 1;
            plainToD.emplace_back(plain, parent);
        }
    }
    for (auto& v : m.vertices) {
        for (int32_t& b : v.bones) {
            for (const auto& pd : plainToD) {
                if (b == pd.first) {
                    b = pd.second;
                    break;
                }
            }
        }
    }
}

}  // namespace demo
