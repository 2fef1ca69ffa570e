#include "tests/fuzz/fuzz_world.h"

#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <iterator>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "boundary/plugin_exports.h"
#include "platform/clock.h"
#include "platform/debug_output.h"
#include "session/smtp_connection.h"

namespace {

CWorld s_world;

void QuietTrace(const char* line) { (void)line; }

void RemovePrivateDirectory() {
  std::error_code error;
  std::filesystem::remove_all(s_world.m_strDirectory, error);
}

void WorldMisuse(const std::string& what) { Fail("%s", what.c_str()); }

// Harness tokens: BEL, digits, BEL (client side, see dialogue_fuzzer.cpp).
void CollectTokens(const std::string& bytes, char marker, std::set<std::string>* tokens) {
  size_t pos = 0;
  for (;;) {
    size_t start = bytes.find(marker, pos);
    if (start == std::string::npos) return;
    size_t end = bytes.find(marker, start + 1);
    if (end == std::string::npos) return;
    if (end > start + 1) tokens->insert(bytes.substr(start, end - start + 1));
    pos = end + 1;
  }
}

}  // namespace

CWorld& World() { return s_world; }

void Fail(const char* format, ...) {
  std::fprintf(stderr, "\n==== dialogue fuzzer: invariant violated ====\n");
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fprintf(stderr, "\n");
  CWorld& world = World();
  const std::string server = world.Server().offered;
  const std::string client = world.Client().offered;
  std::fprintf(
      stderr, "connection %d; the server was offered (last bytes): \"%s\"\n", world.m_nConnection,
      Printable(server.size() > 300 ? server.substr(server.size() - 300) : server, 600).c_str());
  std::fprintf(
      stderr, "the client was offered (last bytes): \"%s\"\n",
      Printable(client.size() > 300 ? client.substr(client.size() - 300) : client, 600).c_str());
  std::fflush(stderr);
  std::abort();
}

// ---------------------------------------------------------------- world

void CWorld::Init() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = (base != nullptr && base[0] != '\0') ? base : "/tmp";
  if (pattern.back() != '/') pattern += '/';
  pattern += "divivez-fuzz-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  m_strDirectory = std::string(buffer.data()) + "/";
  setenv("TMPDIR", m_strDirectory.c_str(), 1);
  setenv("TMP", m_strDirectory.c_str(), 1);
  setenv("TEMP", m_strDirectory.c_str(), 1);
  std::atexit(RemovePrivateDirectory);

  SetDebugOutputHook(QuietTrace);
  SetDebugOutputHookExclusive(true);
  SetTickSourceForTesting(&CFakeClock::Now);
  SetWorldFailureHandler(&WorldMisuse);
  m_sockets.SetStrict(true);
  m_sockets.m_onReceive = [this](SOCKET socket, const std::string& bytes) {
    SLogEntry entry{ELogKind::kRecv};
    entry.side = socket == m_hClient ? ESide::kClient : ESide::kServer;
    entry.bytes = bytes;
    entry.serverSentBefore = Server().offered.size();
    Log(entry);
  };
  SetISocket(&m_sockets);
  m_store.m_strDirectory = m_strDirectory;
  m_store.m_onCreate = [this](int id, bool exists) {
    SLogEntry entry{ELogKind::kCreate};
    entry.ok = id >= 0;
    entry.exists = exists;
    entry.spoolId = id;
    Log(entry);
  };
  m_store.m_onOpenRead = [this](int id, bool ok) {
    SLogEntry entry{ELogKind::kOpenRead};
    entry.ok = ok;
    entry.spoolId = id;
    Log(entry);
  };
  SetSpoolStoreForTesting(&m_store);
  m_scanner.Install(&m_store);
  RegisterCallback(ScanCallback);
}

void CWorld::StartConnection(int timeoutSeconds, bool callback, int debugLevel, bool relayUnspooled,
                             int callbackVersion, bool trusted) {
  ++m_nConnection;
  m_nHostContext = 7000 + m_nConnection;
  m_nTimeoutSeconds = timeoutSeconds;
  m_bCallback = callback;
  m_bRelayUnspooled = relayUnspooled;
  m_nCallbackVersion = callbackVersion;
  m_bTrusted = trusted;
  m_nQuestions = 0;
  // All are read afresh by OnNewConnection, where a host would set them.
  setenv("DIVIVEZ_DEBUG_LEVEL", std::to_string(debugLevel).c_str(), 1);
  setenv("DIVIVEZ_RELAY_UNSPOOLED", relayUnspooled ? "1" : "0", 1);
  setenv("DIVIVEZ_CALLBACK_VERSION", std::to_string(callbackVersion).c_str(), 1);
  SetTimeoutProtection(timeoutSeconds);
  if (timeoutSeconds > 0) m_dwInterval = static_cast<uint32_t>(timeoutSeconds) * 1000;
  RegisterCallback(callback ? ScanCallback : nullptr);
  // Every other connection starts shortly before the tick count wraps.
  CFakeClock::Set((m_nConnection % 2 == 0) ? 0xFFFFF000u : 1000u);

  // Not open descriptors: the plug-in's own shutdown of the server side
  // after a failed delivery fails harmlessly on them.
  m_hClient = static_cast<SOCKET>(100000 + 2 * (m_nConnection % 1000));
  m_hServer = m_hClient + 1;
  m_sockets.Reset();
  m_sockets.Open(m_hClient);
  m_sockets.Open(m_hServer);
  m_pClient = new CHostSocket{0x5A5A, m_hClient};
  m_pServer = new CHostSocket{0x5B5B, m_hServer};
  m_scanner.Reset();
  m_log.clear();
  m_bInScan = false;
  m_bInProgress = false;
  m_store.Reset();
  m_infectedTokens.clear();
  OnNewConnection(m_nHostContext, m_pClient);
}

void CWorld::EndConnection() {
  OnEndConnection(m_pClient);
  m_sockets.Close(m_hClient);
  m_sockets.Close(m_hServer);
  delete m_pClient;
  delete m_pServer;
  m_pClient = nullptr;
  m_pServer = nullptr;
}

namespace {

// A request call returns the bytes it read from its side.
void CheckCount(const char* what, const std::vector<SLogEntry>& log, size_t from, ESide side,
                int returned) {
  size_t read = 0;
  for (size_t i = from; i < log.size(); ++i) {
    if (log[i].kind == ELogKind::kRecv && log[i].side == side) read += log[i].bytes.size();
  }
  if (returned < 0 || static_cast<size_t>(returned) != read) {
    Fail("%s returned %d after reading %zu bytes", what, returned, read);
  }
}

}  // namespace

// A host of version 2 has been asked about the connection by the end of the
// first request call.
void CWorld::CheckAsked() const {
  if (m_bCallback && m_nCallbackVersion >= 2 && m_nQuestions != 1) {
    Fail("no connection question in the first request call");
  }
}

int CWorld::CallClient() {
  Log(SLogEntry{ELogKind::kClientCallBegin});
  size_t from = m_log.size();
  int n = OnRequestFromApplication(m_pClient, m_pServer);
  CheckCount("OnRequestFromApplication", m_log, from, ESide::kClient, n);
  CheckAsked();
  Log(SLogEntry{ELogKind::kClientCallEnd});
  return n;
}

int CWorld::CallServer() {
  Log(SLogEntry{ELogKind::kServerCallBegin});
  size_t from = m_log.size();
  int n = OnRequestFromServer(m_pClient, m_pServer);
  CheckCount("OnRequestFromServer", m_log, from, ESide::kServer, n);
  CheckAsked();
  Log(SLogEntry{ELogKind::kServerCallEnd});
  return n;
}

void CWorld::ScanCallback(int code, ScanRequest* request) {
  if (request == nullptr) Fail("host callback code %d with a null record", code);
  if (code == kScanCodeScan) {
    World().Scan(request);
  } else if (code == kScanCodeProgress) {
    World().Progress(request);
  } else if (code == kCallbackCodeConnection) {
    // Once per connection, and only from a plug-in told version 2.
    CWorld& world = World();
    if (world.m_nCallbackVersion < 2) Fail("connection question under callback version 1");
    if (++world.m_nQuestions > 1) Fail("connection question asked twice");
    if (world.m_sockets.Consumed(world.m_hClient) + world.m_sockets.Consumed(world.m_hServer) > 0) {
      Fail("connection question after the connection's first read");
    }
    const std::string problems = RecordProblems(*request, world.m_pClient, world.m_nHostContext);
    if (!problems.empty()) Fail("connection question: %s", problems.c_str());
    request->nScanResult = world.m_bTrusted ? kConnectionTrustForwarding : 0;
  } else {
    Fail("host callback with unknown code %d", code);
  }
}

void CWorld::Scan(ScanRequest* request) {
  if (m_bInScan) Fail("a scan request inside a scan");
  const SScanRecord& record = m_scanner.Record(request);
  const std::string problems = ScanRecordProblems(record, m_pClient, m_nHostContext,
                                                  m_nTimeoutSeconds > 0 ? 1 : 0, m_dwInterval);
  if (!problems.empty()) Fail("scan record: %s", problems.c_str());
  const std::string path = record.strFile;

  SLogEntry entry{ELogKind::kScan};
  entry.bytes = record.strSpool;
  entry.spoolId = m_store.IdOfPath(path);
  SVerdict& verdict = m_scanner.Next();
  // A text as long as the field fills it without a NUL (a careless host):
  // the plug-in must not read past the record, and takes 263 characters.
  verdict.bFillField = true;
  entry.threw = verdict.bThrow;
  entry.result = verdict.nResult;
  entry.keepAlives = verdict.nKeepAlives;
  const size_t field = sizeof request->szInsertText;
  std::string text = verdict.strText.substr(0, field);
  entry.text = text.substr(0, std::min(std::strlen(text.c_str()), field - 1));
  Log(entry);
  if (!verdict.bThrow && verdict.nResult > 0) {
    CollectTokens(entry.bytes, '\x07', &m_infectedTokens);
  }

  // A keep-alive call sends a NOOP or nothing: at most one, since the next
  // waits for its answer, which nobody reads during the scan (the model says
  // whether one was due).
  const size_t before = Server().offered.size();
  const bool sendArmed = Server().sendFault.Armed();
  const int keepAlives = verdict.nKeepAlives;
  auto checkKeepAlives = [&] {
    m_bInScan = false;
    std::string sent = Server().offered.substr(before);
    if (!Uncertain() && !sendArmed && !sent.empty() && !(keepAlives > 0 && sent == "NOOP\r\n")) {
      Fail("%d keep-alive calls in the scan sent \"%s\" to the server", keepAlives,
           Printable(sent).c_str());
    }
  };
  m_bInScan = true;
  try {
    m_scanner.Answer(request);
  } catch (...) {
    checkKeepAlives();
    throw;
  }
  checkKeepAlives();
}

void CWorld::Progress(const ScanRequest* request) {
  const std::string problems = RecordProblems(*request, m_pClient, m_nHostContext);
  if (!problems.empty()) Fail("progress record: %s", problems.c_str());
  if (request->pszDataFileName != nullptr || request->nScanResult != 0 ||
      std::any_of(std::begin(request->szInsertText), std::end(request->szInsertText),
                  [](char c) { return c != '\0'; })) {
    Fail("progress record carries scan fields");
  }
  if (request->dwKBytesDone > request->dwKBytesTotal) {
    Fail("progress %u KB of %u KB", request->dwKBytesDone, request->dwKBytesTotal);
  }
  if (request->dwKBytesDone != 0 && request->dwKBytesDone < m_dwLastProgressDone) {
    Fail("progress went back from %u KB to %u KB", m_dwLastProgressDone, request->dwKBytesDone);
  }
  m_dwLastProgressDone = request->dwKBytesDone;
}
