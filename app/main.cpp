// Pavonix: start-up and the GLUT event loop.
#include <GL/freeglut.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/Batch.h"
#include "app/CommandLine.h"
#include "app/Commands.h"
#include "app/Display.h"
#include "app/Globals.h"
#include "app/Scene.h"
#include "app/imgproc/cvImgProc.h"
#include "physics/PhysicsWorld.h"
#include "platform/HostUI.h"
#include "platform/Paths.h"
#include "platform/video/CameraList.h"
#include "platform/video/Video.h"
#include "scene/VirtualCamera.h"
#include "tracking/view/Tracker.h"

#ifndef PAVONIX_VERSION
#define PAVONIX_VERSION "unknown"
#endif

namespace {

// Start-up failures end the process with these statuses.
constexpr int kExitPathError = -1;
constexpr int kExitTrackerError = -2;
constexpr int kExitArglError = -3;

// A tracker that could not start says why in a message box, before the program's own.
void showTrackerFailure(const TrackerStart& started) {
    if (!started.text.empty()) showMessage(started.caption.c_str(), started.text.c_str());
}

// The folder the program was started from; empty when it cannot be named.
std::string startingFolder() {
    char cwd[4096];
    return getcwd(cwd, sizeof(cwd)) ? std::string(cwd) : std::string();
}

// The demo fills what the command line leaves open: a model given by hand is kept.
void addDemoFiles(CommandLineOptions& options) {
    const DataFolder data = programDataFolder();
    if (data.path.empty()) return;  // the start-up reports the missing folder
    if (options.model1.empty()) options.model1 = dataFilePath(data, "demo/pavo.pmd");
    if (options.motion.empty()) options.motion = dataFilePath(data, "demo/dance.vmd");
}

void openFromCommandLine(const CommandLineOptions& options) {
    if (!options.model1.empty()) openModelFile(1, options.model1.c_str());
    if (!options.model2.empty()) openModelFile(2, options.model2.c_str());
    if (!options.motion.empty()) openMotionFile(options.motion.c_str());
    if (!options.audio.empty()) openMusicFile(options.audio.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    CommandLineOptions options;
    std::string error;
    if (!parseCommandLine(argc, argv, options, error)) {
        std::fprintf(stderr, "pavonix: %s\nTry 'pavonix --help'.\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(usageText(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("pavonix %s\n", PAVONIX_VERSION);
        return 0;
    }
    if (options.listCameras) {
        const char* devDir = std::getenv("PAVONIX_DEV_DIR");  // tests point it at fake nodes
        std::fputs(listCamerasText(devDir && *devDir ? devDir : "/dev").c_str(), stdout);
        return 0;
    }
    // Opening a model moves into its folder (as the file dialog must), so every path
    // the user typed is pinned to the folder the program was started from first.
    makePathsAbsolute(options, startingFolder());
    if (options.demo) addDemoFiles(options);

    // Screenshots and recordings go next to the executable, wherever the dialogs move
    // the current directory.
    const std::string exeDir = executableDir();
    if (exeDir.empty() || exeDir.size() >= sizeof(g_exeDir)) {
        showMessage("main", "path error");
        std::exit(kExitPathError);
    }
    std::memcpy(g_exeDir, exeDir.c_str(), exeDir.size() + 1);

    // GLUT sees only the program's name: our options are already consumed.
    int glutArgc = 1;
    glutInit(&glutArgc, argv);
    glutSetOption(GLUT_ACTION_ON_WINDOW_CLOSE, GLUT_ACTION_EXIT);

    // The capture, the tracker and the model slots, which the callbacks below work on.
    makeViewer();
    Viewer& v = viewer();

    installVirtualCamera();
    // What the video library has to say (the source chosen, a camera lost and found).
    arVideoSetReportSink([](const std::string& line) { std::fprintf(stderr, "video: %s\n", line.c_str()); });
    if (!options.video.empty()) arVideoSetSourceOverride(options.video.c_str());
    if (!options.render.empty()) arVideoSetOffline(true);

    // The tracker copies each frame into the capture's image, which the display draws.
    v.tracker.setFrameCopyStore(&v.capture);
    v.tracker.calibrationFile = options.calibration;
    if (const TrackerStart started = v.tracker.initialize(); !started) {
        showTrackerFailure(started);
        showMessage("main", "g_clTracker.initialize() error");
        std::exit(kExitTrackerError);
    }
    if (!v.tracker.calibrationNote.empty()) std::fprintf(stderr, "%s\n", v.tracker.calibrationNote.c_str());

    glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE | GLUT_DEPTH | GLUT_STENCIL);
    glutInitWindowSize(v.tracker.width, v.tracker.height);
    glutCreateWindow(g_windowTitle);

    if (const TrackerStart started = v.tracker.initArgl(); !started) {
        showTrackerFailure(started);
        showMessage("main", "g_clTracker.initArgl() error");
        std::exit(kExitArglError);
    }

    loadGLExtensions();
    v.capture.init(v.tracker.width, v.tracker.height);
    v.capture.captureFormat = options.captureFormat;
    // Recordings carry the song from where the motion stands at each recorded frame.
    v.capture.songCursor = [] { return g_music.cursor(); };

    glutDisplayFunc(displayFrame);
    glutReshapeFunc(reshapeWindow);
    glutVisibilityFunc(visibilityChanged);
    glutKeyboardFunc(keyboardPressed);
    glutSpecialFunc(specialKeyPressed);

    std::atexit(cleanupAtExit);

    glutCreateMenu(menuSelected);
    for (int i = 0; i < kMenuEntryCount; ++i) glutAddMenuEntry(kMenuLabels[i], i + 1);
    glutAttachMenu(GLUT_RIGHT_BUTTON);

    g_physicsWorld = std::make_unique<PhysicsWorld>();
    initScene();

    g_music.setOffsetMs(options.audioOffsetMs);
    // Offline the song follows the video's clock and is not played aloud.
    if (!options.render.empty()) g_music.setDeviceWanted(false);
    openFromCommandLine(options);
    if (!startBatch(options)) std::exit(1);

    glutMainLoop();
    return 0;
}
