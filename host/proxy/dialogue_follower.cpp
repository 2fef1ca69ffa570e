// The dialogue as the host follows it. See dialogue_follower.h.
#include "host/proxy/dialogue_follower.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "host/base/log.h"
#include "session/command_syntax.h"

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

void DialogueFollower::FromClient(const char* data, size_t length, Clock::time_point now) {
  size_t i = 0;
  while (i < length) {
    if (m_inData) {
      // Every read counts while a message arrives; its end is CR LF . CR LF.
      m_progress = now;
      bool ended = false;
      const size_t taken = m_dataEnd.Feed(data + i, length - i, &ended);
      m_dataBytes += taken;
      i += taken;
      if (ended) {
        ++m_messagesEnded;
        m_inData = false;
        m_awaiting = true;
        m_owed = true;
        m_line.clear();
      }
      continue;
    }
    // A command line ends in CR LF; only a complete one counts.
    const char b = data[i++];
    const bool wasCr = !m_line.empty() && m_line.back() == '\r';
    if (m_line.size() < kMaxKeptCommandLine) {
      m_line.push_back(b);
    } else {
      // Past the kept head only a line end matters.
      m_line.back() = b == '\r' || b == '\n' ? b : ' ';
    }
    if (b != '\n' || !wasCr) continue;
    m_progress = now;
    m_awaiting = true;
    const std::string& line = m_line;
    m_owed = true;
    // Read as the plug-in reads it (session/command_syntax.h): a malformed
    // line is refused there, and an answer to a challenge is no command
    // whatever it spells. Of an over-long line the kept head is judged, as
    // the plug-in judges the head it acts on. NOT: a line the client sent
    // before the 334 arrived is taken as a command here, where the plug-in,
    // which holds it until then, takes it as the answer; only the time
    // limits and the log can differ, never what reaches the server.
    const bool whole = line.size() >= 2 && line[line.size() - 2] == '\r';
    const bool command =
        !m_authAnswerDue && CommandLineSyntax(line.data(), whole ? line.size() : line.size() - 1) ==
                                ECommandSyntax::kWellFormed;
    m_authAnswerDue = false;
    if (!command) {
      // Answered without the server, or passed on as an answer.
    } else if (StartsNoCase(line, "DATA")) {
      // The plug-in takes any well-formed line beginning with DATA as DATA.
      m_inData = true;
      m_dataBytes = 0;
      m_dataEnd.Begin();
    } else if (StartsNoCase(line, "MAIL FROM:")) {
      m_sender = PathOf(line, 10);
      m_firstRecipient.clear();
      m_recipients = 0;
    } else if (StartsNoCase(line, "RCPT TO:")) {
      if (m_recipients++ == 0) m_firstRecipient = PathOf(line, 8);
    }
    m_line.clear();
  }
}

void DialogueFollower::FromServer(const char* data, size_t length, Clock::time_point now,
                                  ReplySink* sink) {
  if (length == 0) return;
  m_progress = now;
  m_awaiting = false;
  if (m_repliesUnseen) m_owed = false;
  for (size_t i = 0; i < length; ++i) {
    const char b = data[i];
    if (b == '\n' && m_replyLineCr) {
      std::string& line = m_replyLine;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const bool last = line.size() < 4 || line[3] != '-';
      if (last && line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
          std::isdigit(static_cast<unsigned char>(line[1])) &&
          std::isdigit(static_cast<unsigned char>(line[2]))) {
        const int code = std::atoi(line.substr(0, 3).c_str());
        // A DATA the server refused (relayed when the plug-in could not
        // spool) leaves the client in the command phase.
        if (m_inData && m_dataBytes == 0 && code >= 400) m_inData = false;
        // The client's next line answers the challenge (RFC 4954 section 4).
        m_authAnswerDue = code == 334 && !m_inData;
        if (m_repliesUnseen) m_toldClosing = code == 221 || code == 421;
        sink->ServerReply(code, line);
      }
      line.clear();
      m_replyLineCr = false;
      continue;
    }
    m_replyLineCr = b == '\r';
    if (m_replyLine.size() < kMaxKeptLine) m_replyLine.push_back(b);
  }
}

void DialogueFollower::ToClient(const char* data, size_t length) {
  if (length == 0) return;
  m_owed = false;
  // The last reply line sent decides: a 221 or a 421 tells the client that
  // the end comes.
  size_t last = length - 1;
  if (last > 0 && data[last] == '\n') --last;
  while (last > 0 && data[last - 1] != '\n') --last;
  m_toldClosing = length - last >= 4 && (std::strncmp(data + last, "221", 3) == 0 ||
                                         std::strncmp(data + last, "421", 3) == 0);
}

void DialogueFollower::MessageTaken() {
  m_inData = false;
  m_awaiting = true;
  m_owed = true;
  m_dataEnd = DataEndFinder();
}

void DialogueFollower::LostSight(Clock::time_point now) {
  if (m_inData) {
    m_progress = now;
  } else {
    m_line.clear();
  }
}

std::string DialogueFollower::Envelope() const {
  std::string envelope = " from " + LogSafe(m_sender) + " to " + LogSafe(m_firstRecipient);
  if (m_recipients > 1) envelope += " (+" + std::to_string(m_recipients - 1) + ")";
  return envelope;
}
