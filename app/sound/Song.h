// A song decoded whole into memory: what the player plays, what the motion is timed by
// and what recordings carry under their pictures. Kept at the file's own sample rate, so
// a recording gets the song's samples as they are (resampled at most once, by the
// encoder, when the container needs another rate).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct Song {
    std::string path;               // as opened, for messages
    int sampleRate = 0;             // the file's own rate
    int channels = 0;               // 1 or 2 (more are mixed down to 2)
    std::vector<int16_t> samples;   // interleaved, frames() * channels values

    int64_t frames() const { return channels > 0 ? static_cast<int64_t>(samples.size()) / channels : 0; }
    double seconds() const { return sampleRate > 0 ? static_cast<double>(frames()) / sampleRate : 0.0; }
};

// Reads and decodes an audio file (WAV, MP3, Ogg Vorbis, FLAC, M4A/AAC, anything FFmpeg
// reads) with FFmpeg's libraries. False, with `error` naming the file and what is wrong
// (missing, not audio, truncated or damaged), and `song` untouched.
bool decodeSong(const std::string& path, Song& song, std::string& error);

// Where the song stands at the frame being drawn: what a recording puts under it.
struct SongCursor {
    const Song* song = nullptr;     // null: no music (the recording has no sound track)
    bool playing = false;           // false: paused or past the song's end (silence)
    int64_t frame = 0;              // the song's sample frame that belongs to this picture
    unsigned generation = 0;        // changes on every jump: seek, restart, pause, new song
    // The same song, kept alive for as long as the cursor is: a recording may still read
    // it on its own thread after another song has been opened. Null when song is.
    std::shared_ptr<const Song> hold;
};
