#include "character/LoadModelFile.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "animation/MotionPlayer.h"
#include "physics/ModelBodies.h"
#include "platform/HostUI.h"

namespace {

// The name and the PMX header fields describe the file last read; a PMD file or a
// refused one must not inherit them.
void forgetHeader(cModel& model) {
    model.name[0] = '\0';
    model.pmxTextEncoding = model.pmxAdditionalUVCount = 0;
    model.pmxVertexIndexSize = model.pmxTextureIndexSize = model.pmxMaterialIndexSize = 0;
    model.pmxBoneIndexSize = model.pmxMorphIndexSize = model.pmxRigidBodyIndexSize = 0;
}

void report(const char* fileName, const std::string& reason, std::string* error) {
    const char* name = fileName && *fileName ? fileName : "model file";
    std::fprintf(stderr, "%s: %s\n", name, reason.c_str());
    if (error) *error = reason;
}

// The bodies and joints of the definitions just read, and what a PMX model's users are
// told about them: one note per kind of thing left out or changed, in one message.
void makeBodies(cModel& model, PhysicsWorld* world) {
    BodyBuildReport built;
    if (world) built = buildModelBodies(*world, model, model.physics);
    for (const std::string& problem : built.problems) std::fprintf(stderr, "%s\n", problem.c_str());
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
    // Without a world (a tool that only reads the model) nothing is simulated anyway.
    if (world && built.bodiesLeftOut > 0)
        note(modelload::format("%d of %d rigid bodies are not simulated", built.bodiesLeftOut, bodyCount));
    if (otherKinds > 0) note(modelload::format("%d joints of other kinds are made spring joints", otherKinds));
    if (world && built.jointsLeftOut > 0)
        note(modelload::format("%d of %d joints are left out", built.jointsLeftOut, jointCount));
    if (model.softBodyCount != 0) note(modelload::format("%d soft bodies are not simulated", model.softBodyCount));
    if (!notes.empty()) showMessage("PMX physics", notes.c_str());
}

}  // namespace

bool loadModelFile(cModel& model, std::FILE* file, PhysicsWorld* world, const char* fileName, std::string* error,
                   ModelFileInfo* info) {
    if (!file) {
        report(fileName, "no file to read", error);
        return false;
    }
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
    if (!readOk) {
        report(fileName, tooLarge ? "file too large to read into memory" : "cannot read the file", error);
        return false;
    }

    releaseModel(model);
    clearMotionPlayer(model.motion);
    model.lookAtCamera = 0;
    model.format = 0;
    forgetHeader(model);

    std::string reason;
    if (info) *info = ModelFileInfo();
    bool ok = loadPMD(model, bytes.data(), bytes.size(), &reason, info);
    if (!ok && reason.empty()) {
        model.format = 1;
        ok = loadPMX(bytes.data(), model, bytes.size(), &reason, info);
        if (!ok && reason.empty()) reason = "neither a PMD nor a PMX 2.0/2.1 model";
    }
    if (!ok) {
        // Never leave a half-built model behind: later code trusts every array it finds.
        releaseModel(model);
        forgetHeader(model);
        report(fileName, reason, error);
        return false;
    }
    model.skin.prepare(model.vertexCount);
    makeBodies(model, world);
    if (error) error->clear();
    return true;
}

bool loadModelFile(cModel& model, const char* path, PhysicsWorld* world, std::string* error, ModelFileInfo* info) {
    std::FILE* file = std::fopen(path, "rb");
    if (!file) {
        report(path, modelload::format("cannot open: %s", std::strerror(errno)), error);
        return false;
    }
    return loadModelFile(model, file, world, path, error, info);
}
