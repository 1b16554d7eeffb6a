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
#include <cstring>

#include "app/imgproc/cvImgProc.h"
#include "app/record/Recorder.h"
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
// go elsewhere, and the terminal says where once per folder change (lastNote: the note
// said last).
std::string outputFolder(std::string& lastNote)
{
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

}  // namespace

std::string screenshotFileName(const std::string& folder, const LocalTime& time)
{
    return formatTimedName(folder, "img", time, "png");
}

std::string captureFileName(const std::string& folder, const LocalTime& time, RecordFormat format)
{
    return formatTimedName(folder, "cap", time, recordFormatName(format));
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

bool SaveImage(cvImgProc& capture)
{
    capture.requestScreenshot();
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
        const std::string path = screenshotFileName(outputFolder(lastOutputNote_), localTimeNow());
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
    timerCapture_ = this;
    armCaptureTimer(0);
}

void cvImgProc::releaseCaptureResources()
{
    if (recorder) {
        std::string error;
        // Completes the file; a failure on the way (a full disk) is said once more here.
        if (!recorder->close(error)) showMessage("cvImgProc::stopCapture", error.c_str());
        if (recorder->hasSound())
            std::fprintf(stderr, "pavonix: the recording's sound followed the song with %ld resyncs\n",
                         recorder->soundResyncs());
        if (recorder->framesDropped() > 0 || recorder->framesRepeated() > 0 || recorder->picturesSkipped() > 0)
            std::fprintf(stderr,
                         "pavonix: the encoder fell behind: of %ld frames %ld were left out and %ld repeated the picture "
                         "before; %ld pictures were not read\n",
                         framesWritten_, recorder->framesDropped(), recorder->framesRepeated(),
                         recorder->picturesSkipped());
    }
    recorder.reset();
    captureFramePending = false;
    pictureFresh_ = false;
}

bool cvImgProc::openRecorder(const char* path, RecordFormat format, double fps, bool live, std::string& error)
{
    if (windowWidth <= 0 || windowHeight <= 0) {
        error = std::string("cannot record into \"") + path + "\": the window has no area";
        return false;
    }
    RecorderSettings settings;
    settings.path = path;
    settings.format = format;
    settings.width = windowWidth;
    settings.height = windowHeight;
    settings.fps = fps;
    settings.song = currentSongCursor().song;
    settings.live = live;
    auto opened = std::make_unique<Recorder>();
    if (!opened->open(settings, error)) return false;
    if (packBufferUsable) {
        // Storage for one read-back per recording; every frame reuses it.
        const size_t bytes = static_cast<size_t>(windowWidth) * windowHeight * 4;
        p_glBindBufferARB(GL_PIXEL_PACK_BUFFER_ARB, packBuffer);
        p_glBufferDataARB(GL_PIXEL_PACK_BUFFER_ARB, static_cast<GLsizeiptrARB>(bytes), nullptr, GL_STREAM_READ_ARB);
        p_glBindBufferARB(GL_PIXEL_PACK_BUFFER_ARB, 0);
    }
    captureWidth_ = windowWidth;
    captureHeight_ = windowHeight;
    recorder = std::move(opened);
    return true;
}

void cvImgProc::reportRecorderFailure()
{
    std::string error;
    if (recorder && recorder->takeFailure(error)) showMessage("cvImgProc::writeCaptureFrame", error.c_str());
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
    const std::string path = captureFileName(outputFolder(lastOutputNote_), localTimeNow(), captureFormat);
    // As before, a recording without a file still runs (frames go nowhere) so that the
    // next toggle ends it like any other; the message says why nothing is written.
    std::string error;
    if (!openRecorder(path.c_str(), captureFormat, kDefaultCaptureFps, true, error))
        showMessage("cvImgProc::controlCapture", error.c_str());
    else
        std::fprintf(stderr, "pavonix: recording into %s%s\n", path.c_str(),
                     recorder->hasSound() ? " (with the song)" : "");
    startTimedRecording(kDefaultCaptureFps);
}

bool cvImgProc::startCaptureTo(const char* path, double fps, bool everyFrame)
{
    if (capturing) stopCapture();
    releaseCaptureResources();
    if (!(fps > 0.0)) fps = kDefaultCaptureFps;
    RecordFormat format = RecordFormat::Avi;
    std::string error;
    if (!recordFormatForPath(path, format, error) || !openRecorder(path, format, fps, !everyFrame, error)) {
        showMessage("cvImgProc::startCaptureTo", error.c_str());
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
    // A tick of a capture gone, or of a stopped (or replaced) recording, ends its chain here.
    if (!timerCapture_) return;
    cvImgProc& self = *timerCapture_;
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
    if (!recorder) return;
    reportRecorderFailure();
    // No free slot: the encoder is behind, and this picture is left out (the last one
    // is recorded again) rather than the viewer kept waiting.
    unsigned char* slot = recorder->pictureSlot();
    if (!slot) return;
    const int width = captureWidth_, height = captureHeight_;
    const GLint previousReadBuffer = selectComposedReadBuffer();
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    bool read = false;
    if (packBufferUsable) {
        p_glBindBufferARB(GL_PIXEL_PACK_BUFFER_ARB, packBuffer);
        glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
        // A failed mapping leaves the previous picture current; it is written again.
        const auto* pixels =
            static_cast<const unsigned char*>(p_glMapBufferARB(GL_PIXEL_PACK_BUFFER_ARB, GL_READ_ONLY_ARB));
        if (pixels) {
            std::memcpy(slot, pixels, static_cast<size_t>(width) * height * 4);
            p_glUnmapBufferARB(GL_PIXEL_PACK_BUFFER_ARB);
            read = true;
        }
        p_glBindBufferARB(GL_PIXEL_PACK_BUFFER_ARB, 0);
    } else {
        glReadPixels(0, 0, width, height, GL_RGBA, GL_UNSIGNED_BYTE, slot);
        read = true;
    }
    glReadBuffer(previousReadBuffer);
    if (read) {
        recorder->commitPicture();
        pictureFresh_ = true;
    }
}

bool cvImgProc::writeCaptureFrame()
{
    if (!recorder) return true;
    readCapturePicture();
    appendCaptureFramesUntil(framesWritten_ + 1);
    return true;
}
