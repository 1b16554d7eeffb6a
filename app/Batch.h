// Batch runs from the command line: a fixed number of frames with an optional
// screenshot and recording, and offline rendering of a video file.
#pragma once

#include "app/CommandLine.h"

// Installs the frame hooks for the options; call after the window and the scene exist.
// Returns false (after a message) when a recording cannot be started.
bool startBatch(const CommandLineOptions& options);
