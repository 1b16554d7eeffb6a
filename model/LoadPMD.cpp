// The PMD reader. Layout of the mandatory part: header, vertices, indices, materials,
// bones, IK chains, morphs, display lists; then optional English names, toon file
// names, rigid bodies and joints.
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "animation/Skeleton.h"
#include "model/ModelLoader.h"
#include "render/Texture.h"
#include "render/ToonTexture.h"
#include "platform/HostUI.h"

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

class Refusal : public modelload::Refusal {
public:
    explicit Refusal(std::string* out) : modelload::Refusal("PMD", out) {}
};

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

// A texture field is "main", "main*sphere" or a sphere map alone.
void loadMaterialTextures(cModel& model, Material& material, const uint8_t* field, ModelFileInfo* info) {
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
    if (mainName && *mainName) {
        modelload::selectTextureUnit(0);
        material.texture = acquireTexture(model.colourTextures, mainName);
    }
    if (sphereName) {
        material.sphereMode = mode;
        modelload::selectTextureUnit(1);
        material.sphereTexture = acquireTexture(model.sphereTextures, sphereName);
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

template <typename T>
T* allocArray(std::size_t count) {
    return static_cast<T*>(std::malloc(sizeof(T) * (count ? count : 1)));
}

// A file cut off inside a section the format lets it leave out keeps everything before
// that section; the user is told what is missing.
bool cutOptional(const char* section, const ByteCursor& c, const char* alsoDropped = "") {
    showMessage("PMD", modelload::format("the %s section is cut off at offset 0x%zx (%zu bytes needed, %zu left); "
                                         "the model is loaded without it%s",
                                         section, c.failOffset(), c.failWanted(), c.size() - c.failOffset(),
                                         alsoDropped)
                           .c_str());
    return true;
}

}  // namespace

bool loadPMD(cModel& model, const uint8_t* data, std::size_t size, std::string* reason, ModelFileInfo* info) {
    ByteCursor c(data, size);
    // Header: anything else is not ours, and the model stays untouched.
    const uint8_t* magic = c.take(3);
    float version = 0.0f;
    if (!magic || std::memcmp(magic, "Pmd", 3) != 0 || !c.readF32(version) || version != 1.0f) return false;

    Refusal refuse(reason);
    if (info) info->version = version;
    const uint8_t* name = c.take(kNameBytes);
    if (!name || !c.skip(kCommentBytes)) return refuse.truncated("header", c);
    std::memcpy(model.name, name, kNameBytes);
    model.name[kNameBytes] = '\0';

    // Vertices.
    uint32_t vertexCount = 0;
    if (!c.readU32(vertexCount) || !c.fits(vertexCount, kVertexBytes)) return refuse.truncated("vertices", c);
    const std::size_t vertexStart = c.offset();
    model.positions = allocArray<float>(3 * std::size_t(vertexCount));
    model.normals = allocArray<float>(3 * std::size_t(vertexCount));
    model.texCoords = allocArray<float>(2 * std::size_t(vertexCount));
    model.skins = allocArray<VertexSkin>(vertexCount);
    model.edgeScales = allocArray<float>(vertexCount);
    if (!model.positions || !model.normals || !model.texCoords || !model.skins || !model.edgeScales)
        return refuse("vertices", vertexStart, "out of memory");
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

    // Indices.
    uint32_t indexCount = 0;
    if (!c.readU32(indexCount) || !c.fits(indexCount, 2)) return refuse.truncated("indices", c);
    model.indices = allocArray<uint32_t>(indexCount);
    if (!model.indices) return refuse("indices", c.offset(), "out of memory");
    model.indexCount = indexCount;
    for (uint32_t i = 0; i < indexCount; ++i) {
        uint16_t index;
        c.readU16(index);
        if (index >= vertexCount)
            return refuse("indices", c.offset() - 2,
                          modelload::format("index %u: vertex %u out of range (%u vertices)", i, index, vertexCount));
        model.indices[i] = index;
    }

    // Materials. Textures are created here, so every material starts without one and the
    // count is set before the first texture: a refusal later releases what was taken.
    uint32_t materialCount = 0;
    if (!c.readU32(materialCount) || !c.fits(materialCount, kMaterialBytes)) return refuse.truncated("materials", c);
    model.materials = allocArray<Material>(materialCount);
    if (!model.materials) return refuse("materials", c.offset(), "out of memory");
    for (uint32_t i = 0; i < materialCount; ++i) {
        std::memset(&model.materials[i], 0, sizeof(Material));
        model.materials[i].texture = model.materials[i].sphereTexture = model.materials[i].toonTexture = -1;
    }
    model.materialCount = materialCount;
    {
        // Every picture the materials name, decoded side by side before the first upload.
        std::vector<std::string> names;
        const uint8_t* records = c.here();
        for (uint32_t i = 0; i < materialCount; ++i) {
            const char* field = reinterpret_cast<const char*>(records + i * kMaterialBytes + kMaterialBytes - kNameBytes);
            std::string text(field, strnlen(field, kNameBytes));
            const std::size_t star = text.find('*');
            names.push_back(text.substr(0, star));
            if (star != std::string::npos) names.push_back(text.substr(star + 1));
        }
        prefetchTextures(names);
    }
    // Toon numbers name entries of the toon-name list near the end of the file.
    std::vector<uint8_t> toonNumbers(materialCount);
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
        c.readU8(toonNumbers[i]);
        c.readU8(edge);
        c.readU32(count);
        const uint8_t* textureField = c.take(kNameBytes);
        indicesUsed += count;
        if (count > INT32_MAX || indicesUsed > indexCount)
            return refuse("materials", recordStart,
                          modelload::format("material %u: its %u indices run past the %u indices of the file", i,
                                            count, indexCount));
        m.indexCount = static_cast<int32_t>(count);
        m.drawFlags = static_cast<uint8_t>((m.diffuse[3] < 1.0f ? 0x01 : 0) | (edge ? 0x10 : 0));
        // The format has no outline colour or width of its own: black, one unit.
        m.edgeColour[3] = 1.0f;
        m.edgeSize = edge ? 1.0f : 0.0f;
        if (info) info->materials.emplace_back();
        loadMaterialTextures(model, m, textureField, info);
    }
    modelload::selectTextureUnit(0);

    // Bones. Every link is checked before initBone turns indices into pointers.
    uint16_t boneCount = 0;
    if (!c.readU16(boneCount) || !c.fits(boneCount, kBoneBytes)) return refuse.truncated("bones", c);
    model.bones = new (std::nothrow) cBone[boneCount ? boneCount : 1];
    if (!model.bones) return refuse("bones", c.offset(), "out of memory");
    model.boneCount = boneCount;
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
            return refuse("bones", recordStart,
                          modelload::format("bone %u: %s %u out of range (%u bones)", i, badLink,
                                            static_cast<unsigned>(static_cast<uint16_t>(value)), boneCount));
        }
        initBone(model.bones[i], boneName, def, model.bones);
        if (namesEqual20(model.bones[i].name, cp932::kHead)) model.headBone = &model.bones[i];
    }
    if (c.failed()) return refuse.truncated("bones", c);
    const int64_t cyclic = modelload::findParentCycle(model);
    if (cyclic >= 0)
        return refuse("bones", vertexStart,
                      modelload::format("bone %lld is its own ancestor", static_cast<long long>(cyclic)));
    computeParentOffsets(model);
    for (uint32_t i = 0; i < vertexCount; ++i) {
        VertexSkin& skin = model.skins[i];
        // Weight 100 leaves the second bone unused, and editors leave anything there.
        if (skin.weights[0] >= 1.0f && static_cast<uint32_t>(skin.boneIndices[1]) >= boneCount)
            skin.boneIndices[1] = skin.boneIndices[0];
        for (int k = 0; k < 2; ++k) {
            if (static_cast<uint32_t>(skin.boneIndices[k]) >= boneCount)
                return refuse("vertices", vertexStart + i * kVertexBytes + 32 + 2 * k,
                              modelload::format("vertex %u: bone %d out of range (%u bones)", i,
                                                skin.boneIndices[k], boneCount));
        }
    }

    // IK chains.
    uint16_t ikCount = 0;
    if (!c.readU16(ikCount) || !c.fits(ikCount, kIKHeaderBytes)) return refuse.truncated("IK chains", c);
    model.ikChains = new (std::nothrow) cIKChain[ikCount ? ikCount : 1];
    if (!model.ikChains) return refuse("IK chains", c.offset(), "out of memory");
    model.ikCount = ikCount;
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
        if (!c.fits(linkCount, 2)) return refuse.truncated("IK chains", c);
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
            return refuse("IK chains", recordStart,
                          modelload::format("chain %u: bone %u or target %u out of range (%u bones)", i, ikBone,
                                            target, boneCount));
        for (uint32_t k = 0; k < linkCount; ++k) {
            if (static_cast<uint32_t>(def.links[k]) >= boneCount)
                return refuse("IK chains", recordStart + kIKHeaderBytes + 2 * k,
                              modelload::format("chain %u: link %u names bone %d (%u bones)", i, k, def.links[k],
                                                boneCount));
        }
        initIKChain(model.ikChains[i], def, model.bones);
    }
    sortIKChains(model.ikChains, ikCount);

    // Morphs: the first one holds absolute positions of vertices; later ones name places
    // in its list and hold offsets from them.
    uint16_t morphCount = 0;
    if (!c.readU16(morphCount) || !c.fits(morphCount, kMorphHeaderBytes)) return refuse.truncated("morphs", c);
    if (morphCount) {
        model.morphs = new (std::nothrow) cMorph[morphCount];
        if (!model.morphs) return refuse("morphs", c.offset(), "out of memory");
    }
    for (uint32_t i = 0; i < morphCount; ++i) {
        const std::size_t recordStart = c.offset();
        char morphName[kNameBytes + 1];
        c.readBytes(morphName, kNameBytes);
        morphName[kNameBytes] = '\0';
        const uint8_t* def = c.here();
        uint32_t entryCount = 0;
        c.readU32(entryCount);
        c.skip(1);  // panel
        if (!c.fits(entryCount, kMorphDefEntryBytes)) return refuse.truncated("morphs", c);
        const uint8_t* entries = c.take(std::size_t(entryCount) * kMorphDefEntryBytes);
        // Vertex numbers of the base morph index vertices; those of the others index the
        // base morph's entries.
        const uint32_t limit = i == 0 ? vertexCount : static_cast<uint32_t>(model.morphs[0].vertexCount);
        for (uint32_t k = 0; k < entryCount; ++k) {
            uint32_t vertex;
            std::memcpy(&vertex, entries + k * kMorphDefEntryBytes, 4);
            if (vertex >= limit)
                return refuse("morphs", recordStart + kMorphHeaderBytes + k * kMorphDefEntryBytes,
                              modelload::format("morph %u: entry %u names %s %u (%u there)", i, k,
                                                i == 0 ? "vertex" : "base entry", vertex, limit));
        }
        initMorph(model.morphs[i], def, morphName, &model.morphs[0], nullptr);
        if (model.morphs[i].vertexCount != static_cast<int32_t>(entryCount))
            return refuse("morphs", recordStart, modelload::format("morph %u: out of memory", i));
        model.morphCount = static_cast<uint16_t>(i + 1);
    }

    // Display lists: the morph list, the bone group names and the displayed bones.
    uint8_t listCount = 0, groupCount = 0;
    uint32_t displayedBones = 0;
    if (!c.readU8(listCount) || !c.skip(2 * std::size_t(listCount)) || !c.readU8(groupCount) ||
        !c.skip(kDisplayGroupNameBytes * groupCount) || !c.readU32(displayedBones) ||
        !c.fits(displayedBones, kDisplayedBoneBytes) || !c.skip(kDisplayedBoneBytes * std::size_t(displayedBones)))
        return refuse.truncated("display lists", c);

    // Optional sections: a file may stop before any of them. Without the toon names the
    // numbers stand for the authoring program's ten shared ramps, so the materials get
    // their ramps however the optional sections end.
    std::string toonNames[kSharedToonCount];
    for (int i = 0; i < kSharedToonCount; ++i) toonNames[i] = sharedToonName(i);
    auto assignToons = [&]() {
        for (uint32_t i = 0; i < materialCount; ++i) {
            if (toonNumbers[i] < kSharedToonCount)
                model.materials[i].toonTexture = acquireToonTexture(model, toonNames[toonNumbers[i]].c_str());
        }
    };
    if (c.remaining() == 0) return assignToons(), true;
    uint8_t hasEnglish = 0;
    c.readU8(hasEnglish);
    if (hasEnglish) {
        const std::size_t englishBytes = kNameBytes + kCommentBytes + kNameBytes * std::size_t(boneCount) +
                                         kNameBytes * std::size_t(morphCount ? morphCount - 1 : 0) +
                                         kDisplayGroupNameBytes * std::size_t(groupCount);
        if (!c.skip(englishBytes)) return assignToons(), cutOptional("English names", c);
    }
    // Older files end after the English names.
    if (c.remaining() == 0) return assignToons(), true;
    const uint8_t* toonField = c.take(kToonNamesBytes);
    if (!toonField) return assignToons(), cutOptional("toon names", c);
    for (int i = 0; i < kSharedToonCount; ++i) {
        const char* entry = reinterpret_cast<const char*>(toonField + 100 * i);
        toonNames[i].assign(entry, strnlen(entry, 100));
    }
    assignToons();
    if (c.remaining() == 0) return true;

    uint32_t bodyCount = 0;
    if (!c.readU32(bodyCount) || !c.fits(bodyCount, kRigidBodyBytes)) return cutOptional("rigid bodies", c);
    for (uint32_t i = 0; i < bodyCount; ++i) {
        const std::size_t recordStart = c.offset();
        uint16_t boneNumber;
        c.skip(kNameBytes);
        c.readU16(boneNumber);
        RigidBodyDef definition;
        readRigidBodyDef(c, definition);
        model.rigidBodyDefs.push_back({boneNumber == kNoBone ? -1 : int32_t(boneNumber), definition});
        if (boneNumber != kNoBone && boneNumber >= boneCount)
            return refuse("rigid bodies", recordStart,
                          modelload::format("body %u: bone %u out of range (%u bones)", i, boneNumber, boneCount));
    }

    if (c.remaining() == 0) return true;
    uint32_t jointCount = 0;
    if (!c.readU32(jointCount) || !c.fits(jointCount, kJointBytes)) {
        // Simulated bodies without their joints would fall away with the bones they move.
        model.rigidBodyDefs.clear();
        return cutOptional("joints", c, " and its rigid bodies");
    }
    for (uint32_t i = 0; i < jointCount; ++i) {
        const std::size_t recordStart = c.offset();
        uint32_t a, b;
        c.skip(kNameBytes);
        c.readU32(a);
        c.readU32(b);
        JointDef definition;
        readJointDef(c, definition);
        model.jointDefs.push_back({int32_t(a), int32_t(b), 0, definition});
        if (a >= bodyCount || b >= bodyCount)
            return refuse("joints", recordStart,
                          modelload::format("joint %u: bodies %u and %u, but %u rigid bodies", i, a, b, bodyCount));
    }
    return true;
}
