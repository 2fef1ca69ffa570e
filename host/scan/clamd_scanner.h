// A scanner that asks a ClamAV daemon, over a Unix-domain socket or TCP,
// with the INSTREAM command: "zINSTREAM\0", then chunks each led by its
// length as 4 bytes big-endian, then a zero length; the daemon answers one
// NUL-terminated line. A reply is whole only with its NUL: one cut short by a
// close or the time-out is the daemon's failure, never a verdict.
//
// Each scan opens its own connection, so the scanner is shared by all
// connections. The whole exchange is bounded by the scan time-out. A daemon
// that cannot be reached, times out or answers an error is a scan error; the
// proxy's --on-scan-error decides what becomes of the message. Attempt also
// says whose fault a failure was, so that a pool of daemons (scanner_pool.h)
// can tell a daemon that is down from a message that no daemon would take.
#ifndef DIVIVEZ_HOST_SCAN_CLAMD_SCANNER_H_
#define DIVIVEZ_HOST_SCAN_CLAMD_SCANNER_H_

#include <cstddef>
#include <string>

#include "host/base/net.h"
#include "host/scan/scanner.h"

// Whose fault a failed scan was.
enum class ScanFault {
  kNone,     // a verdict: clean or infected
  kDaemon,   // unreachable, timed out, connection lost, a reply cut short or
             // outside the protocol, or an ERROR about the daemon's own resources
             // (memory, temporary files): the daemon is not working
  kReply,    // another ERROR reply: this message on this daemon failed
  kMessage,  // the daemon's stream size limit: any daemon would say the same
  kLocal,    // the spool file could not be read
};

// Interprets the daemon's reply line (NUL, CR and LF at its end ignored):
// "stream: OK", "stream: NAME FOUND", "... ERROR". *fault (may be null)
// receives the kind of failure, kNone for a verdict.
ScanResult ParseClamdReply(const std::string& reply, ScanFault* fault = nullptr);

// The daemon's reply as it arrives, at most kClamdMaxReply bytes: each piece
// read is appended to *reply. kComplete: the NUL came, and *reply is the
// reply without it (what followed dropped); kTooLong: kClamdMaxReply bytes or
// more and no NUL; kMore: neither yet.
enum class ClamdReplyState { kMore, kComplete, kTooLong };
constexpr size_t kClamdMaxReply = 1024;
ClamdReplyState TakeClamdReplyBytes(std::string* reply, const char* data, size_t length);

class ClamdScanner : public IScanner {
 public:
  // unixPath non-empty: connect there; otherwise to endpoint over TCP.
  ClamdScanner(std::string unixPath, Endpoint endpoint, int timeoutMs);
  ScanResult Scan(const std::string& path, ScanPacer& pacer) override;
  std::string Describe() const override;

  // Scan, telling in *fault whose fault a failure was.
  ScanResult Attempt(const std::string& path, ScanPacer& pacer, ScanFault* fault);
  // Sends PING and expects PONG within timeoutMs. False with *error otherwise.
  bool Ping(int timeoutMs, std::string* error);
  // "HOST:PORT" or "unix:PATH", for log lines.
  std::string Name() const;

 private:
  NetSocket Connect(int timeoutMs, std::string* error) const;

  std::string m_unixPath;
  Endpoint m_endpoint;
  int m_timeoutMs;
};

#endif  // DIVIVEZ_HOST_SCAN_CLAMD_SCANNER_H_
