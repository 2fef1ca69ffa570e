// The Win32 surface the plug-in is written against.
//
// On Windows this is <windows.h> and Winsock 2 themselves. Elsewhere it
// declares the few types, constants and functions the plug-in uses, with the
// meaning the plug-in relies on, implemented in platform/posix/. Nothing else
// of Win32 is imitated: the stand-ins are exactly as wide as the plug-in's use.
#ifndef DIVIVEZ_PLATFORM_PLATFORM_H_
#define DIVIVEZ_PLATFORM_PLATFORM_H_

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <windows.h>
#else
#include <cstdarg>
#include <cstdint>

typedef uint32_t DWORD;
typedef int BOOL;
typedef void* HANDLE;
typedef int SOCKET;  // a file descriptor

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif
#define INVALID_SOCKET (-1)
#define SOCKET_ERROR (-1)
#define INFINITE 0xFFFFFFFFu
#define MAX_PATH 260

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define QS_ALLINPUT 0x04FFu
#define QS_ALLPOSTMESSAGE 0x0100u
#define PM_REMOVE 0x0001u

// Windows Sockets error codes the plug-in can see; errno values are mapped
// onto these by the POSIX socket layer.
#define WSAEINTR 10004
#define WSAEBADF 10009
#define WSAEACCES 10013
#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSAEMFILE 10024
#define WSAEWOULDBLOCK 10035
#define WSAEINPROGRESS 10036
#define WSAENOTSOCK 10038
#define WSAEMSGSIZE 10040
#define WSAENETDOWN 10050
#define WSAENETUNREACH 10051
#define WSAENETRESET 10052
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAENOBUFS 10055
#define WSAENOTCONN 10057
#define WSAESHUTDOWN 10058
#define WSAETIMEDOUT 10060
#define WSAECONNREFUSED 10061
#define WSAEHOSTUNREACH 10065

#define SD_SEND 1

struct MSG {
  int unused;
};

DWORD GetTickCount();
void Sleep(DWORD milliseconds);
DWORD GetTempPathA(DWORD size, char* buffer);
BOOL DeleteFileA(const char* path);
DWORD GetLastError();
int WSAGetLastError();
void OutputDebugStringA(const char* text);
int wsprintfA(char* buffer, const char* format, ...);
int wvsprintfA(char* buffer, const char* format, va_list args);

HANDLE CreateMutexA(void* attributes, BOOL initialOwner, const char* name);
BOOL ReleaseMutex(HANDLE mutex);
BOOL CloseHandle(HANDLE handle);
DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                DWORD milliseconds, DWORD wakeMask);
BOOL PeekMessageA(MSG* msg, void* window, unsigned filterMin, unsigned filterMax,
                  unsigned removeMsg);
BOOL TranslateMessage(const MSG* msg);
long DispatchMessageA(const MSG* msg);
#endif  // _WIN32

#endif  // DIVIVEZ_PLATFORM_PLATFORM_H_
