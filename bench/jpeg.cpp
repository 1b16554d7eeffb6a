// Our fixed-work-area JPEG decoder against libjpeg-turbo on the same files, both
// producing an RGBA picture in memory. Compare the times of one image between the
// BM_JpegOurs and BM_JpegLibjpeg rows; the closing table gives the ratios per picture
// (CPU time, from the median and from the fastest repetition when run with
// --benchmark_repetitions) and their geometric means.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <unistd.h>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "image/ImageDecoders.h"

#ifdef PAVONIX_HAVE_LIBJPEG
#include <jpeglib.h>
#endif

namespace {

std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Sample {
    std::string name;
    std::vector<uint8_t> bytes;
};

#ifdef PAVONIX_HAVE_LIBJPEG

// fast: the integer fast IDCT and repeated chroma samples, the same kind of work our
// decoder does; otherwise libjpeg's defaults (accurate IDCT, smooth upsampling).
bool decodeLibjpeg(const std::vector<uint8_t>& bytes, bool fast, std::vector<uint8_t>& rgba) {
    jpeg_decompress_struct d;
    jpeg_error_mgr err;
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, const_cast<unsigned char*>(bytes.data()), static_cast<unsigned long>(bytes.size()));
    if (jpeg_read_header(&d, TRUE) != JPEG_HEADER_OK) {
        jpeg_destroy_decompress(&d);
        return false;
    }
    d.out_color_space = JCS_EXT_RGBA;
    if (fast) {
        d.dct_method = JDCT_IFAST;
        d.do_fancy_upsampling = FALSE;
    }
    jpeg_start_decompress(&d);
    rgba.resize(std::size_t(d.output_width) * d.output_height * 4);
    while (d.output_scanline < d.output_height) {
        JSAMPROW row = rgba.data() + std::size_t(d.output_scanline) * d.output_width * 4;
        jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    return true;
}

// A real photograph re-encoded at quality 90 in one sampling mode.
std::vector<uint8_t> reencode(const std::vector<uint8_t>& photo, int h, int v, int restartInterval) {
    std::vector<uint8_t> rgba;
    if (!decodeLibjpeg(photo, false, rgba)) return {};
    jpeg_decompress_struct probe;
    jpeg_error_mgr err;
    probe.err = jpeg_std_error(&err);
    jpeg_create_decompress(&probe);
    jpeg_mem_src(&probe, const_cast<unsigned char*>(photo.data()), static_cast<unsigned long>(photo.size()));
    jpeg_read_header(&probe, TRUE);
    const int srcWidth = int(probe.image_width);
    jpeg_destroy_decompress(&probe);
    const int width = 1024, height = 768;

    jpeg_compress_struct c;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* mem = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &mem, &size);
    c.image_width = width;
    c.image_height = height;
    c.input_components = 4;
    c.in_color_space = JCS_EXT_RGBA;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 90, TRUE);
    c.comp_info[0].h_samp_factor = h;
    c.comp_info[0].v_samp_factor = v;
    c.restart_interval = unsigned(restartInterval);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = rgba.data() + (std::size_t(c.next_scanline) * srcWidth) * 4;
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    std::vector<uint8_t> out(mem, mem + size);
    jpeg_destroy_compress(&c);
    free(mem);
    return out;
}

#endif

std::vector<Sample> samples() {
    const std::string dir = std::string(PAVONIX_TESTDATA_DIR) + "/textures/jpeg/";
    std::vector<Sample> list;
    const std::vector<uint8_t> photo = readFile(dir + "zune-image/medium_horiz_samp_2500x1786.jpg");
    if (!photo.empty()) list.push_back({"photo_2500x1786_422", photo});
    const std::vector<uint8_t> small = readFile(dir + "libjpeg-turbo/testorig.jpg");
    if (!small.empty()) list.push_back({"testorig_227x149_420", small});
#ifdef PAVONIX_HAVE_LIBJPEG
    if (!photo.empty()) {
        list.push_back({"photo_1024x768_444", reencode(photo, 1, 1, 0)});
        list.push_back({"photo_1024x768_422", reencode(photo, 2, 1, 0)});
        list.push_back({"photo_1024x768_420", reencode(photo, 2, 2, 0)});
        list.push_back({"photo_1024x768_420_restart8", reencode(photo, 2, 2, 8)});
    }
#endif
    return list;
}

void ours(benchmark::State& state, const std::vector<uint8_t>* bytes) {
    for (auto _ : state) {
        DecodedImage image;
        if (!decodeJPEG(bytes->data(), bytes->size(), image)) {
            state.SkipWithError("our decoder refused the file");
            return;
        }
        benchmark::DoNotOptimize(image.rgba.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes->size()));
}

#ifdef PAVONIX_HAVE_LIBJPEG
void libjpeg(benchmark::State& state, const std::vector<uint8_t>* bytes, bool fast) {
    for (auto _ : state) {
        std::vector<uint8_t> rgba;
        if (!decodeLibjpeg(*bytes, fast, rgba)) {
            state.SkipWithError("libjpeg refused the file");
            return;
        }
        benchmark::DoNotOptimize(rgba.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes->size()));
}
#endif

// The console output as usual, then the ratios of our times to libjpeg's.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_Defaults : OO_None) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const std::string name = run.run_name.str();
            const std::size_t slash = name.find('/');
            if (slash == std::string::npos) continue;
            Times& t = times_[name.substr(slash + 1)][name.substr(0, slash)];
            const double cpu = run.GetAdjustedCPUTime();
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median") t.median = cpu;
                if (run.aggregate_name == "min") t.min = cpu;
            } else {
                t.median = t.min = cpu;
            }
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nours / libjpeg (CPU time)     accurate: median   min     fast: median   min\n");
        double logs[4] = {0, 0, 0, 0};
        int pictures = 0;
        for (const auto& [picture, kinds] : times_) {
            const auto ours = kinds.find("BM_JpegOurs"), accurate = kinds.find("BM_JpegLibjpeg"),
                       fast = kinds.find("BM_JpegLibjpegFast");
            if (ours == kinds.end() || accurate == kinds.end() || fast == kinds.end()) continue;
            const double r[4] = {ours->second.median / accurate->second.median, ours->second.min / accurate->second.min,
                                 ours->second.median / fast->second.median, ours->second.min / fast->second.min};
            std::printf("%-30s %15.2f %6.2f %15.2f %6.2f\n", picture.c_str(), r[0], r[1], r[2], r[3]);
            for (int i = 0; i < 4; ++i) logs[i] += std::log(r[i]);
            ++pictures;
        }
        if (pictures == 0) return;
        std::printf("%-30s %15.2f %6.2f %15.2f %6.2f\n", "geometric mean", std::exp(logs[0] / pictures),
                    std::exp(logs[1] / pictures), std::exp(logs[2] / pictures), std::exp(logs[3] / pictures));
    }

private:
    struct Times {
        double median = 0, min = 0;
    };
    std::map<std::string, std::map<std::string, Times>> times_;
};

double fastest(const std::vector<double>& v) { return v.empty() ? 0 : *std::min_element(v.begin(), v.end()); }

}  // namespace

int main(int argc, char** argv) {
    static const std::vector<Sample> list = samples();
    if (list.empty()) std::fprintf(stderr, "bench_jpeg: no JPEG files under %s\n", PAVONIX_TESTDATA_DIR);
    for (const Sample& s : list) {
        benchmark::RegisterBenchmark(("BM_JpegOurs/" + s.name).c_str(), ours, &s.bytes)
            ->Unit(benchmark::kMillisecond)
            ->ComputeStatistics("min", fastest);
#ifdef PAVONIX_HAVE_LIBJPEG
        benchmark::RegisterBenchmark(("BM_JpegLibjpeg/" + s.name).c_str(), libjpeg, &s.bytes, false)
            ->Unit(benchmark::kMillisecond)
            ->ComputeStatistics("min", fastest);
        benchmark::RegisterBenchmark(("BM_JpegLibjpegFast/" + s.name).c_str(), libjpeg, &s.bytes, true)
            ->Unit(benchmark::kMillisecond)
            ->ComputeStatistics("min", fastest);
#endif
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
