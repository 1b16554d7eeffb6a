// Run-time lookup of OpenGL extension entry points.

#include "platform/GLProcs.h"

#include <GL/glx.h>

#include <cstdio>
#include <cstring>
#include <string>

PFNGLACTIVETEXTUREARBPROC p_glActiveTextureARB = nullptr;
PFNGLCLIENTACTIVETEXTUREARBPROC p_glClientActiveTextureARB = nullptr;
PFNGLCOMPRESSEDTEXIMAGE2DARBPROC p_glCompressedTexImage2DARB = nullptr;
PFNGLGENBUFFERSARBPROC p_glGenBuffersARB = nullptr;
PFNGLBINDBUFFERARBPROC p_glBindBufferARB = nullptr;
PFNGLBUFFERDATAARBPROC p_glBufferDataARB = nullptr;
PFNGLMAPBUFFERARBPROC p_glMapBufferARB = nullptr;
PFNGLUNMAPBUFFERARBPROC p_glUnmapBufferARB = nullptr;
PFNGLDELETEBUFFERSARBPROC p_glDeleteBuffersARB = nullptr;

namespace {

void* rawLookup(const char* name) {
    return reinterpret_cast<void*>(glXGetProcAddressARB(reinterpret_cast<const GLubyte*>(name)));
}

// The context's version as 0xMm (0x13 for 1.3); 0 without a current context.
int contextVersion() {
    const char* version = reinterpret_cast<const char*>(glGetString(GL_VERSION));
    if (version == nullptr) return 0;
    // OpenGL ES contexts prefix the number with "OpenGL ES ".
    while (*version != '\0' && (*version < '0' || *version > '9')) ++version;
    int major = 0, minor = 0;
    if (std::sscanf(version, "%d.%d", &major, &minor) != 2) return 0;
    if (minor > 15) minor = 15;
    return (major << 4) | minor;
}

// Whole-word match: "GL_ARB_texture_compression" must not be found inside
// "GL_ARB_texture_compression_bptc".
bool hasExtension(const char* extension) {
    const std::size_t length = std::strlen(extension);
    const char* list = reinterpret_cast<const char*>(glGetString(GL_EXTENSIONS));
    if (list != nullptr) {
        for (const char* p = list; (p = std::strstr(p, extension)) != nullptr; p += length) {
            const bool startsWord = p == list || p[-1] == ' ';
            const bool endsWord = p[length] == ' ' || p[length] == '\0';
            if (startsWord && endsWord) return true;
        }
        return false;
    }
    // Core profiles have no extension string, only the indexed list.
    auto getStringi = reinterpret_cast<PFNGLGETSTRINGIPROC>(rawLookup("glGetStringi"));
    if (getStringi == nullptr) return false;
    GLint count = 0;
    glGetIntegerv(GL_NUM_EXTENSIONS, &count);
    for (GLint i = 0; i < count; ++i) {
        const char* name = reinterpret_cast<const char*>(getStringi(GL_EXTENSIONS, static_cast<GLuint>(i)));
        if (name != nullptr && std::strcmp(name, extension) == 0) return true;
    }
    return false;
}

template <typename Proc>
void load(Proc& target, const char* name, const char* extension, int coreVersion, int& missing) {
    void* proc = lookupGLProc(name, extension, 0);
    if (proc == nullptr && coreVersion != 0 && contextVersion() >= coreVersion) {
        // Present through the core version only: the core name is the ARB name without
        // its suffix, and drivers need not export the suffixed one.
        std::string core(name);
        if (core.size() > 3 && core.compare(core.size() - 3, 3, "ARB") == 0) core.resize(core.size() - 3);
        proc = rawLookup(core.c_str());
    }
    target = reinterpret_cast<Proc>(proc);
    if (target == nullptr) ++missing;
}

}  // namespace

void* lookupGLProc(const char* name, const char* extension, int coreVersion) {
    if (name == nullptr || glGetString(GL_VERSION) == nullptr) return nullptr;  // no current context
    const bool present = (extension != nullptr && *extension != '\0' && hasExtension(extension)) ||
                         (coreVersion != 0 && contextVersion() >= coreVersion);
    if (!present) return nullptr;
    return rawLookup(name);
}

int loadGLProcs() {
    int missing = 0;
    load(p_glActiveTextureARB, "glActiveTextureARB", "GL_ARB_multitexture", 0x13, missing);
    load(p_glClientActiveTextureARB, "glClientActiveTextureARB", "GL_ARB_multitexture", 0x13, missing);
    load(p_glCompressedTexImage2DARB, "glCompressedTexImage2DARB", "GL_ARB_texture_compression", 0x13, missing);
    load(p_glGenBuffersARB, "glGenBuffersARB", "GL_ARB_vertex_buffer_object", 0x15, missing);
    load(p_glBindBufferARB, "glBindBufferARB", "GL_ARB_vertex_buffer_object", 0x15, missing);
    load(p_glBufferDataARB, "glBufferDataARB", "GL_ARB_vertex_buffer_object", 0x15, missing);
    load(p_glMapBufferARB, "glMapBufferARB", "GL_ARB_vertex_buffer_object", 0x15, missing);
    load(p_glUnmapBufferARB, "glUnmapBufferARB", "GL_ARB_vertex_buffer_object", 0x15, missing);
    load(p_glDeleteBuffersARB, "glDeleteBuffersARB", "GL_ARB_vertex_buffer_object", 0x15, missing);
    return missing;
}
