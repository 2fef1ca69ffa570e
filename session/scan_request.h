// The record passed to the host callback: a scan request (code 2), a
// delivery progress report (code 3), or, under callback version 2 only, the
// question about a new connection (code 4).
//
// The layout is shared with the host and binding. In a 32-bit process it is
// exactly 1360 bytes with the offsets asserted below. A 64-bit build keeps the
// same field order with 8-byte pointers at their natural alignment (1384
// bytes); a host built from this header agrees with it. The plug-in zeroes the
// whole record before filling it and reads back only nScanResult and
// szInsertText of a code-2 record. The host must not keep the record's address,
// nor pszDataFileName, after its callback returns.
//
// Callback version 2 (DIVIVEZ_CALLBACK_VERSION=2 in the host process's
// environment, which only a host that speaks it sets): an nScanResult of
// exactly kScanResultReject asks the plug-in to answer the client
// "554 5.7.1 Message rejected: infected (NAME)" instead of "250 Mail
// accepted", NAME taken from szInsertText (made printable ASCII, at most 100
// characters; "unknown" when empty). Any other value > 0 drops as in
// version 1. Under version 1 every value > 0 drops with 250.
//
// Version 2 also asks the host about each connection, once, in the first
// request call (either export) before anything is read: code 4, a record
// with only the fixed fields, nHostContext and pSockApplication set. The
// host sets nScanResult to kConnectionTrustForwarding when it trusts the
// client to forward its own clients' details: XCLIENT and XFORWARD then stay
// in the server's EHLO reply and the client's commands go to the server.
// Anything else, a throw, or no callback, leaves them withheld and refused.
#ifndef DIVIVEZ_SESSION_SCAN_REQUEST_H_
#define DIVIVEZ_SESSION_SCAN_REQUEST_H_

#include <cstddef>
#include <cstdint>

#include "platform/export.h"

class CHostSocket;

// Callback codes.
enum : int { kScanCodeScan = 2, kScanCodeProgress = 3, kCallbackCodeConnection = 4 };

// nScanResult of a code-2 record under callback version 2: the client is
// told the message was rejected (see above).
enum : int32_t { kScanResultReject = 2 };
// nScanResult of a code-4 record: the client may use XCLIENT and XFORWARD.
enum : int32_t { kConnectionTrustForwarding = 1 };

// The keep-alive function the host may call during a scan, with
// pTimeoutProtectionArg: it sends "NOOP\r\n" to the connection's server.
typedef void(DIVIVEZ_CDECL* TimeoutProtectionFunc)(void* context);

struct ScanRequest {
  uint32_t dwSize;                             // sizeof(ScanRequest)
  int32_t nFixedA;                             // always 2
  const char* pszDataFileName;                 // code 2: the closed spool file
  int32_t nScanResult;                         // code 2, set by the host: > 0 infected
  uint8_t abReserved1[1024];                   // zero
  uint32_t bTimeoutProtection;                 // code 2: keep-alive enabled
  uint32_t dwTimeoutProtection;                // code 2: keep-alive interval, ms
  TimeoutProtectionFunc pfnTimeoutProtection;  // code 2
  void* pTimeoutProtectionArg;                 // code 2
  uint32_t dwKBytesDone;                       // code 3: spool bytes sent >> 10
  uint32_t dwKBytesTotal;                      // code 3: spool size / 1024
  int32_t nHostContext;                        // the OnNewConnection context value
  CHostSocket* pSockApplication;               // the client's socket object
  int32_t nFixedB;                             // always 3
  uint8_t abReserved2[20];                     // zero
  char szInsertText[264];                      // code 2, set by the host; NUL-terminated:
                                               // the text to insert, or the rejected
                                               // message's signature name
};

// Host callback: code 2 (synchronous scan), 3 (progress) or 4 (the connection).
typedef void(DIVIVEZ_CDECL* HostCallback)(int code, ScanRequest* request);

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(ScanRequest) == 1360, "32-bit ScanRequest is 1360 bytes");
static_assert(offsetof(ScanRequest, nFixedA) == 4, "layout");
static_assert(offsetof(ScanRequest, pszDataFileName) == 8, "layout");
static_assert(offsetof(ScanRequest, nScanResult) == 12, "layout");
static_assert(offsetof(ScanRequest, abReserved1) == 16, "layout");
static_assert(offsetof(ScanRequest, bTimeoutProtection) == 1040, "layout");
static_assert(offsetof(ScanRequest, dwTimeoutProtection) == 1044, "layout");
static_assert(offsetof(ScanRequest, pfnTimeoutProtection) == 1048, "layout");
static_assert(offsetof(ScanRequest, pTimeoutProtectionArg) == 1052, "layout");
static_assert(offsetof(ScanRequest, dwKBytesDone) == 1056, "layout");
static_assert(offsetof(ScanRequest, dwKBytesTotal) == 1060, "layout");
static_assert(offsetof(ScanRequest, nHostContext) == 1064, "layout");
static_assert(offsetof(ScanRequest, pSockApplication) == 1068, "layout");
static_assert(offsetof(ScanRequest, nFixedB) == 1072, "layout");
static_assert(offsetof(ScanRequest, abReserved2) == 1076, "layout");
static_assert(offsetof(ScanRequest, szInsertText) == 1096, "layout");
#else
static_assert(sizeof(ScanRequest) == 1384, "64-bit ScanRequest is 1384 bytes");
static_assert(offsetof(ScanRequest, pszDataFileName) == 8, "layout");
static_assert(offsetof(ScanRequest, nScanResult) == 16, "layout");
static_assert(offsetof(ScanRequest, abReserved1) == 20, "layout");
static_assert(offsetof(ScanRequest, bTimeoutProtection) == 1044, "layout");
static_assert(offsetof(ScanRequest, dwTimeoutProtection) == 1048, "layout");
static_assert(offsetof(ScanRequest, pfnTimeoutProtection) == 1056, "layout");
static_assert(offsetof(ScanRequest, pTimeoutProtectionArg) == 1064, "layout");
static_assert(offsetof(ScanRequest, dwKBytesDone) == 1072, "layout");
static_assert(offsetof(ScanRequest, dwKBytesTotal) == 1076, "layout");
static_assert(offsetof(ScanRequest, nHostContext) == 1080, "layout");
static_assert(offsetof(ScanRequest, pSockApplication) == 1088, "layout");
static_assert(offsetof(ScanRequest, nFixedB) == 1096, "layout");
static_assert(offsetof(ScanRequest, abReserved2) == 1100, "layout");
static_assert(offsetof(ScanRequest, szInsertText) == 1120, "layout");
#endif

#endif  // DIVIVEZ_SESSION_SCAN_REQUEST_H_
