// Running as a Windows service: the Service Control Manager's start, stop
// and reload, the service's registration, and the Windows event log.
//
// One declaration, two implementations chosen by the build: win32/service.cpp
// and posix/service.cpp, where there are no services and every function
// says so (a Linux host is run by systemd, which needs none of this).
#ifndef DIVIVEZ_HOST_BASE_SERVICE_H_
#define DIVIVEZ_HOST_BASE_SERVICE_H_

#include <functional>
#include <string>
#include <vector>

// The service's name, and its event-log source.
constexpr const char kServiceName[] = "divivez";

// Whether this platform has services.
bool ServiceSupported();

// Connects to the Service Control Manager and runs body on the service's
// thread; returns body's status once the service has reported that it
// stopped. STOP and SHUTDOWN report a stop pending (with a wait hint of
// stopWaitMs) and call onStop (which must only touch lock-free atomics);
// PARAMCHANGE raises the reload signal (OsRaiseReloadSignal). -1 with
// *error when this process was not started by the Service Control Manager.
int ServiceRun(const std::function<int()>& body, void (*onStop)(), int stopWaitMs,
               std::string* error);
// Tells the Service Control Manager that the service runs and takes STOP,
// SHUTDOWN and PARAMCHANGE; until then it is start-pending. No-op outside a
// service.
void ServiceReportRunning();

enum class EventKind { kInformation, kWarning, kError };
// Writes text to the Windows event log under the source kServiceName; false
// when the event log refused it (or on POSIX).
bool ServiceEvent(EventKind kind, const std::string& text);

// The service's data directory (%ProgramData%\divivez\, with a trailing
// separator), created when missing; empty on POSIX or when it cannot be.
std::string ServiceDataDirectory();

// Registers the service (automatic start) to run this executable with
// "--windows-service run" and args, as the virtual account
// NT SERVICE\divivez (LocalService where that account cannot be used), and
// the event-log source; grants that account change rights on the data
// directory and the plug-in's registry key. Needs administrator rights.
// *report holds one line per step, or the error.
bool ServiceInstall(const std::vector<std::string>& args, std::vector<std::string>* report,
                    std::string* error);
// Stops the service when it runs (waiting up to waitMs), deletes it and its
// event-log source. The data directory stays.
bool ServiceUninstall(int waitMs, std::vector<std::string>* report, std::string* error);

// Sends the running service PARAMCHANGE, as sc control divivez paramchange
// does (Wine's sc has no "control").
bool ServiceReload(std::string* error);

#endif  // DIVIVEZ_HOST_BASE_SERVICE_H_
