// Reading UTF-8 where it may be cut or malformed: input typed by clients, labels from apps,
// clipboard text clipped to a size.
#include "base/Utf8.h"

#include <gtest/gtest.h>

namespace tovo {
namespace {

TEST(Utf8, ScalarsReadMalformedSequencesAsReplacementAndNeverPastTheEnd) {
    EXPECT_EQ(utf8Scalars("a\xC3\xA9\xE6\x9D\xB1\xF0\x9F\x98\x80"), U"a\u00E9\u6771\U0001F600");
    // A stray continuation byte, a lead byte with no room for its sequence, an overlong
    // encoding of '/', and a surrogate: each bad byte is one U+FFFD.
    EXPECT_EQ(utf8Scalars("\x80x\xF0\x9F"), U"\uFFFDx\uFFFD\uFFFD");
    EXPECT_EQ(utf8Scalars("\xC0\xAF"), U"\uFFFD\uFFFD");
    EXPECT_EQ(utf8Scalars("\xED\xA0\x80z"), U"\uFFFD\uFFFD\uFFFDz");
}

TEST(Utf8, PrefixesAndTruncationEndOnCharacterBoundaries) {
    const std::string text = "\xC3\xA9t\xC3\xA9 \xE6\x9D\xB1";  // "été 東"
    EXPECT_EQ(utf8Prefix(text, 0), "");
    EXPECT_EQ(utf8Prefix(text, 2), "\xC3\xA9t");
    EXPECT_EQ(utf8Prefix(text, 99), text);
    EXPECT_EQ(utf8Truncated(text, 1), "");
    EXPECT_EQ(utf8Truncated(text, 4), "\xC3\xA9t");
    EXPECT_EQ(utf8Truncated(text, 8), "\xC3\xA9t\xC3\xA9 ");
    EXPECT_EQ(utf8Truncated(text, text.size()), text);
}

}  // namespace
}  // namespace tovo
