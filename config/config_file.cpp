#include "config/config_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include <pugixml.hpp>

#include "platform/kept_file.h"
#include "config/edition.h"
#include "services/status_log.h"
#include "core/errors.h"
#include "core/text_encoding.h"
#include "core/unique_fd.h"
#include "core/user_notifier.h"
#include "platform/data_folders.h"
#include "platform/file_io.h"
#include "platform/xml_attributes.h"
#include "platform/paths.h"

namespace velk {

namespace {

// Both files hold the password in plain text.
constexpr mode_t configfilemode = 0600;
constexpr int fileversion = 4;

std::string commonfolder(const TConfig& config)
{
    return config.common_path.empty() ? velkcommonfolder() : config.common_path;
}

// --- writing ---

void setword(pugi::xml_node node, const char* name, bool value)
{
    node.append_attribute(name).set_value(value ? "true" : "false");
}

pugi::xml_node valuechild(pugi::xml_node parent, const char* name)
{
    return parent.append_child(name);
}

std::string buildxml(const TConfig& c, const TDisplaySettings& display)
{
    pugi::xml_document doc;
    appenddeclaration(doc);

    pugi::xml_node root = doc.append_child("VELK");
    setattribute(root, "Version", fileversion);

    pugi::xml_node n = root.append_child("Password");
    setattribute(n, "Key", c.passw);
    setflag(n, "Settings", c.settpass);
    setflag(n, "Exit", c.exitpass);
    setflag(n, "Browser", c.logspass);

    setattribute(root.append_child("Output"), "Path", c.outfolder);
    setattribute(root.append_child("Autonames"), "Mask", c.namingrule);
    setflag(root.append_child("AGC"), "Enabled", c.agc);

    n = root.append_child("Window");
    setflag(n, "Status", c.status);
    setflag(n, "Toolbar", c.toolbar);
    setflag(n, "Stayontop", c.stayontop);
    setattribute(n, "Columns", c.columns);

    n = root.append_child("MP3");
    setattribute(n, "Bitrate", c.bitrate);
    setattribute(n, "AvgBitrate", c.avgbitrate);
    setattribute(n, "Mode", c.mp3mode);
    setattribute(n, "VBRMax", c.vbrmax);
    setattribute(n, "VBRQuality", c.vbrquality);
    setflag(n, "CRC", c.mp3crc);

    n = root.append_child("Recording");
    setattribute(n, "SamplingRate", c.samplerate);
    setattribute(n, "Codec", c.codec);
    setflag(n, "Autostart", c.autorecording);
    setattribute(n, "SplitInterval", c.interval);
    setflag(n, "TimeAlign", c.timealign);
    setattribute(n, "Overlap", c.overlap);

    n = root.append_child("Playback");
    setattribute(n, "Card", c.pcard);
    setattribute(n, "Volume", c.pvolume);

    n = root.append_child("Cleanup");
    setattribute(n, "Days", c.cleanuptime);
    setattribute(n, "LowSpaceMinutes", c.lowspaceminutes);
    setword(root.append_child("Normalize"), "Enabled", c.normalize);

    n = root.append_child("Display");
    setattribute(n, "Width", display.panelwidth);
    setattribute(n, "Height", display.loglistheight);

    pugi::xml_node channels = root.append_child("Channels");
    setattribute(channels, "Number", c.num);
    for (const TChannelConfig& ch : c.channels) {
        pugi::xml_node e = channels.append_child("Channel");
        setattribute(e, "Name", ch.name);
        setattribute(valuechild(e, "Card"), "Value", ch.card);
        setattribute(valuechild(e, "Volume"), "Value", ch.volume);
        setattribute(valuechild(e, "Folder"), "Value", ch.folder);
        setattribute(valuechild(e, "Mode"), "Value", ch.mode);
        setattribute(valuechild(e, "VOXLevel"), "Value", ch.voxlevel);
        setattribute(valuechild(e, "VOXTime"), "Value", ch.voxtime);
        setattribute(valuechild(e, "DelIfSmaller"), "Value", ch.deltime);
        setattribute(valuechild(e, "Chnum"), "Value", ch.chnum);
        setword(valuechild(e, "Stereo"), "Value", ch.stereo);
    }

    pugi::xml_node cards = root.append_child("Cards");
    for (std::size_t k = 0; k < c.cards.size(); ++k) {
        pugi::xml_node card = cards.append_child("Card");
        setattribute(card, "MixerLine", c.cards[k]);
        // The card's name, so its channels find it again whatever number it starts with.
        if (!c.cardnames[k].empty())
            setattribute(card, "Name", c.cardnames[k]);
    }

    return documenttext(doc);
}

// --- reading ---

// The complete status-log text for a value that was replaced.
std::string replacedline(const std::string& where, const std::string& reason, const std::string& used)
{
    return "Configuration: " + where + ": " + reason + "; " + used + " used instead.";
}

// A stored text as a log line shows it: quoted, control characters as '?', and cut short, so a
// hostile value can neither forge lines nor flood the log.
std::string shown(std::string_view raw)
{
    constexpr std::size_t longest = 60;
    std::string s = eightbittoutf8(raw);
    if (s.size() > longest) {
        std::size_t cut = longest;
        while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80)
            --cut;
        s.resize(cut);
        s += "...";
    }
    for (char& ch : s)
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F)
            ch = '?';
    return "\"" + s + "\"";
}

// A 32-bit integer; a number beyond that range is no integer here either.
std::optional<std::int32_t> parseint(std::string_view s)
{
    long long value = 0;
    if (readinteger(s, value) != IntegerText::ok || value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return static_cast<std::int32_t>(value);
}

enum class Need { required, optional };

// One element of the file and the values read from it. A value that is missing (when required)
// or does not convert keeps what its target holds, the default, and is noted with the element
// and the reason. Reading goes on either way: one bad value costs only that value.
class Element {
public:
    // `quiet`: the element's absence is noted already, so its values are not noted one by one.
    Element(pugi::xml_node node, std::string where, std::vector<std::string>& notes, bool quiet = false)
        : node_(node), where_(std::move(where)), notes_(&notes), quiet_(quiet)
    {
    }

    explicit operator bool() const { return static_cast<bool>(node_); }
    pugi::xml_node node() const { return node_; }

    // A child element that holds one value in its "Value" attribute (the channel entries).
    Element valuechild(const char* name) const
    {
        return Element(node_ ? node_.child(name) : pugi::xml_node(), where_ + " " + name, *notes_, quiet_);
    }

    void integer(const char* name, std::int32_t& target, Need need = Need::required) const
    {
        if (const pugi::xml_attribute a = find(name, need, std::to_string(target))) {
            if (const auto v = parseint(a.value()))
                target = *v;
            else
                replaced(name, shown(a.value()) + " is not an integer", std::to_string(target));
        }
    }

    void flag(const char* name, bool& target, Need need = Need::required) const
    {
        if (const pugi::xml_attribute a = find(name, need, target ? "1" : "0")) {
            if (const auto v = readboolean(a.value()))
                target = *v;
            else
                replaced(name, shown(a.value()) + " is not a Boolean", target ? "1" : "0");
        }
    }

    // Text is kept as UTF-8; a hand-edited file saved as 8-bit text without a declaration is
    // taken as Latin-1 instead of carrying invalid UTF-8 into the program.
    void text(const char* name, std::string& target, Need need = Need::required) const
    {
        if (const pugi::xml_attribute a = find(name, need, shown(target)))
            target = eightbittoutf8(a.value());
    }

private:
    std::string label(const char* name) const
    {
        return std::string_view(name) == "Value" ? where_ : where_ + " " + name;
    }
    void replaced(const char* name, const std::string& reason, const std::string& used) const
    {
        notes_->push_back(replacedline(label(name), reason, used));
    }
    pugi::xml_attribute find(const char* name, Need need, const std::string& used) const
    {
        const pugi::xml_attribute a = node_ ? node_.attribute(name) : pugi::xml_attribute();
        if (!a && need == Need::required && !(quiet_ && !node_))
            replaced(name, "missing", used);
        return a;
    }

    pugi::xml_node node_;
    std::string where_;
    std::vector<std::string>* notes_;
    bool quiet_;
};

// A required element below the root; its absence is noted once for all its values.
Element section(pugi::xml_node root, const char* name, std::vector<std::string>& notes)
{
    const pugi::xml_node n = root.child(name);
    if (!n)
        notes.push_back(std::string("Configuration: ") + name + ": missing; its defaults used instead.");
    return Element(n, name, notes, true);
}

pugi::xml_node nextelement(pugi::xml_node node)
{
    do
        node = node.next_sibling();
    while (node && node.type() != pugi::node_element);
    return node;
}

// `outfolder`: the configured output folder, the folder of a channel that names none.
void readchannel(const Element& e, TChannelConfig& ch, const std::string& outfolder)
{
    ch.folder = outfolder;
    e.text("Name", ch.name);
    e.valuechild("Card").integer("Value", ch.card);
    e.valuechild("Volume").integer("Value", ch.volume);
    e.valuechild("Folder").text("Value", ch.folder);
    e.valuechild("Mode").integer("Value", ch.mode);
    e.valuechild("VOXLevel").integer("Value", ch.voxlevel);
    e.valuechild("VOXTime").integer("Value", ch.voxtime);
    e.valuechild("DelIfSmaller").integer("Value", ch.deltime);
    // Files of the earlier version name the input "Ch" and know only mono channels.
    if (e.node().child("Ch")) {
        e.valuechild("Ch").integer("Value", ch.chnum);
        ch.stereo = false;
        return;
    }
    if (e.node().child("Chnum"))
        e.valuechild("Chnum").integer("Value", ch.chnum);
    if (e.node().child("Stereo"))
        e.valuechild("Stereo").flag("Value", ch.stereo);
}

void readxml(pugi::xml_node root, TConfig& c, std::int32_t& panelwidth, std::vector<std::string>& notes)
{
    Element n = section(root, "Password", notes);
    n.text("Key", c.passw);
    n.flag("Settings", c.settpass);
    n.flag("Exit", c.exitpass);
    n.flag("Browser", c.logspass);

    section(root, "Output", notes).text("Path", c.outfolder);
    section(root, "Autonames", notes).text("Mask", c.namingrule);
    section(root, "AGC", notes).flag("Enabled", c.agc);

    n = section(root, "Window", notes);
    n.flag("Status", c.status);
    n.flag("Toolbar", c.toolbar);
    n.flag("Stayontop", c.stayontop);
    n.integer("Columns", c.columns);

    n = section(root, "MP3", notes);
    n.integer("Bitrate", c.bitrate);
    n.integer("AvgBitrate", c.avgbitrate);
    n.integer("Mode", c.mp3mode);
    n.integer("VBRMax", c.vbrmax);
    n.integer("VBRQuality", c.vbrquality);
    n.flag("CRC", c.mp3crc);

    n = section(root, "Recording", notes);
    n.integer("SamplingRate", c.samplerate);
    n.integer("Codec", c.codec);
    n.flag("Autostart", c.autorecording);
    n.integer("SplitInterval", c.interval);
    n.flag("TimeAlign", c.timealign, Need::optional);
    n.integer("Overlap", c.overlap, Need::optional);

    n = section(root, "Playback", notes);
    n.integer("Card", c.pcard);
    n.integer("Volume", c.pvolume);

    n = section(root, "Cleanup", notes);
    n.integer("Days", c.cleanuptime);
    n.integer("LowSpaceMinutes", c.lowspaceminutes, Need::optional);

    Element(root.child("Normalize"), "Normalize", notes).flag("Enabled", c.normalize, Need::optional);

    if (const Element display{root.child("Display"), "Display", notes}) {
        display.integer("Width", panelwidth, Need::optional);
        if (panelwidth < 100) {
            if (display.node().attribute("Width"))
                notes.push_back(replacedline("Display Width", std::to_string(panelwidth) + " is below 100", "101"));
            panelwidth = 101;
        }
    }

    n = section(root, "Channels", notes);
    n.integer("Number", c.num);
    int slot = 0;
    if (n) {
        for (pugi::xml_node e = n.node().child("Channel"); e && slot < maxchannels; e = nextelement(e), ++slot)
            readchannel(Element(e, "Channel " + std::to_string(slot), notes),
                        c.channels[static_cast<std::size_t>(slot)], c.outfolder);
        // Only stored channels are used: the rest would be defaults nobody configured.
        if (c.num > slot) {
            notes.push_back(replacedline("Channels Number",
                                         std::to_string(c.num) + " but " + std::to_string(slot) + " channels stored",
                                         std::to_string(slot)));
            c.num = slot;
        }
    }

    // Slots the file does not hold record into the configured output folder.
    for (int i = slot; i < maxchannels; ++i)
        c.channels[static_cast<std::size_t>(i)].folder = c.outfolder;

    n = section(root, "Cards", notes);
    slot = 0;
    for (pugi::xml_node e = n.node().child("Card"); e && slot < maxcards; e = nextelement(e), ++slot) {
        const Element card(e, "Card " + std::to_string(slot), notes);
        card.integer("MixerLine", c.cards[static_cast<std::size_t>(slot)]);
        card.text("Name", c.cardnames[static_cast<std::size_t>(slot)], Need::optional);
    }
}

// Reads a stored file that must be a regular file of at most `limit` bytes (a FIFO or device
// under the name would block or never end). Returns an empty text, or why it could not be read.
std::string readstoredfile(const std::string& path, std::string& out, std::size_t limit)
{
    switch (const int rc = readwholefile(path, out, limit)) {
    case 0:
        return {};
    case notregularfile:
        return "not a regular file";
    case EFBIG:
        return "larger than " + std::to_string(limit) + " bytes";
    default:
        return systemerrortext(rc);
    }
}

// The number of entries of the MP3 writer's bitrate list for a sample-rate index: 14 for the
// MPEG-1 and MPEG-2 lists, 12 for the low-rate list that starts at the MPEG-2 list's third entry.
int mp3bitratecount(int samplerateindex)
{
    return samplerateofindex(samplerateindex) <= 11025 ? 12 : 14;
}

// Brings every value that indexes a table or feeds a range-bound control into its range; each
// value changed is noted when `notes` is given.
void bringintorange(TConfig& c, std::vector<std::string>* notes)
{
    constexpr std::int32_t highest = std::numeric_limits<std::int32_t>::max();
    const auto clampto = [notes](std::int32_t& v, std::int32_t lo, std::int32_t hi, const auto& where) {
        const std::int32_t was = v;
        v = std::clamp(v, lo, hi);
        if (v != was && notes)
            notes->push_back(replacedline(where(), std::to_string(was) + " is out of range", std::to_string(v)));
    };
    const auto at = [](const char* where) { return [where] { return std::string(where); }; };
    clampto(c.samplerate, 0, static_cast<std::int32_t>(samplerates.size()) - 1, at("Recording SamplingRate"));
    clampto(c.interval, 0, static_cast<std::int32_t>(splitintervals.size()) - 1, at("Recording SplitInterval"));
    clampto(c.codec, 0, 1, at("Recording Codec"));
    clampto(c.columns, 1, 4, at("Window Columns"));
    clampto(c.num, 0, maxchannels, at("Channels Number"));
    clampto(c.overlap, 0, 60, at("Recording Overlap"));
    clampto(c.mp3mode, 0, 2, at("MP3 Mode"));
    clampto(c.vbrquality, 0, 9, at("MP3 VBRQuality"));
    const std::int32_t lastbitrate = mp3bitratecount(c.samplerate) - 1;
    clampto(c.bitrate, 0, lastbitrate, at("MP3 Bitrate"));
    clampto(c.vbrmax, 0, lastbitrate, at("MP3 VBRMax"));
    clampto(c.avgbitrate, 0, lastbitrate, at("MP3 AvgBitrate"));
    // Zero days means "never delete": the safe reading of a negative age.
    clampto(c.cleanuptime, 0, highest, at("Cleanup Days"));
    clampto(c.lowspaceminutes, 0, 24 * 60, at("Cleanup LowSpaceMinutes"));
    // Playback: a device index and an attenuation from 0 (full) down to -10000 (silent).
    clampto(c.pcard, 0, highest, at("Playback Card"));
    clampto(c.pvolume, -10000, 0, at("Playback Volume"));
    for (std::size_t i = 0; i < c.cards.size(); ++i)
        clampto(c.cards[i], 0, highest, [i] { return "Card " + std::to_string(i) + " MixerLine"; });
    for (std::size_t i = 0; i < c.channels.size(); ++i) {
        TChannelConfig& ch = c.channels[i];
        const auto field = [i](const char* name) {
            return [i, name] { return "Channel " + std::to_string(i) + " " + name; };
        };
        clampto(ch.card, 0, highest, field("Card"));
        clampto(ch.chnum, 0, highest, field("Chnum"));
        clampto(ch.volume, 0, 65536, field("Volume"));
        clampto(ch.mode, 0, 1, field("Mode"));
        clampto(ch.voxlevel, 1, 100, field("VOXLevel"));
        clampto(ch.voxtime, 1, 100, field("VOXTime"));
        clampto(ch.deltime, 0, 100, field("DelIfSmaller"));
    }
}

// The format a configuration without a usable "format.dat" records to: 16-bit mono PCM at the
// configured rate, so nothing is converted after recording.
fWaveFormat defaultformat(const TConfig& c)
{
    return pcmwaveformat(static_cast<std::uint32_t>(samplerateofindex(c.samplerate)), 1, 16);
}

std::string formatnote(const std::string& problem, const TConfig& c)
{
    return std::string("\"") + formatfilename + "\" " + problem +
           "; the default recording format (16-bit mono PCM at " + std::to_string(samplerateofindex(c.samplerate)) +
           " Hz) is used.";
}

// Reads the recording format from `path` into c.format. A missing, unreadable or unusable file
// leaves the default format and returns why; a short file keeps the default's remaining bytes.
std::string readformat(const std::string& path, TConfig& c)
{
    std::string bytes;
    std::string error = readstoredfile(path, bytes, maxconfigfilesize);
    if (error.empty()) {
        bytes.resize(std::min(bytes.size(), fWaveFormat::size));
        const std::vector<std::uint8_t> raw(bytes.begin(), bytes.end());
        const fWaveFormat read = fWaveFormat::deserialize(raw, defaultformat(c));
        if (read.isusable()) {
            c.format = read;
            return {};
        }
        c.format = defaultformat(c);
        return formatnote("holds no usable recording format", c);
    }
    c.format = defaultformat(c);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT)
        return formatnote("is missing", c);
    return formatnote("could not be read (" + error + ")", c);
}

// Reads the XML text and "format.dat" into a fresh default record (keeping the folder paths of
// `config`) and assigns it to `config`. Throws EVelkError, changing nothing, only when the text
// is not a usable document at all.
ConfigReadNotes readsettings(std::string& text, const std::string& formatpath, TConfig& config,
                             TDisplaySettings& display)
{
    pugi::xml_document doc;
    if (const std::string error = parsedocument(doc, text); !error.empty())
        throw EVelkError("XML error: " + error);
    const pugi::xml_node root = doc.child("VELK");
    if (!root)
        throw EVelkError("missing element VELK");
    // A document without any of the elements is no configuration: nothing in it could be kept.
    constexpr std::array<const char*, 10> sections = {"Password", "Output",  "Autonames", "AGC",      "Window",
                                                      "MP3",      "Recording", "Playback", "Cleanup", "Channels"};
    if (std::none_of(sections.begin(), sections.end(), [&](const char* name) { return bool(root.child(name)); }))
        throw EVelkError("no settings in the file");

    // Read into a copy: the live record changes in one assignment.
    auto next = std::make_unique<TConfig>();
    next->log_path = config.log_path;
    next->velk_path = config.velk_path;
    next->common_path = config.common_path;
    setdefaults(*next);
    std::int32_t panelwidth = display.panelwidth;
    ConfigReadNotes notes;
    readxml(root, *next, panelwidth, notes.values);
    bringintorange(*next, &notes.values);
    notes.format = readformat(formatpath, *next);
    config = std::move(*next);
    display.panelwidth = panelwidth;
    return notes;
}

// At most this many replaced values are logged one by one; the rest are counted.
constexpr std::size_t maxnotedvalues = 40;

void logvaluenotes(const std::vector<std::string>& notes)
{
    for (std::size_t i = 0; i < notes.size() && i < maxnotedvalues; ++i)
        addlog(notes[i]);
    if (notes.size() > maxnotedvalues)
        addlog("Configuration: " + std::to_string(notes.size() - maxnotedvalues) + " more values replaced.");
}

}  // namespace

void setdefaults(TConfig& config)
{
    const std::string outfolder = velkrecordingsfolder();
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
    bringintorange(c, nullptr);
    if (!c.format.isusable())
        c.format = defaultformat(c);
}

ConfigReadNotes readconfig(const std::string& folder, TConfig& config, TDisplaySettings& display, Edition edition)
{
    std::string text;
    if (std::string error = readstoredfile(joinpath(folder, configfilename(edition)), text, maxconfigfilesize);
        !error.empty())
        throw EVelkError(error);
    return readsettings(text, joinpath(folder, formatfilename), config, display);
}

ConfigReadNotes readconfig(const std::string& folder, TConfig& config)
{
    return readconfig(folder, config, displaysettings(), edition());
}

void loadconfig(TConfig& config)
{
    loadconfig(config, displaysettings(), edition());
}

void loadconfig(TConfig& config, TDisplaySettings& display, Edition edition)
{
    const std::string base = commonappdatafolder();
    const std::string common = velkcommonfolder();
    // The base may be missing on a fresh system (XDG data folder); below it, one level at a time.
    forcefolders(base);
    createfolder(base + "/Quorlith");
    createfolder(base + "/Quorlith/VELK");
    createfolder(base + "/Quorlith/VELK/4.0");
    createfolder(velklogfolder());
    createfolder(velkdatafolder());
    createfolder(velkrecordingsfolder());

    config.log_path = velklogfolder();
    config.velk_path = velkdatafolder();
    config.common_path = common;
    setdefaults(config);

    // Without the XML file this is a first start. Anything under its name is read (and set
    // aside when it cannot be), so a save never replaces settings unseen.
    const std::string xmlpath = common + configfilename(edition);
    struct stat st {};
    if (::lstat(xmlpath.c_str(), &st) != 0 && errno == ENOENT)
        return;
    addlog("Loading settings...");
    std::string text;
    std::string error = readstoredfile(xmlpath, text, maxconfigfilesize);
    ConfigReadNotes notes;
    if (error.empty()) {
        // The parser works in place; the copy is what would be kept aside.
        std::string parsed = text;
        try {
            notes = readsettings(parsed, common + formatfilename, config, display);
        } catch (const EVelkError& e) {
            error = e.what();
        }
    }
    const std::string name = std::string("\"") + configfilename(edition) + "\"";
    if (!error.empty()) {
        const AsideResult kept = moveaside(xmlpath);
        addlog("Configuration file " + name + " could not be read (" + error + "); " +
               (kept.path.empty() ? "it could not be kept aside (" + kept.error + ")"
                                  : "it is kept as \"" + kept.path + "\"") +
               " and the default settings are used.");
        usernotifier().error("Initialization Error", "Configuration file corrupted. VELK will load default settings.");
        return;
    }
    logvaluenotes(notes.values);
    if (!notes.format.empty())
        addlog(notes.format);
    if (!notes.values.empty()) {
        const AsideResult kept = copyaside(xmlpath, text);
        addlog("Configuration file " + name + ": " + std::to_string(notes.values.size()) + " values replaced; " +
               (kept.path.empty() ? "the file as it was could not be kept (" + kept.error + ")."
                                  : "the file as it was is kept as \"" + kept.path + "\"."));
    }
}

void saveconfig(const TConfig& config)
{
    saveconfig(config, displaysettings(), edition());
}

void saveconfig(const TConfig& config, const TDisplaySettings& display, Edition edition)
{
    const std::string folder = commonfolder(config);
    writefileatomic(joinpath(folder, configfilename(edition)), buildxml(config, display), configfilemode, true);
    const auto format = config.format.serialize();
    writefileatomic(joinpath(folder, formatfilename),
                    std::string_view(reinterpret_cast<const char*>(format.data()), format.size()), configfilemode,
                    true);
}

}  // namespace velk
