#include "engine/driver_list.h"

#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "services/status_log.h"
#include "core/errors.h"
#include "engine/jack_driver.h"
#include "platform/data_folders.h"

namespace velk {

namespace {

std::function<std::vector<TDavAsioDriverDescription>()>& source()
{
    static std::function<std::vector<TDavAsioDriverDescription>()> s;
    return s;
}

// Class ids of the built-in drivers; virtual card k has k in its last byte.
const TGuid jackclassid = *TGuid::parse("{6A61636B-5645-4C4B-8000-000000000001}");
const TGuid virtualclassid = *TGuid::parse("{76697274-5645-4C4B-8000-000000000000}");

std::string trim(std::string s)
{
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.pop_back();
    std::size_t b = 0;
    while (b < s.size() && std::isspace(static_cast<unsigned char>(s[b])))
        ++b;
    return s.substr(b);
}

bool isfile(const std::string& path)
{
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

TDavAsioDriverDescription jackdescription()
{
    TDavAsioDriverDescription d;
    d.classid = jackclassid;
    d.name = "JACK";
    d.path = "builtin:jack";
    d.factory = [] { return DriverPtr(new JackDriver()); };
    return d;
}

std::optional<int> virtualcardcount()
{
    const char* text = std::getenv("VELK_VIRTUAL_CARDS");
    if (!text || !*text)
        return std::nullopt;
    char* end = nullptr;
    const long n = std::strtol(text, &end, 10);
    if (*end || n < 0)
        return std::nullopt;
    return static_cast<int>(std::min(n, 128L));
}

}  // namespace

std::optional<TGuid> TGuid::parse(const std::string& text)
{
    std::string t = trim(text);
    if (t.size() == 38 && t.front() == '{' && t.back() == '}')
        t = t.substr(1, 36);
    if (t.size() != 36)
        return std::nullopt;
    TGuid g;
    std::size_t byte = 0;
    for (std::size_t i = 0; i < t.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (t[i] != '-')
                return std::nullopt;
            ++i;
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(t[i])) || !std::isxdigit(static_cast<unsigned char>(t[i + 1])))
            return std::nullopt;
        g.bytes[byte++] = static_cast<std::uint8_t>(std::stoi(t.substr(i, 2), nullptr, 16));
        i += 2;
    }
    return g;
}

std::string TGuid::str() const
{
    char out[39];
    const auto& b = bytes;
    std::snprintf(out, sizeof out, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", b[0], b[1],
                  b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return out;
}

void DriverDeleter::operator()(AudioDriver* driver) const
{
    if (destroy)
        destroy(driver);
    else
        delete driver;
}

std::string driverfolder()
{
    if (const char* folder = std::getenv("VELK_DRIVER_FOLDER"); folder && *folder)
        return folder;
    return velkdriverfolder();
}

std::vector<TDavAsioDriverDescription> readdriverfolder(const std::string& folder)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(folder, ec))
        if (e.is_regular_file(ec))
            names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());

    std::vector<TDavAsioDriverDescription> out;
    for (const std::string& name : names) {
        std::ifstream in(folder + "/" + name);
        std::string line, clsid, description, library;
        while (std::getline(in, line)) {
            const std::size_t eq = line.find('=');
            if (eq == std::string::npos)
                continue;
            const std::string key = trim(line.substr(0, eq)), value = trim(line.substr(eq + 1));
            if (key == "clsid")
                clsid = value;
            else if (key == "description")
                description = value;
            else if (key == "library")
                library = value;
        }
        // An entry whose class id is empty or not a valid identifier is skipped; the others are
        // still listed.
        const std::optional<TGuid> id = TGuid::parse(clsid);
        if (!id)
            continue;
        TDavAsioDriverDescription d;
        d.classid = *id;
        d.name = description.empty() ? name : description;
        if (library == "builtin:jack") {
            TDavAsioDriverDescription j = jackdescription();
            j.classid = *id;
            j.name = d.name;
            out.push_back(std::move(j));
            continue;
        }
        if (library == "builtin:virtual") {
            out.push_back(virtualdescription(d.name, std::make_shared<VirtualDriverSettings>(virtualcardsettings(0))));
            out.back().classid = *id;
            continue;
        }
        const std::string base = std::filesystem::path(library).filename().string();
        for (const std::string& candidate : {library, folder + "/" + base, "/usr/lib/velk/drivers/" + base}) {
            if (!base.empty() && isfile(candidate)) {
                d.path = candidate;
                break;
            }
        }
        if (!d.path.empty())
            out.push_back(std::move(d));
    }
    return out;
}

VirtualDriverSettings virtualcardsettings(int index)
{
    VirtualDriverSettings s;
    s.name = "VELK Virtual Card " + std::to_string(index + 1);
    s.inputs = 8;
    s.realtime = true;
    for (int k = 0; k < s.inputs; ++k) {
        VirtualSignal sig;
        sig.kind = VirtualSignal::bursts;
        sig.frequency = 220.0 * (k + 1);
        sig.amplitude = 0.5;
        sig.onseconds = 1.0;
        sig.offseconds = k + 1.0;
        s.signals.push_back(sig);
    }
    return s;
}

TDavAsioDriverDescription virtualdescription(const std::string& name, std::shared_ptr<VirtualDriverSettings> settings,
                                             int index)
{
    TDavAsioDriverDescription d;
    d.classid = virtualclassid;
    d.classid.bytes[15] = static_cast<std::uint8_t>(index);
    d.name = name;
    d.path = "builtin:virtual";
    d.factory = [settings] { return DriverPtr(new VirtualDriver(settings)); };
    return d;
}

void setdriversource(std::function<std::vector<TDavAsioDriverDescription>()> s) { source() = std::move(s); }

void TDavAsioDriverList::enumerate()
{
    items_.clear();
    if (source()) {
        items_ = source()();
        return;
    }
    if (const std::optional<int> n = virtualcardcount()) {
        for (int i = 0; i < *n; ++i) {
            auto settings = std::make_shared<VirtualDriverSettings>(virtualcardsettings(i));
            items_.push_back(virtualdescription(settings->name, settings, i));
        }
        return;
    }
    items_ = readdriverfolder(driverfolder());
    if (JackDriver::serverrunning())
        items_.push_back(jackdescription());
    if (items_.empty()) {
        // Its test signal must not pass for audio: whoever starts it says so (startcards).
        auto settings = std::make_shared<VirtualDriverSettings>(virtualcardsettings(0));
        items_.push_back(virtualdescription(settings->name, settings, 0));
        items_.back().standin = true;
    }
}

DriverPtr createdriver(const TDavAsioDriverDescription& description)
{
    if (description.factory)
        return description.factory();
    std::shared_ptr<void> library(dlopen(description.path.c_str(), RTLD_NOW | RTLD_LOCAL), [](void* handle) {
        if (handle)
            dlclose(handle);
    });
    if (!library) {
        const char* why = dlerror();
        throw EVelkError(why ? why : "cannot load " + description.path);
    }
    auto create = reinterpret_cast<DriverCreateFn>(dlsym(library.get(), "velkdriver_create"));
    auto destroy = reinterpret_cast<DriverDestroyFn>(dlsym(library.get(), "velkdriver_destroy"));
    if (!create || !destroy)
        throw EVelkError(description.path + " is not a driver library");
    AudioDriver* driver = create(description.classid.bytes.data());
    if (!driver)
        throw EVelkError(description.path + " has no driver " + description.classid.str());
    return DriverPtr(driver, DriverDeleter{std::move(library), destroy});
}

}  // namespace velk
