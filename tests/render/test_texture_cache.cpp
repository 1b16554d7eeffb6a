// The per-model texture caches (through the upload and delete hooks) and the GL upload.
#include <gtest/gtest.h>
#include <GL/gl.h>
#include <GL/glext.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "common/GLContext.h"
#include "render/Texture.h"
#include "render/TextureUpload.h"
#include "platform/GLProcs.h"
#include "image/test_texture_helpers.h"

using namespace texturetest;

namespace {

// Stands in for the GL: hands out increasing names and records uploads and deletes.
struct FakeGL {
    int32_t nextName = 100;
    bool failUploads = false;
    std::vector<std::pair<int, int>> uploadedSizes;
    std::vector<uint32_t> deleted;

    static int32_t upload(const DecodedImage& image, void* user) {
        auto* gl = static_cast<FakeGL*>(user);
        if (gl->failUploads) return -1;
        gl->uploadedSizes.emplace_back(image.width, image.height);
        return gl->nextName++;
    }
    static void remove(uint32_t name, void* user) { static_cast<FakeGL*>(user)->deleted.push_back(name); }
};

std::vector<uint8_t> bmp24(int width, int height) {
    const auto rgba = testPicture(width, height);
    const std::size_t stride = ((24 * std::size_t(width) + 31) / 32) * 4;
    std::vector<uint8_t> f{'B', 'M'};
    put32(f, uint32_t(54 + stride * height));
    put32(f, 0);
    put32(f, 54);
    put32(f, 40);
    put32(f, uint32_t(width));
    put32(f, uint32_t(height));
    put16(f, 1);
    put16(f, 24);
    f.resize(54, 0);
    for (int y = height - 1; y >= 0; --y) {
        std::vector<uint8_t> line(stride, 0);
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c) line[3 * x + c] = rgba[(std::size_t(y) * width + x) * 4 + 2 - c];
        f.insert(f.end(), line.begin(), line.end());
    }
    return f;
}

std::size_t cacheLength(const TextureCache& cache) { return cache.size(); }

class TextureCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = scratchDir("texture_cache");
        writeFile(dir_ + "/face.bmp", bmp24(8, 4));
        writeFile(dir_ + "/hair.bmp", bmp24(2, 2));
        ASSERT_NE(getcwd(oldDir_, sizeof oldDir_), nullptr);
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        setTextureUploader(FakeGL::upload, &gl_);
        setTextureDeleter(FakeGL::remove, &gl_);
    }
    void TearDown() override {
        clearTextureCache(cache_);
        setTextureUploader(nullptr, nullptr);
        setTextureDeleter(nullptr, nullptr);
        EXPECT_EQ(chdir(oldDir_), 0);
    }

    std::string dir_;
    char oldDir_[4096];
    FakeGL gl_;
    TextureCache cache_;
};

TEST_F(TextureCacheTest, MaterialsNamingOneFileShareOneTexture) {
    const int32_t a = acquireTexture(cache_, "face.bmp");
    const int32_t b = acquireTexture(cache_, "face.bmp");
    EXPECT_EQ(a, 100);
    EXPECT_EQ(b, a);
    ASSERT_EQ(gl_.uploadedSizes.size(), 1u) << "read and uploaded once";
    EXPECT_EQ(gl_.uploadedSizes[0], std::make_pair(8, 4));
    ASSERT_EQ(cacheLength(cache_), 1u);
    EXPECT_EQ(cache_.back().refCount, 2);
    EXPECT_STREQ(cache_.back().fileName, "face.bmp");

    // The key is the name as written: another spelling of the same file loads again.
    const int32_t c = acquireTexture(cache_, "FACE.bmp");
    EXPECT_EQ(c, 101);
    EXPECT_EQ(gl_.uploadedSizes.size(), 2u);
    EXPECT_EQ(cacheLength(cache_), 2u);
    EXPECT_STREQ(cache_.back().fileName, "FACE.bmp") << "the newest entry";

    // Separate caches (main textures and sphere maps) do not share.
    TextureCache spheres;
    EXPECT_EQ(acquireTexture(spheres, "face.bmp"), 102);
    clearTextureCache(spheres);
    EXPECT_TRUE(spheres.empty());
}

TEST_F(TextureCacheTest, ReleaseDeletesOnlyWithTheLastReference) {
    const int32_t face = acquireTexture(cache_, "face.bmp");
    acquireTexture(cache_, "face.bmp");
    const int32_t hair = acquireTexture(cache_, "hair.bmp");
    ASSERT_GE(face, 0);
    ASSERT_GE(hair, 0);

    releaseTexture(uint32_t(face), cache_);
    EXPECT_TRUE(gl_.deleted.empty());
    EXPECT_EQ(cacheLength(cache_), 2u);
    releaseTexture(uint32_t(face), cache_);
    EXPECT_EQ(gl_.deleted, std::vector<uint32_t>{uint32_t(face)});
    ASSERT_EQ(cacheLength(cache_), 1u);
    EXPECT_EQ(cache_.back().glName, uint32_t(hair));

    releaseTexture(12345, cache_);  // not in the cache: nothing happens
    releaseTexture(uint32_t(face), cache_);
    EXPECT_EQ(gl_.deleted.size(), 1u);
    EXPECT_EQ(cacheLength(cache_), 1u);

    // After a release to zero the same file loads afresh.
    const int32_t again = acquireTexture(cache_, "face.bmp");
    EXPECT_EQ(again, gl_.nextName - 1);
    EXPECT_EQ(gl_.uploadedSizes.size(), 3u);
}

TEST_F(TextureCacheTest, ClearDeletesEverythingWhateverTheCounts) {
    const int32_t face = acquireTexture(cache_, "face.bmp");
    acquireTexture(cache_, "face.bmp");
    acquireTexture(cache_, "face.bmp");
    const int32_t hair = acquireTexture(cache_, "hair.bmp");
    clearTextureCache(cache_);
    EXPECT_TRUE(cache_.empty());
    std::vector<uint32_t> deleted = gl_.deleted;
    std::sort(deleted.begin(), deleted.end());
    EXPECT_EQ(deleted, (std::vector<uint32_t>{uint32_t(face), uint32_t(hair)}));
    clearTextureCache(cache_);  // an empty cache is fine
    EXPECT_EQ(gl_.deleted.size(), 2u);
}

TEST_F(TextureCacheTest, FailuresAddNothing) {
    std::string reason;
    EXPECT_EQ(acquireTexture(cache_, "missing.bmp", &reason), -1);
    EXPECT_TRUE(cache_.empty());
    EXPECT_NE(reason.find("missing.bmp"), std::string::npos) << reason;
    EXPECT_EQ(acquireTexture(cache_, nullptr), -1);
    EXPECT_EQ(acquireTexture(cache_, ""), -1);
    EXPECT_EQ(acquireTexture(cache_, "."), -1) << "a folder";

    writeFile(dir_ + "/junk.bmp", {'B', 'M', 1, 2, 3});
    EXPECT_EQ(acquireTexture(cache_, "junk.bmp"), -1);
    EXPECT_TRUE(cache_.empty());

    gl_.failUploads = true;
    EXPECT_EQ(acquireTexture(cache_, "face.bmp"), -1);
    EXPECT_TRUE(cache_.empty());
    EXPECT_TRUE(gl_.uploadedSizes.empty());
}

TEST_F(TextureCacheTest, KeepsNamesAsLongAsTheNodeHolds) {
    // Folders make a long but valid name; the node holds 511 bytes of it.
    std::string name = "face.bmp";
    while (name.size() < 505) name = "./" + name;
    ASSERT_GE(acquireTexture(cache_, name.c_str()), 0);
    ASSERT_GE(acquireTexture(cache_, name.c_str()), 0);
    EXPECT_EQ(cacheLength(cache_), 1u);
    EXPECT_EQ(cache_.back().refCount, 2);
    while (name.size() < 600) name = "./" + name;
    const int32_t longName = acquireTexture(cache_, name.c_str());
    ASSERT_GE(longName, 0);
    releaseTexture(uint32_t(longName), cache_);
    EXPECT_EQ(gl_.deleted, std::vector<uint32_t>{uint32_t(longName)});
}

// ---- The GL upload, on a real (software) context. ----

std::vector<uint8_t> readTexture(GLuint name, int width, int height) {
    std::vector<uint8_t> pixels(std::size_t(width) * height * 4);
    glBindTexture(GL_TEXTURE_2D, name);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    return pixels;
}

TEST(TextureUpload, UploadsPixelsAndStoredBlocks) {
    if (!ensureGLContext(64, 64)) GTEST_SKIP() << "no X display for a GL context";
    loadGLProcs();

    DecodedImage image;
    image.width = 7;  // rows of 28 bytes: alignment 4 holds
    image.height = 5;
    image.rgba = testPicture(7, 5, true);
    const int32_t name = uploadTextureGL(image);
    ASSERT_GT(name, 0);
    EXPECT_TRUE(glIsTexture(GLuint(name)));
    EXPECT_EQ(readTexture(GLuint(name), 7, 5), image.rgba);
    GLint filter = 0, wrap = 0;
    glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, &filter);
    glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, &wrap);
    EXPECT_EQ(filter, GL_LINEAR_MIPMAP_LINEAR);  // the driver built the levels
    EXPECT_EQ(wrap, GL_REPEAT);
    deleteTextureGL(uint32_t(name));
    EXPECT_FALSE(glIsTexture(GLuint(name)));

    DecodedImage empty;
    EXPECT_EQ(uploadTextureGL(empty), -1);

    if (!p_glCompressedTexImage2DARB) GTEST_SKIP() << "no compressed textures";
    // One DXT1 block per level: colour 0 pure red (RGB565 0xF800), every index 0.
    DecodedImage dxt;
    dxt.width = 4;
    dxt.height = 4;
    dxt.compressedFormat = GL_COMPRESSED_RGBA_S3TC_DXT1_EXT;
    const std::vector<uint8_t> redBlock{0x00, 0xF8, 0x00, 0x00, 0, 0, 0, 0};
    for (std::pair<int, int> size : {std::make_pair(4, 4), std::make_pair(2, 2), std::make_pair(1, 1)}) {
        dxt.levels.push_back(redBlock);
        dxt.levelSizes.push_back(size);
    }
    const int32_t compressed = uploadTextureGL(dxt);
    ASSERT_GT(compressed, 0);
    const auto pixels = readTexture(GLuint(compressed), 4, 4);
    for (std::size_t i = 0; i < pixels.size(); i += 4) {
        ASSERT_EQ(pixels[i], 255) << i;
        ASSERT_EQ(pixels[i + 1], 0);
        ASSERT_EQ(pixels[i + 2], 0);
        ASSERT_EQ(pixels[i + 3], 255);
    }
    GLint levelWidth = 0;
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 2, GL_TEXTURE_WIDTH, &levelWidth);
    EXPECT_EQ(levelWidth, 1) << "every stored level uploaded";
    glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, &filter);
    EXPECT_EQ(filter, GL_LINEAR_MIPMAP_LINEAR) << "the stored levels are used";
    deleteTextureGL(uint32_t(compressed));
}

TEST(TextureUpload, CacheUsesTheGLByDefault) {
    if (!ensureGLContext(64, 64)) GTEST_SKIP() << "no X display for a GL context";
    SKIP_WITHOUT_REAL_TEXTURES();
    TextureCache cache;
    const std::string path = realTexture("png/pngsuite/basn6a08.png");
    std::string reason;
    const int32_t name = acquireTexture(cache, path.c_str(), &reason);
    ASSERT_GT(name, 0) << reason;
    EXPECT_TRUE(glIsTexture(GLuint(name)));
    EXPECT_EQ(acquireTexture(cache, path.c_str()), name);
    releaseTexture(uint32_t(name), cache);
    EXPECT_TRUE(glIsTexture(GLuint(name)));
    releaseTexture(uint32_t(name), cache);
    EXPECT_FALSE(glIsTexture(GLuint(name)));
    EXPECT_TRUE(cache.empty());
}

}  // namespace

namespace {

// Overwrites a file in place with bytes of the same length and gives it back its old
// modification time, so only a fresh decode could tell it changed.
void replaceKeepingIdentity(const std::string& path, const std::vector<uint8_t>& bytes) {
    struct stat before;
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    std::FILE* f = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    std::fclose(f);
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

}  // namespace

TEST_F(TextureCacheTest, PrefetchedPicturesAreDecodedOnceForEverySpellingAndCache) {
    prefetchTextures({"face.bmp", "./face.bmp", "hair.bmp", "", "missing.bmp"});
    // Were face.bmp decoded again from here on, it would fail: its bytes are now junk.
    const std::size_t size = bmp24(8, 4).size();
    replaceKeepingIdentity(dir_ + "/face.bmp", std::vector<uint8_t>(size, 0x5a));

    TextureCache spheres, other;
    EXPECT_GE(acquireTexture(cache_, "face.bmp"), 0);
    EXPECT_GE(acquireTexture(spheres, "./face.bmp"), 0);
    EXPECT_GE(acquireTexture(other, "hair.bmp"), 0);
    ASSERT_EQ(gl_.uploadedSizes.size(), 3u);
    EXPECT_EQ(gl_.uploadedSizes[0], std::make_pair(8, 4));
    EXPECT_EQ(gl_.uploadedSizes[1], std::make_pair(8, 4));
    EXPECT_EQ(gl_.uploadedSizes[2], std::make_pair(2, 2));
    std::string reason;
    EXPECT_EQ(acquireTexture(other, "missing.bmp", &reason), -1);
    EXPECT_NE(reason.find("missing.bmp"), std::string::npos) << reason;

    // The next model's prefetch keeps what it names too; a file changed since (a new
    // modification time) is decoded afresh, and here fails as junk does.
    prefetchTextures({"hair.bmp"});
    TextureCache later;
    EXPECT_GE(acquireTexture(later, "hair.bmp"), 0);
    ASSERT_EQ(utimensat(AT_FDCWD, (dir_ + "/face.bmp").c_str(), nullptr, 0), 0);
    prefetchTextures({"face.bmp"});
    EXPECT_EQ(acquireTexture(later, "face.bmp", &reason), -1);
    EXPECT_NE(reason.find("face.bmp"), std::string::npos) << reason;

    dropPrefetchedTextures();
    clearTextureCache(spheres);
    clearTextureCache(other);
    clearTextureCache(later);
}
