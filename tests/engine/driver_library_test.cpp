// A third-party driver built as a shared library, registered in the driver folder and opened by
// the host by its class id through dlopen. The library is compiled by the test from a small
// source with the system's compiler (skipped, with the reason, when there is none).

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "core/errors.h"
#include "engine/asio_host.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/temp_folder.h"

namespace velk {
namespace {

// A driver with 3 inputs of 16-bit samples that answers one class id.
const char* pluginsource = R"(
#include <cstring>
#include "engine/audio_driver.h"
using namespace velk;
namespace {
const std::uint8_t id[16] = {0x12,0x34,0x56,0x78,0x9A,0xBC,0xDE,0xF0,0x01,0x23,0x45,0x67,0x89,0xAB,0xCD,0xEF};
struct Plugin final : AudioDriver {
    ASIOBool init(void*) override { return 1; }
    void getDriverName(char* n) override { std::strcpy(n, "Plugin Card"); }
    std::int32_t getDriverVersion() override { return 7; }
    void getErrorMessage(char* s) override { s[0] = 0; }
    ASIOError start() override { return ASE_OK; }
    ASIOError stop() override { return ASE_OK; }
    ASIOError getChannels(std::int32_t* i, std::int32_t* o) override { *i = 3; *o = 0; return ASE_OK; }
    ASIOError getLatencies(std::int32_t* i, std::int32_t* o) override { *i = 11; *o = 0; return ASE_OK; }
    ASIOError getBufferSize(std::int32_t* mn, std::int32_t* mx, std::int32_t* p, std::int32_t* g) override
    { *mn = 32; *mx = 32; *p = 32; *g = 0; return ASE_OK; }
    ASIOError canSampleRate(ASIOSampleRate r) override { return r == 48000 ? ASE_OK : ASE_NoClock; }
    ASIOError getSampleRate(ASIOSampleRate* r) override { *r = 48000; return ASE_OK; }
    ASIOError setSampleRate(ASIOSampleRate r) override { return canSampleRate(r); }
    ASIOError getClockSources(ASIOClockSource*, std::int32_t* n) override { *n = 0; return ASE_OK; }
    ASIOError setClockSource(std::int32_t) override { return ASE_OK; }
    ASIOError getSamplePosition(std::uint64_t*, std::uint64_t*) override { return ASE_SPNotAdvancing; }
    ASIOError getChannelInfo(ASIOChannelInfo* info) override
    { info->type = 16; std::strcpy(info->name, "Plug In"); return ASE_OK; }
    ASIOError createBuffers(ASIOBufferInfo* b, std::int32_t n, std::int32_t size, const ASIOCallbacks*) override
    { for (std::int32_t k = 0; k < n; ++k) { b[k].buffers[0] = mem + k * 64; b[k].buffers[1] = mem + k * 64 + 32; } (void)size; return ASE_OK; }
    ASIOError disposeBuffers() override { return ASE_OK; }
    ASIOError controlPanel() override { return ASE_NotPresent; }
    ASIOError future(std::int32_t, void*) override { return ASE_NotPresent; }
    ASIOError outputReady() override { return ASE_OK; }
    std::int16_t mem[3 * 64] = {};
};
}
extern "C" AudioDriver* velkdriver_create(const std::uint8_t classid[16])
{ return std::memcmp(classid, id, 16) == 0 ? new Plugin : nullptr; }
extern "C" void velkdriver_destroy(AudioDriver* d) { delete d; }
)";

TEST(DriverLibrary, ARegisteredLibraryIsOpenedByItsClassId)
{
    test::TempFolder folder;
    const std::filesystem::path root = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
    test::writetextfile(folder.file("plugin.cpp"), pluginsource);
    const std::string library = folder.file("plugin.so");
    const std::string command = "c++ -std=c++20 -shared -fPIC -I" + root.string() + " -o " + library + " " +
                                folder.file("plugin.cpp") + " 2>" + folder.file("cc.log");
    if (std::system(command.c_str()) != 0 || !std::filesystem::exists(library))
        GTEST_SKIP() << "no C++ compiler to build the test driver: " << test::readtextfile(folder.file("cc.log"));

    test::writetextfile(folder.file("Plugin"),
                        "clsid={12345678-9ABC-DEF0-0123-456789ABCDEF}\ndescription=Plug\nlibrary=" + library + "\n");
    test::writetextfile(folder.file("Wrong"),
                        "clsid={12345678-9ABC-DEF0-0123-456789ABCDE0}\ndescription=Wrong id\nlibrary=" + library + "\n");
    const auto list = readdriverfolder(folder.path());
    ASSERT_EQ(list.size(), 2u);
    test::DriverSourceScope scope(list);

    TAsioHost host;
    host.setDriverIndex(test::listed(), 0);
    EXPECT_EQ(host.DriverName(), "Plugin Card");
    EXPECT_EQ(host.DriverVersion(), 7);
    EXPECT_EQ(host.InputChannelCount(), 3);
    EXPECT_EQ(host.BufferSize(), 32);
    EXPECT_EQ(host.InputLatency(), 11);
    EXPECT_STREQ(host.InputChannelInfo(2).name, "Plug In");
    host.setDriverIndex(test::listed(), -1);

    // The library has no driver of the second class id.
    try {
        host.setDriverIndex(test::listed(), 1);
        ADD_FAILURE();
    } catch (const EVelkError& e) {
        EXPECT_STREQ(e.what(), "Asio driver failed!");
    }
}

}  // namespace
}  // namespace velk
