#include "support/send_faults.h"

#include <deque>
#include <mutex>

namespace {

std::mutex s_lock;  // guards everything below
bool s_bArmed = false;
SOCKET s_hArmed = INVALID_SOCKET;
std::deque<CSendStep> s_steps;
std::vector<CSendCall> s_calls;

}  // namespace

void ArmSendScript(SOCKET socket, const std::vector<CSendStep>& steps) {
  std::lock_guard<std::mutex> guard(s_lock);
  s_bArmed = true;
  s_hArmed = socket;
  s_steps.assign(steps.begin(), steps.end());
  s_calls.clear();
}

void DisarmSendScript() {
  std::lock_guard<std::mutex> guard(s_lock);
  s_bArmed = false;
  s_hArmed = INVALID_SOCKET;
  s_steps.clear();
  s_calls.clear();
}

std::vector<CSendCall> SendCallsOnArmedSocket() {
  std::lock_guard<std::mutex> guard(s_lock);
  return s_calls;
}

ESendStep NextSendStep(SOCKET socket, const char* data, int length, int* pLimit) {
  std::lock_guard<std::mutex> guard(s_lock);
  *pLimit = length;
  if (!s_bArmed || socket != s_hArmed) return ESendStep::kPass;
  CSendStep step{ESendStep::kPass, 0};
  if (!s_steps.empty()) {
    step = s_steps.front();
    s_steps.pop_front();
  }
  if (step.m_kind == ESendStep::kShort && step.m_nBytes < length) *pLimit = step.m_nBytes;
  s_calls.push_back(CSendCall{data, length, step.m_kind});
  return step.m_kind;
}
