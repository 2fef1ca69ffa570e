// STARTTLS toward the client: the host's side of ClientTlsGate
// (host/smtp/client_tls_gate.h), between the client's stream and the
// plug-in's socket service, driven as the gate's header says.
//
// The host, not the plug-in, offers STARTTLS and takes the command, at a
// command boundary: the plug-in keeps reading and writing plain text, its
// EHLO filter and reply accounting stay as they are, and the bytes a client
// pipelines behind STARTTLS never reach it. Once the gate's 220 is out the
// pump stops calling the plug-in for the client, runs the handshake on the
// loop, and then calls GateHandshakeDone. Nothing the plug-in says after
// the 220 reaches the client: it answers plain text.
#ifndef DIVIVEZ_HOST_PROXY_CLIENT_STARTTLS_H_
#define DIVIVEZ_HOST_PROXY_CLIENT_STARTTLS_H_

#include <atomic>
#include <cstddef>
#include <string>

#include "host/proxy/connection.h"

// 127.0.0.0/8, ::1 and IPv4-mapped 127.0.0.0/8 (plain-text AUTH there
// never leaves the machine).
bool IsLoopbackAddress(const std::string& ip);

// The gate's settings for a connection of this route.
ClientTlsGate::Settings GateSettings(const Connection& c);

// The client's bytes for the plug-in, through the gate, into buffer: how
// many; 0 when nothing is there for it now (the gate may be holding bytes
// until the plug-in's reply, or the handshake is next). The gate's own
// replies go out to the client here.
int GateReceive(Connection* c, char* buffer, int size, int timeoutMs,
                const std::atomic<bool>* abort);

// The plug-in's bytes for the client, through the gate. False when the
// send failed, or when the plug-in spoke after the gate's 220: then the
// connection is cut (its reason in c->cut) and nothing more is sent.
bool GateSend(Connection* c, const char* data, size_t length, int timeoutMs,
              const std::atomic<bool>* abort);

// The gate's 220 is out: the client's bytes it held are thrown away (they
// were sent before the handshake). Returns how many.
size_t GateDropHeld(Connection* c);

// After the handshake: the gate starts over.
void GateHandshakeDone(Connection* c);

// Bytes the gate holds for the plug-in: the client side is due once the
// plug-in has answered.
inline bool GateHolds(const Connection& c) { return !c.clientTls.startTls.held.empty(); }

#endif  // DIVIVEZ_HOST_PROXY_CLIENT_STARTTLS_H_
