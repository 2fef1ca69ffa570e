// libFuzzer target: the metrics server's request head
// (host/metrics/metrics_server.cpp), read as the server reads a connection:
// in pieces, at most kMaxRequest bytes, until the empty line.
//
// Input: a byte for the size of the pieces (1 to 2041 bytes, in steps of
// 8), a byte for the health check's answer, then the client's bytes. The
// response must be the same as when the bytes come in the server's own
// 2048-byte reads; there is one exactly when the head ended or reached the
// bound; it is one HTTP/1.1 status line with a known status, headers that
// end with an empty line, and a body of its Content-Length (none for HEAD).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "host/metrics/metrics.h"
#include "host/metrics/metrics_server.h"
#include "reader_fuzz.h"

namespace {

const MetricsRegistry& Registry() {
  static MetricsRegistry* registry = [] {
    auto* made = new MetricsRegistry();
    made->AddCounter("divivez_fuzz_total", "A counter, so that the page has a line.").Add(3);
    made->AddGauge("divivez_fuzz_open", "A gauge with a label.", {{"route", "a\"b"}}).Set(-1);
    return made;
  }();
  return *registry;
}

std::string Serve(const std::string& bytes, size_t piece, bool healthy, size_t* used) {
  const HealthCheck health = [healthy](std::string* detail) {
    *detail = healthy ? "ok" : "scanner down";
    return healthy;
  };
  std::string head, response;
  size_t at = 0;
  while (at < bytes.size() && response.empty()) {
    size_t n = bytes.size() - at;
    const size_t room = MetricsServer::kMaxRequest - head.size();
    if (n > piece) n = piece;
    if (n > room) n = room;
    FUZZ_CHECK(n > 0, "no room left while the head goes on");
    response = MetricsServer::TakeRequestBytes(&head, bytes.data() + at, n, Registry(), health);
    at += n;
  }
  FUZZ_CHECK(head.size() <= MetricsServer::kMaxRequest, "a head past the bound");
  *used = at;
  return response;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput input(data, size);
  const size_t piece = 1 + 8 * static_cast<size_t>(input.Byte());
  const bool healthy = (input.Byte() & 1) != 0;
  const std::string bytes = input.Rest();

  size_t used = 0, referenceUsed = 0;
  const std::string response = Serve(bytes, piece, healthy, &used);
  const std::string reference = Serve(bytes, 2048, healthy, &referenceUsed);
  FUZZ_CHECK(response == reference, "the response depends on how the head was read");

  const std::string seen = bytes.substr(0, MetricsServer::kMaxRequest);
  const bool ended =
      seen.find("\n\n") != std::string::npos || seen.find("\r\n\r\n") != std::string::npos;
  FUZZ_CHECK(response.empty() == (!ended && seen.size() < MetricsServer::kMaxRequest),
             "a response before the head's end, or none after it");
  if (response.empty()) return 0;

  FUZZ_CHECK(response.compare(0, 9, "HTTP/1.1 ") == 0, "no status line");
  const int status = std::atoi(response.substr(9, 3).c_str());
  FUZZ_CHECK(status == 200 || status == 400 || status == 404 || status == 405 || status == 431 ||
                 status == 503 || status == 505,
             "status " + std::to_string(status));
  const size_t headersEnd = response.find("\r\n\r\n");
  FUZZ_CHECK(headersEnd != std::string::npos, "headers without their end");
  const std::string headers = response.substr(0, headersEnd + 2);
  for (size_t i = 0; i < headers.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(headers[i]);
    FUZZ_CHECK((c >= 0x20 && c < 0x7F) || (c == '\r' && headers[i + 1] == '\n') ||
                   (c == '\n' && i > 0 && headers[i - 1] == '\r'),
               "a header byte out of place: " + FuzzShow(headers));
  }
  const size_t length = headers.find("\r\nContent-Length: ");
  FUZZ_CHECK(length != std::string::npos, "no Content-Length");
  const std::string body = response.substr(headersEnd + 4);
  const unsigned long declared = std::strtoul(headers.c_str() + length + 18, nullptr, 10);
  FUZZ_CHECK(body.size() == declared || body.empty(), "a body of " + std::to_string(body.size()) +
                                                          " bytes, " + std::to_string(declared) +
                                                          " declared");
  if (body.empty() && declared > 0) {
    FUZZ_CHECK(bytes.compare(0, 5, "HEAD ") == 0, "a body left out for a request that is no HEAD");
  }
  return 0;
}
