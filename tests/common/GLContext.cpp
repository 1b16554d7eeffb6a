#include "common/GLContext.h"

#include <GL/gl.h>
#include <GL/glx.h>
#include <X11/Xlib.h>

#include <cstdio>

#include "platform/GLProcs.h"

namespace {

struct TestWindow {
    Display* display = nullptr;
    XVisualInfo* visual = nullptr;
    Colormap colormap = 0;
    GLXContext context = nullptr;
    Window window = 0;
    int width = 0, height = 0;
    bool triedAndFailed = false;
};

TestWindow& testWindow() {
    static TestWindow w;
    return w;
}

// Xlib aborts the process on protocol errors by default; a test should fail instead.
int ignoreXError(Display*, XErrorEvent* e) {
    std::fprintf(stderr, "GLContext: X error %d\n", e->error_code);
    return 0;
}

bool openDisplayAndContext(TestWindow& w) {
    w.display = XOpenDisplay(nullptr);
    if (!w.display) return false;
    XSetErrorHandler(ignoreXError);
    int attributes[] = {GLX_RGBA,       GLX_DOUBLEBUFFER, GLX_RED_SIZE,   8, GLX_GREEN_SIZE,   8,
                        GLX_BLUE_SIZE,  8,                GLX_ALPHA_SIZE, 8, GLX_DEPTH_SIZE,   24,
                        GLX_STENCIL_SIZE, 8,              None};
    w.visual = glXChooseVisual(w.display, DefaultScreen(w.display), attributes);
    if (!w.visual) {
        // Some servers have no alpha channel in their visuals; tests only need RGB.
        int fallback[] = {GLX_RGBA, GLX_DOUBLEBUFFER, GLX_DEPTH_SIZE, 16, GLX_STENCIL_SIZE, 8, None};
        w.visual = glXChooseVisual(w.display, DefaultScreen(w.display), fallback);
    }
    if (!w.visual) return false;
    w.context = glXCreateContext(w.display, w.visual, nullptr, True);
    if (!w.context) return false;
    w.colormap = XCreateColormap(w.display, RootWindow(w.display, w.visual->screen), w.visual->visual, AllocNone);
    return true;
}

bool createWindow(TestWindow& w, int width, int height) {
    XSetWindowAttributes attrs{};
    attrs.colormap = w.colormap;
    attrs.border_pixel = 0;
    Window window = XCreateWindow(w.display, RootWindow(w.display, w.visual->screen), 0, 0, width, height, 0,
                                  w.visual->depth, InputOutput, w.visual->visual, CWColormap | CWBorderPixel,
                                  &attrs);
    if (!window) return false;
    if (!glXMakeCurrent(w.display, window, w.context)) {
        XDestroyWindow(w.display, window);
        return false;
    }
    if (w.window) XDestroyWindow(w.display, w.window);
    w.window = window;
    w.width = width;
    w.height = height;
    return true;
}

void fillMultitextureProcs() {
    if (!p_glActiveTextureARB) {
        p_glActiveTextureARB = reinterpret_cast<PFNGLACTIVETEXTUREARBPROC>(
            glXGetProcAddressARB(reinterpret_cast<const GLubyte*>("glActiveTextureARB")));
    }
    if (!p_glClientActiveTextureARB) {
        p_glClientActiveTextureARB = reinterpret_cast<PFNGLCLIENTACTIVETEXTUREARBPROC>(
            glXGetProcAddressARB(reinterpret_cast<const GLubyte*>("glClientActiveTextureARB")));
    }
}

}  // namespace

bool ensureGLContext(int width, int height) {
    TestWindow& w = testWindow();
    if (w.triedAndFailed) return false;
    if (!w.context) {
        if (!openDisplayAndContext(w)) {
            w.triedAndFailed = true;
            return false;
        }
    }
    if (!w.window || w.width != width || w.height != height) {
        if (!createWindow(w, width, height)) return false;
        fillMultitextureProcs();
    } else {
        glXMakeCurrent(w.display, w.window, w.context);
    }
    glViewport(0, 0, width, height);
    glDrawBuffer(GL_BACK);
    glReadBuffer(GL_BACK);
    return true;
}

int glContextWidth() { return testWindow().width; }
int glContextHeight() { return testWindow().height; }

std::vector<uint8_t> readBackBuffer(int x, int y, int width, int height) {
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 4);
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(x, y, width, height, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    return pixels;
}

Pixel readBackPixel(int x, int y) {
    std::vector<uint8_t> p = readBackBuffer(x, y, 1, 1);
    return {p[0], p[1], p[2], p[3]};
}
