#include "app/imgproc/cvImgProc.h"

#include <cstdio>

#include <chrono>
#include <opencv2/imgproc.hpp>

#include "app/record/Recorder.h"

#include "platform/GLProcs.h"
#include "platform/HostUI.h"

cvImgProc* cvImgProc::timerCapture_ = nullptr;

namespace {

struct BufferEntry {
    const char* name;
    void** slot;
};

}  // namespace

cvImgProc::cvImgProc() = default;

cvImgProc::~cvImgProc()
{
    // Closing the recorder completes a file still being recorded at exit. The pack
    // buffer is not deleted: the GL context is gone by the time static objects die.
    if (capturing) finishTimedRecording();
    if (recorder) {
        std::string error;
        if (!recorder->close(error)) std::fprintf(stderr, "pavonix: %s\n", error.c_str());
    }
    recorder.reset();
    if (timerCapture_ == this) timerCapture_ = nullptr;
}

void cvImgProc::init(int width, int height)
{
    imageWidth = windowWidth = width;
    imageHeight = windowHeight = height;

    // The ARB names of buffer objects; a missing one is reported and start-up goes on,
    // capture then reads the window into memory instead.
    const BufferEntry entries[] = {
        {"glGenBuffersARB", reinterpret_cast<void**>(&p_glGenBuffersARB)},
        {"glBindBufferARB", reinterpret_cast<void**>(&p_glBindBufferARB)},
        {"glBufferDataARB", reinterpret_cast<void**>(&p_glBufferDataARB)},
        {"glMapBufferARB", reinterpret_cast<void**>(&p_glMapBufferARB)},
        {"glUnmapBufferARB", reinterpret_cast<void**>(&p_glUnmapBufferARB)},
    };
    bool allFound = true;
    for (const BufferEntry& entry : entries) {
        *entry.slot = lookupGLProc(entry.name, "GL_ARB_vertex_buffer_object", 0);
        if (!*entry.slot) {
            const std::string text = std::string("Not support ") + entry.name;
            showMessage("Pavonix", text.c_str());
            allFound = false;
        }
    }
    p_glDeleteBuffersARB = reinterpret_cast<PFNGLDELETEBUFFERSARBPROC>(
        lookupGLProc("glDeleteBuffersARB", "GL_ARB_vertex_buffer_object", 0));

    // Reading into a buffer object also needs the pixel-pack target.
    packBufferUsable = allFound && lookupGLProc("glMapBufferARB", "GL_ARB_pixel_buffer_object", 0) != nullptr;
    if (packBufferUsable && packBuffer == 0) p_glGenBuffersARB(1, &packBuffer);

    sourceImage.release();
    greyImage.release();
    binaryImage.release();
    try {
        sourceImage.create(height, width, CV_8UC4);
        // Drawn as the background until the camera's first frame arrives: black, not
        // whatever the allocator handed over.
        sourceImage.setTo(cv::Scalar::all(0));
    } catch (const cv::Exception&) {
        showMessage("cvImgProc::init", "cvCreateImage error: 1");
    }
    try {
        greyImage.create(height, width, CV_8UC1);
        binaryImage.create(height, width, CV_8UC1);
    } catch (const cv::Exception&) {
        showMessage("cvImgProc::init", "cvCreateImage error: 2");
    }
}

bool cvImgProc::allocateImages(int width, int height)
{
    if (width <= 0 || height <= 0) return false;
    try {
        cv::Mat source, grey, binary;
        source = sourceImage.rows == height && sourceImage.cols == width && sourceImage.type() == CV_8UC4
                     ? sourceImage
                     : cv::Mat(height, width, CV_8UC4, cv::Scalar::all(0));
        grey = greyImage.rows == height && greyImage.cols == width && greyImage.type() == CV_8UC1
                   ? greyImage
                   : cv::Mat(height, width, CV_8UC1);
        binary = binaryImage.rows == height && binaryImage.cols == width && binaryImage.type() == CV_8UC1
                     ? binaryImage
                     : cv::Mat(height, width, CV_8UC1);
        sourceImage = source;
        greyImage = grey;
        binaryImage = binary;
    } catch (const cv::Exception&) {
        return false;
    }
    if (imageWidth == 0) imageWidth = width;
    if (imageHeight == 0) imageHeight = height;
    return true;
}

unsigned char* cvImgProc::frameCopy(int width, int height)
{
    if ((sourceImage.cols != width || sourceImage.rows != height || !sourceImage.isContinuous()) &&
        !allocateImages(width, height))
        return nullptr;
    return sourceImage.data;
}

int cvImgProc::binarize()
{
    if (sourceImage.empty()) return 0;
    // The conversion weights byte 0 by 0.299 although camera frames hold blue there;
    // the threshold the tracker has always used depends on this weighting.
    cv::cvtColor(sourceImage, greyImage, cv::COLOR_RGBA2GRAY);
    const double otsu = cv::threshold(greyImage, binaryImage, 0, 255.0, cv::THRESH_BINARY | cv::THRESH_OTSU);
    return static_cast<int>(otsu + 0.5);
}

void cvImgProc::appendCaptureFramesUntil(long frames)
{
    if (framesWritten_ >= frames) return;
    const SongCursor cursor = currentSongCursor();
    while (framesWritten_ < frames) {
        // Only the last frame owed shows the picture just drawn; the ones before it
        // repeat an older picture, and their cursor is not theirs.
        const bool fresh = pictureFresh_ && framesWritten_ + 1 == frames;
        if (recorder) recorder->queueFrame(framesWritten_, cursor, fresh);
        ++framesWritten_;
    }
    pictureFresh_ = false;
}

SongCursor cvImgProc::currentSongCursor() const { return songCursor ? songCursor() : SongCursor{}; }

void cvImgProc::finishTimedRecording()
{
    if (captureEveryFrame || !havePicture_) return;
    // The recording is ending: its last frames may wait for the encoder.
    if (recorder) recorder->setWaitWhenFull(true);
    appendCaptureFramesUntil(schedule_.framesAtEnd(captureNowMs()));
}

double cvImgProc::steadyClockMs()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}
