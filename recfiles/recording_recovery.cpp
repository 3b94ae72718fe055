#include "recfiles/recording_recovery.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_set>

#include "services/status_log.h"
#include "core/byte_order.h"
#include "core/errors.h"
#include "core/rec_descriptor.h"
#include "core/unique_fd.h"
#include "core/wave_format.h"
#include "platform/named_lock.h"
#include "platform/paths.h"
#include "recfiles/descriptor_files.h"

namespace velk {

namespace {

constexpr const char* partsuffix = ".part";
constexpr double secondsperday = 86400.0;

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};

bool endswith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

bool isregular(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string withoutslash(std::string folder)
{
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    return folder;
}

// Collects the descriptors and the descriptor leftovers below `folder`, without following links.
void walk(const std::string& folder, std::vector<std::string>& descriptors, std::vector<std::string>& parts, int depth)
{
    // The tree is year/month/day; anything far deeper is not the recorder's.
    if (depth > 16)
        return;
    std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
    if (!dir)
        return;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string path = folder + "/" + name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
            walk(path, descriptors, parts, depth + 1);
        else if (!S_ISREG(st.st_mode))
            continue;
        else if (endswith(name, ".velk"))
            descriptors.push_back(path);
        else if (endswith(name, std::string(".velk") + partsuffix))
            parts.push_back(path);
    }
}

// Where the parts of a WAV file this recorder wrote are.
struct WavLayout {
    std::uint16_t tag = 0;
    std::uint16_t channels = 0;
    std::uint16_t blockalign = 0;
    std::uint16_t bits = 0;
    std::uint32_t rate = 0;
    std::uint64_t factpos = 0;  // 0 without a "fact" chunk
    std::uint64_t datapos = 0;  // first data byte
};

// Reads the chunk headers in front of the data: RIFF/WAVE, "fmt ", optionally "fact", "data".
std::optional<WavLayout> readlayout(int fd, std::string& error)
{
    std::array<std::uint8_t, 1024> head{};
    ssize_t n;
    do {
        n = ::pread(fd, head.data(), head.size(), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        error = systemerrortext(errno);
        return std::nullopt;
    }
    const auto size = static_cast<std::size_t>(n);
    if (size < 12 || std::memcmp(head.data(), "RIFF", 4) != 0 || std::memcmp(head.data() + 8, "WAVE", 4) != 0) {
        error = "no WAV header";
        return std::nullopt;
    }
    WavLayout w;
    bool fmt = false;
    std::size_t pos = 12;
    while (pos + 8 <= size) {
        const std::uint8_t* chunk = head.data() + pos;
        const std::uint32_t length = le::get32(chunk + 4);
        if (std::memcmp(chunk, "data", 4) == 0) {
            w.datapos = pos + 8;
            break;
        }
        if (std::memcmp(chunk, "fmt ", 4) == 0 && length >= 16 && pos + 8 + 16 <= size) {
            w.tag = le::get16(chunk + 8);
            w.channels = le::get16(chunk + 10);
            w.rate = le::get32(chunk + 12);
            w.blockalign = le::get16(chunk + 20);
            w.bits = le::get16(chunk + 22);
            fmt = true;
        } else if (std::memcmp(chunk, "fact", 4) == 0 && length >= 4) {
            w.factpos = pos + 8;
        }
        pos += 8 + std::size_t{length} + (length & 1);
    }
    if (!fmt || w.datapos == 0 || w.channels == 0 || w.rate == 0 || w.blockalign == 0) {
        error = "damaged WAV header";
        return std::nullopt;
    }
    return w;
}

bool pwrite32(int fd, std::uint32_t value, std::uint64_t offset)
{
    std::uint8_t bytes[4];
    le::put32(bytes, value);
    ssize_t n;
    do {
        n = ::pwrite(fd, bytes, sizeof bytes, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof bytes);
}

// Opens an audio file for repair: a regular file, never through a link, never blocking.
UniqueFd openaudio(const std::string& path, int flags)
{
    UniqueFd fd(::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd)
        return fd;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return UniqueFd();
    }
    return fd;
}

}  // namespace

RecordingRecovery::RecordingRecovery(std::string datafolder, std::vector<std::string> outputfolders, bool normalize)
    : datafolder_(withoutslash(std::move(datafolder))), normalize_(normalize)
{
    for (auto& f : outputfolders) {
        std::string folder = withoutslash(std::move(f));
        // Only absolute folders: a relative one would mean wherever the program was started.
        if (folder.size() > 1 && folder[0] == '/' &&
            std::find(outputfolders_.begin(), outputfolders_.end(), folder) == outputfolders_.end())
            outputfolders_.push_back(std::move(folder));
    }
}

// True when `path` lies below one of the output folders, through real folders only, and names
// nothing with "." or ".." in its way.
bool RecordingRecovery::ownaudio(const std::string& path) const
{
    if (path.empty() || path[0] != '/' || path.find("//") != std::string::npos || path.find("/./") != std::string::npos ||
        path.find("/../") != std::string::npos || endswith(path, "/.") || endswith(path, "/.."))
        return false;
    for (const std::string& folder : outputfolders_) {
        if (path.size() <= folder.size() + 1 || path.compare(0, folder.size(), folder) != 0 || path[folder.size()] != '/')
            continue;
        std::size_t pos = folder.size() + 1;
        bool real = true;
        for (std::size_t slash; real && (slash = path.find('/', pos)) != std::string::npos; pos = slash + 1) {
            struct stat st {};
            real = ::lstat(path.substr(0, slash).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        }
        if (real)
            return true;
    }
    return false;
}

void RecordingRecovery::removeleftover(const std::string& path, const std::string& why)
{
    if (!isregular(path))
        return;
    if (::unlink(path.c_str()) == 0)
        addlog("Removed leftover file: " + path + " (" + why + ")");
    else
        addlog("Could not remove leftover file: " + path + ": " + systemerrortext(errno));
}

std::vector<std::string> RecordingRecovery::run()
{
    repaired_ = 0;
    std::vector<std::string> descriptors;
    std::vector<std::string> parts;
    walk(datafolder_, descriptors, parts, 0);
    for (const std::string& part : parts)
        restorepart(part, descriptors);
    std::sort(descriptors.begin(), descriptors.end());
    descriptors.erase(std::unique(descriptors.begin(), descriptors.end()), descriptors.end());

    std::vector<std::string> waiting;
    // Audio paths every descriptor names (hashed), so no MP3 that some recording owns is taken
    // for the partial output of another one with the same name.
    std::unordered_set<std::size_t> named;
    std::vector<std::string> mp3s;
    for (const std::string& path : descriptors) {
        TRecDescriptor d;
        if (!readdescriptor(path, d))
            continue;  // the read has logged why
        if (d.state == DESC_RECORDING)
            repair(path, d);
        const std::string audio = d.getpath();
        named.insert(std::hash<std::string>{}(audio));
        if (d.state == DESC_WAITING && d.codec == 0 && codecwavdone(path, d))
            continue;
        if (d.state != DESC_WAITING && d.state != DESC_FAILED)
            continue;
        // The recorded WAV is safe at its path; what an interrupted conversion wrote beside it
        // is not needed any more.
        if (ownaudio(audio) && isregular(audio)) {
            removeleftover(withextension(audio, ".wave"), "an interrupted conversion");
            if (d.codec == 1)
                mp3s.push_back(withextension(audio, ".mp3"));
        }
        if (d.state == DESC_WAITING)
            waiting.push_back(path);
    }
    for (const std::string& mp3 : mp3s)
        if (!named.count(std::hash<std::string>{}(mp3)))
            removeleftover(mp3, "an interrupted conversion");
    return waiting;
}

// A ".velk.part" is the new version of a descriptor whose write was cut off. When the descriptor
// itself is missing and the part holds a whole record, the part is that descriptor; otherwise
// the descriptor in place is the valid one and the part goes.
void RecordingRecovery::restorepart(const std::string& part, std::vector<std::string>& descriptors)
{
    const std::string path = part.substr(0, part.size() - std::string(partsuffix).size());
    // A writer holds the descriptor's lock for as long as its part exists.
    std::optional<NamedLock> lock;
    try {
        lock = NamedLock::tryacquire(barename(path));
    } catch (const EVelkError&) {
    }
    if (!lock)
        return;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT) {
        UniqueFd fd(::open(part.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        TRecDescriptor::Bytes bytes{};
        ssize_t n = -1;
        if (fd)
            n = ::read(fd.get(), bytes.data(), bytes.size());
        std::uint8_t extra;
        const bool whole = fd && n == static_cast<ssize_t>(bytes.size()) && ::read(fd.get(), &extra, 1) == 0 &&
                           validdescriptor(TRecDescriptor::deserialize(bytes));
        fd.reset();
        if (whole && ::rename(part.c_str(), path.c_str()) == 0) {
            addlog("Restored descriptor: " + path);
            descriptors.push_back(path);
            return;
        }
    }
    removeleftover(part, "an interrupted descriptor write");
}

// Sets the WAV header of an unfinished recording from the file's length, and the descriptor's
// stop time from the audio it holds.
void RecordingRecovery::repair(const std::string& path, TRecDescriptor& d)
{
    const std::string audio = d.getpath();
    const std::string name = stemof(audio);
    if (!ownaudio(audio)) {
        addlog("Recovery: not repaired, the audio file lies outside the output folders: " + audio);
        return;
    }
    UniqueFd fd = openaudio(audio, O_RDWR);
    if (!fd && errno == ENOENT) {
        // The run ended between the descriptor and the audio file: there is no recording.
        deletedescriptor(path);
        addlog("Recovery: " + name + " has no audio file, its descriptor was removed");
        return;
    }
    if (!fd) {
        addlog("Recovery: cannot open " + audio + ": " + systemerrortext(errno));
        return;
    }
    struct stat st {};
    ::fstat(fd.get(), &st);
    // Created but ended before its header, or before one whole frame (killed as a split opened
    // it): there is nothing to keep, and several readers refuse a WAV without audio.
    const auto dropempty = [&] {
        fd.reset();
        ::unlink(audio.c_str());
        deletedescriptor(path);
        addlog("Recovery: " + name + " has no audio, its empty file and descriptor were removed");
    };
    if (st.st_size == 0) {
        dropempty();
        return;
    }
    std::string error;
    const std::optional<WavLayout> layout = readlayout(fd.get(), error);
    if (!layout || layout->tag != WAVE_FORMAT_PCM) {
        addlog("Recovery: cannot repair " + audio + ": " + (layout ? std::string("not PCM") : error));
        return;
    }
    const std::uint64_t length = static_cast<std::uint64_t>(st.st_size);
    const std::uint64_t data = length > layout->datapos ? (length - layout->datapos) / layout->blockalign * layout->blockalign : 0;
    if (data == 0) {
        dropempty();
        return;
    }
    // A frame cut in half at the end is of no use to anyone.
    if (layout->datapos + data < length && ::ftruncate(fd.get(), static_cast<off_t>(layout->datapos + data)) != 0) {
        addlog("Recovery: cannot repair " + audio + ": " + systemerrortext(errno));
        return;
    }
    const std::uint64_t limit = 0xFFFFFFFFull - layout->datapos;
    const auto datasize = static_cast<std::uint32_t>(std::min(data, limit));
    if (!pwrite32(fd.get(), static_cast<std::uint32_t>(layout->datapos - 8 + datasize), 4) ||
        !pwrite32(fd.get(), datasize, layout->datapos - 4)) {
        addlog("Recovery: cannot repair " + audio + ": " + systemerrortext(errno));
        return;
    }
    fd.reset();

    const std::uint64_t frames = data / layout->blockalign;
    const double seconds = static_cast<double>(frames) / layout->rate;
    d.stop = d.start + seconds / secondsperday;
    const tWAVEFORMATEX& f = d.format.fx;
    const bool final = d.codec == 0 && f.wFormatTag == WAVE_FORMAT_PCM && f.nSamplesPerSec == layout->rate &&
                       f.nChannels == layout->channels && f.wBitsPerSample == 16 && !normalize_;
    d.state = final ? DESC_FINAL : DESC_WAITING;
    d.reserved = 0;
    writedescriptor(path, d);
    ++repaired_;
    addlog("Recovered recording: " + name + ", " + std::to_string(static_cast<std::int64_t>(seconds)) + " s" +
           (final ? "" : ", queued for compression"));
}

// A codec conversion puts the converted file in place of the recording before it rewrites the
// descriptor; a run that ended in between leaves a state-2 descriptor naming a file that already
// holds the target codec. That conversion is done: the descriptor becomes final.
bool RecordingRecovery::codecwavdone(const std::string& path, TRecDescriptor& d)
{
    const std::string audio = d.getpath();
    const std::uint16_t target = d.format.fx.wFormatTag;
    if (target == WAVE_FORMAT_PCM || !ownaudio(audio))
        return false;
    UniqueFd fd = openaudio(audio, O_RDONLY);
    if (!fd)
        return false;
    std::string error;
    const std::optional<WavLayout> layout = readlayout(fd.get(), error);
    if (!layout || layout->tag != target)
        return false;
    d.state = DESC_FINAL;
    writedescriptor(path, d);
    addlog("Recovered compression: " + stemof(audio));
    return true;
}

}  // namespace velk
