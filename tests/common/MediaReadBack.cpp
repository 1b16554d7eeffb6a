#include "common/MediaReadBack.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

namespace {

std::atomic<int> g_errorMessages{0};

void countErrors(void* avcl, int level, const char* fmt, va_list args)
{
    if (level <= AV_LOG_ERROR) ++g_errorMessages;
    (void)avcl;
    (void)fmt;
    (void)args;
}

struct Decoder {
    AVCodecContext* codec = nullptr;
    int stream = -1;
    ~Decoder() { avcodec_free_context(&codec); }
};

bool openDecoder(AVFormatContext* format, AVMediaType type, Decoder& d)
{
    d.stream = av_find_best_stream(format, type, -1, -1, nullptr, 0);
    if (d.stream < 0) return false;
    const AVCodecParameters* par = format->streams[d.stream]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    if (!codec) return false;
    d.codec = avcodec_alloc_context3(codec);
    if (!d.codec || avcodec_parameters_to_context(d.codec, par) < 0) return false;
    d.codec->pkt_timebase = format->streams[d.stream]->time_base;
    return avcodec_open2(d.codec, codec, nullptr) >= 0;
}

}  // namespace

DecodedMedia decodeMedia(const std::string& path)
{
    DecodedMedia media;
    g_errorMessages = 0;
    av_log_set_callback(countErrors);
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) {
        media.error = "cannot open";
        av_log_set_callback(av_log_default_callback);
        return media;
    }
    if (avformat_find_stream_info(format, nullptr) < 0) media.error = "no stream information";
    media.opened = true;
    Decoder video, sound;
    const bool haveVideo = openDecoder(format, AVMEDIA_TYPE_VIDEO, video);
    const bool haveSound = openDecoder(format, AVMEDIA_TYPE_AUDIO, sound);
    if (haveVideo) {
        media.videoCodec = avcodec_get_name(video.codec->codec_id);
        // The nominal rate: with frames left out the average one says less.
        const AVRational r = format->streams[video.stream]->r_frame_rate.num
                                 ? format->streams[video.stream]->r_frame_rate
                                 : format->streams[video.stream]->avg_frame_rate;
        media.fps = r.den ? av_q2d(r) : 0.0;
    }
    SwrContext* swr = nullptr;
    if (haveSound) {
        media.soundCodec = avcodec_get_name(sound.codec->codec_id);
        media.sampleRate = sound.codec->sample_rate;
        media.channels = sound.codec->ch_layout.nb_channels;
        AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
        swr_alloc_set_opts2(&swr, &mono, AV_SAMPLE_FMT_FLT, media.sampleRate, &sound.codec->ch_layout,
                            sound.codec->sample_fmt, media.sampleRate, 0, nullptr);
        swr_init(swr);
    }
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    std::vector<uint8_t> previous;
    bool soundStarted = false;
    const auto drain = [&](Decoder& d, bool isVideo) {
        while (avcodec_receive_frame(d.codec, frame) >= 0) {
            const AVRational tb = format->streams[d.stream]->time_base;
            const int64_t ts = frame->best_effort_timestamp;
            const double t = ts == AV_NOPTS_VALUE ? 0.0 : ts * av_q2d(tb);
            if (isVideo) {
                const int w = frame->width, h = frame->height;
                std::vector<uint8_t> y(static_cast<size_t>(w) * h);
                for (int row = 0; row < h; ++row)
                    std::memcpy(&y[static_cast<size_t>(row) * w], frame->data[0] + row * frame->linesize[0], w);
                double change = 0.0, sum = 0.0;
                for (size_t i = 0; i < y.size(); ++i) {
                    sum += y[i];
                    if (previous.size() == y.size()) change += std::abs(int(y[i]) - int(previous[i]));
                }
                media.frameTimes.push_back(t);
                media.frameMean.push_back(sum / y.size());
                media.frameChange.push_back(previous.size() == y.size() ? change / y.size() : 0.0);
                previous.swap(y);
            } else {
                if (!soundStarted) {
                    media.soundStart = t;
                    soundStarted = true;
                }
                const size_t at = media.sound.size();
                media.sound.resize(at + frame->nb_samples + 256);
                uint8_t* out[1] = {reinterpret_cast<uint8_t*>(media.sound.data() + at)};
                const int got = swr_convert(swr, out, frame->nb_samples + 256,
                                            const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
                media.sound.resize(at + (got > 0 ? got : 0));
            }
        }
    };
    while (av_read_frame(format, packet) >= 0) {
        if (haveVideo && packet->stream_index == video.stream) {
            if (avcodec_send_packet(video.codec, packet) >= 0) drain(video, true);
        } else if (haveSound && packet->stream_index == sound.stream) {
            if (avcodec_send_packet(sound.codec, packet) >= 0) drain(sound, false);
        }
        av_packet_unref(packet);
    }
    if (haveVideo) {
        avcodec_send_packet(video.codec, nullptr);
        drain(video, true);
    }
    if (haveSound) {
        avcodec_send_packet(sound.codec, nullptr);
        drain(sound, false);
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    swr_free(&swr);
    avformat_close_input(&format);
    media.errors = g_errorMessages;
    av_log_set_callback(av_log_default_callback);
    return media;
}

double firstLoudSample(const DecodedMedia& media, float level)
{
    for (size_t i = 0; i < media.sound.size(); ++i)
        if (std::fabs(media.sound[i]) >= level) return media.soundStart + static_cast<double>(i) / media.sampleRate;
    return -1.0;
}

bool writeWav(const std::string& path, int sampleRate, int channels, const std::vector<short>& interleaved)
{
    std::ofstream out(path, std::ios::binary);
    if (!out) return false;
    const auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    const auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    const uint32_t bytes = static_cast<uint32_t>(interleaved.size() * 2);
    out.write("RIFF", 4);
    u32(36 + bytes);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(1);
    u16(static_cast<uint16_t>(channels));
    u32(static_cast<uint32_t>(sampleRate));
    u32(static_cast<uint32_t>(sampleRate * channels * 2));
    u16(static_cast<uint16_t>(channels * 2));
    u16(16);
    out.write("data", 4);
    u32(bytes);
    out.write(reinterpret_cast<const char*>(interleaved.data()), bytes);
    return static_cast<bool>(out);
}
