// Reading a PMD or PMX model file into a cModel, and making what the model needs from
// its data: the bones at rest, the deform order, the GL textures, the rigid bodies and
// joints in the physics world.
//
// The content decides the format, never the file name (PMD is tried first, then PMX on
// the same bytes). A file that fails is refused with a reason naming the section and the
// offset, and the model is left empty (never half built). Loading creates textures, so
// it runs on the thread that owns the GL context (or with a texture uploader installed,
// see render/Texture.h). Nothing is shown: the caller decides what the user sees.
#pragma once

#include <cstdio>
#include <string>

#include "base/LoadResult.h"
#include "character/Model.h"
#include "model/ModelLoader.h"

class PhysicsWorld;

// Reads the whole of file, closes it, empties model (releaseModel, the motion player's
// tables) and parses the bytes. fileName names the file in the result (may be null).
// Returns success with the warnings of the read, of the textures and of the physics, in
// the order the program shows them (see model/ModelLoader.h for their form), or the
// refusal (refusalText gives its words), with the model left empty. A file that cannot
// be read is refused the same way and leaves model untouched. The rigid bodies and joints
// are made in world; without one (a tool that only reads the model) there are none.
LoadResult loadModel(cModel& model, std::FILE* file, const char* fileName = nullptr, ModelFileInfo* info = nullptr,
                     PhysicsWorld* world = nullptr);

// The same for a file's bytes already in memory.
LoadResult loadModelBytes(cModel& model, const uint8_t* data, std::size_t size, const char* fileName = nullptr,
                          ModelFileInfo* info = nullptr, PhysicsWorld* world = nullptr);

// Opens path (UTF-8) and loads it as above. A file that cannot be opened is refused the
// same way and leaves model untouched.
LoadResult loadModel(cModel& model, const char* path, ModelFileInfo* info = nullptr, PhysicsWorld* world = nullptr);

// The same for callers that only want to know whether it worked: the refusal's words go
// into *error (cleared on success); warnings are not reported.
bool loadModelFile(cModel& model, std::FILE* file, PhysicsWorld* world, const char* fileName = nullptr,
                   std::string* error = nullptr, ModelFileInfo* info = nullptr);
bool loadModelFile(cModel& model, const char* path, PhysicsWorld* world, std::string* error = nullptr,
                   ModelFileInfo* info = nullptr);
