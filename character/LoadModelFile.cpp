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
#include "physics/ModelBodies.h"

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
    for (uint32_t i = 0; i < model.boneCount(); ++i) {
        resetBonePose(model.bones[i]);
        setIdentityMatrix4(model.bones[i].skinMatrix);
    }
    if (model.format == 1) buildDeformOrder(model, model.deformOrder);
}

// The bodies and joints of the definitions just read, in world (none without a world: a
// tool that only reads the model). What physics could not make comes back as lines for
// standard error; what a PMX model's users are told about its physics, as one note.
void makeBodies(cModel& model, PhysicsWorld* world, LoadResult& result) {
    BodyBuildReport built;
    if (world) built = buildModelBodies(*world, model, model.physics);
    for (const std::string& problem : built.problems) result.warn(problem);
    if (model.format != 1) return;

    std::string notes;
    auto note = [&notes](const std::string& text) {
        if (!notes.empty()) notes += "\n";
        notes += text;
    };
    int withoutBone = 0, otherKinds = 0;
    for (const RigidBodyRecord& r : model.rigidBodyDefs) withoutBone += r.bone == -1;
    for (const JointRecord& j : model.jointDefs) otherKinds += j.type != 0;
    const int bodyCount = static_cast<int>(model.rigidBodyDefs.size());
    const int jointCount = static_cast<int>(model.jointDefs.size());
    if (withoutBone > 0)
        note(modelload::format("%d rigid bodies name no bone; %s", withoutBone,
                               findBone(model, cp932::kCentre) ? "they follow the centre bone"
                                                               : "the model has no centre bone to follow"));
    if (world && built.bodiesLeftOut > 0)
        note(modelload::format("%d of %d rigid bodies are not simulated", built.bodiesLeftOut, bodyCount));
    if (otherKinds > 0) note(modelload::format("%d joints of other kinds are made spring joints", otherKinds));
    if (world && built.jointsLeftOut > 0)
        note(modelload::format("%d of %d joints are left out", built.jointsLeftOut, jointCount));
    if (model.softBodyCount != 0) note(modelload::format("%d soft bodies are not simulated", model.softBodyCount));
    if (!notes.empty()) result.warn(notes, {}, "PMX physics");
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

LoadResult loadModel(cModel& model, std::FILE* file, const char* fileName, ModelFileInfo* info, PhysicsWorld* world) {
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
    return loadModelBytes(model, bytes.data(), bytes.size(), fileName, info, world);
}

LoadResult loadModelBytes(cModel& model, const uint8_t* data, std::size_t size, const char* fileName,
                          ModelFileInfo* info, PhysicsWorld* world) {
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
    model.skin.prepare(model.vertexCount);
    makeBodies(model, world, result);
    result.inFile(fileName && *fileName ? fileName : "model file");
    return result;
}

LoadResult loadModel(cModel& model, const char* path, ModelFileInfo* info, PhysicsWorld* world) {
    std::FILE* file = std::fopen(path, "rb");
    if (!file) return refused(modelload::format("cannot open: %s", std::strerror(errno)), path);
    return loadModel(model, file, path, info, world);
}

bool loadModelFile(cModel& model, std::FILE* file, PhysicsWorld* world, const char* fileName, std::string* error,
                   ModelFileInfo* info) {
    const LoadResult result = loadModel(model, file, fileName, info, world);
    if (error) *error = result ? std::string() : refusalText(result.problem());
    return result.ok();
}

bool loadModelFile(cModel& model, const char* path, PhysicsWorld* world, std::string* error, ModelFileInfo* info) {
    const LoadResult result = loadModel(model, path, info, world);
    if (error) *error = result ? std::string() : refusalText(result.problem());
    return result.ok();
}
