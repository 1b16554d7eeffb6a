#include "app/imgproc/Capture.h"

#include <GL/freeglut.h>
#include <GL/glext.h>
#include <png.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <opencv2/videoio.hpp>

#include "app/imgproc/cvImgProc.h"
#include "platform/GLProcs.h"
#include "platform/HostUI.h"
#include "platform/Paths.h"

namespace {

constexpr const char* kCaptureSuffix = " : [[[ Capturing...]]]";
constexpr double kDefaultCaptureFps = 30.0;

std::string formatTimedName(const std::string& folder, const char* prefix, const LocalTime& t, const char* extension)
{
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%s%4d%02d%02d-%02d%02d%02d-%03d.%s", prefix, t.year, t.month, t.day, t.hour,
                  t.minute, t.second, t.millisecond, extension);
    return folder + "/" + stamp;
}

// Output goes next to the executable whatever the current directory is (the file
// dialogs change it). An installed program's folder is seldom writable: then the files
// go elsewhere, and the terminal says where once per folder change.
std::string outputFolder()
{
    static std::string lastNote;
    const std::string exeFolder = executableDir();
    std::string note;
    const std::string folder = chooseOutputFolder(exeFolder.empty() ? std::string(".") : exeFolder, &note);
    if (!note.empty() && note != lastNote) std::fprintf(stderr, "pavonix: %s\n", note.c_str());
    lastNote = note;
    return folder;
}

bool glutHasWindow() { return glutGet(GLUT_INIT_STATE) && glutGetWindow() != 0; }

// Reads from the buffer that holds the frame just composed: the back buffer of a
// double-buffered window (the front buffer of a swapped window may read black).
GLint selectComposedReadBuffer()
{
    GLint previous = GL_BACK;
    glGetIntegerv(GL_READ_BUFFER, &previous);
    GLboolean doubleBuffered = GL_FALSE;
    glGetBooleanv(GL_DOUBLEBUFFER, &doubleBuffered);
    glReadBuffer(doubleBuffered ? GL_BACK : GL_FRONT);
    return previous;
}

// A half-written screenshot would only mislead, so it goes; but only an ordinary file
// this function created, never a device or other special file named as the target.
void removePartialFile(const char* path)
{
    struct stat info {};
    if (stat(path, &info) == 0 && S_ISREG(info.st_mode)) std::remove(path);
}

void writeToFile(png_structp png, png_bytep data, png_size_t length)
{
    auto* file = static_cast<FILE*>(png_get_io_ptr(png));
    if (length > 0 && std::fwrite(data, length, 1, file) != 1) png_error(png, "write failed");
}

void flushFile(png_structp png) { std::fflush(static_cast<FILE*>(png_get_io_ptr(png))); }

// OpenGL's RGBA rows from the bottom up into the writer's B,G,R rows from the top down.
void convertRowsForVideo(const unsigned char* rgba, cv::Mat& bgr)
{
    const int width = bgr.cols, height = bgr.rows;
    for (int i = 0; i < height; ++i) {
        const unsigned char* src = rgba + static_cast<size_t>(height - 1 - i) * width * 4;
        unsigned char* dst = bgr.ptr<unsigned char>(i);
        for (int x = 0; x < width; ++x, src += 4, dst += 3) {
            dst[0] = src[2];
            dst[1] = src[1];
            dst[2] = src[0];
        }
    }
}

}  // namespace

std::string screenshotFileName(const std::string& folder, const LocalTime& time)
{
    return formatTimedName(folder, "img", time, "png");
}

std::string captureFileName(const std::string& folder, const LocalTime& time)
{
    return formatTimedName(folder, "cap", time, "avi");
}

int captureTimerDelay(int periodMs, int lastWriteMs)
{
    return lastWriteMs >= periodMs ? 0 : periodMs - lastWriteMs;
}

bool writePNGBottomUp(const char* path, const unsigned char* rows, int width, int height, std::string* error)
{
    FILE* file = std::fopen(path, "wb");
    if (!file) {
        *error = "file create error";
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) {
        std::fclose(file);
        removePartialFile(path);
        *error = "png_create_write_struct error";
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        std::fclose(file);
        removePartialFile(path);
        *error = "png_create_info_struct error";
        return false;
    }
    // Nothing below owns memory outside libpng's structures, so a longjmp back here
    // skips no destructor.
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        removePartialFile(path);
        *error = "error handling";
        return false;
    }
    png_set_write_fn(png, file, writeToFile, flushFile);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const size_t stride = static_cast<size_t>(width) * 4;
    for (int row = height - 1; row >= 0; --row) png_write_row(png, rows + row * stride);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    // The last blocks reach the disk only now; a full disk shows up here.
    if (std::fclose(file) != 0) {
        removePartialFile(path);
        *error = "error handling";
        return false;
    }
    return true;
}

bool SaveImage()
{
    g_cvImgProc.requestScreenshot();
    return true;
}

bool cvImgProc::saveImageTo(const char* path)
{
    GLint viewport[4] = {0, 0, 0, 0};
    glGetIntegerv(GL_VIEWPORT, viewport);
    const int width = viewport[2], height = viewport[3];
    if (width <= 0 || height <= 0) {
        showMessage("SaveImage", "the window has no area to save");
        return false;
    }
    auto* block = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(width) * height * 4));
    if (!block) {
        showMessage("SaveImage", "malloc error");
        return false;
    }
    const GLint previousReadBuffer = selectComposedReadBuffer();
    if (p_glBindBufferARB && packBuffer) p_glBindBufferARB(GL_PIXEL_PACK_BUFFER_ARB, 0);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, block);
    glReadBuffer(previousReadBuffer);
    const size_t pixels = static_cast<size_t>(width) * height;
    for (size_t i = 0; i < pixels; ++i) block[4 * i + 3] = 255;

    std::string error;
    const bool written = writePNGBottomUp(path, block, width, height, &error);
    std::free(block);
    if (!written) {
        const std::string text = error + ": " + path;
        showMessage("SaveImage", text.c_str());
        return false;
    }
    lastScreenshot = path;
    return true;
}

bool cvImgProc::frameComposed()
{
    bool screenshotOk = true;
    if (screenshotPending) {
        screenshotPending = false;
        const std::string path = screenshotFileName(outputFolder(), localTimeNow());
        screenshotOk = saveImageTo(path.c_str());
        if (screenshotOk) std::fprintf(stderr, "pavonix: screenshot saved to %s\n", path.c_str());
    }
    if (capturing && captureEveryFrame) {
        writeCaptureFrame();
    } else if (capturing && captureFramePending) {
        captureFramePending = false;
        readCapturePicture();
        havePicture_ = true;
        appendCaptureFramesUntil(schedule_.framesDue(captureNowMs()));
    }
    return screenshotOk;
}

void cvImgProc::setCaptureTitle(bool on) const
{
    if (!glutHasWindow()) return;
    const std::string title = std::string(windowTitle) + (on ? kCaptureSuffix : "");
    glutSetWindowTitle(title.c_str());
}

void cvImgProc::armCaptureTimer(int delayMs) const
{
    if (glutGet(GLUT_INIT_STATE)) glutTimerFunc(static_cast<unsigned>(delayMs), captureTimer, captureChain_);
}

int cvImgProc::captureChain() const { return captureChain_; }

long cvImgProc::captureFramesWritten() const { return framesWritten_; }

void cvImgProc::startTimedRecording(double fps)
{
    captureEveryFrame = false;
    captureFps = fps;
    schedule_.start(fps, captureNowMs());
    framesWritten_ = 0;
    havePicture_ = false;
    // A new chain; ticks still pending from an earlier recording carry the old number.
    ++captureChain_;
    armCaptureTimer(0);
}

void cvImgProc::releaseCaptureResources()
{
    videoWriter.reset();  // completes the file
    captureImage.release();
    std::vector<unsigned char>().swap(readBack);
    captureFramePending = false;
}

bool cvImgProc::openWriter(const char* path, double fps)
{
    auto writer = std::make_unique<cv::VideoWriter>();
    try {
        writer->open(path, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('D', 'I', 'V', 'X'), fps,
                     cv::Size(windowWidth, windowHeight), true);
    } catch (const cv::Exception&) {
        return false;
    }
    if (!writer->isOpened()) return false;
    videoWriter = std::move(writer);
    return true;
}

bool cvImgProc::allocateCaptureFrame()
{
    if (windowWidth <= 0 || windowHeight <= 0) return false;
    const size_t bytes = static_cast<size_t>(windowWidth) * windowHeight * 4;
    try {
        captureImage.create(windowHeight, windowWidth, CV_8UC3);
        if (!packBufferUsable) readBack.resize(bytes);
    } catch (const std::exception&) {
        captureImage.release();
        return false;
    }
    if (packBufferUsable) {
        // Storage for one read-back per recording; every frame reuses it.
        p_glBindBufferARB(GL_PIXEL_PACK_BUFFER_ARB, packBuffer);
        p_glBufferDataARB(GL_PIXEL_PACK_BUFFER_ARB, static_cast<GLsizeiptrARB>(bytes), nullptr, GL_STREAM_READ_ARB);
        p_glBindBufferARB(GL_PIXEL_PACK_BUFFER_ARB, 0);
    }
    return true;
}

void cvImgProc::controlCapture()
{
    if (capturing) {
        stopCapture();
        return;
    }
    capturing = true;
    releaseCaptureResources();
    setCaptureTitle(true);
    const std::string path = captureFileName(outputFolder(), localTimeNow());
    // As before, a recording without a writer still runs (frames go nowhere) so that the
    // next toggle ends it like any other; the message says why nothing is written.
    if (!openWriter(path.c_str(), captureFps)) {
        const std::string text = "cvCreateVideoWriter error: " + path;
        showMessage("cvImgProc::controlCapture", text.c_str());
    }
    else
        std::fprintf(stderr, "pavonix: recording into %s\n", path.c_str());
    if (!allocateCaptureFrame()) showMessage("cvImgProc::controlCapture", "cvCreateImage error: 2");
    startTimedRecording(kDefaultCaptureFps);
}

bool cvImgProc::startCaptureTo(const char* path, double fps, bool everyFrame)
{
    if (capturing) stopCapture();
    releaseCaptureResources();
    if (!(fps > 0.0)) fps = kDefaultCaptureFps;
    if (!openWriter(path, fps)) {
        const std::string text = std::string("cannot open the video writer for ") + path;
        showMessage("cvImgProc::startCaptureTo", text.c_str());
        return false;
    }
    if (!allocateCaptureFrame()) {
        releaseCaptureResources();
        showMessage("cvImgProc::startCaptureTo", "cvCreateImage error: 2");
        return false;
    }
    capturing = true;
    setCaptureTitle(true);
    framesWritten_ = 0;
    if (everyFrame) {
        captureEveryFrame = true;
        captureFps = fps;
    } else {
        startTimedRecording(fps);
    }
    return true;
}

void cvImgProc::stopCapture()
{
    if (!capturing) return;
    finishTimedRecording();
    capturing = false;
    setCaptureTitle(false);
    releaseCaptureResources();
}

void cvImgProc::captureTimer(int chain)
{
    cvImgProc& self = g_cvImgProc;
    // A tick of a stopped (or replaced) recording ends its chain here.
    if (!self.capturing || self.captureEveryFrame || chain != self.captureChain_) return;
    const double now = self.captureNowMs();
    // Periods that passed without a new picture hold the last one; the current period
    // waits for the picture requested below.
    if (self.havePicture_) self.appendCaptureFramesUntil(self.schedule_.framesDue(now) - 1);
    self.captureFramePending = true;
    if (glutHasWindow()) glutPostRedisplay();
    self.armCaptureTimer(self.schedule_.delayToNextTick(now));
}

void cvImgProc::readCapturePicture()
{
    if (captureImage.empty()) return;
    const int width = captureImage.cols, height = captureImage.rows;
    const GLint previousReadBuffer = selectComposedReadBuffer();
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    if (packBufferUsable) {
        p_glBindBufferARB(GL_PIXEL_PACK_BUFFER_ARB, packBuffer);
        glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
        // A failed mapping leaves the previous frame in captureImage; it is written again.
        const auto* pixels =
            static_cast<const unsigned char*>(p_glMapBufferARB(GL_PIXEL_PACK_BUFFER_ARB, GL_READ_ONLY_ARB));
        if (pixels) {
            convertRowsForVideo(pixels, captureImage);
            p_glUnmapBufferARB(GL_PIXEL_PACK_BUFFER_ARB);
        }
        p_glBindBufferARB(GL_PIXEL_PACK_BUFFER_ARB, 0);
    } else if (readBack.size() >= static_cast<size_t>(width) * height * 4) {
        glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, readBack.data());
        convertRowsForVideo(readBack.data(), captureImage);
    }
    glReadBuffer(previousReadBuffer);
}

bool cvImgProc::writeCaptureFrame()
{
    if (captureImage.empty()) return true;
    readCapturePicture();
    appendCaptureFramesUntil(framesWritten_ + 1);
    return true;
}
