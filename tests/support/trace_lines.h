// Captures trace lines through the debug-output hook for one test's life:
// installs itself exclusively (the console stays quiet) and removes itself
// when destroyed. One at a time; the lines may come from any thread.
#ifndef DIVIVEZ_TESTS_SUPPORT_TRACE_LINES_H_
#define DIVIVEZ_TESTS_SUPPORT_TRACE_LINES_H_

#include <string>
#include <vector>

class CTraceLines {
 public:
  CTraceLines();
  ~CTraceLines();
  CTraceLines(const CTraceLines&) = delete;
  CTraceLines& operator=(const CTraceLines&) = delete;

  std::vector<std::string> Lines() const;
};

#endif  // DIVIVEZ_TESTS_SUPPORT_TRACE_LINES_H_
