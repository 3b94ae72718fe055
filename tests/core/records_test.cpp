// The stored binary records: WAVEFORMATEX, fWaveFormat and the recording descriptor.
#include <gtest/gtest.h>

#include <numeric>
#include <string>

#include "core/byte_order.h"
#include "core/rec_descriptor.h"
#include "core/wave_format.h"

namespace velk {
namespace {

TEST(WaveFormat, PcmHeaderRule)
{
    const tWAVEFORMATEX f = pcmformat(44100, 2, 16);
    EXPECT_EQ(f.wFormatTag, 1);
    EXPECT_EQ(f.nChannels, 2);
    EXPECT_EQ(f.nSamplesPerSec, 44100u);
    EXPECT_EQ(f.nBlockAlign, 4);
    EXPECT_EQ(f.nAvgBytesPerSec, 176400u);
    EXPECT_EQ(f.wBitsPerSample, 16);
    EXPECT_EQ(f.cbSize, 0);
    EXPECT_EQ(pcmformat(8000, 1, 8).nAvgBytesPerSec, 8000u);
}

TEST(WaveFormat, SerialisesPackedLittleEndianAnd531Bytes)
{
    fWaveFormat f = pcmwaveformat(44100, 1, 16);
    f.ext[0] = 0xAB;
    f.ext[512] = 0xCD;
    const auto bytes = f.serialize();
    ASSERT_EQ(bytes.size(), 531u);
    const std::uint8_t header[18] = {1, 0, 1, 0, 0x44, 0xAC, 0, 0, 0x88, 0x58, 0x01, 0, 2, 0, 16, 0, 0, 0};
    EXPECT_TRUE(std::equal(std::begin(header), std::end(header), bytes.begin()));
    EXPECT_EQ(bytes[18], 0xAB);
    EXPECT_EQ(bytes[530], 0xCD);
    EXPECT_EQ(fWaveFormat::deserialize(bytes), f);
}

TEST(WaveFormat, ShortInputKeepsTheRestOfTheBase)
{
    const fWaveFormat base = pcmwaveformat(44100, 1, 16);
    const std::uint8_t prefix[4] = {0x11, 0x00, 0x02, 0x00};  // IMA ADPCM, stereo
    const fWaveFormat f = fWaveFormat::deserialize(prefix, base);
    EXPECT_EQ(f.fx.wFormatTag, 0x11);
    EXPECT_EQ(f.fx.nChannels, 2);
    EXPECT_EQ(f.fx.nSamplesPerSec, 44100u);
}

TEST(WaveFormat, UsableRejectsFormatsThatWouldIndexOutOfRange)
{
    EXPECT_TRUE(pcmwaveformat(8000, 1, 16).isusable());
    fWaveFormat f = pcmwaveformat(8000, 1, 16);
    f.fx.cbSize = 514;
    EXPECT_FALSE(f.isusable());
    f = pcmwaveformat(8000, 0, 16);
    EXPECT_FALSE(f.isusable());
    f = pcmwaveformat(0, 1, 16);
    EXPECT_FALSE(f.isusable());
    f = pcmwaveformat(8000, 1, 12);
    EXPECT_FALSE(f.isusable());
}

TRecDescriptor sampledescriptor()
{
    TRecDescriptor d;
    d.start = 45356.379884259;
    d.stop = 45356.400717593;
    d.peak = 32767;
    d.state = DESC_WAITING;
    d.codec = 1;
    d.setname("Studio A");
    d.setpath("/rec/2024-03-05-09-07-02-Studio A.wav");
    d.samplerate = 44100;
    d.format = pcmwaveformat(22050, 1, 16);
    d.mp3mode = 2;
    d.vbrmax = 13;
    d.bitrate = 5;
    d.avgbitrate = 7;
    d.vbrquality = 9;
    d.mp3crc = 1;
    return d;
}

TEST(RecDescriptor, FieldsSitAtTheirStoredOffsets)
{
    const TRecDescriptor d = sampledescriptor();
    const auto b = d.serialize();
    ASSERT_EQ(b.size(), 1372u);
    EXPECT_EQ(le::geti32(&b[0]), 2);
    EXPECT_EQ(le::getf64(&b[4]), d.start);
    EXPECT_EQ(le::getf64(&b[12]), d.stop);
    EXPECT_EQ(le::geti32(&b[20]), 32767);
    EXPECT_EQ(le::geti32(&b[24]), 2);
    EXPECT_EQ(le::geti32(&b[28]), 1);
    EXPECT_EQ(le::get16(&b[32]), u'S');
    EXPECT_EQ(le::get16(&b[32 + 2 * 8]), 0);  // NUL after "Studio A"
    EXPECT_EQ(le::get16(&b[290]), u'/');
    EXPECT_EQ(le::geti32(&b[812]), 44100);
    EXPECT_EQ(le::get32(&b[816 + 4]), 22050u);
    EXPECT_EQ(le::geti32(&b[1347]), 2);
    EXPECT_EQ(le::geti32(&b[1351]), 13);
    EXPECT_EQ(le::geti32(&b[1355]), 5);
    EXPECT_EQ(le::geti32(&b[1359]), 7);
    EXPECT_EQ(le::geti32(&b[1363]), 9);
    EXPECT_EQ(b[1367], 1);
    EXPECT_EQ(le::geti32(&b[1368]), 0);
}

TEST(RecDescriptor, RoundTripIsByteIdentical)
{
    // Arbitrary bytes everywhere (also after the texts' NULs) survive a read and a write.
    TRecDescriptor::Bytes raw{};
    for (std::size_t i = 0; i < raw.size(); ++i)
        raw[i] = static_cast<std::uint8_t>(i * 7 + 3);
    const TRecDescriptor d = TRecDescriptor::deserialize(raw);
    EXPECT_EQ(d.serialize(), raw);
}

TEST(RecDescriptor, NamesAreCutTo128UnitsWithTheirNul)
{
    TRecDescriptor d;
    const std::string exact(128, 'x');
    d.setname(exact);
    EXPECT_EQ(d.getname(), exact);
    EXPECT_EQ(d.name[128], 0);
    d.setname(std::string(200, 'y'));
    EXPECT_EQ(d.getname(), std::string(128, 'y'));
    // A character outside the basic plane is never cut in half.
    d.setname(std::string(127, 'z') + "\xF0\x9F\x8E\xA4");
    EXPECT_EQ(d.getname(), std::string(127, 'z'));
    d.setname("Kanal \xC3\xA4\xE2\x82\xAC");
    EXPECT_EQ(d.getname(), "Kanal \xC3\xA4\xE2\x82\xAC");
}

TEST(RecDescriptor, PathFitsOnlyUpTo260Units)
{
    EXPECT_TRUE(TRecDescriptor::pathfits(std::string(260, 'p')));
    EXPECT_FALSE(TRecDescriptor::pathfits(std::string(261, 'p')));
    EXPECT_TRUE(validdescriptor(sampledescriptor()));
    TRecDescriptor d = sampledescriptor();
    d.samplerate = 0;
    EXPECT_FALSE(validdescriptor(d));
}

}  // namespace
}  // namespace velk
