// pavonix-make-toon: writes the program's ten default toon ramps, toon01.bmp ...
// toon10.bmp, used for models that name the shared ramps without shipping them.
// Everything is computed, so the same program always writes the same bytes.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "make_toon/ToonRamps.h"

int main(int argc, char** argv) {
    if (argc > 2 || (argc == 2 && argv[1][0] == '-')) {
        std::fprintf(stderr, "usage: pavonix-make-toon [OUTPUT_FOLDER]   (default Data/toon)\n");
        return argc == 2 && std::strcmp(argv[1], "--help") == 0 ? 0 : 2;
    }
    const std::string dir = argc == 2 ? argv[1] : "Data/toon";
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "pavonix-make-toon: cannot create %s: %s\n", dir.c_str(), std::strerror(errno));
        return 1;
    }
    for (int i = 0; i < 10; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/toon%02d.bmp", i + 1);
        const std::string path = dir + name;
        if (!demo::writeBMP(path, toon::makeRamp(toon::defaultRamp(i)))) {
            std::fprintf(stderr, "pavonix-make-toon: cannot write %s\n", path.c_str());
            return 1;
        }
    }
    std::printf("pavonix-make-toon: wrote toon01.bmp ... toon10.bmp into %s\n", dir.c_str());
    return 0;
}
