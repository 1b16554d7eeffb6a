// What skinning writes and the scratch it keeps between frames, for one model.
//
// positions and normals are sized when the model is loaded (3 floats per vertex) and
// drawn from; the matrix table and the SDEF rotations are made on the first skinned
// frame and reused, so a frame allocates nothing.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

struct SkinBuffers {
    std::vector<float> positions;  // 3 per vertex, output of skinning
    std::vector<float> normals;    // 3 per vertex, output of skinning

    // Every bone's skin matrix side by side (16 floats each, 64-byte aligned), then one
    // identity for indices outside the bones; made for tableBones bones.
    struct FreeDeleter {
        void operator()(float* p) const { std::free(p); }
    };
    std::unique_ptr<float[], FreeDeleter> table;
    uint32_t tableBones = 0;

    std::vector<float> sdefRotations;  // 4 per bone: each skin matrix's rotation (SDEF models)

    // Set once the table could not be made: the shortage is reported once per model.
    bool tableShortTold = false;

    // Sizes the outputs for vertexCount vertices (zeroed) and drops the scratch.
    void prepare(uint32_t vertexCount) {
        positions.assign(3 * std::size_t(vertexCount), 0.0f);
        normals.assign(3 * std::size_t(vertexCount), 0.0f);
        table.reset();
        tableBones = 0;
        sdefRotations.clear();
        tableShortTold = false;
    }

    // Frees everything.
    void clear() {
        std::vector<float>().swap(positions);
        std::vector<float>().swap(normals);
        table.reset();
        tableBones = 0;
        std::vector<float>().swap(sdefRotations);
        tableShortTold = false;
    }
};
