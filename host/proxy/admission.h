// Admission: who is served and who is turned away with a 421. The limits on
// open connections (--max-connections) and on connections from one address
// (--max-per-address); behind a balancer (--proxy-protocol) the PROXY header
// that names the real client; under transparent interception (--upstream
// original-destination, transparent.cpp) the destination, the loop guard and
// --max-per-destination. Any thread.
//
// Connections that have not shown who they are yet, waiting for their PROXY
// header or in the TLS handshake of an implicit-TLS listener, count toward
// budgets of their own rather than --max-connections, so that stalled ones
// hold up no client that gets that far: an implicit-TLS connection takes its
// slot when its handshake is done (HandshakeDone). On an implicit-TLS
// listener nothing is ever sent in plain text: a refusal before the
// handshake is the close alone, one after it a 421 inside TLS.
#ifndef DIVIVEZ_HOST_PROXY_ADMISSION_H_
#define DIVIVEZ_HOST_PROXY_ADMISSION_H_

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host/base/net.h"
#include "host/proxy/connection.h"
#include "host/proxy/context.h"

class Admission {
 public:
  explicit Admission(ProxyContext* context) : m_context(context) {}

  // Who a connection just accepted is: the address it is counted under (""
  // behind a balancer, until its header names the client) and the client's
  // address without brackets.
  struct Client {
    std::string address;
    std::string ip;
    bool awaitingHeader = false;  // --proxy-protocol: due by headerDue
    std::chrono::steady_clock::time_point headerDue;
    bool awaitingHandshake = false;  // implicit TLS: in the handshakes' budget
  };
  // Takes a slot for a connection just accepted from rawPeer on a listener
  // of route (implicitTls: one that speaks TLS from the first byte); false
  // when it was turned away (logged, answered or closed).
  bool Admit(NetSocket socket, const std::string& rawPeer, const Route* route, bool implicitTls,
             Client* client);
  // An implicit-TLS connection whose handshake is done leaves the
  // handshakes' budget for its slot under --max-connections: false when
  // none is free (answered 421 inside TLS and closed). True at once for a
  // connection that was never in that budget.
  bool HandshakeDone(Connection* connection);
  // --proxy-protocol. AwaitHeader reads the header on the connection's own
  // thread, HeaderRound on an event loop as far as it has arrived; either
  // then admits the connection (AdmitFromBalancer): its slot under
  // --max-connections and the real client's under --max-per-address. False
  // / kEnded when the connection was turned away (and its socket closed).
  enum class HeaderStep { kMore, kAdmitted, kEnded };
  bool AwaitHeader(Connection* connection);
  HeaderStep HeaderRound(Connection* connection);
  // --upstream original-destination: sets the connection's upstream to
  // where the client was going; turns it away (false, socket closed) when
  // that is the proxy itself or over --max-per-destination.
  bool AdmitRedirected(Connection* connection);
  // A connection admitted under address has ended (still waiting for its
  // header, or still in its handshake's budget).
  void Release(const std::string& address, bool awaitingHeader, bool awaitingHandshake);
  // The connection's end, for its destination's count.
  void DestinationEnded(Connection* connection);
  // The connections open now by destination ("192.0.2.25:25").
  std::vector<std::pair<std::string, int>> OpenByDestination() const;
  // A port the proxy listens on (the loop guard's); before Run.
  void AddListenPort(uint16_t port) { m_listenPorts.push_back(port); }
  // Waits until no connection is open, the deadline passes or stop() holds;
  // the connections still open.
  int WaitForNone(std::chrono::steady_clock::time_point deadline,
                  const std::function<bool()>& stop);
  int Open();

  // Sends a reply to a client that is being turned away, then closes; on an
  // implicit-TLS listener (before any handshake) only closes.
  static void TurnAway(NetSocket socket, const char* reply, bool implicitTls);

 private:
  bool AdmitFromBalancer(Connection* connection, const ProxyHeader& header);
  void RefuseHeader(Connection* connection, const std::string& why);
  int HeaderBudget() const;     // connections that may wait for their header
  int HandshakeBudget() const;  // connections that may be in a TLS handshake

  ProxyContext* const m_context;
  std::mutex m_mutex;
  std::condition_variable m_ended;
  int m_active = 0;  // m_mutex
  // Of them, those still waiting for their PROXY header: counted toward a
  // budget of their own, not --max-connections; m_mutex.
  int m_awaitingHeader = 0;
  // Of them, implicit-TLS connections in their handshake: likewise; m_mutex.
  int m_awaitingHandshake = 0;
  std::map<std::string, int> m_perAddress;  // open connections by client address; m_mutex
  std::vector<uint16_t> m_listenPorts;
  mutable std::mutex m_destinationMutex;
  std::map<std::string, int> m_perDestination;  // open connections by destination
};

#endif  // DIVIVEZ_HOST_PROXY_ADMISSION_H_
