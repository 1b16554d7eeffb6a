// Per-model texture caches: a file named by several materials is read and uploaded
// once per cache and deleted when its last material lets go of it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/ImageDecoders.h"
#include "model/ModelData.h"

// One texture of a model's texture cache.
struct TextureEntry {
    uint32_t glName = 0;
    int32_t refCount = 0;
    char fileName[512] = {};  // the name exactly as the model gives it (CP932)
};
// Oldest first; lookups run from the newest. The cache owns its entries, not the GL
// textures: clearTextureCache deletes those, with the GL context current.
using TextureCache = std::vector<TextureEntry>;

// Returns the texture name for fileName (CP932, exactly as the model gives it; the
// cache compares names byte for byte, so names differing in case load twice), loading
// and uploading it on first use; -1 when the file cannot be loaded, with why (naming the
// file) in *reason when given. The caller has selected the texture unit the new texture
// is bound on.
int32_t acquireTexture(TextureCache& cache, const char* fileName, std::string* reason = nullptr);

// Drops one reference to glName; the texture is deleted and its node freed when the
// last reference goes. A name the cache does not hold is ignored.
void releaseTexture(uint32_t glName, TextureCache& cache);

// Deletes every texture whatever its reference count, newest first; cache becomes empty.
void clearTextureCache(TextureCache& cache);

// Decodes the named pictures (CP932 names, resolved as loadTextureFile does) side by side
// on the shared worker pool, so that the acquireTexture calls of a model being opened
// only upload. Each file is decoded once however often, and in whatever spelling, it is
// named. The decoded pixels are kept until the next prefetch, so a second model using
// the same pictures (the other slot) does not decode them again; a file changed on disk
// since is decoded afresh. Failures are kept too and reported by the load that asks.
void prefetchTextures(const std::vector<std::string>& cp932Names);

// Frees every picture prefetchTextures kept.
void dropPrefetchedTextures();

// Decodes fileName (see decodeTextureFile) and uploads it through the current
// uploader. Returns the texture name, or -1 with why in *reason when given, naming the
// file, e.g. "face.bmp: cannot open file: No such file or directory".
int32_t loadTextureFile(const char* fileName, std::string* reason = nullptr);

// Upload and delete hooks. By default textures go to the current GL context; tools and
// tests without one install their own (for instance handing out increasing fake names
// and recording what was uploaded). user is passed through unchanged. Passing null
// restores the GL functions. An uploader returns the new name, or -1 on failure.
using TextureUploader = int32_t (*)(const DecodedImage& image, void* user);
using TextureDeleter = void (*)(uint32_t glName, void* user);
void setTextureUploader(TextureUploader uploader, void* user);
void setTextureDeleter(TextureDeleter deleter, void* user);
