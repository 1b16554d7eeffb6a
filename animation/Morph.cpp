#include "animation/Morph.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "animation/Motion.h"
#include "platform/Text.h"

void applyMorphFull(const cMorph& morph, float* positions, uint32_t vertexCount) {
    if (!positions || morph.entries.empty()) return;
    for (int32_t i = 0; i < morph.vertexCount; ++i) {
        const MorphEntry& e = morph.entries[i];
        if (e.vertexIndex < 0 || static_cast<uint32_t>(e.vertexIndex) >= vertexCount) continue;
        float* p = positions + 3 * static_cast<std::size_t>(e.vertexIndex);
        p[0] = e.position[0];
        p[1] = e.position[1];
        p[2] = e.position[2];
    }
}

void blendMorph(const cMorph& morph, float weight, float* positions, uint32_t vertexCount) {
    if (!positions || morph.entries.empty()) return;
    const float keep = 1.0f - weight;
    for (int32_t i = 0; i < morph.vertexCount; ++i) {
        const MorphEntry& e = morph.entries[i];
        if (e.vertexIndex < 0 || static_cast<uint32_t>(e.vertexIndex) >= vertexCount) continue;
        float* p = positions + 3 * static_cast<std::size_t>(e.vertexIndex);
        for (int k = 0; k < 3; ++k) p[k] = e.position[k] * weight + p[k] * keep;
    }
}

void setDefaultFaces(MotionData& motion, const char* text, std::size_t size) {
    std::string bytes(text ? text : "", text ? size : 0);
    bytes.resize(std::strlen(bytes.c_str()));  // a zero byte ends the text

    // Editors on Linux save UTF-8; names inside the program are CP932. A byte-order mark
    // would otherwise become part of the first name.
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
    if (isMultibyteUtf8(bytes.data(), bytes.size())) bytes = utf8ToCp932(bytes);

    // Compact in place: each line that keeps a byte becomes a name and its zero; control
    // bytes (carriage returns, tabs, ...) vanish wherever they stand; an unterminated last
    // line is not a name.
    std::size_t out = 0, lineStart = 0;
    int32_t count = 0;
    for (std::size_t in = 0; in < bytes.size(); ++in) {
        const unsigned char b = static_cast<unsigned char>(bytes[in]);
        if (b == '\n') {
            if (out > lineStart) {
                bytes[out++] = 0;
                ++count;
                lineStart = out;
            }
        } else if (b >= 32) {
            bytes[out++] = static_cast<char>(b);
        }
    }
    out = lineStart;

    char* names = static_cast<char*>(std::malloc(out + 1));
    if (names) {
        std::memcpy(names, bytes.data(), out);
        names[out] = 0;
    } else {
        count = 0;
    }
    std::free(motion.defaultFaceText);
    motion.defaultFaceText = names;
    motion.defaultFaceCount = count;

    clearMotion(motion);
    addDefaultFaceTracks(motion);
}

bool loadDefaultFaces(MotionData& motion, const char* path, std::string* problem) {
    motion.defaultFaceCount = 0;
    std::FILE* file = path ? std::fopen(path, "rb") : nullptr;
    if (!file) return false;
    std::vector<char> bytes;
    bool ok = std::fseek(file, 0, SEEK_END) == 0;
    const long end = ok ? std::ftell(file) : -1;
    ok = end >= 0 && std::fseek(file, 0, SEEK_SET) == 0;
    if (ok) {
        bytes.resize(static_cast<std::size_t>(end));
        ok = bytes.empty() || std::fread(bytes.data(), 1, bytes.size(), file) == bytes.size();
    }
    std::fclose(file);
    if (!ok) {
        if (problem) *problem = std::string(path) + ": cannot read the default face list";
        return false;
    }
    setDefaultFaces(motion, bytes.data(), bytes.size());
    return true;
}
