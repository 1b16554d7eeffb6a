#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "model/ModelLoader.h"


namespace modelload {

std::string format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    char buffer[1024];
    std::vsnprintf(buffer, sizeof buffer, fmt, args);
    va_end(args);
    return buffer;
}

void copyCp932(const std::string& text, char* out, std::size_t outSize) {
    if (outSize == 0) return;
    std::size_t n = 0;
    std::size_t i = 0;
    while (i < text.size() && text[i] != '\0') {
        const uint8_t lead = static_cast<uint8_t>(text[i]);
        const std::size_t width = ((lead >= 0x81 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xFC)) ? 2 : 1;
        if (i + width > text.size() || n + width > outSize - 1) break;
        for (std::size_t k = 0; k < width; ++k) out[n++] = text[i + k];
        i += width;
    }
    out[n] = '\0';
}

int64_t findParentCycle(const ModelData& model) {
    // Walk up from every bone once; a walk that meets its own path has found a cycle.
    // Each bone is settled once, so this stays linear for the deepest hierarchies.
    enum : uint8_t { kUnseen, kOnPath, kSettled };
    std::vector<uint8_t> state(model.boneCount(), kUnseen);
    std::vector<uint32_t> path;
    for (uint32_t start = 0; start < model.boneCount(); ++start) {
        path.clear();
        const cBone* bone = &model.bones[start];
        while (bone) {
            const uint32_t index = static_cast<uint32_t>(bone - model.bones.data());
            if (state[index] == kSettled) break;
            if (state[index] == kOnPath) return index;
            state[index] = kOnPath;
            path.push_back(index);
            bone = bone->parent;
        }
        for (uint32_t index : path) state[index] = kSettled;
    }
    return -1;
}

bool Refusal::operator()(const char* section, std::size_t offset, const std::string& detail) {
    if (!refused_) {
        refused_ = true;
        problem_ = LoadProblem{detail, {}, std::string(format_) + " " + section, offset};
    }
    return false;
}

bool Refusal::truncated(const char* section, const ByteCursor& c) {
    if (c.failWanted() == 0) return (*this)(section, c.failOffset(), "invalid length or index size");
    return (*this)(section, c.failOffset(),
                   format("file ends early: %zu bytes needed, %zu left", c.failWanted(), c.size() - c.failOffset()));
}

LoadResult Refusal::result() const {
    LoadResult r = refused_ ? LoadResult::refuse(problem_.what, problem_.section, problem_.offset) : LoadResult();
    r.takeWarnings(warnings_);
    return r;
}

}  // namespace modelload

std::string refusalText(const LoadProblem& problem) {
    if (problem.section.empty() && problem.offset == LoadProblem::kNoOffset) return problem.what;
    return modelload::format("%s: %s (offset 0x%zx)", problem.section.c_str(), problem.what.c_str(), problem.offset);
}
