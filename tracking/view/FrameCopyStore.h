// Where the tracker copies each camera frame before working on it (the camera may hand
// out the next frame in the same memory). The viewer's capture provides the memory, so
// that the drawn background and a recording show the very frame the pose came from; a
// tracker given no store keeps a copy of its own.
#pragma once

class FrameCopyStore {
public:
    virtual ~FrameCopyStore() = default;
    // width x height x 4 bytes, rows contiguous, valid until the next call; null when
    // memory for that size runs out.
    virtual unsigned char* frameCopy(int width, int height) = 0;
};
