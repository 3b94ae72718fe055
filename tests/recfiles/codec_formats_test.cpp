// Every format the codec layer offers, written through TACMWriter from a test signal, is read back
// by ffprobe and sox with the right codec, rate, channels and duration, and PCM with the very
// samples written.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "core/wave_format.h"
#include "recfiles/acm_writer.h"
#include "recfiles/codec_manager.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_folder.h"

namespace velk {
namespace {

std::string run(const std::string& command)
{
    return test::commandoutput(command);
}

std::string trim(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' '))
        s.pop_back();
    return s;
}

// A sine per channel (440 Hz left, 660 Hz right) at half scale, in the source's sample format.
std::vector<std::uint8_t> sinesignal(const tWAVEFORMATEX& f, std::size_t frames)
{
    std::vector<std::uint8_t> out(frames * f.nBlockAlign);
    for (std::size_t i = 0; i < frames; ++i)
        for (unsigned c = 0; c < f.nChannels; ++c) {
            const double v = 0.5 * std::sin(2 * M_PI * (440.0 + 220.0 * c) * static_cast<double>(i) / f.nSamplesPerSec);
            std::uint8_t* p = &out[i * f.nBlockAlign + c * f.wBitsPerSample / 8];
            if (f.wBitsPerSample == 8)
                *p = static_cast<std::uint8_t>(128 + std::lround(v * 127));
            else
                le::put16(p, static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(v * 32767))));
        }
    return out;
}

struct FormatCase {
    std::uint16_t tag;
    std::uint32_t rate;
    std::uint16_t channels;
    std::uint16_t sourcebits;
};

void PrintTo(const FormatCase& c, std::ostream* os)
{
    *os << "tag " << c.tag << ", " << c.rate << " Hz, " << c.channels << " ch, from " << c.sourcebits << " bit";
}

std::string casename(const ::testing::TestParamInfo<FormatCase>& info)
{
    const FormatCase& c = info.param;
    std::string name;
    for (char ch : codecmanager().tagname(c.tag))
        if (std::isalnum(static_cast<unsigned char>(ch)))
            name += ch;
    return name + "_" + std::to_string(c.rate) +
           "_" + std::to_string(c.channels) + "ch_" + std::to_string(c.sourcebits) + "bit";
}

// Every (tag, rate, channels) the layer suggests a format for, from 16-bit PCM (and 8-bit for PCM).
std::vector<FormatCase> offeredformats()
{
    std::vector<FormatCase> cases;
    for (const TCodecDriver& d : codecmanager().drivers())
        for (std::uint16_t tag : d.tags)
            for (std::uint32_t rate : {8000u, 11025u, 16000u, 22050u, 32000u, 44100u, 48000u})
                for (std::uint16_t ch : {1, 2})
                    for (std::uint16_t bits : {8, 16}) {
                        if (bits == 8 && tag != WAVE_FORMAT_PCM)
                            continue;
                        if (codecmanager().suggest(tag, pcmformat(rate, ch, bits)))
                            cases.push_back({tag, rate, ch, bits});
                    }
    return cases;
}

const char* ffprobename(std::uint16_t tag, std::uint16_t bits)
{
    switch (tag) {
    case WAVE_FORMAT_PCM:
        return bits == 8 ? "pcm_u8" : "pcm_s16le";
    case WAVE_FORMAT_IMA_ADPCM:
        return "adpcm_ima_wav";
    case WAVE_FORMAT_ADPCM:
        return "adpcm_ms";
    case WAVE_FORMAT_ALAW:
        return "pcm_alaw";
    case WAVE_FORMAT_MULAW:
        return "pcm_mulaw";
    case WAVE_FORMAT_GSM610:
        return "gsm_ms";
    }
    return "?";
}

class OfferedFormat : public ::testing::TestWithParam<FormatCase> {
protected:
    test::TempFolder folder;
};

TEST_P(OfferedFormat, WrittenFileIsReadBackByFfprobeAndSox)
{
    const FormatCase c = GetParam();
    const tWAVEFORMATEX source = pcmformat(c.rate, c.channels, c.sourcebits);
    const std::optional<fWaveFormat> target = codecmanager().suggest(c.tag, source);
    ASSERT_TRUE(target);
    const std::string path = folder.file("f.wav");

    // 1.23 s, so the file ends with a part buffer and (for block codecs) a part block.
    const std::size_t frames = c.rate * 123 / 100;
    const auto signal = sinesignal(source, frames);
    TACMWriter w(source, *target);
    w.open(path);
    for (std::size_t pos = 0; pos < signal.size(); pos += 1000 * source.nBlockAlign)
        w.write(signal.data() + pos, std::min<std::size_t>(1000 * source.nBlockAlign, signal.size() - pos));
    w.close();
    EXPECT_EQ(w.framecount(), frames);

    // The duration may run to the end of the last (padded) codec block.
    const double seconds = static_cast<double>(frames) / c.rate;
    const double blockslack = c.tag == WAVE_FORMAT_PCM ? 0.0005
                              : c.tag == WAVE_FORMAT_ALAW || c.tag == WAVE_FORMAT_MULAW
                                  ? 0.0005
                                  : 1.0 * le::get16(target->ext.data()) / c.rate + 0.0005;

    std::istringstream probe(run("ffprobe -v error -select_streams a:0 -show_entries "
                                 "stream=codec_name,sample_rate,channels,duration -of default=nw=1 '" +
                                 path + "'"));
    std::string line;
    std::string codec, rate, channels;
    double duration = -1;
    while (std::getline(probe, line)) {
        const auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "codec_name")
            codec = value;
        else if (key == "sample_rate")
            rate = value;
        else if (key == "channels")
            channels = value;
        else if (key == "duration")
            duration = std::atof(value.c_str());
    }
    EXPECT_EQ(codec, ffprobename(c.tag, c.sourcebits));
    EXPECT_EQ(rate, std::to_string(c.rate));
    EXPECT_EQ(channels, std::to_string(c.channels));
    EXPECT_GE(duration, seconds - 0.0005);
    EXPECT_LE(duration, seconds + blockslack);

    EXPECT_EQ(trim(run("soxi -r '" + path + "' 2>&1")), std::to_string(c.rate));
    EXPECT_EQ(trim(run("soxi -c '" + path + "' 2>&1")), std::to_string(c.channels));
    // sox decodes the whole file as 16-bit samples.
    const std::string decoded = run("sox -V1 '" + path + "' -t raw -e signed -b 16 -L - 2>/dev/null");
    const double soxseconds = static_cast<double>(decoded.size()) / (2.0 * c.channels * c.rate);
    EXPECT_GE(soxseconds, seconds - 0.0005);
    EXPECT_LE(soxseconds, seconds + blockslack);

    if (c.tag == WAVE_FORMAT_PCM) {
        ASSERT_EQ(decoded.size(), frames * c.channels * 2u);
        std::size_t differ = 0;
        for (std::size_t i = 0; i < frames * c.channels; ++i) {
            const auto got = static_cast<std::int16_t>(le::get16(reinterpret_cast<const std::uint8_t*>(&decoded[2 * i])));
            const std::int16_t want = c.sourcebits == 8 ? static_cast<std::int16_t>((signal[i] - 128) * 256)
                                                        : static_cast<std::int16_t>(le::get16(&signal[2 * i]));
            differ += got != want;
        }
        EXPECT_EQ(differ, 0u);
    }
}

double ffprobeduration(const std::string& path)
{
    return std::atof(
        run("ffprobe -v error -select_streams a:0 -show_entries stream=duration -of csv=p=0 '" + path + "'").c_str());
}

double soxseconds(const std::string& path, const tWAVEFORMATEX& f)
{
    const std::string decoded = run("sox -V1 '" + path + "' -t raw -e signed -b 16 -L - 2>/dev/null");
    return static_cast<double>(decoded.size()) / (2.0 * f.nChannels * f.nSamplesPerSec);
}

TEST(KilledRecorder, FilePlaysInOtherSoftwareWithAtMostAboutOneSecondMissing)
{
    const tWAVEFORMATEX source = pcmformat(44100, 1, 16);
    for (const fWaveFormat& target :
         {pcmwaveformat(44100, 1, 16), *codecmanager().suggest(WAVE_FORMAT_IMA_ADPCM, source)}) {
        SCOPED_TRACE(target.fx.wFormatTag);
        test::TempFolder folder;
        const std::string path = folder.file("cut.wav");
        const double seconds = 3.35;
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            // The recorder: writes 10 ms blocks and dies without closing the file.
            TACMWriter w(source, target);
            w.open(path);
            const auto signal = sinesignal(source, static_cast<std::size_t>(seconds * 44100));
            for (std::size_t pos = 0; pos < signal.size(); pos += 882)
                w.write(signal.data() + pos, std::min<std::size_t>(882, signal.size() - pos));
            ::kill(::getpid(), SIGKILL);
            ::_exit(1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status));

        const double probed = ffprobeduration(path);
        EXPECT_GE(probed, seconds - 1.15);
        EXPECT_LE(probed, seconds);
        const double played = soxseconds(path, source);
        EXPECT_GE(played, seconds - 1.15);
        EXPECT_LE(played, seconds + 0.03);
    }
}

INSTANTIATE_TEST_SUITE_P(CodecLayer, OfferedFormat, ::testing::ValuesIn(offeredformats()), casename);

}  // namespace
}  // namespace velk
