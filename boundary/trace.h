// Trace lines to the debugger output, governed by g_nDebugLevel.
//
// A line is written when the level is above the threshold given: 0 for
// operational lines, 1 for the server echo and reply lines, 2 for the command
// echo. Lines that carry numbers are formatted with wsprintfA's %d/%X/%s.
#ifndef DIVIVEZ_BOUNDARY_TRACE_H_
#define DIVIVEZ_BOUNDARY_TRACE_H_

#include <cstddef>

#include "boundary/settings.h"

inline bool TraceOn(int threshold) { return g_nDebugLevel > threshold; }

// Writes the line as it is.
void Trace(int threshold, const char* line);
// Formats with wsprintfA into a local buffer (at most 1024 characters).
void TraceF(int threshold, const char* format, ...);
// Writes prefix, then length bytes of text up to its first NUL, then suffix.
// Bytes below 0x20 and 0x7F in the text are written as \\r, \\n or \\xNN, except a
// line end (LF or CRLF) that ends it.
void TraceText(int threshold, const char* prefix, const char* text, size_t length,
               const char* suffix);

#endif  // DIVIVEZ_BOUNDARY_TRACE_H_
