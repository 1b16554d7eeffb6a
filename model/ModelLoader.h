// Reading PMD and PMX model files into ModelData.
//
// Every count and index in a file is checked against the bytes left and against what it
// indexes; a file that fails is refused with a reason naming the section and the offset.
// The readers touch neither OpenGL nor the physics world nor the screen: what is made
// from the data, and the messages, are for the caller (character/LoadModelFile.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "base/ByteCursor.h"
#include "base/LoadResult.h"
#include "model/ModelData.h"

// What a load read besides the model itself, for inspection tools: the version and the
// texture names each material gives (CP932, as in the file; empty = none), whether or
// not the texture could be loaded.
struct ModelFileInfo {
    float version = 0.0f;
    struct MaterialTextures {
        std::string texture;
        std::string sphere;
    };
    std::vector<MaterialTextures> materials;
    // Per material, how many of the load's warnings were raised before the point where
    // its textures are due: whoever fetches the textures reports their failures there,
    // so messages keep the order of the file.
    std::vector<std::size_t> warningsBeforeMaterial;
    std::size_t warningsBeforeToons = 0;  // PMD: the toon ramps are due after every material
};

// How the readers report: a refusal names the format and section ("PMD bones") and the
// offset; refusalText gives the words the program shows for it. Each warning with a
// section is meant for a message box captioned with that section ("PMD", "mat", "bone",
// "face", "PMX physics", "Texture Read Error"); one without a section is a line for
// standard error. Warnings come in the order the program shows them.
std::string refusalText(const LoadProblem& problem);

// True when the bytes start like a PMD 1.0 / a PMX 2.0 or 2.1 file.
bool isPMD(const uint8_t* data, std::size_t size);
bool isPMX(const uint8_t* data, std::size_t size);

// Parse a PMD / PMX file into model (which the caller has emptied). Neither makes
// textures or bodies nor shows anything: the model's data and the warnings come back,
// or the refusal, after which the caller releases what was built. Bytes that are not
// of the format are refused with "not a PMD file" / "not a PMX 2.0/2.1 file".
LoadResult loadPMD(ModelData& model, const uint8_t* data, std::size_t size, ModelFileInfo* info = nullptr);
LoadResult loadPMX(ModelData& model, const uint8_t* data, std::size_t size, ModelFileInfo* info = nullptr);

// Decodes one PMX text field (i32 byte length, then UTF-16LE or UTF-8 bytes as
// model.pmxTextEncoding says) at the cursor into out as CP932, at most outSize - 1 bytes
// plus a terminator (a longer text is cut at a character boundary). Characters CP932
// cannot hold become '?'; so does a 4-byte UTF-8 sequence. Advances the cursor past the
// field. Returns false (out empty, cursor marked as run out) when the field does not
// fit in the bytes left or its length is negative.
bool readPMXText(ByteCursor& cursor, const ModelData& model, char* out, std::size_t outSize);

// Reads a PMX i32 record count; false (cursor marked as run out) when it is negative or
// its records of at least minBytes each cannot fit in the bytes left.
bool readPMXCount(ByteCursor& cursor, std::size_t minBytes, int32_t& count);

// Helpers shared by the two parsers.
namespace modelload {
// printf-style formatting into a std::string.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Copies text (CP932) into out (outSize bytes with terminator), cutting before a
// character that would not fit whole.
void copyCp932(const std::string& text, char* out, std::size_t outSize);
// Sizes v to count value-initialised elements; false when memory runs out (the caller
// refuses the file with "out of memory" rather than let the exception escape).
template <typename T>
bool sizeArray(std::vector<T>& v, std::size_t count) {
    try {
        v.assign(count, T());
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}
// Rejects parent cycles: returns the index of a bone that is its own ancestor, or -1.
int64_t findParentCycle(const ModelData& model);

// Collects a parser's first failure with its section and offset; later ones are ignored
// so the message names the root cause. Calls return false so a parser can write
// `return refuse(...)`. Also gathers the warnings, in order.
class Refusal {
  public:
    explicit Refusal(const char* format) : format_(format) {}
    bool operator()(const char* section, std::size_t offset, const std::string& detail);
    // A read that ran past the end of the file.
    bool truncated(const char* section, const ByteCursor& c);
    // A message for a box captioned caption, which also becomes the refusal.
    bool shown(const char* caption, const std::string& text, std::size_t offset) {
        warn(caption, text);
        return (*this)(caption, offset, text);
    }
    // A message for a box captioned caption; the file is still read.
    void warn(const char* caption, const std::string& text) { warnings_.warn(text, {}, caption); }
    // A line for standard error.
    void note(const std::string& text) { warnings_.warn(text); }
    std::size_t warningCount() const { return warnings_.warnings().size(); }
    // Success with the warnings, or the first refusal with them.
    LoadResult result() const;

  private:
    const char* format_;
    bool refused_ = false;
    LoadProblem problem_;
    LoadResult warnings_;
};
}  // namespace modelload
