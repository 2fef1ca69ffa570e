// Command-line parsing: defaults, every option's forms, and the one-line
// errors that make the proxy exit with status 2.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include <fstream>
#include <iterator>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "host/config_file.h"
#include "host/options.h"
#include "support/scratch_directory.h"

namespace {

bool Parse(const std::vector<std::string>& args, Options* options, std::string* error) {
  *options = Options();
  return ParseOptions(args, options, error);
}

TEST(OptionsTest, DefaultsWithoutArguments) {
  Options o;
  std::string error;
  ASSERT_TRUE(Parse({}, &o, &error)) << error;
  EXPECT_EQ(o.listen.host, "127.0.0.1");
  EXPECT_EQ(o.listen.port, 2525);
  EXPECT_FALSE(o.hasUpstream);
  EXPECT_EQ(o.socketService, SocketService::kHost);
  EXPECT_EQ(o.scanner, ScannerKind::kBuiltin);
  EXPECT_EQ(o.insertText, "X-Virus-Scanned: divivez-proxy\r\n");
  EXPECT_EQ(o.onScanError, ScanErrorPolicy::kTempfail);
  EXPECT_EQ(o.onInfected, InfectedPolicy::kDrop);
  EXPECT_EQ(o.keepaliveSeconds, 0);
  EXPECT_EQ(o.debugLevel, -1);
  EXPECT_EQ(o.outbox, "outbox");
  // RFC 5321 section 4.5.3.2 minimums, and the hostile-client limits.
  EXPECT_EQ(o.maxPerAddress, 50);
  EXPECT_EQ(o.commandTimeoutMs, 300000);
  EXPECT_EQ(o.dataTimeoutMs, 180000);
  EXPECT_EQ(o.sessionTimeoutMs, 3600000);
  EXPECT_EQ(o.maxMessageSize, 50u * 1024 * 1024);
  // One route, plain, to the capture server.
  ASSERT_EQ(o.routes.size(), 1u);
  EXPECT_EQ(o.routes[0].name, "");
  ASSERT_EQ(o.routes[0].listen.size(), 1u);
  EXPECT_EQ(EndpointText(o.routes[0].listen[0]), "127.0.0.1:2525");
  EXPECT_TRUE(o.routes[0].listenTls.empty());
  EXPECT_FALSE(o.routes[0].hasUpstream);
  EXPECT_EQ(o.routes[0].upstreamTls, UpstreamTls::kNone);
  EXPECT_EQ(o.tlsHandshakeTimeoutMs, 10000);
}

TEST(OptionsTest, TlsOnBothLegsAndSeveralListeners) {
  Options o;
  std::string error;
  ASSERT_TRUE(
      Parse({"--listen", "0.0.0.0:25", "--listen=[::]:25", "--listen-tls", "0.0.0.0:465",
             "--tls-cert", "/etc/c.pem", "--tls-key=/etc/k.pem", "--require-tls",
             "--allow-plaintext-auth", "--upstream", "mail.example.org:25", "--upstream-tls",
             "starttls", "--upstream-ca", "ca.pem", "--tls-handshake-timeout", "2.5"},
            &o, &error))
      << error;
  ASSERT_EQ(o.routes.size(), 1u);
  const RouteSettings& route = o.routes[0];
  ASSERT_EQ(route.listen.size(), 2u);
  EXPECT_EQ(EndpointText(route.listen[1]), "[::]:25");
  ASSERT_EQ(route.listenTls.size(), 1u);
  EXPECT_EQ(EndpointText(route.listenTls[0]), "0.0.0.0:465");
  EXPECT_EQ(route.tls.certFile, "/etc/c.pem");
  EXPECT_EQ(route.tls.keyFile, "/etc/k.pem");
  EXPECT_TRUE(route.tls.requireTls && route.tls.allowPlaintextAuth);
  EXPECT_EQ(route.upstreamTls, UpstreamTls::kStarttls);
  EXPECT_EQ(route.upstreamCa, "ca.pem");
  EXPECT_EQ(o.tlsHandshakeTimeoutMs, 2500);
  EXPECT_EQ(EndpointText(o.listen), "0.0.0.0:25");
  // An address is checked against a name given apart; may checks nothing.
  for (const char* mode : {"may", "starttls", "implicit"}) {
    ASSERT_TRUE(Parse({"--upstream", "192.0.2.1:465", "--upstream-tls-name", "mx.example.org",
                       "--upstream-tls", mode},
                      &o, &error))
        << error;
    EXPECT_STREQ(UpstreamTlsName(o.routes[0].upstreamTls), mode);
    EXPECT_EQ(o.routes[0].upstreamTlsName, "mx.example.org");
  }
  ASSERT_TRUE(Parse({"--upstream", "192.0.2.1:25", "--upstream-tls", "may"}, &o, &error)) << error;
  // A TLS listener alone: the default 127.0.0.1:2525 stays closed.
  ASSERT_TRUE(Parse({"--listen-tls", "127.0.0.1:0", "--tls-cert", "c.pem"}, &o, &error)) << error;
  EXPECT_TRUE(o.routes[0].listen.empty());
  EXPECT_EQ(EndpointText(o.listen), "127.0.0.1:0");
  // Port 0 twice is two free ports.
  ASSERT_TRUE(Parse({"--listen", "127.0.0.1:0", "--listen", "127.0.0.1:0"}, &o, &error)) << error;
}

TEST(OptionsTest, TlsMistakesAreNamed) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--listen-tls", "127.0.0.1:465"}, "--listen-tls needs a certificate: --tls-cert"},
      {{"--tls-key", "k.pem"}, "--tls-key needs --tls-cert"},
      {{"--require-tls"}, "--require-tls needs a certificate"},
      {{"--require-tls=yes", "--tls-cert", "c"}, "--require-tls takes no value on the command"},
      {{"--upstream-tls", "starttls"}, "the capture server speaks no TLS"},
      {{"--upstream", "192.0.2.1:465", "--upstream-tls", "implicit"},
       "--upstream 192.0.2.1:465 is an address: give --upstream-tls-name"},
      {{"--upstream", "[2001:db8::1]:25", "--upstream-tls", "starttls"}, "is an address"},
      {{"--upstream", "mail.example.org:25", "--upstream-tls-name", "mx"},
       "--upstream-tls-name needs --upstream-tls may, starttls or implicit"},
      {{"--upstream-tls", "sometimes"}, "expected none, may, starttls or implicit"},
      {{"--windows-service", "start"}, "expected install, uninstall, reload or run, got 'start'"},
      {{"--tls-cert", ""}, "--tls-cert needs a non-empty value"},
      {{"--tls-handshake-timeout", "0"}, "time-outs must be greater than 0"},
      {{"--listen", "127.0.0.1:25", "--listen", "127.0.0.1:25"},
       "--listen 127.0.0.1:25 and --listen 127.0.0.1:25: two listeners on one address and port"},
      {{"--listen", "LOCALHOST:25", "--listen-tls", "localhost:25", "--tls-cert", "c"},
       "two listeners"},
      {{"--socket-service", "plugin", "--tls-cert", "c.pem"},
       "--tls-cert cannot be used with --socket-service plugin"},
      {{"--upstream-tls", "none", "--socket-service", "plugin"}, "--upstream-tls cannot be used"},
  };
  for (const auto& c : cases) {
    Options o;
    std::string error;
    EXPECT_FALSE(Parse(c.first, &o, &error)) << c.second;
    EXPECT_NE(error.find(c.second), std::string::npos) << error;
  }
}

TEST(OptionsTest, ScanErrorPoliciesAndLimits) {
  Options o;
  std::string error;
  for (const char* name : {"tempfail", "pass", "drop"}) {
    ASSERT_TRUE(Parse({"--on-scan-error", name}, &o, &error)) << error;
    EXPECT_STREQ(ScanErrorPolicyName(o.onScanError), name);
  }
  ASSERT_TRUE(Parse({"--trust-forwarding", "127.0.0.1/32, ::1"}, &o, &error)) << error;
  EXPECT_TRUE(o.trustForwarding.Contains("127.0.0.1"));
  EXPECT_TRUE(o.trustForwarding.Contains("::1"));
  EXPECT_FALSE(o.trustForwarding.Contains("127.0.0.2"));
  for (const char* name : {"reject", "drop"}) {
    ASSERT_TRUE(Parse({"--on-infected", name}, &o, &error)) << error;
    EXPECT_STREQ(InfectedPolicyName(o.onInfected), name);
  }
  ASSERT_TRUE(Parse({"--max-per-address=7", "--command-timeout", "4.5", "--data-timeout=2",
                     "--session-timeout", "60", "--max-message-size", "1099511627776"},
                    &o, &error))
      << error;
  EXPECT_EQ(o.maxPerAddress, 7);
  EXPECT_EQ(o.commandTimeoutMs, 4500);
  EXPECT_EQ(o.dataTimeoutMs, 2000);
  EXPECT_EQ(o.sessionTimeoutMs, 60000);
  EXPECT_EQ(o.maxMessageSize, uint64_t{1} << 40);
  ASSERT_TRUE(Parse({"--max-message-size", "0"}, &o, &error)) << error;
  EXPECT_EQ(o.maxMessageSize, 0u);
}

TEST(OptionsTest, RunningBehindABalancer) {
  Options o;
  std::string error;
  ASSERT_TRUE(Parse({}, &o, &error)) << error;
  EXPECT_FALSE(o.proxyProtocol || o.upstreamXclient || o.hasMetrics);
  ASSERT_TRUE(Parse(
      {"--proxy-protocol", "--metrics", "[::1]:0", "--upstream-xclient", "--listen", "0.0.0.0:25"},
      &o, &error))
      << error;
  EXPECT_TRUE(o.proxyProtocol);
  EXPECT_TRUE(o.upstreamXclient);
  EXPECT_TRUE(o.hasMetrics);
  EXPECT_EQ(EndpointText(o.metrics), "[::1]:0");
  EXPECT_EQ(o.listen.port, 25);
  EXPECT_TRUE(o.proxyProtocolFrom.Empty());
  // The balancers, in one list or several.
  Options from;
  ASSERT_TRUE(Parse({"--proxy-protocol", "--proxy-protocol-from", "10.0.0.5,10.1.0.0/16",
                     "--proxy-protocol-from=2001:db8::/64"},
                    &from, &error))
      << error;
  EXPECT_TRUE(from.proxyProtocolFrom.Contains("10.1.2.3"));
  EXPECT_TRUE(from.proxyProtocolFrom.Contains("::ffff:10.0.0.5"));
  EXPECT_TRUE(from.proxyProtocolFrom.Contains("2001:db8::7"));
  EXPECT_FALSE(from.proxyProtocolFrom.Contains("10.0.0.6"));
  Options bad;
  EXPECT_FALSE(
      Parse({"--proxy-protocol", "--proxy-protocol-from", "10.0.0.0/8,10.0.0.1/8"}, &bad, &error));
  EXPECT_EQ(error, "--proxy-protocol-from: '10.0.0.1/8' has bits set past its prefix length");
  Options implied;
  ASSERT_TRUE(Parse({"--proxy-protocol-from", "10.0.0.5"}, &implied, &error)) << error;
  EXPECT_TRUE(implied.proxyProtocol);
}

TEST(OptionsTest, TransparentInterception) {
  Options o;
  std::string error;
  ASSERT_TRUE(
      Parse({"--upstream", "original-destination", "--max-per-destination", "2"}, &o, &error))
      << error;
  EXPECT_TRUE(o.originalDestination && o.hasUpstream);
  EXPECT_EQ(o.maxPerDestination, 2);
  // The last --upstream wins, as with every option.
  ASSERT_TRUE(Parse({"--upstream=original-destination", "--upstream", "192.0.2.25:25"}, &o, &error))
      << error;
  EXPECT_FALSE(o.originalDestination);
  EXPECT_EQ(o.upstream.port, 25);
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--max-per-destination", "2"},
           {"--upstream", "192.0.2.25:25", "--max-per-destination", "2"},
           {"--upstream", "original-destination", "--proxy-protocol"},
           {"--upstream", "original-destination", "--max-per-destination", "-1"}}) {
    EXPECT_FALSE(Parse(args, &o, &error)) << args.back();
    EXPECT_FALSE(error.empty());
  }
}

TEST(OptionsTest, EveryOptionInBothForms) {
  Options o;
  std::string error;
  ASSERT_TRUE(Parse({"--listen",
                     "0.0.0.0:0",
                     "--upstream=mail.example.org:587",
                     "--plugin",
                     "/opt/p.so",
                     "--socket-service=plugin",
                     "--scanner",
                     "clamd:tcp:127.0.0.1:3310",
                     "--on-scan-error",
                     "drop",
                     "--keepalive=30",
                     "--debug-level",
                     "3",
                     "--outbox",
                     "/tmp/o",
                     "--port-file",
                     "pf",
                     "--capture-port-file",
                     "cpf",
                     "--log-file",
                     "lf",
                     "--max-connections",
                     "1500",
                     "--idle-timeout",
                     "2.5",
                     "--connect-timeout",
                     "3",
                     "--close-grace=0.25",
                     "--scan-timeout",
                     "9",
                     "--shutdown-grace",
                     "1"},
                    &o, &error))
      << error;
  EXPECT_EQ(o.listen.host, "0.0.0.0");
  EXPECT_EQ(o.listen.port, 0);
  EXPECT_TRUE(o.hasUpstream);
  EXPECT_EQ(o.upstream.host, "mail.example.org");
  EXPECT_EQ(o.upstream.port, 587);
  EXPECT_EQ(o.pluginPath, "/opt/p.so");
  EXPECT_EQ(o.socketService, SocketService::kPlugin);
  EXPECT_EQ(o.scanner, ScannerKind::kClamd);
  ASSERT_EQ(o.clamd.size(), 1u);
  EXPECT_EQ(o.clamd[0].unixPath, "");
  EXPECT_EQ(o.clamd[0].tcp.host, "127.0.0.1");
  EXPECT_EQ(o.clamd[0].tcp.port, 3310);
  EXPECT_EQ(o.onScanError, ScanErrorPolicy::kDrop);
  EXPECT_EQ(o.keepaliveSeconds, 30);
  EXPECT_EQ(o.debugLevel, 3);
  EXPECT_EQ(o.outbox, "/tmp/o");
  EXPECT_EQ(o.portFile, "pf");
  EXPECT_EQ(o.capturePortFile, "cpf");
  EXPECT_EQ(o.logFile, "lf");
  EXPECT_EQ(o.maxConnections, 1500);
  EXPECT_EQ(o.idleTimeoutMs, 2500);
  EXPECT_EQ(o.connectTimeoutMs, 3000);
  EXPECT_EQ(o.closeGraceMs, 250);
  EXPECT_EQ(o.scanTimeoutMs, 9000);
  EXPECT_EQ(o.shutdownGraceMs, 1000);
}

TEST(OptionsTest, HelpAndVersionStopParsing) {
  Options o;
  std::string error;
  ASSERT_TRUE(Parse({"--help", "--no-such-option"}, &o, &error));
  EXPECT_TRUE(o.help);
  ASSERT_TRUE(Parse({"--version"}, &o, &error));
  EXPECT_TRUE(o.version);
  EXPECT_NE(UsageText().find("--socket-service"), std::string::npos);
}

TEST(OptionsTest, ScannerForms) {
  Options o;
  std::string error;
  ASSERT_TRUE(Parse({"--scanner", "clamd:unix:/run/clamav/clamd.ctl"}, &o, &error)) << error;
  EXPECT_EQ(o.scanner, ScannerKind::kClamd);
  ASSERT_EQ(o.clamd.size(), 1u);
  EXPECT_EQ(o.clamd[0].unixPath, "/run/clamav/clamd.ctl");

  // Several clamd endpoints form a pool, in the order given.
  ASSERT_TRUE(Parse({"--scanner", "clamd:tcp:10.0.0.1:3310", "--scanner", "clamd:unix:/s",
                     "--scanner", "clamd:tcp:10.0.0.2:3310"},
                    &o, &error))
      << error;
  ASSERT_EQ(o.clamd.size(), 3u);
  EXPECT_EQ(o.clamd[0].tcp.host, "10.0.0.1");
  EXPECT_EQ(o.clamd[1].unixPath, "/s");
  EXPECT_EQ(o.clamd[2].tcp.host, "10.0.0.2");
  // builtin stands alone, in either order; an endpoint named twice is a
  // mistake, not extra weight.
  const std::vector<std::vector<std::string>> mixed = {
      {"--scanner", "builtin", "--scanner", "clamd:unix:/s"},
      {"--scanner", "clamd:tcp:127.0.0.1:3310", "--scanner", "builtin"},
  };
  for (const auto& args : mixed) {
    EXPECT_FALSE(Parse(args, &o, &error)) << args[3];
    EXPECT_NE(error.find("builtin cannot be combined"), std::string::npos) << error;
  }
  EXPECT_FALSE(Parse({"--scanner", "clamd:unix:/s", "--scanner", "clamd:unix:/s"}, &o, &error));
  EXPECT_NE(error.find("given twice"), std::string::npos) << error;
  ASSERT_TRUE(Parse({"--scanner", "clamd:unix:/s", "--scanner", "clamd:unix:/t"}, &o, &error));
  ASSERT_TRUE(Parse({"--scanner", "builtin", "--signatures", "sigs.txt"}, &o, &error));
  EXPECT_EQ(o.signaturesFile, "sigs.txt");

  for (const char* bad : {"clamd", "clamd:unix:", "clamd:tcp:host", "clamd:tcp:h:0", "clam"}) {
    EXPECT_FALSE(Parse({"--scanner", bad}, &o, &error)) << bad;
    EXPECT_NE(error.find("--scanner"), std::string::npos) << error;
  }
  EXPECT_FALSE(Parse({"--scanner", "clamd:unix:/s", "--signatures", "f"}, &o, &error));
}

TEST(OptionsTest, InsertTextEscapesLineEndAndLimit) {
  Options o;
  std::string error;
  ASSERT_TRUE(Parse({"--insert-text", "X-A: 1\\r\\nX-B: 2"}, &o, &error)) << error;
  EXPECT_EQ(o.insertText, "X-A: 1\r\nX-B: 2\r\n");  // the final line end is added
  ASSERT_TRUE(Parse({"--insert-text", "X-A: back\\\\slash\\r\\n"}, &o, &error));
  EXPECT_EQ(o.insertText, "X-A: back\\slash\r\n");
  ASSERT_TRUE(Parse({"--insert-text", ""}, &o, &error));
  EXPECT_EQ(o.insertText, "");

  // 261 characters plus the added CR LF is the most the plug-in takes back.
  ASSERT_TRUE(Parse({"--insert-text", std::string(261, 'x')}, &o, &error)) << error;
  EXPECT_EQ(o.insertText.size(), 263u);
  EXPECT_FALSE(Parse({"--insert-text", std::string(262, 'x')}, &o, &error));
  EXPECT_FALSE(Parse({"--insert-text", "bad \\q escape"}, &o, &error));
  EXPECT_FALSE(Parse({"--insert-text", "trailing \\"}, &o, &error));
}

TEST(OptionsTest, BadArgumentsGiveOneLineErrors) {
  const std::vector<std::vector<std::string>> cases = {
      {"--frobnicate"},
      {"stray"},
      {"--listen"},
      {"--listen", "127.0.0.1"},
      {"--listen", ":25"},
      {"--listen", "127.0.0.1:65536"},
      {"--listen", "127.0.0.1:x"},
      {"--listen", "::1:25"},
      {"--listen", "[::1]25"},
      {"--upstream", "mail:0"},
      {"--socket-service", "both"},
      {"--on-scan-error", "ignore"},
      {"--on-infected", "bounce"},
      {"--trust-forwarding", "127.0.0.1/8"},
      {"--max-per-address", "0"},
      {"--command-timeout", "0"},
      {"--data-timeout", "0"},
      {"--session-timeout", "0"},
      {"--max-message-size", "-1"},
      {"--max-message-size", "1099511627777"},
      {"--max-message-size", "50M"},
      {"--keepalive", "-1"},
      {"--keepalive", "ten"},
      {"--debug-level", "10"},
      {"--debug-level", "4"},
      {"--max-connections", "0"},
      {"--idle-timeout", "0"},
      {"--close-grace", "1.2345"},
      {"--plugin", ""},
      {"--metrics", "127.0.0.1"},
      {"--metrics"},
      {"--proxy-protocol=yes"},
      {"--proxy-protocol", "--proxy-protocol-from"},
      {"--proxy-protocol", "--proxy-protocol-from", "mx.example.org"},
      {"--quarantine", ""},
  };
  for (const auto& args : cases) {
    Options o;
    std::string error;
    EXPECT_FALSE(Parse(args, &o, &error)) << args[0];
    EXPECT_FALSE(error.empty()) << args[0];
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
}

TEST(OptionsTest, EndpointsIncludingIpv6) {
  Endpoint e;
  std::string error;
  ASSERT_TRUE(ParseEndpoint("[::1]:2525", false, &e, &error)) << error;
  EXPECT_EQ(e.host, "::1");
  EXPECT_EQ(e.port, 2525);
  EXPECT_EQ(EndpointText(e), "[::1]:2525");
  ASSERT_TRUE(ParseEndpoint("localhost:1", false, &e, &error));
  EXPECT_EQ(EndpointText(e), "localhost:1");
  EXPECT_TRUE(ParseEndpoint("127.0.0.1:0", true, &e, &error));
  EXPECT_FALSE(ParseEndpoint("127.0.0.1:0", false, &e, &error));
}

TEST(OptionsTest, SecondsWithFractions) {
  int ms = 0;
  std::string error;
  ASSERT_TRUE(ParseSeconds("2", &ms, &error));
  EXPECT_EQ(ms, 2000);
  ASSERT_TRUE(ParseSeconds("0.5", &ms, &error));
  EXPECT_EQ(ms, 500);
  ASSERT_TRUE(ParseSeconds(".05", &ms, &error));
  EXPECT_EQ(ms, 50);
  ASSERT_TRUE(ParseSeconds("1.125", &ms, &error));
  EXPECT_EQ(ms, 1125);
  EXPECT_FALSE(ParseSeconds("", &ms, &error));
  EXPECT_FALSE(ParseSeconds("1.", &ms, &error));
  EXPECT_FALSE(ParseSeconds("-1", &ms, &error));
  EXPECT_FALSE(ParseSeconds("1e3", &ms, &error));
}

// A configuration file is the command line's options, one a line.
TEST(ConfigFileTest, LineFormsBecomeArguments) {
  const std::string text =
      "\xEF\xBB\xBF# divivez-proxy\r\n"
      "listen = 0.0.0.0:2525\r\n"
      "  \t# indented comment\n"
      "\n"
      "upstream\t192.0.2.25:25\n"
      "--keepalive=30\n"
      "insert-text = \"X-Scanned: #1 \\r\\n\"  \n"
      "signatures = /etc/x y.txt\n"
      "scanner = clamd:unix:/run/a\n"
      "scanner = clamd:unix:/run/b\n"
      "outbox = \"/var/box \"";
  std::vector<std::vector<std::string>> lines;
  std::vector<RouteSection> routes;
  std::string error;
  ASSERT_TRUE(ConfigFileArguments(text, "f.conf", &lines, &routes, &error)) << error;
  const std::vector<std::vector<std::string>> expected = {
      {"--listen", "0.0.0.0:2525"},
      {"--upstream", "192.0.2.25:25"},
      {"--keepalive", "30"},
      {"--insert-text", "X-Scanned: #1 \\r\\n"},
      {"--signatures", "/etc/x y.txt"},
      {"--scanner", "clamd:unix:/run/a"},
      {"--scanner", "clamd:unix:/run/b"},
      {"--outbox", "/var/box "},
  };
  EXPECT_EQ(lines, expected);
  EXPECT_TRUE(routes.empty());
  lines.clear();
  ASSERT_TRUE(ConfigFileArguments("insert-text = \"\"\n", "f.conf", &lines, &routes, &error))
      << error;
  EXPECT_EQ(lines, (std::vector<std::vector<std::string>>{{"--insert-text", ""}}));

  // Flags with yes or no; route sections up to the next one.
  lines.clear();
  const std::string sections =
      "proxy-protocol = no\n"
      "upstream-xclient\n"
      "[route mx]\n"
      "listen = 127.0.0.1:2600\n"
      "listen = 127.0.0.1:2601\n"
      "upstream = mx.example.org:25\n"
      "require-tls = no\n"
      " [ route  b_2 ] \r\n"
      "listen-tls 127.0.0.1:4650\r\n";
  ASSERT_TRUE(ConfigFileArguments(sections, "f.conf", &lines, &routes, &error)) << error;
  EXPECT_EQ(lines, (std::vector<std::vector<std::string>>{{"--proxy-protocol", "no"},
                                                          {"--upstream-xclient"}}));
  ASSERT_EQ(routes.size(), 2u);
  EXPECT_EQ(routes[0].route.name, "mx");
  EXPECT_EQ(routes[0].where, "f.conf:3");
  EXPECT_EQ(routes[0].route.listen.size(), 2u);
  EXPECT_EQ(EndpointText(routes[0].route.upstream), "mx.example.org:25");
  EXPECT_EQ(routes[0].named.back(), "--require-tls");
  EXPECT_EQ(routes[1].route.name, "b_2");
  EXPECT_EQ(routes[1].route.listenTls.size(), 1u);
}

TEST(ConfigFileTest, ErrorsNameTheFileAndLine) {
  using namespace std::string_literals;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"listen = 127.0.0.1:25\nfrobnicate = 1\n", "f.conf:2: unknown option '--frobnicate'"},
      {"\n\nkeepalive = ten\n", "f.conf:3: --keepalive: expected a whole number"},
      {"listen\n", "f.conf:1: --listen needs a value"},
      {"help\n", "f.conf:1: help cannot be given"},
      {"config = other.conf\n", "f.conf:1: config cannot be given"},
      {"listen: 127.0.0.1:25\n", "f.conf:1: expected NAME = VALUE"},
      {"= 1\n", "f.conf:1: expected NAME = VALUE"},
      {"command-timeout = 0\n", "f.conf:1: time-outs must be greater than 0"},
      // A second line would silently win; the same value twice is refused too.
      {"on-scan-error = tempfail\n# later\non-scan-error = pass\n",
       "f.conf:3: --on-scan-error given again (first on line 1)"},
      {"keepalive = 30\n--keepalive=30\n", "f.conf:2: --keepalive given again (first on line 1)"},
      {"proxy-protocol\nproxy-protocol\n", "f.conf:2: --proxy-protocol given again"},
      {"outbox = /var/box\0/etc\n"s, "f.conf:1: the value contains a NUL byte"},
      {"insert-text = \"a\0b\"\n"s, "f.conf:1: the value contains a NUL byte"},
      {"outbox = \"/var/box\n", "f.conf:1: unterminated quote"},
      {"outbox = \"\n", "f.conf:1: unterminated quote"},
      {"insert-text = \"X-A: 1\" # note\n", "f.conf:1: unterminated quote"},
      {"proxy-protocol = maybe\n", "f.conf:1: --proxy-protocol: expected yes or no, got 'maybe'"},
      {"upstream-xclient =\n", "f.conf:1: --upstream-xclient: expected yes or no, got ''"},
      // Route sections: the header, the name, and what a route may hold.
      {"[route]\n", "f.conf:1: expected [route NAME]"},
      {"[server mx]\n", "f.conf:1: expected [route NAME]"},
      {"[route m x]\n", "f.conf:1: expected [route NAME], NAME of letters"},
      {"[route mx.1]\n", "f.conf:1: expected [route NAME], NAME of letters"},
      {"[route mx] # note\n", "f.conf:1: expected [route NAME], NAME of letters"},
      {"[route a]\nlisten = 127.0.0.1:25\n[route a]\n",
       "f.conf:3: route 'a' given again (first on line 1)"},
      {"[route a]\nscanner = builtin\n", "f.conf:2: route 'a': --scanner is a top-level setting"},
      {"[route a]\nproxy-protocol\n", "f.conf:2: route 'a': --proxy-protocol is a top-level"},
      {"[route a]\nlisten-port = 25\n", "f.conf:2: route 'a': unknown option '--listen-port'"},
      {"upstream = a:25\n[route a]\nupstream = b:25\nupstream = c:25\n",
       "f.conf:4: --upstream given again (first on line 3)"},
      {"[route a]\nrequire-tls = sometimes\n", "f.conf:2: route 'a': --require-tls: expected yes"},
      {"[route a]\nlisten\n", "f.conf:2: route 'a': --listen needs a value"},
      {"[route a]\nlisten = 127.0.0.1\n", "f.conf:2: route 'a': --listen: bad address"},
  };
  for (const auto& c : cases) {
    std::vector<std::vector<std::string>> lines;
    std::vector<RouteSection> routes;
    std::string error;
    EXPECT_FALSE(ConfigFileArguments(c.first, "f.conf", &lines, &routes, &error)) << c.first;
    EXPECT_EQ(error.compare(0, c.second.size(), c.second), 0) << error;
  }
}

class CommandLineTest : public ::testing::Test {
 protected:
  bool Run(const std::string& file, std::vector<std::string> args) {
    std::ofstream(m_file, std::ios::binary) << file;
    o = Options();
    error.clear();
    return ParseCommandLine(args, &o, &error);
  }
  CScratchDirectory m_scratch{"divivez-host-config-"};
  const std::string m_file = m_scratch.File("proxy.conf");
  Options o;
  std::string error;
};

TEST_F(CommandLineTest, CommandLineWinsOverTheFile) {
  const std::string file =
      "listen = 127.0.0.1:2600\nkeepalive = 30\nupstream = 192.0.2.1:25\n"
      "quarantine = /var/q\n";
  ASSERT_TRUE(Run(file, {"--keepalive", "45", "--config", m_file, "--listen=127.0.0.1:0"}))
      << error;
  EXPECT_EQ(o.keepaliveSeconds, 45);
  EXPECT_EQ(o.listen.port, 0);
  EXPECT_TRUE(o.hasUpstream);
  EXPECT_EQ(o.upstream.host, "192.0.2.1");
  EXPECT_EQ(o.quarantineDir, "/var/q");
  // A check across options sees what the file adds: the file's clamd
  // scanner with signatures on the command line is refused.
  EXPECT_FALSE(
      Run("scanner = clamd:tcp:127.0.0.1:3310\n", {"--config=" + m_file, "--signatures", "s.txt"}));
  EXPECT_NE(error.find("builtin scanner only"), std::string::npos) << error;
  // ... and the command line's scanner replaces the file's.
  ASSERT_TRUE(Run("scanner = clamd:tcp:127.0.0.1:3310\n",
                  {"--config", m_file, "--scanner", "builtin", "--signatures", "s.txt"}))
      << error;
  EXPECT_EQ(o.scanner, ScannerKind::kBuiltin);
  // Balancers named in the file; a bad one names the file's line.
  ASSERT_TRUE(Run("proxy-protocol-from = 192.0.2.0/24, ::1\n", {"--config", m_file})) << error;
  EXPECT_TRUE(o.proxyProtocolFrom.Contains("192.0.2.9"));
  EXPECT_TRUE(o.proxyProtocolFrom.Contains("::1"));
  EXPECT_TRUE(o.proxyProtocol);
  EXPECT_FALSE(Run("keepalive = 30\nproxy-protocol-from = 192.0.2.0/33\n", {"--config", m_file}));
  EXPECT_EQ(error.compare(0, m_file.size() + 3, m_file + ":2:"), 0) << error;
}

TEST_F(CommandLineTest, RoutesTakeTheTopLevelsTls) {
  const std::string file =
      "tls-cert = /etc/top.pem\n"
      "tls-key = /etc/top.key\n"
      "require-tls\n"
      "allow-plaintext-auth = yes\n"
      "upstream-tls = starttls\n"
      "upstream-ca = /etc/ca.pem\n"
      "upstream-tls-name = mx.example.org\n"
      "upstream-xclient = no\n"
      "listen = 127.0.0.1:2525\n"
      "upstream = mail.example.org:25\n"
      "[route desk]\n"
      "listen = 127.0.0.1:2600\n"
      "upstream = smtp.one.example:465\n"
      "upstream-tls = implicit\n"
      "require-tls = no\n"
      "[route gw]\n"
      "listen-tls = 127.0.0.1:4650\n"
      "upstream = 192.0.2.9:25\n"
      "upstream-tls = may\n"
      "tls-cert = /etc/gw.pem\n";
  ASSERT_TRUE(Run(file, {"--config", m_file})) << error;
  EXPECT_FALSE(o.upstreamXclient);
  ASSERT_EQ(o.routes.size(), 3u);
  const RouteSettings& top = o.routes[0];
  EXPECT_EQ(top.name, "");
  EXPECT_EQ(EndpointText(top.upstream), "mail.example.org:25");
  EXPECT_TRUE(top.tls.requireTls);
  const RouteSettings& desk = o.routes[1];
  EXPECT_EQ(desk.name, "desk");
  EXPECT_EQ(desk.tls.certFile, "/etc/top.pem");
  EXPECT_EQ(desk.tls.keyFile, "/etc/top.key");
  EXPECT_FALSE(desk.tls.requireTls);
  EXPECT_TRUE(desk.tls.allowPlaintextAuth);
  EXPECT_EQ(desk.upstreamTls, UpstreamTls::kImplicit);
  EXPECT_EQ(desk.upstreamCa, "/etc/ca.pem");
  // The top level's name is its own upstream's, not the route's.
  EXPECT_EQ(top.upstreamTlsName, "mx.example.org");
  EXPECT_EQ(desk.upstreamTlsName, "");
  const RouteSettings& gw = o.routes[2];
  // Its own certificate never takes the top level's key.
  EXPECT_EQ(gw.tls.certFile, "/etc/gw.pem");
  EXPECT_EQ(gw.tls.keyFile, "");
  EXPECT_TRUE(gw.tls.requireTls);
  EXPECT_EQ(gw.upstreamTls, UpstreamTls::kMay);

  // The command line's certificate and flags win over the file's top level,
  // and reach the routes that inherit; the file's key goes with its cert.
  ASSERT_TRUE(Run(file, {"--config", m_file, "--tls-cert", "/run/new.pem", "--upstream-xclient"}))
      << error;
  EXPECT_TRUE(o.upstreamXclient);
  EXPECT_EQ(o.routes[1].tls.certFile, "/run/new.pem");
  EXPECT_EQ(o.routes[1].tls.keyFile, "");
  EXPECT_EQ(o.routes[2].tls.certFile, "/etc/gw.pem");
}

TEST_F(CommandLineTest, TheDefaultRouteAndItsListener) {
  const std::string route = "[route a]\nlisten = 127.0.0.1:2600\nupstream = mx.example.org:25\n";
  // Named routes alone: no default route, nothing on 2525.
  ASSERT_TRUE(Run(route, {"--config", m_file})) << error;
  ASSERT_EQ(o.routes.size(), 1u);
  EXPECT_EQ(o.routes[0].name, "a");
  EXPECT_EQ(EndpointText(o.listen), "127.0.0.1:2600");
  EXPECT_TRUE(o.hasUpstream);
  // A top-level listener of either kind makes the default route, first.
  ASSERT_TRUE(Run(route, {"--config", m_file, "--listen-tls", "127.0.0.1:4650", "--tls-cert", "c"}))
      << error;
  ASSERT_EQ(o.routes.size(), 2u);
  EXPECT_EQ(o.routes[0].name, "");
  EXPECT_TRUE(o.routes[0].listen.empty());
  EXPECT_FALSE(o.routes[0].hasUpstream);
  // A route may relay to the original destination; max-per-destination,
  // read alone from its line, is checked against every route's upstream.
  ASSERT_TRUE(
      Run("max-per-destination = 2\n[route lan]\nlisten = 127.0.0.1:2600\n"
          "upstream = original-destination\n",
          {"--config", m_file}))
      << error;
  EXPECT_TRUE(o.routes[0].originalDestination && o.originalDestination);
  EXPECT_EQ(o.maxPerDestination, 2);
}

TEST_F(CommandLineTest, RouteMistakesAreNamed) {
  const std::string a = "[route a]\nlisten = 127.0.0.1:2601\nupstream = mx.example.org:25\n";
  const std::vector<std::tuple<std::string, std::vector<std::string>, std::string>> cases = {
      {"[route a]\nlisten = 127.0.0.1:2600\n", {}, ":1: route 'a': no upstream"},
      {"[route a]\nupstream = mx.example.org:25\n", {}, ":1: route 'a': no listen or listen-tls"},
      {a + "[route b]\nlisten-tls = 127.0.0.1:2601\nupstream = m:25\ntls-cert = c\n",
       {},
       "listen 127.0.0.1:2601 of route 'a' (" + m_file +
           ":1) and listen-tls 127.0.0.1:2601 of "
           "route 'b' (" +
           m_file + ":4): two listeners on one address and port"},
      {a, {"--listen", "127.0.0.1:2601"}, "--listen 127.0.0.1:2601 and listen 127.0.0.1:2601 of"},
      {"[route a]\nlisten-tls = 127.0.0.1:2601\nupstream = m:25\n",
       {},
       ":1: route 'a': listen-tls needs a certificate: tls-cert (in the route or at the top"},
      {"tls-cert = c\n" + a + "tls-key = k\n",
       {},
       "route 'a': tls-key needs tls-cert in the route"},
      {"upstream-tls = starttls\n[route a]\nlisten = 127.0.0.1:2601\nupstream = 192.0.2.1:25\n",
       {},
       "route 'a': upstream-tls starttls checks the server's certificate against a name, and "
       "upstream 192.0.2.1:25 is an address: give upstream-tls-name"},
      // Every route names its upstream: the top level's would serve nothing.
      {"upstream-tls-name = mx\n" + a, {}, "--upstream-tls-name is the default route's"},
      {a, {"--upstream", "m:25"}, "--upstream is the default route's, which has no --listen"},
      {"upstream-tls = implicit\n[route lan]\nlisten = 127.0.0.1:2600\n"
       "upstream = original-destination\n",
       {},
       "route 'lan': upstream-tls implicit checks the server's certificate against a name, and "
       "upstream original-destination names no host"},
      {"[route lan]\nlisten = 127.0.0.1:2600\nupstream = original-destination\n",
       {"--proxy-protocol"},
       "route 'lan': upstream original-destination cannot be combined with --proxy-protocol"},
      {a + "require-tls\n",
       {"--socket-service", "plugin"},
       ":1: route 'a': require-tls cannot be used with --socket-service plugin"},
      {"tls-cert = c\n", {"--socket-service=plugin"}, "--tls-cert cannot be used with"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"--config", m_file};
    args.insert(args.end(), std::get<1>(c).begin(), std::get<1>(c).end());
    EXPECT_FALSE(Run(std::get<0>(c), args)) << std::get<0>(c);
    EXPECT_NE(error.find(std::get<2>(c)), std::string::npos) << error;
  }
}

TEST_F(CommandLineTest, ErrorsAroundTheFile) {
  // The command line's own error, before or after --config.
  EXPECT_FALSE(Run("keepalive = 30\n", {"--frobnicate", "--config", m_file}));
  EXPECT_EQ(error, "unknown option '--frobnicate' (see --help)");
  EXPECT_FALSE(Run("keepalive = 30\n", {"--config", m_file, "--keepalive", "x"}));
  EXPECT_EQ(error.compare(0, 12, "--keepalive:"), 0) << error;
  EXPECT_FALSE(Run("keepalive = x\n", {"--config", m_file}));
  EXPECT_EQ(error.compare(0, m_file.size() + 3, m_file + ":1:"), 0) << error;
  EXPECT_FALSE(Run("", {"--config", m_scratch.File("missing.conf")}));
  EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
  EXPECT_FALSE(Run("", {"--config"}));
  EXPECT_EQ(error, "--config needs a value");
  // Not a regular file: refused at once, not read (a FIFO with no writer
  // would hold up the start for good).
  EXPECT_FALSE(Run("", {"--config", m_scratch.Path()}));
  EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
#ifndef _WIN32
  const std::string fifo = m_scratch.File("fifo.conf");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(Run("", {"--config", fifo}));
  EXPECT_EQ(error, "--config: " + fifo + " is not a regular file");
#endif
  // --help needs no readable file.
  ASSERT_TRUE(Run("", {"--config", m_scratch.File("missing.conf"), "--help"})) << error;
  EXPECT_TRUE(o.help);
}

// The man page and the README against the option table. The man page's
// OPTIONS section is made from the table (ManPageOptions): a change of the
// table writes the page as it should be beside the test for copying.
std::string SourceFile(const std::string& name) {
  std::ifstream in(std::string(DIVIVEZ_SOURCE_DIR) + "/" + name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(OptionDocumentationTest, TheManPagesOptionsAreTheTables) {
  const std::string page = SourceFile("packaging/divivez-proxy.8");
  const size_t start = page.find(".SH OPTIONS\n");
  ASSERT_NE(start, std::string::npos) << "the man page has no OPTIONS section";
  size_t end = page.find("\n.SH ", start);
  end = end == std::string::npos ? page.size() : end + 1;
  const std::string wanted = ManPageOptions();
  if (page.compare(start, end - start, wanted) != 0) {
    const std::string fixed = page.substr(0, start) + wanted + page.substr(end);
    std::ofstream("divivez-proxy.8.expected", std::ios::binary) << fixed;
    ADD_FAILURE() << "packaging/divivez-proxy.8's OPTIONS section differs from the option "
                     "table; the page as it should be is divivez-proxy.8.expected in the "
                     "test's working directory";
  }
  // Every option is shown by --help and by the man page.
  const std::string usage = UsageText();
  for (const OptionRow& row : OptionTable()) {
    if (row.name == nullptr) continue;
    const std::string name = row.name;
    EXPECT_NE(usage.find("\n  " + name + " "), std::string::npos) << name << " is not in --help";
    std::string roff = name;  // the dashes that open it escaped
    for (size_t at = 0; at < roff.size() && roff[at] == '-'; at += 2) roff.insert(at, "\\");
    EXPECT_NE(page.find(std::string(row.value ? ".BI " : ".B ") + roff), std::string::npos)
        << name << " is not in the man page";
  }
}

TEST(OptionDocumentationTest, EveryOptionTheReadmeNamesExists) {
  const std::string readme = SourceFile("README.md");
  ASSERT_FALSE(readme.empty());
  // `--word ...`: a code span that starts with an option's name.
  int named = 0;
  for (size_t open = readme.find("`--"); open != std::string::npos;
       open = readme.find("`--", open + 1)) {
    const size_t end = readme.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-", open + 3);
    const std::string name = readme.substr(open + 1, end - open - 1);
    if (name == "--") continue;  // `--` itself
    ++named;
    EXPECT_NE(FindOption(name), nullptr) << "the README names " << name;
  }
  EXPECT_GT(named, 30);
}

}  // namespace
