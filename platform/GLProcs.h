// OpenGL extension entry points looked up at run time.
#pragma once

#include <GL/gl.h>
#include <GL/glext.h>

// Filled by loadGLProcs(); null when the implementation lacks the extension.
extern PFNGLACTIVETEXTUREARBPROC p_glActiveTextureARB;
extern PFNGLCLIENTACTIVETEXTUREARBPROC p_glClientActiveTextureARB;
extern PFNGLCOMPRESSEDTEXIMAGE2DARBPROC p_glCompressedTexImage2DARB;
extern PFNGLGENBUFFERSARBPROC p_glGenBuffersARB;
extern PFNGLBINDBUFFERARBPROC p_glBindBufferARB;
extern PFNGLBUFFERDATAARBPROC p_glBufferDataARB;
extern PFNGLMAPBUFFERARBPROC p_glMapBufferARB;
extern PFNGLUNMAPBUFFERARBPROC p_glUnmapBufferARB;
extern PFNGLDELETEBUFFERSARBPROC p_glDeleteBuffersARB;

// OpenGL 2.0 shader entry points, filled by loadGLShaderProcs(); all null when any is
// missing, so one test of p_glUseProgram says whether shaders can be used.
extern PFNGLCREATESHADERPROC p_glCreateShader;
extern PFNGLSHADERSOURCEPROC p_glShaderSource;
extern PFNGLCOMPILESHADERPROC p_glCompileShader;
extern PFNGLGETSHADERIVPROC p_glGetShaderiv;
extern PFNGLGETSHADERINFOLOGPROC p_glGetShaderInfoLog;
extern PFNGLDELETESHADERPROC p_glDeleteShader;
extern PFNGLCREATEPROGRAMPROC p_glCreateProgram;
extern PFNGLATTACHSHADERPROC p_glAttachShader;
extern PFNGLBINDATTRIBLOCATIONPROC p_glBindAttribLocation;
extern PFNGLLINKPROGRAMPROC p_glLinkProgram;
extern PFNGLGETPROGRAMIVPROC p_glGetProgramiv;
extern PFNGLGETPROGRAMINFOLOGPROC p_glGetProgramInfoLog;
extern PFNGLDELETEPROGRAMPROC p_glDeleteProgram;
extern PFNGLUSEPROGRAMPROC p_glUseProgram;
extern PFNGLGETUNIFORMLOCATIONPROC p_glGetUniformLocation;
extern PFNGLUNIFORM1IPROC p_glUniform1i;
extern PFNGLUNIFORM1FPROC p_glUniform1f;
extern PFNGLUNIFORM2FPROC p_glUniform2f;
extern PFNGLUNIFORM4FVPROC p_glUniform4fv;
extern PFNGLVERTEXATTRIBPOINTERPROC p_glVertexAttribPointer;
extern PFNGLENABLEVERTEXATTRIBARRAYPROC p_glEnableVertexAttribArray;
extern PFNGLDISABLEVERTEXATTRIBARRAYPROC p_glDisableVertexAttribArray;

// Looks up an entry point of the current context. On Mesa a non-null pointer proves
// nothing (one is returned for any name), so the entry point counts as present only
// when the context reports the named extension (or is at least coreVersion, e.g. 0x13
// for 1.3; 0 for none). Returns null when missing. Needs a current GL context.
void* lookupGLProc(const char* name, const char* extension, int coreVersion);

// Looks up all the entry points above for the current context (ARB_multitexture,
// ARB_texture_compression, ARB_vertex_buffer_object, or the core versions that hold
// them) and returns how many are missing. Reports nothing; callers decide what to say.
int loadGLProcs();

// Looks up the shader entry points for the current context (OpenGL 2.0 or later) and
// returns true when all are there; otherwise every one of them is left null.
bool loadGLShaderProcs();
