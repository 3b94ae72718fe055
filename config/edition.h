#pragma once
// The two editions of the recorder: the ASIO edition (inputs from ASIO-style drivers) and the WDM
// edition (inputs from capture devices with an input mixer). They share the common data folder and
// differ only in the names of their configuration and schedule files and in the caption suffix.
//
// Threads: setedition() once by the program's start-up code before any other thread starts (and
// by tests); the getters from any thread.

#include <string>

namespace velk {

enum class Edition { Asio, Wdm };

// The edition of this process; Edition::Asio until setedition() is called.
Edition edition();
void setedition(Edition value);

// "config.xml" / "configds.xml"
std::string configfilename(Edition value);
std::string configfilename();
// "scheduler.xml" / "schedulerds.xml"
std::string schedulefilename(Edition value);
std::string schedulefilename();
// " (ASIO)" / " (WDM)", appended to the main window's caption.
std::string captionsuffix(Edition value);
std::string captionsuffix();

}  // namespace velk
