// Scripted short writes and failures of the system's send() on one socket.
//
// The test program replaces the system's send() (send_faults_posix.cpp,
// send_faults_win32.cpp): every call passes straight through unless a script
// is armed for its socket. An armed socket takes the script's steps one per
// send() call, then passes through again. Each call on the armed socket is
// recorded with the bytes it offered, so a test can see where a retry
// resumed. Thread-safe.
#ifndef DIVIVEZ_TESTS_SUPPORT_SEND_FAULTS_H_
#define DIVIVEZ_TESTS_SUPPORT_SEND_FAULTS_H_

#include <vector>

#include "platform/platform.h"

enum class ESendStep {
  kPass,        // the real send()
  kShort,       // the real send() of at most m_nBytes bytes
  kWouldBlock,  // nothing sent; EAGAIN / WSAEWOULDBLOCK
  kReset,       // nothing sent; ECONNRESET / WSAECONNRESET
};

struct CSendStep {
  ESendStep m_kind;
  int m_nBytes;  // kShort only
};

struct CSendCall {
  const char* m_pData;  // where the offered bytes began
  int m_nLength;        // how many were offered
  ESendStep m_kind;     // what was done with them
};

// Replaces any earlier script.
void ArmSendScript(SOCKET socket, const std::vector<CSendStep>& steps);
void DisarmSendScript();
std::vector<CSendCall> SendCallsOnArmedSocket();

// For the interposers: decides one call. For kShort, *pLimit is the count
// to pass on.
ESendStep NextSendStep(SOCKET socket, const char* data, int length, int* pLimit);

#endif  // DIVIVEZ_TESTS_SUPPORT_SEND_FAULTS_H_
