// The POSIX shell for tests whose peers are host programs (the openssl
// command): certificates made at run time, s_server as a real TLS peer.
// The Windows build's tests run under Wine, where std::system would go
// through cmd and a Windows path means nothing to a host program: there a
// test starts /bin/sh through CreateProcess and hands it host paths.
#ifndef DIVIVEZ_HOST_TESTS_POSIX_SHELL_H_
#define DIVIVEZ_HOST_TESTS_POSIX_SHELL_H_

#include <string>

// The path of a local file or directory as the shell sees it.
std::string ShellPath(const std::string& localPath);

// Runs script with /bin/sh -c in the background, its input and output
// closed, and returns at once. The script holds neither '"' nor '\'. False
// with *error when the shell could not be started.
bool ShellStart(const std::string& script, std::string* error);

// Runs command in directory (a local path) to its end: its exit status, or
// -1 when it could not be started or ran for longer than timeoutMs. *output
// receives what it wrote to stdout and stderr.
int ShellRun(const std::string& directory, const std::string& command, int timeoutMs,
             std::string* output);

// Waits a while, for what polls a host program's files.
void ShellPause(int milliseconds);

#endif  // DIVIVEZ_HOST_TESTS_POSIX_SHELL_H_
