#include "app/sound/Song.h"

#include "app/sound/TruncationChecks.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

namespace {

// A song is held whole in memory; beyond this many bytes of samples (about 1 h 30 min
// of stereo at 48 kHz) the file is refused rather than the program run out of memory.
constexpr size_t kMaxSampleBytes = size_t(1) << 30;

// A song that ends this much short of the length its file declares was cut off: more
// than encoder padding and rounding of the declared length, less than any real loss.
constexpr double kTruncationToleranceSeconds = 0.25;
constexpr double kTruncationToleranceShare = 0.01;

std::string ffmpegError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

std::string quoted(const std::string& path) { return "\"" + path + "\""; }

std::string formatSeconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", s);
    return text;
}

struct FormatCloser {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecCloser {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct ResamplerCloser {
    void operator()(SwrContext* c) const { swr_free(&c); }
};
struct PacketCloser {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameCloser {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct ChannelLayout {
    AVChannelLayout layout{};
    ~ChannelLayout() { av_channel_layout_uninit(&layout); }
};

// What is wrong with the path before FFmpeg sees it: missing, a folder, unreadable.
bool checkFileExists(const std::string& path, std::string& error) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        error = quoted(path) + ": " + (errno == ENOENT ? std::string("no such file") : std::strerror(errno));
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        error = quoted(path) + ": is a folder, not an audio file";
        return false;
    }
    if (st.st_size == 0) {
        error = quoted(path) + ": the file is empty";
        return false;
    }
    return true;
}

// The long name of the container the file's first bytes belong to, when FFmpeg is
// sure enough of it to call a file that fails to open a damaged one of that kind.
std::string recognisedFormat(const std::string& path) {
    constexpr int kProbeBytes = 4096;
    std::vector<unsigned char> head(kProbeBytes + AVPROBE_PADDING_SIZE, 0);
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return std::string();
    const size_t got = std::fread(head.data(), 1, kProbeBytes, f);
    std::fclose(f);
    AVProbeData probe{};
    probe.filename = "";  // judged by the bytes alone, not the name
    probe.buf = head.data();
    probe.buf_size = static_cast<int>(got);
    int score = 0;
    const AVInputFormat* format = av_probe_input_format3(&probe, 1, &score);
    if (!format || score <= AVPROBE_SCORE_EXTENSION) return std::string();
    return format->long_name ? format->long_name : format->name;
}

// The length the container declares for the stream, in seconds; 0 when it declares
// none or only guesses it from the bit rate (a guess is no yardstick for truncation).
double declaredSeconds(const AVFormatContext& format, const AVStream& stream) {
    if (format.duration_estimation_method == AVFMT_DURATION_FROM_BITRATE) return 0.0;
    if (stream.duration > 0 && stream.time_base.den > 0) return double(stream.duration) * av_q2d(stream.time_base);
    if (format.duration > 0) return double(format.duration) / AV_TIME_BASE;
    return 0.0;
}

// Decoding state for one file: the demuxer, the decoder and the converter to
// interleaved 16-bit samples of at most two channels at the file's own rate.
class SongDecoder {
public:
    bool open(const std::string& path, std::string& error);
    bool decodeAll(std::vector<int16_t>& out, std::string& error);
    int sampleRate() const { return codec_->sample_rate; }
    int channels() const { return outChannels_; }
    double declared() const { return declared_; }

private:
    bool convert(const AVFrame* frame, std::vector<int16_t>& out, std::string& error);
    bool receiveFrames(AVFrame* frame, std::vector<int16_t>& out, std::string& error);
    void noteDamage(const std::vector<int16_t>& out, int code);
    double secondsIn(const std::vector<int16_t>& out) const {
        return double(out.size() / size_t(outChannels_)) / codec_->sample_rate;
    }
    bool setUpConverter(const AVFrame* frame, std::string& error);

    std::string path_;
    std::unique_ptr<AVFormatContext, FormatCloser> format_;
    std::unique_ptr<AVCodecContext, CodecCloser> codec_;
    std::unique_ptr<SwrContext, ResamplerCloser> converter_;
    int streamIndex_ = -1;
    int outChannels_ = 0;
    double declared_ = 0.0;
    // The input the converter was set up for; a stream may change it midway.
    int inRate_ = 0;
    int inFormat_ = -1;
    ChannelLayout inLayout_;
    int damagedPackets_ = 0;
    std::string firstDamage_;  // where the first damage was met and what it was
};

bool SongDecoder::open(const std::string& path, std::string& error) {
    path_ = path;
    AVFormatContext* raw = nullptr;
    int rc = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
    if (rc < 0) {
        const std::string kind = recognisedFormat(path);
        if (kind.empty()) {
            error = quoted(path) + ": not an audio file (FFmpeg does not recognise it)";
        } else {
            error = quoted(path) + ": a damaged or truncated " + kind + " file (" + ffmpegError(rc) + ")";
        }
        return false;
    }
    format_.reset(raw);
    rc = avformat_find_stream_info(raw, nullptr);
    if (rc < 0) {
        error = quoted(path) + ": damaged, its streams cannot be read (" + ffmpegError(rc) + ")";
        return false;
    }
    const AVCodec* decoder = nullptr;
    streamIndex_ = av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
    if (streamIndex_ == AVERROR_STREAM_NOT_FOUND) {
        error = quoted(path) + ": not an audio file (it holds no sound)";
        return false;
    }
    if (streamIndex_ < 0 || !decoder) {
        error = quoted(path) + ": its sound is in a format FFmpeg cannot decode";
        return false;
    }
    const AVStream* stream = raw->streams[streamIndex_];
    codec_.reset(avcodec_alloc_context3(decoder));
    if (!codec_ || avcodec_parameters_to_context(codec_.get(), stream->codecpar) < 0 ||
        avcodec_open2(codec_.get(), decoder, nullptr) < 0) {
        error = quoted(path) + ": the " + decoder->name + " decoder does not accept its sound";
        return false;
    }
    if (codec_->sample_rate <= 0) {
        error = quoted(path) + ": damaged, no sample rate";
        return false;
    }
    outChannels_ = codec_->ch_layout.nb_channels >= 2 ? 2 : 1;
    declared_ = declaredSeconds(*raw, *stream);
    return true;
}

bool SongDecoder::setUpConverter(const AVFrame* frame, std::string& error) {
    if (converter_ && frame->sample_rate == inRate_ && frame->format == inFormat_ &&
        av_channel_layout_compare(&frame->ch_layout, &inLayout_.layout) == 0)
        return true;
    if (frame->sample_rate != codec_->sample_rate) {
        // Held at one rate: a stream that changes its rate midway would need resampling.
        error = quoted(path_) + ": the sample rate changes midway (" + std::to_string(codec_->sample_rate) + " Hz to " +
                std::to_string(frame->sample_rate) + " Hz)";
        return false;
    }
    av_channel_layout_uninit(&inLayout_.layout);
    if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || frame->ch_layout.nb_channels <= 0) {
        av_channel_layout_default(&inLayout_.layout, frame->ch_layout.nb_channels > 0 ? frame->ch_layout.nb_channels
                                                                                       : codec_->ch_layout.nb_channels);
    } else if (av_channel_layout_copy(&inLayout_.layout, &frame->ch_layout) < 0) {
        error = quoted(path_) + ": out of memory";
        return false;
    }
    if (inLayout_.layout.nb_channels <= 0) {
        error = quoted(path_) + ": damaged, no channels";
        return false;
    }
    ChannelLayout outLayout;
    av_channel_layout_default(&outLayout.layout, outChannels_);
    SwrContext* raw = nullptr;
    // Same rate in and out: the converter only changes the sample format and mixes
    // more than two channels down to stereo.
    int rc = swr_alloc_set_opts2(&raw, &outLayout.layout, AV_SAMPLE_FMT_S16, frame->sample_rate, &inLayout_.layout,
                                 static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr);
    converter_.reset(raw);
    if (rc < 0 || (rc = swr_init(raw)) < 0) {
        error = quoted(path_) + ": its sound cannot be converted (" + ffmpegError(rc) + ")";
        return false;
    }
    inRate_ = frame->sample_rate;
    inFormat_ = frame->format;
    return true;
}

bool SongDecoder::convert(const AVFrame* frame, std::vector<int16_t>& out, std::string& error) {
    if (!setUpConverter(frame, error)) return false;
    const int room = swr_get_out_samples(converter_.get(), frame->nb_samples);
    if (room < 0) {
        error = quoted(path_) + ": its sound cannot be converted";
        return false;
    }
    const size_t used = out.size();
    const size_t wanted = used + size_t(room) * size_t(outChannels_);
    if (wanted * sizeof(int16_t) > kMaxSampleBytes) {
        error = quoted(path_) + ": too long to hold in memory (more than " +
                std::to_string(kMaxSampleBytes / (1024 * 1024)) + " MiB of samples)";
        return false;
    }
    out.resize(wanted);
    uint8_t* dst = reinterpret_cast<uint8_t*>(out.data() + used);
    const int got = swr_convert(converter_.get(), &dst, room, const_cast<const uint8_t**>(frame->extended_data),
                                frame->nb_samples);
    if (got < 0) {
        error = quoted(path_) + ": its sound cannot be converted (" + ffmpegError(got) + ")";
        return false;
    }
    out.resize(used + size_t(got) * size_t(outChannels_));
    return true;
}

bool SongDecoder::receiveFrames(AVFrame* frame, std::vector<int16_t>& out, std::string& error) {
    for (;;) {
        const int rc = avcodec_receive_frame(codec_.get(), frame);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
        if (rc < 0) {
            noteDamage(out, rc);
            return true;
        }
        const bool ok = convert(frame, out, error);
        av_frame_unref(frame);
        if (!ok) return false;
    }
}

void SongDecoder::noteDamage(const std::vector<int16_t>& out, int code) {
    if (damagedPackets_++ == 0) firstDamage_ = "at " + formatSeconds(secondsIn(out)) + ": " + ffmpegError(code);
}

bool SongDecoder::decodeAll(std::vector<int16_t>& out, std::string& error) {
    std::unique_ptr<AVPacket, PacketCloser> packet(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameCloser> frame(av_frame_alloc());
    if (!packet || !frame) {
        error = quoted(path_) + ": out of memory";
        return false;
    }
    for (bool ended = false; !ended;) {
        const int rc = av_read_frame(format_.get(), packet.get());
        if (rc == AVERROR_EOF) {
            avcodec_send_packet(codec_.get(), nullptr);  // drains the decoder
            ended = true;
        } else if (rc < 0) {
            error = quoted(path_) + ": damaged, reading stopped after " + formatSeconds(secondsIn(out)) + " (" +
                    ffmpegError(rc) + ")";
            return false;
        } else {
            // A damaged packet here and there is skipped, as players do; the damage
            // counts only when it leaves the song noticeably shorter than its file says.
            const bool ours = packet->stream_index == streamIndex_;
            if (ours && (packet->flags & AV_PKT_FLAG_CORRUPT)) noteDamage(out, AVERROR_INVALIDDATA);
            const int sent = ours ? avcodec_send_packet(codec_.get(), packet.get()) : 0;
            av_packet_unref(packet.get());
            if (sent < 0 && sent != AVERROR(EAGAIN)) noteDamage(out, sent);
        }
        if (!receiveFrames(frame.get(), out, error)) return false;
    }
    const std::string damage = firstDamage_.empty() ? std::string() : " (damage " + firstDamage_ + ")";
    if (out.empty()) {
        error = quoted(path_) + ": damaged, no sound could be decoded" + damage;
        return false;
    }
    const double have = secondsIn(out);
    const double tolerance = std::max(kTruncationToleranceSeconds, declared_ * kTruncationToleranceShare);
    if (declared_ > 0.0 && have + tolerance < declared_) {
        error = quoted(path_) + ": truncated or damaged: the file declares " + formatSeconds(declared_) +
                " of sound, only " + formatSeconds(have) + " could be decoded" + damage;
        return false;
    }
    return true;
}

}  // namespace

bool decodeSong(const std::string& path, Song& song, std::string& error) {
    if (!checkFileExists(path, error)) return false;
    SongDecoder decoder;
    if (!decoder.open(path, error)) return false;
    std::vector<int16_t> samples;
    if (!decoder.decodeAll(samples, error)) return false;
    if (!oggEndsProperly(path)) {
        error = quoted(path) + ": truncated: the Ogg stream stops after " +
                formatSeconds(double(samples.size() / size_t(decoder.channels())) / decoder.sampleRate()) +
                " without its end mark";
        return false;
    }
    const WavLength wav = wavLength(path);
    if (wav.declared > 0.0 && wav.present + kTruncationToleranceSeconds < wav.declared) {
        error = quoted(path) + ": truncated: the file declares " + formatSeconds(wav.declared) + " of sound, only " +
                formatSeconds(wav.present) + " are there";
        return false;
    }
    song.path = path;
    song.sampleRate = decoder.sampleRate();
    song.channels = decoder.channels();
    song.samples = std::move(samples);
    return true;
}
