// One frame of the application at 640x480 with two characters on the marker: the
// tracker's work on a camera frame, the idle step (motion, look-at, physics, skinning)
// and the display callback up to the finished picture. Needs an X display (Xvfb).
// BM_AppFrameRecording is the same frame while a live recording runs (as the C key
// starts one): the read-back and hand-over on the drawing thread, the encoder working
// meanwhile on its own thread and sharing the machine.
//
// The characters are the real Gene models (PMD in slot 1, PMX in slot 2) with a real
// motion when the test data is present, else the demo character twice.
#include <benchmark/benchmark.h>
#include <GL/freeglut.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "app/Commands.h"
#include "app/Display.h"
#include "app/Globals.h"
#include "app/Scene.h"
#include "app/imgproc/cvImgProc.h"
#include "app/record/RecordFormat.h"
#include "app/record/Recorder.h"
#include "physics/PhysicsWorld.h"
#include "platform/video/Video.h"
#include "scene/MarkerScene.h"
#include "scene/VirtualCamera.h"
#include "tracking/view/Tracker.h"

namespace {

const std::string kSource = PAVONIX_SOURCE_DIR;
const std::string kReal = PAVONIX_TESTDATA_DIR;

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::vector<unsigned char> g_frame;  // one camera frame with the marker in view
bool g_ready = false;

// Start-up as the program does it, without the event loop; the camera is the virtual
// one, but every benchmarked frame goes through the tracker from g_frame so the work
// does not depend on when the camera thread delivers.
bool startApplication() {
    if (std::getenv("DISPLAY") == nullptr) return false;
    if (chdir(kSource.c_str()) != 0) return false;
    setenv("PAVONIX_NO_DIALOGS", "1", 1);
    int argc = 1;
    char name[] = "bench_app_frame";
    char* argv[] = {name, nullptr};
    glutInit(&argc, argv);
    makeViewer();
    installVirtualCamera();
    arVideoSetSourceOverride("virtual");
    viewerTracker().setFrameCopyStore(&viewerCapture());
    if (!viewerTracker().initialize()) return false;
    glutInitDisplayMode(GLUT_RGBA | GLUT_DOUBLE | GLUT_DEPTH | GLUT_STENCIL);
    glutInitWindowSize(viewerTracker().width, viewerTracker().height);
    glutCreateWindow(g_windowTitle);
    if (!viewerTracker().initArgl()) return false;
    loadGLExtensions();
    viewerCapture().init(viewerTracker().width, viewerTracker().height);
    glutDisplayFunc(displayFrame);
    // The viewer makes its physics world before the scene, and so does this stand-in.
    g_physicsWorld = std::make_unique<PhysicsWorld>();
    initScene();
    reshapeWindow(viewerTracker().width, viewerTracker().height);

    const std::string pmd = kReal + "/pmd/gene_light/Gene_light.pmd";
    const std::string pmx = kReal + "/pmx/gene_light/Gene_light.pmx";
    const std::string vmd = kReal + "/vmd/gene/00_normal.vmd";
    const bool real = exists(pmd) && exists(pmx) && exists(vmd);
    const std::string demo = kSource + "/Data/demo/pavo.pmd";
    if (!openModelFile(1, (real ? pmd : demo).c_str())) return false;
    if (!openModelFile(2, (real ? pmx : demo).c_str())) return false;
    if (!openMotionFile((real ? vmd : kSource + "/Data/demo/dance.vmd").c_str())) return false;
    if (chdir(kSource.c_str()) != 0) return false;
    std::fprintf(stderr, "app_frame: %s\n", real ? "real Gene models, PMD and PMX" : "demo character twice");

    CameraParam camera = viewerTracker().cameraParam;
    MarkerImage marker;
    if (!loadMarkerImage("Data/marker.png", marker, nullptr)) return false;
    double pose[3][4];
    virtualCameraPose(0.0, pose);
    g_frame.resize(static_cast<size_t>(viewerTracker().frameBytes));
    renderMarkerScene(camera, pose, kVirtualMarkerWidth, marker, SceneOptions{}, g_frame.data());
    viewerTracker().processFrame(g_frame.data());
    if (!viewerTracker().markerFound)
        std::fprintf(stderr, "app_frame: the marker is not found in the frame\n");
    // The camera thread is not needed: every frame below comes from g_frame.
    arVideoCapStop();
    return true;
}

void frame() {
    viewerTracker().processFrame(g_frame.data());
    idleStep();
    displayFrame();
}

void BM_AppFrame(benchmark::State& state) {
    if (!g_ready) {
        state.SkipWithError("no display, or start-up failed");
        return;
    }
    for (auto _ : state) {
        frame();
        glFinish();  // the picture is complete, as the swap would need it
    }
    state.SetItemsProcessed(state.iterations());
}
// Process CPU time counts the GL driver's worker threads too (llvmpipe draws on them).
BENCHMARK(BM_AppFrame)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

void BM_AppFrameRecording(benchmark::State& state) {
    if (!g_ready) {
        state.SkipWithError("no display, or start-up failed");
        return;
    }
    const auto format = static_cast<RecordFormat>(state.range(0));
    const std::string path =
        std::string("/tmp/pavonix-bench-app-") + std::to_string(getpid()) + "." + recordFormatName(format);
    if (!viewerCapture().startCaptureTo(path.c_str(), 30.0, false)) {
        state.SkipWithError("cannot record");
        return;
    }
    const int chain = viewerCapture().captureChain();
    for (auto _ : state) {
        // The capture timer's tick asks for the next picture; the display reads it back.
        cvImgProc::captureTimer(chain);
        frame();
        glFinish();
    }
    const long dropped = viewerCapture().recorder ? viewerCapture().recorder->framesDropped() : 0;
    const long skipped = viewerCapture().recorder ? viewerCapture().recorder->picturesSkipped() : 0;
    viewerCapture().stopCapture();
    std::remove(path.c_str());
    state.SetLabel(std::string(recordFormatName(format)) + ", " + std::to_string(dropped) + " frames left out, " +
                   std::to_string(skipped) + " pictures repeated");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AppFrameRecording)
    ->Arg(static_cast<int>(RecordFormat::Mp4))
    ->Arg(static_cast<int>(RecordFormat::Mkv))
    ->Arg(static_cast<int>(RecordFormat::Avi))
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    g_ready = startApplication();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // The exit handlers and static destructors release models, world and camera.
    std::exit(0);
}
