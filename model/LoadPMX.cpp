// The PMX 2.0/2.1 reader. Sections: header, vertices, faces, textures, materials, bones,
// morphs (model/LoadPMXMorphs.cpp), display frames, rigid bodies and joints
// (model/LoadPMXPhysics.h); 2.1 soft bodies after them are not read.
// Bones keep what PMX posing needs (deform layer, append links, fixed and local axes, IK
// link limits); the deform order is threaded by animation once the model is read.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "model/LoadPMXMorphs.h"
#include "model/LoadPMXPhysics.h"
#include "model/ModelLoader.h"
#include "platform/Text.h"

namespace {

constexpr int kMaxPMXBones = 32767;
constexpr int kMaxPMXChains = 64;
constexpr int kMaxIKLinks = 256;            // IKDef::links
constexpr std::size_t kTextUnits = 1024;    // longest decoded text, terminator included
constexpr std::size_t kModelNameBytes = 256;
constexpr std::size_t kTextureNameBytes = 512;
constexpr std::size_t kBoneNameBytes = 32;

using modelload::Refusal;

// Steps over a text field, checking its length.
bool skipText(ByteCursor& c) {
    int32_t length;
    if (!c.readI32(length)) return false;
    if (length < 0) {
        c.markRunOut(0);
        return false;
    }
    return c.skip(static_cast<std::size_t>(length));
}

bool finite3(const float v[3]) { return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]); }

// A fixed axis of zero length (or not finite) fixes nothing: the bone turns freely.
bool normalizeAxis(float v[3]) {
    const float len2 = v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
    if (!(len2 > 1e-12f) || !std::isfinite(len2)) return false;
    const float s = 1.0f / std::sqrt(len2);
    for (int k = 0; k < 3; ++k) v[k] *= s;
    return true;
}

bool indexOk(int32_t index, uint32_t count) { return index >= 0 && static_cast<uint32_t>(index) < count; }
bool optionalIndexOk(int32_t index, uint32_t count) { return index == -1 || indexOk(index, count); }

struct Header {
    int vertex, texture, material, bone, morph, rigidBody;
    uint8_t uvCount;
};

bool readVertices(ByteCursor& c, ModelData& model, const Header& h, Refusal& refuse) {
    int32_t count;
    const std::size_t minBytes = 32 + 16 * std::size_t(h.uvCount) + 1 + h.bone + 4;
    if (!readPMXCount(c, minBytes, count)) return refuse.truncated("vertices", c);
    const std::size_t n = static_cast<std::size_t>(count);
    using modelload::sizeArray;
    if (!sizeArray(model.positions, 3 * n) || !sizeArray(model.restPositions, 3 * n) ||
        !sizeArray(model.normals, 3 * n) || !sizeArray(model.texCoords, 2 * n) || !sizeArray(model.skins, n) ||
        !sizeArray(model.edgeScales, n))
        return refuse("vertices", c.offset(), "out of memory");
    model.vertexCount = static_cast<uint32_t>(count);
    std::vector<SdefVertex> sdefs;
    for (std::size_t i = 0; i < n; ++i) {
        c.readF32s(&model.positions[3 * i], 3);
        std::memcpy(&model.restPositions[3 * i], &model.positions[3 * i], 3 * sizeof(float));
        c.readF32s(&model.normals[3 * i], 3);
        c.readF32s(&model.texCoords[2 * i], 2);
        c.skip(16 * std::size_t(h.uvCount));
        uint8_t type;
        c.readU8(type);
        VertexSkin& skin = model.skins[i];
        std::memset(&skin, 0, sizeof skin);
        skin.type = type;
        switch (type) {
            case 0:
                c.readIndex(h.bone, false, skin.boneIndices[0]);
                skin.boneIndices[1] = -1;
                skin.weights[0] = 1.0f;
                break;
            case 1:
            case 3:
                c.readIndex(h.bone, false, skin.boneIndices[0]);
                c.readIndex(h.bone, false, skin.boneIndices[1]);
                c.readF32(skin.weights[0]);
                skin.weights[1] = 1.0f - skin.weights[0];
                if (type == 3) {
                    SdefVertex sdef;
                    sdef.vertex = static_cast<uint32_t>(i);
                    c.readF32s(sdef.c, 3);
                    c.readF32s(sdef.r0, 3);
                    c.readF32s(sdef.r1, 3);
                    // Points that are not numbers would spread NaN over the skin; such a
                    // vertex keeps the linear blend of its two bones.
                    bool finite = true;
                    for (int k = 0; k < 3; ++k)
                        finite = finite && std::isfinite(sdef.c[k]) && std::isfinite(sdef.r0[k]) &&
                                 std::isfinite(sdef.r1[k]);
                    if (finite) sdefs.push_back(sdef);
                }
                break;
            case 2:
            case 4:
                for (int k = 0; k < 4; ++k) c.readIndex(h.bone, false, skin.boneIndices[k]);
                c.readF32s(skin.weights, 4);
                break;
            default:
                if (c.failed()) return refuse.truncated("vertices", c);
                return refuse.shown("vtx",
                                    modelload::format("Error: unkWeightType = %d, BoneIndexSize = %d, "
                                                      "ulNumVertices = %d, fpos = %08x",
                                                      type, h.bone, count, static_cast<unsigned>(c.offset())),
                                    c.offset());
        }
        c.readF32(model.edgeScales[i]);
        if (c.failed()) return refuse.truncated("vertices", c);
    }
    model.sdefVertices = std::move(sdefs);
    return true;
}

// Vertex bones can only be checked once the bone count is known. A slot the type does
// not use, and an unused slot (-1) of a four-bone blend, are left alone. The first bone
// of every type must exist.
bool checkVertexBones(ModelData& model, std::size_t sectionOffset, Refusal& refuse) {
    for (uint32_t i = 0; i < model.vertexCount; ++i) {
        VertexSkin& skin = model.skins[i];
        // A two-bone vertex without its second bone belongs wholly to the first; left as
        // it is, the missing bone would pull it toward the rest pose.
        if ((skin.type == 1 || skin.type == 3) && skin.boneIndices[1] == -1) {
            skin.weights[0] = 1.0f;
            skin.weights[1] = 0.0f;
            skin.boneIndices[1] = skin.boneIndices[0];
        }
        const int used = skin.type == 0 ? 1 : (skin.type == 2 || skin.type == 4) ? 4 : 2;
        for (int k = 0; k < used; ++k) {
            const int32_t bone = skin.boneIndices[k];
            const bool ok = k == 0 ? indexOk(bone, model.boneCount()) : optionalIndexOk(bone, model.boneCount());
            if (!ok)
                return refuse("vertices", sectionOffset,
                              modelload::format("vertex %u: bone %d out of range (%u bones)", i, bone,
                                                model.boneCount()));
        }
    }
    return true;
}

bool readFaces(ByteCursor& c, ModelData& model, const Header& h, Refusal& refuse) {
    int32_t count;
    if (!readPMXCount(c, h.vertex, count)) return refuse.truncated("faces", c);
    if (!modelload::sizeArray(model.indices, static_cast<std::size_t>(count)))
        return refuse("faces", c.offset(), "out of memory");
    for (int32_t i = 0; i < count; ++i) {
        int32_t index;
        c.readIndex(h.vertex, true, index);
        if (!indexOk(index, model.vertexCount))
            return refuse("faces", c.offset() - h.vertex,
                          modelload::format("index %d: vertex %d out of range (%u vertices)", i, index,
                                            model.vertexCount));
        model.indices[i] = static_cast<uint32_t>(index);
    }
    return true;
}

bool readTextureNames(ByteCursor& c, ModelData& model, Refusal& refuse) {
    int32_t count;
    if (!readPMXCount(c, 4, count)) return refuse.truncated("textures", c);
    model.textureNames.reserve(static_cast<std::size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
        char name[kTextureNameBytes];
        if (!readPMXText(c, model, name, kTextureNameBytes)) return refuse.truncated("textures", c);
        model.textureNames.emplace_back(name);
    }
    return true;
}

// Material record i of count, at the cursor; indicesUsed counts the indices the records
// so far have taken.
bool readMaterialRecord(ByteCursor& c, ModelData& model, const Header& h, Refusal& refuse, ModelFileInfo* info,
                        int32_t i, int32_t count, uint64_t& indicesUsed) {
    Material& m = model.materials[i];
    const std::size_t recordStart = c.offset();
    skipText(c);
    skipText(c);
    c.readF32s(m.diffuse, 4);
    c.readF32s(m.specular, 3);
    m.specular[3] = 1.0f;
    c.readF32(m.shininess);
    c.readF32s(m.ambient, 3);
    m.ambient[3] = 1.0f;
    c.readU8(m.drawFlags);
    c.readF32s(m.edgeColour, 4);
    c.readF32(m.edgeSize);
    int32_t textureIndex, sphereIndex;
    uint8_t sphereMode, sharedToon;
    c.readIndex(h.texture, false, textureIndex);
    c.readIndex(h.texture, false, sphereIndex);
    c.readU8(sphereMode);
    c.readU8(sharedToon);
    if (c.failed()) return refuse.truncated("materials", c);
    if (sphereMode > 3)
        return refuse.shown("mat",
                            modelload::format("Error: unkSphereMode = %d, MatCount = %d, TexIndexSize = %d, "
                                              "fpos = %08x",
                                              sphereMode, count, h.texture,
                                              static_cast<unsigned>(c.offset() - 1)),
                            c.offset() - 1);
    if (sphereMode == 3) {
        refuse.warn("mat", modelload::format("サブテクスチャは無視します: nSphereIndex = %d, MatCount = %d, "
                                             "TexIndexSize = %d, fpos = %08x",
                                             -1, count, h.texture, static_cast<unsigned>(c.offset() - 1)));
    }
    if (sharedToon > 1)
        return refuse("materials", c.offset() - 1,
                      modelload::format("material %d: shared-toon flag %u is neither 0 nor 1", i, sharedToon));
    int32_t toonIndex = -1;
    if (sharedToon == 0) {
        c.readIndex(h.texture, false, toonIndex);
    } else {
        uint8_t shared = 0xFF;
        c.readU8(shared);
        toonIndex = shared;
    }
    skipText(c);  // memo
    int32_t indexCount;
    c.readI32(indexCount);
    if (c.failed()) return refuse.truncated("materials", c);

    const bool usesSphere = sphereMode == 1 || sphereMode == 2;
    // Editors leave indices behind when a texture is removed from the table; the
    // material is still there to draw, only without that texture.
    auto dropIfOutside = [&](int32_t& index, const char* what) {
        if (index < 0 || indexOk(index, model.textureNameCount())) return;
        refuse.warn("mat", modelload::format("material %d: %s %d out of range (%u textures); drawn without it, "
                                             "fpos = %08x",
                                             i, what, index, model.textureNameCount(),
                                             static_cast<unsigned>(recordStart)));
        index = -1;
    };
    dropIfOutside(textureIndex, "texture");
    if (usesSphere) dropIfOutside(sphereIndex, "sphere texture");
    indicesUsed += static_cast<uint64_t>(indexCount < 0 ? 0 : indexCount);
    if (indexCount < 0 || indicesUsed > model.indexCount())
        return refuse("materials", recordStart,
                      modelload::format("material %d: its %d indices run past the %u indices of the file", i,
                                        indexCount, model.indexCount()));
    m.indexCount = indexCount;

    if (info) {
        info->materials.emplace_back();
        info->warningsBeforeMaterial.push_back(refuse.warningCount());
        if (textureIndex >= 0) info->materials.back().texture = model.textureNames[textureIndex];
        if (usesSphere && sphereIndex >= 0) info->materials.back().sphere = model.textureNames[sphereIndex];
    }
    m.textureIndex = textureIndex;
    if (usesSphere && sphereIndex >= 0) {
        m.sphereIndex = sphereIndex;
        m.sphereMode = sphereMode;
    }
    // A toon index past the table or the shared ten is treated as none, as is -1.
    if (sharedToon == 0 && toonIndex >= 0 && indexOk(toonIndex, model.textureNameCount())) {
        m.toonIndex = toonIndex;
    } else if (sharedToon == 1 && toonIndex < kSharedToonCount) {
        m.sharedToon = static_cast<int8_t>(toonIndex);
    }
    return true;
}

bool readMaterials(ByteCursor& c, ModelData& model, const Header& h, Refusal& refuse, ModelFileInfo* info) {
    int32_t count;
    // name, English name, 17 floats, flag, 5 floats, two texture indices, 2 mode bytes,
    // a toon byte at least, memo, index count.
    const std::size_t minBytes = 4 + 4 + 17 * 4 + 1 + 5 * 4 + 2 * h.texture + 2 + 1 + 4 + 4;
    if (!readPMXCount(c, minBytes, count)) return refuse.truncated("materials", c);
    if (!modelload::sizeArray(model.materials, static_cast<std::size_t>(count)))
        return refuse("materials", c.offset(), "out of memory");
    for (Material& m : model.materials) {
        m.textureIndex = m.sphereIndex = m.toonIndex = -1;
        m.sharedToon = -1;
    }
    uint64_t indicesUsed = 0;
    for (int32_t i = 0; i < count; ++i) {
        if (!readMaterialRecord(c, model, h, refuse, info, i, count, indicesUsed)) return false;
    }
    return true;
}

// The IK chains bone records declare, gathered until every bone exists.
struct BoneChains {
    std::vector<IKDef> defs = std::vector<IKDef>(kMaxPMXChains);
    std::vector<std::vector<IKLinkLimit>> limits = std::vector<std::vector<IKLinkLimit>>(kMaxPMXChains);
    int count = 0;
};

// The fields of bone record i before its IK part, into name and def; its links checked.
bool readBoneRecord(ByteCursor& c, const ModelData& model, const Header& h, Refusal& refuse, int32_t i,
                    int32_t count, char (&name)[kBoneNameBytes], BoneDef& def) {
    const std::size_t recordStart = c.offset();
    if (!readPMXText(c, model, name, sizeof name)) return refuse.truncated("bones", c);
    skipText(c);
    std::memset(&def, 0, sizeof def);
    def.child = -1;
    def.appendParent = -1;
    c.readF32s(def.restPosition, 3);
    c.readIndex(h.bone, false, def.parent);
    c.readI32(def.deformLayer);
    c.readU16(def.flags);
    if (def.flags & 0x0001) {
        c.readIndex(h.bone, false, def.child);
    } else {
        c.skip(12);
    }
    if (def.flags & (0x0100 | 0x0200)) {
        c.readIndex(h.bone, false, def.appendParent);
        c.readF32(def.appendRatio);
    }
    if (def.flags & 0x0400) {
        c.readF32s(def.fixedAxis, 3);
        if (!normalizeAxis(def.fixedAxis)) def.flags &= static_cast<uint16_t>(~0x0400);
    }
    if (def.flags & 0x0800) {
        c.readF32s(def.localAxisX, 3);
        c.readF32s(def.localAxisZ, 3);
    }
    if (def.flags & 0x2000) c.skip(4);
    if (c.failed()) return refuse.truncated("bones", c);
    const char* badLink = !optionalIndexOk(def.parent, count)         ? "parent"
                          : !optionalIndexOk(def.child, count)        ? "tail"
                          : !optionalIndexOk(def.appendParent, count) ? "append parent"
                                                                      : nullptr;
    if (badLink) {
        const int32_t value = badLink[0] == 'p' ? def.parent : badLink[0] == 't' ? def.child : def.appendParent;
        return refuse("bones", recordStart,
                      modelload::format("bone %d: %s %d out of range (%d bones)", i, badLink, value, count));
    }
    return true;
}

// The IK part of bone record i (flag 0x0020), which starts at recordStart. A chain of too
// many links is told and dropped; its links are still stepped over whole, so the next
// bone is read from its start.
bool readBoneIK(ByteCursor& c, const Header& h, Refusal& refuse, int32_t i, int32_t count, std::size_t recordStart,
                BoneChains& chains) {
    IKDef ik;
    std::memset(&ik, 0, sizeof ik);
    int32_t target, loops, linkCount;
    float limit;
    c.readIndex(h.bone, false, target);
    c.readI32(loops);
    c.readF32(limit);
    c.readI32(linkCount);
    if (c.failed()) return refuse.truncated("bones", c);
    const std::size_t afterLinkCount = c.offset();
    if (linkCount < 0)
        return refuse("bones", afterLinkCount - 4, modelload::format("bone %d: negative IK link count %d", i, linkCount));
    const bool tooMany = linkCount >= kMaxIKLinks;
    std::vector<IKLinkLimit> limits;
    if (tooMany) {
        refuse.warn("bone", modelload::format("%dをターゲットとするIK構成ボーンの数が多すぎます。"
                                              "BoneCount = %d, BoneIndexSize = %d, len = %08x",
                                              i, count, h.bone, static_cast<unsigned>(afterLinkCount)));
    }
    for (int32_t k = 0; k < linkCount; ++k) {
        int32_t link;
        uint8_t limited;
        IKLinkLimit linkLimit{};
        c.readIndex(h.bone, false, link);
        c.readU8(limited);
        if (limited) {
            c.readF32s(linkLimit.lower, 3);
            c.readF32s(linkLimit.upper, 3);
            linkLimit.limited = finite3(linkLimit.lower) && finite3(linkLimit.upper);
        }
        if (c.failed()) return refuse.truncated("bones", c);
        if (!tooMany) limits.push_back(linkLimit);
        if (!indexOk(link, count))
            return refuse("bones", recordStart,
                          modelload::format("bone %d: IK link %d names bone %d (%d bones)", i, k, link, count));
        if (!tooMany) ik.links[k] = link;
    }
    if (tooMany) return true;
    if (!indexOk(target, count))
        return refuse("bones", recordStart,
                      modelload::format("bone %d: IK target %d out of range (%d bones)", i, target, count));
    if (chains.count == kMaxPMXChains)
        return refuse.shown("bone",
                            modelload::format("Error: IkListMax: IkCount = %d, fpos = %08x", kMaxPMXChains + 1,
                                              static_cast<unsigned>(c.offset())),
                            c.offset());
    ik.ikBone = i;
    ik.targetBone = target;
    ik.iterations = static_cast<uint32_t>(loops);
    ik.limit = limit * 0.25f;
    ik.linkCount = static_cast<uint32_t>(linkCount);
    chains.limits[chains.count] = std::move(limits);
    chains.defs[chains.count++] = ik;
    return true;
}

bool readBones(ByteCursor& c, ModelData& model, const Header& h, Refusal& refuse) {
    int32_t count;
    if (!c.readI32(count)) return refuse.truncated("bones", c);
    if (count > kMaxPMXBones)
        return refuse.shown("bone",
                            modelload::format("Error: ボーン数が多すぎます(32767まで): BoneCount = %d, "
                                              "BoneIndexSize = %d, len = %08x",
                                              count, h.bone, static_cast<unsigned>(c.offset())),
                            c.offset());
    // name, English name, position, parent, level, flags, and a tail of at least a bone index.
    const std::size_t minBytes = 4 + 4 + 12 + h.bone + 4 + 2 + h.bone;
    if (count < 0) return refuse("bones", c.offset() - 4, modelload::format("negative bone count %d", count));
    if (!c.fits(static_cast<uint64_t>(count), minBytes)) return refuse.truncated("bones", c);
    if (!modelload::sizeArray(model.bones, static_cast<std::size_t>(count)))
        return refuse("bones", c.offset(), "out of memory");

    BoneChains chains;
    for (int32_t i = 0; i < count; ++i) {
        const std::size_t recordStart = c.offset();
        char name[kBoneNameBytes];
        BoneDef def;
        if (!readBoneRecord(c, model, h, refuse, i, count, name, def)) return false;
        if ((def.flags & 0x0020) && !readBoneIK(c, h, refuse, i, count, recordStart, chains)) return false;
        initBoneRecord(model.bones[i], name, def, model.bones.data());
        if (namesEqual20(model.bones[i].name, cp932::kHead)) model.headBone = &model.bones[i];
    }
    const int64_t cyclic = modelload::findParentCycle(model);
    if (cyclic >= 0)
        return refuse("bones", c.offset(),
                      modelload::format("bone %lld is its own ancestor", static_cast<long long>(cyclic)));
    computeParentOffsets(model);

    if (chains.count) {
        if (!modelload::sizeArray(model.ikChains, static_cast<std::size_t>(chains.count)))
            return refuse("bones", c.offset(), "out of memory");
        for (int k = 0; k < chains.count; ++k) {
            chains.defs[k].limits = chains.limits[k].empty() ? nullptr : chains.limits[k].data();
            initIKChain(model.ikChains[k], chains.defs[k], model.bones.data());
        }
        sortIKChains(model.ikChains.data(), chains.count);
    }
    return true;
}

bool skipDisplayFrames(ByteCursor& c, const Header& h, Refusal& refuse) {
    int32_t count;
    if (!readPMXCount(c, 4 + 4 + 1 + 4, count)) return refuse.truncated("display frames", c);
    for (int32_t i = 0; i < count; ++i) {
        int32_t elements;
        skipText(c);
        skipText(c);
        c.skip(1);
        if (!readPMXCount(c, 1 + 1, elements)) return refuse.truncated("display frames", c);
        for (int32_t k = 0; k < elements; ++k) {
            uint8_t target;
            c.readU8(target);
            c.skip(target == 0 ? h.bone : h.morph);
        }
        if (c.failed()) return refuse.truncated("display frames", c);
    }
    return true;
}

bool validIndexSize(uint8_t size) { return size == 1 || size == 2 || size == 4; }

}  // namespace

bool readPMXCount(ByteCursor& c, std::size_t minBytes, int32_t& count) {
    if (!c.readI32(count)) return false;
    if (count < 0) {
        c.markRunOut(0);
        return false;
    }
    return c.fits(static_cast<uint64_t>(count), minBytes);
}

bool readPMXText(ByteCursor& c, const ModelData& model, char* out, std::size_t outSize) {
    if (outSize) out[0] = '\0';
    int32_t length;
    if (!c.readI32(length)) return false;
    if (length < 0) {
        c.markRunOut(0);
        return false;
    }
    const uint8_t* bytes = c.take(static_cast<std::size_t>(length));
    if (!bytes) return false;

    // Decode to UTF-16 units first, as wide text, then convert to CP932 in one go.
    std::string units;  // UTF-16LE bytes
    const std::size_t maxUnits = kTextUnits - 1;
    if (model.pmxTextEncoding == 0) {
        const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(length) / 2, maxUnits);
        units.assign(reinterpret_cast<const char*>(bytes), 2 * n);
    } else {
        auto push = [&units](unsigned unit) {
            units.push_back(static_cast<char>(unit & 0xFF));
            units.push_back(static_cast<char>((unit >> 8) & 0xFF));
        };
        std::size_t i = 0;
        const std::size_t n = static_cast<std::size_t>(length);
        while (i < n && units.size() / 2 < maxUnits) {
            const uint8_t b = bytes[i];
            // A sequence cut by the end of the field ends the text.
            if (b < 0x80) {
                push(b);
                i += 1;
            } else if (b < 0xC0 || b >= 0xF8) {
                push('?');
                i += 1;
            } else if (b < 0xE0) {
                if (i + 2 > n) break;
                push(((b - 0xC0u) << 6) + (bytes[i + 1] & 0x3Fu));
                i += 2;
            } else if (b < 0xF0) {
                if (i + 3 > n) break;
                push(((b & 0x0Fu) << 12) + ((bytes[i + 1] & 0x3Fu) << 6) + (bytes[i + 2] & 0x3Fu));
                i += 3;
            } else {
                // Outside the BMP, which CP932 cannot hold anyway.
                if (i + 4 > n) break;
                push('?');
                i += 4;
            }
        }
    }
    // Stop at an embedded terminator, as the wide-string conversion would.
    for (std::size_t k = 0; k + 1 < units.size(); k += 2) {
        if (units[k] == 0 && units[k + 1] == 0) {
            units.resize(k);
            break;
        }
    }
    if (outSize) modelload::copyCp932(utf16leToCp932(units.data(), units.size()), out, outSize);
    return true;
}

bool isPMX(const uint8_t* data, std::size_t size) {
    ByteCursor c(data, size);
    const uint8_t* magic = c.take(4);
    float version = 0.0f;
    return magic && std::memcmp(magic, "PMX ", 4) == 0 && c.readF32(version) && (version == 2.0f || version == 2.1f);
}

namespace {

bool readPMX(ByteCursor& c, ModelData& model, Refusal& refuse, ModelFileInfo* info) {
    float version = 0.0f;
    c.skip(4);
    c.readF32(version);
    // Whoever parses the bytes, the model is a PMX one from here on (morph reset, drawing).
    model.format = 1;
    if (info) info->version = version;
    uint8_t headerCount = 0;
    c.readU8(headerCount);
    uint8_t header[8] = {};
    if (c.failed() || headerCount < 8 || !c.readBytes(header, 8) || !c.skip(headerCount - 8u) || c.remaining() == 0)
        return refuse("header", 8, modelload::format("header of %u bytes does not fit or is too short", headerCount));
    model.pmxTextEncoding = header[0];
    model.pmxAdditionalUVCount = header[1];
    model.pmxVertexIndexSize = header[2];
    model.pmxTextureIndexSize = header[3];
    model.pmxMaterialIndexSize = header[4];
    model.pmxBoneIndexSize = header[5];
    model.pmxMorphIndexSize = header[6];
    model.pmxRigidBodyIndexSize = header[7];
    for (int k = 2; k < 8; ++k) {
        if (!validIndexSize(header[k]))
            return refuse("header", 9 + k, modelload::format("index size %u is not 1, 2 or 4", header[k]));
    }
    if (header[1] > 4)
        return refuse("header", 10, modelload::format("%u additional UV sets (at most 4)", header[1]));
    const Header h{header[2], header[3], header[4], header[5], header[6], header[7], header[1]};

    if (!readPMXText(c, model, model.name, kModelNameBytes) || !skipText(c) || !skipText(c) || !skipText(c))
        return refuse.truncated("header", c);

    // Each section must at least start inside the file.
    auto inside = [&](const char* section) {
        if (c.remaining() == 0) return refuse(section, c.offset(), "file ends before this section");
        return true;
    };
    if (!inside("vertices") || !readVertices(c, model, h, refuse)) return false;
    const std::size_t vertexSection = 9 + headerCount;
    if (!inside("faces") || !readFaces(c, model, h, refuse)) return false;
    if (!inside("textures") || !readTextureNames(c, model, refuse)) return false;
    if (!inside("materials") || !readMaterials(c, model, h, refuse, info)) return false;
    if (!inside("bones") || !readBones(c, model, h, refuse)) return false;
    if (!checkVertexBones(model, vertexSection, refuse)) return false;
    const PMXMorphIndexWidths morphWidths{h.vertex, h.bone, h.material, h.morph, h.rigidBody};
    if (!inside("morphs") || !readPMXMorphs(c, model, morphWidths, refuse)) return false;
    if (!inside("display frames") || !skipDisplayFrames(c, h, refuse)) return false;
    // Every PMX file goes on with its rigid-body section.
    if (!inside("rigid bodies")) return false;
    return readPMXPhysics(c, model, PmxPhysicsLayout{h.bone, h.rigidBody, version > 2.05f}, refuse);
}

}  // namespace

LoadResult loadPMX(ModelData& model, const uint8_t* data, std::size_t size, ModelFileInfo* info) {
    if (!isPMX(data, size)) return LoadResult::refuse("not a PMX 2.0/2.1 file");
    ByteCursor c(data, size);
    Refusal refuse("PMX");
    readPMX(c, model, refuse, info);
    return refuse.result();
}
