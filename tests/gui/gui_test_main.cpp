// The window tests share one QApplication. CTest runs each of them twice: on the offscreen
// platform, and on a real X display (VELK_TEST_XVFB=1: a private Xvfb server per test process,
// which also carries the windows of the programs the tests start).
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "tests/support/xvfb_server.h"

#if defined(__SANITIZE_ADDRESS__)
// The session bus library keeps one buffer until the process ends (on X the platform plugin
// opens the bus).
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libdbus-1.so\n";
}
#endif

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    std::unique_ptr<velk::test::XvfbServer> xserver;
    const char* xvfb = std::getenv("VELK_TEST_XVFB");
    if (xvfb && std::strcmp(xvfb, "1") == 0 && !::testing::GTEST_FLAG(list_tests)) {
        xserver = std::make_unique<velk::test::XvfbServer>();
        setenv("DISPLAY", xserver->display().c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    int result = 0;
    {
        QApplication app(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        if (xserver && QApplication::platformName() != QStringLiteral("xcb")) {
            fprintf(stderr, "The window tests asked for X but run on %s\n", qPrintable(QApplication::platformName()));
            return 1;
        }
        result = RUN_ALL_TESTS();
    }
    return result;
}
