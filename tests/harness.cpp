#include "harness.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace {

// The platform seam for sockets; processes follow at the end of the file.
#ifdef _WIN32
constexpr int kNoSignal = 0;
constexpr int kShutSend = SD_SEND;
// Once per process, before the first socket or resolver call.
void startNetworking() {
  static WSADATA data;
  static const int started = WSAStartup(MAKEWORD(2, 2), &data);
  (void)started;
}
SocketId newSocket() {
  startNetworking();
  return socket(AF_INET, SOCK_STREAM, 0);
}
void closeSocket(SocketId s) { closesocket(s); }
bool readable(SocketId s, int ms) {
  WSAPOLLFD p{s, POLLIN, 0};
  return WSAPoll(&p, 1, ms) > 0;
}
char** inheritedEnvironment() { return _environ; }
// The test program reports in LF lines, as on POSIX: ctest reads the list
// of tests from its output.
const int kBinaryStdout = _setmode(_fileno(stdout), _O_BINARY);
#else
constexpr int kNoSignal = MSG_NOSIGNAL;
constexpr int kShutSend = SHUT_WR;
void startNetworking() {}
SocketId newSocket() { return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }
void closeSocket(SocketId s) { close(s); }
bool readable(SocketId s, int ms) {
  pollfd p{s, POLLIN, 0};
  return poll(&p, 1, ms) > 0;
}
char** inheritedEnvironment() { return environ; }
#endif

template <typename Value>
void setOption(SocketId s, int level, int name, const Value& value) {
  setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value);
}

int sendSome(SocketId s, const char* data, std::size_t length) {
  return static_cast<int>(send(s, data, static_cast<int>(length), kNoSignal));
}

// Appends to `into` whatever arrives until the peer closes, `stopAtLine` sees
// a line feed, or `ms` passes without a byte.
void receive(SocketId s, std::string& into, bool stopAtLine, int ms) {
  char buffer[4096];
  while (!(stopAtLine && into.find('\n') != std::string::npos) && readable(s, ms)) {
    const auto n = recv(s, buffer, static_cast<int>(sizeof buffer), 0);
    if (n <= 0)
      return;
    into.append(buffer, static_cast<std::size_t>(n));
  }
}

sockaddr_in loopback(const std::string& host, std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  inet_pton(AF_INET, host.c_str(), &address.sin_addr);
  return address;
}

void resetSocket(SocketId s) {
  setOption(s, SOL_SOCKET, SO_LINGER, linger{1, 0});
  closeSocket(s);
}

// Asks the resolver the way the client asks; its result code.
int resolve(const std::string& host, const std::string& port, addrinfo** list) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  startNetworking();
  return getaddrinfo(host.c_str(), port.c_str(), &hints, list);
}

// The test's environment less every NALT_ variable, plus `env`, as NAME=VALUE.
std::vector<std::string> environmentFor(const EnvChanges& env) {
  std::vector<std::string> environment;
  for (char** e = inheritedEnvironment(); *e != nullptr; ++e)
    if (std::strncmp(*e, "NALT_", 5) != 0)
      environment.emplace_back(*e);
  for (const auto& [name, value] : env)
    if (value)
      environment.push_back(name + "=" + *value);
  return environment;
}

}  // namespace

ScriptedPeer::ScriptedPeer(PeerScript script) : script_(std::move(script)), listener_(newSocket()) {
  setOption(listener_, SOL_SOCKET, SO_REUSEADDR, 1);
  sockaddr_in address = loopback(script_.host, script_.port);
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_, 16) != 0) {
    error_ = "cannot listen on " + script_.host + ":" + std::to_string(script_.port);
    script_.listen = false;
  }
  socklen_t length = sizeof address;
  getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  if (!script_.listen) {
    closeSocket(listener_);
    return;
  }
  thread_ = std::thread([this] { serve(); });
}

ScriptedPeer::~ScriptedPeer() { finish(); }

std::vector<std::string> ScriptedPeer::finish() {
  stop_ = true;
  if (thread_.joinable()) {
    thread_.join();
    closeSocket(listener_);
  }
  return received_;
}

void ScriptedPeer::serve() {
  // One last look after the stop, so a connection the client made just
  // before it exited is still counted.
  for (bool last = false; !last;) {
    last = stop_;
    while (readable(listener_, last ? 0 : 20)) {
      const SocketId fd = accept(listener_, nullptr, nullptr);
      if (fd == static_cast<SocketId>(-1))
        break;
      handle(fd);
    }
  }
}

void ScriptedPeer::handle(SocketId fd) {
  std::string request;
  if (script_.readRequest)
    receive(fd, request, true, 5000);
  if (script_.drip) {
    setOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    for (const char c : script_.reply) {
      sendSome(fd, &c, 1);
      sleepMs(20);
    }
  } else if (!script_.reply.empty()) {
    sendSome(fd, script_.reply.data(), script_.reply.size());
  }
  const std::string chunk(65536, 'x');
  while (streamed_ < script_.stream) {
    const int n = sendSome(fd, chunk.data(), std::min(chunk.size(), script_.stream - streamed_));
    if (n <= 0)
      break;
    streamed_ += static_cast<std::size_t>(n);
  }
  if (script_.end == PeerEnd::Reset) {
    resetSocket(fd);
  } else {
    // Held open longer than a run may last, so a client that waits for the
    // close is caught as a hang rather than freed by the peer giving up.
    if (script_.end == PeerEnd::Close)
      shutdown(fd, kShutSend);
    receive(fd, request, false, script_.end == PeerEnd::Close ? 5000 : 30000);
    closeSocket(fd);
  }
  received_.push_back(request);
}

Connection::Connection(const std::string& port) : socket_(newSocket()) {
  sockaddr_in address = loopback("127.0.0.1", static_cast<std::uint16_t>(std::stoi(port)));
  if (connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    std::abort();
}

Connection::~Connection() {
  if (open_)
    closeSocket(socket_);
}

void Connection::send(const std::string& bytes) { sendSome(socket_, bytes.data(), bytes.size()); }

std::string Connection::receive() {
  std::string received;
  ::receive(socket_, received, false, 3000);
  return received;
}

void Connection::reset() {
  resetSocket(socket_);
  open_ = false;
}

std::string talk(const std::string& port, const std::string& request) {
  Connection connection(port);
  connection.send(request);
  return connection.receive();
}

std::string resolverText(const std::string& host, const std::string& port) {
  addrinfo* list = nullptr;
  const int code = resolve(host, port, &list);
  if (code != 0)
    return gai_strerror(code);
  freeaddrinfo(list);
  return "(resolved)";
}

std::string unknownServiceText() { return gai_strerror(EAI_SERVICE); }

std::uint16_t servicePort(const char* name) {
  addrinfo* list = nullptr;
  if (resolve("127.0.0.1", name, &list) != 0)
    return 0;
  const std::uint16_t port = ntohs(reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_port);
  freeaddrinfo(list);
  return port;
}

std::uint16_t closedPort() {
  PeerScript script;
  script.listen = false;
  return ScriptedPeer(script).port();
}

std::vector<std::string> clientLauncher() {
  std::vector<std::string> words;
  const char* launcher = std::getenv("NALTCTL_LAUNCHER");
  std::istringstream in(launcher != nullptr ? launcher : "");
  for (std::string word; in >> word;)
    words.push_back(word);
  return words;
}

std::string asWritten(std::string text) {
  if (kWindows)
    for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 2))
      text.replace(at, 1, "\r\n");
  return text;
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The platform seam for processes: starting one with its output redirected,
// and running, stopping and looking at it.
#ifdef _WIN32

namespace {

// The built programs sit beside the test programs.
std::string besideTests(const char* name) {
  char path[MAX_PATH];
  std::string self(path, GetModuleFileNameA(nullptr, path, sizeof path));
  return self.substr(0, self.find_last_of("\\/") + 1) + name;
}

// One argument as the C runtime splits a command line again.
std::string quoted(const std::string& argument) {
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

// Starts argv with stdin empty and stdout and stderr on `out` and `err`.
HANDLE spawn(const std::vector<std::string>& argv, const EnvChanges& env, HANDLE out, HANDLE err,
             DWORD flags) {
  std::string commandLine, block;
  for (const std::string& argument : argv)
    commandLine += quoted(argument) + " ";
  for (const std::string& entry : environmentFor(env))
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
  if (!CreateProcessA(argv.front().c_str(), commandLine.data(), nullptr, nullptr, TRUE, flags,
                      block.data(), nullptr, &startup, &process))
    std::fprintf(stderr, "cannot start %s: error %lu\n", argv.front().c_str(), GetLastError());
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

RunResult runProgram(const std::string& /*program*/, const std::vector<std::string>& argv,
                     const EnvChanges& env, Output output, int seconds) {
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
  const HANDLE process =
      spawn(argv, env, captured ? writes[0] : sink, captured ? writes[1] : sink, 0);
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

Background startProgram(const std::vector<std::string>& argv, const EnvChanges& env,
                        const std::string& outputFile) {
  HANDLE log = CreateFileA(outputFile.c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherited,
                           CREATE_ALWAYS, 0, nullptr);
  // A console of its own (hidden), for stopProgram's Ctrl+C.
  HANDLE process = spawn(argv, env, log, log, CREATE_NEW_CONSOLE);
  CloseHandle(log);
  return {reinterpret_cast<std::intptr_t>(process)};
}

int stopProgram(Background& program, bool /*interrupt*/) {
  const HANDLE process = reinterpret_cast<HANDLE>(program.id);
  program.id = 0;
  // Ctrl+C reaches every process on a console: this one joins the
  // program's console for it, ignoring the event itself, and goes back.
  FreeConsole();
  if (AttachConsole(GetProcessId(process))) {
    SetConsoleCtrlHandler(nullptr, TRUE);
    GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    FreeConsole();
  }
  AttachConsole(ATTACH_PARENT_PROCESS);
  return process != nullptr ? finish(process, 5000) : -1;
}

int openHandles(const Background& program) {
  DWORD count = 0;
  GetProcessHandleCount(reinterpret_cast<HANDLE>(program.id), &count);
  return static_cast<int>(count);
}

double cpuSeconds(const Background& program) {
  FILETIME times[4];
  GetProcessTimes(reinterpret_cast<HANDLE>(program.id), &times[0], &times[1], &times[2], &times[3]);
  double ticks = 0;
  for (const FILETIME& t : {times[2], times[3]})
    ticks += static_cast<double>((std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime);
  return ticks / 1e7;
}

unsigned processId() { return GetCurrentProcessId(); }

#else

namespace {

std::string besideTests(const char* path) { return path; }

// Starts argv (found on PATH) with stdin on /dev/null and stdout and stderr
// on `out` and `err` (-1: closed), and nothing else of the test's open.
pid_t spawn(const std::string& program, const std::vector<std::string>& argv, const EnvChanges& env,
            int out, int err) {
  std::vector<std::string> environment = environmentFor(env);
  // Everything the child needs is built before the fork: after it, only
  // async-signal-safe calls.
  std::vector<char*> args, envp;
  for (const std::string& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  for (std::string& e : environment)
    envp.push_back(e.data());
  args.push_back(nullptr);
  envp.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(open("/dev/null", O_RDONLY | O_CLOEXEC), 0);
    for (const auto& [from, to] : {std::pair{out, 1}, std::pair{err, 2}}) {
      if (from < 0)
        close(to);
      else
        dup2(from, to);
    }
    close_range(3, ~0U, 0);
    execvpe(program.c_str(), args.data(), envp.data());
    _exit(127);
  }
  return pid;
}

}  // namespace

RunResult runProgram(const std::string& program, const std::vector<std::string>& argv,
                     const EnvChanges& env, Output output, int seconds) {
  int out[2], err[2], sink = -1;
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
    std::abort();
  if (int gone[2]; output == Output::Gone && pipe2(gone, O_CLOEXEC) == 0) {
    close(gone[0]);
    sink = gone[1];
  } else if (output == Output::Full) {
    sink = open("/dev/full", O_WRONLY | O_CLOEXEC);
  }
  const bool captured = output == Output::Captured;
  const pid_t pid = spawn(program, argv, env, captured ? out[1] : sink, captured ? err[1] : sink);
  for (const int fd : {out[1], err[1], sink})
    close(fd);

  RunResult result;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, 2, static_cast<int>(left)) <= 0)
      continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0)
        continue;
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
      }
    }
  }
  for (const pollfd& p : fds)
    if (p.fd >= 0)
      close(p.fd);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  result.maxRssKb = usage.ru_maxrss;
  result.status = WIFEXITED(status) && !result.timedOut ? WEXITSTATUS(status) : -1;
  return result;
}

Background startProgram(const std::vector<std::string>& argv, const EnvChanges& env,
                        const std::string& outputFile) {
  const int log = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const pid_t pid = spawn(argv.front(), argv, env, log, log);
  close(log);
  return {pid};
}

int stopProgram(Background& program, bool interrupt) {
  const auto pid = static_cast<pid_t>(program.id);
  program.id = 0;
  if (pid <= 0 || kill(pid, interrupt ? SIGINT : SIGTERM) != 0)
    return -1;
  int status = 0;
  for (int i = 0; i < 500 && waitpid(pid, &status, WNOHANG) == 0; ++i)
    sleepMs(10);
  if (kill(pid, 0) == 0 && kill(pid, SIGKILL) == 0)
    waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int openHandles(const Background& program) {
  int count = 0;
  if (DIR* dir = opendir(("/proc/" + std::to_string(program.id) + "/fd").c_str())) {
    while (const dirent* entry = readdir(dir))
      count += entry->d_name[0] != '.';
    closedir(dir);
  }
  return count;
}

double cpuSeconds(const Background& program) {
  // utime and stime are fields 14 and 15; the name in field 2 has no spaces here.
  std::ifstream in("/proc/" + std::to_string(program.id) + "/stat");
  std::string field;
  double ticks = 0;
  for (int i = 1; i <= 15 && in >> field; ++i)
    ticks += i >= 14 ? std::stod(field) : 0;
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

unsigned processId() { return static_cast<unsigned>(getpid()); }

#endif

std::string clientPath() {
  const char* path = std::getenv("NALTCTL");
  return path != nullptr && path[0] != '\0' ? path : besideTests(NALTCTL_DEFAULT_PATH);
}

std::string stubPath() { return besideTests(NALT_STUB_DEFAULT_PATH); }
