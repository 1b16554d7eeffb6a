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

// Looks up an entry point of the current context. On Mesa a non-null pointer proves
// nothing (one is returned for any name), so the entry point counts as present only
// when the context reports the named extension (or is at least coreVersion, e.g. 0x13
// for 1.3; 0 for none). Returns null when missing. Needs a current GL context.
void* lookupGLProc(const char* name, const char* extension, int coreVersion);

// Looks up all the entry points above for the current context (ARB_multitexture,
// ARB_texture_compression, ARB_vertex_buffer_object, or the core versions that hold
// them) and returns how many are missing. Reports nothing; callers decide what to say.
int loadGLProcs();
