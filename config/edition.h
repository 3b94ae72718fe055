#pragma once
// The two editions of the recorder: the ASIO edition (inputs from ASIO-style drivers) and the WDM
// edition (inputs from capture devices with an input mixer). They share the common data folder and
// differ only in the names of their configuration and schedule files and in the caption suffix.
//
// The running recorder's edition is a member of VelkSystem, which hands it to what it starts;
// edition() forwards to it while a system is installed (installedition()), for the lower layers'
// tests and the callers that have not moved yet.
//
// Threads: installedition() and setedition() on the main thread while no worker runs (the
// system's construction and destruction, tests); the getters from any thread.

#include <string>

namespace velk {

enum class Edition { Asio, Wdm };

// The installed system's edition; without one, the value of the last setedition() (Edition::Asio
// before any).
Edition edition();
void setedition(Edition value);
// Installs the running system's edition as edition() (nullptr: the setedition() value again).
void installedition(const Edition* value);

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
