// pavonix-make-marker: turns a picture into a marker pattern file and a printable
// marker image (black square frame, the picture in its central half, white margin).

#include "tracking/Pattern.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* const kUsage =
    "usage: pavonix-make-marker [--size-mm 80] [--dpi 300] [--margin 0.25] PICTURE.png OUT_PATTERN OUT_MARKER.png\n"
    "       pavonix-make-marker [options] --builtin OUT_PATTERN OUT_MARKER.png\n"
    "  --size-mm   side of the black square when printed, in millimetres\n"
    "  --dpi       printing resolution; the square is rounded to a multiple of 32 pixels\n"
    "              and the file's resolution adjusted so the printed size stays exact\n"
    "  --margin    white margin around the square, as a fraction of its side\n"
    "  --builtin   use the program's own marker design instead of a picture\n";

// Samples per pixel along each axis when drawing the built-in design: smooth edges
// without a rasteriser.
constexpr int kSupersample = 4;

struct Image {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;  // 3 bytes per pixel, rows top first
    uint8_t* at(int x, int y) { return &rgb[(static_cast<std::size_t>(y) * width + x) * 3]; }
    const uint8_t* at(int x, int y) const { return &rgb[(static_cast<std::size_t>(y) * width + x) * 3]; }
};

Image whiteImage(int width, int height) {
    Image image;
    image.width = width;
    image.height = height;
    image.rgb.assign(static_cast<std::size_t>(width) * height * 3, 255);
    return image;
}

// The built-in design, in unit coordinates of the picture (x right, y down): a bold
// "P" and a dot in the lower right corner. The proportions keep the correlation
// between any two quarter turns of the 16 x 16 pattern low (below 0.3), so the
// matcher never confuses orientations.
bool insideBuiltinDesign(double x, double y) {
    auto inDisc = [](double x, double y, double cx, double cy, double r) {
        return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r;
    };
    // Stem, reaching far up and down so that no quarter turn lines it up with itself.
    if (x >= 0.10 && x <= 0.32 && y >= 0.08 && y <= 0.92) return true;
    // Bowl: a "D" shape from the stem to a half disc, with a hole of the same shape.
    const double bowlCx = 0.52, bowlCy = 0.30;
    const bool outer = (x >= 0.10 && x <= bowlCx && y >= 0.08 && y <= 0.52) ||
                       (x >= bowlCx && inDisc(x, y, bowlCx, bowlCy, 0.22));
    const bool hole = (x >= 0.32 && x <= bowlCx && y >= 0.21 && y <= 0.39) ||
                      (x >= bowlCx && inDisc(x, y, bowlCx, bowlCy, 0.09));
    if (outer && !hole) return true;
    // Dot.
    return inDisc(x, y, 0.76, 0.78, 0.14);
}

Image renderBuiltinDesign(int size) {
    Image image = whiteImage(size, size);
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            int dark = 0;
            for (int sy = 0; sy < kSupersample; ++sy)
                for (int sx = 0; sx < kSupersample; ++sx) {
                    const double u = (x + (sx + 0.5) / kSupersample) / size;
                    const double v = (y + (sy + 0.5) / kSupersample) / size;
                    dark += insideBuiltinDesign(u, v);
                }
            const int total = kSupersample * kSupersample;
            const uint8_t level = static_cast<uint8_t>((255 * (total - dark) + total / 2) / total);
            uint8_t* p = image.at(x, y);
            p[0] = p[1] = p[2] = level;
        }
    return image;
}

bool readPicture(const char* fileName, Image& picture) {
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, fileName)) {
        std::fprintf(stderr, "pavonix-make-marker: cannot read \"%s\": %s\n", fileName, png.message);
        return false;
    }
    if (png.width == 0 || png.height == 0 || png.width > 16384 || png.height > 16384) {
        std::fprintf(stderr, "pavonix-make-marker: \"%s\": unsupported picture size %ux%u\n", fileName, png.width,
                     png.height);
        png_image_free(&png);
        return false;
    }
    png.format = PNG_FORMAT_RGBA;
    std::vector<uint8_t> rgba(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, rgba.data(), 0, nullptr)) {
        std::fprintf(stderr, "pavonix-make-marker: cannot decode \"%s\": %s\n", fileName, png.message);
        png_image_free(&png);
        return false;
    }
    // Transparent parts of the picture print as paper.
    picture = whiteImage(static_cast<int>(png.width), static_cast<int>(png.height));
    for (std::size_t i = 0; i < static_cast<std::size_t>(png.width) * png.height; ++i) {
        const int a = rgba[i * 4 + 3];
        for (int c = 0; c < 3; ++c)
            picture.rgb[i * 3 + c] = static_cast<uint8_t>((rgba[i * 4 + c] * a + 255 * (255 - a) + 127) / 255);
    }
    return true;
}

double overlap(int i, double start, double end) {
    return std::max(0.0, std::min<double>(i + 1, end) - std::max<double>(i, start));
}

// Area-averaged resampling of a picture onto a size x size square; a picture that is
// not square keeps its aspect ratio and is centred on white.
Image fitPicture(const Image& source, int size) {
    Image result = whiteImage(size, size);
    const double scale = std::min(static_cast<double>(size) / source.width, static_cast<double>(size) / source.height);
    const double drawnW = source.width * scale, drawnH = source.height * scale;
    const double offX = (size - drawnW) / 2, offY = (size - drawnH) / 2;
    for (int y = 0; y < size; ++y) {
        // Output pixel [y, y + 1) covers this span of source rows.
        const double sy0 = (y - offY) / scale, sy1 = (y + 1 - offY) / scale;
        if (sy1 <= 0 || sy0 >= source.height) continue;
        for (int x = 0; x < size; ++x) {
            const double sx0 = (x - offX) / scale, sx1 = (x + 1 - offX) / scale;
            if (sx1 <= 0 || sx0 >= source.width) continue;
            double sum[3] = {0, 0, 0}, weight = 0;
            const int yFirst = std::max(0, static_cast<int>(std::floor(sy0)));
            const int yLast = std::min(source.height - 1, static_cast<int>(std::ceil(sy1)) - 1);
            const int xFirst = std::max(0, static_cast<int>(std::floor(sx0)));
            const int xLast = std::min(source.width - 1, static_cast<int>(std::ceil(sx1)) - 1);
            for (int v = yFirst; v <= yLast; ++v) {
                const double wy = overlap(v, sy0, sy1);
                for (int u = xFirst; u <= xLast; ++u) {
                    const double w = wy * overlap(u, sx0, sx1);
                    const uint8_t* p = source.at(u, v);
                    for (int c = 0; c < 3; ++c) sum[c] += w * p[c];
                    weight += w;
                }
            }
            // Pixels only partly covered by the picture are blended with the white around it.
            const double pixelArea = 1.0 / (scale * scale);
            uint8_t* out = result.at(x, y);
            for (int c = 0; c < 3; ++c) {
                const double value = (sum[c] + 255.0 * std::max(0.0, pixelArea - weight)) / pixelArea;
                out[c] = static_cast<uint8_t>(std::lround(std::clamp(value, 0.0, 255.0)));
            }
        }
    }
    return result;
}

bool writePng(const char* fileName, const Image& image, double pixelsPerMetre) {
    std::FILE* file = std::fopen(fileName, "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "pavonix-make-marker: cannot create \"%s\": %s\n", fileName, std::strerror(errno));
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (png == nullptr || info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        std::fclose(file);
        std::fprintf(stderr, "pavonix-make-marker: out of memory writing \"%s\"\n", fileName);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        std::fprintf(stderr, "pavonix-make-marker: failed writing \"%s\"\n", fileName);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(image.width), static_cast<png_uint_32>(image.height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    // The physical resolution makes the square print at the requested size.
    const png_uint_32 ppm = static_cast<png_uint_32>(std::lround(pixelsPerMetre));
    png_set_pHYs(png, info, ppm, ppm, PNG_RESOLUTION_METER);
    png_write_info(png, info);
    for (int y = 0; y < image.height; ++y) png_write_row(png, const_cast<png_bytep>(image.at(0, y)));
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    if (std::fclose(file) != 0) {
        std::fprintf(stderr, "pavonix-make-marker: failed writing \"%s\": %s\n", fileName, std::strerror(errno));
        return false;
    }
    return true;
}

bool parseNumber(const char* option, const char* text, double& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno == ERANGE || !std::isfinite(value)) {
        std::fprintf(stderr, "pavonix-make-marker: %s: \"%s\" is not a number\n", option, text);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    double sizeMm = 80.0, dpi = 300.0, margin = 0.25;
    bool builtin = false;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        double* target = nullptr;
        if (std::strcmp(arg, "--size-mm") == 0) target = &sizeMm;
        else if (std::strcmp(arg, "--dpi") == 0) target = &dpi;
        else if (std::strcmp(arg, "--margin") == 0) target = &margin;
        if (target != nullptr) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "pavonix-make-marker: %s needs a value\n%s", arg, kUsage);
                return 2;
            }
            if (!parseNumber(arg, argv[++i], *target)) return 2;
        } else if (std::strcmp(arg, "--builtin") == 0) {
            builtin = true;
        } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg[0] == '-' && arg[1] != '\0') {
            std::fprintf(stderr, "pavonix-make-marker: unknown option %s\n%s", arg, kUsage);
            return 2;
        } else {
            files.push_back(arg);
        }
    }
    const std::size_t expected = builtin ? 2 : 3;
    if (files.size() != expected) {
        std::fprintf(stderr, "pavonix-make-marker: expected %s\n%s",
                     builtin ? "OUT_PATTERN OUT_MARKER.png with --builtin" : "PICTURE.png OUT_PATTERN OUT_MARKER.png",
                     kUsage);
        return 2;
    }
    if (!(sizeMm > 0 && sizeMm <= 2000) || !(dpi >= 10 && dpi <= 4800) || !(margin >= 0 && margin <= 4)) {
        std::fprintf(stderr, "pavonix-make-marker: --size-mm must lie in (0, 2000], --dpi in [10, 4800], "
                             "--margin in [0, 4]\n");
        return 2;
    }

    // The picture takes the central half and each frame edge a quarter of the side;
    // a side that is a multiple of 32 pixels gives every pattern cell whole pixels.
    const double wantedSide = sizeMm / 25.4 * dpi;
    const int side = std::max(32, static_cast<int>(std::lround(wantedSide / 32.0)) * 32);
    if (side > 16384) {
        std::fprintf(stderr, "pavonix-make-marker: %.0f mm at %.0f dpi is too large an image\n", sizeMm, dpi);
        return 2;
    }
    const int pictureSize = side / 2;
    const int frame = side / 4;
    const int marginPx = static_cast<int>(std::lround(margin * side));

    Image picture;
    if (builtin) {
        picture = renderBuiltinDesign(pictureSize);
    } else {
        Image source;
        if (!readPicture(files[0].c_str(), source)) return 1;
        picture = fitPicture(source, pictureSize);
    }

    const int total = side + 2 * marginPx;
    Image marker = whiteImage(total, total);
    for (int y = marginPx; y < marginPx + side; ++y)
        std::memset(marker.at(marginPx, y), 0, static_cast<std::size_t>(side) * 3);
    for (int y = 0; y < pictureSize; ++y)
        std::memcpy(marker.at(marginPx + frame, marginPx + frame + y), picture.at(0, y),
                    static_cast<std::size_t>(pictureSize) * 3);

    // The pattern is sampled from the picture exactly as it sits in the marker, in the
    // camera's byte order (blue, green, red).
    std::vector<uint8_t> bgra(static_cast<std::size_t>(pictureSize) * pictureSize * 4);
    for (int y = 0; y < pictureSize; ++y)
        for (int x = 0; x < pictureSize; ++x) {
            const uint8_t* p = picture.at(x, y);
            uint8_t* q = &bgra[(static_cast<std::size_t>(y) * pictureSize + x) * 4];
            q[0] = p[2];
            q[1] = p[1];
            q[2] = p[0];
            q[3] = 255;
        }
    PatternImage pattern;
    makePatternImage(bgra.data(), pictureSize, pictureSize, pictureSize * 4, pattern);

    const std::string& patternFile = files[expected - 2];
    const std::string& markerFile = files[expected - 1];
    if (savePatternFile(patternFile.c_str(), pattern) != 0) {
        std::fprintf(stderr, "pavonix-make-marker: cannot write \"%s\": %s\n", patternFile.c_str(),
                     std::strerror(errno));
        return 1;
    }
    const double pixelsPerMetre = side / (sizeMm / 1000.0);
    if (!writePng(markerFile.c_str(), marker, pixelsPerMetre)) return 1;

    std::printf("%s: %dx%d pixels, black square %d pixels = %.1f mm at %.1f dpi, margin %d pixels\n"
                "%s: pattern of the central %dx%d pixels\n",
                markerFile.c_str(), total, total, side, sizeMm, pixelsPerMetre * 0.0254, marginPx,
                patternFile.c_str(), pictureSize, pictureSize);
    return 0;
}
