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
#include <cerrno>
extern char** environ;
#endif

namespace {

using Clock = std::chrono::steady_clock;

// The platform seam: sockets, then processes.
#ifdef _WIN32
using Socket = SOCKET;
constexpr int kNoSignal = 0;
constexpr int kShutSend = SD_SEND;
// Once per process, before the first socket or resolver call.
void startNetworking() {
  static WSADATA data;
  static const int started = WSAStartup(MAKEWORD(2, 2), &data);
  (void)started;
}
Socket newSocket() {
  startNetworking();
  return socket(AF_INET, SOCK_STREAM, 0);
}
void closeSocket(SocketId s) { closesocket(static_cast<Socket>(s)); }
bool readable(SocketId s, int ms) {
  WSAPOLLFD p{static_cast<Socket>(s), POLLIN, 0};
  return WSAPoll(&p, 1, ms) > 0;
}
void setReceiveTimeout(SocketId s, int ms) {
  const DWORD limit = static_cast<DWORD>(ms);
  setsockopt(static_cast<Socket>(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit),
             sizeof limit);
}
char** inheritedEnvironment() { return _environ; }
// The test program reports in LF lines, as on POSIX: ctest reads the list
// of tests from its output.
const int kBinaryStdout = _setmode(_fileno(stdout), _O_BINARY);
#else
using Socket = int;
constexpr int kNoSignal = MSG_NOSIGNAL;
constexpr int kShutSend = SHUT_WR;
void startNetworking() {}
Socket newSocket() { return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }
void closeSocket(SocketId s) { close(static_cast<Socket>(s)); }
bool readable(SocketId s, int ms) {
  pollfd p{static_cast<Socket>(s), POLLIN, 0};
  return poll(&p, 1, ms) > 0;
}
void setReceiveTimeout(SocketId s, int ms) {
  const timeval limit{ms / 1000, (ms % 1000) * 1000};
  setsockopt(static_cast<Socket>(s), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}
char** inheritedEnvironment() { return environ; }
#endif

template <typename Value>
void setOption(SocketId s, int level, int name, const Value& value) {
  setsockopt(static_cast<Socket>(s), level, name, reinterpret_cast<const char*>(&value),
             sizeof value);
}

int sendSome(SocketId s, const char* data, std::size_t length) {
  return static_cast<int>(send(static_cast<Socket>(s), data, static_cast<int>(length), kNoSignal));
}

int receiveSome(SocketId s, char* buffer, std::size_t length) {
  return static_cast<int>(recv(static_cast<Socket>(s), buffer, static_cast<int>(length), 0));
}

// Appends to `into` whatever arrives until the peer closes, `stopAtLine` sees
// a line feed, or `ms` passes without a byte.
void receive(SocketId fd, std::string& into, bool stopAtLine, int ms) {
  char buffer[4096];
  while (!(stopAtLine && into.find('\n') != std::string::npos) && readable(fd, ms)) {
    const int n = receiveSome(fd, buffer, sizeof buffer);
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
  const linger abort{1, 0};
  setOption(s, SOL_SOCKET, SO_LINGER, abort);
  closeSocket(s);
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

ScriptedPeer::ScriptedPeer(PeerScript script)
    : script_(std::move(script)), listener_(static_cast<SocketId>(newSocket())) {
  setOption(listener_, SOL_SOCKET, SO_REUSEADDR, 1);
  sockaddr_in address = loopback(script_.host, script_.port);
  if (bind(static_cast<Socket>(listener_), reinterpret_cast<sockaddr*>(&address), sizeof address) !=
          0 ||
      listen(static_cast<Socket>(listener_), 16) != 0) {
    error_ = "cannot listen on " + script_.host + ":" + std::to_string(script_.port);
    script_.listen = false;
  }
  socklen_t length = sizeof address;
  getsockname(static_cast<Socket>(listener_), reinterpret_cast<sockaddr*>(&address), &length);
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
      const Socket fd = accept(static_cast<Socket>(listener_), nullptr, nullptr);
      if (fd == static_cast<Socket>(-1))
        break;
      handle(static_cast<SocketId>(fd));
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
      shutdown(static_cast<Socket>(fd), kShutSend);
    receive(fd, request, false, script_.end == PeerEnd::Close ? 5000 : 30000);
    closeSocket(fd);
  }
  received_.push_back(request);
}

Connection::Connection(const std::string& port) : socket_(static_cast<SocketId>(newSocket())) {
  sockaddr_in address = loopback("127.0.0.1", static_cast<std::uint16_t>(std::stoi(port)));
  if (connect(static_cast<Socket>(socket_), reinterpret_cast<sockaddr*>(&address),
              sizeof address) != 0)
    std::abort();
  setReceiveTimeout(socket_, 3000);
}

Connection::~Connection() {
  if (socket_ != 0)
    closeSocket(socket_);
}

void Connection::send(const std::string& bytes) { sendSome(socket_, bytes.data(), bytes.size()); }

std::string Connection::receive(std::size_t limit) {
  std::string received;
  char buffer[256];
  while (received.size() < limit) {
    const int n = receiveSome(socket_, buffer, std::min(sizeof buffer, limit - received.size()));
    if (n <= 0)
      break;
    received.append(buffer, static_cast<std::size_t>(n));
  }
  return received;
}

void Connection::reset() {
  resetSocket(socket_);
  socket_ = 0;
}

std::string talk(const std::string& port, const std::string& request) {
  Connection connection(port);
  connection.send(request);
  return connection.receive();
}

std::string resolverText(const std::string& host, const std::string& port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  startNetworking();
  const int code = getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
  if (code == 0) {
    freeaddrinfo(list);
    return "(resolved)";
  }
  return gai_strerror(code);
}

std::string unknownServiceText() { return gai_strerror(EAI_SERVICE); }

std::uint16_t servicePort(const char* name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  startNetworking();
  if (getaddrinfo("127.0.0.1", name, &hints, &list) != 0)
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

// Processes: a runner that collects output and status, and a program left
// running in the background.
#ifdef _WIN32

namespace {

// The built programs sit beside the test programs.
std::string besideTests(const char* name) {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  std::string directory(path, length);
  return directory.substr(0, directory.find_last_of("\\/") + 1) + name;
}

// One argument as the C runtime splits a command line again.
std::string quoted(const std::string& argument) {
  std::string out = "\"";
  std::size_t slashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++slashes;
      continue;
    }
    out.append(c == '"' ? slashes * 2 + 1 : slashes, '\\');
    out += c;
    slashes = 0;
  }
  return out.append(slashes * 2, '\\') + "\"";
}

HANDLE spawn(const std::string& program, const std::vector<std::string>& argv,
             const EnvChanges& env, HANDLE out, HANDLE err, DWORD flags) {
  std::string commandLine;
  for (const std::string& argument : argv)
    commandLine += (commandLine.empty() ? "" : " ") + quoted(argument);
  std::string block;
  for (const std::string& entry : environmentFor(env))
    block += entry + '\0';
  block += '\0';
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE null = CreateFileA("NUL", GENERIC_READ, 0, &inherit, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null;
  startup.hStdOutput = out;
  startup.hStdError = err;
  if ((flags & CREATE_NEW_CONSOLE) != 0) {
    startup.dwFlags |= STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
  }
  PROCESS_INFORMATION process{};
  const BOOL created = CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                      flags, block.data(), nullptr, &startup, &process);
  CloseHandle(null);
  if (!created) {
    std::fprintf(stderr, "cannot start %s: Windows error %lu\n", program.c_str(), GetLastError());
    return nullptr;
  }
  CloseHandle(process.hThread);
  return process.hProcess;
}

}  // namespace

RunResult runProgram(const std::string& program, const std::vector<std::string>& argv,
                     const EnvChanges& env, Output output, int seconds) {
  RunResult result;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE reads[2] = {}, writes[2] = {};
  for (int i = 0; i < 2; ++i) {
    CreatePipe(&reads[i], &writes[i], &inherit, 0);
    SetHandleInformation(reads[i], HANDLE_FLAG_INHERIT, 0);
  }
  HANDLE out = writes[0], err = writes[1], gone = nullptr;
  if (output == Output::Closed) {
    out = err = INVALID_HANDLE_VALUE;
  } else if (output == Output::Gone) {
    HANDLE reader = nullptr;
    CreatePipe(&reader, &gone, &inherit, 0);
    CloseHandle(reader);
    out = err = gone;
  }
  const HANDLE process = spawn(program, argv, env, out, err, 0);
  for (HANDLE h : {writes[0], writes[1], gone})
    if (h != nullptr)
      CloseHandle(h);
  std::string* sinks[2] = {&result.out, &result.err};
  std::thread readers[2];
  for (int i = 0; i < 2; ++i)
    readers[i] = std::thread([pipe = reads[i], sink = sinks[i]] {
      char buffer[4096];
      DWORD n = 0;
      while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0)
        sink->append(buffer, n);
    });
  if (process != nullptr) {
    if (WaitForSingleObject(process, static_cast<DWORD>(seconds) * 1000) != WAIT_OBJECT_0) {
      result.timedOut = true;
      TerminateProcess(process, 1);
      WaitForSingleObject(process, INFINITE);
    }
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    result.status = result.timedOut ? -1 : static_cast<int>(code);
    CloseHandle(process);
  }
  for (int i = 0; i < 2; ++i) {
    readers[i].join();
    CloseHandle(reads[i]);
  }
  return result;
}

Background startProgram(const std::string& program, const EnvChanges& env,
                        const std::string& stdoutFile, int /*descriptorLimit*/) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE log = CreateFileA(stdoutFile.c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                           CREATE_ALWAYS, 0, nullptr);
  // A console of its own (hidden), for stopProgram's Ctrl+C.
  HANDLE process = spawn(program, {program}, env, log, log, CREATE_NEW_CONSOLE);
  CloseHandle(log);
  return {reinterpret_cast<std::intptr_t>(process)};
}

int stopProgram(Background& program, bool /*interrupt*/) {
  const HANDLE process = reinterpret_cast<HANDLE>(program.id);
  if (process == nullptr)
    return -1;
  // Ctrl+C reaches every process on a console: this one joins the
  // program's console for it, ignoring the event itself, and goes back.
  FreeConsole();
  if (AttachConsole(GetProcessId(process))) {
    SetConsoleCtrlHandler(nullptr, TRUE);
    GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    FreeConsole();
  }
  AttachConsole(ATTACH_PARENT_PROCESS);
  const bool ended = WaitForSingleObject(process, 5000) == WAIT_OBJECT_0;
  if (!ended) {
    TerminateProcess(process, 255);
    WaitForSingleObject(process, INFINITE);
  }
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  CloseHandle(process);
  program.id = 0;
  return ended ? static_cast<int>(code) : -1;
}

int openHandles(const Background& program) {
  DWORD count = 0;
  GetProcessHandleCount(reinterpret_cast<HANDLE>(program.id), &count);
  return static_cast<int>(count);
}

double cpuSeconds(const Background& program) {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(reinterpret_cast<HANDLE>(program.id), &created, &exited, &kernel, &user);
  const auto ticks = [](const FILETIME& t) {
    return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;
}

unsigned processId() { return GetCurrentProcessId(); }

#else

namespace {

std::string besideTests(const char* path) { return path; }

}  // namespace

RunResult runProgram(const std::string& program, const std::vector<std::string>& argv,
                     const EnvChanges& env, Output output, int seconds) {
  std::vector<std::string> environment = environmentFor(env);
  // Everything the child needs is built before the fork: after it, only
  // async-signal-safe calls.
  std::vector<char*> args;
  for (const std::string& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : environment)
    envp.push_back(e.data());
  envp.push_back(nullptr);

  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
    std::abort();
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    dup2(null, 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    int gone[2];
    if (output == Output::Closed) {
      close(1);
      close(2);
    } else if (output == Output::Full) {
      const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
      dup2(full, 1);
      dup2(full, 2);
    } else if (output == Output::Gone && pipe2(gone, O_CLOEXEC) == 0) {
      close(gone[0]);
      dup2(gone[1], 1);
      dup2(gone[1], 2);
    }
    // Nothing of the test's, or of whoever started it, leaks into the client.
    close_range(3, ~0U, 0);
    execvpe(program.c_str(), args.data(), envp.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);

  RunResult result;
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, 2, static_cast<int>(left)) <= 0)
      continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0)
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

Background startProgram(const std::string& program, const EnvChanges& env,
                        const std::string& stdoutFile, int descriptorLimit) {
  std::vector<std::string> environment = environmentFor(env);
  std::vector<char*> envp;
  for (std::string& e : environment)
    envp.push_back(e.data());
  envp.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int out = open(stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(out, 1);
    dup2(out, 2);
    close_range(3, ~0U, 0);
    const rlimit limit{static_cast<rlim_t>(descriptorLimit), static_cast<rlim_t>(descriptorLimit)};
    if (descriptorLimit > 0)
      setrlimit(RLIMIT_NOFILE, &limit);
    execle(program.c_str(), program.c_str(), static_cast<char*>(nullptr), envp.data());
    _exit(127);
  }
  return {pid};
}

int stopProgram(Background& program, bool interrupt) {
  const auto pid = static_cast<pid_t>(program.id);
  if (pid <= 0)
    return -1;
  kill(pid, interrupt ? SIGINT : SIGTERM);
  int status = 0;
  pid_t ended = 0;
  for (int i = 0; i < 500 && (ended = waitpid(pid, &status, WNOHANG)) == 0; ++i)
    sleepMs(10);
  if (ended == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  program.id = 0;
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
  std::ifstream in("/proc/" + std::to_string(program.id) + "/stat");
  std::string field;
  // utime and stime are fields 14 and 15; the name in field 2 has no spaces here.
  double ticks = 0;
  for (int i = 1; i <= 15 && in >> field; ++i)
    if (i >= 14)
      ticks += std::stod(field);
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

unsigned processId() { return static_cast<unsigned>(getpid()); }

#endif

std::string clientPath() {
  const char* path = std::getenv("NALTCTL");
  return path != nullptr && path[0] != '\0' ? path : besideTests(NALTCTL_DEFAULT_PATH);
}

std::string stubPath() { return besideTests(NALT_STUB_DEFAULT_PATH); }
