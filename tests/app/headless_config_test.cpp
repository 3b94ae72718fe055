// The ASIO edition started headless on a configuration a user could have left: one unreadable
// value, no "format.dat". The channels and the password must come through a start and a SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <string>
#include <vector>

#include "config/config.h"
#include "config/config_file.h"
#include "config/edition.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_folder.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

TEST(HeadlessConfiguration, ABadValueAndAMissingFormatFileCostOnlyThoseThroughARun)
{
    test::TempDataRoot root;
    setedition(Edition::Asio);
    TConfig c;
    loadconfig(c);
    c.passw = "s3cret";
    c.settpass = true;
    c.samplerate = 6;
    c.num = 3;
    const char* names[] = {"Studio A", "Studio B", "Hotline"};
    for (int i = 0; i < 3; ++i) {
        TChannelConfig& ch = c.channels[static_cast<std::size_t>(i)];
        ch.name = names[i];
        ch.chnum = i;
        ch.mode = 0;
        ch.voxlevel = 40 + i;
    }
    saveconfig(c);
    const std::string common = c.common_path;
    const std::string xmlpath = common + "config.xml";
    // Hand-edited: the second channel's mode is not a number; the format file is gone.
    std::string xml = test::readtextfile(xmlpath);
    const std::size_t second = xml.find("Name=\"Studio B\"");
    ASSERT_NE(second, std::string::npos);
    const std::size_t mode = xml.find("<Mode Value=\"0\"", second);
    ASSERT_NE(mode, std::string::npos);
    xml.replace(mode, 15, "<Mode Value=\"abc\"");
    test::writetextfile(xmlpath, xml);
    fs::remove(common + "format.dat");

    test::ChildProcess program(VELKASIO_PATH, {"--headless"},
                               {"VELK_DATA_ROOT=" + root.root(), "VELK_VIRTUAL_CARDS=1", "LC_ALL=C"});
    ASSERT_TRUE(program.waitforline("VELK System Activated.")) << program.output();
    program.signal(SIGTERM);
    ASSERT_EQ(program.wait(), 0) << program.output();
    const std::string out = program.output();
    for (const std::string& line : std::vector<std::string>{
             "Configuration: Channel 1 Mode: \"abc\" is not an integer; 1 used instead.",
          "\"format.dat\" is missing; the default recording format (16-bit mono PCM at 48000 Hz) is used.",
          "Configuration file \"config.xml\": 1 values replaced; the file as it was is kept as \"" + xmlpath +
              ".bad\"."})
        EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    EXPECT_EQ(out.find("Configuration file corrupted"), std::string::npos) << out;
    EXPECT_EQ(test::readtextfile(xmlpath + ".bad"), xml);

    // What the shutdown saved: everything but the one value, and a format file again.
    TConfig saved;
    loadconfig(saved);
    EXPECT_EQ(saved.num, 3);
    EXPECT_EQ(saved.passw, "s3cret");
    EXPECT_TRUE(saved.settpass);
    EXPECT_EQ(saved.samplerate, 6);
    for (int i = 0; i < 3; ++i) {
        const TChannelConfig& ch = saved.channels[static_cast<std::size_t>(i)];
        EXPECT_EQ(ch.name, names[i]);
        EXPECT_EQ(ch.chnum, i);
        EXPECT_EQ(ch.voxlevel, 40 + i);
        EXPECT_EQ(ch.mode, i == 1 ? 1 : 0) << i;
    }
    EXPECT_EQ(saved.format, pcmwaveformat(48000, 1, 16));
    EXPECT_EQ(fs::file_size(common + "format.dat"), 531u);
}

}  // namespace
}  // namespace velk
