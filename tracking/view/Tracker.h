// The tracker front end: the one object through which the application uses the camera
// and the marker tracker. It opens the camera, loads the calibration and the marker
// pattern, owns the camera-image drawing context, and once per idle cycle grabs a frame,
// thresholds it, finds the marker carrying the loaded pattern and updates its pose.
#pragma once

#include <string>
#include <vector>

#include "tracking/CameraParam.h"
#include "tracking/Labeling.h"
#include "tracking/Marker.h"
#include "tracking/TrackerTables.h"
#include "tracking/view/ImageDraw.h"
#include "tracking/view/FrameCopyStore.h"
#include "tracking/view/MarkerHold.h"

// How starting the tracker went. A failure carries the message box the program shows
// for it (caption and text), or no text when it needs no words of its own.
struct TrackerStart {
    bool ok = true;
    std::string caption;
    std::string text;  // empty: nothing to show

    explicit operator bool() const { return ok; }
    static TrackerStart failed(std::string text = {}) { return TrackerStart{false, text.empty() ? "" : "Error", text}; }
};

// Something a frame could not go through, for the program to report on standard error.
enum class FrameProblem { None, NoFrameMemory, DetectionFailed, LabelOverflow };

class clTracker {
public:
    // The tracker keeps its working calibration and pattern in tables, which its detector
    // and pose read; tables must outlive it.
    explicit clTracker(TrackerTables& tables);
    ~clTracker();  // releases the drawing context, stops capture and closes the camera
    clTracker(const clTracker&) = delete;
    clTracker& operator=(const clTracker&) = delete;

    // Opens the camera (WDM_camera_flipV.xml), reads the frame size, the calibration
    // (calibrationFile when set, else the user's saved one, else camera_para.dat; the
    // record for the frame size, or the first scaled) and the pattern (patt.00), the
    // data files from the folder that programDataFolder finds, and starts capture. A
    // failure names the problem for a message box (except when the frame size cannot
    // be read).
    TrackerStart initialize();
    // Creates the drawing context; needs the window's GL context to be current.
    TrackerStart initArgl();
    // Processes the newest camera frame, if any (false when none was ready: the previous
    // pose stays), and updates the display's hold with the frame's video time. A frame
    // detection cannot process (no memory) counts as one without the marker; the first
    // such failure is left for takeFrameProblem.
    bool updateFrame();
    // The problem of the latest frames still to be reported, and forgets it. A frame
    // copy without memory is reported each time; a failed detection, and a frame with more
    // dark regions than the labeller's table, only the first time.
    FrameProblem takeFrameProblem();
    // The line (with its line feed) that reports a problem on standard error.
    std::string frameProblemText(FrameProblem problem) const;
    // Where frames are copied to; null (the default) keeps a copy inside the tracker.
    // The store must outlive its use here.
    void setFrameCopyStore(FrameCopyStore* store) { frameStore_ = store; }
    // The work updateFrame does on one frame (frameBytes bytes, B,G,R,A, rows top first):
    // copy, threshold, detect, choose, pose. Separate so that a frame from elsewhere (a
    // benchmark, a still picture) goes through exactly the same steps.
    void processFrame(const unsigned char* frame);
    // The camera's position in the model frame (marker frame turned by -90 degrees about
    // x, times modelScale), single precision.
    void cameraPositionInModel(float out[3]) const;

    // Automatic threshold off sets the fixed threshold 130; on sets kLocalThreshold:
    // each part of the frame thresholded by its own light.
    void toggleAutoThreshold();
    // modelScale += amount, clamped to [kMinModelScale, kMaxModelScale].
    void scaleStep(double amount);
    // Stops capture, closes the camera and releases the drawing context; safe to repeat.
    // The destructor calls it; tests call it to initialize again.
    void shutdown();

    TrackerTables& tables() { return tables_; }
    const TrackerTables& tables() const { return tables_; }

    static constexpr int kFixedThreshold = 130;
    static constexpr double kMinModelScale = 0.01;
    static constexpr double kMaxModelScale = 0.8;

    int width = 0, height = 0;          // frame size reported by the camera
    CameraParam cameraParam{};          // calibration resized to the frame size
    std::string calibrationFile;        // read instead of the saved or default calibration
    std::string calibrationSource;      // the file cameraParam came from
    std::string calibrationNote;        // why the saved calibration was passed over ("" if not)
    int patternId = 0;                  // slot of the loaded marker pattern
    ImageDrawContext* arglContext = nullptr;  // owned; released by shutdown
    float modelAxis[16]{};              // column-major rotation by +90 degrees about x
    float modelAxisInverse[16]{};       // column-major rotation by -90 degrees about x
    int frameBytes = 0;                 // width x height x 4
    bool markerFound = false;           // a pose was computed from the latest frame
    double frameSeconds = 0.0;          // the video's own time of the latest frame
    MarkerHold hold;                    // whether, and how strongly, the character is drawn
    bool autoThreshold = true;          // local thresholding rather than the fixed level
    int threshold = kLocalThreshold;    // for detection: 0..255, or kLocalThreshold (-1)
    double markerWidth = 0.0;           // side of the black square (transform units)
    double markerCenter[2]{};           // centre offset of the marker in its plane
    double markerTransform[3][4]{};     // marker-to-camera, row-major [R | T]
    double modelScale = 0.0;            // transform units to model units
    bool firstPose = false;             // next pose from scratch rather than continuous

private:
    bool videoOpen_ = false;            // arVideoOpen succeeded and Close is still due
    bool videoCapturing_ = false;       // arVideoCapStart succeeded and CapStop is due
    bool patternLoaded_ = false;        // patternId holds a slot this object loaded
    bool detectionFailureReported_ = false;
    FrameProblem pendingProblem_ = FrameProblem::None;
    int overflowWidth_ = 0, overflowHeight_ = 0;  // the frame that overflowed the label table
    FrameCopyStore* frameStore_ = nullptr;   // not owned
    TrackerTables& tables_;                  // not owned
    MarkerDetector detector_;                // its labeller, scratch and marker history
    std::vector<unsigned char> ownCopy_;     // the copy when no store is given

    unsigned char* frameCopy();

    void closeVideo();
};
