#include "recfiles/wavein.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/byte_order.h"
#include "core/errors.h"
#include "platform/file_io.h"

namespace velk {

TWavein::TWavein(const std::string& path)
{
    // Only a regular file: a FIFO would block the compression thread in the open for ever.
    int err = 0;
    fd_ = openregularfile(path, err, true);
    if (!fd_) {
        error_ = err == notregularfile || err == ELOOP ? "WaveIn: not a regular file: " + path : systemerrortext(err);
        return;
    }
    const int fd = fd_.get();
    std::uint8_t header[headersize] = {};
    std::size_t got = 0;
    while (got < headersize) {
        const ssize_t n = ::read(fd, header + got, headersize - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error_ = systemerrortext(errno);
            return;
        }
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && static_cast<std::uint64_t>(st.st_size) > headersize)
        datalength_ = static_cast<std::uint64_t>(st.st_size) - headersize;

    tag_ = le::get16(header + 20);
    const std::uint16_t channels = le::get16(header + 22);
    const std::uint32_t rate = le::get32(header + 24);
    const std::uint16_t bits = le::get16(header + 34);
    if (channels == 0 || rate == 0) {
        error_ = "WaveIn: wrong header, channels: " + std::to_string(channels) +
                 " Sampling rate: " + std::to_string(rate);
        return;
    }
    // Only 16-bit PCM is read as such. Anything else (a codec WAV left by a conversion whose
    // descriptor update was cut off, a foreign file) would be turned into noise.
    if (tag_ != WAVE_FORMAT_PCM || bits != 16) {
        error_ = "WaveIn: not a 16-bit PCM file, format: " + std::to_string(tag_) + " bits: " + std::to_string(bits);
        return;
    }
    format_ = pcmformat(rate, channels, bits);
    ok_ = true;
}

std::size_t TWavein::readdata(std::uint8_t* buffer, std::size_t count)
{
    if (!fd_)
        return 0;
    std::size_t got = 0;
    while (got < count) {
        const ssize_t n = ::read(fd_.get(), buffer + got, count - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw EOSError(errno);
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}

}  // namespace velk
