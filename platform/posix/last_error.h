// The calling thread's last-error value on POSIX, shared by the stand-ins.
//
// As on Windows, where WSAGetLastError() is GetLastError(), one per-thread
// value serves both: a failing socket call leaves a Windows Sockets code in
// it, a failing file call a Windows system error code. Every stand-in that
// fails stores its code here right after the failing system call, before
// anything else can change errno.
#ifndef DIVIVEZ_PLATFORM_POSIX_LAST_ERROR_H_
#define DIVIVEZ_PLATFORM_POSIX_LAST_ERROR_H_

#include "platform/platform.h"

void PosixSetLastError(DWORD code);

// The Windows Sockets code a Winsock call would report for this errno.
DWORD WsaErrorFromErrno(int error);
// The Windows system error code a kernel32 file call would report.
DWORD SystemErrorFromErrno(int error);

#endif  // DIVIVEZ_PLATFORM_POSIX_LAST_ERROR_H_
