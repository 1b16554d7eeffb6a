#include "animation/Motion.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "animation/MathUtil.h"

static_assert(sizeof(CurveTable) == 72, "playback and tools rely on the curve table size");
static_assert(sizeof(BoneKey) == 320, "playback and tools rely on the bone key size");
static_assert(sizeof(FaceKey) == 8, "playback and tools rely on the face key size");

namespace {

// Byte layout of the file.
constexpr char kSignature[] = "Vocaloid Motion Data 0002";
constexpr std::size_t kSignatureCompareBytes = sizeof(kSignature);  // the literal and its zero
constexpr std::size_t kBoneCountOffset = 50;
constexpr std::size_t kBoneRecordsOffset = 54;
constexpr std::size_t kBoneRecordBytes = 111;
constexpr std::size_t kFaceRecordBytes = 23;
constexpr std::size_t kCountBytes = 4;
constexpr std::size_t kFrameOffset = 15;
constexpr std::size_t kBonePositionOffset = 19;
constexpr std::size_t kBoneRotationOffset = 31;
constexpr std::size_t kBoneCurveOffset = 47;
constexpr std::size_t kFaceWeightOffset = 19;

// 1/127: control values run on a 0..127 scale; the factor 3 is the Bernstein weight of the
// inner control points.
constexpr float kCurveScale = 0.007874016f * 3.0f;

uint32_t readU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

float readF32(const uint8_t* p) {
    const uint32_t bits = readU32(p);
    float f;
    std::memcpy(&f, &bits, sizeof(f));
    return f;
}

// The part of a 15-byte name field that names compare on: up to the first zero.
std::string nameKey(const char* field) {
    std::size_t n = 0;
    while (n < kVmdNameBytes && field[n] != 0) ++n;
    return std::string(field, n);
}

const char* describe(const char* fileName) { return fileName ? fileName : "motion data"; }

template <typename Track>
void freeTracks(Track*& head) {
    while (head) {
        Track* next = head->next;
        std::free(head->keys);
        delete head;
        head = next;
    }
}

// Tracks of one kind while a file is read: looked up by name so that a motion with many
// tracks does not cost a list walk per record. The list itself keeps the newest-first
// order that playback and the tools see.
template <typename Track>
class TrackIndex {
public:
    TrackIndex(Track*& head, int32_t& count) : head_(head), count_(count) {}

    Track* find(const char* nameField) const {
        auto it = byName_.find(nameKey(nameField));
        return it == byName_.end() ? nullptr : it->second;
    }

    // Counts one more key for the track of this name, creating the track at the head.
    void count(const char* nameField) {
        std::string key = nameKey(nameField);
        auto it = byName_.find(key);
        if (it != byName_.end()) {
            ++it->second->keyCount;
            return;
        }
        Track* track = new Track();
        std::memset(track->name, 0, sizeof(track->name));
        std::memcpy(track->name, key.data(), key.size());
        track->keyCount = 1;
        track->keys = nullptr;
        track->next = head_;
        head_ = track;
        ++count_;
        byName_.emplace(std::move(key), track);
    }

    // Gives every track its key array at the counted size and rewinds the counts for the
    // filling pass. False when memory ran out.
    bool allocate() {
        for (Track* t = head_; t; t = t->next) {
            t->keys = static_cast<decltype(t->keys)>(std::malloc(sizeof(*t->keys) * static_cast<std::size_t>(t->keyCount)));
            if (!t->keys) return false;
            t->keyCount = 0;
        }
        return true;
    }

private:
    Track*& head_;
    int32_t& count_;
    std::unordered_map<std::string, Track*> byName_;
};

template <typename Track>
void sortKeys(Track* head) {
    // Stable, so keys that share a frame keep their file order.
    for (Track* t = head; t; t = t->next) {
        std::stable_sort(t->keys, t->keys + t->keyCount,
                         [](const auto& a, const auto& b) { return a.frame < b.frame; });
    }
}

// Calls f(name) for every default face name, in buffer order.
template <typename F>
void forEachDefaultFace(const MotionData& motion, F f) {
    const char* p = motion.defaultFaceText;
    if (!p) return;
    for (int32_t i = 0; i < motion.defaultFaceCount; ++i) {
        f(p);
        p += std::strlen(p) + 1;
    }
}

// The default names as 15-byte fields, one per distinct name, in buffer order.
std::vector<std::string> distinctDefaultFaces(const MotionData& motion) {
    std::vector<std::string> names;
    forEachDefaultFace(motion, [&](const char* name) {
        char field[kVmdNameBytes + 1] = {};
        std::strncpy(field, name, kVmdNameBytes);
        std::string key = nameKey(field);
        if (key.empty()) return;
        if (std::find(names.begin(), names.end(), key) == names.end()) names.push_back(std::move(key));
    });
    return names;
}

void readBoneKey(BoneKey& key, const uint8_t* record) {
    key.frame = static_cast<float>(readU32(record + kFrameOffset));
    for (int k = 0; k < 3; ++k) key.position[k] = readF32(record + kBonePositionOffset + 4 * k);
    for (int k = 0; k < 4; ++k) key.rotation[k] = readF32(record + kBoneRotationOffset + 4 * k);
    // A zero or non-finite rotation in the file would turn the bone into NaN for good.
    if (!std::isfinite(key.rotation[0] + key.rotation[1] + key.rotation[2] + key.rotation[3])) {
        setIdentityQuaternion(key.rotation);
    }
    normalizeQuaternion(key.rotation);
    const uint8_t* block = record + kBoneCurveOffset;
    for (int c = 0; c < 4; ++c) {
        const int8_t* v = reinterpret_cast<const int8_t*>(block + 16 * c);
        buildCurveTable(key.curves[c], v[0], v[4], v[8], v[12]);
    }
}

bool refuseTruncated(MotionData& motion, const char* fileName, const char* what, uint64_t offset, uint64_t need,
                     std::size_t size) {
    std::fprintf(stderr,
                 "%s: truncated VMD file: %s at offset %llu needs %llu bytes, but the file ends at %zu bytes\n",
                 describe(fileName), what, static_cast<unsigned long long>(offset),
                 static_cast<unsigned long long>(need), size);
    clearMotion(motion);
    return false;
}

}  // namespace

MotionData::~MotionData() {
    clearMotion(*this);
    std::free(defaultFaceText);
}

void clearMotion(MotionData& motion) {
    freeTracks(motion.boneTracks);
    freeTracks(motion.faceTracks);
    clearIKSwitches(motion);
    motion.boneTrackCount = 0;
    motion.faceTrackCount = 0;
    motion.lastFrame = 0.0f;
}

void addDefaultFaceTracks(MotionData& motion) {
    // Tracks already there are left as they are; only names without a track get one.
    for (const std::string& name : distinctDefaultFaces(motion)) {
        bool exists = false;
        for (FaceTrack* t = motion.faceTracks; t && !exists; t = t->next) exists = name == nameKey(t->name);
        if (exists) continue;
        FaceTrack* track = new FaceTrack();
        std::memset(track->name, 0, sizeof(track->name));
        std::memcpy(track->name, name.data(), name.size());
        track->keys = static_cast<FaceKey*>(std::malloc(sizeof(FaceKey)));
        if (!track->keys) {
            delete track;
            return;
        }
        track->keys[0] = {0.0f, 1.0f};
        track->keyCount = 1;
        track->next = motion.faceTracks;
        motion.faceTracks = track;
        ++motion.faceTrackCount;
    }
}

bool parseVMD(MotionData& motion, const uint8_t* bytes, std::size_t size, const char* fileName) {
    clearMotion(motion);

    // The comparison stops at the literal's zero, so bytes 26..29 of the field are free.
    const std::size_t sigBytes = std::min(size, kSignatureCompareBytes);
    if (!bytes || std::memcmp(bytes, kSignature, sigBytes) != 0) {
        std::fprintf(stderr, "%s: not a VMD motion file (no \"%s\" signature)\n", describe(fileName), kSignature);
        return false;
    }

    // Every count is checked against the bytes really there before anything is allocated.
    if (size < kBoneRecordsOffset) {
        return refuseTruncated(motion, fileName, "header with the bone keyframe count", 0, kBoneRecordsOffset, size);
    }
    const uint32_t boneKeyCount = readU32(bytes + kBoneCountOffset);
    const uint64_t faceCountOffset = kBoneRecordsOffset + uint64_t{boneKeyCount} * kBoneRecordBytes;
    if (faceCountOffset + kCountBytes > size) {
        std::string what = std::to_string(boneKeyCount) + " bone keyframes and the face keyframe count";
        return refuseTruncated(motion, fileName, what.c_str(), kBoneRecordsOffset,
                               faceCountOffset + kCountBytes - kBoneRecordsOffset, size);
    }
    const uint32_t faceKeyCount = readU32(bytes + faceCountOffset);
    const uint64_t faceRecordsOffset = faceCountOffset + kCountBytes;
    if (faceRecordsOffset + uint64_t{faceKeyCount} * kFaceRecordBytes > size) {
        std::string what = std::to_string(faceKeyCount) + " face keyframes";
        return refuseTruncated(motion, fileName, what.c_str(), faceRecordsOffset,
                               uint64_t{faceKeyCount} * kFaceRecordBytes, size);
    }

    const uint8_t* boneRecords = bytes + kBoneRecordsOffset;
    const uint8_t* faceRecords = bytes + faceRecordsOffset;
    auto boneName = [&](uint32_t i) { return reinterpret_cast<const char*>(boneRecords + i * kBoneRecordBytes); };
    auto faceName = [&](uint32_t i) { return reinterpret_cast<const char*>(faceRecords + i * kFaceRecordBytes); };

    float lastFrame = 0.0f;
    TrackIndex<BoneTrack> bones(motion.boneTracks, motion.boneTrackCount);
    for (uint32_t i = 0; i < boneKeyCount; ++i) {
        lastFrame = std::max(lastFrame, static_cast<float>(readU32(boneRecords + i * kBoneRecordBytes + kFrameOffset)));
        bones.count(boneName(i));
    }
    bool ok = bones.allocate();
    for (uint32_t i = 0; ok && i < boneKeyCount; ++i) {
        BoneTrack* t = bones.find(boneName(i));
        readBoneKey(t->keys[t->keyCount++], boneRecords + i * kBoneRecordBytes);
    }

    // Default faces first, so their tracks sit at the end of the list and each one gets
    // exactly one default key however often its name is listed.
    TrackIndex<FaceTrack> faces(motion.faceTracks, motion.faceTrackCount);
    const std::vector<std::string> defaults = distinctDefaultFaces(motion);
    for (const std::string& name : defaults) {
        char field[kVmdNameBytes + 1] = {};
        std::memcpy(field, name.data(), name.size());
        faces.count(field);
    }
    for (uint32_t i = 0; i < faceKeyCount; ++i) {
        lastFrame = std::max(lastFrame, static_cast<float>(readU32(faceRecords + i * kFaceRecordBytes + kFrameOffset)));
        faces.count(faceName(i));
    }
    ok = ok && faces.allocate();
    for (const std::string& name : defaults) {
        if (!ok) break;
        char field[kVmdNameBytes + 1] = {};
        std::memcpy(field, name.data(), name.size());
        FaceTrack* t = faces.find(field);
        t->keys[t->keyCount++] = {0.0f, 1.0f};
    }
    for (uint32_t i = 0; ok && i < faceKeyCount; ++i) {
        FaceTrack* t = faces.find(faceName(i));
        const uint8_t* record = faceRecords + i * kFaceRecordBytes;
        t->keys[t->keyCount++] = {static_cast<float>(readU32(record + kFrameOffset)), readF32(record + kFaceWeightOffset)};
    }
    if (!ok) {
        std::fprintf(stderr, "%s: not enough memory for %u bone and %u face keyframes\n", describe(fileName),
                     boneKeyCount, faceKeyCount);
        clearMotion(motion);
        return false;
    }

    sortKeys(motion.boneTracks);
    sortKeys(motion.faceTracks);
    motion.lastFrame = lastFrame;
    // The bone and face keys stand even when a later, optional section is damaged.
    const uint64_t trailing = faceRecordsOffset + uint64_t{faceKeyCount} * kFaceRecordBytes;
    std::string trailingProblem;
    if (!readTrailingSections(motion, bytes, size, static_cast<std::size_t>(trailing), fileName, &trailingProblem))
        std::fprintf(stderr, "%s\n", trailingProblem.c_str());
    return true;
}

bool loadVMDFile(std::FILE* file, MotionData& motion, const char* fileName) {
    if (!file) return false;
    if (std::fseek(file, 0, SEEK_END) != 0) {
        std::fprintf(stderr, "%s: cannot determine the size of the motion file\n", describe(fileName));
        return false;
    }
    const long end = std::ftell(file);
    if (end < 0 || std::fseek(file, 0, SEEK_SET) != 0) {
        std::fprintf(stderr, "%s: cannot determine the size of the motion file\n", describe(fileName));
        return false;
    }
    std::vector<uint8_t> bytes(static_cast<std::size_t>(end));
    if (!bytes.empty() && std::fread(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
        std::fprintf(stderr, "%s: cannot read the motion file\n", describe(fileName));
        return false;
    }
    return parseVMD(motion, bytes.data(), bytes.size(), fileName);
}

bool loadVMDFile(const char* path, MotionData& motion) {
    std::FILE* file = path ? std::fopen(path, "rb") : nullptr;
    if (!file) {
        std::fprintf(stderr, "%s: cannot open the motion file: %s\n", path ? path : "(no file)", std::strerror(errno));
        return false;
    }
    const bool ok = loadVMDFile(file, motion, path);
    std::fclose(file);
    return ok;
}

bool loadVMDFileKeepingOld(const char* path, MotionData& motion) {
    MotionData scratch;
    if (motion.defaultFaceText) {
        // The names are defaultFaceCount zero-terminated strings back to back.
        std::size_t bytes = 0;
        for (int32_t i = 0; i < motion.defaultFaceCount; ++i)
            bytes += std::strlen(motion.defaultFaceText + bytes) + 1;
        scratch.defaultFaceText = static_cast<char*>(std::malloc(bytes + 1));
        if (!scratch.defaultFaceText) {
            std::fprintf(stderr, "%s: not enough memory to read the motion\n", describe(path));
            return false;
        }
        std::memcpy(scratch.defaultFaceText, motion.defaultFaceText, bytes);
        scratch.defaultFaceText[bytes] = 0;
        scratch.defaultFaceCount = motion.defaultFaceCount;
    }
    if (!loadVMDFile(path, scratch)) return false;
    // The old tracks go with the scratch motion.
    std::swap(motion.boneTracks, scratch.boneTracks);
    std::swap(motion.boneTrackCount, scratch.boneTrackCount);
    std::swap(motion.faceTracks, scratch.faceTracks);
    std::swap(motion.faceTrackCount, scratch.faceTrackCount);
    std::swap(motion.lastFrame, scratch.lastFrame);
    std::swap(motion.ikTracks, scratch.ikTracks);
    std::swap(motion.ikTrackCount, scratch.ikTrackCount);
    std::swap(motion.visibilityKeys, scratch.visibilityKeys);
    std::swap(motion.visibilityKeyCount, scratch.visibilityKeyCount);
    return true;
}

void buildCurveTable(CurveTable& table, int x1, int y1, int x2, int y2) {
    if (x1 == y1 && x2 == y2) {
        table.linear = 1;
        return;
    }
    table.linear = 0;
    const float X1 = x1 * kCurveScale, Y1 = y1 * kCurveScale;
    const float X2 = x2 * kCurveScale, Y2 = y2 * kCurveScale;
    table.samples[0] = 0.0f;
    table.samples[kCurveSamples - 1] = 1.0f;
    for (int i = 1; i < kCurveSamples - 1; ++i) table.samples[i] = bezierYForX(i * 0.0625f, X1, Y1, X2, Y2);
}

float bezierYForX(float x, float X1, float Y1, float X2, float Y2) {
    auto curve = [](float t, float c1, float c2) {
        const float s = 1.0f - t;
        return c1 * t * s * s + c2 * t * t * s + t * t * t;
    };
    float t = x;
    for (int i = 0; i < 32; ++i) {
        const float err = curve(t, X1, X2) - x;
        if (std::fabs(err) < 0.0001f) break;
        t -= err * 0.5f;
    }
    return curve(t, Y1, Y2);
}
