// Reading PMD and PMX model files.
//
// loadModelFile is the one entry for both formats: the content decides, never the file
// name (PMD is tried first, then PMX on the same bytes). Every count and index in a file
// is checked against the bytes left and against what it indexes; a file that fails is
// refused with a reason naming the section and the offset, and the model is left empty
// (never half built). Loading creates textures, so it runs on the thread that owns the
// GL context (or with a texture uploader installed, see model/Texture.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "base/ByteCursor.h"
#include "model/ModelData.h"
#include "character/Model.h"  // the readers still make textures and bodies

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
};

// Parses a PMD file. Returns false without touching model when the magic or version
// does not match (reason stays empty then); returns false with a reason in *reason
// after refusing a damaged file, leaving the caller to release what was built.
bool loadPMD(cModel& model, const uint8_t* data, std::size_t size, std::string* reason = nullptr,
             ModelFileInfo* info = nullptr);

// Parses a PMX 2.0 or 2.1 file. Messages the format's users expect (unknown weight
// type, too many bones, ...) are shown through showMessage with their captions; every
// failure also leaves a reason in *reason. Returns false without touching model when the
// magic or version does not match.
bool loadPMX(const uint8_t* data, cModel& model, std::size_t size, std::string* reason = nullptr,
             ModelFileInfo* info = nullptr);

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
// Selects the texture unit (0 or 1) new textures are bound on, when multitexturing is there.
void selectTextureUnit(int unit);
// Copies text (CP932) into out (outSize bytes with terminator), cutting before a
// character that would not fit whole.
void copyCp932(const std::string& text, char* out, std::size_t outSize);
// Rejects parent cycles: returns the index of a bone that is its own ancestor, or -1.
int64_t findParentCycle(const ModelData& model);

// Collects a parser's first failure with its section and offset ("PMD bones: ... (offset
// 0x1a2)"); later ones are ignored so the message names the root cause. Calls return
// false so a parser can write `return refuse(...)`.
class Refusal {
  public:
    Refusal(const char* format, std::string* out) : format_(format), out_(out) {}
    bool operator()(const char* section, std::size_t offset, const std::string& detail) {
        if (out_ && out_->empty())
            *out_ = modelload::format("%s %s: %s (offset 0x%zx)", format_, section, detail.c_str(), offset);
        return false;
    }
    // A read that ran past the end of the file.
    bool truncated(const char* section, const ByteCursor& c) {
        if (c.failWanted() == 0) return (*this)(section, c.failOffset(), "invalid length or index size");
        return (*this)(section, c.failOffset(),
                       modelload::format("file ends early: %zu bytes needed, %zu left", c.failWanted(),
                                         c.size() - c.failOffset()));
    }

  private:
    const char* format_;
    std::string* out_;
};
}  // namespace modelload
