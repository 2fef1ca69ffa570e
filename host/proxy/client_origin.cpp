// The client's origin: PROXY header and XCLIENT. See client_origin.h.
#include "host/proxy/client_origin.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSliceMs = 250;
constexpr size_t kMaxReply = kMaxServerReply;

int RemainingMs(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, kSliceMs));
}

// Takes exactly length queued bytes (already seen by a peek).
bool Take(NetSocket socket, size_t length) {
  char buffer[1024];
  while (length > 0) {
    const int n = NetRecv(socket, buffer, static_cast<int>(std::min(length, sizeof buffer)));
    if (n <= 0) return false;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// Waits for a complete reply and copies it into *reply without taking it.
bool PeekReply(NetSocket socket, Clock::time_point deadline, const std::atomic<bool>* abort,
               std::string* reply, int* code, std::string* error) {
  std::vector<char> buffer(kMaxReply);
  for (;;) {
    if (abort != nullptr && abort->load()) {
      *error = "shutting down";
      return false;
    }
    const int n = NetPeekData(socket, buffer.data(), static_cast<int>(buffer.size()));
    if (n == 0 || n == kNetError) {
      *error = n == 0 ? "the server closed the connection" : "connection failed";
      return false;
    }
    if (n > 0) {
      const size_t length = ServerReplyLength(buffer.data(), static_cast<size_t>(n), code);
      if (length > 0) {
        reply->assign(buffer.data(), length);
        return true;
      }
      if (static_cast<size_t>(n) == buffer.size()) {
        *error = "a reply longer than " + std::to_string(kMaxReply) + " bytes";
        return false;
      }
    }
    const int wait = RemainingMs(deadline);
    if (wait == 0) {
      *error = "no complete reply in time";
      return false;
    }
    if (n > 0) {
      // Part of a reply waits: the socket stays readable, so pause instead
      // of polling.
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(wait, 10)));
    } else {
      NetPollItem item{socket, kNetIn, 0};
      NetPoll(&item, 1, wait);
    }
  }
}

bool ReadReply(NetSocket socket, Clock::time_point deadline, const std::atomic<bool>* abort,
               std::string* reply, int* code, std::string* error) {
  if (!PeekReply(socket, deadline, abort, reply, code, error)) return false;
  if (!Take(socket, reply->size())) {
    *error = "connection failed";
    return false;
  }
  return true;
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// The XCLIENT line of an EHLO reply: found, and the attribute names it
// lists (an empty list: not said, all assumed).
bool XclientKeyword(const std::string& reply, std::vector<std::string>* attributes) {
  size_t at = 0;
  while (at < reply.size()) {
    size_t end = reply.find('\n', at);
    if (end == std::string::npos) end = reply.size();
    std::string line = reply.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() < 4) continue;
    const std::string text = Upper(line.substr(4));
    if (text.compare(0, 7, "XCLIENT") != 0 || (text.size() > 7 && text[7] != ' ')) continue;
    size_t word = 8;
    while (word < text.size()) {
      size_t space = text.find(' ', word);
      if (space == std::string::npos) space = text.size();
      if (space > word) attributes->push_back(text.substr(word, space - word));
      word = space + 1;
    }
    return true;
  }
  return false;
}

bool Lists(const std::vector<std::string>& attributes, const char* name) {
  return attributes.empty() ||
         std::find(attributes.begin(), attributes.end(), name) != attributes.end();
}

std::string FirstLine(const std::string& reply) {
  std::string line = reply.substr(0, reply.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

HeaderRead ReadProxyHeaderNow(NetSocket socket, ProxyHeaderParser* parser, std::string* error) {
  char buffer[512];
  while (parser->Current() == ProxyHeaderParser::State::kMore) {
    // A version 1 line may be shorter than what is asked for: peek, and take
    // only what the parser took.
    const size_t wanted = std::min(sizeof buffer, parser->MaxWanted());
    const int n = NetPeekData(socket, buffer, static_cast<int>(wanted));
    if (n == 0 || n == kNetError) {
      *error = n == 0 ? "closed before its PROXY protocol header" : "connection failed";
      return HeaderRead::kFailed;
    }
    if (n < 0) return HeaderRead::kMore;
    const size_t taken = parser->Feed(buffer, static_cast<size_t>(n));
    if (!Take(socket, taken)) {
      *error = "connection failed";
      return HeaderRead::kFailed;
    }
  }
  if (parser->Current() == ProxyHeaderParser::State::kError) {
    *error = parser->Error();
    return HeaderRead::kFailed;
  }
  return HeaderRead::kDone;
}

bool ReadProxyHeader(NetSocket socket, int timeoutMs, const std::atomic<bool>* abort,
                     ProxyHeader* header, std::string* error) {
  ProxyHeaderParser parser;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (abort != nullptr && abort->load()) {
      *error = "shutting down";
      return false;
    }
    const HeaderRead read = ReadProxyHeaderNow(socket, &parser, error);
    if (read == HeaderRead::kFailed) return false;
    if (read == HeaderRead::kDone) break;
    const int wait = RemainingMs(deadline);
    if (wait == 0) {
      *error = "no PROXY protocol header within " + std::to_string(timeoutMs) + " ms";
      return false;
    }
    NetPollItem item{socket, kNetIn, 0};
    NetPoll(&item, 1, wait);
  }
  *header = parser.Header();
  return true;
}

namespace {

// The server's side of the introduction: replies seen without being taken,
// taken, and commands sent. On a plain socket the kernel keeps what is not
// taken; over TLS the plaintext is read into a buffer and what was not
// taken is preloaded back into the stream for the plug-in.
class ServerIo {
 public:
  virtual ~ServerIo() = default;
  virtual bool Peek(Clock::time_point deadline, const std::atomic<bool>* abort, std::string* reply,
                    int* code, std::string* error) = 0;
  virtual bool Take(size_t length) = 0;
  virtual bool Send(const std::string& command, int timeoutMs, const std::atomic<bool>* abort) = 0;
  bool Read(Clock::time_point deadline, const std::atomic<bool>* abort, std::string* reply,
            int* code, std::string* error) {
    if (!Peek(deadline, abort, reply, code, error)) return false;
    if (Take(reply->size())) return true;
    *error = "connection failed";
    return false;
  }
};

class SocketIo final : public ServerIo {
 public:
  explicit SocketIo(NetSocket socket) : m_socket(socket) {}
  bool Peek(Clock::time_point deadline, const std::atomic<bool>* abort, std::string* reply,
            int* code, std::string* error) override {
    return PeekReply(m_socket, deadline, abort, reply, code, error);
  }
  bool Take(size_t length) override { return ::Take(m_socket, length); }
  bool Send(const std::string& command, int timeoutMs, const std::atomic<bool>* abort) override {
    return NetSendAll(m_socket, command.data(), command.size(), timeoutMs, abort);
  }

 private:
  NetSocket m_socket;
};

class StreamIo final : public ServerIo {
 public:
  explicit StreamIo(Stream* stream) : m_stream(stream) { m_buffer.reserve(kMaxReply); }
  // What the introduction did not take goes back to the stream.
  ~StreamIo() override { m_stream->Preload(m_buffer); }
  bool Peek(Clock::time_point deadline, const std::atomic<bool>* abort, std::string* reply,
            int* code, std::string* error) override {
    for (;;) {
      const size_t length = ServerReplyLength(m_buffer.data(), m_buffer.size(), code);
      if (length > 0) {
        reply->assign(m_buffer, 0, length);
        return true;
      }
      if (m_buffer.size() >= kMaxReply) {
        *error = "a reply longer than " + std::to_string(kMaxReply) + " bytes";
        return false;
      }
      if (abort != nullptr && abort->load()) {
        *error = "shutting down";
        return false;
      }
      char buffer[1024];
      m_stream->NewCall();
      const int n = m_stream->ReceiveForPlugin(
          buffer, static_cast<int>(std::min(sizeof buffer, kMaxReply - m_buffer.size())));
      if (n > 0) {
        m_buffer.append(buffer, static_cast<size_t>(n));
        continue;
      }
      const int peek = m_stream->Peek();
      if (peek == 0 || peek == kNetError) {
        *error = peek == 0 ? "the server closed the connection" : "connection failed";
        return false;
      }
      const int wait = RemainingMs(deadline);
      if (wait == 0) {
        *error = "no complete reply in time";
        return false;
      }
      if (peek <= 0) {
        NetPollItem item{m_stream->Socket(), kNetIn, 0};
        NetPoll(&item, 1, wait);
      }
    }
  }
  bool Take(size_t length) override {
    m_buffer.erase(0, length);
    return true;
  }
  bool Send(const std::string& command, int timeoutMs, const std::atomic<bool>* abort) override {
    return m_stream->SendAll(command.data(), command.size(), timeoutMs, abort);
  }

 private:
  Stream* const m_stream;
  std::string m_buffer;
};

XclientResult Introduce(ServerIo* server, const std::string& heloName, const std::string& address,
                        const std::string& name, int timeoutMs, const std::atomic<bool>* abort,
                        std::string* detail) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string reply;
  int code = 0;
  // A greeting other than 220 (421, 554) is the client's to hear.
  if (!server->Peek(deadline, abort, &reply, &code, detail)) return XclientResult::kFailed;
  if (code != 220) {
    *detail = FirstLine(reply);
    return XclientResult::kNoGreeting;
  }
  if (!server->Take(reply.size())) {
    *detail = "connection failed";
    return XclientResult::kFailed;
  }
  const std::string ehlo = "EHLO " + heloName + "\r\n";
  if (!server->Send(ehlo, timeoutMs, abort) ||
      !server->Read(deadline, abort, &reply, &code, detail)) {
    if (detail->empty()) *detail = "connection failed";
    return XclientResult::kFailed;
  }
  if (code != 250) {
    // A 421 or 4xx here is a passing state of the server, not its setup.
    *detail = FirstLine(reply);
    return XclientResult::kRefused;
  }
  std::vector<std::string> attributes;
  if (!XclientKeyword(reply, &attributes)) {
    *detail = "XCLIENT not advertised";
    return XclientResult::kNotOffered;
  }
  std::string command = "XCLIENT";
  if (Lists(attributes, "ADDR")) {
    // Postfix's form: IPv6 addresses carry an "IPV6:" prefix.
    const bool v6 = address.find(':') != std::string::npos;
    command += " ADDR=" + Xtext((v6 ? "IPV6:" : "") + address);
  }
  if (Lists(attributes, "NAME")) command += " NAME=" + Xtext(name);
  command += "\r\n";
  if (!server->Send(command, timeoutMs, abort) ||
      !server->Peek(deadline, abort, &reply, &code, detail)) {
    if (detail->empty()) *detail = "connection failed";
    return XclientResult::kFailed;
  }
  *detail = FirstLine(reply);
  if (code != 220) {
    server->Take(reply.size());
    return XclientResult::kRefused;
  }
  return XclientResult::kSent;
}

}  // namespace

XclientResult SendXclient(NetSocket server, const std::string& heloName, const std::string& address,
                          const std::string& name, int timeoutMs, const std::atomic<bool>* abort,
                          std::string* detail) {
  SocketIo io(server);
  return Introduce(&io, heloName, address, name, timeoutMs, abort, detail);
}

XclientResult SendXclient(Stream* server, const std::string& heloName, const std::string& address,
                          const std::string& name, int timeoutMs, const std::atomic<bool>* abort,
                          std::string* detail) {
  StreamIo io(server);
  return Introduce(&io, heloName, address, name, timeoutMs, abort, detail);
}

bool ReadServerReply(NetSocket server, int timeoutMs, const std::atomic<bool>* abort,
                     std::string* reply, int* code, std::string* error) {
  return ReadReply(server, Clock::now() + std::chrono::milliseconds(timeoutMs), abort, reply, code,
                   error);
}

std::string XclientRefusalReply(XclientResult result, const std::string& detail) {
  // The server's enhanced code and text are kept only where their class
  // fits the 421 (RFC 3463): the reply code itself must say "closing".
  if (result == XclientResult::kRefused && detail.size() > 4 && detail[0] == '4' &&
      std::isdigit(static_cast<unsigned char>(detail[1])) &&
      std::isdigit(static_cast<unsigned char>(detail[2])) && detail[3] == ' ') {
    std::string reply = "421" + detail.substr(3, 500);
    for (char& c : reply) {
      if (static_cast<unsigned char>(c) < ' ' || c == '\x7f') c = ' ';
    }
    return reply + "\r\n";
  }
  return "421 4.3.0 Mail server unavailable, try again later\r\n";
}

std::string Xtext(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : text) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (b >= '!' && b <= '~' && b != '+' && b != '=') {
      out += c;
    } else {
      out += '+';
      out += kHex[b >> 4];
      out += kHex[b & 0xF];
    }
  }
  return out;
}

size_t ServerReplyLength(const char* data, size_t size, int* code) {
  size_t at = 0;
  *code = 0;
  while (at < size) {
    const void* lf = std::memchr(data + at, '\n', size - at);
    if (lf == nullptr) return 0;
    const size_t end = static_cast<size_t>(static_cast<const char*>(lf) - data) + 1;
    const char* line = data + at;
    const size_t length = end - at;
    if (length < 4 || line[0] < '2' || line[0] > '5' || line[1] < '0' || line[1] > '9' ||
        line[2] < '0' || line[2] > '9') {
      *code = -1;
      return end;
    }
    *code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
    if (line[3] != '-') return end;
    at = end;
  }
  return 0;
}
