// The PMD reader. Layout of the mandatory part: header, vertices, indices, materials,
// bones, IK chains, morphs, display lists; then optional English names, toon file
// names, rigid bodies and joints.
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "model/ModelLoader.h"

namespace {

constexpr std::size_t kNameBytes = 20;
constexpr std::size_t kCommentBytes = 256;
constexpr std::size_t kVertexBytes = 38;
constexpr std::size_t kMaterialBytes = 70;
constexpr std::size_t kBoneBytes = 39;
constexpr std::size_t kIKHeaderBytes = 11;
constexpr std::size_t kMorphHeaderBytes = 25;
constexpr std::size_t kDisplayGroupNameBytes = 50;
constexpr std::size_t kDisplayedBoneBytes = 3;
constexpr std::size_t kToonNamesBytes = 10 * 100;
constexpr std::size_t kRigidBodyBytes = 83;
constexpr std::size_t kJointBytes = 124;
constexpr uint16_t kNoBone = 65535;

using modelload::Refusal;

bool endsWith3(const char* text, const char* ending) {
    const std::size_t n = std::strlen(text);
    if (n < 3) return false;
    for (int i = 0; i < 3; ++i) {
        if (std::tolower(static_cast<unsigned char>(text[n - 3 + i])) != ending[i]) return false;
    }
    return true;
}

// 0 = not a sphere map, 1 = multiply (...sph), 2 = add (...spa).
uint8_t sphereModeOf(const char* name) {
    if (endsWith3(name, "sph")) return 1;
    if (endsWith3(name, "spa")) return 2;
    return 0;
}

// The index of name in the model's texture table, appended when new.
int32_t textureIndexOf(std::vector<std::string>& table, const std::string& name) {
    for (std::size_t i = 0; i < table.size(); ++i)
        if (table[i] == name) return static_cast<int32_t>(i);
    table.push_back(name);
    return static_cast<int32_t>(table.size() - 1);
}

// A texture field is "main", "main*sphere" or a sphere map alone.
void readMaterialTextures(Material& material, const uint8_t* field, std::vector<std::string>& table,
                          ModelFileInfo* info) {
    char name[kNameBytes + 1];
    std::memcpy(name, field, kNameBytes);
    name[kNameBytes] = '\0';
    if (name[0] == '\0') return;

    const char* mainName = nullptr;
    const char* sphereName = nullptr;
    uint8_t mode = 0;
    if (char* star = std::strchr(name, '*')) {
        *star = '\0';
        mainName = name;
        mode = sphereModeOf(star + 1);
        if (mode) sphereName = star + 1;
    } else if ((mode = sphereModeOf(name)) != 0) {
        sphereName = name;
    } else {
        mainName = name;
    }
    if (info) {
        info->materials.back().texture = mainName ? mainName : "";
        info->materials.back().sphere = sphereName ? sphereName : "";
    }
    if (mainName && *mainName) material.textureIndex = textureIndexOf(table, mainName);
    if (sphereName) {
        material.sphereMode = mode;
        material.sphereIndex = textureIndexOf(table, sphereName);
    }
}

// Flags (and the extra links) PMD bone types stand for, in PMX terms.
void applyBoneType(BoneDef& def, uint8_t type, int16_t tail, uint16_t ikNumber) {
    switch (type) {
        case 0: def.flags = 0x001B; break;
        case 1: def.flags = 0x001F; break;
        case 2: def.flags = 0x003F; break;
        case 4: def.flags = 0x001B; break;
        case 5:
            def.flags = 0x011B;
            def.appendParent = static_cast<int16_t>(ikNumber);
            def.appendRatio = 1.0f;
            break;
        case 6:
        case 7: def.flags = 0x0013; break;
        case 8: def.flags = 0x041A; break;
        case 9:
            def.flags = 0x0112;
            def.child = -1;
            def.appendParent = tail;
            def.appendRatio = ikNumber * 0.01f;
            break;
        default: def.flags = 0; break;
    }
}

// A bone link read from the file: -1 (none) or an index below count.
bool boneLinkOk(int32_t index, uint32_t count) { return index == -1 || (index >= 0 && static_cast<uint32_t>(index) < count); }

// A file cut off inside a section the format lets it leave out keeps everything before
// that section; the user is told what is missing.
bool cutOptional(Refusal& refuse, const char* section, const ByteCursor& c, const char* alsoDropped = "") {
    refuse.warn("PMD", modelload::format("the %s section is cut off at offset 0x%zx (%zu bytes needed, %zu left); "
                                         "the model is loaded without it%s",
                                         section, c.failOffset(), c.failWanted(), c.size() - c.failOffset(),
                                         alsoDropped));
    return true;
}

// What the stages share while one file is read.
struct PmdReader {
    ByteCursor& c;
    ModelData& model;
    Refusal& refuse;
    ModelFileInfo* info;
    std::size_t vertexStart = 0;
    std::vector<std::string> textures;  // the texture table as the materials name it
    std::vector<uint8_t> toonNumbers;   // per material: entry of the toon-name list
    uint8_t groupCount = 0;             // bone groups, for the English names' size
};

bool readHeader(PmdReader& r) {
    ByteCursor& c = r.c;
    float version = 0.0f;
    c.skip(3);
    c.readF32(version);
    if (r.info) r.info->version = version;
    const uint8_t* name = c.take(kNameBytes);
    if (!name || !c.skip(kCommentBytes)) return r.refuse.truncated("header", c);
    std::memcpy(r.model.name, name, kNameBytes);
    r.model.name[kNameBytes] = '\0';
    return true;
}

bool readVertices(PmdReader& r) {
    ByteCursor& c = r.c;
    ModelData& model = r.model;
    uint32_t vertexCount = 0;
    if (!c.readU32(vertexCount) || !c.fits(vertexCount, kVertexBytes)) return r.refuse.truncated("vertices", c);
    r.vertexStart = c.offset();
    using modelload::sizeArray;
    if (!sizeArray(model.positions, 3 * std::size_t(vertexCount)) ||
        !sizeArray(model.normals, 3 * std::size_t(vertexCount)) ||
        !sizeArray(model.texCoords, 2 * std::size_t(vertexCount)) || !sizeArray(model.skins, vertexCount) ||
        !sizeArray(model.edgeScales, vertexCount))
        return r.refuse("vertices", r.vertexStart, "out of memory");
    model.vertexCount = vertexCount;
    for (uint32_t i = 0; i < vertexCount; ++i) {
        uint16_t bone0, bone1;
        uint8_t weight, noEdge = 0;
        c.readF32s(&model.positions[3 * i], 3);
        c.readF32s(&model.normals[3 * i], 3);
        c.readF32s(&model.texCoords[2 * i], 2);
        c.readU16(bone0);
        c.readU16(bone1);
        c.readU8(weight);
        c.readU8(noEdge);
        model.edgeScales[i] = noEdge ? 0.0f : 1.0f;
        VertexSkin& skin = model.skins[i];
        skin.type = 1;
        skin.weights[0] = weight * 0.01f;
        skin.weights[1] = 1.0f - skin.weights[0];
        skin.boneIndices[0] = bone0;
        skin.boneIndices[1] = bone1;
    }
    return true;
}

bool readIndices(PmdReader& r) {
    ByteCursor& c = r.c;
    ModelData& model = r.model;
    uint32_t indexCount = 0;
    if (!c.readU32(indexCount) || !c.fits(indexCount, 2)) return r.refuse.truncated("indices", c);
    if (!modelload::sizeArray(model.indices, indexCount)) return r.refuse("indices", c.offset(), "out of memory");
    for (uint32_t i = 0; i < indexCount; ++i) {
        uint16_t index;
        c.readU16(index);
        if (index >= model.vertexCount)
            return r.refuse("indices", c.offset() - 2,
                            modelload::format("index %u: vertex %u out of range (%u vertices)", i, index,
                                              model.vertexCount));
        model.indices[i] = index;
    }
    return true;
}

bool readMaterials(PmdReader& r) {
    ByteCursor& c = r.c;
    ModelData& model = r.model;
    uint32_t materialCount = 0;
    if (!c.readU32(materialCount) || !c.fits(materialCount, kMaterialBytes)) return r.refuse.truncated("materials", c);
    if (!modelload::sizeArray(model.materials, materialCount))
        return r.refuse("materials", c.offset(), "out of memory");
    for (Material& m : model.materials) {
        m.textureIndex = m.sphereIndex = m.toonIndex = -1;
        m.sharedToon = -1;
    }
    r.toonNumbers.assign(materialCount, 0);
    uint64_t indicesUsed = 0;
    for (uint32_t i = 0; i < materialCount; ++i) {
        Material& m = model.materials[i];
        const std::size_t recordStart = c.offset();
        uint32_t count;
        uint8_t edge;
        c.readF32s(m.diffuse, 4);
        c.readF32(m.shininess);
        c.readF32s(m.specular, 3);
        m.specular[3] = 1.0f;
        c.readF32s(m.ambient, 3);
        m.ambient[3] = 1.0f;
        c.readU8(r.toonNumbers[i]);
        c.readU8(edge);
        c.readU32(count);
        const uint8_t* textureField = c.take(kNameBytes);
        indicesUsed += count;
        if (count > INT32_MAX || indicesUsed > model.indexCount())
            return r.refuse("materials", recordStart,
                            modelload::format("material %u: its %u indices run past the %u indices of the file", i,
                                              count, model.indexCount()));
        m.indexCount = static_cast<int32_t>(count);
        m.drawFlags = static_cast<uint8_t>((m.diffuse[3] < 1.0f ? 0x01 : 0) | (edge ? 0x10 : 0));
        // The format has no outline colour or width of its own: black, one unit.
        m.edgeColour[3] = 1.0f;
        m.edgeSize = edge ? 1.0f : 0.0f;
        if (r.info) {
            r.info->materials.emplace_back();
            r.info->warningsBeforeMaterial.push_back(r.refuse.warningCount());
        }
        readMaterialTextures(m, textureField, r.textures, r.info);
    }
    return true;
}

// Every link is checked before initBoneRecord turns indices into pointers.
bool readBones(PmdReader& r) {
    ByteCursor& c = r.c;
    ModelData& model = r.model;
    uint16_t boneCount = 0;
    if (!c.readU16(boneCount) || !c.fits(boneCount, kBoneBytes)) return r.refuse.truncated("bones", c);
    if (!modelload::sizeArray(model.bones, boneCount)) return r.refuse("bones", c.offset(), "out of memory");
    for (uint32_t i = 0; i < boneCount; ++i) {
        const std::size_t recordStart = c.offset();
        char boneName[kNameBytes + 1];
        int16_t parent, tail;
        uint16_t ikNumber;
        uint8_t type;
        c.readBytes(boneName, kNameBytes);
        boneName[kNameBytes] = '\0';
        c.readI16(parent);
        c.readI16(tail);
        c.readU8(type);
        c.readU16(ikNumber);
        BoneDef def;
        std::memset(&def, 0, sizeof def);
        c.readF32s(def.restPosition, 3);
        def.parent = parent;
        def.child = tail == 0 ? -1 : tail;
        def.appendParent = -1;
        applyBoneType(def, type, tail, ikNumber);
        const char* badLink = !boneLinkOk(def.parent, boneCount)         ? "parent"
                              : !boneLinkOk(def.child, boneCount)        ? "tail"
                              : !boneLinkOk(def.appendParent, boneCount) ? "linked bone"
                                                                         : nullptr;
        if (badLink) {
            const int32_t value = badLink[0] == 'p' ? def.parent : badLink[0] == 't' ? def.child : def.appendParent;
            return r.refuse("bones", recordStart,
                            modelload::format("bone %u: %s %u out of range (%u bones)", i, badLink,
                                              static_cast<unsigned>(static_cast<uint16_t>(value)), boneCount));
        }
        initBoneRecord(model.bones[i], boneName, def, model.bones.data());
        if (namesEqual20(model.bones[i].name, cp932::kHead)) model.headBone = &model.bones[i];
    }
    if (c.failed()) return r.refuse.truncated("bones", c);
    const int64_t cyclic = modelload::findParentCycle(model);
    if (cyclic >= 0)
        return r.refuse("bones", r.vertexStart,
                        modelload::format("bone %lld is its own ancestor", static_cast<long long>(cyclic)));
    computeParentOffsets(model);
    return true;
}

// Vertex bones can only be checked once the bone count is known.
bool checkVertexBones(PmdReader& r) {
    ModelData& model = r.model;
    for (uint32_t i = 0; i < model.vertexCount; ++i) {
        VertexSkin& skin = model.skins[i];
        // Weight 100 leaves the second bone unused, and editors leave anything there.
        if (skin.weights[0] >= 1.0f && static_cast<uint32_t>(skin.boneIndices[1]) >= model.boneCount())
            skin.boneIndices[1] = skin.boneIndices[0];
        for (int k = 0; k < 2; ++k) {
            if (static_cast<uint32_t>(skin.boneIndices[k]) >= model.boneCount())
                return r.refuse("vertices", r.vertexStart + i * kVertexBytes + 32 + 2 * k,
                                modelload::format("vertex %u: bone %d out of range (%u bones)", i,
                                                  skin.boneIndices[k], model.boneCount()));
        }
    }
    return true;
}

bool readIKChains(PmdReader& r) {
    ByteCursor& c = r.c;
    ModelData& model = r.model;
    const uint32_t boneCount = model.boneCount();
    uint16_t ikCount = 0;
    if (!c.readU16(ikCount) || !c.fits(ikCount, kIKHeaderBytes)) return r.refuse.truncated("IK chains", c);
    if (!modelload::sizeArray(model.ikChains, ikCount)) return r.refuse("IK chains", c.offset(), "out of memory");
    for (uint32_t i = 0; i < ikCount; ++i) {
        const std::size_t recordStart = c.offset();
        IKDef def;
        std::memset(&def, 0, sizeof def);
        uint16_t ikBone, target, iterations;
        uint8_t linkCount;
        c.readU16(ikBone);
        c.readU16(target);
        c.readU8(linkCount);
        c.readU16(iterations);
        c.readF32(def.limit);
        if (!c.fits(linkCount, 2)) return r.refuse.truncated("IK chains", c);
        def.ikBone = ikBone;
        def.targetBone = target;
        def.linkCount = linkCount;
        def.iterations = iterations;
        for (uint32_t k = 0; k < linkCount; ++k) {
            uint16_t link;
            c.readU16(link);
            def.links[k] = link;
        }
        if (ikBone >= boneCount || target >= boneCount)
            return r.refuse("IK chains", recordStart,
                            modelload::format("chain %u: bone %u or target %u out of range (%u bones)", i, ikBone,
                                              target, boneCount));
        for (uint32_t k = 0; k < linkCount; ++k) {
            if (static_cast<uint32_t>(def.links[k]) >= boneCount)
                return r.refuse("IK chains", recordStart + kIKHeaderBytes + 2 * k,
                                modelload::format("chain %u: link %u names bone %d (%u bones)", i, k, def.links[k],
                                                  boneCount));
        }
        initIKChain(model.ikChains[i], def, model.bones.data());
    }
    sortIKChains(model.ikChains.data(), ikCount);
    return true;
}

// The first morph holds absolute positions of vertices; later ones name places in its
// list and hold offsets from them.
bool readMorphs(PmdReader& r) {
    ByteCursor& c = r.c;
    ModelData& model = r.model;
    uint16_t morphCount = 0;
    if (!c.readU16(morphCount) || !c.fits(morphCount, kMorphHeaderBytes)) return r.refuse.truncated("morphs", c);
    if (!modelload::sizeArray(model.morphs, morphCount)) return r.refuse("morphs", c.offset(), "out of memory");
    for (uint32_t i = 0; i < morphCount; ++i) {
        const std::size_t recordStart = c.offset();
        char morphName[kNameBytes + 1];
        c.readBytes(morphName, kNameBytes);
        morphName[kNameBytes] = '\0';
        const uint8_t* def = c.here();
        uint32_t entryCount = 0;
        c.readU32(entryCount);
        c.skip(1);  // panel
        if (!c.fits(entryCount, kMorphDefEntryBytes)) return r.refuse.truncated("morphs", c);
        const uint8_t* entries = c.take(std::size_t(entryCount) * kMorphDefEntryBytes);
        // Vertex numbers of the base morph index vertices; those of the others index the
        // base morph's entries.
        const uint32_t limit = i == 0 ? model.vertexCount : static_cast<uint32_t>(model.morphs[0].vertexCount);
        for (uint32_t k = 0; k < entryCount; ++k) {
            uint32_t vertex;
            std::memcpy(&vertex, entries + k * kMorphDefEntryBytes, 4);
            if (vertex >= limit)
                return r.refuse("morphs", recordStart + kMorphHeaderBytes + k * kMorphDefEntryBytes,
                                modelload::format("morph %u: entry %u names %s %u (%u there)", i, k,
                                                  i == 0 ? "vertex" : "base entry", vertex, limit));
        }
        initMorph(model.morphs[i], def, morphName, &model.morphs[0], nullptr);
        if (model.morphs[i].vertexCount != static_cast<int32_t>(entryCount))
            return r.refuse("morphs", recordStart, modelload::format("morph %u: out of memory", i));
    }
    return true;
}

// The morph list, the bone group names and the displayed bones: stepped over.
bool skipDisplayLists(PmdReader& r) {
    ByteCursor& c = r.c;
    uint8_t listCount = 0;
    uint32_t displayedBones = 0;
    if (!c.readU8(listCount) || !c.skip(2 * std::size_t(listCount)) || !c.readU8(r.groupCount) ||
        !c.skip(kDisplayGroupNameBytes * r.groupCount) || !c.readU32(displayedBones) ||
        !c.fits(displayedBones, kDisplayedBoneBytes) || !c.skip(kDisplayedBoneBytes * std::size_t(displayedBones)))
        return r.refuse.truncated("display lists", c);
    return true;
}

// The optional English names (stepped over) and toon-name list. Without the list the
// toon numbers stand for the authoring program's ten shared ramps, so the materials get
// their ramps however the optional sections end. Returns false when the file ends (or is
// cut off) before the physics sections.
bool readNamesAndToons(PmdReader& r) {
    ByteCursor& c = r.c;
    ModelData& model = r.model;
    std::string toonNames[kSharedToonCount];
    for (int i = 0; i < kSharedToonCount; ++i) toonNames[i] = modelload::format("toon%02d.bmp", i + 1);
    auto assignToons = [&]() {
        if (r.info) r.info->warningsBeforeToons = r.refuse.warningCount();
        for (uint32_t i = 0; i < model.materialCount(); ++i) {
            if (r.toonNumbers[i] < kSharedToonCount)
                model.materials[i].toonIndex = textureIndexOf(r.textures, toonNames[r.toonNumbers[i]]);
        }
        return false;
    };
    if (c.remaining() == 0) return assignToons();
    uint8_t hasEnglish = 0;
    c.readU8(hasEnglish);
    if (hasEnglish) {
        const std::size_t englishBytes =
            kNameBytes + kCommentBytes + kNameBytes * std::size_t(model.boneCount()) +
            kNameBytes * std::size_t(model.morphCount() ? model.morphCount() - 1 : 0) +
            kDisplayGroupNameBytes * std::size_t(r.groupCount);
        if (!c.skip(englishBytes)) return cutOptional(r.refuse, "English names", c), assignToons();
    }
    // Older files end after the English names.
    if (c.remaining() == 0) return assignToons();
    const uint8_t* toonField = c.take(kToonNamesBytes);
    if (!toonField) return cutOptional(r.refuse, "toon names", c), assignToons();
    for (int i = 0; i < kSharedToonCount; ++i) {
        const char* entry = reinterpret_cast<const char*>(toonField + 100 * i);
        toonNames[i].assign(entry, strnlen(entry, 100));
    }
    assignToons();
    return c.remaining() != 0;
}

// Rigid bodies and joints: kept as declared, for physics to create. Returns false after
// a refusal; a cut-off section is told and left out.
bool readRigidBodies(PmdReader& r) {
    ByteCursor& c = r.c;
    ModelData& model = r.model;
    uint32_t bodyCount = 0;
    if (!c.readU32(bodyCount) || !c.fits(bodyCount, kRigidBodyBytes)) return cutOptional(r.refuse, "rigid bodies", c);
    model.rigidBodyDefs.reserve(bodyCount);
    for (uint32_t i = 0; i < bodyCount; ++i) {
        const std::size_t recordStart = c.offset();
        uint16_t boneNumber;
        c.skip(kNameBytes);
        c.readU16(boneNumber);
        RigidBodyDef definition;
        readRigidBodyDef(c, definition);
        if (boneNumber != kNoBone && boneNumber >= model.boneCount())
            return r.refuse("rigid bodies", recordStart,
                            modelload::format("body %u: bone %u out of range (%u bones)", i, boneNumber,
                                              model.boneCount()));
        model.rigidBodyDefs.push_back({boneNumber == kNoBone ? -1 : int32_t(boneNumber), definition});
    }
    return true;
}

bool readJoints(PmdReader& r) {
    ByteCursor& c = r.c;
    ModelData& model = r.model;
    const uint32_t bodyCount = static_cast<uint32_t>(model.rigidBodyDefs.size());
    uint32_t jointCount = 0;
    if (!c.readU32(jointCount) || !c.fits(jointCount, kJointBytes)) {
        // Simulated bodies without their joints would fall away with the bones they move.
        model.rigidBodyDefs.clear();
        return cutOptional(r.refuse, "joints", c, " and its rigid bodies");
    }
    model.jointDefs.reserve(jointCount);
    for (uint32_t i = 0; i < jointCount; ++i) {
        const std::size_t recordStart = c.offset();
        uint32_t a, b;
        c.skip(kNameBytes);
        c.readU32(a);
        c.readU32(b);
        JointDef definition;
        readJointDef(c, definition);
        if (a >= bodyCount || b >= bodyCount)
            return r.refuse("joints", recordStart,
                            modelload::format("joint %u: bodies %u and %u, but %u rigid bodies", i, a, b, bodyCount));
        model.jointDefs.push_back({int32_t(a), int32_t(b), 0, definition});
    }
    return true;
}

// The texture table the materials index, kept with the model.
bool storeTextureNames(PmdReader& r) {
    ModelData& model = r.model;
    model.textureNames = std::move(r.textures);
    return true;
}

// The mandatory sections, then the optional ones: a file may stop before any of these.
bool readAll(PmdReader& r) {
    if (!readHeader(r) || !readVertices(r) || !readIndices(r) || !readMaterials(r) || !readBones(r) ||
        !checkVertexBones(r) || !readIKChains(r) || !readMorphs(r) || !skipDisplayLists(r))
        return false;
    const bool physicsFollows = readNamesAndToons(r);
    if (!storeTextureNames(r)) return false;
    if (!physicsFollows) return true;
    if (!readRigidBodies(r)) return false;
    if (r.c.failed() || r.c.remaining() == 0) return true;  // the section was cut off, or joints are left out
    return readJoints(r);
}

}  // namespace

bool isPMD(const uint8_t* data, std::size_t size) {
    ByteCursor c(data, size);
    const uint8_t* magic = c.take(3);
    float version = 0.0f;
    return magic && std::memcmp(magic, "Pmd", 3) == 0 && c.readF32(version) && version == 1.0f;
}

LoadResult loadPMD(ModelData& model, const uint8_t* data, std::size_t size, ModelFileInfo* info) {
    if (!isPMD(data, size)) return LoadResult::refuse("not a PMD file");
    ByteCursor c(data, size);
    Refusal refuse("PMD");
    PmdReader reader{c, model, refuse, info, 0, {}, {}, 0};
    readAll(reader);
    return refuse.result();
}
