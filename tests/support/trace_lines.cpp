#include "support/trace_lines.h"

#include <mutex>

#include "platform/debug_output.h"

namespace {

std::mutex s_lock;  // guards s_lines
std::vector<std::string> s_lines;

void Capture(const char* line) {
  std::lock_guard<std::mutex> guard(s_lock);
  s_lines.emplace_back(line);
}

}  // namespace

CTraceLines::CTraceLines() {
  {
    std::lock_guard<std::mutex> guard(s_lock);
    s_lines.clear();
  }
  SetDebugOutputHook(&Capture);
  SetDebugOutputHookExclusive(true);
}

CTraceLines::~CTraceLines() {
  SetDebugOutputHook(nullptr);
  SetDebugOutputHookExclusive(false);
}

std::vector<std::string> CTraceLines::Lines() const {
  std::lock_guard<std::mutex> guard(s_lock);
  return s_lines;
}
