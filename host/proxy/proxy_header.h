// The PROXY protocol header a load balancer sends before its client's bytes
// (version 1, one text line; version 2, a binary block), parsed incrementally.
//
// The parser is fed the connection's first bytes as they arrive and takes no
// byte past the header's end, so that whatever follows stays for the SMTP
// session. It is bounded: a version 1 line is at most 107 bytes with its
// CR LF; a version 2 block is 16 bytes plus the length it announces, whose
// TLVs are skipped unread. Anything malformed is an error, after which the
// connection must be closed. Pure: no sockets; one parser per connection,
// used by one thread.
#ifndef DIVIVEZ_HOST_PROXY_PROXY_HEADER_H_
#define DIVIVEZ_HOST_PROXY_PROXY_HEADER_H_

#include <cstddef>
#include <cstdint>
#include <string>

struct ProxyHeader {
  int version = 0;  // 1 or 2
  // False for "PROXY UNKNOWN", a version 2 LOCAL command (the balancer's own
  // health check) and address families other than TCP over IPv4 or IPv6:
  // the connection's own endpoints stand.
  bool hasAddress = false;
  std::string sourceAddress;  // "192.0.2.1", "2001:db8::1" (RFC 5952 form)
  uint16_t sourcePort = 0;
  std::string destinationAddress;
  uint16_t destinationPort = 0;

  // "192.0.2.1:4321", "[2001:db8::1]:4321": the form the proxy logs peers in.
  std::string SourceText() const;
};

class ProxyHeaderParser {
 public:
  enum class State { kMore, kDone, kError };

  static constexpr size_t kMaxV1 = 107;
  static constexpr size_t kV2Fixed = 16;

  // Takes bytes from data until the header is complete or found malformed,
  // and returns how many it took (never more than belong to the header).
  size_t Feed(const char* data, size_t length);

  State Current() const { return m_state; }
  // At most how many more bytes the header can take: a reader may ask for
  // this many without reading past it (version 1 lines can end sooner).
  size_t MaxWanted() const;
  // kDone: the header. kError: why it was refused, for a log line.
  const ProxyHeader& Header() const { return m_header; }
  const std::string& Error() const { return m_error; }

 private:
  enum class Phase { kStart, kV1, kV2Fixed, kV2Addresses, kV2Skip };

  size_t Fail(const std::string& why, size_t taken);
  void FinishV1();
  void FinishV2Fixed();
  void FinishV2Addresses();

  Phase m_phase = Phase::kStart;
  State m_state = State::kMore;
  ProxyHeader m_header;
  std::string m_error;
  // The line (version 1), the fixed part or the address block (version 2).
  char m_buffer[kMaxV1] = {};
  size_t m_used = 0;
  size_t m_blockLength = 0;  // version 2: what follows the fixed part
  size_t m_addressLength = 0;
  size_t m_toSkip = 0;
  bool m_local = false;
  uint8_t m_family = 0;
};

#endif  // DIVIVEZ_HOST_PROXY_PROXY_HEADER_H_
