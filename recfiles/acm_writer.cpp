#include "recfiles/acm_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "core/byte_order.h"
#include "core/errors.h"
#include "core/unique_fd.h"
#include "recfiles/codec_manager.h"
#include "recfiles/output_names.h"

namespace velk {

namespace {

const char* const kStreamError =
    "Can not open conversion stream. Current codec support only one channel. Please select another codec at "
    "control panel";
const char* const kSourceMemoryError = "Not enougth memory for source buffer";
const char* const kSourceTooSmallError = "Source buffer to small for conversion";
const char* const kDestMemoryError = "Not enougth memory for destination buffer";
const char* const kFormatSizeError = "Unable to get size of format description";
const char* const kHeaderError = "Can not create file header";
const char* const kConvertError = "Can not convert data";
const char* const kWriteError = "Failed to write data to file";
const char* const kDestTooSmallError = "Destination buffer to small for conversion";
const char* const kCorrectHeaderError = "Can not correct file header";

// Writes all of `count` bytes at the current position; returns the bytes that reached the file
// (fewer on an error such as a full disk).
std::size_t writeall(int fd, const std::uint8_t* data, std::size_t count)
{
    std::size_t done = 0;
    errno = 0;
    while (done < count) {
        const ssize_t n = ::write(fd, data + done, count - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

bool pwrite32(int fd, std::uint32_t value, off_t offset)
{
    std::uint8_t bytes[4];
    le::put32(bytes, value);
    ssize_t n;
    do {
        n = ::pwrite(fd, bytes, sizeof bytes, offset);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof bytes);
}

std::uint32_t clamp32(std::uint64_t v)
{
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(v, std::numeric_limits<std::uint32_t>::max()));
}

}  // namespace

struct TACMWriter::State {
    tWAVEFORMATEX source;
    fWaveFormat target;
    bool pass = false;
    bool opened = false;
    // A data write failed: the file holds what was written before; further writes are refused.
    bool failed = false;
    int error = 0;  // errno of the failed write
    std::string path;

    std::unique_ptr<TCodecStream> stream;
    UniqueFd fd;
    std::uint64_t factpos = 0;  // file offset of the "fact" count, 0 without a "fact" chunk
    std::uint64_t datapos = 0;  // file offset of the first data byte
    std::uint64_t datasize = 0;  // bytes in the data chunk so far

    std::vector<std::uint8_t> src;
    std::size_t fill = 0;
    std::vector<std::uint8_t> dst;

    std::uint32_t frames = 0;
    unsigned flags = 0;

    // Header sizes are refreshed with the first data and then every `refreshevery` data bytes
    // (half a second of target audio), so a file cut off by a crash still says how much it holds:
    // all but the last half second, plus the 100 ms still in the source buffer.
    std::uint64_t refreshevery = 0;
    std::uint64_t sincerefresh = 0;

    void createfile();
    void writedata(const std::uint8_t* data, std::size_t count);
    std::size_t flush(bool end);
    std::size_t convert(bool end);
    bool writesizes(bool final);
    void release();
};

void TACMWriter::StateDeleter::operator()(State* s) const { delete s; }

TACMWriter::TACMWriter(const tWAVEFORMATEX& source, const fWaveFormat& target) : state_(new State)
{
    state_->source = source;
    state_->target = target;
    const tWAVEFORMATEX& t = target.fx;
    state_->pass = source.wFormatTag == t.wFormatTag && source.nChannels == t.nChannels &&
                   source.wBitsPerSample == t.wBitsPerSample && source.nSamplesPerSec == t.nSamplesPerSec;
}

TACMWriter::~TACMWriter()
{
    try {
        close();
    } catch (...) {
    }
}

bool TACMWriter::isopen() const { return state_->opened; }
bool TACMWriter::passthrough() const { return state_->pass; }
std::uint32_t TACMWriter::framecount() const { return state_->frames; }
int TACMWriter::lasterror() const { return state_->error; }

void TACMWriter::open(const std::string& path)
{
    State& s = *state_;
    if (s.opened)
        return;
    s.path = path;
    s.frames = 0;
    s.fill = 0;
    s.failed = false;
    s.error = 0;
    s.datasize = 0;
    s.flags = CODEC_CONVERTF_START | CODEC_CONVERTF_BLOCKALIGN;

    // The stream is opened in pass-through too: it is what rejects formats the layer cannot write.
    s.stream = codecmanager().openstream(s.source, s.target);
    if (!s.stream)
        throw EMakerError(kStreamError);
    try {
        const std::size_t block = std::max<std::size_t>(1, s.source.nBlockAlign);
        const std::size_t frames = std::max<std::size_t>(1, (std::size_t{s.source.nSamplesPerSec} * 100 + 500) / 1000);
        try {
            s.src.assign(frames * block, 0);
        } catch (const std::bad_alloc&) {
            throw EMakerError(kSourceMemoryError);
        }
        const std::size_t dstsize = s.stream->destsize(s.src.size());
        if (dstsize == 0)
            throw EMakerError(kSourceTooSmallError);
        if (!s.pass) {
            try {
                s.dst.assign(dstsize, 0);
            } catch (const std::bad_alloc&) {
                throw EMakerError(kDestMemoryError);
            }
        }
        s.refreshevery = std::max<std::uint64_t>(1, s.target.fx.nAvgBytesPerSec / 2);
        s.sincerefresh = s.refreshevery;  // the first data refreshes the header at once
        s.createfile();
    } catch (...) {
        // The file (if this call created it) holds no usable header: it goes again.
        const bool created = static_cast<bool>(s.fd);
        s.release();
        if (created)
            ::unlink(s.path.c_str());
        throw;
    }
    s.opened = true;
}

void TACMWriter::State::createfile()
{
    const std::optional<std::size_t> size = codecmanager().formatsize(target.fx.wFormatTag);
    if (!size)
        throw EMakerError(kFormatSizeError);
    const std::size_t n = std::min(*size, fWaveFormat::size);

    // Exclusive: whatever stands at the path (a file, a link, another recording) is never replaced.
    const int raw = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (raw < 0) {
        error = errno;
        if (errno == EEXIST)
            throw EOutputNameTaken(path);
        throw EMakerError("Can not open file:" + path + "\r\n");
    }
    fd.reset(raw);

    // The whole header goes out in one write: RIFF/WAVE, "fmt " (+ pad), "fact" for codecs, "data".
    std::vector<std::uint8_t> header;
    auto put = [&header](const void* p, std::size_t len) {
        const auto* b = static_cast<const std::uint8_t*>(p);
        header.insert(header.end(), b, b + len);
    };
    auto put32 = [&header](std::uint32_t v) {
        std::uint8_t b[4];
        le::put32(b, v);
        header.insert(header.end(), b, b + 4);
    };
    put("RIFF", 4);
    put32(0);
    put("WAVE", 4);
    put("fmt ", 4);
    put32(static_cast<std::uint32_t>(n));
    const auto fmt = target.serialize();
    put(fmt.data(), n);
    if (n % 2)
        header.push_back(0);
    if (target.fx.wFormatTag != WAVE_FORMAT_PCM) {
        put("fact", 4);
        put32(4);
        factpos = header.size();
        put32(0);
    }
    put("data", 4);
    put32(0);
    datapos = header.size();
    // Sizes of an empty file: valid for every reader until the first data refreshes them.
    le::put32(&header[4], static_cast<std::uint32_t>(header.size() - 8));
    if (writeall(fd.get(), header.data(), header.size()) != header.size()) {
        error = errno != 0 ? errno : ENOSPC;
        throw EMakerError(kHeaderError);
    }
}

// Appends converted (or passed-through) bytes to the data chunk. On a short write the file is cut
// back to whole target blocks, so the header completed by close() matches what the file holds.
void TACMWriter::State::writedata(const std::uint8_t* data, std::size_t count)
{
    const std::size_t done = writeall(fd.get(), data, count);
    if (done != count) {
        // A write that took nothing without an error still means the device is full.
        error = errno != 0 ? errno : ENOSPC;
        failed = true;
        const std::size_t block = std::max<std::size_t>(1, target.fx.nBlockAlign);
        const std::uint64_t whole = (datasize + done) / block * block;
        if (::ftruncate(fd.get(), static_cast<off_t>(datapos + whole)) == 0) {
            datasize = whole;
            ::lseek(fd.get(), static_cast<off_t>(datapos + whole), SEEK_SET);
        } else {
            datasize += done;
        }
        // The "fact" count may not promise more samples than the blocks that reached the file.
        if (factpos) {
            const std::uint64_t perblock = target.fx.cbSize >= 2 ? le::get16(target.ext.data()) : 1;
            frames = static_cast<std::uint32_t>(std::min<std::uint64_t>(frames, datasize / block * perblock));
        }
        throw EMakerError(kWriteError);
    }
    datasize += count;
    sincerefresh += count;
    if (sincerefresh >= refreshevery) {
        sincerefresh = 0;
        writesizes(false);
    }
}

// Writes the RIFF and data sizes (and the "fact" count) into the header. `final` counts the pad
// byte that close() adds after an odd-sized data chunk.
bool TACMWriter::State::writesizes(bool final)
{
    const std::uint64_t pad = final ? datasize % 2 : 0;
    bool ok = pwrite32(fd.get(), clamp32(datapos - 8 + datasize + pad), 4);
    ok = pwrite32(fd.get(), clamp32(datasize), static_cast<off_t>(datapos - 4)) && ok;
    if (factpos)
        ok = pwrite32(fd.get(), frames, static_cast<off_t>(factpos)) && ok;
    return ok;
}

// Writes or converts what the source buffer holds. `end` flushes the stream (at close).
std::size_t TACMWriter::State::flush(bool end)
{
    if (pass) {
        const std::size_t block = std::max<std::size_t>(1, source.nBlockAlign);
        const std::size_t bytes = fill / block * block;
        fill = 0;
        frames += static_cast<std::uint32_t>(bytes / block);
        if (bytes)
            writedata(src.data(), bytes);
        return bytes;
    }
    return convert(end);
}

std::size_t TACMWriter::State::convert(bool end)
{
    std::size_t total = 0;
    unsigned f = flags;
    if (end)
        f = (f | CODEC_CONVERTF_END) & ~CODEC_CONVERTF_BLOCKALIGN;
    TCodecConversion r;
    if (!stream->convert(src.data(), fill, dst.data(), dst.size(), f, r))
        throw EMakerError(kConvertError);
    flags &= ~CODEC_CONVERTF_START;
    if (r.used == 0 && r.produced == 0) {
        if (end)
            return 0;
        throw EMakerError(kDestTooSmallError);
    }
    const std::size_t block = std::max<std::size_t>(1, source.nBlockAlign);
    frames += static_cast<std::uint32_t>(r.used / block);
    std::memmove(src.data(), src.data() + r.used, fill - r.used);
    fill -= r.used;
    if (r.produced) {
        writedata(dst.data(), r.produced);
        total += r.produced;
    }
    return total;
}

std::size_t TACMWriter::write(const std::uint8_t* data, std::size_t count)
{
    State& s = *state_;
    if (!s.opened)
        return 0;
    if (s.failed)
        throw EMakerError(kWriteError);
    std::size_t total = 0;
    while (count > 0) {
        const std::size_t n = std::min(count, s.src.size() - s.fill);
        std::memcpy(s.src.data() + s.fill, data, n);
        s.fill += n;
        data += n;
        count -= n;
        if (s.fill == s.src.size())
            total += s.flush(false);
    }
    return total;
}

void TACMWriter::close()
{
    State& s = *state_;
    if (!s.opened)
        return;
    s.opened = false;

    // What the source buffer still holds (up to 100 ms) belongs in the file too. A failure here is
    // raised after the header has been completed for what did reach the file.
    bool flushfailed = false;
    std::string flusherror;
    if (!s.failed) {
        try {
            if (s.pass) {
                s.flush(true);
            } else {
                // The end-of-stream conversion may hand its output over in several pieces.
                for (int i = 0; i < 64; ++i) {
                    const std::size_t before = s.fill;
                    if (s.convert(true) == 0 && s.fill == before)
                        break;
                }
            }
        } catch (const EMakerError& e) {
            flushfailed = true;
            flusherror = e.what();
        }
    }

    // An odd-sized data chunk gets its pad byte. On a full disk the pad may not fit; the sizes then
    // leave it out, which every reader accepts at the end of a file.
    bool padded = true;
    if (s.datasize % 2) {
        const std::uint8_t pad = 0;
        padded = ::pwrite(s.fd.get(), &pad, 1, static_cast<off_t>(s.datapos + s.datasize)) == 1;
    }
    bool ok = s.writesizes(padded);
    ok = s.fd.reset() == 0 && ok;
    s.release();
    if (!ok)
        throw EMakerError(kCorrectHeaderError);
    if (flushfailed)
        throw EMakerError(flusherror);
}

void TACMWriter::State::release()
{
    stream.reset();
    fd.reset();
    std::vector<std::uint8_t>().swap(src);
    std::vector<std::uint8_t>().swap(dst);
    fill = 0;
}

}  // namespace velk
