// The quarantine: JSON text that stays valid whatever a client sent, the
// UTC time stamps, and the two files kept for an infected message.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "host/base/log.h"
#include "host/capture/quarantine.h"
#include "support/scratch_directory.h"

namespace {

TEST(JsonStringTest, EscapesWhatJsonForbidsAndReplacesInvalidUtf8) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "\"\""},
      {"plain <a@b.example>", "\"plain <a@b.example>\""},
      {"quote\" back\\slash", "\"quote\\\" back\\\\slash\""},
      {std::string("nul\0cr\rlf\ntab\tesc\x1b"
                   "del\x7f",
                   22),
       "\"nul\\u0000cr\\u000dlf\\u000atab\\u0009esc\\u001bdel\\u007f\""},
      // Valid UTF-8 of two, three and four bytes is kept.
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xA7",
       "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xA7\""},
      // Overlong, a surrogate, above U+10FFFF, a lone continuation, a cut
      // sequence: each bad byte becomes U+FFFD.
      {"\xC0\xAF", "\"\\ufffd\\ufffd\""},
      {"\xED\xA0\x80", "\"\\ufffd\\ufffd\\ufffd\""},
      {"\xF4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},
      {"\x80x", "\"\\ufffdx\""},
      {"\xE2\x82", "\"\\ufffd\\ufffd\""},
  };
  for (const auto& c : cases) EXPECT_EQ(JsonString(c.first), c.second) << c.first;
}

TEST(UtcTimestampTest, CivilDates) {
  EXPECT_EQ(UtcTimestamp(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(UtcTimestamp(951782400), "2000-02-29T00:00:00Z");
  EXPECT_EQ(UtcTimestamp(1709251199), "2024-02-29T23:59:59Z");
  EXPECT_EQ(UtcTimestamp(4102444799), "2099-12-31T23:59:59Z");
}

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

TEST(QuarantineTest, KeepsTheMessageUnstuffedWithItsRecord) {
  CScratchDirectory scratch("divivez-host-quarantine-");
  const std::string spool = scratch.File("spool.tmp");
  std::ofstream(spool, std::ios::binary) << "Subject: x\r\n\r\n..dot line\r\nbody\r\n.\r\n";
  const std::string directory = scratch.File("q/sub");
  Logger log;
  Quarantine quarantine(directory, &log);
  std::string error;
  ASSERT_TRUE(quarantine.Prepare(&error)) << error;
  QuarantineRecord record;
  record.connection = 7;
  record.message = 2;
  record.signature = "Evil\"Sig\n";
  record.client = "192.0.2.9:4000";
  record.sender = "<a\xff@b>";
  record.firstRecipient = "<r@example.test>";
  record.recipients = 3;
  const std::string name = quarantine.Keep(spool, record, "conn 7 msg 2");
  ASSERT_FALSE(name.empty());
  EXPECT_NE(name.find("-conn7-msg2"), std::string::npos) << name;
  const std::string message = ReadAll(directory + "/" + name + ".eml");
  EXPECT_EQ(message, "Subject: x\r\n\r\n.dot line\r\nbody\r\n");
  const std::string json = ReadAll(directory + "/" + name + ".json");
  EXPECT_NE(json.find("\"size\": " + std::to_string(message.size()) + ","), std::string::npos);
  for (const char* part :
       {"\"signature\": \"Evil\\\"Sig\\u000a\"", "\"connection\": 7,", "\"message\": 2,",
        "\"sender\": \"<a\\ufffd@b>\"", "\"recipients\": 3,", "\"client\": \"192.0.2.9:4000\""}) {
    EXPECT_NE(json.find(part), std::string::npos) << part << " in " << json;
  }
  // Nothing else: the temporary names are gone.
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    ++files;
    const auto permissions = entry.status().permissions();
    // Mode 0600 where the file system has modes.
    if ((std::filesystem::status(directory).permissions() & std::filesystem::perms::others_exec) ==
        std::filesystem::perms::none) {
      EXPECT_EQ(
          permissions & (std::filesystem::perms::group_all | std::filesystem::perms::others_all),
          std::filesystem::perms::none)
          << entry.path();
    }
  }
  EXPECT_EQ(files, 2);

  // A spool file that is gone: nothing kept, nothing left behind.
  EXPECT_EQ(quarantine.Keep(scratch.File("missing"), record, "conn 7 msg 3"), "");
  files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 2);
}

TEST(QuarantineTest, PrepareRefusesAFile) {
  CScratchDirectory scratch("divivez-host-quarantine-");
  std::ofstream(scratch.File("plain"), std::ios::binary) << "x";
  Logger log;
  Quarantine quarantine(scratch.File("plain"), &log);
  std::string error;
  EXPECT_FALSE(quarantine.Prepare(&error));
  EXPECT_NE(error.find("plain"), std::string::npos) << error;
}

}  // namespace
