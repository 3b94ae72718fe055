#include "config/file_name_template.h"

#include <gtest/gtest.h>

namespace velk {
namespace {

struct TemplateCase {
    const char* templ;
    const char* name;
    const char* expected;
};

// 2024-03-05 09:07:02, a Tuesday.
const TDateTime when = encodedatetime(2024, 3, 5, 9, 7, 2);

TEST(MakeFileName, ExpandsTokensInOrderAndReplacesTheEightCharacters)
{
    const TemplateCase cases[] = {
        {"%yy%-%mn%-%dd%-%hh%-%nn%-%ss%-%name%", "Studio A", "2024-03-05-09-07-02-Studio A"},
        {"%yy%\\%mm%\\%name%-%hh%%nn%", "Studio A", "2024\\mar\\Studio A-0907"},
        {"%name%", "a:b", "a_b"},
        {"%name%", "/:*?\"<>|", "________"},
        {"%yy%:%mn%", "x", "2024_03"},                    // from a stored template
        {"%name%-%dd%", "%yy%", "%yy%-05"},               // a token inside the name stays literal
        {"%YY%-%date%-%name%", "x", "%YY%-%date%-x"},     // unknown and upper-case tokens stay
        {"%ys%%dw%", "x", "24Tue"},
        {"100%-%name%", "x", "100%-x"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(makefilename(c.name, c.templ, when), c.expected) << c.templ << " / " << c.name;
}

TEST(MakeFileName, ShortYearAndWeekdays)
{
    EXPECT_EQ(makefilename("x", "%ys%", encodedatetime(2009, 1, 1)), "09");
    const char* days[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    for (int i = 0; i < 7; ++i)  // 2024-03-04 was a Monday
        EXPECT_EQ(makefilename("x", "%dw%", encodedatetime(2024, 3, 4 + i)), days[i]);
    EXPECT_EQ(makefilename("Channel1", descriptortemplate, encodedatetime(2024, 12, 31, 23, 59, 58)),
              "2024\\12\\31\\23-59-58-Channel1");
}

TEST(MakeFileName, FolderLevelsCannotClimbOutOfTheOutputFolder)
{
    EXPECT_EQ(makefilename("..\\..\\x", "%name%", when), "_\\_\\x");
    EXPECT_EQ(makefilename(".", "%name%\\%yy%", when), "_\\2024");
    EXPECT_EQ(makefilename("x", "..\\%name%", when), "_\\x");
    EXPECT_EQ(makefilename("...", "%name%", when), "...");  // not a folder reference
    EXPECT_EQ(templatepath("/rec", makefilename("..\\..\\etc", "%name%", when)), "/rec/_/_/etc");
}

TEST(MakeFileName, PathsAreBuiltWithSlashes)
{
    EXPECT_EQ(templatepath("/data/Data", "2024\\03\\05\\09-07-02-Studio A"), "/data/Data/2024/03/05/09-07-02-Studio A");
    EXPECT_EQ(templatepath("/rec/", "x"), "/rec/x");
}

}  // namespace
}  // namespace velk
