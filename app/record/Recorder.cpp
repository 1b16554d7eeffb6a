#include "app/record/Recorder.h"

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavutil/rational.h>
}

namespace {

// Pictures in flight: the current one, and up to three waiting for the encoder.
constexpr int kPictureSlots = 4;
// Frames that may wait for the encoder: about 0.4 s at 30 fps. Whatever waits is lost
// when the process dies, so the ring is kept short; on a machine too busy to encode in
// time the frames beyond it are left out instead.
constexpr size_t kQueuedFrames = 12;
// Frames, repeats included, that may wait for the encoder before new ones are left
// out: what waits is lost when the process dies, so about 0.8 s at 30 fps.
constexpr int kMaxBacklogFrames = 24;
// Sound of frames left out that rides along with the next frame queued, so the sound
// track stays whole while pictures are dropped: up to a second at 30 fps.
constexpr int kCarriedFrames = 30;
// How far the recording's sound may stray from the song's cursor before it jumps back.
constexpr double kSoundToleranceSeconds = 0.05;

}  // namespace

Recorder::~Recorder()
{
    std::string ignored;
    close(ignored);
}

int64_t Recorder::soundStartOf(int64_t index) const
{
    // Exact integer arithmetic: frame k begins at k * den / num seconds.
    return index * rateDen_ * static_cast<int64_t>(sampleRate_) / rateNum_;
}

bool Recorder::open(const RecorderSettings& s, std::string& error)
{
    std::string ignored;
    close(ignored);
    const AVRational rate = av_d2q(s.fps > 0.0 ? s.fps : 30.0, 100000);
    rateNum_ = rate.num > 0 ? rate.num : 30;
    rateDen_ = rate.den > 0 ? rate.den : 1;
    width_ = s.width;
    height_ = s.height;
    live_ = s.live;
    const bool sound = s.song && s.song->sampleRate > 0 && (s.song->channels == 1 || s.song->channels == 2);
    sampleRate_ = sound ? s.song->sampleRate : 0;
    channels_ = sound ? s.song->channels : 0;

    MediaSettings media;
    media.path = s.path;
    media.format = s.format;
    media.width = s.width;
    media.height = s.height;
    media.rateNum = rateNum_;
    media.rateDen = rateDen_;
    media.sampleRate = sampleRate_;
    media.channels = channels_;
    media.live = s.live;
    if (!writer_.open(media, error)) return false;

    try {
        const size_t pictureBytes = static_cast<size_t>(s.width) * s.height * 4;
        slots_.assign(kPictureSlots, std::vector<unsigned char>(pictureBytes));
        slotUsers_.assign(kPictureSlots, 0);
        // One frame's sound is at most ceil(rate / fps) sample frames.
        const size_t chunk = sound ? static_cast<size_t>(soundStartOf(1)) + 2 : 0;
        ring_.assign(kQueuedFrames, Queued{});
        for (Queued& q : ring_) q.sound.assign(chunk * (kCarriedFrames + 1) * channels_, 0);
        carried_.assign(chunk * kCarriedFrames * channels_, 0);
        silence_.assign(chunk * channels_, 0);
    } catch (const std::bad_alloc&) {
        std::string ignoredToo;
        writer_.close(ignoredToo);
        error = "cannot record into \"" + s.path + "\": out of memory";
        return false;
    }
    follower_.start(sampleRate_, channels_, static_cast<int64_t>(kSoundToleranceSeconds * sampleRate_));
    current_ = filling_ = -1;
    head_ = count_ = 0;
    soundWritten_ = 0;
    carriedStart_ = 0;
    carriedCount_ = 0;
    lastOffered_ = lastQueued_ = -1;
    backlog_ = 0;
    repeated_ = 0;
    waitWhenFull_ = false;
    dropped_ = picturesSkipped_ = encoded_ = 0;
    failed_ = failureReported_ = false;
    failure_.clear();
    stopping_ = false;
    open_ = true;
    worker_ = std::thread(&Recorder::work, this);
    return true;
}

unsigned char* Recorder::pictureSlot()
{
    if (!open_) return nullptr;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        for (int i = 0; i < kPictureSlots; ++i) {
            if (slotUsers_[i] == 0 && i != current_) {
                filling_ = i;
                return slots_[i].data();
            }
        }
        if (live_ || failed_) {
            ++picturesSkipped_;
            filling_ = -1;
            return nullptr;
        }
        changed_.wait(lock);
    }
}

void Recorder::commitPicture()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (filling_ < 0) return;
    if (current_ >= 0) --slotUsers_[current_];
    current_ = filling_;
    ++slotUsers_[current_];
    filling_ = -1;
}

bool Recorder::queueFrame(int64_t index, const SongCursor& cursor, bool fresh)
{
    if (!open_) return false;
    const int64_t soundStart = soundStartOf(index);
    const int soundCount = channels_ > 0 ? static_cast<int>(soundStartOf(index + 1) - soundStart) : 0;
    lastOffered_ = index;
    std::unique_lock<std::mutex> lock(mutex_);
    if (!live_ || waitWhenFull_) changed_.wait(lock, [&] { return count_ < ring_.size() || failed_; });
    if (current_ >= 0 && count_ >= ring_.size() && !failed_ && foldIntoLast(index, cursor, fresh, soundStart, soundCount))
        return true;
    if (current_ < 0 || count_ >= ring_.size() || failed_) {
        ++dropped_;
        lock.unlock();
        // The picture is left out, its sound is not: it waits for the next frame queued.
        if (soundCount > 0 && live_) carrySound(cursor, fresh, soundStart, soundCount);
        return false;
    }
    Queued& q = ring_[(head_ + count_) % ring_.size()];
    q.slot = current_;
    ++slotUsers_[current_];
    lock.unlock();

    // The entry is ours until it is counted in: the worker reads only counted entries.
    q.index = index;
    q.repeats = 0;
    q.soundStart = soundStart;
    q.soundCount = soundCount;
    lastQueued_ = index;
    if (soundCount > 0) {
        int16_t* out = q.sound.data();
        if (carriedCount_ > 0 && carriedStart_ + carriedCount_ == soundStart) {
            std::copy(carried_.begin(), carried_.begin() + static_cast<ptrdiff_t>(carriedCount_) * channels_, out);
            out += static_cast<ptrdiff_t>(carriedCount_) * channels_;
            q.soundStart = carriedStart_;
            q.soundCount += carriedCount_;
        }
        carriedCount_ = 0;
        if (live_)
            follower_.take(cursor, fresh, out, soundCount);
        else
            follower_.takeAt(cursor.song, soundStart, out, soundCount);
    }
    lock.lock();
    ++count_;
    backlog_ += 1;
    changed_.notify_all();
    return true;
}

bool Recorder::foldIntoLast(int64_t index, const SongCursor& cursor, bool fresh, int64_t soundStart, int soundCount)
{
    // The newest queued frame is not the one the worker is on (two or more wait), so it
    // may still grow. It takes this frame as one more showing of its picture, with its
    // sound: always when that is the picture this frame shows anyway (drawing stalled
    // and the timeline catches up), and for a new picture only while the frames waiting
    // stay within the backlog allowed.
    if (count_ < 2) return false;
    Queued& tail = ring_[(head_ + count_ - 1) % ring_.size()];
    if (tail.slot != current_ && backlog_ >= kMaxBacklogFrames) return false;
    if (tail.index + tail.repeats + 1 != index) return false;
    const int capacity = static_cast<int>(tail.sound.size()) / std::max(1, channels_);
    if (soundCount > 0 && (tail.soundStart + tail.soundCount != soundStart || tail.soundCount + soundCount > capacity))
        return false;
    if (soundCount > 0)
        follower_.take(cursor, fresh, tail.sound.data() + static_cast<ptrdiff_t>(tail.soundCount) * channels_,
                       soundCount);
    tail.soundCount += soundCount;
    ++tail.repeats;
    ++backlog_;
    ++repeated_;
    lastQueued_ = index;
    return true;
}

void Recorder::carrySound(const SongCursor& cursor, bool fresh, int64_t start, int count)
{
    // At least one frame's sound always fits (the buffer holds kCarriedFrames of them).
    const int capacity = static_cast<int>(carried_.size()) / channels_;
    // Not contiguous with what waits, or no room left: what waits is given up (the file
    // gets silence there) rather than memory grown.
    if (carriedCount_ > 0 && (carriedStart_ + carriedCount_ != start || carriedCount_ + count > capacity))
        carriedCount_ = 0;
    if (carriedCount_ == 0) carriedStart_ = start;
    follower_.take(cursor, fresh, carried_.data() + static_cast<ptrdiff_t>(carriedCount_) * channels_, count);
    carriedCount_ += count;
}

void Recorder::releaseSlot(int slot)
{
    if (slot >= 0) --slotUsers_[slot];
}

bool Recorder::writeEntry(const Queued& q, std::string& error)
{
    const unsigned char* picture = slots_[q.slot].data();
    for (int r = 0; r <= q.repeats; ++r)
        if (!writer_.writePicture(picture, width_ * 4, q.index + r, error)) return false;
    if (q.soundCount <= 0) return true;
    // Frames dropped before this one left a hole in the sound: silence fills it.
    while (soundWritten_ < q.soundStart) {
        const int gap = static_cast<int>(std::min<int64_t>(q.soundStart - soundWritten_, static_cast<int64_t>(silence_.size()) / channels_));
        if (gap <= 0 || !writer_.writeSound(silence_.data(), gap, error)) return gap <= 0;
        soundWritten_ += gap;
    }
    if (!writer_.writeSound(q.sound.data(), q.soundCount, error)) return false;
    soundWritten_ = q.soundStart + q.soundCount;
    return true;
}

void Recorder::work()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return count_ > 0 || stopping_; });
        if (count_ == 0) return;  // stopping, and everything written
        const Queued& q = ring_[head_];
        const bool skip = failed_;
        lock.unlock();
        // The slot cannot change while this frame uses it, nor the entry while it is
        // counted, so both are read without the lock.
        std::string error;
        const bool ok = skip || writeEntry(q, error);
        lock.lock();
        if (!ok && !failed_) {
            failed_ = true;
            failure_ = error;
        }
        if (ok && !skip) encoded_ += 1 + q.repeats;
        backlog_ -= 1 + q.repeats;
        releaseSlot(q.slot);
        head_ = (head_ + 1) % ring_.size();
        --count_;
        changed_.notify_all();
    }
}

void Recorder::queueLastOffered()
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (lastOffered_ <= lastQueued_ || current_ < 0) return;
    // The end must be in the file, with the sound still waiting: worth a short wait.
    changed_.wait(lock, [&] { return count_ < ring_.size() || failed_; });
    if (failed_) return;
    Queued& q = ring_[(head_ + count_) % ring_.size()];
    q.slot = current_;
    ++slotUsers_[current_];
    q.index = lastOffered_;
    q.repeats = 0;
    q.soundStart = carriedStart_;
    q.soundCount = carriedCount_;
    std::copy(carried_.begin(), carried_.begin() + static_cast<ptrdiff_t>(carriedCount_) * channels_, q.sound.begin());
    carriedCount_ = 0;
    lastQueued_ = lastOffered_;
    ++count_;
    ++backlog_;
    changed_.notify_all();
}

bool Recorder::close(std::string& error)
{
    if (!open_) return true;
    // A recording whose last frames were left out still ends where it was stopped.
    queueLastOffered();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        changed_.notify_all();
    }
    if (worker_.joinable()) worker_.join();
    open_ = false;
    std::string why;
    bool ok = writer_.close(why);
    if (failed_) {
        ok = false;
        why = failure_;
    }
    if (!ok) error = why;
    slots_.clear();
    slotUsers_.clear();
    ring_.clear();
    current_ = filling_ = -1;
    return ok;
}

bool Recorder::takeFailure(std::string& error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!failed_ || failureReported_) return false;
    failureReported_ = true;
    error = failure_;
    return true;
}

void Recorder::setWaitWhenFull(bool wait)
{
    std::lock_guard<std::mutex> lock(mutex_);
    waitWhenFull_ = wait;
}

long Recorder::framesRepeated() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return repeated_;
}

long Recorder::framesDropped() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

long Recorder::framesEncoded() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return encoded_;
}
