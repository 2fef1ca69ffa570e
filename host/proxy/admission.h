// Admission: who is served and who is turned away with a 421. The limits on
// open connections (--max-connections) and on connections from one address
// (--max-per-address); behind a balancer (--proxy-protocol) the PROXY header
// that names the real client; under transparent interception (--upstream
// original-destination, transparent.cpp) the destination, the loop guard and
// --max-per-destination. Any thread.
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
  };
  // Takes a slot for a connection just accepted from rawPeer on a listener
  // of route; false when it was turned away (logged, answered and closed).
  bool Admit(NetSocket socket, const std::string& rawPeer, const Route* route, Client* client);
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
  // A connection admitted under address has ended.
  void Release(const std::string& address, bool awaitingHeader);
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

  // Sends a reply to a client that is being turned away, then closes.
  static void TurnAway(NetSocket socket, const char* reply);

 private:
  bool AdmitFromBalancer(Connection* connection, const ProxyHeader& header);
  void RefuseHeader(Connection* connection, const std::string& why);
  int HeaderBudget() const;  // connections that may wait for their header

  ProxyContext* const m_context;
  std::mutex m_mutex;
  std::condition_variable m_ended;
  int m_active = 0;  // m_mutex
  // Of them, those still waiting for their PROXY header: counted toward a
  // budget of their own, not --max-connections; m_mutex.
  int m_awaitingHeader = 0;
  std::map<std::string, int> m_perAddress;  // open connections by client address; m_mutex
  std::vector<uint16_t> m_listenPorts;
  mutable std::mutex m_destinationMutex;
  std::map<std::string, int> m_perDestination;  // open connections by destination
};

#endif  // DIVIVEZ_HOST_PROXY_ADMISSION_H_
