// A hidden GL window and context for tests that draw, created on first use so test
// discovery runs without a display.
#pragma once

#include <cstdint>
#include <vector>

// Makes a GL context current on an unmapped width x height window (RGBA, double
// buffer, 24-bit depth, 8-bit stencil) and sets the viewport to it. The context lives
// until the process ends; a later call with another size replaces the window and keeps
// the context (textures survive). Also fills p_glActiveTextureARB and
// p_glClientActiveTextureARB when they are still null. Returns false when there is no
// X display or no suitable visual; tests then GTEST_SKIP.
bool ensureGLContext(int width, int height);

// Size of the current test window (0 before the first successful ensureGLContext).
int glContextWidth();
int glContextHeight();

// Reads width x height RGBA pixels of the back buffer starting at (x, y), rows bottom
// first as OpenGL returns them. Read before swapping: Mesa gives black after a swap.
std::vector<uint8_t> readBackBuffer(int x, int y, int width, int height);

// One RGBA pixel of the back buffer, (x, y) from the bottom left.
struct Pixel {
    uint8_t r, g, b, a;
};
Pixel readBackPixel(int x, int y);
