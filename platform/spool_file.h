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

#endif  // DIVIVEZ_PLATFORM_SPOOL_FILE_H_
