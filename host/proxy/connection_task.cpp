// A connection as a task of an event loop (host/loop/): its set-up and its
// pump's rounds run there, and an ended connection's client socket lingers
// on the loop (see NetLingeringClose) rather than on a thread.
#ifndef NOMINMAX
#define NOMINMAX  // <windows.h> comes in through the plug-in's header
#endif
#include "host/proxy/connection.h"

#include "host/proxy/pump.h"

LoopTask::Status Connection::Start() {
  BindConnectionThread(this);
  const Pump::Opening opening = pump->Open(this);
  BindConnectionThread(nullptr);
  if (opening != Pump::Opening::kEnded) return Status::kRunning;
  // One that ended there has its sockets closed already.
  HandleClosed(0);
  return Status::kDone;
}

LoopTask::Status Connection::Round(bool clientReadable, bool serverReadable) {
  if (state.lingering) return LingerDone() ? Status::kDone : Status::kWindingDown;
  if (Opening()) return Start();
  BindConnectionThread(this);
  const char* reason = pump->Step(this, clientReadable, serverReadable);
  if (reason != nullptr) {
    // The server socket is closed, which takes it out of the set; the
    // client's lingers on the loop.
    HandleClosed(1);
    pump->End(this, reason, false);
    state.lingering = true;
    state.lingerEnd = Clock::now() + std::chrono::milliseconds(kLingerMs);
  }
  BindConnectionThread(nullptr);
  return state.lingering ? Status::kWindingDown : Status::kRunning;
}

Clock::time_point Connection::Wants(NetSocket handles[kHandles], bool watch[kHandles]) {
  handles[0] = clientStream.Socket();
  handles[1] = serverStream.Socket();
  if (upstreamSetUp != nullptr && !state.lingering) {
    // The server's answers; the client waits for its greeting meanwhile.
    watch[0] = false;
    watch[1] = true;
    return upstreamSetUp->Due();
  }
  if (state.lingering || Opening()) {
    watch[0] = true;
    watch[1] = false;
    if (state.lingering) return state.lingerEnd;
    return header.awaiting ? header.due : clientTls.handshake.due;
  }
  return pump->Wants(this, Clock::now(), &watch[0], &watch[1]);
}

void Connection::Retire() { pump->Retire(this); }

bool Connection::LingerDone() {
  // As NetLingeringClose, without the wait: what the client still sends is
  // read and dropped until it closes or the time is up.
  char discard[4096];
  while (Clock::now() < state.lingerEnd) {
    const int n = NetRecv(clientStream.Socket(), discard, sizeof discard);
    if (n > 0) continue;
    if (n == kNetWouldBlock) return false;
    break;
  }
  HandleClosed(0);
  clientStream.Close();
  return true;
}
