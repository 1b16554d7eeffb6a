// The video configuration file (Data/WDM_camera_flipV.xml) and the source override.
#pragma once

#include <string>

struct VideoConfig {
    enum class Source { Auto, Camera, File, Virtual };
    Source source = Source::Auto;
    std::string device = "/dev/video0";  // camera: device path, or an index such as "0"
    std::string file;                    // file: video, printf-style image sequence, or picture
    int width = 640, height = 480;       // camera request and virtual camera frame size
    double fps = 30.0;                   // camera request; rate of files that do not state one
    bool flipV = false;                  // turn camera and file frames upside down
    // Virtual camera data; empty means marker.png and camera_para.dat beside the
    // configuration file (in Data/ when there is none).
    std::string marker, calibration;
    std::string baseDir;  // folder relative paths of the file are resolved against ("" = cwd)
};

const char* sourceKeyword(VideoConfig::Source source);

// Parses the text of a configuration file. fileName is used only in messages, which have
// the form "FILE: line N: problem". On failure config is left unchanged.
bool parseVideoConfig(const std::string& text, const std::string& fileName, VideoConfig& config, std::string* error);

// Reads and parses a configuration file. A missing file is an error unless allowMissing
// is set, in which case config keeps its defaults. Relative paths inside the file are
// made relative to the file's folder.
bool loadVideoConfig(const std::string& path, bool allowMissing, VideoConfig& config, std::string* error);

// Applies a source override: "auto", "virtual", "camera", "camera:DEVICE" or "file:PATH".
// origin names where it came from, for messages ("PAVONIX_VIDEO", "--video").
bool applySourceOverride(const std::string& request, const std::string& origin, VideoConfig& config,
                         std::string* error);
