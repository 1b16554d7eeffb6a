// The sections of a VMD file after its face keys: camera, light and self-shadow keys are
// stepped over, IK switch and visibility keys are kept. Every one is optional, and older
// files end before them.
#include "animation/IkSwitchKeys.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/ByteCursor.h"

namespace {

constexpr std::size_t kCameraRecordBytes = 61;
constexpr std::size_t kLightRecordBytes = 28;
constexpr std::size_t kShadowRecordBytes = 9;
constexpr std::size_t kIKHeaderBytes = 4 + 1 + 4;  // frame, visible, switch count
constexpr std::size_t kIKSwitchBytes = kVmdIKNameBytes + 1;

struct Switch {
    std::string name;
    IKSwitchKey key;
};

// Steps over a section of fixed-size records. False when the file ends inside it.
bool skipSection(ByteCursor& c, std::size_t recordBytes) {
    uint32_t count;
    return c.readU32(count) && c.fits(count, recordBytes) && c.skip(std::size_t(count) * recordBytes);
}

bool cutShort(const char* fileName, const char* section, const ByteCursor& c, std::string* problem) {
    if (problem) {
        char line[160];
        std::snprintf(line, sizeof line, "the %s section is cut off at offset %zu; its keys are ignored", section,
                      c.failOffset());
        *problem = std::string(fileName ? fileName : "motion data") + ": " + line;
    }
    return false;
}

}  // namespace

void clearIKSwitches(IKSwitchData& motion) {
    while (motion.ikTracks) {
        IKSwitchTrack* next = motion.ikTracks->next;
        std::free(motion.ikTracks->keys);
        delete motion.ikTracks;
        motion.ikTracks = next;
    }
    motion.ikTrackCount = 0;
    std::free(motion.visibilityKeys);
    motion.visibilityKeys = nullptr;
    motion.visibilityKeyCount = 0;
}

bool readTrailingSections(IKSwitchData& motion, const uint8_t* bytes, std::size_t size, std::size_t offset,
                          const char* fileName, std::string* problem) {
    clearIKSwitches(motion);
    ByteCursor c(bytes, size, offset);
    if (c.remaining() == 0) return true;
    if (!skipSection(c, kCameraRecordBytes)) return cutShort(fileName, "camera", c, problem);
    if (c.remaining() == 0) return true;
    if (!skipSection(c, kLightRecordBytes)) return cutShort(fileName, "light", c, problem);
    if (c.remaining() == 0) return true;
    if (!skipSection(c, kShadowRecordBytes)) return cutShort(fileName, "self-shadow", c, problem);
    if (c.remaining() == 0) return true;

    uint32_t recordCount;
    if (!c.readU32(recordCount) || !c.fits(recordCount, kIKHeaderBytes)) return cutShort(fileName, "IK switch", c, problem);
    std::vector<VisibilityKey> visible;
    std::vector<Switch> switches;
    visible.reserve(recordCount);
    for (uint32_t i = 0; i < recordCount; ++i) {
        uint32_t frame, count;
        uint8_t show;
        c.readU32(frame);
        c.readU8(show);
        c.readU32(count);
        if (!c.fits(count, kIKSwitchBytes)) return cutShort(fileName, "IK switch", c, problem);
        visible.push_back({static_cast<float>(frame), show});
        for (uint32_t k = 0; k < count; ++k) {
            const uint8_t* name = c.take(kVmdIKNameBytes);
            uint8_t enabled;
            c.readU8(enabled);
            if (!name) return cutShort(fileName, "IK switch", c, problem);
            std::size_t n = 0;
            while (n < kVmdIKNameBytes && name[n] != 0) ++n;
            switches.push_back({std::string(reinterpret_cast<const char*>(name), n),
                                {static_cast<float>(frame), enabled}});
        }
    }

    // Keys sharing a frame keep their file order, so the last one written wins.
    std::stable_sort(visible.begin(), visible.end(),
                     [](const VisibilityKey& a, const VisibilityKey& b) { return a.frame < b.frame; });
    std::stable_sort(switches.begin(), switches.end(), [](const Switch& a, const Switch& b) {
        return a.name != b.name ? a.name < b.name : a.key.frame < b.key.frame;
    });
    if (!visible.empty()) {
        motion.visibilityKeys = static_cast<VisibilityKey*>(std::malloc(sizeof(VisibilityKey) * visible.size()));
        if (!motion.visibilityKeys) return cutShort(fileName, "visibility (out of memory)", c, problem);
        std::copy(visible.begin(), visible.end(), motion.visibilityKeys);
        motion.visibilityKeyCount = static_cast<int32_t>(visible.size());
    }
    for (std::size_t first = 0; first < switches.size();) {
        std::size_t last = first;
        while (last < switches.size() && switches[last].name == switches[first].name) ++last;
        IKSwitchTrack* track = new IKSwitchTrack();
        std::memset(track->name, 0, sizeof(track->name));
        std::memcpy(track->name, switches[first].name.data(), switches[first].name.size());
        track->keyCount = static_cast<int32_t>(last - first);
        track->keys = static_cast<IKSwitchKey*>(std::malloc(sizeof(IKSwitchKey) * (last - first)));
        track->next = motion.ikTracks;
        motion.ikTracks = track;
        ++motion.ikTrackCount;
        if (!track->keys) {
            clearIKSwitches(motion);
            return cutShort(fileName, "IK switch (out of memory)", c, problem);
        }
        for (std::size_t k = first; k < last; ++k) track->keys[k - first] = switches[k].key;
        first = last;
    }
    return true;
}
