#include "config/config_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <memory>
#include <sstream>
#include <vector>

#include <pugixml.hpp>

#include "config/edition.h"
#include "config/status_log.h"
#include "core/errors.h"
#include "core/text_encoding.h"
#include "core/unique_fd.h"
#include "core/user_notifier.h"
#include "platform/data_folders.h"
#include "platform/file_io.h"

namespace velk {

namespace {

// Both files hold the password in plain text.
constexpr mode_t configfilemode = 0600;
constexpr int fileversion = 4;
constexpr int defaultpanelwidth = 230;

std::string infolder(const std::string& folder, const std::string& name)
{
    if (folder.empty() || folder.back() == '/')
        return folder + name;
    return folder + "/" + name;
}

std::string commonfolder(const TConfig& config)
{
    return config.common_path.empty() ? velkcommonfolder() : config.common_path;
}

// --- writing ---

void setint(pugi::xml_node node, const char* name, std::int32_t value)
{
    node.append_attribute(name).set_value(std::to_string(value).c_str());
}

void setflag(pugi::xml_node node, const char* name, bool value)
{
    node.append_attribute(name).set_value(value ? "1" : "0");
}

void setword(pugi::xml_node node, const char* name, bool value)
{
    node.append_attribute(name).set_value(value ? "true" : "false");
}

void settext(pugi::xml_node node, const char* name, const std::string& value)
{
    node.append_attribute(name).set_value(value.c_str());
}

pugi::xml_node valuechild(pugi::xml_node parent, const char* name)
{
    return parent.append_child(name);
}

std::string buildxml(const TConfig& c, const TDisplaySettings& display)
{
    pugi::xml_document doc;
    pugi::xml_node decl = doc.append_child(pugi::node_declaration);
    decl.append_attribute("version").set_value("1.0");
    decl.append_attribute("encoding").set_value("UTF-8");

    pugi::xml_node root = doc.append_child("VELK");
    setint(root, "Version", fileversion);

    pugi::xml_node n = root.append_child("Password");
    settext(n, "Key", c.passw);
    setflag(n, "Settings", c.settpass);
    setflag(n, "Exit", c.exitpass);
    setflag(n, "Browser", c.logspass);

    settext(root.append_child("Output"), "Path", c.outfolder);
    settext(root.append_child("Autonames"), "Mask", c.namingrule);
    setflag(root.append_child("AGC"), "Enabled", c.agc);

    n = root.append_child("Window");
    setflag(n, "Status", c.status);
    setflag(n, "Toolbar", c.toolbar);
    setflag(n, "Stayontop", c.stayontop);
    setint(n, "Columns", c.columns);

    n = root.append_child("MP3");
    setint(n, "Bitrate", c.bitrate);
    setint(n, "AvgBitrate", c.avgbitrate);
    setint(n, "Mode", c.mp3mode);
    setint(n, "VBRMax", c.vbrmax);
    setint(n, "VBRQuality", c.vbrquality);
    setflag(n, "CRC", c.mp3crc);

    n = root.append_child("Recording");
    setint(n, "SamplingRate", c.samplerate);
    setint(n, "Codec", c.codec);
    setflag(n, "Autostart", c.autorecording);
    setint(n, "SplitInterval", c.interval);
    setflag(n, "TimeAlign", c.timealign);
    setint(n, "Overlap", c.overlap);

    n = root.append_child("Playback");
    setint(n, "Card", c.pcard);
    setint(n, "Volume", c.pvolume);

    setint(root.append_child("Cleanup"), "Days", c.cleanuptime);
    setword(root.append_child("Normalize"), "Enabled", c.normalize);

    n = root.append_child("Display");
    setint(n, "Width", display.panelwidth);
    setint(n, "Height", display.loglistheight);

    pugi::xml_node channels = root.append_child("Channels");
    setint(channels, "Number", c.num);
    for (const TChannelConfig& ch : c.channels) {
        pugi::xml_node e = channels.append_child("Channel");
        settext(e, "Name", ch.name);
        setint(valuechild(e, "Card"), "Value", ch.card);
        setint(valuechild(e, "Volume"), "Value", ch.volume);
        settext(valuechild(e, "Folder"), "Value", ch.folder);
        setint(valuechild(e, "Mode"), "Value", ch.mode);
        setint(valuechild(e, "VOXLevel"), "Value", ch.voxlevel);
        setint(valuechild(e, "VOXTime"), "Value", ch.voxtime);
        setint(valuechild(e, "DelIfSmaller"), "Value", ch.deltime);
        setint(valuechild(e, "Chnum"), "Value", ch.chnum);
        setword(valuechild(e, "Stereo"), "Value", ch.stereo);
    }

    pugi::xml_node cards = root.append_child("Cards");
    for (const std::int32_t line : c.cards)
        setint(cards.append_child("Card"), "MixerLine", line);

    std::ostringstream out;
    doc.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
    return out.str();
}

// --- reading ---

[[noreturn]] void corrupt(const std::string& what)
{
    throw EVelkError(what);
}

pugi::xml_node needchild(pugi::xml_node parent, const char* name)
{
    pugi::xml_node n = parent.child(name);
    if (!n)
        corrupt(std::string("missing element ") + name);
    return n;
}

pugi::xml_attribute needattr(pugi::xml_node node, const char* name)
{
    pugi::xml_attribute a = node.attribute(name);
    if (!a)
        corrupt(std::string("missing attribute ") + node.name() + "/" + name);
    return a;
}

std::string_view trimmed(std::string_view s)
{
    const auto blank = [](char ch) { return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

std::int32_t toint(pugi::xml_attribute a)
{
    std::string_view s = trimmed(a.value());
    if (!s.empty() && s.front() == '+')
        s.remove_prefix(1);
    std::int32_t value = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size())
        corrupt(std::string("not an integer: ") + a.name());
    return value;
}

bool tobool(pugi::xml_attribute a)
{
    std::string s(trimmed(a.value()));
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    if (s == "1" || s == "true")
        return true;
    if (s == "0" || s == "false")
        return false;
    corrupt(std::string("not a Boolean: ") + a.name());
}

// Text is kept as UTF-8; a hand-edited file saved as 8-bit text without a declaration is taken as
// Latin-1 instead of carrying invalid UTF-8 into the program.
std::string totext(pugi::xml_attribute a)
{
    return eightbittoutf8(a.value());
}

std::int32_t intof(pugi::xml_node node, const char* name)
{
    return toint(needattr(node, name));
}

bool boolof(pugi::xml_node node, const char* name)
{
    return tobool(needattr(node, name));
}

std::string textof(pugi::xml_node node, const char* name)
{
    return totext(needattr(node, name));
}

std::int32_t valueint(pugi::xml_node channel, const char* name)
{
    return intof(needchild(channel, name), "Value");
}

pugi::xml_node nextelement(pugi::xml_node node)
{
    do
        node = node.next_sibling();
    while (node && node.type() != pugi::node_element);
    return node;
}

void readchannel(pugi::xml_node e, TChannelConfig& ch)
{
    ch.name = textof(e, "Name");
    ch.card = valueint(e, "Card");
    ch.volume = valueint(e, "Volume");
    ch.folder = textof(needchild(e, "Folder"), "Value");
    ch.mode = valueint(e, "Mode");
    ch.voxlevel = valueint(e, "VOXLevel");
    ch.voxtime = valueint(e, "VOXTime");
    ch.deltime = valueint(e, "DelIfSmaller");
    // Files of the earlier version name the input "Ch" and know only mono channels.
    if (pugi::xml_node old = e.child("Ch")) {
        ch.chnum = intof(old, "Value");
        ch.stereo = false;
        return;
    }
    if (pugi::xml_node n = e.child("Chnum"))
        ch.chnum = intof(n, "Value");
    if (pugi::xml_node n = e.child("Stereo"))
        ch.stereo = boolof(n, "Value");
}

void readxml(pugi::xml_node root, TConfig& c, std::int32_t& panelwidth)
{
    pugi::xml_node n = needchild(root, "Password");
    c.passw = textof(n, "Key");
    c.settpass = boolof(n, "Settings");
    c.exitpass = boolof(n, "Exit");
    c.logspass = boolof(n, "Browser");

    c.outfolder = textof(needchild(root, "Output"), "Path");
    c.namingrule = textof(needchild(root, "Autonames"), "Mask");
    c.agc = boolof(needchild(root, "AGC"), "Enabled");

    n = needchild(root, "Window");
    c.status = boolof(n, "Status");
    c.toolbar = boolof(n, "Toolbar");
    c.stayontop = boolof(n, "Stayontop");
    c.columns = intof(n, "Columns");

    n = needchild(root, "MP3");
    c.bitrate = intof(n, "Bitrate");
    c.avgbitrate = intof(n, "AvgBitrate");
    c.mp3mode = intof(n, "Mode");
    c.vbrmax = intof(n, "VBRMax");
    c.vbrquality = intof(n, "VBRQuality");
    c.mp3crc = boolof(n, "CRC");

    n = needchild(root, "Recording");
    c.samplerate = intof(n, "SamplingRate");
    c.codec = intof(n, "Codec");
    c.autorecording = boolof(n, "Autostart");
    c.interval = intof(n, "SplitInterval");
    if (pugi::xml_attribute a = n.attribute("TimeAlign"))
        c.timealign = tobool(a);
    if (pugi::xml_attribute a = n.attribute("Overlap"))
        c.overlap = toint(a);

    n = needchild(root, "Playback");
    c.pcard = intof(n, "Card");
    c.pvolume = intof(n, "Volume");

    c.cleanuptime = intof(needchild(root, "Cleanup"), "Days");

    if (pugi::xml_node e = root.child("Normalize"))
        if (pugi::xml_attribute a = e.attribute("Enabled"))
            c.normalize = tobool(a);

    if (pugi::xml_node e = root.child("Display")) {
        if (pugi::xml_attribute a = e.attribute("Width"))
            panelwidth = toint(a);
        if (panelwidth < 100)
            panelwidth = 101;
    }

    n = needchild(root, "Channels");
    c.num = intof(n, "Number");
    int slot = 0;
    for (pugi::xml_node e = n.child("Channel"); e && slot < maxchannels; e = nextelement(e))
        readchannel(e, c.channels[static_cast<std::size_t>(slot++)]);

    n = needchild(root, "Cards");
    slot = 0;
    for (pugi::xml_node e = n.child("Card"); e && slot < maxcards; e = nextelement(e))
        c.cards[static_cast<std::size_t>(slot++)] = intof(e, "MixerLine");
}

// Reads the first fWaveFormat::size bytes of `path` (fewer when the file is shorter).
std::vector<std::uint8_t> readformatbytes(const std::string& path)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        throw EOSError(errno);
    std::vector<std::uint8_t> bytes(fWaveFormat::size);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw EOSError(errno);
        }
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    bytes.resize(done);
    return bytes;
}

// The number of entries of the MP3 writer's bitrate list for a sample-rate index: 14 for the
// MPEG-1 and MPEG-2 lists, 12 for the low-rate list that starts at the MPEG-2 list's third entry.
int mp3bitratecount(int samplerateindex)
{
    return samplerateofindex(samplerateindex) <= 11025 ? 12 : 14;
}

}  // namespace

void setdefaults(TConfig& config)
{
    const std::string outfolder = velkcommonfolder() + "Recordings";
    TConfig defaults;
    defaults.outfolder = outfolder;
    for (std::size_t i = 0; i < defaults.channels.size(); ++i) {
        defaults.channels[i].name = "Channel" + std::to_string(i);
        defaults.channels[i].folder = outfolder;
    }
    defaults.format = pcmwaveformat(static_cast<std::uint32_t>(samplerateofindex(defaults.samplerate)), 1, 16);
    defaults.log_path = std::move(config.log_path);
    defaults.velk_path = std::move(config.velk_path);
    defaults.common_path = std::move(config.common_path);
    config = std::move(defaults);
}

void sanitizeconfig(TConfig& c)
{
    const auto clampto = [](std::int32_t& v, std::int32_t lo, std::int32_t hi) { v = std::clamp(v, lo, hi); };
    clampto(c.samplerate, 0, static_cast<std::int32_t>(samplerates.size()) - 1);
    clampto(c.interval, 0, static_cast<std::int32_t>(splitintervals.size()) - 1);
    clampto(c.codec, 0, 1);
    clampto(c.columns, 1, 4);
    clampto(c.num, 0, maxchannels);
    clampto(c.overlap, 0, 60);
    clampto(c.mp3mode, 0, 2);
    clampto(c.vbrquality, 0, 9);
    const std::int32_t lastbitrate = mp3bitratecount(c.samplerate) - 1;
    clampto(c.bitrate, 0, lastbitrate);
    clampto(c.vbrmax, 0, lastbitrate);
    clampto(c.avgbitrate, 0, lastbitrate);
    // Zero days means "never delete": the safe reading of a negative age.
    c.cleanuptime = std::max(c.cleanuptime, 0);
    // Playback: a device index and an attenuation from 0 (full) down to -10000 (silent).
    c.pcard = std::max(c.pcard, 0);
    clampto(c.pvolume, -10000, 0);
    for (std::int32_t& line : c.cards)
        line = std::max(line, 0);
    for (TChannelConfig& ch : c.channels) {
        ch.card = std::max(ch.card, 0);
        ch.chnum = std::max(ch.chnum, 0);
        clampto(ch.volume, 0, 65536);
        clampto(ch.mode, 0, 1);
        clampto(ch.voxlevel, 1, 100);
        clampto(ch.voxtime, 1, 100);
        clampto(ch.deltime, 0, 100);
    }
    if (!c.format.isusable())
        c.format = pcmwaveformat(static_cast<std::uint32_t>(samplerates[static_cast<std::size_t>(c.samplerate)]), 1, 16);
}

void readconfig(const std::string& folder, TConfig& config)
{
    // Read into a copy: a fault half-way leaves `config` untouched, and the live record changes
    // in one assignment.
    auto next = std::make_unique<TConfig>(config);
    std::int32_t panelwidth = displaysettings().panelwidth;

    const std::vector<std::uint8_t> format = readformatbytes(infolder(folder, formatfilename));

    std::string text;
    if (const int rc = readwholefile(infolder(folder, configfilename()), text, maxconfigfilesize); rc != 0)
        throw EOSError(rc);
    pugi::xml_document doc;
    const pugi::xml_parse_result parsed =
        doc.load_buffer_inplace(text.data(), text.size(), pugi::parse_default, pugi::encoding_auto);
    if (!parsed)
        corrupt(std::string("XML error: ") + parsed.description());
    const pugi::xml_node root = doc.child("VELK");
    if (!root)
        corrupt("missing element VELK");
    readxml(root, *next, panelwidth);

    next->format = fWaveFormat::deserialize(format, next->format);
    sanitizeconfig(*next);
    config = std::move(*next);
    displaysettings().panelwidth = panelwidth;
}

void loadconfig(TConfig& config)
{
    const std::string base = commonappdatafolder();
    const std::string common = velkcommonfolder();
    // The base may be missing on a fresh system (XDG data folder); below it, one level at a time.
    forcefolders(base);
    createfolder(base + "/Quorlith");
    createfolder(base + "/Quorlith/VELK");
    createfolder(base + "/Quorlith/VELK/4.0");
    createfolder(common + "Logs");
    createfolder(common + "Data");
    createfolder(common + "Recordings");

    config.log_path = common + "Logs";
    config.velk_path = common + "Data";
    config.common_path = common;
    setdefaults(config);

    if (!fileexists(common + configfilename()) || !fileexists(common + formatfilename))
        return;
    addlog("Loading settings...");
    try {
        readconfig(common, config);
    } catch (const std::exception&) {
        setdefaults(config);
        usernotifier().error("Initialization Error", "Configuration file corrupted. VELK will load default settings.");
    }
}

void saveconfig(const TConfig& config)
{
    const std::string folder = commonfolder(config);
    writefileatomic(infolder(folder, configfilename()), buildxml(config, displaysettings()), configfilemode, true);
    const auto format = config.format.serialize();
    writefileatomic(infolder(folder, formatfilename),
                    std::string_view(reinterpret_cast<const char*>(format.data()), format.size()), configfilemode,
                    true);
}

}  // namespace velk
