#include "tests/fuzz/fuzz_world.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "boundary/plugin_exports.h"
#include "platform/clock.h"
#include "platform/debug_output.h"
#include "session/smtp_connection.h"

DWORD g_dwFakeTick = 0;

namespace {

CWorld s_world;

DWORD FakeTick() { return g_dwFakeTick; }

void QuietTrace(const char* line) { (void)line; }

void RemoveDirectory(const std::string& directory) {
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    unlink((directory + name).c_str());
  }
  closedir(dir);
  rmdir(directory.c_str());
}

void RemovePrivateDirectory() { RemoveDirectory(s_world.m_strDirectory); }

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
  const CWorld& world = World();
  std::fprintf(stderr, "connection %d; the server was offered (last bytes): \"%s\"\n",
               world.m_nConnection,
               Printable(world.m_server.offered.size() > 300
                             ? world.m_server.offered.substr(world.m_server.offered.size() - 300)
                             : world.m_server.offered,
                         600)
                   .c_str());
  std::fprintf(stderr, "the client was offered (last bytes): \"%s\"\n",
               Printable(world.m_client.offered.size() > 300
                             ? world.m_client.offered.substr(world.m_client.offered.size() - 300)
                             : world.m_client.offered,
                         600)
                   .c_str());
  std::fflush(stderr);
  std::abort();
}

std::string Printable(const std::string& bytes, size_t limit) {
  std::string out;
  for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  if (bytes.size() > limit) out += "...(" + std::to_string(bytes.size()) + " bytes)";
  return out;
}

size_t SEndpoint::Pending() const {
  size_t total = 0;
  for (const std::string& chunk : inbound) total += chunk.size();
  return total;
}

// ---------------------------------------------------------------- sockets

void CFakeSocketService::Reserved() { Fail("the plug-in called slot 0 of ISocket"); }

int CFakeSocketService::Receive(SOCKET socket, char* buffer, int size) {
  CWorld& world = World();
  SEndpoint& endpoint = world.Endpoint(socket);
  if (buffer == nullptr || size <= 0) Fail("Receive with buffer %p and size %d", buffer, size);
  if (endpoint.receiveFault.Hit()) {
    if (endpoint.receiveFault.throws) throw CWinSockException{WSAECONNRESET, 0};
    return SOCKET_ERROR;
  }
  if (endpoint.inbound.empty()) return 0;
  std::string& chunk = endpoint.inbound.front();
  size_t n = std::min(static_cast<size_t>(size), chunk.size());
  std::memcpy(buffer, chunk.data(), n);
  SLogEntry entry{ELogKind::kRecv};
  entry.side = &endpoint == &world.m_client ? ESide::kClient : ESide::kServer;
  entry.bytes.assign(chunk.data(), n);
  entry.serverSentBefore = world.m_server.offered.size();
  world.Log(entry);
  chunk.erase(0, n);
  if (chunk.empty()) endpoint.inbound.pop_front();
  return static_cast<int>(n);
}

BOOL CFakeSocketService::Send(SOCKET socket, const char* data, int length) {
  CWorld& world = World();
  SEndpoint& endpoint = world.Endpoint(socket);
  if (length < 0 || (length > 0 && data == nullptr)) {
    Fail("Send with data %p and length %d", static_cast<const void*>(data), length);
  }
  if (endpoint.sendFault.Hit()) {
    if (endpoint.sendFault.throws) {
      world.m_bUncertain = true;
      throw CWinSockException{WSAECONNRESET, 0};
    }
    endpoint.offered.append(data, static_cast<size_t>(length));
    return FALSE;
  }
  endpoint.offered.append(data, static_cast<size_t>(length));
  endpoint.delivered.append(data, static_cast<size_t>(length));
  return TRUE;
}

// ---------------------------------------------------------------- spool store

void CFaultySpoolStore::Install() {
  m_pInner = &SpoolStore();
  SetSpoolStoreForTesting(this);
}

void CFaultySpoolStore::ResetConnection() {
  m_bFailCreate = false;
  m_failWrite = SArmed();
  m_bFailClose = false;
  m_bFailOpenRead = false;
  m_failRead = SArmed();
  m_bFailDelete = false;
  m_records.clear();
}

int CFaultySpoolStore::IdOfPath(const char* path) const {
  for (size_t i = m_records.size(); i-- > 0;) {
    if (m_records[i].path == path) return static_cast<int>(i);
  }
  return -1;
}

bool CFaultySpoolStore::IsWriteStreamOpen(const std::string& path) const {
  for (const auto& stream : m_streams) {
    if (stream.second.write && m_records[static_cast<size_t>(stream.second.id)].path == path) {
      return true;
    }
  }
  return false;
}

FILE* CFaultySpoolStore::Create(const char* path, bool* pExists) {
  if (path == nullptr || pExists == nullptr) Fail("spool Create(%p, %p)", path, pExists);
  SLogEntry entry{ELogKind::kCreate};
  if (m_bFailCreate) {
    m_bFailCreate = false;
    *pExists = false;
    World().Log(entry);
    return nullptr;
  }
  if (std::strncmp(path, World().m_strDirectory.c_str(), World().m_strDirectory.size()) != 0) {
    Fail("spool file \"%s\" is outside the temporary directory", path);
  }
  FILE* file = m_pInner->Create(path, pExists);
  if (file != nullptr) {
    entry.ok = true;
    entry.spoolId = static_cast<int>(m_records.size());
    m_records.push_back(SSpoolRecord{path});
    m_streams[file] = SStream{entry.spoolId, true};
  } else {
    entry.exists = *pExists;
  }
  World().Log(entry);
  return file;
}

size_t CFaultySpoolStore::Write(const void* data, size_t size, FILE* file) {
  auto it = m_streams.find(file);
  if (it != m_streams.end() && !it->second.write && m_bAcceptWriteToReadStream) {
    return 0;  // what writing to a stream opened for reading does
  }
  if (it == m_streams.end() || !it->second.write) {
    Fail("the plug-in wrote to a spool stream it does not hold open for writing");
  }
  if (m_failWrite.Hit()) {
    m_records[static_cast<size_t>(it->second.id)].writeFailed = true;
    if (m_failWrite.throws && size > 1) return m_pInner->Write(data, size - 1, file);
    return 0;
  }
  return m_pInner->Write(data, size, file);
}

FILE* CFaultySpoolStore::OpenRead(const char* path) {
  SLogEntry entry{ELogKind::kOpenRead};
  entry.spoolId = IdOfPath(path);
  if (m_bFailOpenRead) {
    m_bFailOpenRead = false;
    World().Log(entry);
    return nullptr;
  }
  FILE* file = m_pInner->OpenRead(path);
  if (file != nullptr) {
    entry.ok = true;
    m_streams[file] = SStream{entry.spoolId, false};
  }
  World().Log(entry);
  return file;
}

size_t CFaultySpoolStore::Read(void* buffer, size_t size, FILE* file) {
  auto it = m_streams.find(file);
  if (it == m_streams.end() || it->second.write) {
    Fail("the plug-in read from a spool stream it does not hold open for reading");
  }
  size_t n = m_pInner->Read(buffer, size, file);
  // A read that fails at the end of the file is no different from the end.
  if (m_failRead.Hit() && n > 0 && it->second.id >= 0) {
    m_records[static_cast<size_t>(it->second.id)].readFailed = true;
    return 0;
  }
  return n;
}

long long CFaultySpoolStore::Length(FILE* file) {
  if (m_streams.find(file) == m_streams.end()) Fail("Length of a stream the plug-in does not hold");
  return m_pInner->Length(file);
}

int CFaultySpoolStore::Close(FILE* file) {
  auto it = m_streams.find(file);
  if (it == m_streams.end()) Fail("the plug-in closed a spool stream it does not hold");
  SStream stream = it->second;
  m_streams.erase(it);
  int result = m_pInner->Close(file);
  if (stream.write && m_bFailClose) {
    m_bFailClose = false;
    m_records[static_cast<size_t>(stream.id)].closeFailed = true;
    return EOF;
  }
  return result;
}

bool CFaultySpoolStore::Delete(const char* path) {
  for (const auto& stream : m_streams) {
    if (stream.second.id >= 0 && m_records[static_cast<size_t>(stream.second.id)].path == path) {
      Fail("the plug-in deletes spool file \"%s\" while a stream on it is open", path);
    }
  }
  if (m_bFailDelete) {
    m_bFailDelete = false;
    int id = IdOfPath(path);
    if (id >= 0) m_records[static_cast<size_t>(id)].deleteFailed = true;
    m_leftBehind.insert(path);
    return false;
  }
  return m_pInner->Delete(path);
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
  SetTickSourceForTesting(FakeTick);
  SetISocket(&m_sockets);
  m_store.Install();
  RegisterCallback(ScanCallback);
}

void CWorld::StartConnection(int timeoutSeconds, bool callback, int debugLevel,
                             bool relayUnspooled) {
  ++m_nConnection;
  m_nHostContext = 7000 + m_nConnection;
  m_nTimeoutSeconds = timeoutSeconds;
  m_bCallback = callback;
  m_bRelayUnspooled = relayUnspooled;
  // Both are read afresh by OnNewConnection, where a host would set them.
  setenv("DIVIVEZ_DEBUG_LEVEL", std::to_string(debugLevel).c_str(), 1);
  setenv("DIVIVEZ_RELAY_UNSPOOLED", relayUnspooled ? "1" : "0", 1);
  SetTimeoutProtection(timeoutSeconds);
  RegisterCallback(callback ? ScanCallback : nullptr);
  // Every other connection starts shortly before the tick count wraps.
  g_dwFakeTick = (m_nConnection % 2 == 0) ? 0xFFFFF000u : 1000u;

  m_client = SEndpoint();
  m_server = SEndpoint();
  // Not open descriptors: the plug-in's own shutdown of the server side
  // after a failed delivery fails harmlessly on them.
  m_client.handle = static_cast<SOCKET>(100000 + 2 * (m_nConnection % 1000));
  m_server.handle = m_client.handle + 1;
  m_pClient = new CHostSocket{0x5A5A, m_client.handle};
  m_pServer = new CHostSocket{0x5B5B, m_server.handle};
  m_plan = SScanPlan();
  m_log.clear();
  m_bUncertain = false;
  m_bInScan = false;
  m_bInProgress = false;
  m_store.ResetConnection();
  m_infectedTokens.clear();
  OnNewConnection(m_nHostContext, m_pClient);
}

void CWorld::EndConnection() {
  OnEndConnection(m_pClient);
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

int CWorld::CallClient() {
  Log(SLogEntry{ELogKind::kClientCallBegin});
  size_t from = m_log.size();
  int n = OnRequestFromApplication(m_pClient, m_pServer);
  CheckCount("OnRequestFromApplication", m_log, from, ESide::kClient, n);
  Log(SLogEntry{ELogKind::kClientCallEnd});
  return n;
}

int CWorld::CallServer() {
  Log(SLogEntry{ELogKind::kServerCallBegin});
  size_t from = m_log.size();
  int n = OnRequestFromServer(m_pClient, m_pServer);
  CheckCount("OnRequestFromServer", m_log, from, ESide::kServer, n);
  Log(SLogEntry{ELogKind::kServerCallEnd});
  return n;
}

SEndpoint& CWorld::Endpoint(SOCKET socket) {
  if (socket == m_client.handle && m_pClient != nullptr) return m_client;
  if (socket == m_server.handle && m_pServer != nullptr) return m_server;
  Fail("the plug-in used socket %d, which is not one of the current connection's (%d, %d)",
       static_cast<int>(socket), static_cast<int>(m_client.handle),
       static_cast<int>(m_server.handle));
}

std::vector<std::string> CWorld::SpoolFiles() const {
  std::vector<std::string> files;
  DIR* dir = opendir(m_strDirectory.c_str());
  if (dir == nullptr)
    Fail("cannot list the private temporary directory %s", m_strDirectory.c_str());
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string path = m_strDirectory + name;
    if (m_store.m_leftBehind.count(path) != 0) continue;
    files.push_back(path);
  }
  closedir(dir);
  return files;
}

void CWorld::RemoveLeftBehind() {
  for (const std::string& path : m_store.m_leftBehind) unlink(path.c_str());
  m_store.m_leftBehind.clear();
}

void CWorld::ScanCallback(int code, ScanRequest* request) {
  if (request == nullptr) Fail("host callback code %d with a null record", code);
  if (code == kScanCodeScan) {
    World().Scan(request);
  } else if (code == kScanCodeProgress) {
    World().Progress(request);
  } else {
    Fail("host callback with unknown code %d", code);
  }
}

namespace {

bool AllZero(const void* data, size_t size) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

void CheckCommonFields(const ScanRequest* request, const char* what) {
  const CWorld& world = World();
  if (request->dwSize != sizeof(ScanRequest) || request->nFixedA != 2 || request->nFixedB != 3) {
    Fail("%s record: dwSize %u, nFixedA %d, nFixedB %d", what, request->dwSize, request->nFixedA,
         request->nFixedB);
  }
  if (request->nHostContext != world.m_nHostContext ||
      request->pSockApplication != world.m_pClient) {
    Fail("%s record names context %d / client %p, not %d / %p", what, request->nHostContext,
         static_cast<void*>(request->pSockApplication), world.m_nHostContext,
         static_cast<void*>(world.m_pClient));
  }
  if (!AllZero(request->abReserved1, sizeof request->abReserved1) ||
      !AllZero(request->abReserved2, sizeof request->abReserved2)) {
    Fail("%s record: reserved areas are not zero", what);
  }
}

}  // namespace

void CWorld::Scan(ScanRequest* request) {
  if (m_bInScan) Fail("a scan request inside a scan");
  CheckCommonFields(request, "scan");
  if (request->nScanResult != 0 || !AllZero(request->szInsertText, sizeof request->szInsertText)) {
    Fail("scan record: verdict or insert text not zero when handed over");
  }
  if (request->pszDataFileName == nullptr || request->pfnTimeoutProtection == nullptr ||
      request->pTimeoutProtectionArg == nullptr) {
    Fail("scan record without file name or keep-alive function");
  }
  if (request->bTimeoutProtection != (m_nTimeoutSeconds > 0 ? 1u : 0u)) {
    Fail("scan record: bTimeoutProtection %u with a setting of %d s", request->bTimeoutProtection,
         m_nTimeoutSeconds);
  }
  std::string path = request->pszDataFileName;
  if (m_store.IsWriteStreamOpen(path)) Fail("the spool file is still open for writing in the scan");
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) Fail("the scan names spool file \"%s\", which cannot be read", path.c_str());
  std::string content;
  char buffer[8192];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) content.append(buffer, n);
  std::fclose(file);

  SLogEntry entry{ELogKind::kScan};
  entry.bytes = content;
  entry.spoolId = m_store.IdOfPath(path.c_str());
  SScanPlan plan = m_plan;
  m_plan = SScanPlan();
  entry.threw = plan.throws;
  entry.result = plan.result;
  entry.keepAlives = plan.keepAlives;
  // A text as long as the field fills it without a NUL (a careless host):
  // the plug-in must not read past the record, and takes 263 characters.
  const size_t field = sizeof request->szInsertText;
  bool unterminated = plan.text.size() >= field;
  size_t textLength = unterminated ? field : plan.text.size();
  std::string text = plan.text.substr(0, textLength);
  entry.text = text.substr(0, std::min(std::strlen(text.c_str()), field - 1));
  Log(entry);
  if (!plan.throws && plan.result > 0) CollectTokens(content, '\x07', &m_infectedTokens);

  m_bInScan = true;
  size_t before = m_server.offered.size();
  bool sendArmed = m_server.sendFault.countdown >= 0;
  for (int i = 0; i < plan.keepAlives; ++i) {
    request->pfnTimeoutProtection(request->pTimeoutProtectionArg);
  }
  m_bInScan = false;
  // A keep-alive call sends a NOOP or nothing: at most one, since the next
  // waits for its answer, which nobody reads during the scan (the model says
  // whether one was due).
  std::string sent = m_server.offered.substr(before);
  if (!m_bUncertain && !sendArmed && !sent.empty() &&
      !(plan.keepAlives > 0 && sent == "NOOP\r\n")) {
    Fail("%d keep-alive calls in the scan sent \"%s\" to the server", plan.keepAlives,
         Printable(sent).c_str());
  }
  if (plan.throws) throw std::runtime_error("scanner failure");
  request->nScanResult = plan.result;
  std::memcpy(request->szInsertText, text.data(), textLength);
  if (!unterminated) request->szInsertText[textLength] = '\0';
}

void CWorld::Progress(const ScanRequest* request) {
  CheckCommonFields(request, "progress");
  if (request->pszDataFileName != nullptr || request->nScanResult != 0 ||
      !AllZero(request->szInsertText, sizeof request->szInsertText)) {
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
