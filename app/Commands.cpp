#include "app/Commands.h"

#include <GL/freeglut.h>

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <string>

#include "animation/Motion.h"
#include "animation/MotionPlayer.h"
#include "animation/Skeleton.h"
#include "app/Globals.h"
#include "app/imgproc/Capture.h"
#include "app/imgproc/cvImgProc.h"
#include "render/ModelDraw.h"
#include "app/ModelMessages.h"
#include "character/LoadModelFile.h"
#include "character/ModelFrame.h"
#include "physics/ModelBodies.h"
#include "platform/HostUI.h"
#include "tracking/Marker.h"
#include "tracking/view/Tracker.h"

const char* const kMenuLabels[kMenuEntryCount] = {
    "Open Model 1 (PMD/PMX)  [O]", "Open Model 2 (PMD/PMX)  [P]", "Open Motion (VMD)       [M]",
    "Restart Motion          [R]", "Look at me!    (On/Off) [L]", "Display Twin   (On/Off) [T]",
    "Display FPS    (On/Off) [F]", "Display Axis   (On/Off) [X]", "Display Bin    (On/Off) [B]",
    "Display Shadow (On/Off) [H]", "Display Matrix (On/Off) [A]", "Wire frame     (On/Off) [W]",
    "Auto Threshold (On/Off) [E]", "Save to PNG file        [S]", "Capture to AVI file     [C]",
    "Toon Look      (On/Off) [K]", "Smooth Pose    (On/Off) [G]", "Open Music              [U]",
    "Room Light     (On/Off) [I]",
    "Calibrate Camera        [V]",
};

namespace {

// One scale step of the '+' and '-' keys; '+' draws the models larger.
constexpr double kScaleStep = 0.01;

const char kModelFilter[] = "PMD File(*.pmd)|PMX File(*.pmx)";
const char kModelPatterns[] = "*.pmd;*.pmx";
const char kMotionFilter[] = "VMD File(*.vmd)";
const char kMotionPatterns[] = "*.vmd";
const char kMusicFilter[] = "Audio File(*.wav;*.mp3;*.ogg;*.flac;*.m4a;*.aac;*.opus)";
const char kMusicPatterns[] = "*.wav;*.mp3;*.ogg;*.oga;*.flac;*.m4a;*.aac;*.opus";

// The pose a freshly bound motion starts from: frame 0 with the bodies at rest.
void rebindMotion(cModel& model, MotionData& motion) {
    bindMotion(model.motion, model, motion);
    updateModelPose(model, 0.0f);
    resetRigidBodies(model.physics);
    // A redisplay already asked for runs before the next idle step: without skinning
    // here, a model just loaded would be drawn once from vertices never computed.
    if (!skinModel(model)) std::fprintf(stderr, "%s\n", kSkinningMemoryMessage);
}

bool loadModelInto(cModel& model, MotionData& motion, const char* path) {
    const LoadResult result = loadModel(model, path, nullptr, g_physicsWorld.get());
    reportModelLoad(result);
    if (!result) {
        const std::string error = refusalText(result.problem());
        const std::string text = error.empty() ? std::string("Cannot load the model \"") + path + "\"." : error;
        showMessage("Open Model", text.c_str());
        return false;
    }
    // The bodies are put at rest around the bones, so the bones need their frame-0
    // pose first: a fresh model has none, and with the motion paused no idle step would
    // give it one before the bodies are written back into the bones.
    rebindMotion(model, motion);
    return true;
}

// Reads one slot's copy of a motion file; a file that cannot be opened or read keeps
// the motion the slot had. What the reader found goes to standard error, a line each.
bool loadMotionCopy(const char* path, MotionData& motion) {
    const LoadResult result = loadVMDFileKeepingOld(path, motion);
    for (const LoadProblem& warning : result.warnings()) std::fprintf(stderr, "%s\n", warning.text().c_str());
    if (!result) std::fprintf(stderr, "%s\n", result.problem().text().c_str());
    return result.ok();
}

}  // namespace

bool openModelFile(int slot, const char* path) {
    // As with the dialog, the model's folder becomes the current directory, so its
    // textures are found next to it.
    const std::string p = path;
    const size_t slash = p.rfind('/');
    if (slash != std::string::npos) {
        const std::string folder = slash == 0 ? "/" : p.substr(0, slash);
        // A folder that cannot be entered holds no readable model either: the load
        // below reports the file by its full name, so one message says what went wrong.
        if (chdir(folder.c_str()) == 0 && p[0] != '/') path = p.c_str() + slash + 1;
    }
    if (slot == 1) {
        modelSlots().model1Loaded = loadModelInto(modelSlots().model1, modelSlots().motion1, path);
        return modelSlots().model1Loaded;
    }
    const bool ok = loadModelInto(modelSlots().model2, modelSlots().motion2, path);
    g_displayTwin = ok;
    modelSlots().twinOffset[0] = kTwinOffsetX;
    modelSlots().twinOffset[1] = 0.0f;
    modelSlots().twinOffset[2] = 0.0f;
    return ok;
}

bool openMotionFile(const char* path) {
    const bool loaded = loadMotionCopy(path, modelSlots().motion1);
    if (!loaded) {
        const std::string text = std::string("Cannot load the motion \"") + path +
                                 "\"; the details are on standard error.";
        showMessage("Open Motion", text.c_str());
    }
    if (modelSlots().model1Loaded) rebindMotion(modelSlots().model1, modelSlots().motion1);
    loadMotionCopy(path, modelSlots().motion2);
    if (g_displayTwin) rebindMotion(modelSlots().model2, modelSlots().motion2);
    g_music.restart();  // a new dance starts with its song
    return loaded;
}

bool openMusicFile(const char* path) {
    std::string error;
    if (!g_music.open(path, error)) {
        showMessage("Open Music", error.c_str());
        return false;
    }
    reportMusicDeviceProblem();
    restartMotion();
    return true;
}

void reportMusicDeviceProblem() {
    const std::string problem = g_music.deviceProblemToReport();
    if (problem.empty()) return;
    const std::string text = "No sound device (" + problem +
                             "): the song is not heard and the motion runs on the wall clock; recordings still "
                             "carry the song.";
    showMessage("Music", text.c_str());
}

void openModel1() {
    std::string path;
    if (!chooseOpenFile(kModelFilter, kModelPatterns, "pmd", path)) return;
    openModelFile(1, path.c_str());
}

void openModel2() {
    std::string path;
    if (!chooseOpenFile(kModelFilter, kModelPatterns, "pmd", path)) return;
    openModelFile(2, path.c_str());
}

void openMotion() {
    std::string path;
    if (!chooseOpenFile(kMotionFilter, kMotionPatterns, "vmd", path)) return;
    openMotionFile(path.c_str());
}

void openMusic() {
    std::string path;
    if (!chooseOpenFile(kMusicFilter, kMusicPatterns, "wav", path)) return;
    openMusicFile(path.c_str());
}

void restartMotion() {
    if (modelSlots().model1Loaded) rebindMotion(modelSlots().model1, modelSlots().motion1);
    if (g_displayTwin) rebindMotion(modelSlots().model2, modelSlots().motion2);
    g_music.restart();
}

void menuSelected(int id) {
    switch (id) {
        case 1: openModel1(); break;
        case 2: openModel2(); break;
        case 3: openMotion(); break;
        case 4: restartMotion(); break;
        case 5:
            modelSlots().model1.lookAtCamera = !modelSlots().model1.lookAtCamera;
            modelSlots().model2.lookAtCamera = !modelSlots().model2.lookAtCamera;
            break;
        case 6: g_displayTwin = !g_displayTwin; break;
        case 7: g_displayFps = !g_displayFps; break;
        case 8: g_displayAxis = !g_displayAxis; break;
        case 9: debugImageMode = debugImageMode ? 0 : 1; break;
        case 10: g_displayShadow = !g_displayShadow; break;
        case 11: g_displayMatrix = !g_displayMatrix; break;
        case 12: g_wireFrame = !g_wireFrame; break;
        case 13: viewerTracker().toggleAutoThreshold(); break;
        case 14: SaveImage(viewerCapture()); break;
        case 15: viewerCapture().controlCapture(); break;
        case 16:
            setModelLook(requestedModelLook() == ModelLook::Toon ? ModelLook::Classic : ModelLook::Toon);
            break;
        case 17: g_smoothPose = !g_smoothPose; break;
        case 18: openMusic(); break;
        case 19: viewState().display.roomLight = !viewState().display.roomLight; break;
        case 20: viewState().calibration.toggle(viewerTracker()); break;
        default: break;
    }
}

int menuEntryForKey(unsigned char key) {
    switch (std::tolower(key)) {
        case 'o': return 1;
        case 'p': return 2;
        case 'm': return 3;
        case 'r': return 4;
        case 'l': return 5;
        case 't': return 6;
        case 'f': return 7;
        case 'x': return 8;
        case 'b': return 9;
        case 'h': return 10;
        case 'a': return 11;
        case 'w': return 12;
        case 'e': return 13;
        case 's': return 14;
        case 'c': return 15;
        case 'k': return 16;
        case 'g': return 17;
        case 'u': return 18;
        case 'i': return 19;
        case 'v': return 20;
        default: return 0;
    }
}

void keyboardPressed(unsigned char key, int, int) {
    if (const int entry = menuEntryForKey(key)) {
        menuSelected(entry);
        return;
    }
    switch (key) {
        case ' ':
            g_pauseMotion = !g_pauseMotion;
            g_music.setPaused(g_pauseMotion);
            break;
        case '[': g_music.nudgeOffset(-kAudioOffsetStepMs); break;
        case ']': g_music.nudgeOffset(kAudioOffsetStepMs); break;
        case '+': viewerTracker().scaleStep(-kScaleStep); break;
        case '-': viewerTracker().scaleStep(kScaleStep); break;
        default: break;
    }
}

void specialKeyPressed(int key, int, int) {
    switch (key) {
        case GLUT_KEY_LEFT: modelSlots().twinOffset[0] -= 1.0f; break;
        case GLUT_KEY_RIGHT: modelSlots().twinOffset[0] += 1.0f; break;
        case GLUT_KEY_UP: modelSlots().twinOffset[2] += 1.0f; break;
        case GLUT_KEY_DOWN: modelSlots().twinOffset[2] -= 1.0f; break;
        case GLUT_KEY_PAGE_UP: modelSlots().twinOffset[1] -= 1.0f; break;
        case GLUT_KEY_PAGE_DOWN: modelSlots().twinOffset[1] += 1.0f; break;
        case GLUT_KEY_HOME:
            modelSlots().twinOffset[0] = kTwinOffsetX;
            modelSlots().twinOffset[1] = 0.0f;
            modelSlots().twinOffset[2] = 0.0f;
            break;
        default: break;
    }
}
