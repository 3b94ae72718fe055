#include "platform/paths.h"

#include <gtest/gtest.h>

#include <limits>

#include "platform/xml_attributes.h"

namespace velk {
namespace {

TEST(Paths, PartsOfARecordersPath)
{
    struct Case {
        const char* path;
        const char* folder;
        const char* bare;
        const char* stem;
        const char* mp3;
    } const cases[] = {
        {"/rec/2024-03-05-Chan.wav", "/rec", "2024-03-05-Chan.wav", "2024-03-05-Chan", "/rec/2024-03-05-Chan.mp3"},
        {"/a.b/take.one.wav", "/a.b", "take.one.wav", "take.one", "/a.b/take.one.mp3"},
        {"/a.b/noext", "/a.b", "noext", "noext", "/a.b/noext.mp3"},
        {"/rec/.wav", "/rec", ".wav", ".wav", "/rec/.wav.mp3"},
        {"/top.wav", "/", "top.wav", "top", "/top.mp3"},
        {"name.wav", "", "name.wav", "name", "name.mp3"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(folderof(c.path), c.folder) << c.path;
        EXPECT_EQ(barename(c.path), c.bare) << c.path;
        EXPECT_EQ(stemof(c.path), c.stem) << c.path;
        EXPECT_EQ(withextension(c.path, ".mp3"), c.mp3) << c.path;
    }
    EXPECT_EQ(joinpath("/data", "config.xml"), "/data/config.xml");
    EXPECT_EQ(joinpath("/data/", "config.xml"), "/data/config.xml");
    EXPECT_EQ(joinpath("", "config.xml"), "config.xml");
}

TEST(XmlAttributes, IntegersAndBooleansAsAHandEditLeavesThem)
{
    struct Case {
        const char* text;
        IntegerText result;
        long long value;
    } const cases[] = {
        {"42", IntegerText::ok, 42},          {" +7\t", IntegerText::ok, 7},
        {"-3", IntegerText::ok, -3},          {"", IntegerText::malformed, 0},
        {"4x", IntegerText::malformed, 0},    {"0x10", IntegerText::malformed, 0},
        {"99999999999999999999", IntegerText::outofrange, std::numeric_limits<long long>::max()},
        {"-99999999999999999999", IntegerText::outofrange, std::numeric_limits<long long>::min()},
    };
    for (const Case& c : cases) {
        long long value = 0;
        EXPECT_EQ(readinteger(c.text, value), c.result) << c.text;
        if (c.result != IntegerText::malformed) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
    EXPECT_EQ(readboolean(" TRUE "), true);
    EXPECT_EQ(readboolean("0"), false);
    EXPECT_EQ(readboolean("yes"), std::nullopt);
}

}  // namespace
}  // namespace velk
