#include "model/TextureUpload.h"

#include <GL/gl.h>

#include "platform/GLProcs.h"

namespace {

// Every texture gets the same sampling: linear, repeating, no mipmap filter (a DDS
// file's stored levels are uploaded but not used for minification).
GLuint createBoundTexture() {
    GLuint name = 0;
    glGenTextures(1, &name);
    glBindTexture(GL_TEXTURE_2D, name);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
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

int32_t uploadTextureGL(const DecodedImage& image) {
    if (image.width <= 0 || image.height <= 0) return -1;
    if (image.compressedFormat) {
        if (!p_glCompressedTexImage2DARB || image.levels.empty() || image.levels.size() != image.levelSizes.size())
            return -1;
        const GLuint name = createBoundTexture();
        for (std::size_t i = 0; i < image.levels.size(); ++i) {
            p_glCompressedTexImage2DARB(GL_TEXTURE_2D, GLint(i), image.compressedFormat, image.levelSizes[i].first,
                                        image.levelSizes[i].second, 0, GLsizei(image.levels[i].size()),
                                        image.levels[i].data());
        }
        prioritize(name);
        return int32_t(name);
    }
    if (image.rgba.size() != std::size_t(image.width) * std::size_t(image.height) * 4) return -1;
    const GLuint name = createBoundTexture();
    // Pictures from the general loader have no alpha of their own; theirs is 255.
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, image.width, image.height, 0, GL_RGBA, GL_UNSIGNED_BYTE, image.rgba.data());
    prioritize(name);
    return int32_t(name);
}

void deleteTextureGL(uint32_t glName) {
    const GLuint name = glName;
    glDeleteTextures(1, &name);
}
