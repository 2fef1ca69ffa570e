// The quarantine of --quarantine DIR: a copy of each infected message.
//
// Each message becomes two files: NAME.eml, the message as the client sent
// it (dot-stuffing and the final "." line undone, nothing inserted), and
// NAME.json, its record (the signature, size, time, client and envelope).
// NAME is "<UTC date and time>-<process id>-conn<N>-msg<M>", so that two
// processes or two runs sharing the directory never pick the same one. Both
// are created new (a name that exists, a planted link included, fails),
// mode 0600, written under a hidden temporary name, forced to the disk and
// renamed, the .json last: a reader that sees the .json sees the whole
// message.
//
// Keep runs on a connection's thread, inside the scan callback, while the
// client waits for the answer to its end of data; calls of several threads
// may overlap (no state is shared but the directory). A failure is logged;
// the message stays dropped either way.
#ifndef DIVIVEZ_HOST_QUARANTINE_H_
#define DIVIVEZ_HOST_QUARANTINE_H_

#include <cstdint>
#include <ctime>
#include <string>

class Logger;

struct QuarantineRecord {
  int connection = 0;
  int message = 0;
  std::string signature;
  std::string client;  // "address:port"
  std::string sender;  // as in MAIL FROM, e.g. "<a@example.org>"
  std::string firstRecipient;
  int recipients = 0;
};

class Quarantine {
 public:
  Quarantine(std::string directory, Logger* log);

  // Creates the directory when missing (private to this user); false with
  // *error when it cannot be created or is not a directory.
  bool Prepare(std::string* error);

  // Keeps the message of the spool file at spoolPath; returns NAME, or ""
  // after logging why (label starts the log line: "conn N msg M").
  std::string Keep(const std::string& spoolPath, const QuarantineRecord& record,
                   const std::string& label);

 private:
  bool WriteFiles(const std::string& spoolPath, const QuarantineRecord& record,
                  const std::string& name, const std::string& time, std::string* error);

  std::string m_directory;
  Logger* m_log;
};

// A string as a JSON string literal, quotes included (RFC 8259): '"', '\\'
// and control characters escaped; valid UTF-8 kept; each byte that is not
// part of valid UTF-8 becomes U+FFFD, so that the output is valid UTF-8
// whatever a client sent.
std::string JsonString(const std::string& text);

// "2026-12-07T16:15:00Z" for a time in seconds since 1970 (64 bits: a
// 32-bit time_t, as on 32-bit Windows, converts without loss).
std::string UtcTimestamp(long long seconds);

#endif  // DIVIVEZ_HOST_QUARANTINE_H_
