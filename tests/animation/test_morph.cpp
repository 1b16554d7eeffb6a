// Morph application, the per-frame reset and the default face list.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "character/ModelFrame.h"
#include "animation/Morph.h"
#include "animation/MorphBlend.h"
#include "animation/Motion.h"

namespace {

void setMorph(cMorph& m, const char* name, std::vector<MorphEntry> entries) {
    std::strncpy(m.name, name, sizeof(m.name) - 1);
    m.vertexCount = static_cast<int32_t>(entries.size());
    m.entries = std::move(entries);
}

// A model with vertexCount vertices at (i, 0, 0) and the given morphs; frees what it holds.
struct MorphModel {
    cModel model;
    MorphModel(uint32_t vertexCount, int morphCount, bool pmx) {
        model.format = pmx ? 1 : 0;
        model.vertexCount = vertexCount;
        model.positions.assign(3 * std::size_t(vertexCount), 0.0f);
        for (uint32_t i = 0; i < vertexCount; ++i) model.positions[3 * i] = static_cast<float>(i);
        if (pmx) model.restPositions = model.positions;
        model.morphs.resize(static_cast<std::size_t>(morphCount));
    }
    const float* at(int v) const { return model.positions.data() + 3 * v; }
};

std::string defaultNames(const MotionData& m) {
    std::string out;
    const char* p = m.defaultFaceText;
    for (int i = 0; i < m.defaultFaceCount; ++i) {
        if (i) out += '|';
        out += p;
        p += std::strlen(p) + 1;
    }
    return out;
}

std::string faces(const char* text) {
    MotionData m;
    setDefaultFaces(m, text, std::strlen(text));
    return defaultNames(m);
}

}  // namespace

TEST(MorphApply, FullAndBlendedWeightsMoveOnlyTheListedVertices) {
    MorphModel m(4, 1, true);
    setMorph(m.model.morphs[0], "a", {{1, {10.0f, 20.0f, 30.0f}}, {3, {-3.0f, 0.0f, 0.0f}}});

    applyMorphFull(m.model.morphs[0], m.model.positions.data(), m.model.vertexCount);
    EXPECT_EQ(m.at(1)[0], 10.0f);
    EXPECT_EQ(m.at(1)[1], 20.0f);
    EXPECT_EQ(m.at(1)[2], 30.0f);
    EXPECT_EQ(m.at(3)[0], -3.0f);
    EXPECT_EQ(m.at(0)[0], 0.0f);
    EXPECT_EQ(m.at(2)[0], 2.0f);

    resetMorphs(m.model);
    blendMorph(m.model.morphs[0], 0.25f, m.model.positions.data(), m.model.vertexCount);
    EXPECT_FLOAT_EQ(m.at(1)[0], 0.25f * 10.0f + 0.75f * 1.0f);
    EXPECT_FLOAT_EQ(m.at(1)[1], 5.0f);
    EXPECT_FLOAT_EQ(m.at(3)[0], 0.25f * -3.0f + 0.75f * 3.0f);
    EXPECT_EQ(m.at(2)[0], 2.0f);

    // Blends compose: a second blend starts from the first one's result.
    blendMorph(m.model.morphs[0], 0.5f, m.model.positions.data(), m.model.vertexCount);
    EXPECT_FLOAT_EQ(m.at(1)[1], 0.5f * 20.0f + 0.5f * 5.0f);
}

TEST(MorphApply, EntriesOutsideTheVerticesAreSkipped) {
    MorphModel m(2, 1, true);
    setMorph(m.model.morphs[0], "bad", {{-1, {9.0f, 9.0f, 9.0f}}, {2, {9.0f, 9.0f, 9.0f}}, {1, {7.0f, 7.0f, 7.0f}}});
    applyMorphFull(m.model.morphs[0], m.model.positions.data(), m.model.vertexCount);
    blendMorph(m.model.morphs[0], 0.5f, m.model.positions.data(), m.model.vertexCount);
    EXPECT_EQ(m.at(0)[0], 0.0f);
    EXPECT_EQ(m.at(1)[0], 7.0f);

    cMorph empty;
    applyMorphFull(empty, m.model.positions.data(), m.model.vertexCount);
    blendMorph(empty, 1.0f, m.model.positions.data(), m.model.vertexCount);
    EXPECT_EQ(m.at(1)[0], 7.0f);
}

TEST(MorphReset, PmdRestoresTheBaseVerticesAndPmxEveryVertex) {
    // PMD: the base morph lists the rest positions of the vertices morphs may move; other
    // vertices are left to whatever else wrote them.
    MorphModel pmd(3, 2, false);
    setMorph(pmd.model.morphs[0], "base", {{0, {0.0f, 0.0f, 0.0f}}, {2, {2.0f, 0.0f, 0.0f}}});
    setMorph(pmd.model.morphs[1], "smile", {{2, {2.0f, 5.0f, 0.0f}}});
    applyMorphFull(pmd.model.morphs[1], pmd.model.positions.data(), pmd.model.vertexCount);
    pmd.model.positions[0] = 100.0f;
    pmd.model.positions[3] = 50.0f;  // vertex 1, not in the base morph
    resetMorphs(pmd.model);
    EXPECT_EQ(pmd.at(0)[0], 0.0f);
    EXPECT_EQ(pmd.at(2)[1], 0.0f);
    EXPECT_EQ(pmd.at(1)[0], 50.0f);

    MorphModel pmx(3, 0, true);
    for (int i = 0; i < 9; ++i) pmx.model.positions[i] = -1.0f;
    resetMorphs(pmx.model);
    for (int v = 0; v < 3; ++v) EXPECT_EQ(pmx.at(v)[0], static_cast<float>(v));

    // A PMD model without morphs has nothing to undo.
    MorphModel bare(2, 0, false);
    bare.model.positions[0] = 4.0f;
    resetMorphs(bare.model);
    EXPECT_EQ(bare.at(0)[0], 4.0f);
}

TEST(DefaultFaces, LinesBecomeNamesByTheCompactionRules) {
    EXPECT_EQ(faces("blink\n\nsmile\n"), "blink|smile");
    EXPECT_EQ(faces("blink"), "");  // no final line feed: no name
    EXPECT_EQ(faces("blink\nsmile"), "blink");
    EXPECT_EQ(faces("a\tb\n"), "ab");
    EXPECT_EQ(faces("\r\n\t\n x\r\n"), " x");
    EXPECT_EQ(faces(""), "");

    // A zero byte ends the text.
    MotionData m;
    const char withZero[] = "one\ntwo\0three\n";
    setDefaultFaces(m, withZero, sizeof(withZero) - 1);
    EXPECT_EQ(defaultNames(m), "one");

    // CP932 names stay bytes; UTF-8 files are converted, a byte-order mark dropped.
    EXPECT_EQ(faces("\x82\xdc\x82\xce\x82\xbd\x82\xab\n"), "\x82\xdc\x82\xce\x82\xbd\x82\xab");  // まばたき
    EXPECT_EQ(faces("\xEF\xBB\xBF\xE3\x81\xBE\xE3\x81\xB0\xE3\x81\x9F\xE3\x81\x8D\r\n"),
              "\x82\xdc\x82\xce\x82\xbd\x82\xab");
}

TEST(DefaultFaces, EachDistinctNameGetsOneTrackWithAFullKeyAtFrameZero) {
    MotionData m;
    const char text[] = "ABCDEFGHIJKLMNOPQ\nABCDEFGHIJKLMNOXX\nsmile\n";
    setDefaultFaces(m, text, sizeof(text) - 1);
    EXPECT_EQ(m.defaultFaceCount, 3);
    // Only 15 bytes take part, so the two long names share one track.
    ASSERT_EQ(m.faceTrackCount, 2);
    int tracks = 0;
    for (const FaceTrack* t = m.faceTracks; t; t = t->next, ++tracks) {
        ASSERT_EQ(t->keyCount, 1);
        EXPECT_EQ(t->keys[0].frame, 0.0f);
        EXPECT_EQ(t->keys[0].weight, 1.0f);
        EXPECT_LE(std::strlen(t->name), 15u);
    }
    EXPECT_EQ(tracks, 2);
    EXPECT_STREQ(m.faceTracks->name, "smile");  // newest first
    EXPECT_STREQ(m.faceTracks->next->name, "ABCDEFGHIJKLMNO");
}

TEST(DefaultFaces, ReadFromAFileInTheGivenPlace) {
    const std::string path = testing::TempDir() + "pavonix_default_face.txt";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("blink\r\nsmile\r\n", f);
    std::fclose(f);

    MotionData m;
    EXPECT_TRUE(loadDefaultFaces(m, path.c_str()));
    EXPECT_EQ(defaultNames(m), "blink|smile");
    EXPECT_EQ(m.faceTrackCount, 2);

    std::remove(path.c_str());
    MotionData none;
    EXPECT_FALSE(loadDefaultFaces(none, path.c_str()));
    EXPECT_EQ(none.defaultFaceCount, 0);
    EXPECT_EQ(none.faceTracks, nullptr);
}
