// The harness's Windows side: Winsock, and programs run as child processes.

#include <fcntl.h>
#include <io.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "harness-platform.h"

// The built programs sit beside the test programs.
std::string besideTests(const char* name) {
  char path[MAX_PATH];
  std::string self(path, GetModuleFileNameA(nullptr, path, sizeof path));
  return self.substr(0, self.find_last_of("\\/") + 1) + name;
}

char** inheritedEnvironment() { return _environ; }

namespace {

// The test program reports in LF lines, as on POSIX: ctest reads the list
// of tests from its output.
const int kBinaryStdout = _setmode(_fileno(stdout), _O_BINARY);

// One argument as the C runtime splits a command line again.
std::string quotedArgument(const std::string& argument) {
  std::string out = "\"";
  std::size_t slashes = 0;
  for (const char c : argument) {
    // The backslashes before a quote are doubled, and the quote escaped.
    if (c == '"')
      out.append(slashes + 1, '\\');
    slashes = c == '\\' ? slashes + 1 : 0;
    out += c;
  }
  return out.append(slashes, '\\') + "\"";
}

SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};

// Every program the test starts is in this job, which ends them all when
// the test process ends, however it ends.
HANDLE job() {
  static const HANDLE handle = [] {
    const HANDLE created = CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(created, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    return created;
  }();
  return handle;
}

// Run with this and a process id, a test program is stopProgram's helper: it
// sends Ctrl+C to that process's console, not to itself, and ends.
const char kSendCtrlC[] = "--send-ctrl-c-to=";
const bool kIsHelper = [] {
  const char* pid = std::strstr(GetCommandLineA(), kSendCtrlC);
  if (pid == nullptr)
    return false;
  const bool sent = AttachConsole(std::strtoul(pid + sizeof kSendCtrlC - 1, nullptr, 10)) &&
                    SetConsoleCtrlHandler(nullptr, TRUE) &&
                    GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
  ExitProcess(sent ? 0 : 1);
}();

// Starts `program` with the command line argv, stdin empty, and stdout and
// stderr on `out` and `err`.
HANDLE spawn(const std::string& program, const std::vector<std::string>& argv,
             const std::vector<std::string>& environment, HANDLE out, HANDLE err, DWORD flags) {
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
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, flags,
                      block.data(), nullptr, &startup, &process))
    std::fprintf(stderr, "cannot start %s: error %lu\n", program.c_str(), GetLastError());
  AssignProcessToJobObject(job(), process.hProcess);
  CloseHandle(startup.hStdInput);
  CloseHandle(process.hThread);
  return process.hProcess;
}

// Waits up to `ms` for the process to end, then ends it; its exit code, or
// -1 when it had to be ended.
int finish(HANDLE process, DWORD ms) {
  DWORD code = static_cast<DWORD>(-1);
  if (WaitForSingleObject(process, ms) == WAIT_OBJECT_0)
    GetExitCodeProcess(process, &code);
  TerminateProcess(process, code);
  WaitForSingleObject(process, INFINITE);
  CloseHandle(process);
  return static_cast<int>(code);
}

}  // namespace

RunResult runProgram(const std::string& program, const std::vector<std::string>& argv,
                     const EnvChanges& env, Output output, int seconds) {
  const std::vector<std::string> environment = environmentFor(env);  // first: it may throw
  RunResult result;
  HANDLE reads[2], writes[2], sink = INVALID_HANDLE_VALUE, gone = nullptr;
  for (int i = 0; i < 2; ++i) {
    CreatePipe(&reads[i], &writes[i], &inherited, 0);
    SetHandleInformation(reads[i], HANDLE_FLAG_INHERIT, 0);
  }
  if (output == Output::Gone) {
    CreatePipe(&gone, &sink, &inherited, 0);
    CloseHandle(gone);
  }
  const bool captured = output == Output::Captured;
  const HANDLE process = spawn(program, argv, environment, captured ? writes[0] : sink,
                               captured ? writes[1] : sink, 0);
  for (HANDLE h : {writes[0], writes[1], sink})
    CloseHandle(h);
  std::string* sinks[2] = {&result.out, &result.err};
  std::thread readers[2];
  for (int i = 0; i < 2; ++i)
    readers[i] = std::thread([pipe = reads[i], into = sinks[i]] {
      char buffer[4096];
      DWORD n = 0;
      while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0)
        into->append(buffer, n);
      CloseHandle(pipe);
    });
  result.status = finish(process, static_cast<DWORD>(seconds) * 1000);
  result.timedOut = result.status == -1;
  for (std::thread& reader : readers)
    reader.join();
  return result;
}

Background startProgram(const std::vector<std::string>& argv, const EnvChanges& env) {
  const std::vector<std::string> environment = environmentFor(env);  // first: it may throw
  HANDLE read = nullptr, write = nullptr;
  CreatePipe(&read, &write, &inherited, 4096);
  SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  // A console of its own (hidden), for stopProgram's Ctrl+C.
  HANDLE process = spawn(argv.front(), argv, environment, write, write, CREATE_NEW_CONSOLE);
  CloseHandle(write);
  return {reinterpret_cast<std::intptr_t>(process), reinterpret_cast<std::intptr_t>(read)};
}

std::string readLine(const Background& program, int ms) {
  const HANDLE pipe = reinterpret_cast<HANDLE>(program.output);
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (char c = 0; c != '\n' && std::chrono::steady_clock::now() < deadline;) {
    DWORD ready = 0, n = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &ready, nullptr))
      break;
    if (ready > 0 && ReadFile(pipe, &c, 1, &n, nullptr) && n == 1)
      line += c;
    else
      Sleep(10);
  }
  return line;
}

int stopProgram(Background& program, bool /*interrupt*/) {
  const HANDLE process = reinterpret_cast<HANDLE>(program.id);
  program.id = 0;
  // Ctrl+C goes to a whole console, so a helper joins the program's to send
  // it: the test itself never leaves its own (a terminal that is not a
  // Windows console could not be joined again, and its output would be lost).
  char self[MAX_PATH];
  std::string helper(self, GetModuleFileNameA(nullptr, self, sizeof self));
  helper = quotedArgument(helper) + " " + kSendCtrlC + std::to_string(GetProcessId(process));
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION sender{};
  if (process != nullptr &&
      CreateProcessA(self, helper.data(), nullptr, nullptr, FALSE,
                     DETACHED_PROCESS | CREATE_SUSPENDED, nullptr, nullptr, &startup, &sender)) {
    AssignProcessToJobObject(job(), sender.hProcess);  // before it can run
    ResumeThread(sender.hThread);
    CloseHandle(sender.hThread);
    // Starting it can take seconds under load: the program's time to stop
    // counts from when the Ctrl+C has been sent.
    finish(sender.hProcess, kStopMs);
  }
  const int status = process != nullptr ? finish(process, kStopMs) : -1;
  // Only now: a program stuck on its output must be seen to be stuck.
  if (program.output != 0)
    CloseHandle(reinterpret_cast<HANDLE>(program.output));
  program.output = 0;
  return status;
}

unsigned processId() { return GetCurrentProcessId(); }
