#include "tracking/view/Tracker.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "tracking/CalibrationStore.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "platform/video/Video.h"
#include "tracking/Labeling.h"
#include "tracking/Marker.h"
#include "tracking/Matrix.h"
#include "tracking/Pattern.h"
#include "tracking/Pose.h"

namespace {

constexpr const char* kVideoConfig = "WDM_camera_flipV.xml";
constexpr const char* kCameraParamFile = "camera_para.dat";
constexpr const char* kPatternFile = "patt.00";
constexpr double kDefaultModelScale = 0.16;
constexpr double kDefaultMarkerWidth = 40.0;

// Why a data file could not be read, for the message that names it.
std::string readProblem(const std::string& path)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return std::strerror(errno);
    std::fclose(f);
    return "its contents are not valid";
}

TrackerStart dataFileFailure(const char* headline, const DataFolder& data, const std::string& path)
{
    return TrackerStart::failed(std::string(headline) + describeDataFileProblem(data, path, readProblem(path)));
}

// Rotation about x by `angle` radians as a column-major 4x4. The angle is the float
// nearest pi/2, so the cosine entries hold -4.37e-8 rather than 0; models have always
// been placed with these exact values.
void rotationAboutX(float angle, float out[16])
{
    const float c = std::cos(angle), s = std::sin(angle);
    const float m[16] = {1, 0, 0, 0, 0, c, s, 0, 0, -s, c, 0, 0, 0, 0, 1};
    std::memcpy(out, m, sizeof m);
}

}  // namespace

clTracker::clTracker(TrackerTables& tables) : tables_(tables), detector_(tables)
{
    // Has the video library set up its state now, before this object is complete, so
    // that the state is destroyed after this object: the destructor's arVideoCapStop
    // and arVideoClose at program exit must not reach an already destroyed library.
    arVideoInqFrameRate();
}

clTracker::~clTracker() { shutdown(); }

void clTracker::closeVideo()
{
    if (videoCapturing_) arVideoCapStop();
    if (videoOpen_) arVideoClose();
    videoCapturing_ = false;
    videoOpen_ = false;
}

void clTracker::shutdown()
{
    if (arglContext) {
        releaseImageDrawContext(arglContext);
        arglContext = nullptr;
    }
    closeVideo();
    if (patternLoaded_) {
        freePatternSlot(tables_.patterns, patternId);
        patternLoaded_ = false;
    }
}

TrackerStart clTracker::initialize()
{
    // A second initialisation starts from a closed camera and a free pattern slot.
    closeVideo();
    if (patternLoaded_) {
        freePatternSlot(tables_.patterns, patternId);
        patternLoaded_ = false;
    }

    // A missing data folder is not the camera's fault: say where it was looked for.
    const DataFolder data = programDataFolder();
    if (data.path.empty()) {
        return TrackerStart::failed(describeDataFileProblem(data, "", ""));
    }
    // The calibration is read before the camera opens, so that a missing file is
    // reported as itself and not as whatever the video source makes of it. The one
    // named on the command line comes first, then the one the user made in the viewer,
    // then the data folder's.
    std::vector<CameraParam> calibrations;
    calibrationNote.clear();
    if (!calibrationFile.empty()) {
        const LoadResult chosen = loadCalibrationRecords(calibrationFile, &calibrations);
        if (!chosen) return TrackerStart::failed("Error loading parameter file for camera.\n" + chosen.problem().text());
        calibrationSource = calibrationFile;
    } else {
        const std::string saved = userCalibrationPath();
        if (!saved.empty() && access(saved.c_str(), F_OK) == 0) {
            const LoadResult own = loadCalibrationRecords(saved, &calibrations);
            if (own) {
                calibrationSource = saved;
            } else {
                calibrationNote = own.problem().text() + "; the default calibration is used instead";
                calibrations.clear();
            }
        }
    }
    if (calibrations.empty()) {
        CameraParam loaded{};
        const std::string cameraParamFile = dataFilePath(data, kCameraParamFile);
        if (!loadCameraParam(cameraParamFile.c_str(), 1, &loaded)) {
            return dataFileFailure("Error loading parameter file for camera.\n", data, cameraParamFile);
        }
        calibrations.push_back(loaded);
        calibrationSource = cameraParamFile;
    }
    const std::string videoConfig = dataFilePath(data, kVideoConfig);
    const int opened = arVideoOpen(videoConfig.c_str());
    if (opened == kVideoFileError) {
        return TrackerStart::failed(std::string("Error reading a data file of the video source.\n") +
                                    arVideoLastError() + " (data folder " + data.path + ", found as " + data.origin +
                                    ")");
    }
    if (opened < 0) {
        return TrackerStart::failed(std::string("Unable to open connection to camera.\n") + arVideoLastError());
    }
    videoOpen_ = true;
    // A source without a usable size cannot feed the frame buffers.
    if (arVideoInqSize(&width, &height) < 0 || width <= 0 || height <= 0) {
        closeVideo();
        return TrackerStart::failed();
    }

    // The record made for this frame size, or the first one scaled to it.
    resizeCameraParam(&calibrationForSize(calibrations, width, height), width, height, &cameraParam);
    tables_.workingParam = cameraParam;

    if (arVideoCapStart() != 0) {
        closeVideo();
        return TrackerStart::failed("Unable to begin camera data capture.\n");
    }
    videoCapturing_ = true;

    const std::string patternFile = dataFilePath(data, kPatternFile);
    patternId = loadPatternFile(tables_.patterns, patternFile.c_str());
    if (patternId < 0) {
        closeVideo();
        return dataFileFailure("Pattern file load error !!\n", data, patternFile);
    }
    patternLoaded_ = true;

    modelScale = kDefaultModelScale;
    markerWidth = kDefaultMarkerWidth;
    frameBytes = width * height * 4;
    firstPose = true;
    hold.reset();
    return {};
}

TrackerStart clTracker::initArgl()
{
    arglContext = arglSetupForCurrentContext();
    if (!arglContext) {
        closeVideo();
        return TrackerStart::failed("arglSetupForCurrentContext() returned error.\n");
    }
    const float quarterTurn = static_cast<float>(M_PI / 2.0);
    rotationAboutX(quarterTurn, modelAxis);
    rotationAboutX(-quarterTurn, modelAxisInverse);
    return {};
}

bool clTracker::updateFrame()
{
    if (frameBytes <= 0) return false;  // not initialised
    const unsigned char* frame = arVideoGetImage();
    if (!frame) {
        sleepOneMillisecond();
        return false;
    }

    frameSeconds = arVideoFrameTime();
    processFrame(frame);
    hold.update(markerFound, frameSeconds);
    arVideoCapNext();
    return true;
}

void clTracker::processFrame(const unsigned char* frame)
{
    // Work on a copy: the camera may hand out the next frame in the same memory.
    unsigned char* copy = frameCopy();
    if (!copy) {
        pendingProblem_ = FrameProblem::NoFrameMemory;
        markerFound = false;
        return;
    }
    std::memcpy(copy, frame, static_cast<size_t>(frameBytes));
    markerFound = false;

    // Automatic thresholding is local: each part of the frame gets the level of its own
    // light, so no level for the whole frame is computed.
    if (autoThreshold) threshold = kLocalThreshold;

    DetectedMarker* markers = nullptr;
    int count = 0;
    if (detector_.detect(copy, threshold, &markers, &count) < 0) {
        // Detection fails only when memory for its scratch runs out. The frame is
        // skipped; the next one may fare better. Said once, not at camera rate.
        if (!detectionFailureReported_) pendingProblem_ = FrameProblem::DetectionFailed;
        detectionFailureReported_ = true;
        return;
    }
    if (detector_.takeLabelOverflow(&overflowWidth_, &overflowHeight_))
        pendingProblem_ = FrameProblem::LabelOverflow;

    int chosen = -1;
    for (int i = 0; i < count; ++i) {
        if (markers[i].pattern != patternId) continue;
        if (chosen < 0 || markers[i].confidence > markers[chosen].confidence) chosen = i;
    }
    if (chosen >= 0) {
        // A pose that could not be fitted is not shown: the marker counts as not found
        // this frame and the last good transform stays for the next one to start from.
        double fitted[3][4];
        const double error =
            firstPose
                ? estimatePose(tables_.workingParam, &markers[chosen], markerCenter, markerWidth, fitted)
                : estimatePoseContinuous(tables_.workingParam, &markers[chosen], markerTransform,
                                         markerCenter, markerWidth, fitted);
        if (error >= 0.0 && poseIsFinite(fitted)) {
            std::memcpy(markerTransform, fitted, sizeof fitted);
            firstPose = false;
            markerFound = true;
        }
    }
}

unsigned char* clTracker::frameCopy()
{
    if (frameStore_) return frameStore_->frameCopy(width, height);
    if (ownCopy_.size() != static_cast<size_t>(frameBytes)) {
        try {
            ownCopy_.assign(static_cast<size_t>(frameBytes), 0);
        } catch (const std::bad_alloc&) {
            ownCopy_.clear();
            return nullptr;
        }
    }
    return ownCopy_.data();
}

FrameProblem clTracker::takeFrameProblem()
{
    const FrameProblem problem = pendingProblem_;
    pendingProblem_ = FrameProblem::None;
    return problem;
}

std::string clTracker::frameProblemText(FrameProblem problem) const
{
    char line[192];
    switch (problem) {
    case FrameProblem::NoFrameMemory:
        std::snprintf(line, sizeof line, "clTracker::updateFrame: no memory for a %dx%d frame copy\n", width, height);
        return line;
    case FrameProblem::DetectionFailed:
        return "clTracker::updateFrame: marker detection failed (out of memory); skipping frames\n";
    case FrameProblem::LabelOverflow:
        std::snprintf(line, sizeof line,
                      "pavonix: a %dx%d frame held more dark regions than the label table's %d; the rest were "
                      "skipped (reported once)\n",
                      overflowWidth_, overflowHeight_, kMaxProvisionalLabels);
        return line;
    case FrameProblem::None:
        break;
    }
    return {};
}

void clTracker::cameraPositionInModel(float out[3]) const
{
    double inverse[3][4] = {};
    invertRigidTransform(markerTransform, inverse);
    const float p[4] = {static_cast<float>(inverse[0][3]), static_cast<float>(inverse[1][3]),
                        static_cast<float>(inverse[2][3]), 1.0f};
    const float scale = static_cast<float>(modelScale);
    for (int r = 0; r < 3; ++r) {
        float sum = 0.0f;
        for (int c = 0; c < 4; ++c) sum += modelAxisInverse[4 * c + r] * p[c];
        out[r] = sum * scale;
    }
}

void clTracker::toggleAutoThreshold()
{
    autoThreshold = !autoThreshold;
    threshold = autoThreshold ? kLocalThreshold : kFixedThreshold;
}

void clTracker::scaleStep(double amount)
{
    modelScale += amount;
    if (modelScale < kMinModelScale) modelScale = kMinModelScale;
    if (modelScale > kMaxModelScale) modelScale = kMaxModelScale;
}
