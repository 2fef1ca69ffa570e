// The Windows service: the Service Control Manager's protocol, the
// service's registration and the event log. See service.h.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <aclapi.h>
#include <shlobj.h>

#include <mutex>
#include <string>
#include <vector>

#include "host/base/os.h"
#include "host/base/service.h"

namespace {

// The event identifiers of win32/messages.mc (the severity in the top bits).
constexpr DWORD kMessageInformation = 0x40000001;
constexpr DWORD kMessageWarning = 0x80000002;
constexpr DWORD kMessageError = 0xC0000003;

constexpr char kEventSourceKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
constexpr char kPluginKey[] = "MACHINE\\SOFTWARE\\Corvane\\ZEBMail";
constexpr char kVirtualAccount[] = "NT SERVICE\\divivez";
constexpr char kLocalService[] = "NT AUTHORITY\\LocalService";

// The running service: set by ServiceRun, used by the dispatcher's threads.
const std::function<int()>* g_body = nullptr;
void (*g_onStop)() = nullptr;
DWORD g_stopWaitMs = 0;
int g_exitStatus = 0;
std::mutex g_statusMutex;
SERVICE_STATUS_HANDLE g_statusHandle = nullptr;
SERVICE_STATUS g_status{};

std::string ErrorText(DWORD code) {
  char text[256] = "";
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           code, 0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' ')) {
    text[--n] = '\0';
  }
  return (n > 0 ? std::string(text) : std::string("error")) + " (" + std::to_string(code) + ")";
}

// Sets and reports the service's state. A pending state counts its
// checkpoints, so that the Service Control Manager sees progress.
void Report(DWORD state, DWORD exitCode, DWORD specificCode, DWORD waitHintMs) {
  std::lock_guard<std::mutex> lock(g_statusMutex);
  if (g_statusHandle == nullptr) return;
  g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  g_status.dwCurrentState = state;
  g_status.dwControlsAccepted =
      state == SERVICE_RUNNING
          ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE
          : 0;
  g_status.dwWin32ExitCode = exitCode;
  g_status.dwServiceSpecificExitCode = specificCode;
  g_status.dwWaitHint = waitHintMs;
  const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
  g_status.dwCheckPoint = pending ? g_status.dwCheckPoint + 1 : 0;
  SetServiceStatus(g_statusHandle, &g_status);
}

DWORD WINAPI ControlHandler(DWORD control, DWORD eventType, void* eventData, void* context) {
  (void)eventType;
  (void)eventData;
  (void)context;
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      // The proxy refuses new clients and gives the open ones the grace.
      Report(SERVICE_STOP_PENDING, NO_ERROR, 0, g_stopWaitMs);
      if (g_onStop != nullptr) g_onStop();
      return NO_ERROR;
    case SERVICE_CONTROL_PARAMCHANGE:
      OsRaiseReloadSignal();
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI ServiceMain(DWORD argc, char** argv) {
  (void)argc;
  (void)argv;
  g_statusHandle = RegisterServiceCtrlHandlerExA(kServiceName, ControlHandler, nullptr);
  if (g_statusHandle == nullptr) {
    g_exitStatus = 1;
    return;
  }
  // Loading the plug-in and binding the listeners takes a second or two.
  Report(SERVICE_START_PENDING, NO_ERROR, 0, 30000);
  g_exitStatus = (*g_body)();
  Report(SERVICE_STOPPED, g_exitStatus == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR,
         static_cast<DWORD>(g_exitStatus), 0);
}

// One argument as CommandLineToArgvW reads it back: quoted when it holds a
// blank or a quote, a quote escaped, backslashes doubled before a quote.
std::string Quote(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

std::string ExecutablePath() {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  return n == 0 || n >= sizeof path ? std::string() : std::string(path, n);
}

// Adds an allowing entry for account to an object's access list.
DWORD Grant(const std::string& object, SE_OBJECT_TYPE type, const char* account, DWORD rights,
            DWORD inheritance) {
  ACL* old = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD rc = GetNamedSecurityInfoA(object.c_str(), type, DACL_SECURITY_INFORMATION, nullptr,
                                   nullptr, &old, nullptr, &descriptor);
  if (rc != ERROR_SUCCESS) return rc;
  EXPLICIT_ACCESSA access{};
  access.grfAccessPermissions = rights;
  access.grfAccessMode = GRANT_ACCESS;
  access.grfInheritance = inheritance;
  access.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
  access.Trustee.TrusteeType = TRUSTEE_IS_USER;
  access.Trustee.ptstrName = const_cast<char*>(account);
  ACL* updated = nullptr;
  rc = SetEntriesInAclA(1, &access, old, &updated);
  if (rc == ERROR_SUCCESS) {
    rc = SetNamedSecurityInfoA(const_cast<char*>(object.c_str()), type, DACL_SECURITY_INFORMATION,
                               nullptr, nullptr, updated, nullptr);
    LocalFree(updated);
  }
  LocalFree(descriptor);
  return rc;
}

std::string ResultText(DWORD rc) { return rc == ERROR_SUCCESS ? "done" : ErrorText(rc); }

}  // namespace

bool ServiceSupported() { return true; }

int ServiceRun(const std::function<int()>& body, void (*onStop)(), int stopWaitMs,
               std::string* error) {
  g_body = &body;
  g_onStop = onStop;
  g_stopWaitMs = static_cast<DWORD>(stopWaitMs);
  char name[sizeof kServiceName];
  lstrcpynA(name, kServiceName, sizeof name);
  SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  // Returns once the service has reported SERVICE_STOPPED.
  if (!StartServiceCtrlDispatcherA(table)) {
    const DWORD code = GetLastError();
    *error = code == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
                 ? "--windows-service run: the Service Control Manager did not start this "
                   "process (start the service with net start divivez, or run without "
                   "--windows-service)"
                 : "cannot connect to the Service Control Manager: " + ErrorText(code);
    return -1;
  }
  return g_exitStatus;
}

void ServiceReportRunning() { Report(SERVICE_RUNNING, NO_ERROR, 0, 0); }

bool ServiceEvent(EventKind kind, const std::string& text) {
  static std::once_flag once;
  static HANDLE source = nullptr;
  std::call_once(once, [] { source = RegisterEventSourceA(nullptr, kServiceName); });
  if (source == nullptr) return false;
  WORD type = EVENTLOG_INFORMATION_TYPE;
  DWORD id = kMessageInformation;
  if (kind == EventKind::kWarning) {
    type = EVENTLOG_WARNING_TYPE;
    id = kMessageWarning;
  } else if (kind == EventKind::kError) {
    type = EVENTLOG_ERROR_TYPE;
    id = kMessageError;
  }
  const char* strings[] = {text.c_str()};
  return ReportEventA(source, type, 0, id, nullptr, 1, 0, strings, nullptr) != FALSE;
}

std::string ServiceDataDirectory() {
  // The known folder, not the environment: a service's environment need not
  // name it.
  char base[MAX_PATH];
  if (SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, base) != S_OK) {
    return "";
  }
  std::string directory = std::string(base) + "\\divivez";
  if (!CreateDirectoryA(directory.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
    return "";
  }
  return directory + "\\";
}

bool ServiceInstall(const std::vector<std::string>& args, std::vector<std::string>* report,
                    std::string* error) {
  const std::string exe = ExecutablePath();
  if (exe.empty()) {
    *error = "cannot tell where this executable is";
    return false;
  }
  std::string command = Quote(exe) + " --windows-service run";
  for (const std::string& arg : args) command += " " + Quote(arg);

  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
  if (manager == nullptr) {
    *error = "cannot open the Service Control Manager: " + ErrorText(GetLastError()) +
             " (administrator rights needed)";
    return false;
  }
  // The virtual account has no password and no rights of its own beyond
  // what is granted below; LocalService where the system has no virtual
  // accounts.
  const char* account = kVirtualAccount;
  SC_HANDLE service =
      CreateServiceA(manager, kServiceName, "divivez scanning SMTP proxy", SERVICE_ALL_ACCESS,
                     SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                     command.c_str(), nullptr, nullptr, nullptr, account, nullptr);
  if (service == nullptr && GetLastError() != ERROR_SERVICE_EXISTS) {
    account = kLocalService;
    service =
        CreateServiceA(manager, kServiceName, "divivez scanning SMTP proxy", SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                       command.c_str(), nullptr, nullptr, nullptr, account, nullptr);
  }
  if (service == nullptr) {
    const DWORD code = GetLastError();
    CloseServiceHandle(manager);
    *error = code == ERROR_SERVICE_EXISTS
                 ? "the service divivez exists already (--windows-service uninstall removes it)"
                 : "cannot create the service divivez: " + ErrorText(code);
    return false;
  }
  char text[] =
      "Scans mail passing through it for viruses and relays the clean messages to the mail "
      "server.";
  SERVICE_DESCRIPTIONA description{text};
  ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &description);
  report->push_back("service divivez created, running as " + std::string(account) + ": " + command);
  CloseServiceHandle(service);
  CloseServiceHandle(manager);

  // The event-log source: the messages are in the executable.
  HKEY key = nullptr;
  DWORD rc = static_cast<DWORD>(
      RegCreateKeyExA(HKEY_LOCAL_MACHINE, (std::string(kEventSourceKey) + kServiceName).c_str(), 0,
                      nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr));
  if (rc == ERROR_SUCCESS) {
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    rc = static_cast<DWORD>(RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ,
                                           reinterpret_cast<const BYTE*>(exe.c_str()),
                                           static_cast<DWORD>(exe.size() + 1)));
    if (rc == ERROR_SUCCESS) {
      rc = static_cast<DWORD>(RegSetValueExA(key, "TypesSupported", 0, REG_DWORD,
                                             reinterpret_cast<const BYTE*>(&types), sizeof types));
    }
    RegCloseKey(key);
  }
  report->push_back("event-log source divivez: " + ResultText(rc));

  // What the account writes: the data directory (log, quarantine) and the
  // plug-in's settings, which the proxy sets at start-up.
  const std::string data = ServiceDataDirectory();
  if (!data.empty()) {
    rc = Grant(data.substr(0, data.size() - 1), SE_FILE_OBJECT, account,
               FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE,
               SUB_CONTAINERS_AND_OBJECTS_INHERIT);
    report->push_back("change rights for " + std::string(account) + " on " + data + ": " +
                      ResultText(rc));
  }
  rc = static_cast<DWORD>(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Corvane\\ZEBMail", 0,
                                          nullptr, 0, KEY_READ, nullptr, &key, nullptr));
  if (rc == ERROR_SUCCESS) {
    RegCloseKey(key);
    rc = Grant(kPluginKey, SE_REGISTRY_KEY, account, KEY_READ | KEY_SET_VALUE, NO_INHERITANCE);
  }
  report->push_back("write rights for " + std::string(account) +
                    " on HKLM\\Software\\Corvane\\ZEBMail: " + ResultText(rc));
  return true;
}

bool ServiceUninstall(int waitMs, std::vector<std::string>* report, std::string* error) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) {
    *error = "cannot open the Service Control Manager: " + ErrorText(GetLastError()) +
             " (administrator rights needed)";
    return false;
  }
  SC_HANDLE service =
      OpenServiceA(manager, kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
  if (service == nullptr) {
    const DWORD code = GetLastError();
    CloseServiceHandle(manager);
    *error = code == ERROR_SERVICE_DOES_NOT_EXIST
                 ? "there is no service divivez"
                 : "cannot open the service divivez: " + ErrorText(code);
    return false;
  }
  SERVICE_STATUS status{};
  if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
    // The proxy's shutdown grace, then its last log lines.
    for (int waited = 0; waited < waitMs && status.dwCurrentState != SERVICE_STOPPED;
         waited += 250) {
      Sleep(250);
      if (!QueryServiceStatus(service, &status)) break;
    }
    report->push_back(status.dwCurrentState == SERVICE_STOPPED
                          ? "service divivez stopped"
                          : "service divivez did not stop within " + std::to_string(waitMs / 1000) +
                                " s; deleted all the same");
  }
  const bool deleted = DeleteService(service) != FALSE;
  const DWORD code = GetLastError();
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  if (!deleted) {
    *error = "cannot delete the service divivez: " + ErrorText(code);
    return false;
  }
  report->push_back("service divivez deleted");
  const LONG rc =
      RegDeleteKeyA(HKEY_LOCAL_MACHINE, (std::string(kEventSourceKey) + kServiceName).c_str());
  report->push_back(
      "event-log source divivez removed: " +
      ResultText(rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : static_cast<DWORD>(rc)));
  return true;
}

bool ServiceReload(std::string* error) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) {
    *error = "cannot open the Service Control Manager: " + ErrorText(GetLastError());
    return false;
  }
  SC_HANDLE service = OpenServiceA(manager, kServiceName, SERVICE_PAUSE_CONTINUE);
  SERVICE_STATUS status{};
  const bool sent =
      service != nullptr && ControlService(service, SERVICE_CONTROL_PARAMCHANGE, &status);
  const DWORD code = GetLastError();
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  if (!sent) *error = "cannot send the service divivez PARAMCHANGE: " + ErrorText(code);
  return sent;
}
