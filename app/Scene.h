// Start-up scene state, the per-frame idle step, window reshaping and exit.
#pragma once

// One-time GL state, light, shadow matrix, physics world and default faces.
void initScene();
// Fills the three multitexture / compressed-texture entry points; reports missing ones.
void loadGLExtensions();
// dot(P, L) * I - L * P^T (column-major) into out: flattens geometry onto plane P as
// seen from the point light L (w = 1).
void makeShadowMatrix(const float light[3], const float plane[4], float out[16]);
// Reads the room's light off the marker's paper in the tracker's latest frame (held when
// the marker was not found); runs whether or not the light follows it, so switching it
// on needs no wait.
void measureRoomLight();
// Sets light 0's colours and the global ambient for the frame to draw: the room's light
// when that switch is on and an estimate exists, else the fixed light. Also what the
// shadow pass reads (viewState().light).
void applySceneLight();
void visibilityChanged(int state);
void idleStep();
void reshapeWindow(int width, int height);
void cleanupAtExit();

// The size a window of (width, height) is given so it keeps the camera's aspect ratio
// and never grows beyond what was asked.
void reshapeSize(int width, int height, int cameraWidth, int cameraHeight, int* outWidth, int* outHeight);

// Elapsed motion frames for an idle step at now (GLUT ms), given the previous step's
// time (0 = none): (now - prev) * 0.03, at most 10, 0 while paused.
float elapsedMotionFrames(int now, int previous, bool paused);

// Batch and offline modes override the wall clock: when positive, every idle step
// advances the motion by exactly this many frames.
void setFixedFrameStep(float frames);

// Whether the latest idle step took a new camera frame (false when none was ready).
bool idleStepHadNewFrame();

// Feeds the tracker's latest pose, seen at seconds of the video's own time, to the
// display filter when smoothing is on; forgets its history while off or lost.
void updateDisplayedPose(double seconds);
// The marker-to-camera [R | T] to draw with: the filtered pose when smoothing is on
// and has one, else the tracker's own.
const double (*displayedMarkerTransform())[4];
