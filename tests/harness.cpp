#include "harness.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Waits up to `ms` for fd to become readable.
bool readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, ms) > 0;
}

// Appends to `into` whatever arrives until the peer closes, `stopAtLine` sees
// a line feed, or `ms` passes without a byte.
void receive(int fd, std::string& into, bool stopAtLine, int ms) {
  char buffer[4096];
  while (!(stopAtLine && into.find('\n') != std::string::npos) && readable(fd, ms)) {
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0)
      return;
    into.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace

ScriptedPeer::ScriptedPeer(PeerScript script) : script_(std::move(script)) {
  listener_ = socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(script_.port);
  inet_pton(AF_INET, script_.host.c_str(), &address.sin_addr);
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_, 16) != 0) {
    error_ = "cannot listen on " + script_.host + ":" + std::to_string(script_.port) + ": " +
             std::strerror(errno);
    close(listener_);
    listener_ = -1;
    return;
  }
  socklen_t length = sizeof address;
  getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  if (!script_.listen) {
    close(listener_);
    listener_ = -1;
    return;
  }
  thread_ = std::thread([this] { serve(); });
}

ScriptedPeer::~ScriptedPeer() { finish(); }

std::vector<std::string> ScriptedPeer::finish() {
  stop_ = true;
  if (thread_.joinable())
    thread_.join();
  if (listener_ >= 0)
    close(listener_);
  listener_ = -1;
  return received_;
}

void ScriptedPeer::serve() {
  // One last look after the stop, so a connection the client made just
  // before it exited is still counted.
  for (bool last = false; !last;) {
    last = stop_;
    while (readable(listener_, last ? 0 : 20)) {
      const int fd = accept(listener_, nullptr, nullptr);
      if (fd < 0)
        break;
      handle(fd);
    }
  }
}

void ScriptedPeer::handle(int fd) {
  std::string request;
  if (script_.readRequest)
    receive(fd, request, true, 5000);
  if (script_.drip) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    for (const char c : script_.reply) {
      send(fd, &c, 1, MSG_NOSIGNAL);
      usleep(20000);
    }
  } else if (!script_.reply.empty()) {
    send(fd, script_.reply.data(), script_.reply.size(), MSG_NOSIGNAL);
  }
  const std::string chunk(65536, 'x');
  while (streamed_ < script_.stream) {
    const ssize_t n =
        send(fd, chunk.data(), std::min(chunk.size(), script_.stream - streamed_), MSG_NOSIGNAL);
    if (n <= 0)
      break;
    streamed_ += static_cast<std::size_t>(n);
  }
  if (script_.end == PeerEnd::Reset) {
    const linger abort{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  } else {
    // Held open longer than a run may last, so a client that waits for the
    // close is caught as a hang rather than freed by the peer giving up.
    if (script_.end == PeerEnd::Close)
      shutdown(fd, SHUT_WR);
    receive(fd, request, false, script_.end == PeerEnd::Close ? 5000 : 30000);
  }
  close(fd);
  received_.push_back(request);
}

RunResult runProgram(const std::string& program, const std::vector<std::string>& argv,
                     const EnvChanges& env, Output output, int seconds) {
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e)
    if (std::strncmp(*e, "NALT_", 5) != 0)
      environment.emplace_back(*e);
  for (const auto& [name, value] : env)
    if (value)
      environment.push_back(name + "=" + *value);

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
    if (output == Output::Closed) {
      close(1);
      close(2);
    } else if (output == Output::Full) {
      const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
      dup2(full, 1);
      dup2(full, 2);
    } else if (output == Output::Gone) {
      int gone[2];
      if (pipe2(gone, O_CLOEXEC) == 0) {
        close(gone[0]);
        dup2(gone[1], 1);
        dup2(gone[1], 2);
      }
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

std::string clientPath() {
  const char* path = std::getenv("NALTCTL");
  return path != nullptr && path[0] != '\0' ? path : NALTCTL_DEFAULT_PATH;
}

std::vector<std::string> clientLauncher() {
  std::vector<std::string> words;
  const char* launcher = std::getenv("NALTCTL_LAUNCHER");
  std::istringstream in(launcher != nullptr ? launcher : "");
  for (std::string word; in >> word;)
    words.push_back(word);
  return words;
}

bool windowsClient() {
  const char* target = std::getenv("NALTCTL_TARGET");
  return target != nullptr && std::strcmp(target, "windows") == 0;
}

std::uint16_t closedPort() {
  PeerScript script;
  script.listen = false;
  return ScriptedPeer(script).port();
}
