// The configuration files: defaults, the XML layout, reading rules, corrupted files, range checks
// and safe saving.
#include "config/config_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <iterator>
#include <pugixml.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "config/edition.h"
#include "core/errors.h"
#include "core/main_thread_queue.h"
#include "core/text_encoding.h"
#include "core/user_notifier.h"
#include "tests/support/capturing_notifier.h"
#include "tests/support/message_recorder.h"
#include "tests/support/temp_folder.h"

namespace velk {
namespace {

const char* const corruptedtitle = "Initialization Error";
const char* const corruptedtext = "Configuration file corrupted. VELK will load default settings.";

mode_t filemode(const std::string& path)
{
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

bool isfolder(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A record with a value other than the default in every field, each within its range.
TConfig everyfieldchanged(const std::string& common)
{
    TConfig c;
    c.common_path = common;
    c.log_path = common + "Logs";
    c.velk_path = common + "Data";
    setdefaults(c);
    c.outfolder = "/srv/recordings/ünïcødé 録音";
    c.passw = "p&ss<w>\"ord' é\t";
    for (std::size_t i = 0; i < c.channels.size(); ++i) {
        TChannelConfig& ch = c.channels[i];
        const int k = static_cast<int>(i);
        ch.card = k % 7 + 1;
        ch.chnum = k % 5 + 1;
        ch.name = "Mic " + std::to_string(k) + " «Studio»";
        ch.volume = 65536 - k;
        ch.folder = "/srv/rec/" + std::to_string(k);
        ch.mode = 0;
        ch.voxlevel = k % 100 + 1;
        ch.voxtime = (k + 3) % 100 + 1;
        ch.deltime = k % 101;
        ch.stereo = k % 2 == 1;
    }
    for (std::size_t i = 0; i < c.cards.size(); ++i)
        c.cards[i] = static_cast<std::int32_t>(i % 9 + 1);
    c.cardnames[0] = "JACK";
    c.cardnames[2] = "Carte \xc3\xa9tendue";
    c.samplerate = 6;
    c.format = pcmwaveformat(48000, 2, 16);
    c.format.ext[500] = 0x5A;  // the extra bytes are stored as they are
    c.status = false;
    c.num = 17;
    c.columns = 3;
    c.settpass = true;
    c.logspass = true;
    c.exitpass = true;
    c.agc = true;
    c.interval = 7;
    c.timealign = true;
    c.cleanuptime = 1095;
    c.lowspaceminutes = 45;
    c.autorecording = true;
    c.toolbar = false;
    c.stayontop = true;
    c.namingrule = "%name%\\%yy%\\%hh%-%nn%";
    c.pcard = 2;
    c.pvolume = -10000;
    c.codec = 1;
    c.mp3mode = 2;
    c.vbrmax = 13;
    c.bitrate = 1;
    c.avgbitrate = 12;
    c.vbrquality = 9;
    c.mp3crc = false;
    c.overlap = 60;
    c.normalize = true;
    return c;
}

class ConfigFileTest : public ::testing::Test {
protected:
    ConfigFileTest()
    {
        setusernotifier(&notifier);
        displaysettings() = TDisplaySettings{};
        setedition(Edition::Asio);
    }
    ~ConfigFileTest() override
    {
        setusernotifier(nullptr);
        displaysettings() = TDisplaySettings{};
        setedition(Edition::Asio);
    }

    std::string common() const { return root.common(); }
    std::string xmlpath() const { return common() + configfilename(); }
    std::string formatpath() const { return common() + "format.dat"; }

    // The loaded record, with the log lines it posted.
    TConfig load()
    {
        TConfig c;
        loadconfig(c);
        queue.queue().drain(&log);
        return c;
    }
    TConfig defaults() const
    {
        TConfig c;
        c.common_path = common();
        c.log_path = common() + "Logs";
        c.velk_path = common() + "Data";
        setdefaults(c);
        return c;
    }

    // Saves `c` (the defaults unless given), lets `edit` change the saved XML tree, and writes it back.
    void writeedited(const std::function<void(pugi::xml_node root)>& edit, TConfig c = {})
    {
        if (c.common_path.empty())
            c = defaults();
        std::filesystem::create_directories(common());
        saveconfig(c);
        pugi::xml_document doc;
        ASSERT_TRUE(doc.load_file(xmlpath().c_str()));
        edit(doc.child("VELK"));
        ASSERT_TRUE(doc.save_file(xmlpath().c_str()));
    }

    // A file that could not be read at all: full defaults, the user told, the reason logged, and
    // the file moved to `kept` (its content there unchanged when `content` is given).
    void expectcorrupted(const TConfig& loaded, const std::string& kept, const std::string* content = nullptr)
    {
        EXPECT_EQ(loaded, defaults());
        EXPECT_EQ(notifier.errors, std::vector<std::string>{std::string(corruptedtitle) + "|" + corruptedtext});
        ASSERT_EQ(log.texts.size(), 2u) << ::testing::PrintToString(log.texts);
        EXPECT_EQ(log.texts[0], "Loading settings...");
        const std::string& line = log.texts[1];
        EXPECT_EQ(line.rfind("Configuration file \"" + configfilename() + "\" could not be read (", 0), 0u) << line;
        EXPECT_NE(line.find("); it is kept as \"" + kept + "\" and the default settings are used."), std::string::npos)
            << line;
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(xmlpath())));
        if (content) {
            EXPECT_EQ(test::readtextfile(kept), *content);
        }
    }
    // The status-log lines that contain `text`.
    std::vector<std::string> logged(const std::string& text) const
    {
        std::vector<std::string> out;
        for (const std::string& line : log.texts)
            if (line.find(text) != std::string::npos)
                out.push_back(line);
        return out;
    }

    test::TempDataRoot root;
    ScopedMainQueue queue;
    test::CapturingNotifier notifier;
    test::MessageRecorder log;
};

TEST_F(ConfigFileTest, FirstStartCreatesTheFoldersAndUsesTheDefaults)
{
    const TConfig c = load();
    EXPECT_TRUE(isfolder(common() + "Logs"));
    EXPECT_TRUE(isfolder(common() + "Data"));
    EXPECT_TRUE(isfolder(common() + "Recordings"));
    EXPECT_EQ(c.common_path, common());
    EXPECT_EQ(c.log_path, common() + "Logs");
    EXPECT_EQ(c.velk_path, common() + "Data");
    EXPECT_EQ(c.outfolder, common() + "Recordings");

    EXPECT_EQ(c.num, 1);
    EXPECT_EQ(c.channels[0].name, "Channel0");
    EXPECT_EQ(c.channels[0].mode, 1);
    EXPECT_EQ(c.channels[0].card, 0);
    EXPECT_EQ(c.channels[0].chnum, 0);
    EXPECT_EQ(c.channels[0].folder, c.outfolder);
    EXPECT_EQ(c.channels[255].name, "Channel255");
    EXPECT_EQ(c.channels[255].volume, 32768);
    EXPECT_EQ(c.samplerate, 5);
    EXPECT_EQ(c.interval, 4);
    EXPECT_EQ(c.cleanuptime, 100);
    EXPECT_EQ(c.pvolume, -3000);
    EXPECT_EQ(c.namingrule, "%yy%-%mn%-%dd%-%hh%-%nn%-%ss%-%name%");
    EXPECT_EQ(c.format.fx, pcmformat(44100, 1, 16));
    EXPECT_EQ(c.format.fx.nAvgBytesPerSec, 88200u);
    EXPECT_EQ(displaysettings().panelwidth, 230);
    EXPECT_TRUE(notifier.errors.empty());
    EXPECT_TRUE(log.texts.empty());

    // The first save creates both files, readable by their owner only (they hold the password).
    saveconfig(c);
    EXPECT_EQ(std::filesystem::file_size(formatpath()), 531u);
    EXPECT_EQ(filemode(xmlpath()), 0600u);
    EXPECT_EQ(filemode(formatpath()), 0600u);
}

struct FormatFileCase {
    const char* label;
    std::function<void(const std::string& path)> damage;
    const char* logged;  // what the status log says about the file
};

void PrintTo(const FormatFileCase& c, std::ostream* os)
{
    *os << c.label;
}

class ConfigFormatFileTest : public ConfigFileTest, public ::testing::WithParamInterface<FormatFileCase> {};

// A missing or damaged "format.dat" costs the recording format only, never the channels or the
// password beside it in the XML file.
TEST_P(ConfigFormatFileTest, CostsOnlyTheRecordingFormat)
{
    const TConfig saved = everyfieldchanged(common());
    std::filesystem::create_directories(common());
    saveconfig(saved);
    const std::string xml = test::readtextfile(xmlpath());
    std::filesystem::remove(formatpath());
    GetParam().damage(formatpath());

    TConfig expected = saved;
    expected.format = pcmwaveformat(48000, 1, 16);  // the configured rate, so nothing is converted
    EXPECT_EQ(load(), expected);
    EXPECT_TRUE(notifier.errors.empty());
    EXPECT_EQ(logged("format.dat"),
              std::vector<std::string>{std::string("\"format.dat\" ") + GetParam().logged +
                                       "; the default recording format (16-bit mono PCM at 48000 Hz) is used."});
    // The XML file itself was fine: nothing is kept aside and it is not touched.
    EXPECT_FALSE(std::filesystem::exists(xmlpath() + ".bad"));
    EXPECT_EQ(test::readtextfile(xmlpath()), xml);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigFormatFileTest,
    ::testing::Values(
        FormatFileCase{"missing", [](const std::string&) {}, "is missing"},
        FormatFileCase{"folder", [](const std::string& p) { std::filesystem::create_directory(p); },
                       "could not be read (Is a directory)"},
        FormatFileCase{"fifo", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); },
                       "could not be read (not a regular file)"},
        FormatFileCase{"danglingLink", [](const std::string& p) { std::filesystem::create_symlink(p + ".gone", p); },
                       "could not be read (No such file or directory)"},
        FormatFileCase{"unusable",
                       [](const std::string& p) {
                           fWaveFormat bad = pcmwaveformat(44100, 1, 16);
                           bad.fx.cbSize = 600;  // more extra bytes than the record holds
                           const auto bytes = bad.serialize();
                           test::writetextfile(p, std::string(bytes.begin(), bytes.end()));
                       },
                       "holds no usable recording format"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(ConfigFileTest, SaveAndLoadReproduceEveryField)
{
    std::filesystem::create_directories(common());
    const TConfig saved = everyfieldchanged(common());
    displaysettings().panelwidth = 317;
    displaysettings().loglistheight = 250;
    saveconfig(saved);

    displaysettings() = TDisplaySettings{};
    const TConfig loaded = load();
    EXPECT_EQ(loaded, saved);
    EXPECT_EQ(displaysettings().panelwidth, 317);
    EXPECT_EQ(displaysettings().loglistheight, TDisplaySettings{}.loglistheight);  // never read back
    EXPECT_EQ(log.texts, std::vector<std::string>{"Loading settings..."});
    EXPECT_TRUE(notifier.errors.empty());
}

TEST_F(ConfigFileTest, TheWdmEditionUsesItsOwnXmlFileAndTheSharedFormatFile)
{
    std::filesystem::create_directories(common());
    setedition(Edition::Wdm);
    TConfig c = defaults();
    c.num = 4;
    saveconfig(c);
    EXPECT_TRUE(std::filesystem::exists(common() + "configds.xml"));
    EXPECT_FALSE(std::filesystem::exists(common() + "config.xml"));
    EXPECT_TRUE(std::filesystem::exists(formatpath()));
    EXPECT_EQ(load().num, 4);

    setedition(Edition::Asio);
    EXPECT_EQ(load().num, 1);  // the ASIO edition has no file of its own yet
    EXPECT_EQ(schedulefilename(Edition::Wdm), "schedulerds.xml");
    EXPECT_EQ(schedulefilename(Edition::Asio), "scheduler.xml");
    EXPECT_EQ(captionsuffix(Edition::Wdm), " (WDM)");
    EXPECT_EQ(captionsuffix(Edition::Asio), " (ASIO)");
}

TEST_F(ConfigFileTest, SavedXmlHasTheFixedLayout)
{
    std::filesystem::create_directories(common());
    TConfig c = defaults();
    c.normalize = true;
    c.channels[1].stereo = true;
    saveconfig(c);
    const std::string text = test::readtextfile(xmlpath());
    EXPECT_EQ(text.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<VELK Version=\"4\">\n  <Password", 0), 0u)
        << text.substr(0, 200);

    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(text.c_str()));
    const pugi::xml_node r = doc.child("VELK");
    std::vector<std::string> order;
    for (pugi::xml_node n : r.children())
        order.emplace_back(n.name());
    EXPECT_EQ(order, (std::vector<std::string>{"Password", "Output", "Autonames", "AGC", "Window", "MP3", "Recording",
                                               "Playback", "Cleanup", "Normalize", "Display", "Channels", "Cards"}));
    const auto attributes = [](pugi::xml_node n) {
        std::string s;
        for (pugi::xml_attribute a : n.attributes())
            s += std::string(a.name()) + "=" + a.value() + " ";
        return s;
    };
    EXPECT_EQ(attributes(r.child("Password")), "Key= Settings=0 Exit=0 Browser=0 ");
    EXPECT_EQ(attributes(r.child("Window")), "Status=1 Toolbar=1 Stayontop=0 Columns=1 ");
    EXPECT_EQ(attributes(r.child("MP3")), "Bitrate=5 AvgBitrate=5 Mode=0 VBRMax=0 VBRQuality=5 CRC=1 ");
    EXPECT_EQ(attributes(r.child("Recording")),
              "SamplingRate=5 Codec=0 Autostart=0 SplitInterval=4 TimeAlign=0 Overlap=0 ");
    EXPECT_EQ(attributes(r.child("Playback")), "Card=0 Volume=-3000 ");
    EXPECT_EQ(attributes(r.child("Normalize")), "Enabled=true ");
    EXPECT_EQ(attributes(r.child("Display")), "Width=230 Height=100 ");

    const auto channels = r.child("Channels").children("Channel");
    const auto cards = r.child("Cards").children("Card");
    EXPECT_EQ(std::distance(channels.begin(), channels.end()), 256);
    EXPECT_EQ(std::distance(cards.begin(), cards.end()), 256);
    const pugi::xml_node second = r.child("Channels").child("Channel").next_sibling("Channel");
    std::vector<std::string> children;
    for (pugi::xml_node n : second.children())
        children.push_back(std::string(n.name()) + "=" + n.attribute("Value").value());
    EXPECT_EQ(children, (std::vector<std::string>{"Card=0", "Volume=32768", "Folder=" + c.outfolder, "Mode=1",
                                                  "VOXLevel=5", "VOXTime=2", "DelIfSmaller=1", "Chnum=0",
                                                  "Stereo=true"}));
    EXPECT_EQ(std::string(second.attribute("Name").value()), "Channel1");
}

TEST_F(ConfigFileTest, OptionalEntriesMissingKeepTheirDefaults)
{
    TConfig c = defaults();
    c.timealign = true;
    c.overlap = 10;
    c.normalize = true;
    c.lowspaceminutes = 60;
    c.channels[0].chnum = 3;
    c.channels[0].stereo = true;
    c.cardnames[0] = "JACK";
    displaysettings().panelwidth = 300;
    writeedited(
        [](pugi::xml_node r) {
            r.child("Cleanup").remove_attribute("LowSpaceMinutes");
            for (pugi::xml_node card : r.child("Cards").children("Card"))
                card.remove_attribute("Name");
            r.child("Recording").remove_attribute("TimeAlign");
            r.child("Recording").remove_attribute("Overlap");
            r.remove_child("Normalize");
            r.remove_child("Display");
            for (pugi::xml_node ch : r.child("Channels").children("Channel")) {
                ch.remove_child("Chnum");
                ch.remove_child("Stereo");
            }
        },
        c);
    displaysettings().panelwidth = 230;
    EXPECT_EQ(load(), defaults());
    EXPECT_EQ(displaysettings().panelwidth, 230);
    EXPECT_TRUE(notifier.errors.empty());
}

TEST_F(ConfigFileTest, NormalizeElementWithoutItsAttributeIsSkipped)
{
    writeedited([](pugi::xml_node r) { r.child("Normalize").remove_attribute("Enabled"); });
    EXPECT_EQ(load(), defaults());
    EXPECT_TRUE(notifier.errors.empty());
}

TEST_F(ConfigFileTest, ChannelWithAnOldChChildLoadsAsMono)
{
    writeedited([](pugi::xml_node r) {
        pugi::xml_node ch = r.child("Channels").child("Channel");
        ch.child("Chnum").attribute("Value").set_value("2");
        ch.child("Stereo").attribute("Value").set_value("true");
        ch.append_child("Ch").append_attribute("Value").set_value("7");
    });
    const TConfig c = load();
    EXPECT_EQ(c.channels[0].chnum, 7);
    EXPECT_FALSE(c.channels[0].stereo);
}

struct ElementCountCase {
    int elements;
    int expectedread;
};

void PrintTo(const ElementCountCase& c, std::ostream* os)
{
    *os << c.elements << " elements";
}

class ConfigElementCountTest : public ConfigFileTest, public ::testing::WithParamInterface<ElementCountCase> {};

TEST_P(ConfigElementCountTest, ChannelAndCardElementsFillSlotsInOrderUpTo256)
{
    const ElementCountCase p = GetParam();
    writeedited([&](pugi::xml_node r) {
        pugi::xml_node channels = r.child("Channels");
        pugi::xml_node cards = r.child("Cards");
        const pugi::xml_node channel = channels.child("Channel");
        const pugi::xml_node card = cards.child("Card");
        r.remove_child("Channels");
        r.remove_child("Cards");
        channels = r.append_child("Channels");
        channels.append_attribute("Number").set_value(std::to_string(p.elements).c_str());
        cards = r.append_child("Cards");
        for (int i = 0; i < p.elements; ++i) {
            pugi::xml_node ch = channels.append_copy(channel);
            ch.attribute("Name").set_value(("File" + std::to_string(i)).c_str());
            ch.child("VOXLevel").attribute("Value").set_value(std::to_string(i % 100 + 1).c_str());
            cards.append_copy(card).attribute("MixerLine").set_value(std::to_string(i + 1).c_str());
        }
    });
    const TConfig c = load();
    EXPECT_TRUE(notifier.errors.empty());
    EXPECT_EQ(c.num, std::min(p.elements, 256));
    for (int i = 0; i < 256; ++i) {
        const TChannelConfig& ch = c.channels[static_cast<std::size_t>(i)];
        if (i < p.expectedread) {
            EXPECT_EQ(ch.name, "File" + std::to_string(i));
            EXPECT_EQ(ch.voxlevel, i % 100 + 1);
            EXPECT_EQ(c.cards[static_cast<std::size_t>(i)], i + 1);
        } else {
            EXPECT_EQ(ch, defaults().channels[static_cast<std::size_t>(i)]) << i;
            EXPECT_EQ(c.cards[static_cast<std::size_t>(i)], 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, ConfigElementCountTest,
                         ::testing::Values(ElementCountCase{3, 3}, ElementCountCase{300, 256}));

TEST_F(ConfigFileTest, ChannelSlotsFollowSiblingElementsWhateverTheirName)
{
    // After the first "Channel" every following element is a slot; comments and text are not.
    writeedited([](pugi::xml_node r) {
        pugi::xml_node channels = r.child("Channels");
        pugi::xml_node second = channels.child("Channel").next_sibling();
        channels.insert_child_before(pugi::node_comment, second).set_value("a note");
        second.set_name("Slot");
        second.attribute("Name").set_value("Renamed");
    });
    EXPECT_EQ(load().channels[1].name, "Renamed");
    EXPECT_TRUE(notifier.errors.empty());
}

struct WidthCase {
    const char* label;
    int before;          // panel width before loading
    const char* stored;  // "Width" attribute, nullptr = absent
    bool display;        // "Display" element present
    int expected;
};

void PrintTo(const WidthCase& c, std::ostream* os)
{
    *os << c.label;
}

class ConfigWidthTest : public ConfigFileTest, public ::testing::WithParamInterface<WidthCase> {};

TEST_P(ConfigWidthTest, PanelWidthBelow100BecomesMinimum101)
{
    const WidthCase p = GetParam();
    writeedited([&](pugi::xml_node r) {
        if (!p.display)
            r.remove_child("Display");
        else if (!p.stored)
            r.child("Display").remove_attribute("Width");
        else
            r.child("Display").attribute("Width").set_value(p.stored);
    });
    displaysettings().panelwidth = p.before;
    load();
    EXPECT_EQ(displaysettings().panelwidth, p.expected);
    EXPECT_TRUE(notifier.errors.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, ConfigWidthTest,
                         ::testing::Values(WidthCase{"stored50", 230, "50", true, 101},
                                           WidthCase{"stored100", 230, "100", true, 100},
                                           WidthCase{"storedNegative", 230, "-5", true, 101},
                                           WidthCase{"stored400", 230, "400", true, 400},
                                           WidthCase{"noWidthCurrent50", 50, nullptr, true, 101},
                                           WidthCase{"noWidthCurrent230", 230, nullptr, true, 230},
                                           WidthCase{"noDisplay", 230, nullptr, false, 230},
                                           WidthCase{"noDisplayCurrent50", 50, nullptr, false, 50}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(ConfigFileTest, BooleansAcceptBothSpellingsInAnyCaseEverywhere)
{
    writeedited([](pugi::xml_node r) {
        r.child("Password").attribute("Settings").set_value("TRUE");
        r.child("Password").attribute("Exit").set_value("1");
        r.child("Window").attribute("Status").set_value("False");
        r.child("Window").attribute("Stayontop").set_value("tRuE");
        r.child("MP3").attribute("CRC").set_value("0");
        r.child("Normalize").attribute("Enabled").set_value("1");
        pugi::xml_node ch = r.child("Channels").child("Channel");
        ch.child("Stereo").attribute("Value").set_value("1");
        ch.next_sibling().child("Stereo").attribute("Value").set_value("TRUE");
    });
    const TConfig c = load();
    EXPECT_TRUE(notifier.errors.empty());
    EXPECT_TRUE(c.settpass);
    EXPECT_TRUE(c.exitpass);
    EXPECT_FALSE(c.status);
    EXPECT_TRUE(c.stayontop);
    EXPECT_FALSE(c.mp3crc);
    EXPECT_TRUE(c.normalize);
    EXPECT_TRUE(c.channels[0].stereo);
    EXPECT_TRUE(c.channels[1].stereo);
}

struct PartialCase {
    const char* label;
    std::function<void(pugi::xml_node)> edit;
    std::function<void(TConfig&)> replaced;  // what the values that could not be read become
    const char* logged;                      // the line naming the element and the reason
};

void PrintTo(const PartialCase& c, std::ostream* os)
{
    *os << c.label;
}

class ConfigPartialTest : public ConfigFileTest, public ::testing::WithParamInterface<PartialCase> {};

// One bad value costs that value: it takes its default, the log says which and why, everything
// else is read, and the file as it was is kept before the next save changes it.
TEST_P(ConfigPartialTest, ReadsWhatCanBeReadAndKeepsTheOriginal)
{
    const TConfig saved = everyfieldchanged(common());
    displaysettings().panelwidth = 333;
    writeedited(GetParam().edit, saved);
    const std::string original = test::readtextfile(xmlpath());
    displaysettings().panelwidth = 230;

    TConfig expected = saved;
    GetParam().replaced(expected);
    EXPECT_EQ(load(), expected);
    EXPECT_EQ(displaysettings().panelwidth, original.find("<Display") != std::string::npos ? 333 : 230);
    EXPECT_TRUE(notifier.errors.empty());
    EXPECT_EQ(logged(GetParam().logged).size(), 1u) << ::testing::PrintToString(log.texts);
    ASSERT_FALSE(log.texts.empty());
    EXPECT_NE(log.texts.back().find("values replaced; the file as it was is kept as \"" + xmlpath() + ".bad\"."),
              std::string::npos)
        << log.texts.back();
    EXPECT_EQ(test::readtextfile(xmlpath() + ".bad"), original);
    EXPECT_EQ(test::readtextfile(xmlpath()), original);  // in use until the next save
}

void defaultchannelsfrom(TConfig& c, int first)
{
    TConfig d;
    setdefaults(d);
    for (int i = first; i < maxchannels; ++i) {
        c.channels[static_cast<std::size_t>(i)] = d.channels[static_cast<std::size_t>(i)];
        c.channels[static_cast<std::size_t>(i)].folder = c.outfolder;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigPartialTest,
    ::testing::Values(
        PartialCase{"notAnInteger", [](pugi::xml_node r) { r.child("MP3").attribute("Mode").set_value("abc"); },
                    [](TConfig& c) { c.mp3mode = 0; },
                    "Configuration: MP3 Mode: \"abc\" is not an integer; 0 used instead."},
        PartialCase{"integerOverflow",
                    [](pugi::xml_node r) { r.child("Cleanup").attribute("Days").set_value("2147483648"); },
                    [](TConfig& c) { c.cleanuptime = 100; }, "Cleanup Days: \"2147483648\" is not an integer"},
        PartialCase{"emptyInteger", [](pugi::xml_node r) { r.child("Window").attribute("Columns").set_value(""); },
                    [](TConfig& c) { c.columns = 1; }, "Window Columns: \"\" is not an integer; 1 used instead."},
        PartialCase{"notABoolean", [](pugi::xml_node r) { r.child("AGC").attribute("Enabled").set_value("yes"); },
                    [](TConfig& c) { c.agc = false; }, "AGC Enabled: \"yes\" is not a Boolean; 0 used instead."},
        PartialCase{"badOptionalValue",
                    [](pugi::xml_node r) { r.child("Recording").attribute("Overlap").set_value("x"); },
                    [](TConfig& c) { c.overlap = 0; }, "Recording Overlap: \"x\" is not an integer"},
        PartialCase{"missingAttribute", [](pugi::xml_node r) { r.child("Recording").remove_attribute("Codec"); },
                    [](TConfig& c) { c.codec = 0; }, "Recording Codec: missing; 0 used instead."},
        PartialCase{"missingElement", [](pugi::xml_node r) { r.remove_child("Playback"); },
                    [](TConfig& c) {
                        c.pcard = 0;
                        c.pvolume = -3000;
                    },
                    "Configuration: Playback: missing; its defaults used instead."},
        PartialCase{"missingCards", [](pugi::xml_node r) { r.remove_child("Cards"); },
                    [](TConfig& c) {
                        c.cards.fill(0);
                        c.cardnames.fill("");
                    },
                    "Cards: missing"},
        PartialCase{"channelWithoutFolder",
                    [](pugi::xml_node r) { r.child("Channels").last_child().remove_child("Folder"); },
                    [](TConfig& c) { c.channels[255].folder = c.outfolder; }, "Channel 255 Folder: missing"},
        PartialCase{"channelWithoutName",
                    [](pugi::xml_node r) { r.child("Channels").child("Channel").remove_attribute("Name"); },
                    [](TConfig& c) { c.channels[0].name = "Channel0"; },
                    "Channel 0 Name: missing; \"Channel0\" used instead."},
        PartialCase{"badChannelValue",
                    [](pugi::xml_node r) {
                        r.child("Channels").child("Channel").next_sibling().child("Mode").attribute("Value").set_value(
                            "manual\nforged line");
                    },
                    [](TConfig& c) { c.channels[1].mode = 1; },
                    "Channel 1 Mode: \"manual?forged line\" is not an integer; 1 used instead."},
        PartialCase{"outOfRange",
                    [](pugi::xml_node r) {
                        r.child("Channels").child("Channel").child("VOXLevel").attribute("Value").set_value("500");
                    },
                    [](TConfig& c) { c.channels[0].voxlevel = 100; },
                    "Configuration: Channel 0 VOXLevel: 500 is out of range; 100 used instead."},
        PartialCase{"moreChannelsCountedThanStored",
                    [](pugi::xml_node r) {
                        pugi::xml_node channels = r.child("Channels");
                        const auto stored = [&] {
                            return std::distance(channels.children("Channel").begin(), channels.children("Channel").end());
                        };
                        while (stored() > 3)
                            channels.remove_child(channels.last_child());
                        channels.attribute("Number").set_value("9");
                    },
                    [](TConfig& c) {
                        c.num = 3;
                        defaultchannelsfrom(c, 3);
                    },
                    "Channels Number: 9 but 3 channels stored; 3 used instead."},
        PartialCase{"cutAfterRecording",
                    [](pugi::xml_node r) {
                        while (std::string(r.last_child().name()) != "Recording")
                            r.remove_child(r.last_child());
                    },
                    [](TConfig& c) {
                        c.pcard = 0;
                        c.pvolume = -3000;
                        c.cleanuptime = 100;
                        c.lowspaceminutes = 15;
                        c.normalize = false;
                        c.num = 1;
                        defaultchannelsfrom(c, 0);
                        c.cards.fill(0);
                        c.cardnames.fill("");
                    },
                    "Channels: missing"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(ConfigFileTest, ManyBadValuesAreLoggedUpToALimitAndCounted)
{
    writeedited([](pugi::xml_node r) {
        for (pugi::xml_node ch : r.child("Channels").children("Channel"))
            ch.child("Volume").attribute("Value").set_value("loud");
    });
    const TConfig c = load();
    EXPECT_EQ(c.channels[200].volume, 32768);
    EXPECT_EQ(logged("is not an integer").size(), 40u);
    EXPECT_EQ(logged("Configuration: 216 more values replaced.").size(), 1u);
    EXPECT_EQ(logged("256 values replaced").size(), 1u);
}

TEST_F(ConfigFileTest, AKeptFileIsNeverReplacedAndTheSameDamageIsKeptOnce)
{
    const auto damage = [](const char* mode) {
        return [mode](pugi::xml_node r) { r.child("MP3").attribute("Mode").set_value(mode); };
    };
    writeedited(damage("abc"));
    const std::string first = test::readtextfile(xmlpath());
    load();
    // Read again before any save (a crash in between): the same content is not kept twice.
    load();
    EXPECT_EQ(test::readtextfile(xmlpath() + ".bad"), first);
    EXPECT_FALSE(std::filesystem::exists(xmlpath() + ".bad.2"));

    writeedited(damage("def"));
    const std::string second = test::readtextfile(xmlpath());
    load();
    EXPECT_EQ(test::readtextfile(xmlpath() + ".bad"), first);
    EXPECT_EQ(test::readtextfile(xmlpath() + ".bad.2"), second);

    // A file that cannot be read at all moves to the next free name.
    test::writetextfile(xmlpath(), "<VELK");
    log.texts.clear();
    expectcorrupted(load(), xmlpath() + ".bad.3");
    EXPECT_EQ(test::readtextfile(xmlpath() + ".bad"), first);
}

TEST_F(ConfigFileTest, ReadFaultLeavesTheRecordUntouched)
{
    writeedited([](pugi::xml_node r) { r.set_name("VELKX"); });
    const TConfig before = everyfieldchanged(common());
    TConfig c = before;
    EXPECT_THROW(readconfig(common(), c), EVelkError);
    EXPECT_EQ(c, before);
}

TEST_F(ConfigFileTest, ShortFormatFileKeepsTheRestOfTheFormat)
{
    writeedited([](pugi::xml_node) {});
    const std::string prefix("\x11\x00\x02\x00", 4);  // IMA ADPCM, two channels
    test::writetextfile(formatpath(), prefix);
    const TConfig c = load();
    EXPECT_EQ(c.format.fx.wFormatTag, 0x11);
    EXPECT_EQ(c.format.fx.nChannels, 2);
    EXPECT_EQ(c.format.fx.nSamplesPerSec, 44100u);
    EXPECT_EQ(c.format.fx.nBlockAlign, 2);
    EXPECT_TRUE(notifier.errors.empty());
}

// --- Saving safely ---

TEST_F(ConfigFileTest, SaveThatFailsHalfWayKeepsThePreviousFilesWhole)
{
    std::filesystem::create_directories(common());
    TConfig first = defaults();
    first.passw = "first";
    saveconfig(first);
    const std::string oldxml = test::readtextfile(xmlpath());
    const std::string oldformat = test::readtextfile(formatpath());

    // A full disk: writes stop after 4 KiB (the XML file is far larger).
    TConfig second = everyfieldchanged(common());
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldhandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    bool threw = false;
    try {
        saveconfig(second);
    } catch (const EVelkError&) {
        threw = true;
    }
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldhandler);
    EXPECT_TRUE(threw);
    EXPECT_EQ(test::readtextfile(xmlpath()), oldxml);
    EXPECT_EQ(test::readtextfile(formatpath()), oldformat);
    EXPECT_FALSE(std::filesystem::exists(xmlpath() + ".part"));
    EXPECT_EQ(load().passw, "first");
}

TEST_F(ConfigFileTest, FormatFileThatCannotBeReplacedKeepsItsOldContent)
{
    std::filesystem::create_directories(common());
    saveconfig(defaults());
    const std::string oldformat = test::readtextfile(formatpath());
    std::filesystem::create_directory(formatpath() + ".part");  // blocks the new format file
    TConfig c = defaults();
    c.format = pcmwaveformat(8000, 1, 16);
    EXPECT_THROW(saveconfig(c), EVelkError);
    EXPECT_EQ(test::readtextfile(formatpath()), oldformat);
}

TEST_F(ConfigFileTest, SavedFilesAreReadableByTheOwnerOnlyEvenWhenTheyExistedBefore)
{
    std::filesystem::create_directories(common());
    test::writetextfile(xmlpath(), "old");
    test::writetextfile(formatpath(), "old");
    ::chmod(xmlpath().c_str(), 0644);
    ::chmod(formatpath().c_str(), 0666);
    const mode_t oldmask = ::umask(0);
    saveconfig(defaults());
    ::umask(oldmask);
    EXPECT_EQ(filemode(xmlpath()), 0600u);
    EXPECT_EQ(filemode(formatpath()), 0600u);
}

// --- Range checks on reading ---

struct RangeCase {
    const char* label;
    const char* element;  // below the root; "Channel" means the first channel
    const char* attribute;
    const char* stored;
    std::function<std::int32_t(const TConfig&)> field;
    std::int32_t expected;
};

void PrintTo(const RangeCase& c, std::ostream* os)
{
    *os << c.label;
}

class ConfigRangeTest : public ConfigFileTest, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(ConfigRangeTest, OutOfRangeValuesAreBroughtIntoRange)
{
    const RangeCase p = GetParam();
    writeedited([&](pugi::xml_node r) {
        pugi::xml_node n = std::string(p.element) == "Channel" ? r.child("Channels").child("Channel")
                           : std::string(p.element) == "Card" ? r.child("Cards").child("Card")
                                                                : r.child(p.element);
        if (std::string(p.element) == "Channel")
            n.child(p.attribute).attribute("Value").set_value(p.stored);
        else
            n.attribute(p.attribute).set_value(p.stored);
    });
    const TConfig c = load();
    EXPECT_TRUE(notifier.errors.empty());
    EXPECT_EQ(p.field(c), p.expected);
}

#define FIELD(expr) [](const TConfig& c) { return static_cast<std::int32_t>(c.expr); }

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigRangeTest,
    ::testing::Values(
        RangeCase{"samplerateHigh", "Recording", "SamplingRate", "7", FIELD(samplerate), 6},
        RangeCase{"samplerateLow", "Recording", "SamplingRate", "-1", FIELD(samplerate), 0},
        RangeCase{"intervalHigh", "Recording", "SplitInterval", "8", FIELD(interval), 7},
        RangeCase{"intervalLow", "Recording", "SplitInterval", "-3", FIELD(interval), 0},
        RangeCase{"codec", "Recording", "Codec", "2", FIELD(codec), 1},
        RangeCase{"overlapHigh", "Recording", "Overlap", "61", FIELD(overlap), 60},
        RangeCase{"overlapLow", "Recording", "Overlap", "-1", FIELD(overlap), 0},
        RangeCase{"columnsZero", "Window", "Columns", "0", FIELD(columns), 1},
        RangeCase{"columnsHigh", "Window", "Columns", "5", FIELD(columns), 4},
        RangeCase{"numHigh", "Channels", "Number", "100000", FIELD(num), 256},
        RangeCase{"numLow", "Channels", "Number", "-1", FIELD(num), 0},
        RangeCase{"mp3mode", "MP3", "Mode", "3", FIELD(mp3mode), 2},
        RangeCase{"vbrquality", "MP3", "VBRQuality", "10", FIELD(vbrquality), 9},
        RangeCase{"bitrateHigh", "MP3", "Bitrate", "14", FIELD(bitrate), 13},
        RangeCase{"bitrateLow", "MP3", "Bitrate", "-2147483648", FIELD(bitrate), 0},
        RangeCase{"vbrmax", "MP3", "VBRMax", "99", FIELD(vbrmax), 13},
        RangeCase{"avgbitrate", "MP3", "AvgBitrate", "-1", FIELD(avgbitrate), 0},
        RangeCase{"cleanup", "Cleanup", "Days", "-5", FIELD(cleanuptime), 0},
        RangeCase{"cleanupLargeKept", "Cleanup", "Days", "5000", FIELD(cleanuptime), 5000},
        RangeCase{"lowspaceLow", "Cleanup", "LowSpaceMinutes", "-1", FIELD(lowspaceminutes), 0},
        RangeCase{"lowspaceHigh", "Cleanup", "LowSpaceMinutes", "100000", FIELD(lowspaceminutes), 1440},
        RangeCase{"pcard", "Playback", "Card", "-1", FIELD(pcard), 0},
        RangeCase{"pvolumeHigh", "Playback", "Volume", "10", FIELD(pvolume), 0},
        RangeCase{"pvolumeLow", "Playback", "Volume", "-20000", FIELD(pvolume), -10000},
        RangeCase{"mixerLine", "Card", "MixerLine", "-4", FIELD(cards[0]), 0},
        RangeCase{"card", "Channel", "Card", "-1", FIELD(channels[0].card), 0},
        RangeCase{"chnum", "Channel", "Chnum", "-1", FIELD(channels[0].chnum), 0},
        RangeCase{"volumeHigh", "Channel", "Volume", "70000", FIELD(channels[0].volume), 65536},
        RangeCase{"volumeLow", "Channel", "Volume", "-1", FIELD(channels[0].volume), 0},
        RangeCase{"mode", "Channel", "Mode", "2", FIELD(channels[0].mode), 1},
        RangeCase{"voxlevelLow", "Channel", "VOXLevel", "0", FIELD(channels[0].voxlevel), 1},
        RangeCase{"voxlevelHigh", "Channel", "VOXLevel", "101", FIELD(channels[0].voxlevel), 100},
        RangeCase{"voxtimeLow", "Channel", "VOXTime", "0", FIELD(channels[0].voxtime), 1},
        RangeCase{"voxtimeHigh", "Channel", "VOXTime", "1000", FIELD(channels[0].voxtime), 100},
        RangeCase{"deltimeLow", "Channel", "DelIfSmaller", "-1", FIELD(channels[0].deltime), 0},
        RangeCase{"deltimeHigh", "Channel", "DelIfSmaller", "101", FIELD(channels[0].deltime), 100}),
    [](const auto& info) { return std::string(info.param.label); });

#undef FIELD

TEST_F(ConfigFileTest, BitrateIndicesFollowTheListOfTheConfiguredRate)
{
    // At 8000 and 11025 Hz the list has 12 entries; at the other rates 14.
    writeedited([](pugi::xml_node r) {
        r.child("Recording").attribute("SamplingRate").set_value("1");
        r.child("MP3").attribute("Bitrate").set_value("12");
        r.child("MP3").attribute("VBRMax").set_value("11");
        r.child("MP3").attribute("AvgBitrate").set_value("13");
    });
    const TConfig c = load();
    EXPECT_EQ(c.bitrate, 11);
    EXPECT_EQ(c.vbrmax, 11);
    EXPECT_EQ(c.avgbitrate, 11);
}

TEST_F(ConfigFileTest, UnusableFormatFileFallsBackToPcmAtTheConfiguredRate)
{
    writeedited([](pugi::xml_node r) { r.child("Recording").attribute("SamplingRate").set_value("2"); });
    fWaveFormat bad = pcmwaveformat(44100, 1, 16);
    bad.fx.cbSize = 600;  // more extra bytes than the record holds
    const auto bytes = bad.serialize();
    test::writetextfile(formatpath(), std::string(bytes.begin(), bytes.end()));
    const TConfig c = load();
    EXPECT_TRUE(notifier.errors.empty());
    EXPECT_EQ(c.format, pcmwaveformat(16000, 1, 16));

    fWaveFormat zero;
    const auto zeros = zero.serialize();
    test::writetextfile(formatpath(), std::string(zeros.begin(), zeros.end()));
    EXPECT_EQ(load().format, pcmwaveformat(16000, 1, 16));
}

TEST_F(ConfigFileTest, SanitizeKeepsValuesThatAreInRange)
{
    const TConfig c = everyfieldchanged(common());
    TConfig checked = c;
    sanitizeconfig(checked);
    EXPECT_EQ(checked, c);
}

// --- Hostile files ---

struct HostileCase {
    const char* label;
    std::function<std::string(const std::string& valid)> content;
};

void PrintTo(const HostileCase& c, std::ostream* os)
{
    *os << c.label;
}

class ConfigHostileTest : public ConfigFileTest, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(ConfigHostileTest, IsRejectedAsCorruptedAndKeptAside)
{
    writeedited([](pugi::xml_node) {});
    const std::string content = GetParam().content(test::readtextfile(xmlpath()));
    test::writetextfile(xmlpath(), content);
    expectcorrupted(load(), xmlpath() + ".bad", &content);
}

std::string deeplynested(std::size_t depth)
{
    std::string s = "<VELK>";
    s.reserve(depth * 7 + 20);
    for (std::size_t i = 0; i < depth; ++i)
        s += "<a>";
    for (std::size_t i = 0; i < depth; ++i)
        s += "</a>";
    return s + "</VELK>";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigHostileTest,
    ::testing::Values(
        HostileCase{"empty", [](const std::string&) { return std::string(); }},
        HostileCase{"truncated", [](const std::string& v) { return v.substr(0, v.size() / 2); }},
        HostileCase{"wrongRoot",
                    [](std::string v) {
                        v.replace(v.find("<VELK "), 5, "<VELKX");
                        v.replace(v.rfind("</VELK>"), 7, "</VELKX>");
                        return v;
                    }},
        HostileCase{"binaryGarbage",
                    [](const std::string&) {
                        std::string s(5000, '\0');
                        for (std::size_t i = 0; i < s.size(); ++i)
                            s[i] = static_cast<char>((i * 7919 + 13) % 256);
                        return s;
                    }},
        HostileCase{"tooLarge",
                    [](const std::string& v) {
                        // A valid document padded beyond the size limit with trailing blanks.
                        return v + std::string(maxconfigfilesize, ' ');
                    }},
        HostileCase{"deeplyNested", [](const std::string&) { return deeplynested(1000000); }},
        HostileCase{"utf32Garbage", [](const std::string&) { return std::string("\x00\x00\xfe\xff\x00\x00\x00<", 8); }}),
    [](const auto& info) { return std::string(info.param.label); });

// Whatever else stands under the name is moved aside without being opened in a way that blocks.
TEST_F(ConfigFileTest, ANameThatIsNoRegularFileIsSetAsideWithoutWaiting)
{
    std::filesystem::create_directories(common());
    ASSERT_EQ(::mkfifo(xmlpath().c_str(), 0600), 0);
    expectcorrupted(load(), xmlpath() + ".bad");
    EXPECT_TRUE(std::filesystem::is_fifo(xmlpath() + ".bad"));

    notifier.errors.clear();
    log.texts.clear();
    std::filesystem::create_directory(xmlpath());
    expectcorrupted(load(), xmlpath() + ".bad.2");
    EXPECT_TRUE(std::filesystem::is_directory(xmlpath() + ".bad.2"));
    // The defaults can be saved over the name now.
    saveconfig(defaults());
    EXPECT_EQ(load(), defaults());
}

TEST_F(ConfigFileTest, TheWdmEditionKeepsItsOwnFileAside)
{
    setedition(Edition::Wdm);
    writeedited([](pugi::xml_node r) { r.child("MP3").attribute("Mode").set_value("abc"); });
    load();
    EXPECT_TRUE(std::filesystem::exists(common() + "configds.xml.bad"));
    test::writetextfile(xmlpath(), "");
    log.texts.clear();
    expectcorrupted(load(), common() + "configds.xml.bad.2");
    EXPECT_FALSE(std::filesystem::exists(common() + "config.xml.bad"));
}

TEST_F(ConfigFileTest, DeeplyNestedUnknownElementsInAValidFileAreIgnored)
{
    writeedited([](pugi::xml_node) {});
    std::string text = test::readtextfile(xmlpath());
    const std::string nested = deeplynested(200000);
    text.insert(text.find("<Password"), "<Extra>" + nested.substr(6, nested.size() - 13) + "</Extra>");
    test::writetextfile(xmlpath(), text);
    EXPECT_EQ(load(), defaults());
    EXPECT_TRUE(notifier.errors.empty());
}

TEST_F(ConfigFileTest, TextInOtherEncodingsArrivesAsUtf8)
{
    std::filesystem::create_directories(common());
    saveconfig(defaults());
    const std::string utf8 = test::readtextfile(xmlpath());

    // A hand-edited file saved as 8-bit text without saying so: taken as Latin-1.
    std::string latin1 = utf8;
    latin1.replace(latin1.find("Key=\"\""), 6, "Key=\"caf\xe9\"");
    test::writetextfile(xmlpath(), latin1);
    EXPECT_EQ(load().passw, "caf\xc3\xa9");

    // A file declared as ISO-8859-1.
    std::string declared = latin1;
    declared.replace(declared.find("UTF-8"), 5, "ISO-8859-1");
    test::writetextfile(xmlpath(), declared);
    EXPECT_EQ(load().passw, "caf\xc3\xa9");

    // UTF-16 with a byte-order mark.
    std::string utf16 = "\xff\xfe";
    std::string withname = utf8;
    withname.replace(withname.find("Key=\"\""), 6, "Key=\"\xe9\x8c\xb2\"");  // 録
    withname.replace(withname.find("UTF-8"), 5, "UTF-16");
    for (const char16_t u : utf8toutf16(withname))
        utf16 += std::string{static_cast<char>(u & 0xff), static_cast<char>(u >> 8)};
    test::writetextfile(xmlpath(), utf16);
    EXPECT_EQ(load().passw, "\xe9\x8c\xb2");
    EXPECT_TRUE(notifier.errors.empty());
}

}  // namespace
}  // namespace velk
