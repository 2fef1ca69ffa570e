#include "support/dialogue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "boundary/plugin_exports.h"
#include "boundary/settings.h"

namespace {

constexpr int kHostContext = -1234567;

std::string StepName(const SStep& step, size_t index, const char* prefix) {
  return prefix + (step.line > 0 ? "line " + std::to_string(step.line)
                                 : "step " + std::to_string(index + 1));
}

std::string Difference(const std::string& got, const std::string& expected) {
  size_t at = 0;
  while (at < got.size() && at < expected.size() && got[at] == expected[at]) ++at;
  size_t from = at > 60 ? at - 60 : 0;
  std::ostringstream out;
  out << "first difference at byte " << at << " (got " << got.size() << " bytes, expected "
      << expected.size() << ")\n      got: ..." << Printable(got.substr(from, 160))
      << "\n expected: ..." << Printable(expected.substr(from, 160)) << "\n";
  return out.str();
}

class CRun {
 public:
  CRun(CHostHarness& host, const SDialogue& dialogue) : m_host(host), m_dialogue(dialogue) {}

  // splitStep: index of the chunk step split at splitAt (-1: none).
  bool Play(ESplit mode, int splitStep, size_t splitAt, const std::string& label);

 private:
  bool Check(const std::string& where);
  void Deliver(bool client, const std::string& bytes, ESplit mode, size_t splitAt);
  void Pump(bool clientFirst);
  bool Call(bool client);

  CHostHarness& m_host;
  const SDialogue& m_dialogue;
  CHostSocket m_client{0, 11};
  CHostSocket m_server{0, 22};
  std::string m_label;
  std::string m_toServer, m_toClient;
  std::vector<std::string> m_spools;
  std::vector<std::pair<uint32_t, uint32_t>> m_progress;
  size_t m_nScansChecked = 0;
  bool m_bCalled = false;  // a request export has been called
  bool m_bFailed = false;
};

bool CRun::Call(bool client) {
  SOCKET handle = client ? m_client.m_hSocket : m_server.m_hSocket;
  m_bCalled = true;
  size_t before = m_host.m_sockets.Consumed(handle);
  int result = client ? OnRequestFromApplication(&m_client, &m_server)
                      : OnRequestFromServer(&m_client, &m_server);
  size_t read = m_host.m_sockets.Consumed(handle) - before;
  if (result != static_cast<int>(read) && !m_bFailed) {
    ADD_FAILURE() << m_label << ": "
                  << (client ? "OnRequestFromApplication" : "OnRequestFromServer") << " returned "
                  << result << " after reading " << read << " bytes";
    m_bFailed = true;
  }
  return read > 0;
}

// The host calls a handler whenever its socket has bytes waiting; a client
// that the plug-in holds back is called again after the server side.
void CRun::Pump(bool clientFirst) {
  for (int round = 0; round < 100000; ++round) {
    bool progress = false;
    for (bool client : {clientFirst, !clientFirst}) {
      SOCKET handle = client ? m_client.m_hSocket : m_server.m_hSocket;
      if (m_host.m_sockets.Pending(handle) > 0 && Call(client)) progress = true;
    }
    if (!progress) return;
  }
}

void CRun::Deliver(bool client, const std::string& bytes, ESplit mode, size_t splitAt) {
  SOCKET handle = client ? m_client.m_hSocket : m_server.m_hSocket;
  if (mode == ESplit::kBytePerRead) {
    for (char c : bytes) {
      m_host.m_sockets.Push(handle, std::string(1, c));
      Pump(client);
    }
  } else if (splitAt == 0) {
    m_host.m_sockets.Push(handle, bytes);
    Pump(client);
  } else if (mode == ESplit::kSplitOneCall) {
    m_host.m_sockets.Push(handle, bytes.substr(0, splitAt));
    m_host.m_sockets.Push(handle, bytes.substr(splitAt));
    Pump(client);
  } else {
    m_host.m_sockets.Push(handle, bytes.substr(0, splitAt));
    Pump(client);
    m_host.m_sockets.Push(handle, bytes.substr(splitAt));
    Pump(client);
  }
}

bool CRun::Check(const std::string& where) {
  if (m_bFailed) return false;
  std::string server = m_host.m_sockets.Sent(m_server.m_hSocket);
  std::string client = m_host.m_sockets.Sent(m_client.m_hSocket);
  const CFakeScanner& scanner = m_host.m_scanner;
  std::ostringstream problem;
  if (server != m_toServer) problem << "server received:\n" << Difference(server, m_toServer);
  if (client != m_toClient) problem << "client received:\n" << Difference(client, m_toClient);
  if (scanner.m_scans.size() != m_spools.size()) {
    problem << "scans: " << scanner.m_scans.size() << ", expected " << m_spools.size() << "\n";
  }
  uint32_t keepAlive = m_dialogue.nKeepAliveSeconds > 0 ? 1 : 0;
  uint32_t interval = m_dialogue.nKeepAliveSeconds > 0
                          ? static_cast<uint32_t>(m_dialogue.nKeepAliveSeconds) * 1000
                          : 5000;
  for (size_t i = 0; i < std::min(scanner.m_scans.size(), m_spools.size()); ++i) {
    if (scanner.m_scans[i].strSpool != m_spools[i]) {
      problem << "spool file of scan " << i + 1 << ":\n"
              << Difference(scanner.m_scans[i].strSpool, m_spools[i]);
    }
  }
  for (; m_nScansChecked < scanner.m_scans.size(); ++m_nScansChecked) {
    std::string bad = ScanRecordProblems(scanner.m_scans[m_nScansChecked], &m_client, kHostContext,
                                         keepAlive, interval);
    if (!bad.empty()) problem << "scan " << m_nScansChecked + 1 << ": " << bad;
  }
  std::vector<std::pair<uint32_t, uint32_t>> progress;
  for (const SProgressRecord& report : scanner.m_progress) {
    progress.emplace_back(report.dwDone, report.dwTotal);
    const std::string bad = RecordProblems(report.request, &m_client, kHostContext);
    if (!bad.empty()) problem << "progress record: " << bad;
  }
  if (progress != m_progress) {
    problem << "progress reports (done/total):";
    for (const auto& report : progress) problem << " " << report.first << "/" << report.second;
    problem << ", expected:";
    for (const auto& report : m_progress) problem << " " << report.first << "/" << report.second;
    problem << "\n";
  }
  if (!scanner.m_otherCodes.empty()) problem << "callback called with an unknown code\n";
  // Asked once, in the first request call, only by a host of version 2.
  const size_t questions =
      m_dialogue.nCallbackVersion >= 2 && !m_dialogue.bNoCallback && m_bCalled ? 1 : 0;
  if (scanner.m_connections.size() != questions) {
    problem << "connection questions: " << scanner.m_connections.size() << ", expected "
            << questions << "\n";
  }
  for (const ScanRequest& question : scanner.m_connections) {
    const std::string bad = RecordProblems(question, &m_client, kHostContext);
    if (!bad.empty()) problem << "connection question: " << bad;
  }
  if (problem.str().empty()) return true;
  ADD_FAILURE() << m_label << ", " << where << ":\n" << problem.str();
  m_bFailed = true;
  return false;
}

bool CRun::Play(ESplit mode, int splitStep, size_t splitAt, const std::string& label) {
  m_label = label;
  CFaultySpoolStore& store = *m_host.m_pStore;
  if (m_dialogue.bFailCreate) store.m_create.Always();
  if (m_dialogue.bFailOpenRead) store.m_openRead.Always();
  if (m_dialogue.nFailWriteAt > 0) store.m_write.Once(m_dialogue.nFailWriteAt);
  if (m_dialogue.nShortWriteAt > 0) store.m_write.Once(m_dialogue.nShortWriteAt, EFault::kShort);
  SetTimeoutProtection(m_dialogue.nKeepAliveSeconds);
  SetRelayUnspooled(m_dialogue.bRelayUnspooled);
  SetCallbackVersion(m_dialogue.nCallbackVersion);
  m_host.m_scanner.m_nConnectionAnswer =
      m_dialogue.bTrustForwarding ? kConnectionTrustForwarding : 0;
  RegisterCallback(m_dialogue.bNoCallback ? nullptr : &CFakeScanner::Callback);
  m_host.Open(&m_client, kHostContext);

  bool skipCheck = false;
  for (size_t i = 0; i < m_dialogue.steps.size() && !m_bFailed; ++i) {
    const SStep& step = m_dialogue.steps[i];
    switch (step.kind) {
      case EStep::kServer:
      case EStep::kClient:
        if (!m_dialogue.bLoose && !skipCheck && !Check(StepName(step, i, "before "))) break;
        skipCheck = false;
        Deliver(step.kind == EStep::kClient, step.bytes, mode,
                static_cast<int>(i) == splitStep ? splitAt : 0);
        break;
      case EStep::kVerdict:
        m_host.m_scanner.Queue(step.verdict);
        break;
      case EStep::kTickAdvance:
        CFakeClock::Advance(step.a);
        break;
      case EStep::kTickSet:
        CFakeClock::Set(step.a);
        break;
      case EStep::kExpectServer:
        m_toServer += step.bytes;
        break;
      case EStep::kExpectClient:
        m_toClient += step.bytes;
        break;
      case EStep::kExpectSpool:
        m_spools.push_back(step.bytes);
        break;
      case EStep::kExpectProgress:
        m_progress.emplace_back(step.a, step.b);
        break;
      case EStep::kNoCheck:
        skipCheck = true;
        break;
      case EStep::kFuzzEvent:
        break;  // refused by RunDialogue
      case EStep::kNoSpool:
        for (const std::string& path : store.Created()) {
          if (std::ifstream(path)) {
            ADD_FAILURE() << m_label << ", " << StepName(step, i, "at ")
                          << ": the spool file still exists: " << path;
            m_bFailed = true;
          }
        }
        break;
    }
  }
  if (!m_bFailed) Check("at the end");
  bool failed = m_bFailed || ::testing::Test::HasFailure();
  m_host.Finish();
  RegisterCallback(&CFakeScanner::Callback);
  SetTimeoutProtection(0);
  g_dwTimeoutProtection = 5000;
  return !failed && !::testing::Test::HasFailure();
}

}  // namespace

void RunDialogue(CHostHarness& host, const SDialogue& dialogue, ESplit mode) {
  ASSERT_TRUE(dialogue.strError.empty()) << dialogue.strError;
  for (const SStep& step : dialogue.steps) {
    ASSERT_NE(step.kind, EStep::kFuzzEvent)
        << "line " << step.line << ": '" << step.strFuzzKey << "' is a step only the fuzzer plays";
  }
  if (mode != ESplit::kSplitOneCall && mode != ESplit::kSplitTwoCalls) {
    CRun(host, dialogue)
        .Play(mode, -1, 0, mode == ESplit::kScripted ? "as scripted" : "one byte per read");
    return;
  }
  const char* how = mode == ESplit::kSplitOneCall ? "one call" : "two calls";
  for (size_t i = 0; i < dialogue.steps.size(); ++i) {
    const SStep& step = dialogue.steps[i];
    if (step.kind != EStep::kServer && step.kind != EStep::kClient) continue;
    for (size_t at = 1; at < step.bytes.size(); ++at) {
      std::string label = std::string(step.kind == EStep::kClient ? "client" : "server") +
                          " chunk of " + StepName(step, i, "") + " split at " + std::to_string(at) +
                          " (" + how + ")";
      if (!CRun(host, dialogue).Play(mode, static_cast<int>(i), at, label)) return;
    }
  }
}
