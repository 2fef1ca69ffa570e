#include "support/fake_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "boundary/plugin_exports.h"
#include "boundary/settings.h"
#include "platform/clock.h"
#include "platform/debug_output.h"

namespace fs = std::filesystem;

const char kReply354[] = "354 Enter mail, end with \".\" on a line by itself\r\n";
const char kReplyAccepted[] = "250 Mail accepted\r\n";
const char kReplyNoStorage[] = "452 4.3.1 Insufficient system storage\r\n";
const char kReplyNotDelivered[] = "451 4.3.0 Message could not be delivered; try again later\r\n";
const char kReplyNotAvailable[] = "502 5.5.1 Command not available\r\n";
const char kReplyNoSpool[] = "451 4.3.0 Message cannot be scanned now; try again later\r\n";
const char kReplyBareLineBreak[] = "500 5.5.2 Bare CR or LF not allowed\r\n";
const char kReplyLeadingSpace[] = "500 5.5.2 Syntax error: command starts with white space\r\n";
const char kReplyOutOfStep[] = "421 4.3.0 Mail server out of step; closing the transaction\r\n";
const char kReplyTooBig[] = "552 5.3.4 Message size exceeds fixed maximum message size\r\n";
const char kReplyServerLost[] = "421 4.3.0 Connection to the mail server lost\r\n";

namespace {

constexpr DWORD kStartTick = 1000000;
CHostHarness* g_pHarness = nullptr;
std::atomic<DWORD> g_dwNow{kStartTick};
std::mutex g_traceMutex;
std::vector<std::string> g_traceLines;

void CaptureTrace(const char* line) {
  std::lock_guard<std::mutex> lock(g_traceMutex);
  g_traceLines.emplace_back(line);
}

[[noreturn]] void ThrowSocketError() {
  CWinSockException error;
  error.m_nError = WSAECONNRESET;
  error.m_nReserved = 0;
  throw error;
}

}  // namespace

// --- CFakeSocketService ---

void CFakeSocketService::Reserved() { ADD_FAILURE() << "ISocket slot 0 was called"; }

int CFakeSocketService::Receive(SOCKET socket, char* buffer, int size) {
  std::lock_guard<std::mutex> lock(m_mutex);
  SEndpoint& end = m_endpoints[socket];
  if (++end.receives == end.failReceiveAt) {
    if (end.receiveFault == EFault::kThrow) ThrowSocketError();
    if (end.receiveFault == EFault::kFail) return -1;
  }
  if (end.inbound.empty() || size <= 0) return 0;
  std::string& chunk = end.inbound.front();
  size_t count = std::min(chunk.size(), static_cast<size_t>(size));
  std::memcpy(buffer, chunk.data(), count);
  chunk.erase(0, count);
  if (chunk.empty()) end.inbound.pop_front();
  end.consumed += count;
  return static_cast<int>(count);
}

BOOL CFakeSocketService::Send(SOCKET socket, const char* data, int length) {
  std::lock_guard<std::mutex> lock(m_mutex);
  SEndpoint& end = m_endpoints[socket];
  if (++end.sends == end.failSendAt) {
    if (end.sendFault == EFault::kThrow) ThrowSocketError();
    if (end.sendFault == EFault::kFail) return FALSE;
  }
  if (length > 0) end.sent.append(data, static_cast<size_t>(length));
  return TRUE;
}

void CFakeSocketService::Push(SOCKET socket, const std::string& chunk) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!chunk.empty()) m_endpoints[socket].inbound.push_back(chunk);
}

size_t CFakeSocketService::Pending(SOCKET socket) {
  std::lock_guard<std::mutex> lock(m_mutex);
  size_t total = 0;
  for (const std::string& chunk : m_endpoints[socket].inbound) total += chunk.size();
  return total;
}

size_t CFakeSocketService::Consumed(SOCKET socket) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_endpoints[socket].consumed;
}

std::string CFakeSocketService::Sent(SOCKET socket) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_endpoints[socket].sent;
}

void CFakeSocketService::FailReceive(SOCKET socket, int nth, EFault fault) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_endpoints[socket].failReceiveAt = m_endpoints[socket].receives + nth;
  m_endpoints[socket].receiveFault = fault;
}

void CFakeSocketService::FailSend(SOCKET socket, int nth, EFault fault) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_endpoints[socket].failSendAt = m_endpoints[socket].sends + nth;
  m_endpoints[socket].sendFault = fault;
}

void CFakeSocketService::Reset() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_endpoints.clear();
}

// --- CFakeScanner ---

void DIVIVEZ_CDECL CFakeScanner::Callback(int code, ScanRequest* request) {
  CFakeScanner& scanner = CHostHarness::Current().m_scanner;
  if (code == kScanCodeScan) {
    scanner.Scan(request);
  } else if (code == kScanCodeProgress) {
    scanner.m_progress.push_back({request->dwKBytesDone, request->dwKBytesTotal, *request});
  } else {
    scanner.m_otherCodes.push_back(code);
  }
}

void CFakeScanner::Scan(ScanRequest* request) {
  SScanRecord record;
  std::memcpy(&record.request, request, sizeof record.request);
  if (request->pszDataFileName != nullptr) {
    record.strFile = request->pszDataFileName;
    std::ifstream file(record.strFile, std::ios::binary);
    record.bReadable = static_cast<bool>(file);
    record.strSpool.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    record.bStillOpen = CHostHarness::Current().m_pStore->IsOpen(record.strFile);
  }
  m_scans.push_back(record);

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
  size_t length = std::min<size_t>(verdict.strText.size(), sizeof request->szInsertText - 1);
  std::memcpy(request->szInsertText, verdict.strText.data(), length);
  request->szInsertText[length] = '\0';
}

void CFakeScanner::Reset() {
  m_scans.clear();
  m_progress.clear();
  m_otherCodes.clear();
  m_verdicts.clear();
}

// --- CFakeClock, CTraceCapture ---

DWORD CFakeClock::Now() { return g_dwNow.load(); }
void CFakeClock::Set(DWORD now) { g_dwNow.store(now); }
void CFakeClock::Advance(DWORD ms) { g_dwNow.fetch_add(ms); }

std::vector<std::string> CTraceCapture::Lines() {
  std::lock_guard<std::mutex> lock(g_traceMutex);
  return g_traceLines;
}

std::string CTraceCapture::All() {
  std::string all;
  for (const std::string& line : Lines()) all += line;
  return all;
}

void CTraceCapture::Clear() {
  std::lock_guard<std::mutex> lock(g_traceMutex);
  g_traceLines.clear();
}

// --- CFaultySpoolStore ---

FILE* CFaultySpoolStore::Create(const char* path, bool* pExists) {
  if (m_bFailCreate) {
    if (pExists != nullptr) *pExists = false;
    return nullptr;
  }
  bool exists = false;
  FILE* file = m_inner.Create(path, &exists);
  if (pExists != nullptr) *pExists = exists;
  std::lock_guard<std::mutex> lock(m_mutex);
  if (exists) ++m_nNameTaken;
  if (file != nullptr) {
    m_created.emplace_back(path);
    m_open[file] = path;
  }
  return file;
}

size_t CFaultySpoolStore::Write(const void* data, size_t size, FILE* file) {
  int call = ++m_nWrites;
  if (call == m_nFailWriteAt) return 0;
  if (call == m_nShortWriteAt && size > 0) return m_inner.Write(data, size - 1, file);
  return m_inner.Write(data, size, file);
}

FILE* CFaultySpoolStore::OpenRead(const char* path) {
  if (m_bFailOpenRead) return nullptr;
  FILE* file = m_inner.OpenRead(path);
  std::lock_guard<std::mutex> lock(m_mutex);
  if (file != nullptr) m_open[file] = path;
  return file;
}

size_t CFaultySpoolStore::Read(void* buffer, size_t size, FILE* file) {
  return m_inner.Read(buffer, size, file);
}

long long CFaultySpoolStore::Length(FILE* file) { return m_inner.Length(file); }

int CFaultySpoolStore::Close(FILE* file) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open.erase(file);
  }
  return m_inner.Close(file);
}

bool CFaultySpoolStore::Delete(const char* path) {
  if (m_bFailDelete) return false;
  return m_inner.Delete(path);
}

bool CFaultySpoolStore::IsOpen(const std::string& path) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const auto& entry : m_open) {
    if (entry.second == path) return true;
  }
  return false;
}

void CFaultySpoolStore::Reset() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_bFailCreate = m_bFailOpenRead = m_bFailDelete = false;
  m_nFailWriteAt = m_nShortWriteAt = m_nNameTaken = m_nWrites = 0;
  m_created.clear();
  m_open.clear();
}

// --- CHostHarness ---

namespace {
ISpoolStore& DefaultSpoolStore() {
  SetSpoolStoreForTesting(nullptr);
  return SpoolStore();
}
}  // namespace

CHostHarness::CHostHarness() : m_pStore(&m_store), m_store(DefaultSpoolStore()) {
  g_pHarness = this;
  SetSpoolStoreForTesting(&m_store);
  SetISocket(&m_sockets);
  RegisterCallback(&CFakeScanner::Callback);
  SetTimeoutProtection(0);
  g_dwTimeoutProtection = 5000;
  g_nDebugLevel = 0;
  SetRelayUnspooled(false);
  CFakeClock::Set(kStartTick);
  SetTickSourceForTesting(&CFakeClock::Now);
  CTraceCapture::Clear();
  SetDebugOutputHook(&CaptureTrace);
  SetDebugOutputHookExclusive(true);
}

CHostHarness::~CHostHarness() {
  for (CHostSocket* client : m_open) OnEndConnection(client);
  SetISocket(nullptr);
  RegisterCallback(nullptr);
  SetTimeoutProtection(0);
  g_dwTimeoutProtection = 5000;
  g_nDebugLevel = 0;
  SetTickSourceForTesting(nullptr);
  SetSpoolStoreForTesting(nullptr);
  SetDebugOutputHookExclusive(false);
  SetDebugOutputHook(nullptr);
  g_pHarness = nullptr;
}

CHostHarness& CHostHarness::Current() {
  if (g_pHarness == nullptr) throw std::logic_error("no CHostHarness is active");
  return *g_pHarness;
}

void CHostHarness::Open(CHostSocket* client, int hostContext) {
  OnNewConnection(hostContext, client);
  if (std::find(m_open.begin(), m_open.end(), client) == m_open.end()) m_open.push_back(client);
}

void CHostHarness::End(CHostSocket* client) {
  OnEndConnection(client);
  m_open.erase(std::remove(m_open.begin(), m_open.end(), client), m_open.end());
}

void CHostHarness::Finish() {
  while (!m_open.empty()) End(m_open.back());
  std::error_code error;
  for (const std::string& path : m_store.m_created) {
    EXPECT_FALSE(fs::exists(path, error)) << "spool file left behind: " << path;
    EXPECT_FALSE(m_store.IsOpen(path)) << "spool stream left open: " << path;
  }
  for (const std::string& name : m_temp.LeftoverSpoolFiles()) {
    ADD_FAILURE() << "spool file left in the temporary directory: " << name;
  }
  m_sockets.Reset();
  m_scanner.Reset();
  m_store.Reset();
  CFakeClock::Set(kStartTick);
}
