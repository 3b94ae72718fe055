#pragma once
// MP3writer: encodes 16-bit interleaved PCM into an MP3 file with libmp3lame. The compression
// thread creates one writer per conversion, feeds it the recorded WAV piece by piece and finishes
// it; the settings come from the recording's descriptor.
//
// Threads: one thread at a time (the compression thread).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/unique_fd.h"

namespace velk {

// The six MP3 settings of a descriptor (and of the configuration).
struct MP3Settings {
    std::int32_t mp3mode = 0;     // 0 CBR, 1 VBR, 2 ABR
    std::int32_t vbrmax = 0;      // index of the maximum bitrate
    std::int32_t bitrate = 5;     // index of the CBR bitrate, or the VBR/ABR minimum
    std::int32_t avgbitrate = 5;  // index of the ABR target bitrate
    std::int32_t vbrquality = 5;  // 0..9; 9 is the encoder's best VBR quality
    bool mp3crc = false;          // CRC-protected frames
};

// Kilobits per second of a stored bitrate index, by the configured sample rate in Hz: the MPEG-1
// list for 32000..48000, the MPEG-2 list for 16000 and 22050, the MPEG-2 list from its third entry
// for 8000 and 11025, and 128 for any other rate. Indexes beyond a list take its nearest end.
int mp3bitratekbps(int configuredrate, int index);

// How the settings reach the encoder (kept apart so the mapping can be checked on its own).
struct MP3EncoderSetup {
    int samplerate = 0;      // Hz, input and output (the rate fixes the MPEG version)
    int channels = 0;        // 1 mono, 2 plain stereo (never joint stereo)
    int mpegversion = 1;     // 1 MPEG-1 (rate >= 32000), 0 MPEG-2 (and 2.5)
    int mode = 0;            // 0 CBR, 1 VBR, 2 ABR
    int bitratekbps = 0;     // CBR bitrate, VBR/ABR minimum
    int maxbitratekbps = 0;  // VBR/ABR maximum
    int abrbps = 0;          // ABR target in bit/s; 0 otherwise
    int vbrquality = 0;      // encoder scale: 0 best .. 9
    bool crc = false;
    bool original = true;
    bool vbrheader = false;  // VBR only: the encoder's own first frame
    int quality = 5;         // the encoder's algorithm quality
};
MP3EncoderSetup mp3setup(const MP3Settings& settings, int configuredrate, int rate, int channels);

class MP3writer {
public:
    // Starts the encoder for `rate` Hz and `channels` channels with `settings`, taking the
    // bitrate table of `configuredrate` (Hz), and creates the output file at `path` with its
    // extension set to ".mp3". The file must not exist yet (a name already taken is never
    // replaced: EOutputNameTaken). Never throws for encoder trouble: ready() tells. Throws
    // EMakerError "Can not open file:" + path when the file cannot be created.
    MP3writer(const std::string& path, const MP3Settings& settings, int configuredrate, int rate, int channels);
    // Flushes and closes an unfinished writer quietly (errors are lost; call finish() to see them).
    ~MP3writer();
    MP3writer(const MP3writer&) = delete;
    MP3writer& operator=(const MP3writer&) = delete;

    bool ready() const { return encoder_ != nullptr; }
    const std::string& path() const { return path_; }

    // Encodes `count` bytes of 16-bit interleaved PCM (a trailing partial frame is dropped) and
    // writes what the encoder produced. When the encoder fails on the piece, nothing is written
    // for it and it is counted (failedpieces(), lastresult()); encoding goes on with the next one.
    // Throws EMakerError when the file cannot take the bytes; the file then stays incomplete.
    void encode(const std::uint8_t* data, std::size_t count);
    // Flushes the encoder, writes its final frames, flushes the file to the disk and closes it.
    // Throws EMakerError on any failure.
    void finish();

    // Frames of `channels` samples handed to the encoder, and MP3 bytes written to the file.
    std::uint64_t framesin() const { return framesin_; }
    std::uint64_t byteswritten() const { return written_; }
    // Pieces the encoder failed on, the frames they held, and the encoder's last error result.
    std::uint64_t failedpieces() const { return failedpieces_; }
    std::uint64_t framesfailed() const { return framesfailed_; }
    int lastresult() const { return lastresult_; }

    // Tests: a piece (counted from 0) for which this returns true fails as if the encoder had
    // reported an error, without reaching it.
    std::function<bool(std::uint64_t piece)> failpiece;
    // Samples per channel the MP3 file holds once finished (whole MP3 frames, encoder delay and
    // padding included); at least framesin() for a complete file.
    std::uint64_t framesout() const;

private:
    struct Encoder;
    struct EncoderDeleter {
        void operator()(Encoder*) const;
    };
    void writeout(std::size_t count);

    std::string path_;
    int channels_ = 0;
    std::unique_ptr<Encoder, EncoderDeleter> encoder_;
    UniqueFd file_;
    std::vector<unsigned char> buffer_;
    std::uint64_t framesin_ = 0;
    std::uint64_t written_ = 0;
    std::uint64_t pieces_ = 0;
    std::uint64_t failedpieces_ = 0;
    std::uint64_t framesfailed_ = 0;
    int lastresult_ = 0;
    bool finished_ = false;
};

}  // namespace velk
