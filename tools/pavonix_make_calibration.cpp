// pavonix-make-calibration: writes one camera calibration record from the pinhole
// parameters of a camera (focal lengths or field of view, principal point) and an
// optional radial distortion.

#include "tracking/CameraParam.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char* const kUsage =
    "usage: pavonix-make-calibration --width W --height H (--fx F --fy F | --hfov DEGREES)\n"
    "                                [--cx X --cy Y] [--dist-cx X --dist-cy Y --dist-f F --dist-s S]\n"
    "                                OUT.dat\n"
    "  --width, --height   frame size in pixels the calibration belongs to\n"
    "  --fx, --fy          focal lengths in pixels\n"
    "  --hfov              horizontal field of view in degrees (square pixels); instead of --fx/--fy\n"
    "  --cx, --cy          principal point in pixels (default: the frame centre)\n"
    "  --dist-cx, --dist-cy  distortion centre (default: the principal point)\n"
    "  --dist-f            radial factor, applied as f / 1e8; positive is barrel (default 0)\n"
    "  --dist-s            scale (default 1)\n";

struct Options {
    double width = -1, height = -1;
    double fx = NAN, fy = NAN, hfov = NAN;
    double cx = NAN, cy = NAN;
    double distCx = NAN, distCy = NAN, distF = 0.0, distS = 1.0;
    std::string output;
};

bool parseNumber(const char* option, const char* text, double& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno == ERANGE || !std::isfinite(value)) {
        std::fprintf(stderr, "pavonix-make-calibration: %s: \"%s\" is not a number\n", option, text);
        return false;
    }
    return true;
}

bool parseArguments(int argc, char** argv, Options& o) {
    struct Numeric {
        const char* name;
        double* target;
    } const numeric[] = {
        {"--width", &o.width},     {"--height", &o.height},   {"--fx", &o.fx},          {"--fy", &o.fy},
        {"--hfov", &o.hfov},       {"--cx", &o.cx},           {"--cy", &o.cy},          {"--dist-cx", &o.distCx},
        {"--dist-cy", &o.distCy},  {"--dist-f", &o.distF},    {"--dist-s", &o.distS},
    };
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        bool matched = false;
        for (const Numeric& n : numeric) {
            if (std::strcmp(arg, n.name) != 0) continue;
            if (i + 1 >= argc) {
                std::fprintf(stderr, "pavonix-make-calibration: %s needs a value\n", arg);
                return false;
            }
            if (!parseNumber(arg, argv[++i], *n.target)) return false;
            matched = true;
            break;
        }
        if (matched) continue;
        if (arg[0] == '-' && arg[1] != '\0') {
            std::fprintf(stderr, "pavonix-make-calibration: unknown option %s\n", arg);
            return false;
        }
        if (!o.output.empty()) {
            std::fprintf(stderr, "pavonix-make-calibration: more than one output file given\n");
            return false;
        }
        o.output = arg;
    }
    return true;
}

bool validate(Options& o) {
    auto fail = [](const char* message) {
        std::fprintf(stderr, "pavonix-make-calibration: %s\n%s", message, kUsage);
        return false;
    };
    if (o.output.empty()) return fail("no output file given");
    if (o.width < 1 || o.height < 1 || o.width != std::floor(o.width) || o.height != std::floor(o.height) ||
        o.width > 1 << 16 || o.height > 1 << 16)
        return fail("--width and --height must be whole numbers of pixels (1..65536)");
    const bool haveFocal = !std::isnan(o.fx) || !std::isnan(o.fy);
    if (haveFocal && !std::isnan(o.hfov)) return fail("give either --fx/--fy or --hfov, not both");
    if (!std::isnan(o.hfov)) {
        if (!(o.hfov > 0 && o.hfov < 180)) return fail("--hfov must lie between 0 and 180 degrees");
        const double halfAngle = o.hfov * M_PI / 360.0;
        o.fx = o.fy = (o.width / 2.0) / std::tan(halfAngle);
    } else if (std::isnan(o.fx) || std::isnan(o.fy)) {
        return fail("both --fx and --fy (or --hfov) are needed");
    }
    if (!(o.fx > 0 && o.fy > 0)) return fail("focal lengths must be positive");
    if (std::isnan(o.cx)) o.cx = o.width / 2.0;
    if (std::isnan(o.cy)) o.cy = o.height / 2.0;
    if (std::isnan(o.distCx)) o.distCx = o.cx;
    if (std::isnan(o.distCy)) o.distCy = o.cy;
    if (!(o.distS > 0)) return fail("--dist-s must be positive");
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parseArguments(argc, argv, o) || !validate(o)) return 2;

    CameraParam param = {};
    param.width = static_cast<int>(o.width);
    param.height = static_cast<int>(o.height);
    param.projection[0][0] = o.fx;
    param.projection[0][2] = o.cx;
    param.projection[1][1] = o.fy;
    param.projection[1][2] = o.cy;
    param.projection[2][2] = 1.0;
    param.distortion[0] = o.distCx;
    param.distortion[1] = o.distCy;
    param.distortion[2] = o.distF;
    param.distortion[3] = o.distS;

    if (saveCameraParam(o.output.c_str(), 1, &param) != 0) {
        std::fprintf(stderr, "pavonix-make-calibration: cannot write \"%s\": %s\n", o.output.c_str(),
                     std::strerror(errno));
        return 1;
    }

    // How far the lens model moves a frame corner, so the user can judge the factor.
    double ox, oy;
    idealToObserved(param.distortion, 0.0, 0.0, &ox, &oy);
    const double shift = std::hypot(ox - 0.0, oy - 0.0);
    std::printf("%s: %dx%d, fx %.3f fy %.3f, principal point (%.3f, %.3f), horizontal view %.2f degrees,\n"
                "  distortion centre (%.3f, %.3f) f %.4f s %.4f: corner (0, 0) observed at (%.3f, %.3f), %.3f px\n",
                o.output.c_str(), param.width, param.height, o.fx, o.fy, o.cx, o.cy,
                2.0 * std::atan(o.width / 2.0 / o.fx) * 180.0 / M_PI, o.distCx, o.distCy, o.distF, o.distS, ox,
                oy, shift);
    return 0;
}
