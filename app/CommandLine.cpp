#include "app/CommandLine.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "app/sound/Music.h"

namespace {

bool takeValue(int argc, char** argv, int& i, std::string& out, std::string& error) {
    const char* arg = argv[i];
    if (const char* eq = std::strchr(arg, '=')) {
        out = eq + 1;
        return true;
    }
    if (i + 1 >= argc) {
        error = std::string("option ") + arg + " needs a value";
        return false;
    }
    out = argv[++i];
    return true;
}

bool optionIs(const char* arg, const char* name) {
    const size_t n = std::strlen(name);
    return std::strncmp(arg, name, n) == 0 && (arg[n] == 0 || arg[n] == '=');
}

}  // namespace

bool parseCommandLine(int argc, char** argv, CommandLineOptions& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        std::string value;
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            options.help = true;
        } else if (std::strcmp(arg, "--version") == 0) {
            options.version = true;
        } else if (std::strcmp(arg, "--list-cameras") == 0) {
            options.listCameras = true;
        } else if (std::strcmp(arg, "--demo") == 0) {
            options.demo = true;
        } else if (optionIs(arg, "--video")) {
            if (!takeValue(argc, argv, i, options.video, error)) return false;
        } else if (optionIs(arg, "--calibration")) {
            if (!takeValue(argc, argv, i, options.calibration, error)) return false;
            if (options.calibration.empty()) {
                error = "--calibration needs a file name";
                return false;
            }
        } else if (optionIs(arg, "--model")) {
            if (!takeValue(argc, argv, i, options.model1, error)) return false;
        } else if (optionIs(arg, "--model2")) {
            if (!takeValue(argc, argv, i, options.model2, error)) return false;
        } else if (optionIs(arg, "--motion")) {
            if (!takeValue(argc, argv, i, options.motion, error)) return false;
        } else if (optionIs(arg, "--audio")) {
            if (!takeValue(argc, argv, i, options.audio, error)) return false;
            if (options.audio.empty()) {
                error = "--audio needs a file name";
                return false;
            }
        } else if (optionIs(arg, "--audio-offset")) {
            if (!takeValue(argc, argv, i, value, error)) return false;
            char* end = nullptr;
            errno = 0;
            const long ms = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != 0 || errno != 0 || ms < -kMaxAudioOffsetMs || ms > kMaxAudioOffsetMs) {
                error = "--audio-offset needs a whole number of milliseconds between " +
                        std::to_string(-kMaxAudioOffsetMs) + " and " + std::to_string(kMaxAudioOffsetMs) + ", not \"" +
                        value + "\"";
                return false;
            }
            options.audioOffsetMs = static_cast<int>(ms);
        } else if (optionIs(arg, "--screenshot")) {
            if (!takeValue(argc, argv, i, options.screenshot, error)) return false;
        } else if (optionIs(arg, "--record")) {
            if (!takeValue(argc, argv, i, options.record, error)) return false;
        } else if (optionIs(arg, "--render")) {
            if (!takeValue(argc, argv, i, options.render, error)) return false;
        } else if (optionIs(arg, "--capture-format")) {
            if (!takeValue(argc, argv, i, value, error)) return false;
            if (!parseRecordFormat(value, options.captureFormat)) {
                error = "--capture-format takes mp4, mkv or avi, not \"" + value + "\"";
                return false;
            }
        } else if (optionIs(arg, "--frames")) {
            if (!takeValue(argc, argv, i, value, error)) return false;
            char* end = nullptr;
            errno = 0;
            const long n = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != 0 || errno != 0 || n <= 0) {
                error = "--frames needs a positive whole number, not \"" + value + "\"";
                return false;
            }
            options.frames = n;
        } else {
            error = std::string("unknown option \"") + arg + "\"";
            return false;
        }
    }
    if (!options.screenshot.empty() && options.frames == 0 && options.render.empty()) {
        error = "--screenshot needs --frames N (or --render) to know which frame is the last";
        return false;
    }
    if (!options.render.empty() && options.video.rfind("file:", 0) != 0) {
        error = "--render needs a video file: --video file:PATH";
        return false;
    }
    RecordFormat format;
    for (const std::string* out : {&options.record, &options.render}) {
        if (!out->empty() && !recordFormatForPath(*out, format, error)) return false;
    }
    return true;
}

void makePathsAbsolute(CommandLineOptions& options, const std::string& folder) {
    if (folder.empty()) return;
    for (std::string* path : {&options.model1, &options.model2, &options.motion, &options.audio, &options.screenshot,
                              &options.record, &options.render, &options.calibration}) {
        if (!path->empty() && (*path)[0] != '/') *path = folder + "/" + *path;
    }
    // A video file is opened before anything moves the folder, but it is named by the
    // user all the same.
    const std::string prefix = "file:";
    if (options.video.rfind(prefix, 0) == 0 && options.video.size() > prefix.size() &&
        options.video[prefix.size()] != '/')
        options.video = prefix + folder + "/" + options.video.substr(prefix.size());
}

const char* usageText() {
    return "Usage: pavonix [OPTIONS]\n"
           "Augmented-reality viewer: finds the printed marker in the camera image and draws\n"
           "animated PMD/PMX characters standing on it.\n"
           "\n"
           "Options:\n"
           "  --video SOURCE     camera, camera:/dev/videoN, file:PATH, virtual or auto\n"
           "                     (default: Data/WDM_camera_flipV.xml, or PAVONIX_VIDEO)\n"
           "  --calibration FILE camera calibration (from pavonix-calibrate); default: the one\n"
           "                     made with Calibrate Camera [V], else Data/camera_para.dat\n"
           "  --model FILE       open a PMD/PMX model into slot 1\n"
           "  --model2 FILE      open a PMD/PMX model into slot 2 (the twin)\n"
           "  --motion FILE      open a VMD motion for both slots\n"
           "  --audio FILE       play a song (WAV, MP3, Ogg, FLAC, M4A...) with the motion;\n"
           "                     the motion follows the song's clock\n"
           "  --audio-offset MS  shift the motion against the song by MS milliseconds\n"
           "                     (positive: the motion leads; keys [ and ] nudge by 10 ms)\n"
           "  --demo             open the demo character and its dance (from the data folder)\n"
           "  --frames N         end after N displayed frames\n"
           "  --screenshot FILE  write the last frame to FILE as PNG before ending\n"
           "  --record FILE      record into FILE from the first frame to the end; the name\n"
           "                     sets the kind: .mp4 or .mkv (H.264 + AAC), .avi (MPEG-4 + PCM)\n"
           "  --render OUT       offline: process every frame of --video file:IN once, as\n"
           "                     fast as possible, advancing the motion by the video's frame\n"
           "                     time, and write one output frame per input frame (.mp4,\n"
           "                     .mkv or .avi)\n"
           "  --capture-format F the C key's recordings as mp4, mkv or avi (default avi)\n"
           "  --list-cameras     list the V4L2 cameras with the sizes and formats they offer\n"
           "  --help             show this text\n"
           "  --version          show the version\n"
           "\n"
           "Keys (also in the right-button menu):\n"
           "  O  open model 1          P  open model 2          M  open motion\n"
           "  R  restart motion        L  look at me (on/off)   T  display twin (on/off)\n"
           "  F  frame rate (on/off)   X  axes (on/off)         B  binarized image (on/off)\n"
           "  H  shadow / mirror       A  matrix text (on/off)  W  wire frame (on/off)\n"
           "  E  automatic threshold   S  save PNG screenshot   C  start/stop recording\n"
           "  K  toon look (on/off)    G  smooth pose (on/off)  U  open music\n"
           "  I  room light (on/off): light the characters like the marker's paper\n"
           "  V  calibrate the camera from views of the marker (V again ends it early)\n"
           "  space  pause motion and music                     +  larger  -  smaller models\n"
           "  [  ]  music offset 10 ms earlier / later (the motion lags / leads the song)\n"
           "  arrow keys, Page Up/Down  move the twin           Home  put the twin back\n"
           "\n"
           "Screenshots (img<date>-<time>-<ms>.png) and recordings (cap<date>-<time>-<ms>.avi,\n"
           "or .mp4/.mkv with --capture-format) are written into the folder of the pavonix\n"
           "executable, or, when that folder cannot be written, into the current folder\n"
           "($XDG_PICTURES_DIR or $HOME as a last resort).\n"
           "\n"
           "Data (camera_para.dat, patt.00, WDM_camera_flipV.xml, demo/) is taken from\n"
           "$PAVONIX_DATA, ./Data, Data/ beside or above the executable, or the installed\n"
           "share/pavonix, in that order.\n"
           "SIGINT, SIGTERM and SIGHUP end the viewer as closing its window does: a recording\n"
           "is completed and a --screenshot written.\n";
}
