// The proxy's log: timestamped lines on stderr (and optionally a file), and
// a delivery progress bar when stderr is a terminal.
//
// Thread-safe: every connection thread logs. A progress bar occupies the
// last terminal line until the next log line or its own completion clears it.
#ifndef DIVIVEZ_HOST_BASE_LOG_H_
#define DIVIVEZ_HOST_BASE_LOG_H_

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

class Logger {
 public:
  Logger();
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Appends lines to path too. False with *error when it cannot be opened.
  bool OpenFile(const std::string& path, std::string* error);
  // Opens the file of OpenFile again by its name, for rotation: lines go to
  // a new file once the old one was moved aside. True when there is none.
  // False with *error when it cannot be opened; lines then still go to the
  // file open before.
  bool ReopenFile(std::string* error);
  void SetTerminal(bool terminal) { m_terminal = terminal; }
  bool Terminal() const { return m_terminal; }

  // The format is checked as C99 printf: mingw's own stdio, which the C++
  // runtime selects, understands %zu and %llu.
  void Line(const char* format, ...)
#if defined(__MINGW32__)
      __attribute__((format(gnu_printf, 2, 3)))
#elif defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
      ;

  // Draws (terminal only) "label [=====     ] 45%"; percent 100 clears it.
  void Progress(const std::string& label, unsigned percent);

 private:
  void ClearBarLocked();

  std::mutex m_mutex;
  // The local time of m_stampSecond, "YYYY-MM-DD HH:MM:SS".
  std::time_t m_stampSecond = 0;
  char m_stamp[48] = "";
  std::FILE* m_file = nullptr;
  std::string m_path;
  bool m_terminal = false;
  bool m_barShown = false;
};

// A field that a client, a server or a scanner supplied (an address, reply
// text, a peer name), made safe for a log line: bytes below 0x20 and 0x7F
// become \xNN, and the result is at most kMaxLogField bytes (cut with "...").
constexpr size_t kMaxLogField = 256;
std::string LogSafe(const std::string& text);

#endif  // DIVIVEZ_HOST_BASE_LOG_H_
