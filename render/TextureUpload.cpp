#include "render/TextureUpload.h"

#include <GL/gl.h>
#include <GL/glext.h>

#include <vector>

#include "platform/GLProcs.h"

namespace {

// Which names hold translucent pixels, indexed by name. Names are small and reused,
// so a flat table stays short; it is only written at upload and delete.
std::vector<uint8_t> g_alphaByName;

void rememberAlpha(GLuint name, bool alpha) {
    if (name >= g_alphaByName.size()) g_alphaByName.resize(std::size_t(name) + 1, 0);
    g_alphaByName[name] = alpha ? 1 : 0;
}

// Every texture repeats; a small character on the marker must not shimmer, so
// minification blends between mip levels wherever the levels exist.
GLuint createBoundTexture(bool mipmapped) {
    GLuint name = 0;
    glGenTextures(1, &name);
    glBindTexture(GL_TEXTURE_2D, name);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, mipmapped ? GL_LINEAR_MIPMAP_LINEAR : GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_REPEAT);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_REPEAT);
    return name;
}

void prioritize(GLuint name) {
    const GLclampf priority = 1.0f;
    glPrioritizeTextures(1, &name, &priority);
}

}  // namespace

bool imageHasAlpha(const DecodedImage& image) {
    if (image.compressedFormat)
        return image.compressedFormat == GL_COMPRESSED_RGBA_S3TC_DXT3_EXT ||
               image.compressedFormat == GL_COMPRESSED_RGBA_S3TC_DXT5_EXT;
    for (std::size_t i = 3; i < image.rgba.size(); i += 4) {
        if (image.rgba[i] != 255) return true;
    }
    return false;
}

int32_t uploadTextureGL(const DecodedImage& image) {
    if (image.width <= 0 || image.height <= 0) return -1;
    if (image.compressedFormat) {
        if (!p_glCompressedTexImage2DARB || image.levels.empty() || image.levels.size() != image.levelSizes.size())
            return -1;
        // A chain that stops short of 1x1 is still complete up to its last level.
        const bool mipmapped = image.levels.size() > 1;
        const GLuint name = createBoundTexture(mipmapped);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, GLint(image.levels.size() - 1));
        for (std::size_t i = 0; i < image.levels.size(); ++i) {
            p_glCompressedTexImage2DARB(GL_TEXTURE_2D, GLint(i), image.compressedFormat, image.levelSizes[i].first,
                                        image.levelSizes[i].second, 0, GLsizei(image.levels[i].size()),
                                        image.levels[i].data());
        }
        prioritize(name);
        rememberAlpha(name, imageHasAlpha(image));
        return int32_t(name);
    }
    if (image.rgba.size() != std::size_t(image.width) * std::size_t(image.height) * 4) return -1;
    const GLuint name = createBoundTexture(true);
    glTexParameteri(GL_TEXTURE_2D, GL_GENERATE_MIPMAP, GL_TRUE);
    // Pictures from the general loader have no alpha of their own; theirs is 255.
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, image.width, image.height, 0, GL_RGBA, GL_UNSIGNED_BYTE, image.rgba.data());
    prioritize(name);
    rememberAlpha(name, imageHasAlpha(image));
    return int32_t(name);
}

bool textureHasAlpha(int32_t glName) {
    return glName >= 0 && std::size_t(glName) < g_alphaByName.size() && g_alphaByName[std::size_t(glName)] != 0;
}

void deleteTextureGL(uint32_t glName) {
    const GLuint name = glName;
    glDeleteTextures(1, &name);
    if (name < g_alphaByName.size()) g_alphaByName[name] = 0;
}
