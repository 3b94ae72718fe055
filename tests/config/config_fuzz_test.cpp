// The configuration reader against random and mutated files: it either rejects a file with
// EVelkError or yields a record whose every value is in range and that saves and reads back
// unchanged. Fixed seed and case count, so a failure repeats.
#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <filesystem>
#include <pugixml.hpp>
#include <random>
#include <sstream>
#include <string>

#include "config/config_file.h"
#include "config/edition.h"
#include "core/errors.h"
#include "core/text_encoding.h"
#include "tests/support/temp_folder.h"

namespace velk {
namespace {

const std::array<std::string, 30> tokens = {
    "<", ">", "/>", "\"", "&", "&#0;", "&#xD800;", "&amp;", "&#9;", "-", "-2147483648", "2147483647",
    "99999999999", "true", "FALSE", "<Channel Name=\"x\"/>", "<Ch Value=\"3\"/>", "</Channels>", "<!--", "-->",
    "<![CDATA[", "\xff", "\xc3", "\xe9", "<!DOCTYPE a [<!ENTITY e \"x\">]>",
    "<?xml version=\"1.0\" encoding=\"UTF-16\"?>", "\xef\xbb\xbf", "\xff\xfe", std::string(1, '\0'), "=\"\" "};

std::size_t below(std::mt19937& rng, std::size_t n)
{
    return n == 0 ? 0 : rng() % n;
}

std::string randombytes(std::mt19937& rng, std::size_t size)
{
    std::string s(size, '\0');
    for (char& ch : s)
        ch = static_cast<char>(rng());
    return s;
}

std::string mutate(std::mt19937& rng, std::string s)
{
    const std::size_t count = 1 + below(rng, 4);
    for (std::size_t m = 0; m < count; ++m) {
        const std::size_t at = below(rng, s.size() + 1);
        switch (rng() % 6) {
        case 0:  // change one byte
            if (!s.empty())
                s[below(rng, s.size())] = static_cast<char>(rng());
            break;
        case 1:  // delete a run
            s.erase(std::min(at, s.size()), 1 + below(rng, 64));
            break;
        case 2: {  // repeat a run
            const std::string run = s.substr(std::min(at, s.size()), 1 + below(rng, 200));
            s.insert(below(rng, s.size() + 1), run);
            break;
        }
        case 3:  // insert a token that means something to the parser or the reader
            s.insert(at, tokens[below(rng, tokens.size())]);
            break;
        case 4:  // cut the file short
            s.resize(at);
            break;
        default: {  // replace a number with an extreme one
            const std::size_t digit = s.find_first_of("0123456789", at);
            if (digit != std::string::npos) {
                const std::size_t end = s.find_first_not_of("-0123456789", digit);
                s.replace(digit, (end == std::string::npos ? s.size() : end) - digit,
                          tokens[10 + below(rng, 3)]);
            }
            break;
        }
        }
    }
    return s;
}

// Keeps the document well-formed and replaces numbers by values at and beyond the edges of every
// range, so most of these files are read and reach the range checks.
std::string mutatevalues(std::mt19937& rng, std::string s)
{
    static const std::array<const char*, 12> values = {"-1", "0", "1", "7", "13", "61", "101", "65537",
                                                       "100000", "-2147483648", "2147483647", "+5"};
    const std::size_t count = 1 + below(rng, 12);
    for (std::size_t m = 0; m < count; ++m) {
        const std::size_t digit = s.find_first_of("0123456789", below(rng, s.size()));
        if (digit == std::string::npos)
            continue;
        std::size_t begin = digit;
        while (begin > 0 && (s[begin - 1] == '-' || std::isdigit(static_cast<unsigned char>(s[begin - 1]))))
            --begin;
        const std::size_t end = s.find_first_not_of("0123456789", digit);
        if (begin == 0 || s[begin - 1] != '"' || end == std::string::npos || s[end] != '"')
            continue;  // only whole attribute values
        s.replace(begin, end - begin, values[below(rng, values.size())]);
    }
    return s;
}

void expectinrange(const TConfig& c)
{
    EXPECT_TRUE(c.samplerate >= 0 && c.samplerate <= 6);
    EXPECT_TRUE(c.interval >= 0 && c.interval <= 7);
    EXPECT_TRUE(c.codec >= 0 && c.codec <= 1);
    EXPECT_TRUE(c.columns >= 1 && c.columns <= 4);
    EXPECT_TRUE(c.num >= 0 && c.num <= 256);
    EXPECT_TRUE(c.overlap >= 0 && c.overlap <= 60);
    EXPECT_TRUE(c.mp3mode >= 0 && c.mp3mode <= 2);
    EXPECT_TRUE(c.vbrquality >= 0 && c.vbrquality <= 9);
    const int last = samplerates[static_cast<std::size_t>(c.samplerate)] <= 11025 ? 11 : 13;
    for (const std::int32_t index : {c.bitrate, c.vbrmax, c.avgbitrate})
        EXPECT_TRUE(index >= 0 && index <= last);
    EXPECT_GE(c.cleanuptime, 0);
    EXPECT_GE(c.pcard, 0);
    EXPECT_TRUE(c.pvolume >= -10000 && c.pvolume <= 0);
    for (const std::int32_t line : c.cards)
        EXPECT_GE(line, 0);
    for (const TChannelConfig& ch : c.channels) {
        EXPECT_GE(ch.card, 0);
        EXPECT_GE(ch.chnum, 0);
        EXPECT_TRUE(ch.volume >= 0 && ch.volume <= 65536);
        EXPECT_TRUE(ch.mode >= 0 && ch.mode <= 1);
        EXPECT_TRUE(ch.voxlevel >= 1 && ch.voxlevel <= 100);
        EXPECT_TRUE(ch.voxtime >= 1 && ch.voxtime <= 100);
        EXPECT_TRUE(ch.deltime >= 0 && ch.deltime <= 100);
        EXPECT_TRUE(isvalidutf8(ch.name) && isvalidutf8(ch.folder));
    }
    EXPECT_TRUE(isvalidutf8(c.passw) && isvalidutf8(c.outfolder) && isvalidutf8(c.namingrule));
    EXPECT_TRUE(c.format.isusable());
    EXPECT_GE(displaysettings().panelwidth, 100);
}

// The saved file cut down to three channels and three cards, so most cases parse quickly.
std::string compact(const std::string& saved)
{
    pugi::xml_document doc;
    doc.load_string(saved.c_str());
    for (const char* list : {"Channels", "Cards"}) {
        pugi::xml_node parent = doc.child("VELK").child(list);
        while (parent.last_child() != parent.first_child().next_sibling().next_sibling())
            parent.remove_child(parent.last_child());
    }
    std::ostringstream out;
    doc.save(out, "  ");
    return out.str();
}

TEST(ConfigFuzz, ReaderRejectsOrYieldsAnInRangeRecordThatSavesAndReadsBack)
{
    test::TempDataRoot root;
    setedition(Edition::Asio);
    const std::string folder = root.common();
    std::filesystem::create_directories(folder);

    TConfig base;
    base.common_path = folder;
    setdefaults(base);
    // Folder texts independent of the temporary folder's name, so every run mutates the same file.
    base.outfolder = "/srv/recordings";
    for (TChannelConfig& ch : base.channels)
        ch.folder = base.outfolder;
    base.passw = "s&cr<t> é";
    base.num = 3;
    base.channels[1].stereo = true;
    base.normalize = true;
    saveconfig(base);
    const std::string full = test::readtextfile(folder + configfilename());
    const std::string formatdat = test::readtextfile(folder + formatfilename);
    const std::string small = compact(full);

    std::mt19937 rng(20261209);
    int accepted = 0;
    int roundtrips = 0;
    for (int i = 0; i < 3000; ++i) {
        std::string xml;
        const unsigned kind = i % 10;
        if (kind < 5)
            xml = mutate(rng, small);
        else if (kind < 8)
            xml = mutatevalues(rng, small);
        else if (kind == 8)
            xml = mutate(rng, full);
        else
            xml = randombytes(rng, below(rng, 4000));
        // New files, not truncated old ones: replacing a file by truncation makes the file system
        // write it out at once, which would make this loop wait on the disk.
        std::filesystem::remove(folder + configfilename());
        std::filesystem::remove(folder + formatfilename);
        test::writetextfile(folder + configfilename(), xml);
        test::writetextfile(folder + formatfilename,
                            i % 4 == 0 ? mutate(rng, formatdat) : i % 4 == 1 ? randombytes(rng, below(rng, 600))
                                                                             : formatdat);

        TConfig c = base;
        displaysettings() = TDisplaySettings{};
        try {
            readconfig(folder, c);
        } catch (const EVelkError&) {
            continue;
        }
        ++accepted;
        SCOPED_TRACE("case " + std::to_string(i));
        expectinrange(c);
        // Whatever was accepted is stored faithfully; saves are durable, so only a sample.
        if (roundtrips < 6) {
            ++roundtrips;
            const int width = displaysettings().panelwidth;
            saveconfig(c);
            TConfig again = base;
            readconfig(folder, again);
            EXPECT_EQ(again, c);
            EXPECT_EQ(displaysettings().panelwidth, width);
        }
        if (HasFailure())
            break;
    }
    // The mutations must leave enough files readable to exercise the range checks.
    EXPECT_GT(accepted, 300);
    displaysettings() = TDisplaySettings{};
}

}  // namespace
}  // namespace velk
