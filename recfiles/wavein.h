#pragma once
// TWavein: reads a recorded 16-bit PCM WAV for the compression. The format comes from the fixed
// places of the canonical 44-byte header, and the audio runs from byte 44 to the end of the file:
// chunk sizes are not looked at, so a file whose header was never completed (the recording was
// interrupted) still reads whole.
//
// Threads: one thread at a time (the compression thread).

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/unique_fd.h"
#include "core/wave_format.h"

namespace velk {

class TWavein {
public:
    static constexpr std::size_t headersize = 44;

    // Opens `path` and reads its header; ok() tells whether it can be read as 16-bit PCM.
    explicit TWavein(const std::string& path);

    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    // The PCM header built from the file's channel count, rate and bits per sample.
    const tWAVEFORMATEX& getformat() const { return format_; }
    // The format tag the file's header states (1 for PCM).
    std::uint16_t formattag() const { return tag_; }
    // Bytes of audio after the header (the file's length less 44).
    std::uint64_t datalength() const { return datalength_; }

    // Reads up to `count` bytes of audio (fewer only at the end of the file); 0 at the end.
    // Throws EOSError when the file cannot be read.
    std::size_t readdata(std::uint8_t* buffer, std::size_t count);

private:
    UniqueFd fd_;
    tWAVEFORMATEX format_;
    std::uint16_t tag_ = 0;
    std::uint64_t datalength_ = 0;
    bool ok_ = false;
    std::string error_;
};

}  // namespace velk
