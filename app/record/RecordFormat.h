// The containers a recording can be written in, chosen by the output file's extension
// (--record, --render) or by name (--capture-format for the C key's recordings).
#pragma once

#include <string>

enum class RecordFormat {
    Mp4,  // H.264 (libx264) + AAC, fragmented so a cut-off file still plays
    Mkv,  // H.264 (libx264) + AAC, clusters of at most a second
    Avi,  // MPEG-4 part 2 ("DIVX") + PCM s16le, what the program has always written
};

// The format a path's extension asks for (case-insensitive). False, with `error`
// naming the path and the three extensions known, for any other extension.
bool recordFormatForPath(const std::string& path, RecordFormat& format, std::string& error);
// "mp4", "mkv" or "avi" (also the file name extension).
const char* recordFormatName(RecordFormat format);
// The format named by "mp4", "mkv" or "avi" (case-insensitive); false for anything else.
bool parseRecordFormat(const std::string& name, RecordFormat& format);
