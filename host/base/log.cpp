// The proxy's log. See log.h.
#include "host/base/log.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include "host/base/os.h"

std::string LogSafe(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  static const char kCut[] = "...";
  constexpr size_t kRoom = kMaxLogField - (sizeof kCut - 1);
  std::string out;
  out.reserve(std::min(text.size(), kMaxLogField));
  size_t fits = 0;  // the output's length after the last byte that leaves room for the mark
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) {
      out.append("\\x");
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    } else {
      out.push_back(static_cast<char>(c));
    }
    if (out.size() <= kRoom) fits = out.size();
    if (out.size() > kMaxLogField) {
      out.resize(fits);
      out.append(kCut);
      break;
    }
  }
  return out;
}

Logger::Logger() = default;

Logger::~Logger() {
  if (m_file != nullptr) std::fclose(m_file);
}

bool Logger::OpenFile(const std::string& path, std::string* error) {
  std::FILE* file = OsOpenLogFile(path, error);
  if (file == nullptr) return false;
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_file != nullptr) std::fclose(m_file);
  m_file = file;
  m_path = path;
  return true;
}

bool Logger::ReopenFile(std::string* error) {
  std::string path;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_file == nullptr) return true;
    path = m_path;
  }
  // The new file is opened before the old one is closed: a file that
  // cannot be opened leaves the lines going where they went.
  return OpenFile(path, error);
}

void Logger::ClearBarLocked() {
  if (m_barShown) {
    std::fputs("\r\x1b[K", stderr);
    m_barShown = false;
  }
}

void Logger::Line(const char* format, ...) {
  // "2024-05-01 12:34:56.789 divivez-proxy: message\n", built in one buffer
  // and written at once; the message is cut at kMaxMessage bytes.
  static const char kTag[] = " divivez-proxy: ";
  constexpr size_t kMaxMessage = 1023;
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const long millis = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  char line[sizeof m_stamp + 4 + sizeof kTag + kMaxMessage + 1];
  std::lock_guard<std::mutex> lock(m_mutex);
  // Local time changes once a second; it is worked out only then.
  if (seconds != m_stampSecond || m_stamp[0] == '\0') {
    std::tm local{};
    OsLocalTime(seconds, &local);
    std::snprintf(m_stamp, sizeof m_stamp, "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    m_stampSecond = seconds;
  }
  size_t length = std::strlen(m_stamp);
  std::memcpy(line, m_stamp, length);
  line[length++] = '.';
  line[length++] = static_cast<char>('0' + millis / 100);
  line[length++] = static_cast<char>('0' + millis / 10 % 10);
  line[length++] = static_cast<char>('0' + millis % 10);
  std::memcpy(line + length, kTag, sizeof kTag - 1);
  length += sizeof kTag - 1;
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(line + length, kMaxMessage + 1, format, args);
  va_end(args);
  length += n < 0 ? 0 : std::min(static_cast<size_t>(n), kMaxMessage);
  line[length++] = '\n';
  ClearBarLocked();
  std::fwrite(line, 1, length, stderr);
  std::fflush(stderr);
  if (m_file != nullptr) {
    std::fwrite(line, 1, length, m_file);
    std::fflush(m_file);
  }
}

void Logger::Progress(const std::string& label, unsigned percent) {
  if (!m_terminal) return;
  std::lock_guard<std::mutex> lock(m_mutex);
  if (percent >= 100) {
    ClearBarLocked();
    std::fflush(stderr);
    return;
  }
  constexpr unsigned kWidth = 30;
  char bar[kWidth + 1];
  const unsigned filled = percent * kWidth / 100;
  for (unsigned i = 0; i < kWidth; ++i) bar[i] = i < filled ? '=' : ' ';
  bar[kWidth] = '\0';
  std::fprintf(stderr, "\r\x1b[K%s [%s] %3u%%", label.c_str(), bar, percent);
  std::fflush(stderr);
  m_barShown = true;
}
