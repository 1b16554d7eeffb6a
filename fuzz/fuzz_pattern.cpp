// A pattern file (whitespace-separated intensities) loaded into the table and freed
// again, so every input starts from the same table.
#include "FuzzSupport.h"
#include "tracking/Pattern.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* path = fuzzsupport::writeScratch(data, size);
    const int slot = loadPatternFile(path);
    // The previous input's slot was freed, so a load lands in the lowest slot again.
    if (slot > 0) __builtin_trap();
    if (slot == 0 && freePatternSlot(slot) != 1) __builtin_trap();
    return 0;
}
