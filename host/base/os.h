// Operating-system services for the proxy other than sockets: the plug-in
// library, threads with small stacks, the stop signal, the trace level handed
// to the plug-in, limits and local time.
//
// One declaration, two implementations chosen by the build: os_posix.cpp and
// os_win32.cpp.
#ifndef DIVIVEZ_HOST_BASE_OS_H_
#define DIVIVEZ_HOST_BASE_OS_H_

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>

// Loads a shared library by path. nullptr with *error on failure.
void* OsLoadLibrary(const std::string& path, std::string* error);
// Looks an exported function up by name; nullptr when absent.
void* OsFindSymbol(void* library, const char* name);

// Starts a detached thread running fn(arg) with a stack of stackBytes.
bool OsStartThread(void (*fn)(void*), void* arg, size_t stackBytes, std::string* error);

// Whether a thread whose connection has ended may serve the next one. Not on
// Windows: there the plug-in re-reads its settings (trace level, unspooled
// relay) when a thread starts or ends, and reused threads would keep a
// changed setting from being seen.
bool OsMayReuseConnectionThreads();

// Calls onStop (from a signal handler or a console control thread: it must
// only touch lock-free atomics) on SIGINT/SIGTERM or Ctrl-C / Ctrl-Break /
// console close. Also makes writes to closed sockets return errors instead
// of killing the process.
void OsInstallStopHandler(void (*onStop)());

// The reload signal: SIGHUP on POSIX; on Windows an event that the
// service's PARAMCHANGE control sets (service.h).
// Blocks the signal in the calling thread and in the threads it starts
// later, so that it reaches OsWaitReloadSignal only (no blocking call of
// another thread is interrupted by it); call before any thread starts.
bool OsBlockReloadSignal();
// Waits for the reload signal; true when it came.
bool OsWaitReloadSignal();
// Sends the process the reload signal (wakes a thread in OsWaitReloadSignal).
void OsRaiseReloadSignal();

// The directory holding the running executable, with a trailing separator.
std::string OsExecutableDirectory();

bool OsStderrIsTerminal();

// Sets the trace level that the plug-in reads when it is loaded: the
// DIVIVEZ_DEBUG_LEVEL environment variable on POSIX, the DebugLevel value
// under HKLM\Software\Corvane\ZEBMail on Windows. Returns where it went (for
// the log), or an empty string when it could not be set.
std::string OsSetPluginTraceLevel(int level);

// Sets the plug-in's spool-failure setting (when it cannot create a spool
// file: relay the message unscanned, or refuse it with 451): the
// DIVIVEZ_RELAY_UNSPOOLED environment variable on POSIX ("1" relays), the
// RelayUnspooled value (REG_DWORD, 1 relays) under
// HKLM\Software\Corvane\ZEBMail on Windows, created when missing. Returns
// where it went, or an empty string with *error.
std::string OsSetPluginRelayUnspooled(bool relay, std::string* error);

// Tells the plug-in which callback version this host speaks
// (session/scan_request.h): the DIVIVEZ_CALLBACK_VERSION variable of this
// process's environment on both platforms, never the registry, since only
// this process answers what it asks. Call before the plug-in is loaded.
// False with *error.
bool OsSetPluginCallbackVersion(int version, std::string* error);

// The temporary directory the plug-in spools into, with a trailing separator.
std::string OsTempDirectory();

// True when the file belongs to the user this process runs as (on Windows,
// where the temporary directory is the user's own, always true).
bool OsOwnedByCurrentUser(const std::string& path);

// Creates a new file for writing that no one else can read: fails when the
// name exists (a symbolic link included). POSIX: O_CREAT|O_EXCL|O_NOFOLLOW,
// mode 0600; Windows: CREATE_NEW. nullptr with *error on failure.
std::FILE* OsCreatePrivateFile(const std::string& path, std::string* error);

// Opens a log file for appending, created when missing. On Windows it may
// be renamed or deleted while open (FILE_SHARE_DELETE), so that it can be
// rotated as on POSIX: moved aside, then reopened by the reload signal.
// nullptr with *error ("cannot open log file PATH: reason").
std::FILE* OsOpenLogFile(const std::string& path, std::string* error);

// Hands a file's bytes, from the first to the last, to take() in pieces of
// at most pieceBytes, until take() returns false. POSIX maps a file over
// 1 MiB and hands out the page cache itself (no copy, no read call per
// piece) and reads a smaller one four pieces at a time; Windows reads it
// through one buffer of pieceBytes. False with *error ("cannot open
// PATH: reason" or "read error on PATH") when it cannot be read.
bool OsReadFilePieces(const std::string& path, size_t pieceBytes,
                      const std::function<bool(const char*, size_t)>& take, std::string* error);

// Reads a whole regular file of at most maxBytes into *text. Anything else
// (a FIFO, a device, a directory) is refused unread. The check is made on
// the opened file, so a name swapped after a check cannot slip by; POSIX
// opens with O_NONBLOCK, so a FIFO without a writer does not hold up the
// open. False with *error ("cannot open PATH: reason", "PATH is not a
// regular file", "PATH is larger than N bytes", "read error on PATH").
bool OsReadRegularFile(const std::string& path, size_t maxBytes, std::string* text,
                       std::string* error);

// Flushes the stream and forces its data to the disk.
bool OsSyncFile(std::FILE* file);

// Forces a directory's entries (a rename into it) to the disk; true where
// the platform has no such operation (Windows).
bool OsSyncDirectory(const std::string& path);

// Makes a directory accessible to its owner only (POSIX mode 0700).
void OsMakePrivateDirectory(const std::string& path);

// Raises the open-file limit as far as allowed (descriptors on POSIX, C
// runtime streams on Windows); returns the limit in force.
unsigned long OsRaiseFileLimit();

// Thread-safe local time.
void OsLocalTime(std::time_t when, std::tm* out);

unsigned long OsProcessId();

#endif  // DIVIVEZ_HOST_BASE_OS_H_
