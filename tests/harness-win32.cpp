// The harness's Windows side: programs run as child processes.

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "harness-platform.h"

// The built programs sit beside the test programs.
std::string besideTests(const char* name) {
  char path[MAX_PATH];
  std::string self(path, GetModuleFileNameA(nullptr, path, sizeof path));
  return self.substr(0, self.find_last_of("\\/") + 1) + name;
}

char** inheritedEnvironment() { return _environ; }

bool isolatedNetwork() { return false; }  // Windows has no network namespace

namespace {

// The test program reports in LF lines, as on POSIX: ctest reads the list of tests from its output.
const int kBinaryStdout = _setmode(_fileno(stdout), _O_BINARY);

// One argument as the C runtime splits a command line again: the backslashes before a quote
// doubled, and the quote escaped.
std::string quotedArgument(const std::string& argument) {
  std::string out = "\"";
  std::size_t slashes = 0;
  for (const char c : argument) {
    out.append(c == '"' ? slashes + 1 : 0, '\\') += c;
    slashes = c == '\\' ? slashes + 1 : 0;
  }
  return out.append(slashes, '\\') + "\"";
}

SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};

HANDLE handle(Handle h) { return reinterpret_cast<HANDLE>(h); }

// Every program the test starts is in this job, which ends them all when the test process ends,
// however it ends.
HANDLE job() {
  static const HANDLE created = [] {
    const HANDLE object = CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(object, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    return object;
  }();
  return created;
}

// Run with this and a process id, a test program is stopProcess's sender: it sends Ctrl+C to that
// process's console, not to itself, and ends.
const char kSendCtrlC[] = "--send-ctrl-c-to=";
const bool kIsCtrlCSender = [] {
  const char* pid = std::strstr(GetCommandLineA(), kSendCtrlC);
  if (pid == nullptr)
    return false;
  const bool sent = AttachConsole(std::strtoul(pid + sizeof kSendCtrlC - 1, nullptr, 10)) &&
                    SetConsoleCtrlHandler(nullptr, TRUE) &&
                    GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
  ExitProcess(sent ? 0 : 1);
}();

}  // namespace

Pipe openPipe(unsigned size) {
  HANDLE read = nullptr, write = nullptr;
  CreatePipe(&read, &write, &inherited, size);
  SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  return {reinterpret_cast<Handle>(read), reinterpret_cast<Handle>(write)};
}

Handle openFull() { return -1; }  // none: the rows that need one are skipped

void closeHandle(Handle h) { CloseHandle(handle(h)); }

long readSome(Handle h, char* buffer, unsigned size, int ms) {
  DWORD n = 0;
  if (ms >= 0 && !PeekNamedPipe(handle(h), nullptr, 0, nullptr, &n, nullptr))
    return 0;
  if (ms >= 0 && n == 0) {
    Sleep(static_cast<DWORD>(ms));
    return -1;
  }
  return ReadFile(handle(h), buffer, size, &n, nullptr) ? static_cast<long>(n) : 0;
}

Handle spawn(const std::string& program, const std::vector<std::string>& argv,
             const std::vector<std::string>& environment, Handle out, Handle err, bool console) {
  std::string commandLine, block;
  for (const std::string& argument : argv)
    commandLine += (commandLine.empty() ? "" : " ") + quotedArgument(argument);
  for (const std::string& entry : environment)
    block += entry + '\0';
  block += '\0';
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  startup.hStdInput = CreateFileA("NUL", GENERIC_READ, 0, &inherited, OPEN_EXISTING, 0, nullptr);
  startup.hStdOutput = handle(out);
  startup.hStdError = handle(err);
  PROCESS_INFORMATION process{};
  // Under load Wine has been seen to fail a start once (error 1359), and the next to succeed: a few
  // tries, a little apart, before giving up.
  for (int tries = 1;
       !CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                       console ? CREATE_NEW_CONSOLE : 0, block.data(), nullptr, &startup, &process);
       ++tries) {
    if (tries == 5) {
      std::fprintf(stderr, "cannot start %s: error %lu\n", program.c_str(), GetLastError());
      break;
    }
    Sleep(200 * tries);
  }
  AssignProcessToJobObject(job(), process.hProcess);
  CloseHandle(startup.hStdInput);
  CloseHandle(process.hThread);
  return reinterpret_cast<Handle>(process.hProcess);
}

int waitForExit(Handle process, int ms, RunResult* run) {
  DWORD code = static_cast<DWORD>(-1);
  if (WaitForSingleObject(handle(process), static_cast<DWORD>(ms)) == WAIT_OBJECT_0)
    GetExitCodeProcess(handle(process), &code);
  TerminateProcess(handle(process), code);
  WaitForSingleObject(handle(process), INFINITE);
  CloseHandle(handle(process));
  if (run != nullptr)
    run->timedOut = code == static_cast<DWORD>(-1);
  return static_cast<int>(code);
}

// Ctrl+C goes to a whole console, so a second process joins the program's to send it: the test
// itself never leaves its own (a terminal that is not a Windows console could not be joined again,
// and its output would be lost).
int stopProcess(Handle process, bool /*interrupt*/) {
  char self[MAX_PATH];
  std::string command(self, GetModuleFileNameA(nullptr, self, sizeof self));
  command =
      quotedArgument(command) + " " + kSendCtrlC + std::to_string(GetProcessId(handle(process)));
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION sender{};
  if (CreateProcessA(self, command.data(), nullptr, nullptr, FALSE,
                     DETACHED_PROCESS | CREATE_SUSPENDED, nullptr, nullptr, &startup, &sender)) {
    AssignProcessToJobObject(job(), sender.hProcess);  // before it can run
    ResumeThread(sender.hThread);
    CloseHandle(sender.hThread);
    // Starting it can take seconds under load: the program's time to stop counts from when the
    // Ctrl+C has been sent.
    waitForExit(reinterpret_cast<Handle>(sender.hProcess), kStopMs);
  }
  return waitForExit(process, kStopMs);
}

unsigned processId() { return GetCurrentProcessId(); }
