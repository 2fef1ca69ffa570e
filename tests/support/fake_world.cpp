#include "support/fake_world.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;

const char kReply354[] = "354 Enter mail, end with \".\" on a line by itself\r\n";
const char kReplyAccepted[] = "250 Mail accepted\r\n";
const char kReplyNoStorage[] = "452 4.3.1 Insufficient system storage\r\n";
const char kReplyNotDelivered[] = "451 4.3.0 Message could not be delivered; try again later\r\n";
const char kReplyNotAvailable[] = "502 5.5.1 Command not available\r\n";
const char kReplyNoSpool[] = "451 4.3.0 Message cannot be scanned now; try again later\r\n";
const char kReplyBareLineBreak[] = "500 5.5.2 Bare CR or LF not allowed\r\n";
const char kReplyLeadingSpace[] = "500 5.5.2 Syntax error: command starts with white space\r\n";
const char kReplyMalformed[] = "500 5.5.2 Syntax error: malformed command line\r\n";
const char kReplyOutOfStep[] = "421 4.3.0 Mail server out of step; closing the transaction\r\n";
const char kReplyTooBig[] = "552 5.3.4 Message size exceeds fixed maximum message size\r\n";
const char kReplyServerLost[] = "421 4.3.0 Connection to the mail server lost\r\n";

namespace {

WorldFailureHandler g_pfnFailure = nullptr;
std::atomic<DWORD> g_dwNow{1000000};
CFakeScanner* g_pScanner = nullptr;

[[noreturn]] void ThrowSocketError() { throw CWinSockException{WSAECONNRESET, 0}; }

}  // namespace

void SetWorldFailureHandler(WorldFailureHandler handler) { g_pfnFailure = handler; }

void WorldFailure(const std::string& what) {
  if (g_pfnFailure != nullptr) {
    g_pfnFailure(what);
    return;
  }
  std::fprintf(stderr, "fake world: %s\n", what.c_str());
  std::abort();
}

// --- CFaultTrigger ---

void CFaultTrigger::Arm(int nth, bool always, EFault how) {
  m_nCountdown = always ? 0 : nth;
  m_bAlways = always;
  m_how = how;
}

EFault CFaultTrigger::Hit() {
  if (m_bAlways || (m_nCountdown > 0 && --m_nCountdown == 0)) {
    ++m_nFired;
    return m_how;
  }
  return EFault::kNone;
}

// --- CFakeSocketService ---

size_t SFakeEndpoint::Pending() const {
  size_t total = 0;
  for (const std::string& chunk : inbound) total += chunk.size();
  return total;
}

void CFakeSocketService::Reserved() { WorldFailure("the plug-in called slot 0 of ISocket"); }

SFakeEndpoint* CFakeSocketService::Find(SOCKET socket) {
  auto it = m_endpoints.find(socket);
  if (it != m_endpoints.end() && !(m_bStrict && it->second.closed)) return &it->second;
  if (it == m_endpoints.end() && !m_bStrict) return &m_endpoints[socket];
  WorldFailure("the plug-in used socket " + std::to_string(static_cast<long long>(socket)) +
               (it == m_endpoints.end() ? ", which it was never given" : " after it was closed"));
  return nullptr;
}

int CFakeSocketService::Receive(SOCKET socket, char* buffer, int size) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  SFakeEndpoint* end = Find(socket);
  if (end == nullptr) return SOCKET_ERROR;
  if (buffer == nullptr || size <= 0) {
    WorldFailure("Receive into a buffer of " + std::to_string(size) + " bytes");
    return SOCKET_ERROR;
  }
  ++end->receives;
  switch (end->receiveFault.Hit()) {
    case EFault::kThrow:
      ThrowSocketError();
    case EFault::kFail:
    case EFault::kShort:
      return SOCKET_ERROR;
    case EFault::kNone:
      break;
  }
  if (end->inbound.empty()) return 0;
  std::string& chunk = end->inbound.front();
  size_t count = std::min(chunk.size(), static_cast<size_t>(size));
  if (m_onReceive) m_onReceive(socket, chunk.substr(0, count));
  std::memcpy(buffer, chunk.data(), count);
  chunk.erase(0, count);
  if (chunk.empty()) end->inbound.pop_front();
  end->consumed += count;
  return static_cast<int>(count);
}

BOOL CFakeSocketService::Send(SOCKET socket, const char* data, int length) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  SFakeEndpoint* end = Find(socket);
  if (end == nullptr) return FALSE;
  if (length < 0 || (length > 0 && data == nullptr)) {
    WorldFailure("Send of " + std::to_string(length) + " bytes");
    return FALSE;
  }
  ++end->sends;
  switch (end->sendFault.Hit()) {
    case EFault::kThrow:
      // Nothing was handed over; a real connection would be broken.
      ++end->thrownSends;
      ThrowSocketError();
    case EFault::kFail:
    case EFault::kShort:
      end->offered.append(data, static_cast<size_t>(length));
      return FALSE;
    case EFault::kNone:
      break;
  }
  end->offered.append(data, static_cast<size_t>(length));
  end->delivered.append(data, static_cast<size_t>(length));
  return TRUE;
}

void CFakeSocketService::Open(SOCKET socket) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  m_endpoints[socket];
}

void CFakeSocketService::Close(SOCKET socket) { Endpoint(socket).closed = true; }

void CFakeSocketService::Push(SOCKET socket, const std::string& chunk) {
  if (!chunk.empty()) Endpoint(socket).inbound.push_back(chunk);
}

size_t CFakeSocketService::Pending(SOCKET socket) { return Endpoint(socket).Pending(); }

size_t CFakeSocketService::Consumed(SOCKET socket) { return Endpoint(socket).consumed; }

std::string CFakeSocketService::Sent(SOCKET socket) { return Endpoint(socket).delivered; }

std::string CFakeSocketService::Offered(SOCKET socket) { return Endpoint(socket).offered; }

void CFakeSocketService::FailReceive(SOCKET socket, int nth, EFault fault) {
  Endpoint(socket).receiveFault.Once(nth, fault);
}

void CFakeSocketService::FailSend(SOCKET socket, int nth, EFault fault) {
  Endpoint(socket).sendFault.Once(nth, fault);
}

int CFakeSocketService::FaultsFired() {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  int fired = 0;
  for (const auto& entry : m_endpoints) {
    fired += entry.second.receiveFault.Fired() + entry.second.sendFault.Fired();
  }
  return fired;
}

SFakeEndpoint& CFakeSocketService::Endpoint(SOCKET socket) {
  // The test asks: an endpoint it names exists from then on.
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  return m_endpoints[socket];
}

void CFakeSocketService::Reset() {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  m_endpoints.clear();
}

// --- CFaultySpoolStore ---

namespace {
ISpoolStore& DefaultSpoolStore() {
  SetSpoolStoreForTesting(nullptr);
  return SpoolStore();
}
}  // namespace

CFaultySpoolStore::CFaultySpoolStore() : m_inner(DefaultSpoolStore()) {}

int CFaultySpoolStore::IdOf(const char* path) const {
  for (size_t i = m_records.size(); i-- > 0;) {
    if (m_records[i].path == path) return static_cast<int>(i);
  }
  return -1;
}

FILE* CFaultySpoolStore::Create(const char* path, bool* pExists) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  if (path == nullptr || pExists == nullptr) {
    WorldFailure("spool Create without a path or an answer for a taken name");
    return nullptr;
  }
  if (m_create.Hit() != EFault::kNone) {
    *pExists = false;
    if (m_onCreate) m_onCreate(-1, false);
    return nullptr;
  }
  if (!m_strDirectory.empty() &&
      std::strncmp(path, m_strDirectory.c_str(), m_strDirectory.size()) != 0) {
    WorldFailure(std::string("spool file \"") + path + "\" is outside the temporary directory");
  }
  FILE* file = m_inner.Create(path, pExists);
  if (*pExists) ++m_nNameTaken;
  int id = -1;
  if (file != nullptr) {
    id = static_cast<int>(m_records.size());
    m_streams[file] = SStream{id, true};
    m_records.push_back(SSpoolRecord{path});
  }
  if (m_onCreate) m_onCreate(id, file == nullptr && *pExists);
  return file;
}

size_t CFaultySpoolStore::Write(const void* data, size_t size, FILE* file) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  auto it = m_streams.find(file);
  if (it != m_streams.end() && !it->second.write && m_bAcceptWriteToReadStream) return 0;
  if (it == m_streams.end() || !it->second.write) {
    WorldFailure("the plug-in wrote to a spool stream it does not hold open for writing");
    return 0;
  }
  switch (m_write.Hit()) {
    case EFault::kNone:
      return m_inner.Write(data, size, file);
    case EFault::kShort:
      m_records[static_cast<size_t>(it->second.id)].writeFailed = true;
      return size > 1 ? m_inner.Write(data, size - 1, file) : 0;
    case EFault::kThrow:
    case EFault::kFail:
      m_records[static_cast<size_t>(it->second.id)].writeFailed = true;
      return 0;
  }
  return 0;
}

FILE* CFaultySpoolStore::OpenRead(const char* path) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  const int id = IdOf(path);
  FILE* file = m_openRead.Hit() != EFault::kNone ? nullptr : m_inner.OpenRead(path);
  if (file != nullptr) m_streams[file] = SStream{id, false};
  if (m_onOpenRead) m_onOpenRead(id, file != nullptr);
  return file;
}

size_t CFaultySpoolStore::Read(void* buffer, size_t size, FILE* file) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  auto it = m_streams.find(file);
  if (it == m_streams.end() || it->second.write) {
    WorldFailure("the plug-in read from a spool stream it does not hold open for reading");
    return 0;
  }
  size_t n = m_inner.Read(buffer, size, file);
  if (m_read.Hit() != EFault::kNone && n > 0 && it->second.id >= 0) {
    m_records[static_cast<size_t>(it->second.id)].readFailed = true;
    return 0;
  }
  return n;
}

long long CFaultySpoolStore::Length(FILE* file) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  if (m_streams.find(file) == m_streams.end()) {
    WorldFailure("Length of a spool stream the plug-in does not hold");
  }
  return m_inner.Length(file);
}

int CFaultySpoolStore::Close(FILE* file) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  auto it = m_streams.find(file);
  if (it == m_streams.end()) {
    WorldFailure("the plug-in closed a spool stream it does not hold");
    return EOF;
  }
  SStream stream = it->second;
  m_streams.erase(it);
  int result = m_inner.Close(file);
  if (stream.write && m_close.Hit() != EFault::kNone) {
    m_records[static_cast<size_t>(stream.id)].closeFailed = true;
    return EOF;
  }
  return result;
}

bool CFaultySpoolStore::Delete(const char* path) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  for (const auto& stream : m_streams) {
    if (stream.second.id >= 0 && m_records[static_cast<size_t>(stream.second.id)].path == path) {
      WorldFailure(std::string("the plug-in deletes spool file \"") + path +
                   "\" while a stream on it is open");
    }
  }
  if (m_delete.Hit() != EFault::kNone) {
    int id = IdOf(path);
    if (id >= 0) m_records[static_cast<size_t>(id)].deleteFailed = true;
    m_leftBehind.insert(path);
    return false;
  }
  return m_inner.Delete(path);
}

bool CFaultySpoolStore::IsOpen(const std::string& path) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  for (const auto& stream : m_streams) {
    if (stream.second.id >= 0 && m_records[static_cast<size_t>(stream.second.id)].path == path) {
      return true;
    }
  }
  return false;
}

size_t CFaultySpoolStore::OpenStreams() {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  return m_streams.size();
}

int CFaultySpoolStore::IdOfPath(const std::string& path) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  return IdOf(path.c_str());
}

std::vector<std::string> CFaultySpoolStore::Created() {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  std::vector<std::string> paths;
  for (const SSpoolRecord& record : m_records) paths.push_back(record.path);
  return paths;
}

int CFaultySpoolStore::FaultsFired() const {
  return m_create.Fired() + m_write.Fired() + m_close.Fired() + m_openRead.Fired() +
         m_read.Fired() + m_delete.Fired();
}

std::vector<std::string> CFaultySpoolStore::FilesIn(const std::string& directory) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  std::vector<std::string> files;
  std::error_code error;
  for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    std::string path = it->path().string();
    if (m_leftBehind.count(path) == 0) files.push_back(path);
  }
  return files;
}

void CFaultySpoolStore::RemoveLeftBehind() {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  std::error_code error;
  for (const std::string& path : m_leftBehind) fs::remove(path, error);
  m_leftBehind.clear();
}

void CFaultySpoolStore::Reset() {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  for (CFaultTrigger* trigger : {&m_create, &m_write, &m_close, &m_openRead, &m_read, &m_delete}) {
    *trigger = CFaultTrigger();
  }
  m_bAcceptWriteToReadStream = false;
  m_records.clear();
  m_streams.clear();
  m_nNameTaken = 0;
}

// --- CFakeScanner ---

void DIVIVEZ_CDECL CFakeScanner::Callback(int code, ScanRequest* request) {
  if (g_pScanner == nullptr) {
    WorldFailure("the host callback was called with no scanner installed");
    return;
  }
  CFakeScanner& scanner = *g_pScanner;
  if (code == kScanCodeScan) {
    scanner.Record(request);
    scanner.Answer(request);
  } else if (code == kScanCodeProgress) {
    scanner.m_progress.push_back({request->dwKBytesDone, request->dwKBytesTotal, *request});
  } else if (code == kCallbackCodeConnection) {
    scanner.m_connections.push_back(*request);
    request->nScanResult = scanner.m_nConnectionAnswer;
  } else {
    scanner.m_otherCodes.push_back(code);
  }
}

void CFakeScanner::Install(CFaultySpoolStore* store) {
  m_pStore = store;
  g_pScanner = this;
}

void CFakeScanner::Uninstall() {
  if (g_pScanner == this) g_pScanner = nullptr;
}

SVerdict& CFakeScanner::Next() {
  if (m_verdicts.empty()) m_verdicts.emplace_back();
  return m_verdicts.front();
}

const SScanRecord& CFakeScanner::Record(ScanRequest* request) {
  SScanRecord record;
  std::memcpy(&record.request, request, sizeof record.request);
  if (request->pszDataFileName != nullptr) {
    record.strFile = request->pszDataFileName;
    std::ifstream file(record.strFile, std::ios::binary);
    record.bReadable = static_cast<bool>(file);
    record.strSpool.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    record.bStillOpen = m_pStore != nullptr && m_pStore->IsOpen(record.strFile);
  }
  m_scans.push_back(record);
  return m_scans.back();
}

void CFakeScanner::Answer(ScanRequest* request) {
  SVerdict verdict;
  if (!m_verdicts.empty()) {
    verdict = m_verdicts.front();
    m_verdicts.pop_front();
  }
  TimeoutProtectionFunc keepAlive = request->pfnTimeoutProtection;
  void* context = request->pTimeoutProtectionArg;
  if (keepAlive != nullptr && verdict.nKeepAlives > 0) {
    auto calls = [&] {
      for (int i = 0; i < verdict.nKeepAlives; ++i) keepAlive(context);
    };
    if (verdict.bKeepAliveThread) {
      std::thread(calls).join();
    } else {
      calls();
    }
  }
  if (verdict.bThrow) throw std::runtime_error("scanner failed");
  request->nScanResult = verdict.nResult;
  // A text as long as the field may fill it without a NUL (a careless host):
  // the plug-in must not read past the record.
  const size_t field = sizeof request->szInsertText;
  if (verdict.bFillField && verdict.strText.size() >= field) {
    std::memcpy(request->szInsertText, verdict.strText.data(), field);
    return;
  }
  size_t length = std::min(verdict.strText.size(), field - 1);
  std::memcpy(request->szInsertText, verdict.strText.data(), length);
  request->szInsertText[length] = '\0';
}

void CFakeScanner::Reset() {
  m_scans.clear();
  m_progress.clear();
  m_connections.clear();
  m_otherCodes.clear();
  m_verdicts.clear();
}

namespace {
bool AllZero(const void* data, size_t size) {
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  return std::all_of(bytes, bytes + size, [](unsigned char b) { return b == 0; });
}
}  // namespace

std::string RecordProblems(const ScanRequest& r, const CHostSocket* client, int context) {
  std::ostringstream bad;
  if (r.dwSize != sizeof(ScanRequest)) bad << "dwSize " << r.dwSize << "; ";
  if (r.nFixedA != 2 || r.nFixedB != 3) {
    bad << "nFixedA/B " << r.nFixedA << "/" << r.nFixedB << "; ";
  }
  if (!AllZero(r.abReserved1, sizeof r.abReserved1) ||
      !AllZero(r.abReserved2, sizeof r.abReserved2)) {
    bad << "reserved bytes not zero; ";
  }
  if (r.nHostContext != context) bad << "nHostContext " << r.nHostContext << "; ";
  if (r.pSockApplication != client) bad << "pSockApplication is not the client; ";
  return bad.str().empty() ? "" : bad.str() + "\n";
}

std::string ScanRecordProblems(const SScanRecord& scan, const CHostSocket* client, int context,
                               uint32_t keepAlive, uint32_t interval) {
  const ScanRequest& r = scan.request;
  std::ostringstream bad;
  if (r.nScanResult != 0) bad << "nScanResult " << r.nScanResult << " on entry; ";
  if (!AllZero(r.szInsertText, sizeof r.szInsertText)) bad << "szInsertText not zero on entry; ";
  if (r.dwKBytesDone != 0 || r.dwKBytesTotal != 0) bad << "progress fields set; ";
  if (r.bTimeoutProtection != keepAlive || r.dwTimeoutProtection != interval) {
    bad << "keep-alive " << r.bTimeoutProtection << "/" << r.dwTimeoutProtection << ", expected "
        << keepAlive << "/" << interval << "; ";
  }
  if (r.pfnTimeoutProtection == nullptr || r.pTimeoutProtectionArg == nullptr) {
    bad << "no keep-alive function or argument; ";
  }
  if (!scan.bReadable) bad << "spool file " << scan.strFile << " not readable; ";
  if (scan.bStillOpen) bad << "spool file still open during the scan; ";
  std::string common = RecordProblems(r, client, context);
  if (bad.str().empty()) return common;
  return bad.str() + (common.empty() ? "\n" : common);
}

// --- CFakeClock ---

DWORD CFakeClock::Now() { return g_dwNow.load(); }
void CFakeClock::Set(DWORD now) { g_dwNow.store(now); }
void CFakeClock::Advance(DWORD ms) { g_dwNow.fetch_add(ms); }
