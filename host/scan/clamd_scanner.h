// A scanner that asks a ClamAV daemon, over a Unix-domain socket or TCP,
// with the INSTREAM command: "zINSTREAM\0", then chunks each led by its
// length as 4 bytes big-endian, then a zero length; the daemon answers one
// NUL-terminated line.
//
// Each scan opens its own connection, so the scanner is shared by all
// connections. The whole exchange is bounded by the scan time-out. A daemon
// that cannot be reached, times out or answers an error is a scan error; the
// proxy's --on-scan-error decides what becomes of the message.
#ifndef DIVIVEZ_HOST_SCAN_CLAMD_SCANNER_H_
#define DIVIVEZ_HOST_SCAN_CLAMD_SCANNER_H_

#include <string>

#include "host/base/net.h"
#include "host/scan/scanner.h"

// Interprets the daemon's reply line (NUL, CR and LF at its end ignored):
// "stream: OK", "stream: NAME FOUND", "... ERROR".
ScanResult ParseClamdReply(const std::string& reply);

class ClamdScanner : public IScanner {
 public:
  // unixPath non-empty: connect there; otherwise to endpoint over TCP.
  ClamdScanner(std::string unixPath, Endpoint endpoint, int timeoutMs);
  ScanResult Scan(const std::string& path, ScanPacer& pacer) override;
  std::string Describe() const override;

 private:
  std::string m_unixPath;
  Endpoint m_endpoint;
  int m_timeoutMs;
};

#endif  // DIVIVEZ_HOST_SCAN_CLAMD_SCANNER_H_
