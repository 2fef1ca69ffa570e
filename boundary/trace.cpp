#include "boundary/trace.h"

#include <cstdarg>
#include <cstring>
#include <string>

#include "platform/debug_output.h"
#include "platform/platform.h"

void Trace(int threshold, const char* line) {
  if (TraceOn(threshold)) PlatformDebugOutput(line);
}

void TraceF(int threshold, const char* format, ...) {
  if (!TraceOn(threshold)) return;
  // wsprintfA writes at most 1024 characters; the formats used are short.
  char buffer[1025];
  va_list args;
  va_start(args, format);
#ifdef _WIN32
  wvsprintfA(buffer, format, args);
#else
  vsnprintf(buffer, sizeof buffer, format, args);
#endif
  va_end(args);
  PlatformDebugOutput(buffer);
}

void TraceText(int threshold, const char* prefix, const char* text, size_t length,
               const char* suffix) {
  if (!TraceOn(threshold)) return;
  const void* nul = std::memchr(text, '\0', length);
  if (nul != nullptr) length = static_cast<size_t>(static_cast<const char*>(nul) - text);
  std::string line(prefix);
  line.append(text, length);
  line.append(suffix);
  PlatformDebugOutput(line.c_str());
}
