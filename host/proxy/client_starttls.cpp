// STARTTLS toward the client. See client_starttls.h.
#include "host/proxy/client_starttls.h"

#include <algorithm>

namespace {

bool SendOut(Connection* c, int timeoutMs, const std::atomic<bool>* abort) {
  std::string& out = c->clientTls.startTls.out;
  const bool sent =
      out.empty() || c->clientStream.SendAll(out.data(), out.size(), timeoutMs, abort);
  out.clear();
  return sent;
}

}  // namespace

bool IsLoopbackAddress(const std::string& ip) {
  return ip.compare(0, 4, "127.") == 0 || ip == "::1" || ip.compare(0, 11, "::ffff:127.") == 0;
}

ClientTlsGate::Settings GateSettings(const Connection& c) {
  ClientTlsGate::Settings settings;
  settings.implicitTls = c.clientTls.implicit;
  settings.startTls = !c.clientTls.implicit;
  settings.requireTls = c.route->settings.tls.requireTls;
  settings.plaintextAuth = c.route->settings.tls.allowPlaintextAuth;
  settings.loopbackClient = IsLoopbackAddress(c.clientIp);
  return settings;
}

int GateReceive(Connection* c, char* buffer, int size, int timeoutMs,
                const std::atomic<bool>* abort) {
  ClientTlsGate& gate = *c->clientTls.startTls.gate;
  const size_t capacity = size > 0 ? static_cast<size_t>(size) : 0;
  if (gate.WantsHandshake() || capacity <= ClientTlsGate::kMaxExtraOutput) return 0;
  // At most the plug-in's buffer less what the gate may add, counting what
  // it still holds: so what it gives always fits.
  std::string& held = c->clientTls.startTls.held;
  const size_t room = capacity - ClientTlsGate::kMaxExtraOutput;
  if (held.size() < room) {
    const size_t old = held.size();
    held.resize(room);
    const int n = c->clientStream.ReceiveForPlugin(&held[old], static_cast<int>(room - old));
    held.resize(old + static_cast<size_t>(std::max(n, 0)));
  }
  size_t total = 0;
  // The gate's own replies, once out, make room for more.
  while (!held.empty() && !gate.WantsHandshake() &&
         held.size() + ClientTlsGate::kMaxExtraOutput <= capacity - total) {
    size_t produced = 0;
    const size_t used = gate.FromClient(held.data(), held.size(), buffer + total, &produced);
    held.erase(0, used);
    total += produced;
    gate.TakeLocalReplies(&c->clientTls.startTls.out);
    if (!SendOut(c, timeoutMs, abort)) break;
    if (used == 0) break;
  }
  return static_cast<int>(total);
}

bool GateSend(Connection* c, const char* data, size_t length, int timeoutMs,
              const std::atomic<bool>* abort) {
  ClientTlsGate& gate = *c->clientTls.startTls.gate;
  const size_t used = gate.ToClient(data, length, &c->clientTls.startTls.out);
  gate.TakeLocalReplies(&c->clientTls.startTls.out);
  const bool sent = SendOut(c, timeoutMs, abort);
  if (used == length) return sent;
  // The plug-in spoke after the 220 to STARTTLS, when every reply owed
  // before it had gone out: this answers something the client sent in
  // plain text (or nothing), and inside TLS the client would take it for
  // the answer to its first command there (RFC 3207 section 4). It is
  // dropped and the connection ends; the client, mid-handshake, can be
  // told nothing.
  c->cut = "the plug-in answered plain text past the 220 to STARTTLS (" +
           std::to_string(length - used) + " bytes dropped, never sent inside TLS)";
  c->dialogue.MarkToldClosing();
  return false;
}

size_t GateDropHeld(Connection* c) {
  const size_t dropped = c->clientTls.startTls.held.size();
  c->clientTls.startTls.held.clear();
  return dropped;
}

void GateHandshakeDone(Connection* c) { c->clientTls.startTls.gate->HandshakeDone(); }
