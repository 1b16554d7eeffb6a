#include "character/LoadModelFile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "animation/DeformOrder.h"
#include "animation/MathUtil.h"
#include "animation/MotionPlayer.h"
#include "animation/Skeleton.h"
#include "physics/PhysicsWorld.h"
#include "physics/PmxBodies.h"
#include "physics/RigidBody.h"

namespace {

// The name and the PMX header fields describe the file last read; a PMD file or a
// refused one must not inherit them.
void forgetHeader(cModel& model) {
    model.name[0] = '\0';
    model.pmxTextEncoding = model.pmxAdditionalUVCount = 0;
    model.pmxVertexIndexSize = model.pmxTextureIndexSize = model.pmxMaterialIndexSize = 0;
    model.pmxBoneIndexSize = model.pmxMorphIndexSize = model.pmxRigidBodyIndexSize = 0;
}

LoadResult refused(std::string what, const char* fileName) {
    LoadResult r = LoadResult::refuse(std::move(what));
    r.inFile(fileName && *fileName ? fileName : "model file");
    return r;
}

// Every bone at its rest pose, and for PMX the deform order: what animation starts from
// and what the bodies are placed around.
void poseAtRest(cModel& model) {
    for (uint32_t i = 0; i < model.boneCount; ++i) {
        resetBonePose(model.bones[i]);
        setIdentityMatrix4(model.bones[i].skinMatrix);
    }
    if (model.format == 1) buildDeformOrder(model);
}

// Skinning's output, one position and one normal per vertex.
bool allocateSkinnedVertices(cModel& model) {
    const std::size_t n = 3 * std::size_t(model.vertexCount ? model.vertexCount : 1);
    model.skinnedPositions = static_cast<float*>(std::malloc(sizeof(float) * n));
    model.skinnedNormals = static_cast<float*>(std::malloc(sizeof(float) * n));
    return model.skinnedPositions && model.skinnedNormals;
}

// PMD bodies are placed relative to their bone; a body without a bone follows the centre.
void createPmdBodies(cModel& model) {
    const std::size_t bodyCount = model.rigidBodyDefs.size();
    if (bodyCount) {
        model.rigidBodies = new cPMDRigidBody[bodyCount];
        model.rigidBodyCount = static_cast<uint32_t>(bodyCount);
    }
    cBone* centre = findBone(model, cp932::kCentre);
    for (std::size_t i = 0; i < bodyCount; ++i) {
        const RigidBodyRecord& r = model.rigidBodyDefs[i];
        createRigidBody(model.rigidBodies[i], r.def, r.bone < 0 ? centre : &model.bones[r.bone]);
    }
    const std::size_t jointCount = model.jointDefs.size();
    if (jointCount) {
        model.joints = new cModelJoint[jointCount];
        model.jointCount = static_cast<uint32_t>(jointCount);
    }
    for (std::size_t i = 0; i < jointCount; ++i) {
        const JointRecord& j = model.jointDefs[i];
        createJoint(model.joints[i], &model.rigidBodies[j.bodyA], &model.rigidBodies[j.bodyB], j.def);
    }
}

// PMX bodies are given in model space. What physics cannot make of the file is told in
// one note: bodies without a bone, bodies and joints left out, joints of other kinds made
// spring joints, soft bodies.
std::string createPmxBodies(cModel& model) {
    std::string notes;
    auto note = [&notes](const std::string& text) {
        if (!notes.empty()) notes += "\n";
        notes += text;
    };
    const int32_t bodyCount = static_cast<int32_t>(model.rigidBodyDefs.size());
    if (bodyCount > 0) {
        model.rigidBodies = new cPMDRigidBody[bodyCount];
        model.rigidBodyCount = static_cast<uint32_t>(bodyCount);
    }
    cBone* centre = findBone(model, cp932::kCentre);
    int withoutBone = 0, leftOut = 0;
    for (int32_t i = 0; i < bodyCount; ++i) {
        const RigidBodyRecord& r = model.rigidBodyDefs[i];
        cBone* bone = r.bone < 0 ? centre : &model.bones[r.bone];
        if (r.bone < 0) ++withoutBone;
        if (!bone || !createPmxRigidBody(model.rigidBodies[i], r.def, bone)) ++leftOut;
    }
    if (withoutBone > 0)
        note(modelload::format("%d rigid bodies name no bone; %s", withoutBone,
                               centre ? "they follow the centre bone" : "the model has no centre bone to follow"));
    // Without a world (a tool that only reads the model) nothing is simulated anyway, and
    // creation has said so once.
    const bool simulating = physicsWorld() != nullptr;
    if (simulating && leftOut > 0) note(modelload::format("%d of %d rigid bodies are not simulated", leftOut, bodyCount));

    const int32_t jointCount = static_cast<int32_t>(model.jointDefs.size());
    if (jointCount > 0) {
        model.joints = new cModelJoint[jointCount];
        model.jointCount = static_cast<uint32_t>(jointCount);
    }
    int otherKinds = 0, jointsLeftOut = 0;
    for (int32_t i = 0; i < jointCount; ++i) {
        const JointRecord& j = model.jointDefs[i];
        if (j.type != 0) ++otherKinds;
        if (j.bodyA < 0 || j.bodyB < 0 ||
            !createJoint(model.joints[i], &model.rigidBodies[j.bodyA], &model.rigidBodies[j.bodyB], j.def)) {
            ++jointsLeftOut;
        }
    }
    if (otherKinds > 0) note(modelload::format("%d joints of other kinds are made spring joints", otherKinds));
    if (simulating && jointsLeftOut > 0) note(modelload::format("%d of %d joints are left out", jointsLeftOut, jointCount));
    if (model.softBodyCount != 0) note(modelload::format("%d soft bodies are not simulated", model.softBodyCount));
    return notes;
}

// The read's warnings with the textures' put in where the file met them.
LoadResult mergeWarnings(const LoadResult& read, const std::vector<TextureProblem>& problems,
                         const ModelFileInfo& info, uint8_t format) {
    const std::vector<LoadProblem>& warnings = read.warnings();
    auto placeOf = [&](const TextureProblem& p) {
        if (p.toon && format == 0) return info.warningsBeforeToons;
        return p.material < info.warningsBeforeMaterial.size() ? info.warningsBeforeMaterial[p.material]
                                                               : warnings.size();
    };
    LoadResult merged;
    auto add = [&merged](const LoadProblem& w) { merged.warn(w.what, w.file, w.section); };
    std::size_t next = 0;
    for (std::size_t k = 0; k <= warnings.size(); ++k) {
        while (next < problems.size() && placeOf(problems[next]) <= k) add(problems[next++].problem);
        if (k < warnings.size()) add(warnings[k]);
    }
    for (; next < problems.size(); ++next) add(problems[next].problem);
    return merged;
}

}  // namespace

LoadResult loadModel(cModel& model, std::FILE* file, const char* fileName, ModelFileInfo* info) {
    if (!file) return refused("no file to read", fileName);
    // Read the whole file first: the parsers work on bytes in memory, and a file that
    // cannot be read must not cost the model it would replace.
    std::vector<uint8_t> bytes;
    bool readOk = std::fseek(file, 0, SEEK_END) == 0;
    long size = readOk ? std::ftell(file) : -1;
    readOk = readOk && size >= 0 && std::fseek(file, 0, SEEK_SET) == 0;
    bool tooLarge = false;
    if (readOk) {
        try {
            bytes.resize(static_cast<std::size_t>(size));
        } catch (const std::bad_alloc&) {
            tooLarge = true;
        }
        readOk = !tooLarge && std::fread(bytes.data(), 1, bytes.size(), file) == bytes.size();
    }
    std::fclose(file);
    if (!readOk) return refused(tooLarge ? "file too large to read into memory" : "cannot read the file", fileName);
    return loadModelBytes(model, bytes.data(), bytes.size(), fileName, info);
}

LoadResult loadModelBytes(cModel& model, const uint8_t* data, std::size_t size, const char* fileName,
                          ModelFileInfo* info) {
    releaseModel(model);
    clearMotionPlayer(model.motion);
    model.lookAtCamera = 0;
    model.format = 0;
    forgetHeader(model);

    ModelFileInfo ownInfo;
    ModelFileInfo& fileInfo = info ? *info : ownInfo;
    fileInfo = ModelFileInfo();
    LoadResult read;
    if (isPMD(data, size)) {
        read = loadPMD(model, data, size, &fileInfo);
    } else if (isPMX(data, size)) {
        model.format = 1;
        read = loadPMX(model, data, size, &fileInfo);
    } else {
        read = LoadResult::refuse("neither a PMD nor a PMX 2.0/2.1 model");
    }
    if (read && !allocateSkinnedVertices(model)) {
        LoadResult outOfMemory = LoadResult::refuse("out of memory", model.format == 0 ? "PMD vertices" : "PMX vertices", 0);
        outOfMemory.takeWarnings(read);
        read = outOfMemory;
    }
    if (!read) {
        // Never leave a half-built model behind: later code trusts every array it finds.
        releaseModel(model);
        forgetHeader(model);
        read.inFile(fileName && *fileName ? fileName : "model file");
        return read;
    }

    poseAtRest(model);
    const std::vector<TextureProblem> problems = makeModelTextures(model.textures, model);
    LoadResult result = mergeWarnings(read, problems, fileInfo, model.format);
    if (model.format == 0) {
        createPmdBodies(model);
    } else {
        const std::string notes = createPmxBodies(model);
        if (!notes.empty()) result.warn(notes, {}, "PMX physics");
    }
    result.inFile(fileName && *fileName ? fileName : "model file");
    return result;
}

LoadResult loadModel(cModel& model, const char* path, ModelFileInfo* info) {
    std::FILE* file = std::fopen(path, "rb");
    if (!file) return refused(modelload::format("cannot open: %s", std::strerror(errno)), path);
    return loadModel(model, file, path, info);
}

bool loadModelFile(cModel& model, std::FILE* file, const char* fileName, std::string* error, ModelFileInfo* info) {
    const LoadResult result = loadModel(model, file, fileName, info);
    if (error) *error = result ? std::string() : refusalText(result.problem());
    return result.ok();
}

bool loadModelFile(cModel& model, const char* path, std::string* error, ModelFileInfo* info) {
    const LoadResult result = loadModel(model, path, info);
    if (error) *error = result ? std::string() : refusalText(result.problem());
    return result.ok();
}
