// JACK benchmark: the recorder's capture path through a real JACK server, beside jack_capture on
// the same ports in the same run. The benchmark starts its own JACK server (dummy backend,
// 48 kHz, 256-frame periods, N capture ports) under a private server name, so no user's server
// is touched. For each N it records, in turn and interleaved over the repetitions:
//
//   VELK          a child process (this program with --recorder) that records every capture
//                 port as its own mono 16-bit WAV series as the program does: the JACK driver,
//                 the driver host, the capture session with its storage thread, one manual
//                 channel per port with its writer, descriptors into a temporary data folder,
//                 the main-thread queue drained by a poll loop;
//   jack_capture  one process writing one interleaved 16-bit file of the same ports (when it is
//                 installed: scripts/bench-setup.sh).
//
// Both are measured the same way from outside, over the same window (from the moment every port
// is connected, for the set time): CPU time of the recorder process from /proc (all its threads),
// that as a share of one core and per channel-second, peak memory (VmHWM), the server's xruns in
// the window (counted by an inactive monitor client of this process) and, for VELK, the buffers
// its card lost and how the files' lengths compare with the time recorded. The JACK server's own
// CPU time in the window is shown beside them. The summary gives the ratios VELK / jack_capture.
//
// Usage: jack_bench [--seconds S (10)] [--channels 8,64,256] [--reps R (1)] [--folder F (/tmp)]
//                   [--threads] [--no-jack-capture] [--keep]
// Goals: 64 channels at most 0.8 of jack_capture's CPU time; 256 channels at most 5 % of one
// core, no xrun, no buffer lost; every file as long as the recording within one period.

#include <fcntl.h>
#include <jack/jack.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"
#include "config/recording_settings.h"
#include "core/main_thread_queue.h"
#include "engine/capture_session.h"
#include "engine/channel.h"
#include "engine/driver_list.h"
#include "engine/jack_driver.h"
#include "recfiles/descriptor_files.h"

extern char** environ;

using namespace velk;
namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

namespace {

constexpr int rate = 48000;
constexpr int period = 256;

double since(Steady::time_point t) { return std::chrono::duration<double>(Steady::now() - t).count(); }

// --- WAV files ---

// Frames in the data chunk of a WAV file: the bytes after the "data" chunk's header (what the file
// really holds, whatever its header says) over the block alignment. -1 when it is no WAV.
long long wavframes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    char riff[12];
    if (!in.read(riff, 12) || std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0)
        return -1;
    int align = 0;
    for (;;) {
        char head[8];
        if (!in.read(head, 8))
            return -1;
        std::uint32_t size = 0;
        std::memcpy(&size, head + 4, 4);
        if (std::memcmp(head, "fmt ", 4) == 0) {
            std::vector<char> fmt(size);
            if (!in.read(fmt.data(), size) || size < 14)
                return -1;
            std::uint16_t a = 0;
            std::memcpy(&a, fmt.data() + 12, 2);
            align = a;
            if (size % 2)
                in.ignore(1);
        } else if (std::memcmp(head, "data", 4) == 0) {
            if (align <= 0)
                return -1;
            const auto offset = static_cast<long long>(in.tellg());
            return (static_cast<long long>(fs::file_size(path)) - offset) / align;
        } else {
            in.ignore(size + size % 2);
        }
    }
}

// --- /proc ---

struct ProcSample {
    double cpu = 0;                          // seconds, all threads (schedstat), 0 when gone
    std::map<int, std::pair<std::string, double>> threads;  // tid -> name, seconds
};

std::string readfile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

ProcSample sample(pid_t pid)
{
    ProcSample s;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(tasks, ec)) {
        const std::string stat = readfile(e.path().string() + "/schedstat");
        if (stat.empty())
            continue;
        const double seconds = std::strtod(stat.c_str(), nullptr) / 1e9;
        std::string name = readfile(e.path().string() + "/comm");
        while (!name.empty() && name.back() == '\n')
            name.pop_back();
        // What the thread is, from how it is scheduled: the recorder's storage thread runs one step
        // above normal priority, JACK's process thread in a real-time class where the system
        // grants one.
        const std::string st = readfile(e.path().string() + "/stat");
        if (const auto close = st.rfind(')'); close != std::string::npos) {
            std::istringstream fields(st.substr(close + 2));
            std::vector<std::string> f;
            for (std::string x; fields >> x;)
                f.push_back(x);
            // f[0] is field 3 (state): nice is field 19, policy field 41.
            const int nice = f.size() > 16 ? std::atoi(f[16].c_str()) : 0;
            const int policy = f.size() > 38 ? std::atoi(f[38].c_str()) : 0;
            if (std::atoi(e.path().filename().c_str()) == pid)
                name += " main";
            else if (policy == SCHED_FIFO || policy == SCHED_RR)
                name += " real-time";
            else if (nice < 0)
                name += " raised";
        }
        s.threads[std::atoi(e.path().filename().c_str())] = {name, seconds};
        s.cpu += seconds;
    }
    return s;
}

double peakmegabytes(pid_t pid)
{
    std::istringstream in(readfile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
    return 0;
}

// --- child processes ---

class Child {
public:
    // Starts `argv`; with `pipes` its standard input and output are pipes of ours, else both
    // (and its error output) go to `log`.
    Child(const std::vector<std::string>& argv, bool pipes, const std::string& log)
    {
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        int in[2] = {-1, -1}, out[2] = {-1, -1};
        if (pipes) {
            if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
                return;
            posix_spawn_file_actions_adddup2(&actions, in[0], 0);
            posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        } else {
            posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
            posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            posix_spawn_file_actions_adddup2(&actions, 1, 2);
        }
        if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        if (pipes) {
            ::close(in[0]);
            ::close(out[1]);
            tochild_ = in[1];
            fromchild_ = out[0];
        }
    }
    ~Child()
    {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            wait();
        }
        closeinput();
        if (fromchild_ >= 0)
            ::close(fromchild_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0 && !exited_; }
    // One byte to the child's input.
    void mark() const
    {
        if (tochild_ >= 0)
            static_cast<void>(::write(tochild_, "m", 1));
    }
    void closeinput()
    {
        if (tochild_ >= 0)
            ::close(tochild_);
        tochild_ = -1;
    }
    void signal(int sig) const
    {
        if (running())
            ::kill(pid_, sig);
    }
    // The next line of the child's output; nothing at its end or after `timeout`.
    std::optional<std::string> readline(std::chrono::milliseconds timeout = std::chrono::seconds(60))
    {
        const auto until = Steady::now() + timeout;
        for (;;) {
            if (const auto nl = buffer_.find('\n'); nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Steady::now()).count();
            if (left <= 0 || fromchild_ < 0)
                return std::nullopt;
            pollfd p{fromchild_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0)
                continue;
            char chunk[4096];
            const ssize_t n = ::read(fromchild_, chunk, sizeof chunk);
            if (n <= 0)
                return std::nullopt;
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }
    // Waits for the end; returns the exit status (128 + signal when killed).
    int wait()
    {
        if (pid_ <= 0)
            return -1;
        if (!exited_) {
            int status = 0;
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            exited_ = true;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return status_;
    }
    // Waits at most `timeout` for the end; false when it is still running.
    bool waitfor(std::chrono::milliseconds timeout)
    {
        const auto until = Steady::now() + timeout;
        for (;;) {
            int status = 0;
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                exited_ = true;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return true;
            }
            if (Steady::now() >= until)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

private:
    pid_t pid_ = -1;
    int tochild_ = -1;
    int fromchild_ = -1;
    bool exited_ = false;
    int status_ = -1;
    std::string buffer_;
};

// --- the recorder side (child process) ---

struct DescriptorWriter : MainMessageHandler {
    void channelstate(const ChannelStateMessage&) override {}
    void logline(LogLineMessage& m) override
    {
        // Only what would tell of a fault: an error, a loss, a reset.
        for (const char* word : {"Error", "lost", "Lost", "Reset", "Could not", "JACK:"})
            if (m.line.find(word) != std::string::npos) {
                std::fprintf(stderr, "recorder: %s\n", m.line.c_str());
                break;
            }
    }
    void savedescriptor(SaveDescriptorMessage& m) override { writedescriptor(m.path, m.descriptor); }
    void filecomplete(FileCompleteMessage& m) override { writedescriptor(m.path, m.descriptor); }
};

std::string portname(int k) { return "system:capture_" + std::to_string(k + 1); }

// Records every capture port of `server` into `folder` until its standard input ends, then prints
// "result <lost> <min frames> <max frames> <files> <server frames> <handed-over frames>": the
// server's frames from just before the card started to just after it stopped, and the frames of
// the buffers the driver handed to the card meanwhile. A byte on the input marks the measuring
// window; with two marks it prints "window <server frames> <handed-over frames>" between them.
int recorder(int ports, const std::string& folder, const std::string& server)
{
    ScopedMainQueue queue;
    DescriptorWriter handler;
    TConfig c;
    c.velk_path = folder + "/Data/";
    c.samplerate = 6;  // 48000 Hz
    c.format = pcmwaveformat(rate, 1, 16);
    c.codec = 0;
    c.normalize = false;
    c.interval = 7;  // 180 minutes: no split during the run
    c.timealign = false;
    c.overlap = 0;
    publishrecordingsettings(c);

    JackDriverSettings js;
    js.clientname = "velk";
    js.servername = server;
    for (int k = 0; k < ports; ++k)
        js.sources.push_back(portname(k));
    TDavAsioDriverDescription d;
    d.name = "JACK";
    d.path = "builtin:jack";
    d.factory = [js] { return DriverPtr(new JackDriver(js)); };
    setdriversource([d] { return std::vector<TDavAsioDriverDescription>{d}; });

    // The server's frame clock, read by a client that never runs: the time the card recorded.
    jack_status_t status{};
    jack_client_t* clock = jack_client_open("velkclock", static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                                            &status, server.c_str());
    if (!clock) {
        std::fprintf(stderr, "recorder: no JACK server %s\n", server.c_str());
        return 1;
    }

    int result = 0;
    {
        TDavAsioDriverList drivers;
        drivers.enumerate();
        TSCapture card(drivers, 0, rate);
        std::vector<std::unique_ptr<TChannel>> channels;
        for (int k = 0; k < ports; ++k) {
            char name[16];
            std::snprintf(name, sizeof name, "ch%03d", k);
            auto ch = std::make_unique<TChannel>(name, &card, k, false);
            ch->setfolder(folder + "/rec/" + name);
            ch->setid(k);
            ch->setmode(ChannelMode::manual);
            ch->connect(&card);
            ch->startrecording();
            channels.push_back(std::move(ch));
        }
        queue.queue().drain(&handler);

        const jack_nframes_t started = jack_frame_time(clock);
        const std::uint64_t before = card.handedover();
        card.start();
        std::printf("recording\n");
        std::fflush(stdout);

        // The main thread as in the headless program: woken by the queue, at least once a second,
        // and the card watch every 2 seconds.
        auto lastcheck = Steady::now();
        std::vector<std::pair<jack_nframes_t, std::uint64_t>> marks;
        for (;;) {
            pollfd fds[2] = {{queue.queue().wakeupfd(), POLLIN, 0}, {0, POLLIN, 0}};
            if (::poll(fds, 2, 1000) < 0 && errno != EINTR)
                break;
            queue.queue().drain(&handler);
            if (since(lastcheck) >= 2.0) {
                lastcheck = Steady::now();
                card.checkdevice(drivers);
            }
            if (fds[1].revents & (POLLIN | POLLHUP)) {
                // Each byte is a mark of the measuring window; the end of the input ends the run.
                char b[64];
                const ssize_t n = ::read(0, b, sizeof b);
                if (n <= 0)
                    break;
                for (ssize_t i = 0; i < n; ++i)
                    marks.emplace_back(jack_frame_time(clock), card.handedover());
            }
        }
        card.stop();
        const jack_nframes_t stopped = jack_frame_time(clock);
        const std::uint64_t handed = card.handedover() - before;
        for (auto& ch : channels)
            ch->stoprecording();
        queue.queue().drain(&handler);
        for (auto& ch : channels)
            ch->disconnect();
        channels.clear();
        queue.queue().drain(&handler);

        long long minframes = -1, maxframes = -1;
        int files = 0;
        for (int k = 0; k < ports; ++k) {
            char name[16];
            std::snprintf(name, sizeof name, "ch%03d", k);
            std::error_code ec;
            for (const auto& e : fs::recursive_directory_iterator(folder + "/rec/" + name, ec)) {
                if (!e.is_regular_file() || e.path().extension() != ".wav")
                    continue;
                const long long f = wavframes(e.path().string());
                minframes = minframes < 0 ? f : std::min(minframes, f);
                maxframes = std::max(maxframes, f);
                ++files;
            }
        }
        std::printf("result %llu %lld %lld %d %u %llu\n", static_cast<unsigned long long>(card.lostblocks()), minframes,
                    maxframes, files, static_cast<unsigned>(stopped - started),
                    static_cast<unsigned long long>(handed * period));
        if (marks.size() == 2)
            std::printf("window %u %llu\n", static_cast<unsigned>(marks[1].first - marks[0].first),
                        static_cast<unsigned long long>((marks[1].second - marks[0].second) * period));
        std::fflush(stdout);
    }
    jack_client_close(clock);
    setdriversource(nullptr);
    return result;
}

// --- the measuring side ---

// An inactive-in-the-graph client of the benchmark: finds ports, counts the server's xruns.
class Monitor {
public:
    explicit Monitor(const std::string& server)
    {
        jack_status_t status{};
        client_ = jack_client_open("velkbench", static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                                   &status, server.c_str());
        if (!client_)
            return;
        jack_set_xrun_callback(
            client_, [](void* arg) { static_cast<Monitor*>(arg)->xruns_.fetch_add(1); return 0; }, this);
        jack_activate(client_);
    }
    ~Monitor()
    {
        if (client_) {
            jack_deactivate(client_);
            jack_client_close(client_);
        }
    }
    bool ok() const { return client_ != nullptr; }
    int xruns() const { return xruns_.load(); }
    // True when each of the first `ports` capture ports has a connection.
    bool connected(int ports) const
    {
        for (int k = 0; k < ports; ++k) {
            jack_port_t* p = jack_port_by_name(client_, portname(k).c_str());
            if (!p || jack_port_connected(p) < 1)
                return false;
        }
        return true;
    }
    bool anyconnected(int ports) const
    {
        for (int k = 0; k < ports; ++k)
            if (jack_port_t* p = jack_port_by_name(client_, portname(k).c_str()); p && jack_port_connected(p) > 0)
                return true;
        return false;
    }

private:
    jack_client_t* client_ = nullptr;
    std::atomic<int> xruns_{0};
};

struct Run {
    bool ok = false;
    double cpu = 0;     // recorder CPU seconds in the window
    double wall = 0;    // window length
    double server = 0;  // jackd CPU seconds in the window
    double peak = 0;    // MB
    int xruns = 0;
    long long lost = -1;       // buffers the card lost (VELK only)
    long long minframes = -1;  // shortest and longest file
    long long maxframes = -1;
    int files = 0;
    long long span = -1;      // server frames from before the card's start to after its stop (VELK only)
    long long handed = -1;    // frames the driver handed to the card meanwhile (VELK only)
    long long windowspan = -1;    // server frames in the measuring window (VELK only)
    long long windowhanded = -1;  // frames handed to the card in the window (VELK only)
    std::vector<std::pair<std::string, double>> threads;  // the busiest threads in the window
};

struct Options {
    double seconds = 10;
    std::vector<int> channels{8, 64, 256};
    int reps = 1;
    std::string folder = "/tmp";
    bool threads = false;
    bool jackcapture = true;
    bool keep = false;
};

bool waituntil(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    const auto until = Steady::now() + timeout;
    while (!done()) {
        if (Steady::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Measures the window: from every port connected, `seconds` long.
void measure(Run& r, pid_t recorder, pid_t server, Monitor& monitor, double seconds, bool threads,
             const std::function<void()>& mark = {})
{
    if (mark)
        mark();
    const ProcSample a = sample(recorder);
    const ProcSample sa = sample(server);
    const int x0 = monitor.xruns();
    const auto t0 = Steady::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const ProcSample b = sample(recorder);
    const ProcSample sb = sample(server);
    r.wall = since(t0);
    if (mark)
        mark();
    r.xruns = monitor.xruns() - x0;
    r.cpu = b.cpu - a.cpu;
    r.server = sb.cpu - sa.cpu;
    r.peak = peakmegabytes(recorder);
    if (threads) {
        for (const auto& [tid, t] : b.threads) {
            const auto before = a.threads.find(tid);
            r.threads.emplace_back(t.first + "/" + std::to_string(tid),
                                   t.second - (before == a.threads.end() ? 0.0 : before->second.second));
        }
        std::sort(r.threads.begin(), r.threads.end(), [](auto& x, auto& y) { return x.second > y.second; });
        if (r.threads.size() > 6)
            r.threads.resize(6);
    }
}

Run runvelk(const Options& o, int ports, const std::string& server, pid_t serverpid, Monitor& monitor,
            const std::string& folder)
{
    Run r;
    fs::create_directories(folder);
    Child child({fs::read_symlink("/proc/self/exe").string(), "--recorder", std::to_string(ports), folder, server},
                true, {});
    if (child.pid() <= 0)
        return r;
    const auto line = child.readline();
    if (!line || *line != "recording") {
        std::fprintf(stderr, "VELK recorder did not start\n");
        return r;
    }
    if (!waituntil([&] { return monitor.connected(ports); }, std::chrono::seconds(20))) {
        std::fprintf(stderr, "VELK recorder did not connect its ports\n");
        return r;
    }
    measure(r, child.pid(), serverpid, monitor, o.seconds, o.threads, [&] { child.mark(); });
    child.closeinput();
    while (auto l = child.readline(std::chrono::seconds(60))) {
        long long ws = 0, wh = 0;
        if (std::sscanf(l->c_str(), "window %lld %lld", &ws, &wh) == 2) {
            r.windowspan = ws;
            r.windowhanded = wh;
        }
        if (l->rfind("result ", 0) == 0) {
            unsigned long long lost = 0;
            long long mn = 0, mx = 0, span = 0, handed = 0;
            int files = 0;
            if (std::sscanf(l->c_str(), "result %llu %lld %lld %d %lld %lld", &lost, &mn, &mx, &files, &span,
                            &handed) == 6) {
                r.lost = static_cast<long long>(lost);
                r.minframes = mn;
                r.maxframes = mx;
                r.files = files;
                r.span = span;
                r.handed = handed;
                r.ok = true;
            }
        }
    }
    if (child.wait() != 0)
        r.ok = false;
    return r;
}

Run runjackcapture(const Options& o, int ports, pid_t serverpid, Monitor& monitor, const std::string& folder)
{
    Run r;
    fs::create_directories(folder);
    const std::string file = folder + "/jack_capture.wav";
    // The server has exactly these capture ports; jack_capture takes a limited number of
    // arguments, so they are named by a pattern.
    std::vector<std::string> argv{"/usr/bin/jack_capture", "-dc", "-ns", "-b", "16", "-c", std::to_string(ports),
                                  "-p", "system:capture_*", file};
    Child child(argv, false, folder + "/jack_capture.log");
    if (child.pid() <= 0)
        return r;
    if (!waituntil([&] { return monitor.connected(ports) || !child.waitfor(std::chrono::milliseconds(0)); },
                   std::chrono::seconds(20)) ||
        !child.running()) {
        std::fprintf(stderr, "jack_capture did not connect its ports (see %s/jack_capture.log)\n", folder.c_str());
        return r;
    }
    measure(r, child.pid(), serverpid, monitor, o.seconds, o.threads);
    child.signal(SIGINT);
    if (!child.waitfor(std::chrono::seconds(60))) {
        child.signal(SIGKILL);
        child.wait();
        return r;
    }
    r.minframes = r.maxframes = wavframes(file);
    r.files = r.minframes >= 0 ? 1 : 0;
    r.ok = r.files == 1;
    return r;
}

std::vector<int> parselist(const char* text)
{
    std::vector<int> out;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        if (const int n = std::atoi(item.c_str()); n > 0)
            out.push_back(n);
    return out;
}

void printrun(const char* who, int rep, int ports, const Run& r)
{
    if (!r.ok) {
        std::printf("  run %d  %-12s failed\n", rep, who);
        return;
    }
    const double channelseconds = r.wall * ports;
    std::printf("  run %d  %-12s CPU %7.3f s  %6.2f %% of a core  %6.1f us/channel-s  peak %6.1f MB  xruns %d  "
                "server CPU %6.3f s",
                rep, who, r.cpu, 100.0 * r.cpu / r.wall, 1e6 * r.cpu / channelseconds, r.peak, r.xruns, r.server);
    if (r.lost >= 0)
        std::printf("  lost %lld", r.lost);
    std::printf("\n");
    if (r.span >= 0)
        std::printf("         %d files of %lld..%lld frames; handed over %lld (%+.2f periods), server ran %lld while "
                    "the card was on (%+.2f periods)\n",
                    r.files, r.minframes, r.maxframes, r.handed, static_cast<double>(r.minframes - r.handed) / period,
                    r.span, static_cast<double>(r.minframes - r.span) / period);
    if (r.windowspan >= 0)
        std::printf("         in the window: handed over %lld frames, server ran %lld (%+.2f periods)\n", r.windowhanded,
                    r.windowspan, static_cast<double>(r.windowhanded - r.windowspan) / period);
    else if (r.files > 0)
        std::printf("         1 file of %lld frames (%.2f s)\n", r.minframes, static_cast<double>(r.minframes) / rate);
    for (const auto& [name, seconds] : r.threads)
        std::printf("           thread %-24s %7.3f s\n", name.c_str(), seconds);
}

struct Stat {
    double sum = 0, lo = 1e30, hi = -1e30;
    int n = 0;
    void add(double v)
    {
        sum += v;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
        ++n;
    }
    double mean() const { return n ? sum / n : 0; }
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 5 && std::strcmp(argv[1], "--recorder") == 0)
        return recorder(std::atoi(argv[2]), argv[3], argv[4]);

    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--seconds")
            o.seconds = std::max(1.0, std::atof(value()));
        else if (a == "--channels")
            o.channels = parselist(value());
        else if (a == "--reps")
            o.reps = std::max(1, std::atoi(value()));
        else if (a == "--folder")
            o.folder = value();
        else if (a == "--threads")
            o.threads = true;
        else if (a == "--no-jack-capture")
            o.jackcapture = false;
        else if (a == "--keep")
            o.keep = true;
        else {
            std::fprintf(stderr,
                         "usage: jack_bench [--seconds S] [--channels 8,64,256] [--reps R] [--folder F] [--threads] "
                         "[--no-jack-capture] [--keep]\n");
            return 2;
        }
    }
    if (o.jackcapture && ::access("/usr/bin/jack_capture", X_OK) != 0) {
        std::printf("jack_capture is not installed (scripts/bench-setup.sh installs it): VELK alone\n");
        o.jackcapture = false;
    }

    std::string pattern = o.folder + "/jack_bench.XXXXXX";
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string root = pattern;
    const std::string server = "velkbench" + std::to_string(::getpid());
    // Everything started from here asks for our server, and the recorders keep their data inside
    // the temporary folder.
    setenv("JACK_DEFAULT_SERVER", server.c_str(), 1);
    setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
    setenv("VELK_DATA_ROOT", (root + "/data").c_str(), 1);
    jack_set_error_function([](const char*) {});
    jack_set_info_function([](const char*) {});

    std::printf("jack_bench: JACK dummy server, %d Hz, %d-frame periods, %.1f s per run, %d repetition(s)\n", rate,
                period, o.seconds, o.reps);
    std::map<int, std::pair<std::vector<Run>, std::vector<Run>>> results;
    for (const int ports : o.channels) {
        std::printf("%d channels\n", ports);
        std::fflush(stdout);
        Child jackd({"/usr/bin/jackd", "-n", server, "-d", "dummy", "-r", std::to_string(rate), "-p",
                     std::to_string(period), "-C", std::to_string(ports), "-P", "0"},
                    false, root + "/jackd-" + std::to_string(ports) + ".log");
        std::unique_ptr<Monitor> monitor;
        waituntil(
            [&] {
                monitor = std::make_unique<Monitor>(server);
                if (!monitor->ok())
                    monitor.reset();
                return monitor != nullptr || !jackd.running();
            },
            std::chrono::seconds(10));
        if (!monitor) {
            std::printf("  the JACK server did not start (see %s/jackd-%d.log)\n", root.c_str(), ports);
            continue;
        }
        auto& [velk, jc] = results[ports];
        for (int rep = 1; rep <= o.reps; ++rep) {
            // Interleaved: the order alternates from one repetition to the next.
            const bool velkfirst = rep % 2 == 1 || !o.jackcapture;
            for (int turn = 0; turn < (o.jackcapture ? 2 : 1); ++turn) {
                const bool isvelk = (turn == 0) == velkfirst;
                const std::string folder = root + "/run-" + std::to_string(ports) + "-" + std::to_string(rep) +
                                           (isvelk ? "-velk" : "-jack_capture");
                // The previous recorder's connections are gone before the next one starts.
                waituntil([&] { return !monitor->anyconnected(ports); }, std::chrono::seconds(10));
                sync();
                Run r = isvelk ? runvelk(o, ports, server, jackd.pid(), *monitor, folder)
                               : runjackcapture(o, ports, jackd.pid(), *monitor, folder);
                printrun(isvelk ? "VELK" : "jack_capture", rep, ports, r);
                std::fflush(stdout);
                (isvelk ? velk : jc).push_back(std::move(r));
                if (!o.keep)
                    fs::remove_all(folder);
            }
        }
        monitor.reset();
        jackd.signal(SIGTERM);
        if (!jackd.waitfor(std::chrono::seconds(10)))
            jackd.signal(SIGKILL);
    }

    std::printf("\nSummary: mean over %d repetition(s) [min-max]; CPU of the recorder process over the window\n",
                o.reps);
    std::printf("| channels | recorder | CPU s | %% of a core | us per channel-s | peak MB | xruns | lost | "
                "files vs run time (periods) |\n|---|---|---|---|---|---|---|---|---|\n");
    for (const auto& [ports, pair] : results) {
        const auto& [velk, jc] = pair;
        for (int side = 0; side < 2; ++side) {
            const auto& runs = side == 0 ? velk : jc;
            Stat cpu, share, per, peak;
            int xruns = 0;
            long long lost = 0;
            double worst = 0;
            bool any = false;
            for (const Run& r : runs) {
                if (!r.ok)
                    continue;
                any = true;
                cpu.add(r.cpu);
                share.add(100.0 * r.cpu / r.wall);
                per.add(1e6 * r.cpu / (r.wall * ports));
                peak.add(r.peak);
                xruns += r.xruns;
                lost += std::max(0LL, r.lost);
                // Nothing lost on the way: every file holds every frame handed to the card, and the
                // card was handed every frame the server ran in the window.
                if (r.handed >= 0)
                    for (const long long f : {r.minframes, r.maxframes})
                        worst = std::max(worst, std::abs(static_cast<double>(f - r.handed)) / period);
                if (r.windowspan >= 0)
                    worst = std::max(worst, std::abs(static_cast<double>(r.windowhanded - r.windowspan)) / period);
            }
            if (!any)
                continue;
            char lostt[32] = "-", worstt[32] = "-";
            if (side == 0) {
                std::snprintf(lostt, sizeof lostt, "%lld", lost);
                std::snprintf(worstt, sizeof worstt, "%.2f", worst);
            }
            std::printf("| %d | %s | %.3f [%.3f-%.3f] | %.2f [%.2f-%.2f] | %.1f | %.1f | %d | %s | %s |\n", ports,
                        side == 0 ? "VELK" : "jack_capture", cpu.mean(), cpu.lo, cpu.hi, share.mean(), share.lo,
                        share.hi, per.mean(), peak.mean(), xruns, lostt, worstt);
        }
    }
    bool ratios = false;
    for (const auto& [ports, pair] : results) {
        const auto& [velk, jc] = pair;
        Stat v, j;
        for (const Run& r : velk)
            if (r.ok)
                v.add(r.cpu / r.wall);
        for (const Run& r : jc)
            if (r.ok)
                j.add(r.cpu / r.wall);
        if (!v.n || !j.n)
            continue;
        if (!ratios)
            std::printf("\nRatios VELK / jack_capture (CPU time per wall second, means):\n");
        ratios = true;
        std::printf("  %3d channels: CPU %.2f%s\n", ports, v.mean() / j.mean(),
                    ports == 64 ? " (goal <= 0.80)" : "");
    }
    std::printf("Goals: 256 channels at most 5 %% of one core, no xrun, 0 buffers lost; files within one period.\n");
    if (!o.keep)
        fs::remove_all(root);
    else
        std::printf("kept: %s\n", root.c_str());
    return 0;
}
