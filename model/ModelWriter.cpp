#include "model/ModelWriter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/Text.h"

namespace modelwriter {

namespace {

class Bytes {
public:
    std::vector<uint8_t> data;

    std::size_t offset() const { return data.size(); }
    void u8(uint8_t v) { data.push_back(v); }
    void u16(uint16_t v) { le(v, 2); }
    void u32(uint32_t v) { le(v, 4); }
    void i32(int32_t v) { le(static_cast<uint32_t>(v), 4); }
    void f32(float v) {
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        le(bits, 4);
    }
    void f32s(const float* v, int n) {
        for (int i = 0; i < n; ++i) f32(v[i]);
    }
    void zeros(std::size_t n) { data.insert(data.end(), n, 0); }
    void raw(const std::string& s) { data.insert(data.end(), s.begin(), s.end()); }
    // A fixed-width field: the bytes cut at width, zero-padded.
    void field(const std::string& s, std::size_t width) {
        const std::size_t n = s.size() < width ? s.size() : width;
        data.insert(data.end(), s.begin(), s.begin() + n);
        zeros(width - n);
    }
    // An index of width 1, 2 or 4 bytes; -1 becomes all ones.
    void index(int32_t v, int width) {
        if (width == 1) u8(static_cast<uint8_t>(v));
        else if (width == 2) u16(static_cast<uint16_t>(v));
        else i32(v);
    }

private:
    void le(uint32_t v, int n) {
        for (int i = 0; i < n; ++i) data.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
};

// Names given as UTF-8 with Japanese text become CP932; anything else (ASCII, or bytes
// already in CP932) is taken as it stands.
std::string toCp932(const std::string& s) {
    return isMultibyteUtf8(s.data(), s.size()) ? utf8ToCp932(s) : s;
}

uint8_t signedWidth(std::size_t count) { return count <= 127 ? 1 : count <= 32767 ? 2 : 4; }
uint8_t vertexWidth(std::size_t count) { return count <= 255 ? 1 : count <= 65535 ? 2 : 4; }

}  // namespace

std::string utf8ToUtf16le(const std::string& utf8) {
    std::string out;
    auto unit = [&out](unsigned u) {
        out.push_back(static_cast<char>(u & 0xFF));
        out.push_back(static_cast<char>(u >> 8));
    };
    const auto* s = reinterpret_cast<const uint8_t*>(utf8.data());
    const std::size_t n = utf8.size();
    for (std::size_t i = 0; i < n;) {
        unsigned c = s[i];
        int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
        if (extra < 0 || i + static_cast<std::size_t>(extra) >= n) {  // invalid or cut short
            unit(0xFFFD);
            ++i;
            continue;
        }
        unsigned code = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
        bool ok = true;
        for (int k = 1; k <= extra; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) ok = false;
            code = (code << 6) | (s[i + k] & 0x3F);
        }
        if (!ok) {
            unit(0xFFFD);
            ++i;
            continue;
        }
        i += 1 + extra;
        if (code >= 0x10000) {
            code -= 0x10000;
            unit(0xD800 + (code >> 10));
            unit(0xDC00 + (code & 0x3FF));
        } else {
            unit(code);
        }
    }
    return out;
}

// The fields both formats share after a rigid body's name and bone.
static void writeBodyFields(Bytes& b, const RigidBodyDesc& r) {
    b.u8(r.group);
    b.u16(r.mask);
    b.u8(r.shape);
    b.f32s(r.size, 3);
    b.f32s(r.position, 3);
    b.f32s(r.rotation, 3);
    b.f32(r.mass);
    b.f32(r.linearDamping);
    b.f32(r.angularDamping);
    b.f32(r.restitution);
    b.f32(r.friction);
    b.u8(r.mode);
}

// The fields both formats share after a joint's names and bodies.
static void writeJointFields(Bytes& b, const JointDesc& j) {
    b.f32s(j.position, 3);
    b.f32s(j.rotation, 3);
    b.f32s(j.linearLower, 3);
    b.f32s(j.linearUpper, 3);
    b.f32s(j.angularLower, 3);
    b.f32s(j.angularUpper, 3);
    b.f32s(j.linearSpring, 3);
    b.f32s(j.angularSpring, 3);
}

namespace {

// ---- PMD: one writer per section, in file order. ----

void writePmdHeader(Bytes& b, const ModelDesc& m) {
    b.raw("Pmd");
    b.f32(1.0f);
    b.field(toCp932(m.name), 20);
    b.field(toCp932(m.comment), 256);
}

void writePmdVertices(Bytes& b, Layout& l, const ModelDesc& m) {
    l.vertices = b.offset();
    b.u32(static_cast<uint32_t>(m.vertices.size()));
    for (const VertexDesc& v : m.vertices) {
        b.f32s(v.position, 3);
        b.f32s(v.normal, 3);
        b.f32s(v.uv, 2);
        b.u16(static_cast<uint16_t>(v.bones[0]));
        b.u16(static_cast<uint16_t>(v.bones[1]));
        float percent = v.weights[0] * 100.0f + 0.5f;
        b.u8(static_cast<uint8_t>(percent < 0 ? 0 : percent > 255 ? 255 : percent));
        b.u8(0);
    }
}

void writePmdIndices(Bytes& b, Layout& l, const ModelDesc& m) {
    l.indices = b.offset();
    b.u32(static_cast<uint32_t>(m.indices.size()));
    for (uint32_t i : m.indices) b.u16(static_cast<uint16_t>(i));
}

void writePmdMaterials(Bytes& b, Layout& l, const ModelDesc& m) {
    l.materials = b.offset();
    b.u32(static_cast<uint32_t>(m.materials.size()));
    for (const MaterialDesc& mat : m.materials) {
        l.materialRecords.push_back(b.offset());
        b.f32s(mat.diffuse, 4);
        b.f32(mat.shininess);
        b.f32s(mat.specular, 3);
        b.f32s(mat.ambient, 3);
        b.u8(mat.pmdToon);
        b.u8((mat.flags & 0x10) ? 1 : 0);
        b.u32(mat.indexCount);
        b.field(toCp932(mat.pmdTexture), 20);
    }
}

void writePmdBones(Bytes& b, Layout& l, const ModelDesc& m) {
    l.bones = b.offset();
    b.u16(static_cast<uint16_t>(m.bones.size()));
    for (const BoneDesc& bone : m.bones) {
        l.boneRecords.push_back(b.offset());
        b.field(toCp932(bone.name), 20);
        b.u16(bone.parent < 0 ? 0xFFFF : static_cast<uint16_t>(bone.parent));
        b.u16(bone.tail < 0 ? 0 : static_cast<uint16_t>(bone.tail));
        b.u8(bone.pmdType);
        b.u16(bone.pmdIKNumber);
        b.f32s(bone.position, 3);
    }
}

void writePmdIKChains(Bytes& b, Layout& l, const ModelDesc& m) {
    l.ikChains = b.offset();
    b.u16(static_cast<uint16_t>(m.ikChains.size()));
    for (const IKChainDesc& ik : m.ikChains) {
        b.u16(static_cast<uint16_t>(ik.ikBone));
        b.u16(static_cast<uint16_t>(ik.target));
        b.u8(static_cast<uint8_t>(ik.linkCountOverride >= 0 ? ik.linkCountOverride : ik.links.size()));
        b.u16(ik.iterations);
        b.f32(ik.limit);
        for (const IKLinkDesc& link : ik.links) b.u16(static_cast<uint16_t>(link.bone));
    }
}

void writePmdMorphs(Bytes& b, Layout& l, const ModelDesc& m) {
    l.morphs = b.offset();
    b.u16(static_cast<uint16_t>(m.morphs.size()));
    for (const MorphDesc& morph : m.morphs) {
        b.field(toCp932(morph.name), 20);
        b.u32(static_cast<uint32_t>(morph.offsets.size()));
        b.u8(morph.panel);
        for (const MorphOffsetDesc& o : morph.offsets) {
            b.u32(static_cast<uint32_t>(o.index));
            b.f32s(o.value, 3);
        }
    }
}

// One bone group showing every bone, when there are bones.
bool pmdHasBoneGroup(const ModelDesc& m) { return !m.bones.empty(); }

// Display lists: every non-base morph, one bone group showing every bone.
void writePmdDisplayLists(Bytes& b, Layout& l, const ModelDesc& m) {
    l.displayLists = b.offset();
    const std::size_t listed = m.morphs.size() > 1 ? std::min<std::size_t>(m.morphs.size() - 1, 255) : 0;
    b.u8(static_cast<uint8_t>(listed));
    for (std::size_t i = 0; i < listed; ++i) b.u16(static_cast<uint16_t>(i + 1));
    const uint8_t groups = pmdHasBoneGroup(m) ? 1 : 0;
    b.u8(groups);
    if (groups) b.field("bones\n", 50);
    b.u32(groups ? static_cast<uint32_t>(m.bones.size()) : 0);
    if (groups) {
        for (std::size_t i = 0; i < m.bones.size(); ++i) {
            b.u16(static_cast<uint16_t>(i));
            b.u8(1);
        }
    }
}

void writePmdEnglishNames(Bytes& b, Layout& l, const ModelDesc& m) {
    l.english = b.offset();
    b.u8(1);
    b.field(toCp932(m.name), 20);
    b.field(toCp932(m.comment), 256);
    for (const BoneDesc& bone : m.bones) b.field(toCp932(bone.name), 20);
    for (std::size_t i = 1; i < m.morphs.size(); ++i) b.field(toCp932(m.morphs[i].name), 20);
    if (pmdHasBoneGroup(m)) b.field("bones", 50);
}

void writePmdToonNames(Bytes& b, Layout& l, const ModelDesc& m) {
    l.toonNames = b.offset();
    for (int i = 1; i <= 10; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "toon%02d.bmp", i);
        const std::size_t k = static_cast<std::size_t>(i - 1);
        b.field(k < m.pmd.toonNameList.size() ? toCp932(m.pmd.toonNameList[k]) : std::string(name), 100);
    }
}

void writePmdPhysics(Bytes& b, Layout& l, const ModelDesc& m) {
    l.rigidBodies = b.offset();
    b.u32(static_cast<uint32_t>(m.rigidBodies.size()));
    for (const RigidBodyDesc& r : m.rigidBodies) {
        b.field(toCp932(r.name), 20);
        b.u16(r.bone < 0 ? 0xFFFF : static_cast<uint16_t>(r.bone));
        writeBodyFields(b, r);
    }
    l.joints = b.offset();
    b.u32(static_cast<uint32_t>(m.joints.size()));
    for (const JointDesc& j : m.joints) {
        b.field(toCp932(j.name), 20);
        b.u32(static_cast<uint32_t>(j.bodyA));
        b.u32(static_cast<uint32_t>(j.bodyB));
        writeJointFields(b, j);
    }
}

// ---- PMX: the index widths and text encoding every section writes with. ----

class PmxWriter {
public:
    explicit PmxWriter(const ModelDesc& model) : m(model), o(model.pmx) {
        vw = o.vertexIndexSize ? o.vertexIndexSize : vertexWidth(m.vertices.size());
        tw = o.textureIndexSize ? o.textureIndexSize : signedWidth(m.textures.size());
        mw = o.materialIndexSize ? o.materialIndexSize : signedWidth(m.materials.size());
        bw = o.boneIndexSize ? o.boneIndexSize : signedWidth(m.bones.size());
        fw = o.morphIndexSize ? o.morphIndexSize : signedWidth(m.morphs.size());
        rw = o.rigidBodyIndexSize ? o.rigidBodyIndexSize : signedWidth(m.rigidBodies.size());
    }

    std::vector<uint8_t> write(Layout* layout) {
        header();
        vertices();
        indices();
        textures();
        materials();
        bones();
        morphs();
        displayFrames();
        physics();
        if (o.version > 2.05f) b.i32(0);  // soft bodies
        l.end = b.offset();
        if (layout) *layout = l;
        return std::move(b.data);
    }

private:
    const ModelDesc& m;
    const PMXOptions& o;
    Bytes b;
    Layout l;
    int vw, tw, mw, bw, fw, rw;  // index widths: vertex, texture, material, bone, morph, rigid body

    void text(const std::string& s) {
        const std::string encoded = o.textEncoding == 0 ? utf8ToUtf16le(s) : s;
        b.i32(static_cast<int32_t>(encoded.size()));
        b.raw(encoded);
    }

    void header() {
        b.raw("PMX ");
        b.f32(o.version);
        b.u8(8);
        b.u8(o.textEncoding);
        b.u8(o.additionalUVCount);
        b.u8(static_cast<uint8_t>(vw));
        b.u8(static_cast<uint8_t>(tw));
        b.u8(static_cast<uint8_t>(mw));
        b.u8(static_cast<uint8_t>(bw));
        b.u8(static_cast<uint8_t>(fw));
        b.u8(static_cast<uint8_t>(rw));
        text(m.name);
        text(m.name);
        text(m.comment);
        text(m.comment);
    }

    void vertices() {
        l.vertices = b.offset();
        b.i32(static_cast<int32_t>(m.vertices.size()));
        for (const VertexDesc& v : m.vertices) {
            b.f32s(v.position, 3);
            b.f32s(v.normal, 3);
            b.f32s(v.uv, 2);
            for (int k = 0; k < o.additionalUVCount && k < 4; ++k) b.f32s(v.additionalUV[k], 4);
            b.u8(v.skinType);
            switch (v.skinType) {
                case 0: b.index(v.bones[0], bw); break;
                case 1:
                case 3:
                    b.index(v.bones[0], bw);
                    b.index(v.bones[1], bw);
                    b.f32(v.weights[0]);
                    if (v.skinType == 3) b.f32s(v.sdef, 9);
                    break;
                case 2:
                case 4:
                    for (int k = 0; k < 4; ++k) b.index(v.bones[k], bw);
                    b.f32s(v.weights, 4);
                    break;
                default: break;  // an unknown type: nothing follows but the edge scale
            }
            b.f32(v.edgeScale);
        }
    }

    void indices() {
        l.indices = b.offset();
        b.i32(static_cast<int32_t>(m.indices.size()));
        for (uint32_t i : m.indices) b.index(static_cast<int32_t>(i), vw);
    }

    void textures() {
        l.textures = b.offset();
        b.i32(static_cast<int32_t>(m.textures.size()));
        for (const std::string& t : m.textures) text(t);
    }

    void materials() {
        l.materials = b.offset();
        b.i32(static_cast<int32_t>(m.materials.size()));
        for (const MaterialDesc& mat : m.materials) {
            l.materialRecords.push_back(b.offset());
            text(mat.name);
            text(mat.name);
            b.f32s(mat.diffuse, 4);
            b.f32s(mat.specular, 3);
            b.f32(mat.shininess);
            b.f32s(mat.ambient, 3);
            b.u8(mat.flags);
            b.f32s(mat.edgeColour, 4);
            b.f32(mat.edgeSize);
            b.index(mat.texture, tw);
            b.index(mat.sphereTexture, tw);
            b.u8(mat.sphereMode);
            b.u8(mat.sharedToon);
            if (mat.sharedToon == 0) b.index(mat.toon, tw);
            else b.u8(static_cast<uint8_t>(mat.toon));
            text("");
            b.i32(static_cast<int32_t>(mat.indexCount));
        }
    }

    // The chain whose goal bone i is, null when none.
    const IKChainDesc* chainOf(std::size_t i) const {
        for (const IKChainDesc& chain : m.ikChains) {
            if (chain.ikBone == static_cast<int32_t>(i)) return &chain;
        }
        return nullptr;
    }

    void bones() {
        l.bones = b.offset();
        b.i32(static_cast<int32_t>(m.bones.size()));
        for (std::size_t i = 0; i < m.bones.size(); ++i) bone(m.bones[i], chainOf(i));
    }

    void bone(const BoneDesc& bone, const IKChainDesc* ik) {
        uint16_t flags = bone.pmxFlags & static_cast<uint16_t>(~(0x0001 | 0x0020 | 0x0100 | 0x0200));
        if (bone.tail >= 0) flags |= 0x0001;
        if (ik) flags |= 0x0020;
        if (bone.appendParent != -1) flags |= bone.appendBoth ? 0x0300 : bone.appendTranslation ? 0x0200 : 0x0100;
        l.boneRecords.push_back(b.offset());
        text(bone.name);
        text(bone.name);
        b.f32s(bone.position, 3);
        b.index(bone.parent, bw);
        b.i32(bone.deformLayer);
        b.u16(flags);
        if (flags & 0x0001) {
            b.index(bone.tail, bw);
        } else {
            b.zeros(12);
        }
        if (flags & (0x0100 | 0x0200)) {
            b.index(bone.appendParent, bw);
            b.f32(bone.appendRatio);
        }
        if (flags & 0x0400) b.f32s(bone.fixedAxis, 3);
        if (flags & 0x0800) {
            b.f32s(bone.localAxisX, 3);
            b.f32s(bone.localAxisZ, 3);
        }
        if (flags & 0x2000) b.i32(0);
        if (ik) chain(*ik);
    }

    void chain(const IKChainDesc& ik) {
        b.index(ik.target, bw);
        b.i32(ik.iterations);
        b.f32(ik.limit);
        b.i32(ik.linkCountOverride >= 0 ? ik.linkCountOverride : static_cast<int32_t>(ik.links.size()));
        for (const IKLinkDesc& link : ik.links) {
            b.index(link.bone, bw);
            b.u8(link.limited ? 1 : 0);
            if (link.limited) {
                b.f32s(link.lower, 3);
                b.f32s(link.upper, 3);
            }
        }
    }

    void morphs() {
        l.morphs = b.offset();
        b.i32(static_cast<int32_t>(m.morphs.size()));
        for (const MorphDesc& morph : m.morphs) {
            text(morph.name);
            text(morph.name);
            b.u8(morph.panel);
            b.u8(morph.type);
            b.i32(static_cast<int32_t>(morph.offsets.size()));
            for (const MorphOffsetDesc& off : morph.offsets) morphOffset(morph.type, off);
        }
    }

    void morphOffset(uint8_t type, const MorphOffsetDesc& off) {
        switch (type) {
            case 0:
            case 9: b.index(off.index, fw); b.f32(off.value[0]); break;
            case 1: b.index(off.index, vw); b.f32s(off.value, 3); break;
            case 2:
                b.index(off.index, bw);
                b.f32s(off.value, 3);
                b.f32s(off.rotation, 4);
                break;
            case 3: case 4: case 5: case 6: case 7: b.index(off.index, vw); b.f32s(off.uv, 4); break;
            case 8:
                b.index(off.index, mw);
                b.u8(off.operation);
                b.f32s(off.diffuse, 4);
                b.f32s(off.specular, 3);
                b.f32(off.power);
                b.f32s(off.ambient, 3);
                b.f32s(off.edgeColour, 4);
                b.f32(off.edgeSize);
                b.f32s(off.textureTint, 4);
                b.f32s(off.sphereTint, 4);
                b.f32s(off.toonTint, 4);
                break;
            case 10: b.index(off.index, rw); b.zeros(25); break;
            default: break;
        }
    }

    // The root frame with the first bone, the expression frame with every morph.
    void displayFrames() {
        l.displayLists = b.offset();
        b.i32(2);
        text("Root");
        text("Root");
        b.u8(1);
        b.i32(m.bones.empty() ? 0 : 1);
        if (!m.bones.empty()) {
            b.u8(0);
            b.index(0, bw);
        }
        text("表情");
        text("Exp");
        b.u8(1);
        b.i32(static_cast<int32_t>(m.morphs.size()));
        for (std::size_t i = 0; i < m.morphs.size(); ++i) {
            b.u8(1);
            b.index(static_cast<int32_t>(i), fw);
        }
    }

    void physics() {
        l.rigidBodies = b.offset();
        b.i32(static_cast<int32_t>(m.rigidBodies.size()));
        for (const RigidBodyDesc& r : m.rigidBodies) {
            text(r.name);
            text(r.name);
            b.index(r.bone, bw);
            writeBodyFields(b, r);
        }
        l.joints = b.offset();
        b.i32(static_cast<int32_t>(m.joints.size()));
        for (const JointDesc& j : m.joints) {
            text(j.name);
            text(j.name);
            b.u8(0);  // spring 6DOF
            b.index(j.bodyA, rw);
            b.index(j.bodyB, rw);
            writeJointFields(b, j);
        }
    }
};

}  // namespace

std::vector<uint8_t> writePMD(const ModelDesc& m, Layout* layout) {
    Layout l;
    Bytes b;
    writePmdHeader(b, m);
    writePmdVertices(b, l, m);
    writePmdIndices(b, l, m);
    writePmdMaterials(b, l, m);
    writePmdBones(b, l, m);
    writePmdIKChains(b, l, m);
    writePmdMorphs(b, l, m);
    writePmdDisplayLists(b, l, m);
    // The optional sections: English names, then toon names, then physics (which the
    // format only allows after the toon names).
    if (m.pmd.english) writePmdEnglishNames(b, l, m);
    if (m.pmd.toonNames) {
        writePmdToonNames(b, l, m);
        if (m.pmd.physics) writePmdPhysics(b, l, m);
    }
    l.end = b.offset();
    if (layout) *layout = l;
    return b.data;
}

std::vector<uint8_t> writePMX(const ModelDesc& m, Layout* layout) { return PmxWriter(m).write(layout); }

bool saveFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace modelwriter
