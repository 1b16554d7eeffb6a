#include "app/record/MediaWriter.h"

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace {

// Sound is handed to the encoder in blocks of this many samples when the codec takes
// any size (PCM); AAC sets its own (1024).
constexpr int kPcmBlock = 1024;
// Longest stretch of the file that is only in memory: a fragment or cluster is
// finished and written at least this often (microseconds / milliseconds). Half a
// second leaves room for the encoder's queue within the two seconds a cut may cost.
constexpr const char* kFragmentMicroseconds = "500000";
constexpr const char* kClusterMilliseconds = "500";
// x264's constant-quality setting: visually clean at a moderate size.
constexpr const char* kH264Quality = "21";
// MPEG-4 part 2 quantiser (2 best .. 31 worst).
constexpr int kMpeg4Quantiser = 3;

std::string avError(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(code, text, sizeof text);
    return text;
}

const char* muxerName(RecordFormat format)
{
    switch (format) {
        case RecordFormat::Mp4: return "mp4";
        case RecordFormat::Mkv: return "matroska";
        case RecordFormat::Avi: return "avi";
    }
    return "avi";
}

// The rate the song goes to the encoder at: its own when the codec takes it (or takes
// any), else the lowest higher rate the codec has (nothing of the song is lost), else
// the highest it has.
int supportedRate(const AVCodec* codec, int wanted)
{
    if (!codec->supported_samplerates) return wanted;
    int above = 0, highest = 0;
    for (const int* r = codec->supported_samplerates; *r; ++r) {
        if (*r == wanted) return wanted;
        if (*r > wanted && (above == 0 || *r < above)) above = *r;
        highest = std::max(highest, *r);
    }
    return above > 0 ? above : (highest > 0 ? highest : wanted);
}

}  // namespace

MediaWriter::~MediaWriter()
{
    std::string ignored;
    close(ignored);
}

int MediaWriter::encodedWidth() const { return video_ ? video_->width : 0; }
int MediaWriter::encodedHeight() const { return video_ ? video_->height : 0; }
int MediaWriter::encodedSampleRate() const { return sound_ ? sound_->sample_rate : 0; }

bool MediaWriter::openVideo(const MediaSettings& s, std::string& error)
{
    const bool h264 = s.format != RecordFormat::Avi;
    const AVCodec* codec = h264 ? avcodec_find_encoder_by_name("libx264") : avcodec_find_encoder(AV_CODEC_ID_MPEG4);
    if (!codec) {
        error = h264 ? "FFmpeg has no libx264 encoder" : "FFmpeg has no MPEG-4 encoder";
        return false;
    }
    video_ = avcodec_alloc_context3(codec);
    if (!video_) {
        error = "out of memory";
        return false;
    }
    // 4:2:0 pictures need even sizes; an odd window loses its last column or row.
    video_->width = s.width & ~1;
    video_->height = s.height & ~1;
    video_->pix_fmt = AV_PIX_FMT_YUV420P;
    video_->time_base = AVRational{s.rateDen, s.rateNum};
    video_->framerate = AVRational{s.rateNum, s.rateDen};
    // A key frame at least every second, so a cut-off file loses at most that much and
    // a player can seek anywhere.
    video_->gop_size = std::max(1, static_cast<int>(std::ceil(static_cast<double>(s.rateNum) / s.rateDen)));
    video_->max_b_frames = 0;
    if (h264) {
        av_opt_set(video_->priv_data, "preset", "veryfast", 0);
        av_opt_set(video_->priv_data, "crf", kH264Quality, 0);
        // Live: every frame leaves the encoder at once (no look-ahead held in memory).
        if (s.live) av_opt_set(video_->priv_data, "tune", "zerolatency", 0);
    } else {
        video_->codec_tag = MKTAG('D', 'I', 'V', 'X');
        video_->flags |= AV_CODEC_FLAG_QSCALE;
        video_->global_quality = FF_QP2LAMBDA * kMpeg4Quantiser;
    }
    if (format_->oformat->flags & AVFMT_GLOBALHEADER) video_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int rc = avcodec_open2(video_, codec, nullptr);
    if (rc < 0) {
        error = "cannot open the video encoder: " + avError(rc);
        return false;
    }
    videoStream_ = avformat_new_stream(format_, nullptr);
    if (!videoStream_ || avcodec_parameters_from_context(videoStream_->codecpar, video_) < 0) {
        error = "cannot add the video stream";
        return false;
    }
    videoStream_->time_base = video_->time_base;
    videoStream_->avg_frame_rate = video_->framerate;
    videoStream_->r_frame_rate = video_->framerate;

    picture_ = av_frame_alloc();
    if (!picture_) {
        error = "out of memory";
        return false;
    }
    picture_->format = video_->pix_fmt;
    picture_->width = video_->width;
    picture_->height = video_->height;
    if (av_frame_get_buffer(picture_, 0) < 0) {
        error = "out of memory for the picture";
        return false;
    }
    scaler_ = sws_getContext(video_->width, video_->height, AV_PIX_FMT_RGBA, video_->width, video_->height,
                             AV_PIX_FMT_YUV420P, SWS_POINT, nullptr, nullptr, nullptr);
    if (!scaler_) {
        error = "cannot set up the colour conversion";
        return false;
    }
    return true;
}

bool MediaWriter::openSound(const MediaSettings& s, std::string& error)
{
    const bool aac = s.format != RecordFormat::Avi;
    const AVCodec* codec = avcodec_find_encoder(aac ? AV_CODEC_ID_AAC : AV_CODEC_ID_PCM_S16LE);
    if (!codec) {
        error = aac ? "FFmpeg has no AAC encoder" : "FFmpeg has no PCM encoder";
        return false;
    }
    sound_ = avcodec_alloc_context3(codec);
    if (!sound_) {
        error = "out of memory";
        return false;
    }
    // The song's own rate whenever the codec takes it; otherwise resampled here, once.
    sound_->sample_rate = supportedRate(codec, s.sampleRate);
    sound_->sample_fmt = aac ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_S16;
    av_channel_layout_default(&sound_->ch_layout, s.channels);
    sound_->time_base = AVRational{1, sound_->sample_rate};
    if (aac) sound_->bit_rate = 96000 * s.channels;
    if (format_->oformat->flags & AVFMT_GLOBALHEADER) sound_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int rc = avcodec_open2(sound_, codec, nullptr);
    if (rc < 0) {
        error = "cannot open the sound encoder: " + avError(rc);
        return false;
    }
    soundStream_ = avformat_new_stream(format_, nullptr);
    if (!soundStream_ || avcodec_parameters_from_context(soundStream_->codecpar, sound_) < 0) {
        error = "cannot add the sound stream";
        return false;
    }
    soundStream_->time_base = sound_->time_base;

    soundFrameSize_ = sound_->frame_size > 0 ? sound_->frame_size : kPcmBlock;
    soundFrame_ = av_frame_alloc();
    if (!soundFrame_) {
        error = "out of memory";
        return false;
    }
    soundFrame_->format = sound_->sample_fmt;
    soundFrame_->nb_samples = soundFrameSize_;
    soundFrame_->sample_rate = sound_->sample_rate;
    if (av_channel_layout_copy(&soundFrame_->ch_layout, &sound_->ch_layout) < 0 ||
        av_frame_get_buffer(soundFrame_, 0) < 0) {
        error = "out of memory for the sound";
        return false;
    }
    AVChannelLayout inLayout;
    av_channel_layout_default(&inLayout, s.channels);
    rc = swr_alloc_set_opts2(&resampler_, &sound_->ch_layout, sound_->sample_fmt, sound_->sample_rate, &inLayout,
                             AV_SAMPLE_FMT_S16, s.sampleRate, 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    if (rc < 0 || swr_init(resampler_) < 0) {
        error = "cannot set up the sound conversion";
        return false;
    }
    inputChannels_ = s.channels;
    return true;
}

bool MediaWriter::open(const MediaSettings& s, std::string& error)
{
    std::string ignored;
    close(ignored);
    path_ = s.path;
    // The encoders' banners and notes are not for the user; errors still show.
    av_log_set_level(AV_LOG_ERROR);
    soundFill_ = 0;
    soundPts_ = 0;
    const auto fail = [&](const std::string& why) {
        error = "cannot record into \"" + s.path + "\": " + why;
        release();
        return false;
    };
    if (s.width < 2 || s.height < 2) return fail("no picture size");
    if (s.rateNum <= 0 || s.rateDen <= 0) return fail("no frame rate");
    int rc = avformat_alloc_output_context2(&format_, nullptr, muxerName(s.format), s.path.c_str());
    if (rc < 0 || !format_) return fail(avError(rc));
    std::string why;
    if (!openVideo(s, why)) return fail(why);
    if (s.sampleRate > 0 && s.channels > 0 && !openSound(s, why)) return fail(why);
    packet_ = av_packet_alloc();
    if (!packet_) return fail("out of memory");

    rc = avio_open(&format_->pb, s.path.c_str(), AVIO_FLAG_WRITE);
    if (rc < 0) return fail(avError(rc));
    // Every packet goes to the file as soon as the muxer releases it.
    format_->flags |= AVFMT_FLAG_FLUSH_PACKETS;
    format_->flush_packets = 1;
    AVDictionary* options = nullptr;
    if (s.format == RecordFormat::Mp4) {
        av_dict_set(&options, "movflags", "frag_keyframe+empty_moov+default_base_moof", 0);
        av_dict_set(&options, "frag_duration", kFragmentMicroseconds, 0);
    } else if (s.format == RecordFormat::Mkv) {
        av_dict_set(&options, "cluster_time_limit", kClusterMilliseconds, 0);
    }
    rc = avformat_write_header(format_, &options);
    av_dict_free(&options);
    if (rc < 0) {
        avio_closep(&format_->pb);
        return fail(avError(rc));
    }
    headerWritten_ = true;
    avio_flush(format_->pb);
    return true;
}

bool MediaWriter::encode(AVCodecContext* codec, AVStream* stream, AVFrame* frame, std::string& error)
{
    int rc = avcodec_send_frame(codec, frame);
    if (rc < 0 && rc != AVERROR_EOF) {
        error = "encoding failed: " + avError(rc);
        return false;
    }
    for (;;) {
        rc = avcodec_receive_packet(codec, packet_);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
        if (rc < 0) {
            error = "encoding failed: " + avError(rc);
            return false;
        }
        av_packet_rescale_ts(packet_, codec->time_base, stream->time_base);
        packet_->stream_index = stream->index;
        rc = av_interleaved_write_frame(format_, packet_);  // takes the packet's data
        if (rc < 0) {
            error = "writing \"" + path_ + "\" failed: " + avError(rc);
            return false;
        }
    }
}

bool MediaWriter::writePicture(const unsigned char* rgba, int stride, int64_t index, std::string& error)
{
    if (!isOpen()) return false;
    if (av_frame_make_writable(picture_) < 0) {
        error = "out of memory for the picture";
        return false;
    }
    // OpenGL's rows run from the bottom up: start at the top row and step backwards.
    const uint8_t* top[1] = {rgba + static_cast<ptrdiff_t>(video_->height - 1) * stride};
    const int strides[1] = {-stride};
    sws_scale(scaler_, top, strides, 0, video_->height, picture_->data, picture_->linesize);
    picture_->pts = index;
    return encode(video_, videoStream_, picture_, error);
}

bool MediaWriter::encodeSoundFrame(std::string& error)
{
    soundFrame_->nb_samples = soundFill_;
    soundFrame_->pts = soundPts_;
    soundPts_ += soundFill_;
    soundFill_ = 0;
    const bool ok = encode(sound_, soundStream_, soundFrame_, error);
    soundFrame_->nb_samples = soundFrameSize_;
    return ok;
}

bool MediaWriter::writeSound(const int16_t* samples, int count, std::string& error)
{
    if (!isOpen() || !sound_) return true;
    const uint8_t* in[1] = {reinterpret_cast<const uint8_t*>(samples)};
    // A null `samples` drains the resampler at the end; an empty input array in the
    // loop below only collects what it still holds (a null one would drain it early).
    const uint8_t** input = samples ? in : nullptr;
    int inputCount = samples ? std::max(0, count) : 0;
    // The converter keeps what does not fit; it is drained block by block.
    for (;;) {
        if (soundFill_ == 0 && av_frame_make_writable(soundFrame_) < 0) {
            error = "out of memory for the sound";
            return false;
        }
        uint8_t* out[AV_NUM_DATA_POINTERS];
        const int bytesPerSample = av_get_bytes_per_sample(sound_->sample_fmt);
        const bool planar = av_sample_fmt_is_planar(sound_->sample_fmt);
        for (int p = 0; p < AV_NUM_DATA_POINTERS; ++p) {
            out[p] = soundFrame_->data[p]
                         ? soundFrame_->data[p] + static_cast<ptrdiff_t>(soundFill_) * bytesPerSample *
                                                      (planar ? 1 : sound_->ch_layout.nb_channels)
                         : nullptr;
        }
        const int got = swr_convert(resampler_, out, soundFrameSize_ - soundFill_, input, inputCount);
        if (got < 0) {
            error = "sound conversion failed: " + avError(got);
            return false;
        }
        inputCount = 0;
        soundFill_ += got;
        if (soundFill_ < soundFrameSize_) return true;
        if (!encodeSoundFrame(error)) return false;
    }
}

bool MediaWriter::close(std::string& error)
{
    if (!format_) return true;
    bool ok = true;
    if (headerWritten_) {
        std::string why;
        if (sound_) {
            // The resampler's tail, then a last short block, then the encoder's delay.
            if (!writeSound(nullptr, 0, why)) ok = false;
            if (ok && soundFill_ > 0 && !encodeSoundFrame(why)) ok = false;
            if (ok && !encode(sound_, soundStream_, nullptr, why)) ok = false;
        }
        if (ok && !encode(video_, videoStream_, nullptr, why)) ok = false;
        const int rc = av_write_trailer(format_);
        if (ok && rc < 0) {
            ok = false;
            why = "finishing the file failed: " + avError(rc);
        }
        if (!ok) error = "\"" + path_ + "\": " + why;
    }
    if (format_->pb && avio_closep(&format_->pb) < 0 && ok) {
        ok = false;
        error = "\"" + path_ + "\": closing the file failed";
    }
    release();
    return ok;
}

void MediaWriter::release()
{
    if (format_ && format_->pb) avio_closep(&format_->pb);
    avformat_free_context(format_);
    format_ = nullptr;
    avcodec_free_context(&video_);
    avcodec_free_context(&sound_);
    videoStream_ = soundStream_ = nullptr;
    av_frame_free(&picture_);
    av_frame_free(&soundFrame_);
    av_packet_free(&packet_);
    sws_freeContext(scaler_);
    scaler_ = nullptr;
    swr_free(&resampler_);
    headerWritten_ = false;
    soundFill_ = 0;
}
