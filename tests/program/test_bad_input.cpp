// Damaged files opened by the user, end to end: the program keeps running, names the
// file and what is wrong with it, and keeps what it had.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "common/ProgramRun.h"

namespace {

const std::string kSource = PAVONIX_SOURCE_DIR;
const std::string kDemo = kSource + "/Data/demo/";

bool haveDisplay() { return std::getenv("DISPLAY") != nullptr; }

std::vector<uint8_t> readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool writeAll(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return bool(out);
}

void putU32(std::vector<uint8_t>& b, std::size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}
uint32_t getU32(const std::vector<uint8_t>& b, std::size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}

struct BadFile {
    std::string name;      // file name in the temporary folder
    std::string expected;  // part of the reason the program must give
};

// Damaged copies of the demo files, made fresh in a temporary folder.
class BadInput : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = makeTempDir("pavonix-bad-input");
        ASSERT_FALSE(dir_.empty());
        pmd_ = readAll(kDemo + "pavo.pmd");
        pmx_ = readAll(kDemo + "pavo.pmx");
        vmd_ = readAll(kDemo + "dance.vmd");
        ASSERT_GT(pmd_.size(), 1000u);
        ASSERT_GT(pmx_.size(), 1000u);
        ASSERT_GT(vmd_.size(), 1000u);
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    std::string write(const std::string& name, const std::vector<uint8_t>& bytes) {
        const std::string path = dir_ + "/" + name;
        EXPECT_TRUE(writeAll(path, bytes));
        return path;
    }

    std::vector<BadFile> makeBadModels() {
        std::vector<BadFile> files;
        // PMD: header 283 bytes, vertex count, 38-byte vertices, index count, u16 indices.
        const std::size_t vertexCountAt = 283;
        const uint32_t vertices = getU32(pmd_, vertexCountAt);
        const std::size_t indexCountAt = vertexCountAt + 4 + 38 * std::size_t(vertices);

        write("half.pmd", std::vector<uint8_t>(pmd_.begin(), pmd_.begin() + pmd_.size() / 2));
        files.push_back({"half.pmd", "ends early"});
        std::vector<uint8_t> b = pmd_;
        putU32(b, vertexCountAt, 0x7FFFFFFF);
        write("count.pmd", b);
        files.push_back({"count.pmd", "vertices"});
        b = pmd_;
        b[indexCountAt + 4] = 0xFF;
        b[indexCountAt + 5] = 0xFF;
        write("index.pmd", b);
        files.push_back({"index.pmd", "out of range"});
        std::vector<uint8_t> garbage(4096);
        for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = uint8_t(i * 131 + 7);
        write("garbage.pmd", garbage);
        files.push_back({"garbage.pmd", ""});
        write("empty.pmx", {});
        files.push_back({"empty.pmx", ""});
        write("half.pmx", std::vector<uint8_t>(pmx_.begin(), pmx_.begin() + pmx_.size() / 3));
        files.push_back({"half.pmx", ""});
        return files;
    }

    std::vector<BadFile> makeBadMotions() {
        std::vector<BadFile> files;
        write("half.vmd", std::vector<uint8_t>(vmd_.begin(), vmd_.begin() + vmd_.size() / 2));
        files.push_back({"half.vmd", "truncated"});
        std::vector<uint8_t> b = vmd_;
        putU32(b, 50, 0xFFFFFFF0);  // bone key count after signature and model name
        write("count.vmd", b);
        files.push_back({"count.vmd", "truncated"});
        write("garbage.vmd", std::vector<uint8_t>(3000, 0xA5));
        files.push_back({"garbage.vmd", "not a VMD"});
        return files;
    }

    std::vector<std::pair<std::string, std::string>> env(const std::string& dialogAnswer = std::string()) {
        std::vector<std::pair<std::string, std::string>> e = {{"PAVONIX_VIDEO", "virtual"},
                                                              {"PAVONIX_NO_DIALOGS", "1"}};
        if (!dialogAnswer.empty()) e.push_back({"PAVONIX_FILE_DIALOG", "cat '" + dialogAnswer + "'"});
        return e;
    }

    std::string dir_;
    std::vector<uint8_t> pmd_, pmx_, vmd_;
};

// Counts the lines of out that name file.
int linesNaming(const std::string& out, const std::string& file) {
    int n = 0;
    std::size_t start = 0;
    while (start < out.size()) {
        std::size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        if (out.substr(start, end - start).find(file) != std::string::npos) ++n;
        start = end + 1;
    }
    return n;
}

}  // namespace

TEST_F(BadInput, DamagedModelsAndMotionsOnTheCommandLineAreReportedAndTheRunGoesOn) {
    if (!haveDisplay()) GTEST_SKIP() << "no X display";
    // Each damaged model in one slot with the good demo model in the other, and each
    // damaged motion with both slots good: the batch run must reach its last frame.
    for (const BadFile& bad : makeBadModels()) {
        for (int slot = 1; slot <= 2; ++slot) {
            SCOPED_TRACE(bad.name + " in slot " + std::to_string(slot));
            const std::string badPath = dir_ + "/" + bad.name;
            const std::string good = kDemo + "pavo.pmd";
            std::string out;
            const int status = runToEnd(pavonixExecutable(),
                                         {"--frames", "15", "--model", slot == 1 ? badPath : good, "--model2",
                                          slot == 2 ? badPath : good, "--motion", kDemo + "dance.vmd"},
                                         kSource, env(), 120.0, &out);
            EXPECT_EQ(status, 0) << out;
            EXPECT_GE(linesNaming(out, bad.name), 1) << out;
            EXPECT_NE(out.find("Open Model"), std::string::npos) << out;
            if (!bad.expected.empty()) {
                EXPECT_NE(out.find(bad.expected), std::string::npos) << out;
            }
            EXPECT_EQ(out.find("AddressSanitizer"), std::string::npos) << out;
        }
    }
    for (const BadFile& bad : makeBadMotions()) {
        SCOPED_TRACE(bad.name);
        std::string out;
        const int status = runToEnd(pavonixExecutable(),
                                    {"--frames", "15", "--model", kDemo + "pavo.pmd", "--model2", kDemo + "pavo.pmx",
                                     "--motion", dir_ + "/" + bad.name},
                                    kSource, env(), 120.0, &out);
        EXPECT_EQ(status, 0) << out;
        EXPECT_GE(linesNaming(out, bad.name), 1) << out;
        EXPECT_NE(out.find(bad.expected), std::string::npos) << out;
        EXPECT_NE(out.find("Open Motion"), std::string::npos) << out;
    }
}

TEST_F(BadInput, DamagedFilesOpenedFromTheDialogLeaveTheProgramRunning) {
    if (!haveDisplay()) GTEST_SKIP() << "no X display";
    const std::string answer = dir_ + "/answer";
    ASSERT_TRUE(writeAll(answer, {}));
    const std::vector<BadFile> models = makeBadModels();
    const std::vector<BadFile> motions = makeBadMotions();

    ProgramRun run;
    ASSERT_TRUE(run.start(pavonixExecutable(),
                          {"--model", kDemo + "pavo.pmd", "--model2", kDemo + "pavo.pmx", "--motion",
                           kDemo + "dance.vmd"},
                          kSource, env(answer)));
    const unsigned long window = findWindowByName("Pavonix", 30.0);
    ASSERT_NE(window, 0u) << run.output();

    // Answers the next dialog with path, presses key and waits for the message.
    auto openThrough = [&](const std::string& path, const std::string& key, const std::string& name) {
        const std::string text = path + "\n";
        ASSERT_TRUE(writeAll(answer, std::vector<uint8_t>(text.begin(), text.end())));
        const int before = linesNaming(run.output(), name);
        ASSERT_TRUE(sendKey(window, key));
        for (int i = 0; i < 200 && linesNaming(run.output(), name) == before; ++i) usleep(100 * 1000);
        EXPECT_GT(linesNaming(run.output(), name), before) << "no message naming " << name << "\n" << run.output();
        ASSERT_TRUE(run.running()) << run.output();
    };
    openThrough(dir_ + "/" + models[0].name, "p", models[0].name);  // slot 2 fails, slot 1 stays
    openThrough(dir_ + "/" + models[2].name, "o", models[2].name);
    for (const BadFile& bad : motions) openThrough(dir_ + "/" + bad.name, "m", bad.name);
    // A good model still opens afterwards, without a message.
    const std::string good = kDemo + "pavo.pmx\n";
    ASSERT_TRUE(writeAll(answer, std::vector<uint8_t>(good.begin(), good.end())));
    const int messages = linesNaming(run.output(), "Open Model");
    ASSERT_TRUE(sendKey(window, "o"));
    usleep(3000 * 1000);
    ASSERT_TRUE(run.running()) << run.output();
    EXPECT_EQ(linesNaming(run.output(), "Open Model"), messages) << run.output();

    ASSERT_TRUE(closeWindow(window));
    int status = -1;
    ASSERT_TRUE(run.wait(20.0, &status)) << "the program did not end after its window was closed";
    EXPECT_EQ(status, 0) << run.output();
}
