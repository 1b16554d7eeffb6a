// Pattern files: loading into the table, the table's slots, making patterns from
// pictures, and the committed marker files being what the tools make.

#include "tracking/Pattern.h"

#include <gtest/gtest.h>
#include <png.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string kSource = PAVONIX_SOURCE_DIR;
const std::string kCommittedPattern = kSource + "/Data/patt.00";

std::string tempPath(const std::string& name) {
    return "/tmp/pavonix_patt_" + std::to_string(getpid()) + "_" + name;
}

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

// The table is one per process; every test starts from an empty one.
void emptyTable() {
    for (int slot = 0; slot < kPatternSlots; ++slot) freePatternSlot(slot);
}

std::string numbers(int count, int value) {
    std::string text;
    for (int i = 0; i < count; ++i) text += std::to_string(value) + (i % 16 == 15 ? "\n" : " ");
    return text;
}

// Correlation of two stored colour templates, as the matcher computes it.
double correlation(int slotA, int dirA, int slotB, int dirB) {
    const PatternTable& t = patternTable();
    double dot = 0;
    for (int r = 0; r < kPatternSize; ++r)
        for (int c = 0; c < kPatternSize; ++c)
            for (int p = 0; p < 3; ++p) dot += double(t.colour[slotA][dirA][r][c][p]) * t.colour[slotB][dirB][r][c][p];
    return dot / t.colourPower[slotA][dirA] / t.colourPower[slotB][dirB];
}

TEST(PatternLoad, CommittedPatternIsDistinctUnderEveryQuarterTurn) {
    emptyTable();
    ::testing::internal::CaptureStdout();
    const int slot = loadPatternFile(kCommittedPattern.c_str());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    ASSERT_GE(slot, 0);
    const PatternTable& t = patternTable();
    EXPECT_EQ(t.state[slot], 1);
    EXPECT_EQ(t.count, 1);
    for (int d = 0; d < 4; ++d) {
        // Each direction is centred: the mean left over is below one unit per value.
        long long sum = 0;
        for (int r = 0; r < kPatternSize; ++r)
            for (int c = 0; c < kPatternSize; ++c)
                for (int p = 0; p < 3; ++p) sum += t.colour[slot][d][r][c][p];
        EXPECT_LT(std::llabs(sum), 768);
        EXPECT_GT(t.colourPower[slot][d], 1000.0);
        EXPECT_GT(t.bwPower[slot][d], 500.0);
        // Direction d + 1 is direction d turned a quarter counterclockwise.
        const int next = (d + 1) % 4;
        for (int r = 0; r < kPatternSize; ++r)
            for (int c = 0; c < kPatternSize; ++c)
                ASSERT_EQ(t.bw[slot][next][r][c], t.bw[slot][d][c][kPatternSize - 1 - r]) << d << " " << r << " " << c;
        // No orientation can be mistaken for another.
        for (int e = 0; e < 4; ++e)
            if (e != d) {
                EXPECT_LT(correlation(slot, d, slot, e), 0.35) << d << " vs " << e;
            }
    }
}

TEST(PatternLoad, TemplatesHoldDarknessPerPlaneAndGreyAverage) {
    emptyTable();
    // All white except one cell of direction 0 whose planes (blue, green, red) differ.
    std::string text;
    for (int d = 0; d < 4; ++d)
        for (int p = 0; p < 3; ++p)
            for (int i = 0; i < 256; ++i) {
                const int v = (d == 0 && i == 17) ? (p == 0 ? 0 : p == 1 ? 30 : 90) : 255;
                text += std::to_string(v) + (i % 16 == 15 ? "\n" : "\t");
            }
    const std::string path = tempPath("cell.pat");
    writeText(path, text);
    const int slot = loadPatternFile(path.c_str());
    ASSERT_EQ(slot, 0);
    const PatternTable& t = patternTable();
    // Darkness 255, 225, 165 at row 1, column 1; the mean (645 / 768) is 0.
    EXPECT_EQ(t.colour[0][0][1][1][0], 255);
    EXPECT_EQ(t.colour[0][0][1][1][1], 225);
    EXPECT_EQ(t.colour[0][0][1][1][2], 165);
    EXPECT_EQ(t.bw[0][0][1][1], 215);
    EXPECT_EQ(t.colour[0][0][0][0][0], 0);
    EXPECT_DOUBLE_EQ(t.colourPower[0][0], std::sqrt(255.0 * 255 + 225 * 225 + 165 * 165));
    EXPECT_DOUBLE_EQ(t.bwPower[0][0], 215.0);
    std::remove(path.c_str());
}

TEST(PatternLoad, UniformFileHasTinyPowerNotZero) {
    emptyTable();
    const std::string path = tempPath("flat.pat");
    writeText(path, numbers(3072, 128));
    const int slot = loadPatternFile(path.c_str());
    ASSERT_GE(slot, 0);
    for (int d = 0; d < 4; ++d) {
        EXPECT_EQ(patternTable().colourPower[slot][d], 1e-7);
        EXPECT_EQ(patternTable().bwPower[slot][d], 1e-7);
        EXPECT_EQ(patternTable().colour[slot][d][5][9][2], 0);
    }
    std::remove(path.c_str());
}

TEST(PatternLoad, BadFilesFailAndLeaveTheSlotFree) {
    emptyTable();
    const std::string path = tempPath("bad.pat");
    const std::string good = tempPath("good.pat");
    writeText(good, readText(kCommittedPattern));

    const std::string broken[] = {
        numbers(3071, 200),                            // one number short
        "",                                            // empty
        numbers(1000, 200) + "twelve " + numbers(2071, 200),  // a word among the numbers
        numbers(100, 200) + "99999999999999999999 " + numbers(2971, 200),  // does not fit an int
    };
    for (const std::string& text : broken) {
        writeText(path, text);
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(loadPatternFile(path.c_str()), -1);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Pattern Data read error!!\n");
    }
    // Something that is not a pattern file at all ends the read instead of hanging.
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(loadPatternFile("/dev/zero"), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Pattern Data read error!!\n");
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(loadPatternFile("/nonexistent/patt.99"), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "\"/nonexistent/patt.99\" not found!!\n");

    EXPECT_EQ(patternTable().count, 0);
    EXPECT_EQ(loadPatternFile(good.c_str()), 0);  // the failed loads did not use up slot 0
    // Any whitespace separates values, and numbers beyond the 3072nd are ignored.
    std::string spaced = numbers(3072, 40);
    for (char& ch : spaced)
        if (ch == ' ') ch = '\t';
    writeText(path, "\r\n" + spaced + "\n 7 8 9\n");
    EXPECT_EQ(loadPatternFile(path.c_str()), 1);
    std::remove(path.c_str());
    std::remove(good.c_str());
}

TEST(PatternSlots, FiftySlotsThenFullAndFreedSlotsAreReused) {
    emptyTable();
    for (int i = 0; i < kPatternSlots; ++i) ASSERT_EQ(loadPatternFile(kCommittedPattern.c_str()), i);
    EXPECT_EQ(patternTable().count, kPatternSlots);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(loadPatternFile(kCommittedPattern.c_str()), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");  // a full table is reported by the -1 only

    EXPECT_EQ(deactivatePatternSlot(7), 1);
    EXPECT_EQ(patternTable().state[7], 2);
    EXPECT_EQ(activatePatternSlot(7), 1);
    EXPECT_EQ(patternTable().state[7], 1);
    EXPECT_EQ(freePatternSlot(7), 1);
    EXPECT_EQ(freePatternSlot(3), 1);
    EXPECT_EQ(patternTable().count, kPatternSlots - 2);
    EXPECT_EQ(freePatternSlot(7), -1);  // already free
    EXPECT_EQ(activatePatternSlot(7), -1);
    EXPECT_EQ(deactivatePatternSlot(7), -1);
    // Indices outside the table are refused instead of written.
    for (int bad : {-1, kPatternSlots, 1000}) {
        EXPECT_EQ(freePatternSlot(bad), -1);
        EXPECT_EQ(activatePatternSlot(bad), -1);
        EXPECT_EQ(deactivatePatternSlot(bad), -1);
    }
    EXPECT_EQ(loadPatternFile(kCommittedPattern.c_str()), 3);  // the lowest free slot
    EXPECT_EQ(loadPatternFile(kCommittedPattern.c_str()), 7);
    EXPECT_EQ(patternTable().count, kPatternSlots);
    emptyTable();
    EXPECT_EQ(patternTable().count, 0);
}

// A B, G, R, A picture filled by a function of the pixel.
template <typename F>
std::vector<uint8_t> picture(int width, int height, F colour) {
    std::vector<uint8_t> bgra(static_cast<std::size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &bgra[(static_cast<std::size_t>(y) * width + x) * 4];
            colour(x, y, p);
            p[3] = 255;
        }
    return bgra;
}

TEST(PatternMaking, AreaAveragingPlaneOrderAndTurns) {
    PatternImage pattern;
    // Planes are bytes 0, 1, 2 as the camera delivers them.
    auto tinted = picture(16, 16, [](int, int, uint8_t* p) { p[0] = 10; p[1] = 20; p[2] = 30; });
    makePatternImage(tinted.data(), 16, 16, 16 * 4, pattern);
    EXPECT_EQ(pattern.value[0][0][3][3], 10);
    EXPECT_EQ(pattern.value[2][1][15][0], 20);
    EXPECT_EQ(pattern.value[3][2][0][15], 30);

    // 1.5 pixels per cell: a black first column covers two thirds of cell 0's width.
    auto column = picture(24, 24, [](int x, int, uint8_t* p) { p[0] = p[1] = p[2] = x == 0 ? 0 : 255; });
    makePatternImage(column.data(), 24, 24, 24 * 4, pattern);
    EXPECT_EQ(pattern.value[0][0][7][0], 85);
    EXPECT_EQ(pattern.value[0][0][7][1], 255);

    // A picture larger than the grid, with a row stride wider than the picture, and a
    // black top-left quadrant: each quarter turn counterclockwise moves the quadrant on
    // to bottom-left, bottom-right, top-right.
    const int w = 40, h = 40, stride = (w + 3) * 4;
    std::vector<uint8_t> padded(static_cast<std::size_t>(stride) * h, 77);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &padded[static_cast<std::size_t>(y) * stride + x * 4];
            p[0] = p[1] = p[2] = (x < 20 && y < 20) ? 0 : 255;
        }
    makePatternImage(padded.data(), w, h, stride, pattern);
    const int blackCorner[4][2] = {{2, 2}, {13, 2}, {13, 13}, {2, 13}};  // row, column per direction
    for (int d = 0; d < 4; ++d)
        for (int r = 0; r < 16; ++r)
            for (int c = 0; c < 16; ++c) {
                const bool black = (r < 8) == (blackCorner[d][0] < 8) && (c < 8) == (blackCorner[d][1] < 8);
                ASSERT_EQ(pattern.value[d][1][r][c], black ? 0 : 255) << d << " " << r << " " << c;
            }
}

// The matcher samples the square starting from whichever corner the contour begins
// at, going clockwise on screen, and reports orientation o when template o fits; the
// pattern's first corner is then detected corner (4 - o) % 4. Check the templates
// honour that for every turn of the marker and every starting corner.
TEST(PatternMaking, ReportedOrientationFindsThePatternsFirstCorner) {
    emptyTable();
    const std::string path = tempPath("turns.pat");
    ASSERT_EQ(savePatternFile(path.c_str(), [] {
                  PatternImage p;
                  // An asymmetric picture: a gradient plus a dark top-left block.
                  auto img = picture(16, 16, [](int x, int y, uint8_t* px) {
                      px[0] = px[1] = px[2] = (x < 5 && y < 3) ? 0 : static_cast<uint8_t>(60 + 8 * x + 3 * y);
                  });
                  makePatternImage(img.data(), 16, 16, 64, p);
                  return p;
              }()),
              0);
    const int slot = loadPatternFile(path.c_str());
    ASSERT_GE(slot, 0);
    const PatternTable& t = patternTable();

    // Darkness of the upright picture, from the direction-0 grey template.
    int upright[16][16];
    for (int r = 0; r < 16; ++r)
        for (int c = 0; c < 16; ++c) upright[r][c] = t.bw[slot][0][r][c];
    auto turnClockwise = [](int in[16][16], int out[16][16]) {
        for (int r = 0; r < 16; ++r)
            for (int c = 0; c < 16; ++c) out[r][c] = in[15 - c][r];
    };
    for (int turns = 0; turns < 4; ++turns) {
        // The camera's view: the picture turned clockwise; its top-left corner is now
        // screen corner `turns` counting TL, TR, BR, BL.
        int seen[16][16];
        std::memcpy(seen, upright, sizeof seen);
        for (int k = 0; k < turns; ++k) {
            int tmp[16][16];
            turnClockwise(seen, tmp);
            std::memcpy(seen, tmp, sizeof seen);
        }
        for (int start = 0; start < 4; ++start) {
            // Sampling from screen corner `start` puts it top-left: a counterclockwise
            // turn per step.
            int patch[16][16];
            std::memcpy(patch, seen, sizeof patch);
            for (int k = 0; k < start; ++k) {
                int tmp[16][16];
                for (int r = 0; r < 16; ++r)
                    for (int c = 0; c < 16; ++c) tmp[r][c] = patch[c][15 - r];
                std::memcpy(patch, tmp, sizeof patch);
            }
            int best = -1;
            double bestValue = -2;
            for (int d = 0; d < 4; ++d) {
                double dot = 0;
                for (int r = 0; r < 16; ++r)
                    for (int c = 0; c < 16; ++c) dot += double(patch[r][c]) * t.bw[slot][d][r][c];
                if (dot > bestValue) {
                    bestValue = dot;
                    best = d;
                }
            }
            const int firstCornerDetectedIndex = (turns - start + 4) % 4;
            EXPECT_EQ((4 - best) % 4, firstCornerDetectedIndex) << "turns " << turns << " start " << start;
        }
    }
    std::remove(path.c_str());
}

TEST(PatternMaking, TextLayoutRoundTripsThroughTheLoader) {
    PatternImage pattern;
    auto img = picture(32, 32, [](int x, int y, uint8_t* p) {
        p[0] = static_cast<uint8_t>(x * 8);
        p[1] = static_cast<uint8_t>(y * 8);
        p[2] = static_cast<uint8_t>(255 - x * 4);
    });
    makePatternImage(img.data(), 32, 32, 32 * 4, pattern);
    const std::string text = formatPatternText(pattern);
    // 4 directions x 48 lines of 16 "%4d" values, one empty line after each direction.
    std::istringstream lines(text);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        if (count % 49 == 0)
            EXPECT_EQ(line, "") << count;
        else
            EXPECT_EQ(line.size(), 64u) << count;
    }
    EXPECT_EQ(count, 4 * 49);

    emptyTable();
    const std::string path = tempPath("layout.pat");
    ASSERT_EQ(savePatternFile(path.c_str(), pattern), 0);
    EXPECT_EQ(readText(path), text);
    const int slot = loadPatternFile(path.c_str());
    ASSERT_GE(slot, 0);
    // Colour templates differ from 255 - value only by the per-direction mean.
    const PatternTable& t = patternTable();
    const int offset = t.colour[slot][2][0][0][1] - (255 - pattern.value[2][1][0][0]);
    for (int r = 0; r < 16; ++r)
        for (int c = 0; c < 16; ++c)
            for (int p = 0; p < 3; ++p)
                ASSERT_EQ(t.colour[slot][2][r][c][p] - (255 - pattern.value[2][p][r][c]), offset);
    EXPECT_EQ(savePatternFile("/nonexistent/x.pat", pattern), -1);
    std::remove(path.c_str());
}

// The committed pattern is the central half of the committed marker's black square.
TEST(CommittedData, PatternMatchesTheMarkerPicture) {
    const std::string markerPath = kSource + "/Data/marker.png";
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&png, markerPath.c_str())) << png.message;
    png.format = PNG_FORMAT_BGRA;
    std::vector<uint8_t> bgra(PNG_IMAGE_SIZE(png));
    ASSERT_TRUE(png_image_finish_read(&png, nullptr, bgra.data(), 0, nullptr)) << png.message;
    const int w = static_cast<int>(png.width), h = static_cast<int>(png.height);

    // The black square is the bounding box of the dark pixels, and it is solid black
    // on its outer quarter.
    int x0 = w, x1 = -1, y0 = h, y1 = -1;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (bgra[(static_cast<std::size_t>(y) * w + x) * 4 + 1] < 128) {
                x0 = std::min(x0, x);
                x1 = std::max(x1, x);
                y0 = std::min(y0, y);
                y1 = std::max(y1, y);
            }
    const int side = x1 - x0 + 1;
    ASSERT_EQ(side, y1 - y0 + 1);
    ASSERT_EQ(side % 4, 0);
    EXPECT_GT(x0, 0);  // a white margin all round
    EXPECT_LT(x1, w - 1);
    for (int i = 0; i < side; ++i) {
        const int inFrame[4][2] = {{x0 + i, y0 + side / 8}, {x0 + side / 8, y0 + i}, {x1 - i, y1 - side / 8},
                                   {x1 - side / 8, y1 - i}};
        for (const auto& p : inFrame) ASSERT_EQ(bgra[(static_cast<std::size_t>(p[1]) * w + p[0]) * 4], 0);
    }

    PatternImage pattern;
    const std::size_t origin = (static_cast<std::size_t>(y0 + side / 4) * w + x0 + side / 4) * 4;
    makePatternImage(&bgra[origin], side / 2, side / 2, w * 4, pattern);
    EXPECT_EQ(formatPatternText(pattern), readText(kCommittedPattern));
    png_image_free(&png);
}

// The committed data files are exactly what the data script makes with our tools.
TEST(CommittedData, FilesAreWhatTheToolsMake) {
    const std::string tools = std::string(PAVONIX_BINARY_DIR) + "/tools";
    if (access((tools + "/pavonix-make-marker").c_str(), X_OK) != 0 ||
        access((tools + "/pavonix-make-calibration").c_str(), X_OK) != 0)
        GTEST_SKIP() << "data tools not built in " << tools;
    const std::string out = tempPath("data");
    const std::string command =
        "bash '" + kSource + "/scripts/make-data.sh' '" + tools + "' '" + out + "' > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    for (const char* name : {"camera_para.dat", "patt.00", "marker.png"}) {
        const std::string made = readText(out + "/" + name);
        EXPECT_FALSE(made.empty()) << name;
        EXPECT_TRUE(made == readText(kSource + "/Data/" + name)) << name << " differs from what the tools make";
    }
    (void)!std::system(("rm -rf '" + out + "'").c_str());
}

}  // namespace

namespace {

std::string toolPath(const char* name) { return std::string(PAVONIX_BINARY_DIR) + "/tools/" + name; }

int runTool(const std::string& arguments, std::string* errors) {
    const std::string errFile = tempPath("tool.err");
    const int status = std::system((arguments + " > /dev/null 2> '" + errFile + "'").c_str());
    if (errors != nullptr) *errors = readText(errFile);
    std::remove(errFile.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(MarkerTool, PictureBecomesPatternAndPrintableMarker) {
    const std::string tool = toolPath("pavonix-make-marker");
    if (access(tool.c_str(), X_OK) != 0) GTEST_SKIP() << "pavonix-make-marker not built";
    // A wide picture with a transparent right part: it is fitted into the square
    // without distortion and transparency prints as paper.
    const int w = 64, h = 32;
    std::vector<uint8_t> rgba(w * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &rgba[(y * w + x) * 4];
            p[0] = x < 16 ? 200 : 0;  // red on the left, black elsewhere
            p[1] = p[2] = 0;
            p[3] = x >= 48 ? 0 : 255;
        }
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    png.width = w;
    png.height = h;
    png.format = PNG_FORMAT_RGBA;
    const std::string picturePath = tempPath("picture.png");
    ASSERT_TRUE(png_image_write_to_file(&png, picturePath.c_str(), 0, rgba.data(), 0, nullptr));

    const std::string pattPath = tempPath("tool.pat"), markerPath = tempPath("tool.png");
    std::string errors;
    ASSERT_EQ(runTool("'" + tool + "' --size-mm 50 --dpi 200 --margin 0.5 '" + picturePath + "' '" + pattPath +
                          "' '" + markerPath + "'",
                      &errors),
              0)
        << errors;

    // 50 mm at 200 dpi is 393.7 pixels, rounded to 384 = 12 x 32; the resolution is
    // adjusted so that 384 pixels still print as 50 mm.
    FILE* f = std::fopen(markerPath.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    png_structp reader = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(reader);
    ASSERT_EQ(setjmp(png_jmpbuf(reader)), 0);
    png_init_io(reader, f);
    png_read_info(reader, info);
    EXPECT_EQ(png_get_image_width(reader, info), 384u + 2 * 192u);
    EXPECT_EQ(png_get_image_height(reader, info), 768u);
    png_uint_32 xppm = 0, yppm = 0;
    int unit = -1;
    ASSERT_NE(png_get_pHYs(reader, info, &xppm, &yppm, &unit), 0u);
    EXPECT_EQ(unit, PNG_RESOLUTION_METER);
    EXPECT_EQ(xppm, 7680u);  // 384 pixels / 0.05 m
    EXPECT_EQ(yppm, 7680u);
    png_destroy_read_struct(&reader, &info, nullptr);
    std::fclose(f);

    // The picture fills the central band of the square: top and bottom quarters of
    // the pattern are paper (the picture is half as tall as wide), the left of the
    // middle band is red (plane 2 bright, planes 0 and 1 dark), the right quarter paper.
    emptyTable();
    const int slot = loadPatternFile(pattPath.c_str());
    ASSERT_GE(slot, 0);
    PatternImage reread;
    std::istringstream values(readText(pattPath));
    for (int d = 0; d < 4; ++d)
        for (int p = 0; p < 3; ++p)
            for (int r = 0; r < 16; ++r)
                for (int c = 0; c < 16; ++c) {
                    int v;
                    values >> v;
                    reread.value[d][p][r][c] = static_cast<uint8_t>(v);
                }
    EXPECT_EQ(reread.value[0][0][1][8], 255);   // paper above the picture
    EXPECT_EQ(reread.value[0][2][8][1], 200);   // red: plane 2 is red
    EXPECT_EQ(reread.value[0][0][8][1], 0);
    EXPECT_EQ(reread.value[0][1][8][8], 0);     // black middle
    EXPECT_EQ(reread.value[0][1][8][14], 255);  // transparent part prints as paper

    // Failures name the file or the option and change nothing else.
    EXPECT_EQ(runTool("'" + tool + "' /nonexistent/pic.png a.pat b.png", &errors), 1);
    EXPECT_NE(errors.find("/nonexistent/pic.png"), std::string::npos) << errors;
    EXPECT_EQ(runTool("'" + tool + "' --dpi many --builtin a.pat b.png", &errors), 2);
    EXPECT_NE(errors.find("--dpi"), std::string::npos) << errors;
    EXPECT_EQ(runTool("'" + tool + "' --builtin only-one-file", &errors), 2);
    for (const std::string& path : {picturePath, pattPath, markerPath}) std::remove(path.c_str());
}

}  // namespace
