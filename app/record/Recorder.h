// A recording in progress: the drawing thread hands over pictures and says which frame
// each is; a worker thread encodes and writes them (MediaWriter), so the viewer never
// waits for the encoder.
//
// Memory is fixed when the recording opens: a few picture slots (the window's size in
// RGBA) and a ring of queued frames, each with room for its share of the sound. Nothing
// is allocated per frame here. When the encoder falls behind, a live recording drops
// rather than waits: a picture with no free slot is skipped (the last one is recorded
// again); a frame with no room in the ring becomes one more showing of the newest
// queued picture while the frames waiting stay under a second, and is left out beyond
// that (players hold the picture before it; its sound goes with the next frame
// queued). The viewer keeps its pace and memory stays put.
// An offline render waits instead, since every frame must be in the file.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/record/MediaWriter.h"
#include "app/record/SoundFollower.h"

struct RecorderSettings {
    std::string path;
    RecordFormat format = RecordFormat::Avi;
    int width = 0, height = 0;  // the pictures' size
    double fps = 30.0;
    // The song whose rate and channels the sound track takes; null: no sound track.
    const Song* song = nullptr;
    // Live: drop when behind, follow the song's cursor. Offline: wait, and play the
    // song from its start, frame for frame.
    bool live = true;
};

class Recorder {
public:
    Recorder() = default;
    ~Recorder();  // completes the file
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Creates the file and starts the worker. False with `error` naming the file.
    bool open(const RecorderSettings& settings, std::string& error);

    // Where to put the next picture: width x height RGBA, rows bottom-up, tightly
    // packed. Null when every slot is still waiting for the encoder (live only; an
    // offline render waits for one): then the picture is skipped.
    unsigned char* pictureSlot();
    // The slot last handed out now holds the current picture.
    void commitPicture();

    // Queues frame `index` (0, 1, 2 ... with gaps allowed) showing the current picture,
    // with the song's sound for it. `fresh`: the picture was drawn for this frame (not
    // a repeat), so the sound may resync to the cursor. False when the frame was
    // dropped (live, encoder behind) or there is no picture yet.
    bool queueFrame(int64_t index, const SongCursor& cursor, bool fresh);

    // Waits for the worker to write everything queued, then completes the file. False
    // with `error` when anything failed on the way. Safe to call twice.
    bool close(std::string& error);

    bool isOpen() const { return open_; }
    bool hasSound() const { return channels_ > 0; }
    // A write failed on the worker (disk full, say); `error` gets the reason once.
    bool takeFailure(std::string& error);

    long framesDropped() const;
    // Frames that, with the ring full, were kept as one more showing of the picture
    // before them (the new picture, if any, left out).
    long framesRepeated() const;
    // Live recordings that end pad the file to its length in wall time: those frames
    // may wait for the encoder rather than be left out.
    void setWaitWhenFull(bool wait);
    long picturesSkipped() const { return picturesSkipped_; }
    long framesEncoded() const;
    // Times the sound went back to the song's cursor (the first sync, jumps, drift).
    long soundResyncs() const { return follower_.resyncs(); }
    int width() const { return width_; }
    int height() const { return height_; }

    // Sample frames of the sound track that lie before video frame `index`.
    int64_t soundStartOf(int64_t index) const;

private:
    struct Queued {
        int slot = -1;
        int64_t index = 0;
        int repeats = 0;             // further frames index+1 .. index+repeats with the same picture
        int64_t soundStart = 0;
        int soundCount = 0;
        std::vector<int16_t> sound;  // sized once, at open
    };

    void work();
    bool writeEntry(const Queued& entry, std::string& error);
    // Keeps the sound of a frame left out for the next frame queued.
    void carrySound(const SongCursor& cursor, bool fresh, int64_t start, int count);
    // Queues the last frame offered when it was left out, with the sound that waits.
    void queueLastOffered();
    // With the ring full: frame `index` becomes one more showing of the newest queued
    // picture, when that is allowed. Called with the lock held.
    bool foldIntoLast(int64_t index, const SongCursor& cursor, bool fresh, int64_t soundStart, int soundCount);
    void releaseSlot(int slot);

    MediaWriter writer_;
    std::thread worker_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;

    bool open_ = false;
    bool live_ = true;
    bool stopping_ = false;
    int width_ = 0, height_ = 0;
    int rateNum_ = 30, rateDen_ = 1;
    int sampleRate_ = 0, channels_ = 0;

    std::vector<std::vector<unsigned char>> slots_;
    std::vector<int> slotUsers_;  // queued frames using a slot, plus one for the current picture
    int current_ = -1;            // slot of the current picture
    int filling_ = -1;            // slot handed out by pictureSlot()

    std::vector<Queued> ring_;
    size_t head_ = 0, count_ = 0;  // ring_[head_] is the oldest queued frame

    SoundFollower follower_;
    std::vector<int16_t> carried_;   // sound of frames left out, waiting for the next one queued
    int64_t carriedStart_ = 0;       // its first sample frame in the track
    int carriedCount_ = 0;           // sample frames waiting
    int64_t lastOffered_ = -1;       // index of the last frame offered to queueFrame
    int64_t lastQueued_ = -1;        // ... and of the last one queued
    std::vector<int16_t> silence_;   // filler for sound that could not be kept
    int64_t soundWritten_ = 0;       // worker: sample frames in the file

    int backlog_ = 0;                // frames waiting in the ring, repeats included
    long repeated_ = 0;
    bool waitWhenFull_ = false;
    long dropped_ = 0;
    long picturesSkipped_ = 0;
    long encoded_ = 0;
    bool failed_ = false;
    bool failureReported_ = false;
    std::string failure_;
};
