// Trace lines: the threshold test, formatting, and the escaping of peers' bytes.
// Callable from any thread; each line goes to the debug output in one call.
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
  wvsprintfA(buffer, format, args);
  va_end(args);
  PlatformDebugOutput(buffer);
}

void TraceText(int threshold, const char* prefix, const char* text, size_t length,
               const char* suffix) {
  if (!TraceOn(threshold)) return;
  const void* nul = std::memchr(text, '\0', length);
  if (nul != nullptr) length = static_cast<size_t>(static_cast<const char*>(nul) - text);
  // The text's own line end stays; every other control byte is escaped, so
  // that peers' bytes cannot forge or garble trace lines.
  size_t end = length;
  if (end > 0 && text[end - 1] == '\n') --end;
  if (end > 0 && end < length && text[end - 1] == '\r') --end;
  std::string line(prefix);
  line.reserve(line.size() + length + std::strlen(suffix) + 16);
  static const char kHex[] = "0123456789ABCDEF";
  for (size_t i = 0; i < end; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != 0x7F) {
      line.push_back(static_cast<char>(c));
    } else if (c == '\r') {
      line.append("\\r");
    } else if (c == '\n') {
      line.append("\\n");
    } else {
      const char escaped[] = {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
      line.append(escaped, sizeof escaped);
    }
  }
  line.append(text + end, length - end);
  line.append(suffix);
  PlatformDebugOutput(line.c_str());
}
