// The one place decoded pixels become OpenGL textures. Needs a current GL context.
#pragma once

#include <cstdint>

#include "model/ImageDecoders.h"

// Generates and binds one 2D texture on the active unit (linear filtering, repeat
// wrapping, no mipmaps built) and uploads image: RGBA pixels, or the stored DXT levels
// through glCompressedTexImage2DARB. Returns the name, or -1 when the image is empty or
// compressed textures are not available (nothing is left allocated then).
int32_t uploadTextureGL(const DecodedImage& image);

// Deletes one texture name.
void deleteTextureGL(uint32_t glName);
