// IK switch and visibility keys, the last section of a VMD motion, and their reader.
// MotionData holds them as its IKSwitchData part; the reader needs nothing else of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/LoadResult.h"

// IK switch and visibility keys of the motion's last section. A track holds one chain's
// keys, named after its goal bone (20 bytes in the file); a switch holds until the next key.
constexpr std::size_t kVmdIKNameBytes = 20;

struct IKSwitchKey {
    float frame;
    uint8_t enabled;
};

struct IKSwitchTrack {
    char name[kVmdIKNameBytes + 1];  // CP932, always terminated
    int32_t keyCount;
    IKSwitchKey* keys;  // sorted by frame; owned (malloc)
    IKSwitchTrack* next;
};

struct VisibilityKey {
    float frame;
    uint8_t visible;
};

struct IKSwitchData {
    IKSwitchTrack* ikTracks = nullptr;  // newest track first
    int32_t ikTrackCount = 0;
    VisibilityKey* visibilityKeys = nullptr;  // sorted by frame; owned (malloc); read, not drawn
    int32_t visibilityKeyCount = 0;
};

// Reads the sections after the face keys, from offset on, replacing the IK switch tracks
// and visibility keys. A section cut off is refused, naming the section and the offset of
// the read that ran out, and the switch data read so far is dropped.
LoadResult readTrailingSections(IKSwitchData& motion, const uint8_t* bytes, std::size_t size,
                                std::size_t offset);

// Frees the IK switch tracks and visibility keys.
void clearIKSwitches(IKSwitchData& motion);
