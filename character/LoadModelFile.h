// Reading a PMD or PMX model file into a cModel.
//
// loadModelFile is the one entry for both formats: the content decides, never the file
// name (PMD is tried first, then PMX on the same bytes). A file that fails is refused
// with a reason naming the section and the offset, and the model is left empty (never
// half built). Loading creates textures, so it runs on the thread that owns the GL
// context (or with a texture uploader installed, see render/Texture.h).
#pragma once

#include <cstdio>
#include <string>

#include "character/Model.h"
#include "model/ModelLoader.h"

class PhysicsWorld;

// Reads the whole of file, closes it, empties model (releaseModel, the motion player's
// tables) and parses the bytes. fileName only names the file in messages (may be null).
// On failure the reason goes to standard error as "FILE: REASON" and, when error is
// given, into *error; model is left empty. Returns true when either parser succeeded.
// A file that cannot be read is reported the same way and leaves model untouched.
// A model read is then given its skinning buffers and its rigid bodies and joints in
// world (none without a world: a tool that only reads the model).
bool loadModelFile(cModel& model, std::FILE* file, PhysicsWorld* world, const char* fileName = nullptr,
                   std::string* error = nullptr, ModelFileInfo* info = nullptr);

// Opens path (UTF-8) and loads it as above. A file that cannot be opened is reported the
// same way and leaves model untouched.
bool loadModelFile(cModel& model, const char* path, PhysicsWorld* world, std::string* error = nullptr,
                   ModelFileInfo* info = nullptr);
