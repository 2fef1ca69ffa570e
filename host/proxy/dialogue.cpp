// The dialogue as the host follows it, for the time limits and the log: the
// client's complete command lines (and the envelope they name), the message
// data between DATA and its end, and the server's replies. It sees what the
// plug-in read, through the host's socket service or a peek before the call.
#ifndef NOMINMAX
#define NOMINMAX  // <windows.h> comes in through the plug-in's header
#endif
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "host/proxy/connection.h"

namespace {

// The longest reply line kept for the log.
constexpr size_t kMaxKeptLine = 1024;
// The longest command line kept whole, its CR LF included: the longest the
// plug-in holds before it acts on it (CSmtpConnection::kMaxPartialLine), so
// that the envelope the quarantine records is the one the plug-in passed
// on. Past it the plug-in relays the line in pieces; its head is kept.
constexpr size_t kMaxKeptCommandLine = 16384 + 2;

bool StartsNoCase(const std::string& text, const char* prefix) {
  const size_t n = std::strlen(prefix);
  if (text.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = text[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != prefix[i]) return false;
  }
  return true;
}

// The path of "MAIL FROM:<a> ..." / "RCPT TO:<a> ...", after the prefix,
// without the line end (a line cut at its kept head has no closing '>').
std::string PathOf(const std::string& line, size_t prefix) {
  size_t stop = line.size();
  while (stop > prefix && (line[stop - 1] == '\n' || line[stop - 1] == '\r')) --stop;
  size_t begin = prefix;
  while (begin < stop && line[begin] == ' ') ++begin;
  size_t end = begin;
  if (end < stop && line[end] == '<') {
    const size_t close = line.find('>', end);
    end = close == std::string::npos || close >= stop ? stop : close + 1;
  } else {
    while (end < stop && line[end] != ' ' && line[end] != '\r') ++end;
  }
  return line.substr(begin, end - begin);
}

}  // namespace

void Proxy::FromClient(Connection* c, const char* data, size_t length) {
  const Clock::time_point now = Clock::now();
  size_t i = 0;
  while (i < length) {
    if (c->inData) {
      // Every read counts while a message arrives; its end is CR LF . CR LF.
      c->progress = now;
      bool ended = false;
      const size_t taken = c->dataEnd.Feed(data + i, length - i, &ended);
      c->dataBytes += taken;
      i += taken;
      if (ended) {
        ++c->messagesEnded;
        c->inData = false;
        c->awaiting = true;
        c->owed = true;
        c->line.clear();
      }
      continue;
    }
    // A command line ends in CR LF; only a complete one counts.
    const char b = data[i++];
    const bool wasCr = !c->line.empty() && c->line.back() == '\r';
    if (c->line.size() < kMaxKeptCommandLine) {
      c->line.push_back(b);
    } else {
      // Past the kept head only a line end matters.
      c->line.back() = b == '\r' || b == '\n' ? b : ' ';
    }
    if (b != '\n' || !wasCr) continue;
    c->progress = now;
    c->awaiting = true;
    const std::string& line = c->line;
    c->owed = true;
    if (StartsNoCase(line, "DATA")) {
      // The plug-in takes any line beginning with DATA as DATA.
      c->inData = true;
      c->dataBytes = 0;
      c->dataEnd.Begin();
    } else if (StartsNoCase(line, "MAIL FROM:")) {
      c->sender = PathOf(line, 10);
      c->firstRecipient.clear();
      c->recipients = 0;
    } else if (StartsNoCase(line, "RCPT TO:")) {
      if (c->recipients++ == 0) c->firstRecipient = PathOf(line, 8);
    }
    c->line.clear();
  }
}

void Proxy::FromServer(Connection* c, const char* data, size_t length) {
  if (length == 0) return;
  c->progress = Clock::now();
  c->awaiting = false;
  // Without the host's socket service the client's replies are not seen
  // going out: the server's stand for them.
  if (c->pump.peek) c->owed = false;
  for (size_t i = 0; i < length; ++i) {
    const char b = data[i];
    if (b == '\n' && c->replyLineCr) {
      std::string& line = c->replyLine;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const bool last = line.size() < 4 || line[3] != '-';
      if (last && line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
          std::isdigit(static_cast<unsigned char>(line[1])) &&
          std::isdigit(static_cast<unsigned char>(line[2]))) {
        const int code = std::atoi(line.substr(0, 3).c_str());
        // A DATA the server refused (relayed when the plug-in could not
        // spool) leaves the client in the command phase.
        if (c->inData && c->dataBytes == 0 && code >= 400) c->inData = false;
        if (c->pump.peek) c->toldClosing = code == 221 || code == 421;
        ServerReply(c, code, line);
      }
      line.clear();
      c->replyLineCr = false;
      continue;
    }
    c->replyLineCr = b == '\r';
    if (c->replyLine.size() < kMaxKeptLine) c->replyLine.push_back(b);
  }
}

void Proxy::ToClient(Connection* c, const char* data, size_t length) {
  if (length == 0) return;
  c->owed = false;
  // The last reply line sent decides: a 221 or a 421 tells the client that
  // the end comes.
  size_t last = length - 1;
  if (last > 0 && data[last] == '\n') --last;
  while (last > 0 && data[last - 1] != '\n') --last;
  c->toldClosing = length - last >= 4 && (std::strncmp(data + last, "221", 3) == 0 ||
                                          std::strncmp(data + last, "421", 3) == 0);
}
