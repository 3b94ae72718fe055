#pragma once
// TACMWriter: writes one RIFF WAVE file from a stream of PCM blocks, either copying them through
// (source and target are the same PCM) or converting them through the codec layer (another rate,
// channel count or a codec format).
//
// Data reach the file in whole buffers of 100 ms of source audio. A pass-through writer may be told
// to gather more per write (setgather): its first second still goes out in 100 ms writes, the
// later writes each carry the gathered time. The header's sizes are brought up to date with the first
// data and then at least every half second of audio (with the write that crosses it), in one
// write of the header, so a file cut off by a crash says how much it holds.
//
// Threads: one thread at a time per object (the capture path while recording, the compression
// thread while compressing). write() allocates nothing after open().

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/wave_format.h"

namespace velk {

class TACMWriter {
public:
    // Copies both formats and decides pass-through. Opens nothing.
    TACMWriter(const tWAVEFORMATEX& source, const fWaveFormat& target);
    // Closes an open file (errors are swallowed; call close() to see them).
    ~TACMWriter();
    TACMWriter(const TACMWriter&) = delete;
    TACMWriter& operator=(const TACMWriter&) = delete;

    // Pass-through only, before open(): once the file holds a second, audio goes to it in writes of
    // `milliseconds` (rounded to frames; at least 100). Ignored when converting.
    void setgather(std::uint32_t milliseconds);
    // Opens the conversion stream and the buffers and creates the file with its header. The file
    // must not exist yet: a name already taken is never replaced (EOutputNameTaken). A file
    // created here and left unfinished by a failure is removed again. Does nothing if already
    // open. Throws EMakerError.
    void open(const std::string& path);
    // Appends `count` bytes of source-format PCM; returns the bytes this call wrote to the file.
    // Does nothing when not open. Throws EMakerError.
    std::size_t write(const std::uint8_t* data, std::size_t count);
    // Writes what is still buffered, completes the header and releases everything. Does nothing
    // when not open. Throws EMakerError "Can not correct file header".
    void close();

    bool isopen() const;
    bool passthrough() const;
    // Source frames consumed so far.
    std::uint32_t framecount() const;
    // The errno of the last failed file write (0 when none failed), e.g. ENOSPC on a full disk.
    int lasterror() const;

private:
    struct State;
    struct StateDeleter {
        void operator()(State*) const;
    };
    std::unique_ptr<State, StateDeleter> state_;
};

}  // namespace velk
