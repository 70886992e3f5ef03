// nalt-stub: a stand-in nalt service, so that naltctl can be tried and tested
// where no real service runs. POSIX only.
//
// Listens on NALT_HOST:NALT_PORT (default 127.0.0.1:9090; port 0 picks a
// free port), prints "nalt-stub listening on HOST:PORT", then reads one line
// per connection and answers one line before closing it:
//   START  "OK started" while stopped, "ERR already running" while running
//   STOP   "OK stopped" while running, "ERR not running" while stopped
//   other  "ERR unknown command"
// A line over 1 KiB gets "ERR line too long"; a client that has not sent a
// whole line within NALT_STUB_IDLE_MS (default 5000) is dropped unanswered.
// Clients are served from one poll loop, so none can hold up another.
// SIGINT and SIGTERM end it with status 0.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxLine = 1024;
constexpr std::size_t kMaxClients = 512;

struct Client {
  int fd;
  std::string line;
  Clock::time_point deadline;
};

// The signal handler's only way out: a byte on this pipe wakes the poll loop.
int gSignalPipe[2] = {-1, -1};

void onSignal(int /*signal*/) {
  const int saved = errno;
  const char byte = 0;
  (void)!write(gSignalPipe[1], &byte, 1);
  errno = saved;
}

std::string envOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0' ? value : fallback;
}

bool setNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

int listenOn(const std::string& host, const std::string& port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* addresses = nullptr;
  const int resolved = getaddrinfo(host.c_str(), port.c_str(), &hints, &addresses);
  if (resolved != 0) {
    std::fprintf(stderr, "nalt-stub: cannot resolve %s:%s: %s\n", host.c_str(), port.c_str(),
                 gai_strerror(resolved));
    return -1;
  }
  int fd = -1;
  for (const addrinfo* a = addresses; a != nullptr; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (fd < 0)
      continue;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, 256) == 0 && setNonBlocking(fd))
      break;
    close(fd);
    fd = -1;
  }
  freeaddrinfo(addresses);
  if (fd < 0)
    std::fprintf(stderr, "nalt-stub: cannot listen on %s:%s: %s\n", host.c_str(), port.c_str(),
                 std::strerror(errno));
  return fd;
}

// What the service says to one command line; changes the state it reports on.
std::string answer(const std::string& line, bool& running) {
  if (line == "START") {
    if (running)
      return "ERR already running";
    running = true;
    return "OK started";
  }
  if (line == "STOP") {
    if (!running)
      return "ERR not running";
    running = false;
    return "OK stopped";
  }
  return "ERR unknown command";
}

// A command line shown in the log: printable bytes only, and not too many.
std::string printable(const std::string& line) {
  std::string shown;
  for (const char c : line.substr(0, 40))
    shown += (c >= 0x20 && c < 0x7f) ? c : '?';
  return line.size() > 40 ? shown + "..." : shown;
}

void reply(const Client& client, const std::string& text) {
  const std::string bytes = text + "\n";
  // The socket buffer is empty, so the short reply fits at once; a client
  // that has already gone away just loses it.
  (void)!send(client.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  std::printf("nalt-stub: %s\n", text.c_str());
}

// Reads what the client sent; true when the client is done with (answered,
// refused or gone) and should be closed.
bool serve(Client& client, bool& running) {
  char buffer[4096];
  const ssize_t received = recv(client.fd, buffer, sizeof buffer, 0);
  if (received < 0)
    return errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK;
  if (received == 0)
    return true;
  client.line.append(buffer, static_cast<std::size_t>(received));
  const std::size_t end = client.line.find('\n');
  if (end == std::string::npos || end > kMaxLine) {
    if (client.line.size() <= kMaxLine)
      return false;
    reply(client, "ERR line too long");
    return true;
  }
  std::string line = client.line.substr(0, end);
  if (!line.empty() && line.back() == '\r')
    line.pop_back();
  std::printf("nalt-stub: request %s\n", printable(line).c_str());
  reply(client, answer(line, running));
  return true;
}

int run(int listener, std::chrono::milliseconds idle) {
  bool running = false;
  std::vector<Client> clients;
  std::vector<pollfd> fds;
  for (;;) {
    fds.clear();
    fds.push_back({gSignalPipe[0], POLLIN, 0});
    fds.push_back({clients.size() < kMaxClients ? listener : -1, POLLIN, 0});
    auto wake = Clock::now() + idle;
    for (const Client& client : clients) {
      fds.push_back({client.fd, POLLIN, 0});
      wake = std::min(wake, client.deadline);
    }
    const auto wait =
        std::chrono::duration_cast<std::chrono::milliseconds>(wake - Clock::now()).count();
    if (poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(wait, 0) + 1)) < 0 &&
        errno != EINTR) {
      std::perror("nalt-stub: poll");
      return 1;
    }
    if (fds[0].revents != 0)
      break;

    const auto now = Clock::now();
    std::vector<Client> kept;
    for (std::size_t i = 0; i < clients.size(); ++i) {
      Client& client = clients[i];
      const short events = fds[i + 2].revents;
      const bool done = events != 0 ? serve(client, running) : client.deadline <= now;
      if (done)
        close(client.fd);
      else
        kept.push_back(std::move(client));
    }
    clients.swap(kept);

    if (fds[1].revents != 0) {
      for (;;) {
        const int fd = accept(listener, nullptr, nullptr);
        if (fd < 0)
          break;
        if (!setNonBlocking(fd)) {
          close(fd);
          continue;
        }
        clients.push_back({fd, std::string(), Clock::now() + idle});
        if (clients.size() >= kMaxClients)
          break;
      }
    }
  }
  for (const Client& client : clients)
    close(client.fd);
  std::printf("nalt-stub: shutting down\n");
  return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc > 1) {
    std::fprintf(stderr,
                 "usage: %s\n"
                 "Serves the nalt control protocol on NALT_HOST:NALT_PORT "
                 "(default 127.0.0.1:9090; port 0 picks a free port).\n",
                 argv[0]);
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const long idleMs = std::strtol(envOr("NALT_STUB_IDLE_MS", "5000").c_str(), nullptr, 10);

  if (pipe(gSignalPipe) != 0 || !setNonBlocking(gSignalPipe[1])) {
    std::perror("nalt-stub: pipe");
    return 1;
  }
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  const int listener = listenOn(envOr("NALT_HOST", "127.0.0.1"), envOr("NALT_PORT", "9090"));
  if (listener < 0)
    return 1;
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &length);
  char address[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &bound.sin_addr, address, sizeof address);
  std::printf("nalt-stub listening on %s:%u\n", address, ntohs(bound.sin_port));

  const int status = run(listener, std::chrono::milliseconds(idleMs > 0 ? idleMs : 5000));
  close(listener);
  return status;
}
