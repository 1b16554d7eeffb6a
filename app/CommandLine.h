// The command line of the Linux program. With no options the viewer starts empty and
// runs until its window is closed.
#pragma once

#include <string>

#include "app/record/RecordFormat.h"

struct CommandLineOptions {
    std::string video;       // source as PAVONIX_VIDEO takes it; empty = configured source
    std::string calibration; // camera calibration file; empty = the saved one, else the data folder's
    std::string model1;      // opened into slot 1 after start-up
    std::string model2;      // opened into slot 2 (switches the twin on)
    std::string motion;      // opened after the models
    std::string audio;       // song played with the motion (the motion follows its clock)
    int audioOffsetMs = 0;   // motion frame = song seconds * 30 + offset * 0.03 (> 0: motion leads)
    long frames = 0;         // > 0: end after this many displayed frames
    std::string screenshot;  // PNG of the last frame, written before the end
    std::string record;      // recording from the first frame to the end (.mp4, .mkv, .avi)
    std::string render;      // offline rendering of a file source into this file
    RecordFormat captureFormat = RecordFormat::Avi;  // container of the C key's recordings
    bool listCameras = false;  // print the cameras and what they offer, then end
    bool demo = false;         // open the demo character and dance from the data folder
    bool help = false;
    bool version = false;
};

// Parses argv. Returns false with a message in error for an unknown option, a missing
// value, a bad number or an output file of a kind that cannot be recorded.
bool parseCommandLine(int argc, char** argv, CommandLineOptions& options, std::string& error);

// Makes the paths of the options absolute against `folder` (the folder the program was
// started from), so they keep meaning what the user typed after opening a model moves
// the current folder.
void makePathsAbsolute(CommandLineOptions& options, const std::string& folder);

// The --help text, keys and menu included.
const char* usageText();
