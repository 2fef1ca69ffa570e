// Exclusive creation of a private spool file.
//
// The file is created only if no file of that name exists (no link is
// followed), readable and writable by its owner alone, and returned as a
// binary stdio stream for writing. On failure returns nullptr and sets
// *pExists when the failure was that the name is taken.
#ifndef DIVIVEZ_PLATFORM_SPOOL_FILE_H_
#define DIVIVEZ_PLATFORM_SPOOL_FILE_H_

#include <cstdio>

FILE* PlatformCreateExclusive(const char* path, bool* pExists);

// The length of the file behind the stream, 64 bits wide on every build
// (a 32-bit long cannot hold a message over 2 GiB), with the position put
// back at the start; -1 on failure.
long long PlatformFileLength(FILE* file);

#endif  // DIVIVEZ_PLATFORM_SPOOL_FILE_H_
