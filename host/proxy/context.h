// What the parts of the proxy share: its settings, the plug-in's functions,
// the scanner, the log, the counters and the shutdown's abort flag. The
// proxy owns it; the parts hold a pointer to it.
#ifndef DIVIVEZ_HOST_PROXY_CONTEXT_H_
#define DIVIVEZ_HOST_PROXY_CONTEXT_H_

#include <atomic>
#include <chrono>
#include <cstddef>

#include "host/base/log.h"
#include "host/proxy/counters.h"
#include "host/proxy/plugin_loader.h"
#include "host/proxy/settings.h"
#include "host/scan/scanner.h"

struct ProxyContext {
  ProxyContext(const ProxySettings& proxySettings, const PluginApi& pluginApi,
               IScanner* proxyScanner, Logger* logger)
      : settings(proxySettings), plugin(pluginApi), scanner(proxyScanner), log(logger) {}

  const ProxySettings settings;
  const PluginApi plugin;
  IScanner* const scanner;
  Logger* const log;
  ProxyCounters counters;
  // Set when the shutdown cuts the connections still open.
  std::atomic<bool> abort{false};
};

// Stacks of the threads that run the plug-in's calls (a connection's own,
// or an event loop's): the plug-in's frames hold 8 KiB buffers and the
// scanners keep their blocks on the heap, so a small stack suffices and a
// thousand connections stay cheap. Sanitizers enlarge frames.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kConnectionStack = 1024 * 1024;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr size_t kConnectionStack = 1024 * 1024;
#else
constexpr size_t kConnectionStack = 256 * 1024;
#endif
#else
constexpr size_t kConnectionStack = 256 * 1024;
#endif

// The longest poll: shutdown and time-outs are checked at least this often.
constexpr auto kPollSlice = std::chrono::milliseconds(250);
// How long a closing client socket is drained so that it sees our last reply.
constexpr int kLingerMs = 1000;
constexpr char kOversizeReply[] = "552 5.3.4 Message size exceeds fixed maximum message size\r\n";
// What a client hears when the host ends its connection while it is owed a
// reply, or before it was told of the end (221, 421): never silence.
constexpr char kServerClosedReply[] =
    "421 4.4.2 Mail server closed the connection; try again later\r\n";
constexpr char kShutdownReply[] = "421 4.3.2 Service shutting down, try again later\r\n";

#endif  // DIVIVEZ_HOST_PROXY_CONTEXT_H_
