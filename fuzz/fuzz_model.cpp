// PMD and PMX bytes through the one entry the program uses (content decides the format),
// with textures decoded from the working directory and handed to a fake uploader.
#include <cstdio>

#include "FuzzSupport.h"
#include "render/ModelDraw.h"
#include "character/LoadModelFile.h"
#include "render/Texture.h"

namespace {

int32_t g_nextName = 1;

int32_t fakeUpload(const DecodedImage& image, void*) {
    // Touch the pixels so a decoder that sized them wrongly is caught here.
    volatile uint8_t sink = 0;
    if (!image.rgba.empty()) sink = image.rgba.back();
    for (const auto& level : image.levels)
        if (!level.empty()) sink = level.back();
    (void)sink;
    return g_nextName++;
}

void fakeDelete(uint32_t, void*) {}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::noDialogs();
    setTextureUploader(fakeUpload, nullptr);
    setTextureDeleter(fakeDelete, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;  // fmemopen refuses an empty buffer
    std::FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (!file) return 0;
    cModel model{};
    std::string error;
    ModelFileInfo info;
    loadModelFile(model, file, nullptr, "fuzz.model", &error, &info);
    destroyModel(model);
    return 0;
}
