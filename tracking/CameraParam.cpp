// Calibration records, the lens-distortion model and the projection decomposition.

#include "tracking/CameraParam.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/ByteCursor.h"

namespace {

constexpr std::size_t kRecordBytes = sizeof(CameraParam);

// The file stores every field most significant byte first; the record in memory is
// the host's little-endian form. Fields are encoded one by one so padding or host
// layout can never leak into the file, and read back one by one through the cursor's
// big-endian reads.
void reverseCopy(const unsigned char* from, unsigned char* to, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) to[i] = from[n - 1 - i];
}

void putInt(unsigned char*& out, int value) {
    unsigned char raw[4];
    std::memcpy(raw, &value, 4);
    reverseCopy(raw, out, 4);
    out += 4;
}

void putDouble(unsigned char*& out, double value) {
    unsigned char raw[8];
    std::memcpy(raw, &value, 8);
    reverseCopy(raw, out, 8);
    out += 8;
}

void encodeRecord(const CameraParam& param, unsigned char out[kRecordBytes]) {
    unsigned char* p = out;
    putInt(p, param.width);
    putInt(p, param.height);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) putDouble(p, param.projection[r][c]);
    for (int i = 0; i < 4; ++i) putDouble(p, param.distortion[i]);
}

// One record, field by field in the order encodeRecord writes them. False when the
// bytes end inside it.
bool readRecord(ByteCursor& in, CameraParam& param) {
    int32_t width = 0, height = 0;
    in.readI32BE(width);
    in.readI32BE(height);
    param.width = width;
    param.height = height;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) in.readF64BE(param.projection[r][c]);
    for (int i = 0; i < 4; ++i) in.readF64BE(param.distortion[i]);
    return !in.failed();
}

double norm3(const double v[3]) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }
double dot3(const double a[3], const double b[3]) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

}  // namespace

LoadResult loadCameraParam(const char* fileName, int count, CameraParam* first, CameraParam* further) {
    const std::string name = fileName ? fileName : "(no file)";
    if (count <= 0) {
        return LoadResult::refuse("cannot read " + std::to_string(count) + " calibration records")
            .inFile(name);
    }
    if (fileName == nullptr || first == nullptr || (count > 1 && further == nullptr))
        return LoadResult::refuse("nowhere to put the calibration records").inFile(name);

    std::FILE* file = std::fopen(fileName, "rb");
    if (file == nullptr) {
        return LoadResult::refuse(std::string("cannot open the calibration file: ") + std::strerror(errno))
            .inFile(name);
    }
    // The bytes of the records asked for, as far as the file holds them. They are read a
    // record at a time, so an absurd count costs no more memory than the file holds.
    std::vector<uint8_t> bytes;
    uint8_t raw[kRecordBytes];
    for (int i = 0; i < count; ++i) {
        const std::size_t got = std::fread(raw, 1, kRecordBytes, file);
        bytes.insert(bytes.end(), raw, raw + got);
        if (got != kRecordBytes) break;
    }
    std::fclose(file);

    // Decode everything into scratch first so a short file leaves the caller's records
    // untouched, not half filled.
    std::vector<CameraParam> decoded;
    ByteCursor in(bytes.data(), bytes.size());
    for (int i = 0; i < count; ++i) {
        decoded.emplace_back();
        if (!readRecord(in, decoded.back()))
            return LoadResult::ranOut(in, "calibration record " + std::to_string(i + 1)).inFile(name);
    }
    *first = decoded[0];
    if (count > 1) std::copy(decoded.begin() + 1, decoded.end(), further);
    return {};
}

int saveCameraParam(const char* fileName, int count, CameraParam* records) {
    if (count <= 0 || fileName == nullptr || records == nullptr) return -1;

    std::FILE* file = std::fopen(fileName, "wb");
    if (file == nullptr) return -1;

    // Encoding into a scratch buffer leaves the caller's records as they were, which is
    // what converting in place and back would also give, failed write or not.
    unsigned char raw[kRecordBytes];
    bool ok = true;
    for (int i = 0; i < count && ok; ++i) {
        encodeRecord(records[i], raw);
        ok = std::fwrite(raw, 1, kRecordBytes, file) == kRecordBytes;
    }
    // A full disk may only show up when the buffered data is flushed.
    if (std::fclose(file) != 0) ok = false;
    return ok ? 0 : -1;
}

int resizeCameraParam(const CameraParam* source, int newWidth, int newHeight, CameraParam* destination) {
    // A camera makes a frame of another shape (16:9 from a 4:3 sensor) by scaling its
    // picture until it covers the frame and cutting off what sticks out on both sides
    // alike. So the calibration scales by the larger of the two ratios, and the image
    // origin moves by half the part cut off. Frames of the calibration's own shape are
    // only scaled.
    const double widthRatio = static_cast<double>(newWidth) / static_cast<double>(source->width);
    const double heightRatio = static_cast<double>(newHeight) / static_cast<double>(source->height);
    const bool sameShape = static_cast<long long>(newWidth) * source->height ==
                           static_cast<long long>(newHeight) * source->width;
    const double scale = sameShape ? widthRatio : std::max(widthRatio, heightRatio);
    const double cropX = sameShape ? 0.0 : (source->width * scale - newWidth) / 2.0;
    const double cropY = sameShape ? 0.0 : (source->height * scale - newHeight) / 2.0;
    CameraParam result;
    result.width = newWidth;
    result.height = newHeight;
    // u = row0 . X / row2 . X, so u - cropX takes row0 - cropX row2.
    for (int c = 0; c < 4; ++c) {
        result.projection[0][c] = source->projection[0][c] * scale - cropX * source->projection[2][c];
        result.projection[1][c] = source->projection[1][c] * scale - cropY * source->projection[2][c];
        result.projection[2][c] = source->projection[2][c];
    }
    result.distortion[0] = source->distortion[0] * scale - cropX;
    result.distortion[1] = source->distortion[1] * scale - cropY;
    result.distortion[2] = source->distortion[2] / (scale * scale);
    result.distortion[3] = source->distortion[3];
    *destination = result;  // source and destination may be the same record
    return 0;
}

// The radial factor is stored scaled up by 1e8 so that the file holds a readable number.
static constexpr double kRadialFactorUnit = 100000000.0;

int idealToObserved(const double distortion[4], double ix, double iy, double* ox, double* oy) {
    const double cx = distortion[0], cy = distortion[1];
    const double p = distortion[2] / kRadialFactorUnit;
    const double s = distortion[3];
    const double x = (ix - cx) * s;
    const double y = (iy - cy) * s;
    if (x == 0.0 && y == 0.0) {
        *ox = cx;
        *oy = cy;
        return 0;
    }
    const double d = 1.0 - p * (x * x + y * y);
    *ox = cx + x * d;
    *oy = cy + y * d;
    return 0;
}

int observedToIdeal(const double distortion[4], double ox, double oy, double* ix, double* iy) {
    const double cx = distortion[0], cy = distortion[1];
    const double p = distortion[2] / kRadialFactorUnit;
    const double s = distortion[3];

    double dx = ox - cx;
    double dy = oy - cy;
    double r2 = dx * dx + dy * dy;
    double r = std::sqrt(r2);
    const double ro = r;  // the observed radius the ideal one must map onto

    // Newton's method on (1 - p r^2) r = ro; three steps are plenty for a mild lens.
    for (int step = 1; step <= 3; ++step) {
        if (r == 0.0) {
            dx = 0.0;
            dy = 0.0;
            break;
        }
        const double rn = r - ((1.0 - p * r2) * r - ro) / (1.0 - 3.0 * p * r2);
        dx = dx * rn / r;
        dy = dy * rn / r;
        if (step == 3) break;
        r2 = dx * dx + dy * dy;
        r = std::sqrt(r2);
    }
    *ix = dx / s + cx;
    *iy = dy / s + cy;
    return 0;
}

int arParamDecompMat(const double source[3][4], double intrinsic[3][4], double extrinsic[3][4]) {
    // A projection is defined up to scale, the sign included; take the one that puts
    // the origin in front of the camera.
    double m[3][4];
    const double sign = source[2][3] < 0.0 ? -1.0 : 1.0;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) m[r][c] = sign * source[r][c];

    double in[3][4] = {};
    double ex[3][4] = {};

    // Gram-Schmidt from the last row up gives an upper triangular intrinsic part.
    in[2][2] = norm3(m[2]);
    for (int c = 0; c < 3; ++c) ex[2][c] = m[2][c] / in[2][2];
    ex[2][3] = m[2][3] / in[2][2];

    in[1][2] = dot3(ex[2], m[1]);
    double t[3];
    for (int c = 0; c < 3; ++c) t[c] = m[1][c] - in[1][2] * ex[2][c];
    in[1][1] = norm3(t);
    for (int c = 0; c < 3; ++c) ex[1][c] = t[c] / in[1][1];

    in[0][2] = dot3(ex[2], m[0]);
    in[0][1] = dot3(ex[1], m[0]);
    for (int c = 0; c < 3; ++c) t[c] = m[0][c] - in[0][1] * ex[1][c] - in[0][2] * ex[2][c];
    in[0][0] = norm3(t);
    for (int c = 0; c < 3; ++c) ex[0][c] = t[c] / in[0][0];

    ex[1][3] = (m[1][3] - in[1][2] * ex[2][3]) / in[1][1];
    ex[0][3] = (m[0][3] - in[0][1] * ex[1][3] - in[0][2] * ex[2][3]) / in[0][0];

    const double scale = in[2][2];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) in[r][c] /= scale;

    std::memcpy(intrinsic, in, sizeof(in));
    std::memcpy(extrinsic, ex, sizeof(ex));
    return 0;
}
