#include "core/text_encoding.h"

#include <gtest/gtest.h>

namespace velk {
namespace {

TEST(TextEncoding, Utf8AndUtf16RoundTrip)
{
    const std::string text = "Kan\xC3\xA4l \xE2\x82\xAC \xF0\x9F\x8E\xA4";
    const std::u16string wide = utf8toutf16(text);
    EXPECT_EQ(wide.size(), 10u);  // the microphone takes a surrogate pair
    EXPECT_EQ(utf16toutf8(wide), text);
}

TEST(TextEncoding, InvalidInputBecomesReplacementCharacters)
{
    EXPECT_EQ(utf8toutf16("a\xFF" "b"), (std::u16string{u'a', 0xFFFD, u'b'}));
    EXPECT_EQ(utf8toutf16("\xC0\x80"), (std::u16string{0xFFFD, 0xFFFD}));  // overlong
    EXPECT_EQ(utf8toutf16("\xE2\x82"), (std::u16string{0xFFFD, 0xFFFD}));  // cut short
    EXPECT_EQ(utf16toutf8(std::u16string{0xD800}), "\xEF\xBF\xBD");
}

TEST(TextEncoding, EightBitTextIsTakenAsLatin1)
{
    EXPECT_EQ(eightbittoutf8("C:\\Aufnahmen\\K\xE4nal.velk"), "C:\\Aufnahmen\\K\xC3\xA4nal.velk");
    EXPECT_EQ(eightbittoutf8("already \xC3\xA4"), "already \xC3\xA4");
}

}  // namespace
}  // namespace velk
