// CP932 conversions: the names the program compares as bytes must survive every
// direction, CP932-only characters must map, and bad input must degrade, not break.

#include "platform/Text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Name {
    const char* utf8;
    const char* cp932;
    const char* utf16le;
    std::size_t utf16Bytes;
};

// Bone and morph names the program looks up, plus a character only CP932 has.
const Name kNames[] = {
    {"頭", "\x93\xAA", "\x2D\x98", 2},
    {"センター", "\x83\x5A\x83\x93\x83\x5E\x81\x5B", "\xBB\x30\xF3\x30\xBF\x30\xFC\x30", 8},
    {"左ひざ", "\x8D\xB6\x82\xD0\x82\xB4", "\xE6\x5D\x72\x30\x56\x30", 6},
    {"右ひざ", "\x89\x45\x82\xD0\x82\xB4", "\xF3\x53\x72\x30\x56\x30", 6},
    {"～", "\x81\x60", "\x5E\xFF", 2},  // FULLWIDTH TILDE: missing from plain Shift_JIS
};

TEST(Cp932Text, KnownNamesConvertInEveryDirection) {
    for (const Name& n : kNames) {
        SCOPED_TRACE(n.utf8);
        EXPECT_EQ(utf8ToCp932(n.utf8), n.cp932);
        EXPECT_EQ(cp932ToUtf8(std::string(n.cp932)), n.utf8);
        EXPECT_EQ(cp932ToUtf8(n.cp932), n.utf8);
        EXPECT_EQ(utf16leToCp932(n.utf16le, n.utf16Bytes), n.cp932);
        EXPECT_EQ(cp932ToUtf16le(n.cp932), std::string(n.utf16le, n.utf16Bytes));
    }
    // Mixed with ASCII, and backslash stays a backslash in CP932.
    EXPECT_EQ(utf8ToCp932("tex\\頭.png"), "tex\\\x93\xAA.png");
    EXPECT_EQ(cp932ToUtf8(std::string("tex\\\x93\xAA.png")), "tex\\頭.png");
}

TEST(Cp932Text, CharactersCp932CannotHoldBecomeQuestionMarks) {
    EXPECT_EQ(utf8ToCp932("a\xF0\x9F\x98\x80" "b"), "a?b");   // emoji, 4-byte UTF-8
    EXPECT_EQ(utf8ToCp932("\xC3\xA9t\xC3\xA9"), "?t?");         // é is not in CP932
    // Invalid UTF-8: a stray continuation byte, a truncated sequence, an overlong '/'.
    EXPECT_EQ(utf8ToCp932("a\x80" "b"), "a?b");
    EXPECT_EQ(utf8ToCp932("a\xE9\xA0"), "a??");
    EXPECT_EQ(utf8ToCp932("\xC0\xAF"), "??");
    // UTF-16: a surrogate pair is one character, a lone surrogate is one '?', an odd
    // trailing byte is dropped.
    EXPECT_EQ(utf16leToCp932("a\0\x3D\xD8\x00\xDE" "b\0", 8), "a?b");
    EXPECT_EQ(utf16leToCp932("\x00\xDC" "c\0", 4), "?c");
    EXPECT_EQ(utf16leToCp932("\x2D\x98\x41", 3), "\x93\xAA");
    EXPECT_EQ(utf16leToCp932("", 0), "");
}

TEST(Cp932Text, UndecodableCp932BecomesReplacementCharacter) {
    const std::string fffd = "\xEF\xBF\xBD";
    EXPECT_EQ(cp932ToUtf8(std::string("a\x81")), "a" + fffd);               // lead byte at the end
    EXPECT_EQ(cp932ToUtf8(std::string("\x81\x20" "b")), fffd + " b");        // bad trail byte
    EXPECT_EQ(cp932ToUtf8(std::string("\x93\xAA\xFF\x93\xAA")), "頭" + fffd + "頭");
    EXPECT_EQ(cp932ToUtf16le(std::string("\x81")), std::string("\xFD\xFF"));
    EXPECT_EQ(cp932ToUtf8(static_cast<const char*>(nullptr)), "");
    // Long input crosses the internal buffer boundary without losing anything.
    std::string many, expected;
    for (int i = 0; i < 500; ++i) {
        many += "\x83\x5A\x83\x93\x83\x5E\x81\x5B";
        expected += "センター";
    }
    EXPECT_EQ(cp932ToUtf8(many), expected);
    EXPECT_EQ(utf8ToCp932(expected), many);
}

TEST(Cp932Text, MultibyteUtf8Detection) {
    EXPECT_TRUE(isMultibyteUtf8("頭", 3));
    EXPECT_TRUE(isMultibyteUtf8("abc センター", std::string("abc センター").size()));
    EXPECT_FALSE(isMultibyteUtf8("plain ascii", 11));  // valid but nothing to convert
    EXPECT_FALSE(isMultibyteUtf8("", 0));
    EXPECT_FALSE(isMultibyteUtf8(nullptr, 0));
    // CP932 bytes are what a default_face.txt normally holds; they are not UTF-8.
    EXPECT_FALSE(isMultibyteUtf8("\x8D\xB6\x82\xD0\x82\xB4", 6));
    EXPECT_FALSE(isMultibyteUtf8("\x93\xAA", 2));
    EXPECT_FALSE(isMultibyteUtf8("\xE9\xA0", 2));            // truncated
    EXPECT_FALSE(isMultibyteUtf8("\xC0\xAF", 2));            // overlong
    EXPECT_FALSE(isMultibyteUtf8("\xED\xA0\x80", 3));        // surrogate
    // The length bounds the check: the first byte of 頭 alone is truncated.
    EXPECT_FALSE(isMultibyteUtf8("頭", 1));
}

}  // namespace
