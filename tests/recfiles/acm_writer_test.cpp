// TACMWriter: RIFF layout, the 100 ms source buffer, gathering writes, the remainder written at
// close, the header refreshed while writing, and write errors that leave a consistent file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "core/errors.h"
#include "core/wave_format.h"
#include "recfiles/acm_writer.h"
#include "platform/file_io.h"
#include "recfiles/codec_manager.h"
#include "recfiles/output_names.h"
#include "tests/support/temp_folder.h"

namespace velk {
namespace {

std::vector<std::uint8_t> readfile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Interleaved 16-bit samples of a ramp that differs per channel, so any reordering shows.
std::vector<std::uint8_t> testsignal(std::size_t frames, unsigned channels)
{
    std::vector<std::uint8_t> out(frames * channels * 2);
    for (std::size_t i = 0; i < frames; ++i)
        for (unsigned c = 0; c < channels; ++c)
            le::put16(&out[(i * channels + c) * 2], static_cast<std::uint16_t>(i * 7 + c * 1000));
    return out;
}

// Writes `data` in blocks of `block` bytes; returns the sum of what write() reported.
std::size_t writeblocks(TACMWriter& w, const std::vector<std::uint8_t>& data, std::size_t block)
{
    std::size_t total = 0;
    for (std::size_t pos = 0; pos < data.size(); pos += block)
        total += w.write(data.data() + pos, std::min(block, data.size() - pos));
    return total;
}

void expectmakererror(const std::function<void()>& f, const std::string& text)
{
    try {
        f();
        ADD_FAILURE() << "no error, expected: " << text;
    } catch (const EMakerError& e) {
        EXPECT_EQ(std::string(e.what()), text);
        EXPECT_EQ(e.code(), -1);
    }
}

class AcmWriterTest : public ::testing::Test {
protected:
    test::TempFolder folder;
    std::string path = folder.file("out.wav");
};

TEST_F(AcmWriterTest, PassThroughWritesWholeBuffersAndTheRemainderAtClose)
{
    const tWAVEFORMATEX fmt = pcmformat(44100, 1, 16);
    TACMWriter w(fmt, pcmwaveformat(44100, 1, 16));
    ASSERT_TRUE(w.passthrough());
    w.open(path);
    // 1.05 s in 10 ms blocks: ten full 100 ms buffers reach the file while writing ...
    const auto signal = testsignal(46305, 1);
    EXPECT_EQ(writeblocks(w, signal, 882), 10u * 8820u);
    EXPECT_EQ(readfile(path).size(), 44u + 88200u);
    // ... and the last 50 ms at close.
    w.close();
    EXPECT_FALSE(w.isopen());
    EXPECT_EQ(w.framecount(), 46305u);

    const auto file = readfile(path);
    ASSERT_EQ(file.size(), 44u + signal.size());
    const std::uint8_t header[44] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
                                     16, 0, 0, 0, 1, 0, 1, 0, 0x44, 0xAC, 0, 0, 0x88, 0x58, 0x01, 0,
                                     2, 0, 16, 0, 'd', 'a', 't', 'a', 0, 0, 0, 0};
    EXPECT_TRUE(std::equal(file.begin() + 8, file.begin() + 36, header + 8));
    EXPECT_TRUE(std::equal(file.begin(), file.begin() + 4, header));
    EXPECT_TRUE(std::equal(file.begin() + 36, file.begin() + 40, header + 36));
    EXPECT_EQ(le::get32(&file[4]), 36u + signal.size());
    EXPECT_EQ(le::get32(&file[40]), signal.size());
    EXPECT_TRUE(std::equal(signal.begin(), signal.end(), file.begin() + 44));
}

TEST_F(AcmWriterTest, SourceBufferHoldsHundredMillisecondsRoundedToFrames)
{
    struct Case {
        std::uint32_t rate;
        unsigned channels;
        std::size_t frames;
    };
    for (const Case c : {Case{8000, 1, 800}, Case{11025, 1, 1103}, Case{22050, 2, 2205}, Case{48000, 2, 4800}}) {
        SCOPED_TRACE(c.rate);
        const tWAVEFORMATEX fmt = pcmformat(c.rate, static_cast<std::uint16_t>(c.channels), 16);
        TACMWriter w(fmt, pcmwaveformat(c.rate, static_cast<std::uint16_t>(c.channels), 16));
        std::remove(path.c_str());
        w.open(path);
        const auto signal = testsignal(c.frames, c.channels);
        const std::size_t frame = c.channels * 2;
        EXPECT_EQ(w.write(signal.data(), signal.size() - frame), 0u);
        EXPECT_EQ(w.write(signal.data() + signal.size() - frame, frame), signal.size());
        w.close();
    }
}

// The recording path gathers half a second per write once a file holds its first second (which
// goes out in 100 ms writes), and after every write the header says exactly what the file holds,
// so a crash loses only the audio not yet written, never more than the gathered half second.
TEST_F(AcmWriterTest, GatheringWriterWritesTheFirstSecondInBuffersThenHalfSecondsWithTheHeaderUpToDate)
{
    const tWAVEFORMATEX fmt = pcmformat(16000, 1, 16);
    TACMWriter w(fmt, pcmwaveformat(16000, 1, 16));
    w.setgather(500);
    w.open(path);
    const auto signal = testsignal(16000 * 5 / 2, 1);  // 2.5 s
    const std::size_t block = 320;                       // 10 ms
    std::vector<std::size_t> writes;                     // bytes given when a write went out
    for (std::size_t pos = 0; pos < signal.size(); pos += block) {
        const std::size_t wrote = w.write(signal.data() + pos, block);
        const auto file = readfile(path);
        ASSERT_GE(file.size(), 44u);
        const std::uint32_t datasize = le::get32(&file[40]);
        const std::size_t infile = file.size() - 44;
        ASSERT_EQ(le::get32(&file[4]), 36u + datasize) << pos;
        ASSERT_LE(infile - datasize, 16000u) << pos;  // the header trails by at most half a second ...
        if (infile > 32000) {
            ASSERT_EQ(datasize, infile) << pos;  // ... and not at all once the writes gather
        }
        ASSERT_LT(pos + block - infile, 16000u) << pos;  // less than half a second unwritten
        if (wrote) {
            EXPECT_EQ(wrote, writes.size() < 10 ? 3200u : 16000u);
            writes.push_back(pos + block);
        }
    }
    std::vector<std::size_t> expected;
    for (std::size_t n = 1; n <= 10; ++n)
        expected.push_back(n * 3200);
    for (std::size_t end : {48000u, 64000u, 80000u})
        expected.push_back(end);
    EXPECT_EQ(writes, expected);
    w.close();
    const auto file = readfile(path);
    ASSERT_EQ(file.size(), 44u + signal.size());
    EXPECT_EQ(le::get32(&file[40]), signal.size());
    EXPECT_TRUE(std::equal(signal.begin(), signal.end(), file.begin() + 44));
}

TEST_F(AcmWriterTest, OpenTwiceAndCloseTwiceAreHarmlessAndWriteWhenClosedDoesNothing)
{
    const tWAVEFORMATEX fmt = pcmformat(8000, 1, 16);
    TACMWriter w(fmt, pcmwaveformat(8000, 1, 16));
    const auto signal = testsignal(100, 1);
    EXPECT_EQ(w.write(signal.data(), signal.size()), 0u);
    w.open(path);
    w.open(folder.file("other.wav"));
    w.write(signal.data(), signal.size());
    w.close();
    w.close();
    EXPECT_EQ(readfile(path).size(), 44u + signal.size());
    EXPECT_FALSE(fileexists(folder.file("other.wav")));
}

// A file cut off without close() (crash, power loss) must still say how much audio it holds: from
// its creation on its header is valid, and it may trail the file by at most half a second.
struct UnclosedCase {
    const char* name;
    std::uint32_t milliseconds;
    bool codec;  // IMA ADPCM target: the "fact" count is refreshed too
};

class UnclosedFileTest : public AcmWriterTest, public ::testing::WithParamInterface<UnclosedCase> {};

TEST_P(UnclosedFileTest, HeaderCoversAllButTheLastHalfSecond)
{
    const UnclosedCase& c = GetParam();
    const tWAVEFORMATEX fmt = pcmformat(16000, 2, 16);
    const fWaveFormat target = c.codec ? *codecmanager().suggest(WAVE_FORMAT_IMA_ADPCM, fmt) : pcmwaveformat(16000, 2, 16);
    TACMWriter w(fmt, target);
    w.open(path);
    writeblocks(w, testsignal(16 * c.milliseconds, 2), 256 * 4);
    const auto file = readfile(path);
    // Walk the chunks up to "data", the last one.
    std::size_t pos = 12;
    std::size_t data = 0;
    std::uint32_t fact = 0;
    while (pos + 8 <= file.size()) {
        const std::string id(reinterpret_cast<const char*>(&file[pos]), 4);
        if (id == "fact")
            fact = le::get32(&file[pos + 8]);
        if (id == "data") {
            data = pos + 8;
            break;
        }
        pos += 8 + le::get32(&file[pos + 4]) + (le::get32(&file[pos + 4]) & 1);
    }
    ASSERT_GT(data, 0u);
    const std::uint32_t datasize = le::get32(&file[data - 4]);
    const std::uint64_t infile = file.size() - data;
    // 100 ms reach the file as one buffer; before that the header is that of an empty file.
    EXPECT_EQ(datasize > 0, c.milliseconds >= 100);
    EXPECT_LE(datasize, infile);
    EXPECT_LE(infile - datasize, target.fx.nAvgBytesPerSec / 2);
    EXPECT_EQ(le::get32(&file[4]), data - 8 + datasize);
    if (c.codec) {
        EXPECT_GT(fact, 0u);
    }
    w.close();
}

INSTANTIATE_TEST_SUITE_P(Lengths, UnclosedFileTest,
                         ::testing::Values(UnclosedCase{"JustOpened", 0, false},
                                           UnclosedCase{"FirstBuffer", 150, false},
                                           UnclosedCase{"UnderASecond", 900, false},
                                           UnclosedCase{"SeveralSeconds", 2500, false},
                                           UnclosedCase{"CodecFirstSecond", 600, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AcmWriterTest, OpenFailuresRaiseTheirTexts)
{
    const tWAVEFORMATEX mono = pcmformat(8000, 1, 16);
    const std::string missing = folder.file("no/such/folder.wav");
    expectmakererror([&] { TACMWriter(mono, pcmwaveformat(8000, 1, 16)).open(missing); },
                     "Can not open file:" + missing + "\r\n");
    fWaveFormat bits24 = pcmwaveformat(8000, 1, 16);
    bits24.fx = pcmformat(8000, 1, 24);
    expectmakererror([&] { TACMWriter(pcmformat(8000, 1, 24), bits24).open(path); },
                     "Can not open conversion stream. Current codec support only one channel. Please select "
                     "another codec at control panel");
    // A mono-only codec fed stereo.
    const fWaveFormat gsm = *codecmanager().suggest(WAVE_FORMAT_GSM610, mono);
    expectmakererror([&] { TACMWriter(pcmformat(8000, 2, 16), gsm).open(path); },
                     "Can not open conversion stream. Current codec support only one channel. Please select "
                     "another codec at control panel");
    EXPECT_FALSE(fileexists(path));
    TACMWriter w(mono, pcmwaveformat(8000, 1, 16));
    EXPECT_THROW(w.open(missing), EMakerError);
    EXPECT_FALSE(w.isopen());
}

// Whatever stands at the path (another recording, a link to some file) is left as it is.
TEST_F(AcmWriterTest, OpenNeverReplacesWhatStandsAtThePath)
{
    const std::string other = folder.file("other.wav");
    test::writetextfile(other, "someone else's");
    const std::string link = folder.file("link.wav");
    ASSERT_EQ(::symlink(other.c_str(), link.c_str()), 0);
    const std::string dangling = folder.file("dangling.wav");
    ASSERT_EQ(::symlink(folder.file("nowhere").c_str(), dangling.c_str()), 0);
    for (const std::string& target : {other, link, dangling}) {
        SCOPED_TRACE(target);
        TACMWriter w(pcmformat(8000, 1, 16), pcmwaveformat(8000, 1, 16));
        EXPECT_THROW(w.open(target), EOutputNameTaken);
        EXPECT_FALSE(w.isopen());
    }
    EXPECT_EQ(test::readtextfile(other), "someone else's");
    EXPECT_FALSE(fileexists(folder.file("nowhere")));
}

struct Chunk {
    std::string id;
    std::size_t offset;  // of the chunk's data
    std::uint32_t size;
};

// Walks the chunks of a RIFF WAVE file; fails the test on a layout that does not add up.
std::vector<Chunk> chunks(const std::vector<std::uint8_t>& file)
{
    std::vector<Chunk> out;
    EXPECT_GE(file.size(), 12u);
    EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "RIFF");
    EXPECT_EQ(le::get32(&file[4]), file.size() - 8);
    EXPECT_EQ(std::string(file.begin() + 8, file.begin() + 12), "WAVE");
    std::size_t pos = 12;
    while (pos + 8 <= file.size()) {
        Chunk c{std::string(file.begin() + static_cast<std::ptrdiff_t>(pos), file.begin() + static_cast<std::ptrdiff_t>(pos) + 4),
                pos + 8, le::get32(&file[pos + 4])};
        out.push_back(c);
        pos += 8 + c.size + c.size % 2;
    }
    EXPECT_EQ(pos, file.size());
    return out;
}

TEST_F(AcmWriterTest, CodecTargetsGetFmtOfTheLargestSizeAFactCountAndAPaddedDataChunk)
{
    struct Case {
        std::uint16_t tag;
        std::uint32_t rate;
        std::uint16_t channels;
    };
    for (const Case c : {Case{WAVE_FORMAT_IMA_ADPCM, 44100, 1}, Case{WAVE_FORMAT_ADPCM, 8000, 2},
                         Case{WAVE_FORMAT_GSM610, 8000, 1}, Case{WAVE_FORMAT_ALAW, 22050, 2}}) {
        SCOPED_TRACE(codecmanager().tagname(c.tag));
        const tWAVEFORMATEX source = pcmformat(c.rate, c.channels, 16);
        const fWaveFormat target = *codecmanager().suggest(c.tag, source);
        TACMWriter w(source, target);
        EXPECT_FALSE(w.passthrough());
        std::remove(path.c_str());
        w.open(path);
        // 2.5 s in odd-sized pieces; GSM gets an odd number of 65-byte blocks.
        const std::size_t frames = c.rate * 25 / 10 + 17;
        const auto signal = testsignal(frames, c.channels);
        writeblocks(w, signal, 333 * source.nBlockAlign);
        w.close();
        EXPECT_EQ(w.framecount(), frames);

        const auto file = readfile(path);
        const auto list = chunks(file);
        ASSERT_EQ(list.size(), 3u);
        const std::size_t n = *codecmanager().formatsize(c.tag);
        EXPECT_EQ(list[0].id, "fmt ");
        EXPECT_EQ(list[0].size, n);
        const auto fmt = target.serialize();
        EXPECT_TRUE(std::equal(fmt.begin(), fmt.begin() + static_cast<std::ptrdiff_t>(n), file.begin() + 20));
        EXPECT_EQ(list[1].id, "fact");
        EXPECT_EQ(list[1].size, 4u);
        EXPECT_EQ(le::get32(&file[list[1].offset]), frames);
        EXPECT_EQ(list[2].id, "data");
        EXPECT_EQ(list[2].size % target.fx.nBlockAlign, 0u);
        if (c.tag == WAVE_FORMAT_GSM610) {
            EXPECT_EQ(list[2].size % 2, 1u);  // so a pad byte follows
        }
        // Whole blocks covering every frame, and not one block more.
        const double blocks = static_cast<double>(list[2].size) / target.fx.nBlockAlign;
        const double perblock = c.tag == WAVE_FORMAT_ALAW ? 1 : le::get16(target.ext.data());
        EXPECT_GE(blocks * perblock, frames);
        EXPECT_LT((blocks - 1) * perblock, frames + (c.tag == WAVE_FORMAT_ALAW ? 0 : perblock));
    }
}

TEST_F(AcmWriterTest, ResamplingTargetIsPlainPcmAtTheTargetRate)
{
    // The card runs at 48000 Hz while 44100 Hz is configured.
    TACMWriter w(pcmformat(48000, 1, 16), pcmwaveformat(44100, 1, 16));
    EXPECT_FALSE(w.passthrough());
    w.open(path);
    const auto signal = testsignal(48000 * 2 + 480, 1);  // 2.01 s
    writeblocks(w, signal, 256 * 2);
    w.close();
    const auto file = readfile(path);
    const auto list = chunks(file);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].size, 16u);
    EXPECT_EQ(tWAVEFORMATEX::deserialize(&file[20]).nSamplesPerSec, 44100u);
    EXPECT_EQ(list[1].id, "data");
    EXPECT_EQ(list[1].offset, 44u);
    EXPECT_NEAR(list[1].size / 2.0, 44100 * 2.01, 2.0);
}

// Lets a test make every write beyond `limit` bytes of a file fail, as on a full disk.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t limit)
    {
        oldhandler_ = ::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &old_);
        rlimit r = old_;
        r.rlim_cur = limit;
        ::setrlimit(RLIMIT_FSIZE, &r);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &old_);
        ::signal(SIGXFSZ, oldhandler_);
    }

private:
    rlimit old_{};
    sighandler_t oldhandler_;
};

TEST_F(AcmWriterTest, WriteErrorIsRaisedAndCloseLeavesAConsistentHeader)
{
    const tWAVEFORMATEX fmt = pcmformat(8000, 1, 16);
    TACMWriter w(fmt, pcmwaveformat(8000, 1, 16));
    w.open(path);
    const auto signal = testsignal(8000, 1);
    {
        // Room for the header, two full buffers and an odd part of the third.
        FileSizeLimit limit(44 + 2 * 1600 + 333);
        EXPECT_EQ(w.write(signal.data(), 2 * 1600), 2u * 1600u);
        expectmakererror([&] { w.write(signal.data(), 1600); }, "Failed to write data to file");
        expectmakererror([&] { w.write(signal.data(), 1600); }, "Failed to write data to file");
        w.close();
    }
    const auto file = readfile(path);
    // The partial buffer was cut back to whole frames and the header counts exactly those.
    ASSERT_EQ(file.size(), 44u + 2 * 1600 + 332);
    EXPECT_EQ(le::get32(&file[40]), 2u * 1600 + 332);
    EXPECT_EQ(le::get32(&file[4]), 36u + 2 * 1600 + 332);
}

TEST_F(AcmWriterTest, WriteErrorOfACodecFileKeepsWholeBlocksAndAMatchingFactCount)
{
    const tWAVEFORMATEX fmt = pcmformat(8000, 1, 16);
    const fWaveFormat gsm = *codecmanager().suggest(WAVE_FORMAT_GSM610, fmt);
    TACMWriter w(fmt, gsm);
    w.open(path);
    const std::size_t header = 8 + 12 + 20 + 12 + 8;
    const auto signal = testsignal(8000, 1);
    {
        // Room for 3.5 blocks of 65 bytes: the 100 ms buffer makes 2.5 blocks at a time.
        FileSizeLimit limit(header + 3 * 65 + 30);
        EXPECT_THROW(writeblocks(w, signal, 1600), EMakerError);
        w.close();
    }
    const auto file = readfile(path);
    ASSERT_EQ(file.size(), header + 3 * 65 + 1);  // three blocks and the pad byte
    EXPECT_EQ(le::get32(&file[header - 4]), 3u * 65u);
    EXPECT_EQ(le::get32(&file[header - 12]), 3u * 320u);  // "fact"
    EXPECT_EQ(le::get32(&file[4]), file.size() - 8);
}

TEST_F(AcmWriterTest, WriteErrorOfTheRemainderAtCloseStillCompletesTheHeader)
{
    const tWAVEFORMATEX fmt = pcmformat(8000, 1, 16);
    TACMWriter w(fmt, pcmwaveformat(8000, 1, 16));
    w.open(path);
    const auto signal = testsignal(8000, 1);
    {
        FileSizeLimit limit(44 + 1600 + 100);
        EXPECT_EQ(w.write(signal.data(), 1600 + 500), 1600u);
        expectmakererror([&] { w.close(); }, "Failed to write data to file");
    }
    EXPECT_FALSE(w.isopen());
    const auto file = readfile(path);
    ASSERT_EQ(file.size(), 44u + 1600 + 100);
    EXPECT_EQ(le::get32(&file[40]), 1600u + 100);
    EXPECT_EQ(le::get32(&file[4]), 36u + 1600 + 100);
}

}  // namespace
}  // namespace velk
