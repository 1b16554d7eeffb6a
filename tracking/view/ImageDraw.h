// Camera-image background and the calibrated OpenGL projection.
//
// The camera frame is drawn as a texture over a 20 x 20 grid whose vertices are moved
// by the lens-distortion model, so the background matches the ideal pinhole camera that
// the 3D scene is projected with. Texture and grid (a display list) are built lazily on
// the first draw and rebuilt only when the image size or zoom changes; every later
// frame is one sub-image upload and one list call.
//
// Everything here needs the GL context that was current when the context record was
// created, and must run on that context's thread.
#pragma once

#include <GL/gl.h>
#include <cstdint>

#include "tracking/CameraParam.h"

// Per-GL-context drawing state. Plain 32-bit fields, zero-filled on creation.
struct ImageDrawContext {
    int pow2Probed;          // the power-of-two capability probe has run
    GLuint pow2Texture;
    GLuint pow2List;         // display list drawing the power-of-two background
    int pow2Ready;           // pow2Texture and pow2List exist
    int rectProbed;          // the rectangle-texture capability probe has run
    GLuint rectTexture;
    GLuint rectList;         // display list drawing the rectangle background
    int rectReady;           // rectTexture and rectList exist
    int rebuildRequested;    // the next draw rebuilds texture and list
    int builtScaleFactor;    // texture-map scale factor the current list was built for
    float builtZoom;
    int builtWidth;
    int builtHeight;
    int pow2Width;           // size of the power-of-two texture
    int pow2Height;
    GLenum pow2WrapMode;
    int plainQuad;           // 1: one undistorted quad; 0: the distortion grid
    GLenum internalFormat;
    GLenum pixelFormat;
    GLenum pixelType;
    int pixelSize;           // bytes per image pixel
    int drawMode;            // 1: draw as a texture
    int texmapMode;          // 0: full image; scale factor = texmapMode + 1
    int preferRectangle;     // 1: use rectangle textures when available
};

// Allocates a record for the current GL context, set up for 4-byte B,G,R,A images.
// Returns null (after a message on standard output) when the implementation cannot take
// that pixel format. The caller releases it with releaseImageDrawContext.
ImageDrawContext* arglSetupForCurrentContext();

// Deletes the textures and lists of both paths (when a GL context is current) and frees
// the record. Null is ignored.
void releaseImageDrawContext(ImageDrawContext* context);

// Setters ignore a null record; drawMode and texmapMode accept only 0 or 1.
// They return true when the value was taken. Getters return -1 for a null record.
bool setDrawMode(ImageDrawContext* context, int mode);
int getDrawMode(const ImageDrawContext* context);
bool setTexmapMode(ImageDrawContext* context, int mode);
int getTexmapMode(const ImageDrawContext* context);
// Any non-zero value prefers rectangle textures; 0 forces the power-of-two path.
bool setPreferRectangle(ImageDrawContext* context, int prefer);
int getPreferRectangle(const ImageDrawContext* context);

// True when the current context is at least `version` (0x120 for OpenGL 1.2; 0 never
// matches) or reports `name` as a whole word among its extensions.
bool hasGLVersionOrExtension(int version, const char* name);

// The string tests behind hasGLVersionOrExtension, usable without a GL context.
// parseGLVersion: leading digits of a GL_VERSION string as 0xMmr ("1.2.1" -> 0x121,
// "2.1 Mesa" -> 0x210); 0 for null or no digits.
int parseGLVersion(const char* versionString);
// hasExtensionWord: `name` occurs in the space-separated `extensions` as a whole word.
// An empty name or one containing a space never matches.
bool hasExtensionWord(const char* extensions, const char* name);

// Draws `image` (param.width x param.height pixels of B,G,R,A, rows top first) as the
// window background through an orthographic projection, leaving the projection,
// model-view, lighting, depth test and texture environment as they were. With the
// detection's debug-image setting on it draws the binarized image instead (nothing when
// there is none yet). A null image draws nothing.
void drawCameraImage(const uint8_t* image, const CameraParam* param, double zoom, ImageDrawContext* context);

// OpenGL projection (16 doubles, column-major) equivalent to the calibrated camera, with
// the image's top-left origin turned into OpenGL's bottom-left.
void arglCameraFrustum(const CameraParam* param, double nearPlane, double farPlane, double projection[16]);

// Model-view matrix (16 doubles, column-major) from a marker-to-camera transform in the
// tracker's camera frame (y down, z forward). A non-zero scale multiplies the translation;
// 0 keeps it as it is.
void markerViewMatrix(const double transform[3][4], double modelView[16], double scale);
