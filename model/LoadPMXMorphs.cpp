#include "model/LoadPMXMorphs.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "model/MorphKinds.h"
#include "platform/Text.h"

namespace {

constexpr std::size_t kMorphNameBytes = 256;

bool indexOk(int32_t index, uint32_t count) { return index >= 0 && static_cast<uint32_t>(index) < count; }

// Payload after the index of one offset of each morph type.
std::size_t offsetTail(uint8_t type) {
    switch (type) {
        case morphkind::kGroup: case morphkind::kFlip: return 4;   // weight
        case morphkind::kVertex: return 12;                        // offset
        case morphkind::kBone: return 28;                          // translation, rotation
        case morphkind::kMaterial: return 113;                     // operation, 28 floats
        case morphkind::kImpulse: return 25;                       // local flag, velocity, torque
        default: return 16;                                        // UV and additional UV
    }
}

int offsetIndexWidth(uint8_t type, const PMXMorphIndexWidths& w) {
    switch (type) {
        case morphkind::kGroup: case morphkind::kFlip: return w.morph;
        case morphkind::kBone: return w.bone;
        case morphkind::kMaterial: return w.material;
        case morphkind::kImpulse: return w.rigidBody;
        default: return w.vertex;
    }
}

void zeroIfNotFinite(float* v, int n) {
    for (int k = 0; k < n; ++k) {
        if (!std::isfinite(v[k])) v[k] = 0.0f;
    }
}

// A turn of zero length or made of non-numbers turns nothing.
void normalizeTurn(float q[4]) {
    const float len2 = q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3];
    if (!(len2 > 1e-12f) || !std::isfinite(len2)) {
        q[0] = q[1] = q[2] = 0.0f;
        q[3] = 1.0f;
        return;
    }
    const float s = (q[3] < 0.0f ? -1.0f : 1.0f) / std::sqrt(len2);
    for (int k = 0; k < 4; ++k) q[k] *= s;
}

// A value that is not a number changes nothing: one for a multiply, zero for an add.
void keepFinite(MaterialMorphOffset& o) {
    const float neutral = o.operation == 0 ? 1.0f : 0.0f;
    float* runs[] = {o.look.diffuse, o.look.specular, &o.look.power, o.look.ambient, o.look.edgeColour,
                     &o.look.edgeSize, o.textureTint, o.sphereTint, o.toonTint};
    const int sizes[] = {4, 3, 1, 3, 4, 1, 4, 4, 4};
    for (int r = 0; r < 9; ++r)
        for (int k = 0; k < sizes[r]; ++k)
            if (!std::isfinite(runs[r][k])) runs[r][k] = neutral;
}

struct Reader {
    ByteCursor& c;
    ModelData& model;
    const PMXMorphIndexWidths& widths;
    modelload::Refusal& refuse;
    MorphKinds& kinds;
    int32_t morphCount;
    std::vector<uint8_t> def;  // the record layout initMorph reads

    // what: the singular and the plural, "vertex\0vertices".
    bool outOfRange(std::size_t at, int32_t morph, int32_t entry, const char* what, int32_t index, uint32_t count) {
        return refuse("morphs", at,
                      modelload::format("morph %d: offset %d names %s %d (%u %s)", morph, entry, what, index, count,
                                        what + std::strlen(what) + 1));
    }

    bool vertexMorph(int32_t i, std::size_t recordStart, int32_t n, const char* name, MorphRecord& r) {
        def.assign(kMorphDefHeaderBytes + kMorphDefEntryBytes * static_cast<std::size_t>(n), 0);
        std::memcpy(def.data(), &n, 4);
        for (int32_t k = 0; k < n; ++k) {
            int32_t vertex;
            float offset[3];
            c.readIndex(widths.vertex, true, vertex);
            c.readF32s(offset, 3);
            if (!indexOk(vertex, model.vertexCount))
                return outOfRange(recordStart, i, k, "vertex\0vertices", vertex, model.vertexCount);
            uint8_t* entry = def.data() + kMorphDefHeaderBytes + kMorphDefEntryBytes * k;
            std::memcpy(entry, &vertex, 4);
            std::memcpy(entry + 4, offset, 12);
        }
        // Room for every morph was reserved: the vertex morphs already made stay put.
        model.morphs.emplace_back();
        cMorph& morph = model.morphs.back();
        initMorph(morph, def.data(), name, nullptr, model.positions.data());
        if (morph.vertexCount != n) return refuse("morphs", recordStart, modelload::format("morph %d: out of memory", i));
        r.vertexMorph = static_cast<int32_t>(model.morphs.size() - 1);
        r.count = static_cast<uint32_t>(n);
        return true;
    }

    bool otherMorph(int32_t i, std::size_t recordStart, uint8_t type, int32_t n, MorphRecord& r) {
        for (int32_t k = 0; k < n; ++k) {
            int32_t index;
            const bool smallUnsigned = type >= morphkind::kUV && type <= morphkind::kAdditionalUV4;
            c.readIndex(offsetIndexWidth(type, widths), smallUnsigned, index);
            switch (type) {
                case morphkind::kGroup:
                case morphkind::kFlip: {
                    GroupMember m{index, 0.0f};
                    c.readF32(m.weight);
                    if (!std::isfinite(m.weight)) m.weight = 0.0f;
                    if (!indexOk(index, static_cast<uint32_t>(morphCount)))
                        return outOfRange(recordStart, i, k, "morph\0morphs", index, static_cast<uint32_t>(morphCount));
                    kinds.members.push_back(m);
                    break;
                }
                case morphkind::kBone: {
                    BoneMorphOffset o;
                    o.bone = index;
                    c.readF32s(o.translation, 3);
                    c.readF32s(o.rotation, 4);
                    zeroIfNotFinite(o.translation, 3);
                    normalizeTurn(o.rotation);
                    if (!indexOk(index, model.boneCount())) return outOfRange(recordStart, i, k, "bone\0bones", index, model.boneCount());
                    kinds.boneOffsets.push_back(o);
                    break;
                }
                case morphkind::kMaterial: {
                    MaterialMorphOffset o;
                    o.material = index;
                    c.readU8(o.operation);
                    c.readF32s(o.look.diffuse, 4);
                    c.readF32s(o.look.specular, 3);
                    c.readF32(o.look.power);
                    c.readF32s(o.look.ambient, 3);
                    c.readF32s(o.look.edgeColour, 4);
                    c.readF32(o.look.edgeSize);
                    c.readF32s(o.textureTint, 4);
                    c.readF32s(o.sphereTint, 4);
                    c.readF32s(o.toonTint, 4);
                    if (c.failed()) return refuse.truncated("morphs", c);
                    keepFinite(o);
                    if (index != -1 && !indexOk(index, model.materialCount()))
                        return outOfRange(recordStart, i, k, "material\0materials", index, model.materialCount());
                    if (o.operation > 1)
                        return refuse("morphs", recordStart,
                                      modelload::format("morph %d: offset %d has operation %u (0 multiply, 1 add)", i,
                                                        k, o.operation));
                    kinds.materialOffsets.push_back(o);
                    break;
                }
                case morphkind::kImpulse:
                    // Rigid bodies come after the morphs in the file; impulses are not
                    // applied, so their body is never looked up.
                    c.skip(offsetTail(type));
                    break;
                default: {  // UV and additional UV
                    UVMorphOffset o;
                    o.vertex = index;
                    c.readF32s(o.offset, 4);
                    zeroIfNotFinite(o.offset, 4);
                    if (!indexOk(index, model.vertexCount))
                        return outOfRange(recordStart, i, k, "vertex\0vertices", index, model.vertexCount);
                    if (type == morphkind::kUV) kinds.uvOffsets.push_back(o);
                    break;
                }
            }
            if (c.failed()) return refuse.truncated("morphs", c);
        }
        switch (type) {
            case morphkind::kGroup: case morphkind::kFlip: r.first = uint32_t(kinds.members.size()) - n; break;
            case morphkind::kBone: r.first = uint32_t(kinds.boneOffsets.size()) - n; break;
            case morphkind::kMaterial: r.first = uint32_t(kinds.materialOffsets.size()) - n; break;
            case morphkind::kUV: r.first = uint32_t(kinds.uvOffsets.size()) - n; break;
            default: break;
        }
        const bool kept = type == morphkind::kGroup || type == morphkind::kFlip || type == morphkind::kBone ||
                          type == morphkind::kMaterial || type == morphkind::kUV;
        r.count = kept ? static_cast<uint32_t>(n) : 0;
        if (type >= morphkind::kAdditionalUV1 && type <= morphkind::kAdditionalUV4) ++kinds.additionalUVMorphs;
        if (type == morphkind::kImpulse) ++kinds.impulseMorphs;
        return true;
    }

    bool read() {
        int32_t count;
        if (!c.readI32(count)) return refuse.truncated("morphs", c);
        // Only 16 bits of morphs fit the model; a larger count cannot be followed safely.
        if (count < 0 || count > 0xFFFF)
            return refuse("morphs", c.offset() - 4, modelload::format("morph count %d out of range", count));
        if (!c.fits(static_cast<uint64_t>(count), 4 + 4 + 1 + 1 + 4)) return refuse.truncated("morphs", c);
        morphCount = count;
        model.morphs.clear();
        model.morphs.reserve(static_cast<std::size_t>(count));
        kinds.morphs.resize(static_cast<std::size_t>(count));
        for (int32_t i = 0; i < count; ++i) {
            const std::size_t recordStart = c.offset();
            MorphRecord& r = kinds.morphs[static_cast<std::size_t>(i)];
            if (!readPMXText(c, model, r.name, kMorphNameBytes)) return refuse.truncated("morphs", c);
            readPMXText(c, model, nullptr, 0);  // English name, not kept
            int32_t offsetCount;
            c.readU8(r.panel);
            c.readU8(r.kind);
            c.readI32(offsetCount);
            if (c.failed()) return refuse.truncated("morphs", c);
            if (r.kind > morphkind::kLast) {
                const std::string text = modelload::format("Error: unkMorphType = %d, FaceCount = %d, len = %08x", r.kind,
                                                           count, static_cast<unsigned>(c.offset()));
                return refuse.shown("face", text, c.offset());
            }
            if (offsetCount < 0)
                return refuse("morphs", c.offset() - 4,
                              modelload::format("morph %d: negative offset count %d", i, offsetCount));
            if (!c.fits(static_cast<uint64_t>(offsetCount), offsetIndexWidth(r.kind, widths) + offsetTail(r.kind)))
                return refuse.truncated("morphs", c);
            const bool ok = r.kind == morphkind::kVertex ? vertexMorph(i, recordStart, offsetCount, r.name, r)
                                                          : otherMorph(i, recordStart, r.kind, offsetCount, r);
            if (!ok) return false;
        }
        return true;
    }
};

struct CutNote {
    const ModelData* model;
    const MorphKinds* kinds;
    modelload::Refusal* refuse;
};

void reportCut(void* context, int32_t group, int32_t member) {
    const CutNote& n = *static_cast<const CutNote*>(context);
    const std::string groupName = cp932ToUtf8(n.kinds->morphs[static_cast<std::size_t>(group)].name);
    const std::string text =
        group == member
            ? modelload::format("morph %d (%s) names itself as a member; that member is left out", group,
                                groupName.c_str())
            : modelload::format("morph %d (%s): member %d (%s) closes a loop of groups; that member is left out", group,
                                groupName.c_str(), member,
                                cp932ToUtf8(n.kinds->morphs[static_cast<std::size_t>(member)].name).c_str());
    n.refuse->warn("face", text);
}

}  // namespace

bool readPMXMorphs(ByteCursor& c, ModelData& model, const PMXMorphIndexWidths& widths, modelload::Refusal& refuse) {
    model.morphKinds.reset(new (std::nothrow) MorphKinds());
    if (!model.morphKinds) return refuse("morphs", c.offset(), "out of memory");
    MorphKinds& kinds = *model.morphKinds;
    try {
        Reader reader{c, model, widths, refuse, kinds, 0, {}};
        if (!reader.read()) return false;
        CutNote note{&model, &kinds, &refuse};
        orderGroups(kinds, reportCut, &note);
    } catch (const std::bad_alloc&) {
        return refuse("morphs", c.offset(), "out of memory");
    }
    if (!prepareMorphKinds(kinds, model)) return refuse("morphs", c.offset(), "out of memory");
    if (kinds.additionalUVMorphs || kinds.impulseMorphs) {
        refuse.note(modelload::format(
            "%s: %u additional-UV and %u impulse morphs are read but not applied (the viewer keeps no "
            "additional UVs and applies no impulses)",
            cp932ToUtf8(model.name).c_str(), kinds.additionalUVMorphs, kinds.impulseMorphs));
    }
    if (model.morphs.empty()) std::vector<cMorph>().swap(model.morphs);
    return true;
}
