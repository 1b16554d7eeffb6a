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
PFNGLCREATESHADERPROC p_glCreateShader = nullptr;
PFNGLSHADERSOURCEPROC p_glShaderSource = nullptr;
PFNGLCOMPILESHADERPROC p_glCompileShader = nullptr;
PFNGLGETSHADERIVPROC p_glGetShaderiv = nullptr;
PFNGLGETSHADERINFOLOGPROC p_glGetShaderInfoLog = nullptr;
PFNGLDELETESHADERPROC p_glDeleteShader = nullptr;
PFNGLCREATEPROGRAMPROC p_glCreateProgram = nullptr;
PFNGLATTACHSHADERPROC p_glAttachShader = nullptr;
PFNGLBINDATTRIBLOCATIONPROC p_glBindAttribLocation = nullptr;
PFNGLLINKPROGRAMPROC p_glLinkProgram = nullptr;
PFNGLGETPROGRAMIVPROC p_glGetProgramiv = nullptr;
PFNGLGETPROGRAMINFOLOGPROC p_glGetProgramInfoLog = nullptr;
PFNGLDELETEPROGRAMPROC p_glDeleteProgram = nullptr;
PFNGLUSEPROGRAMPROC p_glUseProgram = nullptr;
PFNGLGETUNIFORMLOCATIONPROC p_glGetUniformLocation = nullptr;
PFNGLUNIFORM1IPROC p_glUniform1i = nullptr;
PFNGLUNIFORM1FPROC p_glUniform1f = nullptr;
PFNGLUNIFORM2FPROC p_glUniform2f = nullptr;
PFNGLUNIFORM4FVPROC p_glUniform4fv = nullptr;
PFNGLVERTEXATTRIBPOINTERPROC p_glVertexAttribPointer = nullptr;
PFNGLENABLEVERTEXATTRIBARRAYPROC p_glEnableVertexAttribArray = nullptr;
PFNGLDISABLEVERTEXATTRIBARRAYPROC p_glDisableVertexAttribArray = nullptr;

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

bool loadGLShaderProcs() {
    int missing = 0;
    load(p_glCreateShader, "glCreateShader", nullptr, 0x20, missing);
    load(p_glShaderSource, "glShaderSource", nullptr, 0x20, missing);
    load(p_glCompileShader, "glCompileShader", nullptr, 0x20, missing);
    load(p_glGetShaderiv, "glGetShaderiv", nullptr, 0x20, missing);
    load(p_glGetShaderInfoLog, "glGetShaderInfoLog", nullptr, 0x20, missing);
    load(p_glDeleteShader, "glDeleteShader", nullptr, 0x20, missing);
    load(p_glCreateProgram, "glCreateProgram", nullptr, 0x20, missing);
    load(p_glAttachShader, "glAttachShader", nullptr, 0x20, missing);
    load(p_glBindAttribLocation, "glBindAttribLocation", nullptr, 0x20, missing);
    load(p_glLinkProgram, "glLinkProgram", nullptr, 0x20, missing);
    load(p_glGetProgramiv, "glGetProgramiv", nullptr, 0x20, missing);
    load(p_glGetProgramInfoLog, "glGetProgramInfoLog", nullptr, 0x20, missing);
    load(p_glDeleteProgram, "glDeleteProgram", nullptr, 0x20, missing);
    load(p_glUseProgram, "glUseProgram", nullptr, 0x20, missing);
    load(p_glGetUniformLocation, "glGetUniformLocation", nullptr, 0x20, missing);
    load(p_glUniform1i, "glUniform1i", nullptr, 0x20, missing);
    load(p_glUniform1f, "glUniform1f", nullptr, 0x20, missing);
    load(p_glUniform2f, "glUniform2f", nullptr, 0x20, missing);
    load(p_glUniform4fv, "glUniform4fv", nullptr, 0x20, missing);
    load(p_glVertexAttribPointer, "glVertexAttribPointer", nullptr, 0x20, missing);
    load(p_glEnableVertexAttribArray, "glEnableVertexAttribArray", nullptr, 0x20, missing);
    load(p_glDisableVertexAttribArray, "glDisableVertexAttribArray", nullptr, 0x20, missing);
    if (missing == 0) return true;
    // Half a set is of no use; callers test one pointer.
    p_glCreateShader = nullptr;
    p_glShaderSource = nullptr;
    p_glCompileShader = nullptr;
    p_glGetShaderiv = nullptr;
    p_glGetShaderInfoLog = nullptr;
    p_glDeleteShader = nullptr;
    p_glCreateProgram = nullptr;
    p_glAttachShader = nullptr;
    p_glBindAttribLocation = nullptr;
    p_glLinkProgram = nullptr;
    p_glGetProgramiv = nullptr;
    p_glGetProgramInfoLog = nullptr;
    p_glDeleteProgram = nullptr;
    p_glUseProgram = nullptr;
    p_glGetUniformLocation = nullptr;
    p_glUniform1i = nullptr;
    p_glUniform1f = nullptr;
    p_glUniform2f = nullptr;
    p_glUniform4fv = nullptr;
    p_glVertexAttribPointer = nullptr;
    p_glEnableVertexAttribArray = nullptr;
    p_glDisableVertexAttribArray = nullptr;
    return false;
}
