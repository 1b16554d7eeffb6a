#include "SoundFiles.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "common/ProgramRun.h"

namespace {

const char kFfmpeg[] = "/usr/bin/ffmpeg";

void put16(std::ofstream& out, uint16_t v) {
    const char b[2] = {char(v & 0xff), char(v >> 8)};
    out.write(b, 2);
}

void put32(std::ofstream& out, uint32_t v) {
    put16(out, uint16_t(v & 0xffff));
    put16(out, uint16_t(v >> 16));
}

}  // namespace

bool ffmpegHasEncoder(const std::string& encoder) {
    std::string out;
    if (runToEnd(kFfmpeg, {"-hide_banner", "-encoders"}, "", {}, 60.0, &out) != 0) return false;
    return out.find(" " + encoder + " ") != std::string::npos;
}

bool runFfmpeg(const std::vector<std::string>& args, const std::string& output, std::string* log) {
    std::vector<std::string> all = {"-hide_banner", "-loglevel", "error", "-y"};
    all.insert(all.end(), args.begin(), args.end());
    all.push_back(output);
    std::string text;
    const int status = runToEnd(kFfmpeg, all, "", {}, 120.0, &text);
    if (log) *log = text;
    return status == 0 && fileSize(output) > 0;
}

bool makeTone(const std::string& path, const std::string& encoder, double frequencyHz, double seconds, int rate,
              int channels, const std::vector<std::string>& extraArgs) {
    char source[128];
    std::snprintf(source, sizeof source, "sine=frequency=%g:duration=%g:sample_rate=%d", frequencyHz, seconds, rate);
    std::vector<std::string> args = {"-f", "lavfi", "-i", source, "-ac", std::to_string(channels), "-c:a", encoder};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    return runFfmpeg(args, path);
}

bool writeWav(const std::string& path, int rate, int channels, const std::vector<int16_t>& samples) {
    std::ofstream out(path, std::ios::binary);
    const uint32_t dataBytes = uint32_t(samples.size() * 2);
    out.write("RIFF", 4);
    put32(out, 36 + dataBytes);
    out.write("WAVEfmt ", 8);
    put32(out, 16);
    put16(out, 1);
    put16(out, uint16_t(channels));
    put32(out, uint32_t(rate));
    put32(out, uint32_t(rate * channels * 2));
    put16(out, uint16_t(channels * 2));
    put16(out, 16);
    out.write("data", 4);
    put32(out, dataBytes);
    for (int16_t s : samples) put16(out, uint16_t(s));
    return bool(out);
}

bool copyPrefix(const std::string& from, const std::string& to, double share) {
    std::ifstream in(from, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.empty()) return false;
    std::ofstream out(to, std::ios::binary);
    out << bytes.substr(0, size_t(double(bytes.size()) * share));
    return bool(out);
}

long fileSize(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? long(st.st_size) : -1;
}
