// The quarantine. See quarantine.h.
#include "host/capture/quarantine.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>
#include <utility>

#include "host/base/log.h"
#include "host/base/os.h"
#include "host/smtp/smtp_data.h"

namespace {

constexpr size_t kBlockSize = 64 * 1024;

// The length of the valid UTF-8 sequence at text[i] (RFC 3629: no overlong
// forms, no surrogates, nothing above U+10FFFF), or 0.
size_t Utf8Length(const std::string& text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  size_t length;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  // The bounds apply to the second byte only; the rest are 0x80-0xBF.
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return length;
}

// "DIR/.NAME.tmp" created, written by write(file), forced to the disk and
// renamed to "DIR/NAME".
template <typename Writer>
bool WriteDurably(const std::string& directory, const std::string& name, Writer write,
                  std::string* error) {
  const std::string temporary = directory + "/." + name + ".tmp";
  std::FILE* file = OsCreatePrivateFile(temporary, error);
  if (file == nullptr) return false;
  bool ok = write(file, error);
  if (ok && (std::ferror(file) != 0 || !OsSyncFile(file))) {
    *error = "cannot write " + temporary;
    ok = false;
  }
  if (std::fclose(file) != 0 && ok) {
    *error = "cannot close " + temporary;
    ok = false;
  }
  std::error_code fsError;
  if (ok) {
    std::filesystem::rename(temporary, directory + "/" + name, fsError);
    if (!fsError) return true;
    *error = "cannot rename " + temporary + ": " + fsError.message();
  }
  std::filesystem::remove(temporary, fsError);
  return false;
}

}  // namespace

std::string JsonString(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
      ++i;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
    } else if (const size_t length = Utf8Length(text, i)) {
      out.append(text, i, length);
      i += length;
    } else {
      out += "\\ufffd";
      ++i;
    }
  }
  out += '"';
  return out;
}

std::string UtcTimestamp(long long seconds) {
  // Days since 1970 to a civil date (proleptic Gregorian; H. Hinnant's
  // algorithm): no gmtime, which is not thread-safe everywhere.
  long long days = seconds / 86400;
  long long rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  days += 719468;
  const long long era = (days >= 0 ? days : days - 146096) / 146097;
  const long long dayOfEra = days - era * 146097;
  const long long yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const long long monthIndex = (5 * dayOfYear + 2) / 153;
  const long long day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  const long long month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  const long long year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  char text[64];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", year, month, day,
                rest / 3600, rest / 60 % 60, rest % 60);
  return text;
}

Quarantine::Quarantine(std::string directory, Logger* log)
    : m_directory(std::move(directory)), m_log(log) {}

bool Quarantine::Prepare(std::string* error) {
  std::error_code fsError;
  const bool created = std::filesystem::create_directories(m_directory, fsError);
  if (created) OsMakePrivateDirectory(m_directory);
  if (fsError || !std::filesystem::is_directory(m_directory, fsError)) {
    *error = "cannot create quarantine directory " + m_directory +
             (fsError ? ": " + fsError.message() : std::string(": not a directory"));
    return false;
  }
  return true;
}

std::string Quarantine::Keep(const std::string& spoolPath, const QuarantineRecord& record,
                             const std::string& label) {
  // "2026-12-07T16:15:00Z" in the record, "20261207T161500Z" in the name.
  const std::string stamp = UtcTimestamp(static_cast<long long>(std::time(nullptr)));
  std::string compact;
  for (char c : stamp) {
    if (c != '-' && c != ':') compact += c;
  }
  const std::string name = compact + "-" + std::to_string(OsProcessId()) + "-conn" +
                           std::to_string(record.connection) + "-msg" +
                           std::to_string(record.message);
  std::string error;
  if (!WriteFiles(spoolPath, record, name, stamp, &error)) {
    m_log->Line("WARNING: %s: infected message NOT kept in quarantine: %s", label.c_str(),
                LogSafe(error).c_str());
    return "";
  }
  m_log->Line("%s: kept in quarantine as %s/%s.eml", label.c_str(), LogSafe(m_directory).c_str(),
              name.c_str());
  return name;
}

bool Quarantine::WriteFiles(const std::string& spoolPath, const QuarantineRecord& record,
                            const std::string& name, const std::string& time, std::string* error) {
  uint64_t size = 0;
  const auto copyMessage = [&](std::FILE* out, std::string* why) {
    std::FILE* in = std::fopen(spoolPath.c_str(), "rb");
    if (in == nullptr) {
      *why = "cannot open the spool file " + spoolPath;
      return false;
    }
    std::unique_ptr<char[]> block(new char[kBlockSize]);
    std::unique_ptr<char[]> content(new char[kBlockSize + DotUnstuffer::kMaxExtraOutput]);
    DotUnstuffer unstuffer;
    size_t n;
    bool ok = true;
    while (ok && !unstuffer.Done() && (n = std::fread(block.get(), 1, kBlockSize, in)) > 0) {
      size_t produced = 0;
      unstuffer.Feed(block.get(), n, content.get(), &produced);
      ok = std::fwrite(content.get(), 1, produced, out) == produced;
      size += produced;
    }
    if (std::ferror(in) != 0) {
      *why = "read error on the spool file " + spoolPath;
      ok = false;
    } else if (!ok) {
      *why = "cannot write the copy";
    }
    std::fclose(in);
    return ok;
  };
  if (!WriteDurably(m_directory, name + ".eml", copyMessage, error)) return false;

  const std::string json =
      "{\"verdict\": \"infected\", \"signature\": " + JsonString(record.signature) +
      ", \"size\": " + std::to_string(size) + ", \"time\": \"" + time +
      "\", \"connection\": " + std::to_string(record.connection) +
      ", \"message\": " + std::to_string(record.message) +
      ", \"client\": " + JsonString(record.client) + ", \"sender\": " + JsonString(record.sender) +
      ", \"first_recipient\": " + JsonString(record.firstRecipient) +
      ", \"recipients\": " + std::to_string(record.recipients) +
      ", \"file\": " + JsonString(name + ".eml") + "}\n";
  const auto writeRecord = [&](std::FILE* out, std::string* why) {
    if (std::fwrite(json.data(), 1, json.size(), out) == json.size()) return true;
    *why = "cannot write the record";
    return false;
  };
  if (!WriteDurably(m_directory, name + ".json", writeRecord, error)) return false;
  if (!OsSyncDirectory(m_directory)) {
    *error = "cannot force the directory " + m_directory + " to the disk";
    return false;
  }
  return true;
}
