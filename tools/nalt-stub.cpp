// nalt-stub: a stand-in nalt service, so that naltctl can be tried and tested
// where no real service runs. Builds for POSIX and for Windows (Winsock).
//
// Listens on NALT_HOST:NALT_PORT (default 127.0.0.1:9090; port 0 picks a
// free port), prints "nalt-stub listening on HOST:PORT", then reads one line
// per connection and answers one line before closing it:
//   START  "OK started" while stopped, "ERR already running" while running
//   STOP   "OK stopped" while running, "ERR not running" while stopped
//   other  "ERR unknown command"
// A line over 1 KiB (its line end not counted) gets "ERR line too long"; a
// client that has not sent a whole line within NALT_STUB_IDLE_MS of being
// accepted (default 5000, 1 to 86400000) is dropped unanswered. Clients are
// served from one poll loop, so none can hold up another: at most 512 are
// held, and at the cap the oldest (which has not sent a whole line, or it
// would have been answered) makes room. SIGINT and SIGTERM, or Ctrl+C,
// Ctrl+Break and closing the console on Windows, end it with status 0,
// whether or not anyone reads its log.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "port-range.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#endif

namespace {

// Wakes the poll loop to end it; a stop request's only action.
void wakeLoop();

#ifdef _WIN32
using SocketHandle = SOCKET;
using PollEntry = WSAPOLLFD;
constexpr SocketHandle kInvalidSocket = INVALID_SOCKET;

bool startNetworking() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}
void closeSocket(SocketHandle handle) { closesocket(handle); }
int pollSockets(PollEntry* entries, std::size_t count, int ms) {
  return WSAPoll(entries, static_cast<ULONG>(count), ms);
}
bool setNonBlocking(SocketHandle handle) {
  u_long on = 1;
  return ioctlsocket(handle, FIONBIO, &on) == 0;
}
int socketError() { return WSAGetLastError(); }
bool isTransient(int error) { return error == WSAEWOULDBLOCK || error == WSAEINTR; }
bool isOutOfDescriptors(int error) { return error == WSAEMFILE || error == WSAENOBUFS; }
// The number always, and the system's words where it has them (Wine has
// none for most Winsock errors).
std::string describeError(int error) {
  char text[512];
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                     static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
  std::string words(text, length);
  words.erase(words.find_last_not_of(" \r\n") + 1);
  const std::string number = "Winsock error " + std::to_string(error);
  return words.empty() ? number : number + ": " + words;
}
// Windows binds a port whose last connection is in TIME_WAIT anyway, and
// there SO_REUSEADDR would let another program take a port in use.
void allowQuickRebind(SocketHandle /*handle*/) {}
// Runs on a thread of its own. Closing the console ends the process once
// this returns, so it waits for the loop to finish and main to exit.
BOOL WINAPI onConsoleEvent(DWORD /*event*/) {
  wakeLoop();
  Sleep(INFINITE);
  return TRUE;
}
// Ctrl+C can arrive switched off by the parent (a process group of its own,
// or a parent that ignores it); a service must end on it all the same.
void handleStopRequests() {
  SetConsoleCtrlHandler(nullptr, FALSE);
  SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}
// Ends the process at once. Not _Exit: the runtime's exit still closes its
// streams, and waits for the log writer's hold on stdout.
[[noreturn]] void exitNow(int status) {
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
  std::abort();
}
#else
using SocketHandle = int;
using PollEntry = pollfd;
constexpr SocketHandle kInvalidSocket = -1;

bool startNetworking() { return true; }
void closeSocket(SocketHandle handle) { close(handle); }
int pollSockets(PollEntry* entries, std::size_t count, int ms) { return poll(entries, count, ms); }
bool setNonBlocking(SocketHandle handle) {
  const int flags = fcntl(handle, F_GETFL);
  return flags >= 0 && fcntl(handle, F_SETFL, flags | O_NONBLOCK) == 0;
}
int socketError() { return errno; }
bool isTransient(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }
bool isOutOfDescriptors(int error) { return error == EMFILE || error == ENFILE; }
std::string describeError(int error) { return std::strerror(error); }
void allowQuickRebind(SocketHandle handle) {
  const int on = 1;
  setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}
void onSignal(int /*signal*/) {
  const int saved = errno;
  wakeLoop();
  errno = saved;
}
void handleStopRequests() {
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A client that has gone loses its reply; it must not end the stub.
  std::signal(SIGPIPE, SIG_IGN);
}
// Ends the process at once, without the exit-time flush of stdout.
[[noreturn]] void exitNow(int status) { std::_Exit(status); }
#endif

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxLine = 1024;
constexpr std::size_t kMaxClients = 512;
constexpr long kMaxIdleMs = 86400000;

struct Client {
  SocketHandle socket;
  std::string line;
  Clock::time_point deadline;
};

// A loopback datagram socket connected to itself: a stop request (a signal
// handler, or Windows' console handler thread) sends it a byte, which wakes
// the poll loop. send is safe in a signal handler.
SocketHandle gWake = kInvalidSocket;

void wakeLoop() {
  const char byte = 0;
  send(gWake, &byte, 1, 0);
}

bool openWakeSocket() {
  gWake = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  return gWake != kInvalidSocket &&
         bind(gWake, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
         getsockname(gWake, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
         connect(gWake, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
         setNonBlocking(gWake);
}

// Log lines reach stdout through a queue that a thread of their own writes
// out, so a reader that stops reading stalls that thread alone: the service
// goes on serving and ends when asked. A line that finds the queue full is
// dropped, and the next one that fits says how many were.
struct Log {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::string> lines;
  unsigned long dropped = 0;
  bool closing = false;
  bool finished = false;
};

constexpr std::size_t kMaxQueuedLines = 1000;

void say(Log& log, std::string line) {
  const std::lock_guard<std::mutex> hold(log.mutex);
  if (log.lines.size() >= kMaxQueuedLines) {
    ++log.dropped;
    return;
  }
  if (log.dropped != 0)
    log.lines.push_back("nalt-stub: " + std::to_string(log.dropped) + " log lines dropped");
  log.dropped = 0;
  log.lines.push_back(std::move(line));
  log.changed.notify_all();
}

// The writer thread: each line flushed at once, since a script waits for
// them and Windows has no line buffering.
void writeLog(Log& log) {
  std::unique_lock<std::mutex> hold(log.mutex);
  for (;;) {
    log.changed.wait(hold, [&log] { return !log.lines.empty() || log.closing; });
    if (log.lines.empty())
      break;
    const std::string line = std::move(log.lines.front()) + "\n";
    log.lines.pop_front();
    hold.unlock();
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
    hold.lock();
  }
  log.finished = true;
  log.changed.notify_all();
}

// Gives the writer a moment to write what is queued; true when it is done.
bool closeLog(Log& log) {
  std::unique_lock<std::mutex> hold(log.mutex);
  log.closing = true;
  log.changed.notify_all();
  return log.changed.wait_for(hold, std::chrono::milliseconds(500),
                              [&log] { return log.finished; });
}

std::string envOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0' ? value : fallback;
}

// A whole number of milliseconds from 1 to kMaxIdleMs, or 0.
long parseIdle(const std::string& text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
    return 0;
  const long ms = std::accumulate(text.begin(), text.end(), 0L, [](long sum, char digit) {
    return std::min(sum * 10 + (digit - '0'), kMaxIdleMs + 1);
  });
  return ms <= kMaxIdleMs ? ms : 0;
}

SocketHandle listenOn(const std::string& host, const std::string& port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* addresses = nullptr;
  const int resolved = getaddrinfo(host.c_str(), port.c_str(), &hints, &addresses);
  if (resolved != 0) {
    std::fprintf(stderr, "nalt-stub: cannot resolve %s:%s: %s\n", host.c_str(), port.c_str(),
                 gai_strerror(resolved));
    return kInvalidSocket;
  }
  SocketHandle listener = kInvalidSocket;
  int error = 0;
  for (const addrinfo* a = addresses; a != nullptr; a = a->ai_next) {
    listener = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (listener == kInvalidSocket)
      continue;
    allowQuickRebind(listener);
    if (bind(listener, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0 &&
        listen(listener, 256) == 0 && setNonBlocking(listener))
      break;
    error = socketError();
    closeSocket(listener);
    listener = kInvalidSocket;
  }
  freeaddrinfo(addresses);
  if (listener == kInvalidSocket)
    std::fprintf(stderr, "nalt-stub: cannot listen on %s:%s: %s\n", host.c_str(), port.c_str(),
                 describeError(error).c_str());
  return listener;
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

void reply(Log& log, const Client& client, const std::string& text) {
  const std::string bytes = text + "\n";
  // The socket buffer is empty, so the short reply fits at once; a client
  // that has already gone away just loses it.
  send(client.socket, bytes.data(), static_cast<int>(bytes.size()), 0);
  say(log, "nalt-stub: " + text);
}

// Reads what the client sent; true when the client is done with (answered,
// refused or gone) and should be closed.
bool serve(Log& log, Client& client, bool& running) {
  char buffer[4096];
  const auto received = recv(client.socket, buffer, static_cast<int>(sizeof buffer), 0);
  if (received < 0)
    return !isTransient(socketError());
  if (received == 0)
    return true;
  client.line.append(buffer, static_cast<std::size_t>(received));
  // The line end, LF or CR LF, does not count towards the limit.
  const std::size_t end = client.line.find('\n');
  std::string line = client.line.substr(0, end);
  if (!line.empty() && line.back() == '\r')
    line.pop_back();
  if (line.size() > kMaxLine) {
    reply(log, client, "ERR line too long");
    return true;
  }
  if (end == std::string::npos)
    return false;
  say(log, "nalt-stub: request " + printable(line));
  reply(log, client, answer(line, running));
  return true;
}

int run(Log& log, SocketHandle listener, std::chrono::milliseconds idle) {
  bool running = false;
  std::vector<Client> clients;
  std::vector<PollEntry> entries;
  // Set when accept ran out of descriptors: the listener stays readable, so
  // polling it would spin. It waits for a client to go, or a second.
  Clock::time_point acceptPausedUntil{};
  for (;;) {
    const bool accepting = Clock::now() >= acceptPausedUntil;
    entries.clear();
    entries.push_back({gWake, POLLIN, 0});
    if (accepting)
      entries.push_back({listener, POLLIN, 0});
    const std::size_t firstClient = entries.size();
    auto wake = Clock::now() + idle;
    if (!accepting)
      wake = std::min(wake, acceptPausedUntil);
    for (const Client& client : clients) {
      entries.push_back({client.socket, POLLIN, 0});
      wake = std::min(wake, client.deadline);
    }
    const auto wait =
        std::chrono::duration_cast<std::chrono::milliseconds>(wake - Clock::now()).count();
    if (pollSockets(entries.data(), entries.size(),
                    static_cast<int>(std::max<long long>(wait, 0) + 1)) < 0 &&
        !isTransient(socketError())) {
      std::fprintf(stderr, "nalt-stub: poll: %s\n", describeError(socketError()).c_str());
      return 1;
    }
    if (entries[0].revents != 0)
      break;

    const auto now = Clock::now();
    std::vector<Client> kept;
    for (std::size_t i = 0; i < clients.size(); ++i) {
      Client& client = clients[i];
      const short events = entries[firstClient + i].revents;
      if (events != 0 ? serve(log, client, running) : client.deadline <= now) {
        closeSocket(client.socket);
        acceptPausedUntil = {};
      } else {
        kept.push_back(std::move(client));
      }
    }
    clients.swap(kept);

    // A bounded batch, so the clients already held are read between batches.
    for (int batch = 0; accepting && entries[1].revents != 0 && batch < 64; ++batch) {
      const SocketHandle accepted = accept(listener, nullptr, nullptr);
      if (accepted == kInvalidSocket) {
        if (isOutOfDescriptors(socketError()))
          acceptPausedUntil = Clock::now() + std::chrono::seconds(1);
        break;
      }
      if (!setNonBlocking(accepted)) {
        closeSocket(accepted);
        continue;
      }
      if (clients.size() >= kMaxClients) {
        closeSocket(clients.front().socket);
        clients.erase(clients.begin());
      }
      clients.push_back({accepted, std::string(), Clock::now() + idle});
    }
  }
  for (const Client& client : clients)
    closeSocket(client.socket);
  say(log, "nalt-stub: shutting down");
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
  const std::string idleText = envOr("NALT_STUB_IDLE_MS", "5000");
  const long idleMs = parseIdle(idleText);
  if (idleMs == 0) {
    std::fprintf(stderr,
                 "nalt-stub: NALT_STUB_IDLE_MS must be a whole number of milliseconds from 1 to "
                 "%ld, not \"%s\"\n",
                 kMaxIdleMs, idleText.c_str());
    return 2;
  }
  const std::string port = envOr("NALT_PORT", "9090");
  if (isPortOutOfRange(port)) {
    std::fprintf(stderr,
                 "nalt-stub: NALT_PORT must be a port number from 0 to 65535 or a service name, "
                 "not \"%s\"\n",
                 port.c_str());
    return 2;
  }
  // cppcheck-suppress knownConditionTrueFalse ; POSIX has no library to start
  if (!startNetworking() || !openWakeSocket()) {
    std::fprintf(stderr, "nalt-stub: cannot set up its sockets: %s\n",
                 describeError(socketError()).c_str());
    return 1;
  }
  handleStopRequests();

  const SocketHandle listener = listenOn(envOr("NALT_HOST", "127.0.0.1"), port);
  if (listener == kInvalidSocket)
    return 1;
  Log log;
  std::thread writer(writeLog, std::ref(log));
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &length);
  char address[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &bound.sin_addr, address, sizeof address);
  say(log, std::string("nalt-stub listening on ") + address + ":" +
               std::to_string(ntohs(bound.sin_port)));

  const int status = run(log, listener, std::chrono::milliseconds(idleMs));
  closeSocket(listener);
  closeSocket(gWake);
  if (closeLog(log)) {
    writer.join();
    return status;
  }
  // The writer is stuck on a reader that has stopped reading: end without it.
  writer.detach();
  exitNow(status);
}
