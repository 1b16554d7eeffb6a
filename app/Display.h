// Composition of one frame: camera image, the models on the marker with their shadow
// or mirror image, and the text overlays.
#pragma once

void displayFrame();
// g_modelViewMatrix from the current marker transform, model scale and model axis.
void computeModelView();
void drawFpsOverlay();
// The frame-rate bookkeeping of drawFpsOverlay for a frame at now (GLUT ms): counts the
// frame, renews the rate once a second, and formats the line it would draw.
void countFpsFrame(int now, char* line, int size);
void drawMatrixOverlay();
// The video library's note about the source (a camera missing or unplugged), if any.
void drawVideoStatusOverlay();
// While the camera is being calibrated: the views taken and wanted, and what to do next.
void drawCalibrationOverlay();
// One line of text in the window's top-left area, lineOffset pixels below the top.
void drawOverlayText(const char* text, int lineOffset);

// The text of the frame-rate line and of matrix line k (0..3), as drawn. The frame-rate
// line shows the threshold's level, or "auto" for kLocalThreshold; the music's offset
// joins it while it is not zero.
void formatFpsLine(char* out, int size, float fps, int threshold, int audioOffsetMs = 0);
void formatMatrixLine(char* out, int size, const double matrix[16], int row);

// Called right after the frame is composed and before the buffers are swapped; the
// command line's batch mode and the read-backs hang off it.
using FrameComposedHook = void (*)();
void setFrameComposedHook(FrameComposedHook hook);
// Called after each swap (one displayed frame).
void setFrameShownHook(FrameComposedHook hook);
