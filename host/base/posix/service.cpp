// Services on POSIX: none (systemd runs the proxy as it is). See service.h.
#include "host/base/service.h"

bool ServiceSupported() { return false; }

int ServiceRun(const std::function<int()>& body, void (*onStop)(), int stopWaitMs,
               std::string* error) {
  (void)body;
  (void)onStop;
  (void)stopWaitMs;
  *error = "--windows-service: this system has no Windows services";
  return -1;
}

void ServiceReportRunning() {}

bool ServiceEvent(EventKind kind, const std::string& text) {
  (void)kind;
  (void)text;
  return false;
}

std::string ServiceDataDirectory() { return ""; }

bool ServiceInstall(const std::vector<std::string>& args, std::vector<std::string>* report,
                    std::string* error) {
  (void)args;
  (void)report;
  *error = "--windows-service: this system has no Windows services";
  return false;
}

bool ServiceUninstall(int waitMs, std::vector<std::string>* report, std::string* error) {
  (void)waitMs;
  (void)report;
  *error = "--windows-service: this system has no Windows services";
  return false;
}

bool ServiceReload(std::string* error) {
  *error = "--windows-service: this system has no Windows services";
  return false;
}
