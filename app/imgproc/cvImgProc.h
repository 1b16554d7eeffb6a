// The image-processing object: the per-frame copy of the camera image and its grey and
// black-and-white derivatives (automatic threshold by Otsu's method), and the state of
// recordings (MP4, Matroska, AVI) and PNG screenshots.
//
// Read-backs of the window happen after the frame is composed and before the buffers
// are swapped (the front buffer of a swapped window is not readable on every
// implementation): SaveImage and the capture timer only request one, and the display
// code calls frameComposed() right before swapping.
#pragma once

#include <GL/gl.h>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "app/imgproc/CaptureSchedule.h"
#include "app/record/RecordFormat.h"
#include "app/sound/Song.h"
#include "tracking/view/FrameCopyStore.h"

class Recorder;

class cvImgProc : public FrameCopyStore {
public:
    cvImgProc();
    ~cvImgProc() override;  // completes a recording still running
    cvImgProc(const cvImgProc&) = delete;
    cvImgProc& operator=(const cvImgProc&) = delete;

    // Once, with a current GL context: sizes, buffer-object entry points, the pack
    // buffer and the images. Failures are reported by message box and init goes on.
    void init(int width, int height);
    // (Re)creates sourceImage, greyImage and binaryImage at width x height when they do
    // not already have that size. False (nothing changed) when memory runs out.
    bool allocateImages(int width, int height);
    // The tracker's copy of each frame is sourceImage, (re)allocated with the others
    // when its size differs.
    unsigned char* frameCopy(int width, int height) override;
    // Otsu threshold of sourceImage (grey = 0.299 byte0 + 0.587 byte1 + 0.114 byte2),
    // rounded to the nearest integer.
    int binarize();

    // --- Recording and screenshots (Capture.cpp) ---

    // Toggles recording into the executable's folder under a local-time name, in
    // captureFormat (AVI unless --capture-format asks for another).
    void controlCapture();
    // Starts recording into `path` (.mp4, .mkv or .avi) at `fps` frames per second,
    // frame size windowWidth x windowHeight, with the song of songCursor as its sound
    // track when one is playing. With everyFrame the display's every frameComposed()
    // writes a frame (offline rendering: the song from its start under frame 0);
    // otherwise a GLUT timer requests one about every 1/fps s. False, with capture left
    // off and a message shown, when the file cannot be written.
    bool startCaptureTo(const char* path, double fps, bool everyFrame = false);
    // Ends recording and completes the file; nothing happens when none is running.
    void stopCapture();
    // The GLUT timer callback of recording (of the capture whose timed recording started
    // last); re-arms itself while capturing. value is the chain it belongs to: a tick of
    // an earlier recording (stopped and restarted within one period) ends there, so only
    // one chain ever runs. Each tick writes the last picture again for every period that
    // passed without a new one, and asks for a fresh picture.
    static void captureTimer(int value);
    // The chain the current recording's timer ticks carry.
    int captureChain() const;
    // Reads the current read buffer back and appends one video frame. Always true.
    bool writeCaptureFrame();
    // Frames appended to the current (or last) recording.
    long captureFramesWritten() const;
    // Milliseconds on a steady clock that recordings are timed by; null means
    // steadyClockMs. Tests put a clock of their own here.
    double (*captureClockMs)() = nullptr;
    static double steadyClockMs();
    // Called by the display code after composing a frame, before swapping: performs a
    // pending screenshot and a pending capture frame. False when a pending screenshot
    // could not be written (the reason has been shown, caption "SaveImage").
    bool frameComposed();
    // Writes the back buffer's viewport area to `path` as an RGBA PNG now. False, with a
    // message captioned "SaveImage", when it could not be written.
    bool saveImageTo(const char* path);
    // Asks the next frameComposed() for a screenshot into the executable's folder.
    void requestScreenshot() { screenshotPending = true; }
    // Path of the last screenshot written (empty before the first).
    const std::string& lastScreenshotPath() const { return lastScreenshot; }

    bool capturing = false;
    int imageWidth = 0, imageHeight = 0;
    // Current window size; frozen while capturing (the reshape callback keeps the window
    // at this size then).
    int windowWidth = 0, windowHeight = 0;
    std::unique_ptr<Recorder> recorder;  // open while recording into a file
    cv::Mat sourceImage;   // camera size, 8-bit BGRA: the tracker's copy of each frame
    cv::Mat greyImage;     // camera size, 8-bit grey
    cv::Mat binaryImage;   // camera size, 8-bit: Otsu output
    GLuint packBuffer = 0; // pixel-pack buffer for capture read-backs (0: read to memory)
    // Container of the C key's recordings.
    RecordFormat captureFormat = RecordFormat::Avi;
    // Where the song stands at the frame being drawn; empty or a cursor without a song:
    // recordings have no sound track.
    std::function<SongCursor()> songCursor;

    // Title restored when recording stops; the capture suffix is appended to it.
    const char* windowTitle = "Pavonix";

private:
    bool screenshotPending = false;
    bool captureFramePending = false;
    bool captureEveryFrame = false;
    double captureFps = 30.0;
    CaptureSchedule schedule_;
    long framesWritten_ = 0;
    bool havePicture_ = false;    // the recorder holds a picture of this recording
    bool pictureFresh_ = false;   // the next frame queued shows a newly read picture
    int captureWidth_ = 0, captureHeight_ = 0;
    int captureChain_ = 0;
    bool packBufferUsable = false;
    std::string lastScreenshot;
    std::string lastOutputNote_;  // where output went instead, as the terminal was last told
    // The capture whose recording the GLUT timer ticks for: a GLUT timer carries only an
    // int, so the callback finds its capture here; cleared when that capture goes.
    static cvImgProc* timerCapture_;

    void releaseCaptureResources();
    // Opens the recorder for a recording of windowWidth x windowHeight and sizes the
    // pack buffer (false, with the reason, when it cannot be).
    bool openRecorder(const char* path, RecordFormat format, double fps, bool live, std::string& error);
    SongCursor currentSongCursor() const;
    void reportRecorderFailure();
    void setCaptureTitle(bool on) const;
    void armCaptureTimer(int delayMs) const;
    void startTimedRecording(double fps);
    double captureNowMs() const { return captureClockMs ? captureClockMs() : steadyClockMs(); }
    // Reads the composed frame into the recorder's next picture slot.
    void readCapturePicture();
    // Appends the current picture until the file holds `frames` frames.
    void appendCaptureFramesUntil(long frames);
    // Pads a timed recording to its length in wall time, so the end is not cut short.
    void finishTimedRecording();
};

