// nalt-stub: a stand-in nalt service for trying and testing naltctl where no real one runs;
// man/nalt-stub.1 says what it does.

#include <fcntl.h>  // for keepStandardDescriptors on POSIX; mingw-w64 has it too

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "port-range.h"
#include "sockets.h"

namespace {

// Set by a stop request; every wait looks at it at least every 0.1 s.
std::atomic<bool> gStopRequested{false};

#ifdef _WIN32
constexpr char kLineEnd[] = "\r\n";
// Ctrl+C or Ctrl+Break, on a thread of its own (a closed console ends at once).
BOOL WINAPI onConsoleEvent(DWORD /*event*/) { return gStopRequested = true; }
void handleStopRequests() {
  // The parent may have switched Ctrl+C off; a service ends on it all the same.
  SetConsoleCtrlHandler(nullptr, FALSE);
  SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}
void keepStandardDescriptors() {}  // sockets are no descriptors there
BOOL writeOut(const std::string& bytes) {
  DWORD written = 0;
  return WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()),
                   &written, nullptr);
}
#else
constexpr char kLineEnd[] = "\n";
void onStopSignal(int /*signal*/) { gStopRequested = true; }
void handleStopRequests() {
  std::signal(SIGINT, onStopSignal);
  std::signal(SIGTERM, onStopSignal);
}
// Started with 0, 1 or 2 closed, a socket would take that number and the log would go into a
// client's connection: they are held on /dev/null instead.
void keepStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd)
    if (fcntl(fd, F_GETFD) == -1)
      open("/dev/null", O_RDWR);
}
ssize_t writeOut(const std::string& bytes) { return write(1, bytes.data(), bytes.size()); }
#endif

// The log goes to stdout from a thread of its own, so that a reader who stops reading stalls that
// thread alone; a line that finds 100 waiting is dropped. The thread writes each line at once (a
// script waits for the first), by the system's write: stuck, it holds none of the C runtime's locks
// that ending the process takes. A line the system refuses is lost.
struct Log {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::string> lines;  // the first is the one being written
};

void say(Log& log, const std::string& line) {
  const std::lock_guard<std::mutex> hold(log.mutex);
  if (log.lines.size() < 100)
    log.lines.push_back(line + kLineEnd);
  log.changed.notify_all();
}

void writeLog(Log& log) {
  std::unique_lock<std::mutex> hold(log.mutex);
  for (;;) {
    log.changed.wait(hold, [&log] { return !log.lines.empty(); });
    const std::string line = log.lines.front();
    hold.unlock();
    writeOut(line);
    hold.lock();
    log.lines.pop_front();
    log.changed.notify_all();
  }
}

// True once the socket can be read (or has closed); false at the deadline or a stop.
bool waitReadable(SocketHandle handle, std::chrono::steady_clock::time_point deadline) {
  while (!gStopRequested && std::chrono::steady_clock::now() < deadline)
    if (readable(handle, 100))
      return true;
  return false;
}

// Listens on the first address (naltctl's first); kInvalidSocket once stderr says why. A failure to
// start Winsock shows here, in the first call it fails.
SocketHandle listenOn(const std::string& host, const std::string& port) {
  addrinfo* address = nullptr;
  const int resolved = lookUpEndpoint(host, port, &address);
  SocketHandle listener =
      resolved == 0 ? socket(address->ai_family, address->ai_socktype, 0) : kInvalidSocket;
  if (listener != kInvalidSocket)
    allowQuickRebind(listener);
  if (listener == kInvalidSocket ||
      bind(listener, address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0 ||
      listen(listener, 16) != 0) {
    const std::string reason = resolved != 0 ? gai_strerror(resolved) : describeSocketError();
    std::fprintf(stderr, "nalt-stub: cannot listen on %s:%s: %s\n", host.c_str(), port.c_str(),
                 reason.c_str());
    closeSocket(listener);
    listener = kInvalidSocket;
  }
  if (resolved == 0)
    freeaddrinfo(address);
  return listener;
}

std::string answer(const std::string& line, bool& running) {
  const bool start = line == "START";
  if (!start && line != "STOP")
    return "ERR unknown command";
  if (running == start)
    return start ? "ERR already running" : "ERR not running";
  running = start;
  return start ? "OK started" : "OK stopped";
}

// A request as the log shows it: control bytes, and all else outside printable ASCII, as '?', so
// that no client writes to the operator's terminal.
std::string printable(std::string line) {
  std::replace_if(
      line.begin(), line.end(), [](char c) { return c < 0x20 || c > 0x7e; }, '?');
  return line;
}

// Answers the client's line once it is whole or too long. A client that goes, or has no whole line
// 5 s after it was accepted, whatever it sent, gets none.
void answerClient(Log& log, SocketHandle client, bool& running) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  std::string received;
  std::string line;
  while (received.find('\n') == std::string::npos && line.size() <= 1024) {
    char buffer[2048];
    const auto count = waitReadable(client, deadline)
                           ? recv(client, buffer, static_cast<int>(sizeof buffer), 0)
                           : 0;
    if (count <= 0)
      return;
    received.append(buffer, static_cast<std::size_t>(count));
    // The line end, LF or CR LF, does not count towards the limit.
    line = received.substr(0, received.find('\n'));
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
  }
  if (line.size() <= 1024)
    say(log, "nalt-stub: request " + printable(line));
  const std::string text = line.size() > 1024 ? "ERR line too long" : answer(line, running);
  const std::string bytes = text + "\n";
  // The empty socket buffer takes the short reply at once; a client gone loses it.
  send(client, bytes.data(), static_cast<int>(bytes.size()), 0);
  say(log, "nalt-stub: " + text);
}

}  // namespace

int main(int argc, char* argv[]) {
  keepStandardDescriptors();
  if (argc > 1) {
    std::fprintf(stderr,
                 "usage: %s\n"
                 "Serves the nalt control protocol on NALT_HOST:NALT_PORT "
                 "(default 127.0.0.1:9090; port 0 picks a free port).\n",
                 argv[0]);
    return 2;
  }
  const std::string port = getEnvOrDefault("NALT_PORT", "9090");
  if (isPortOutOfRange(port)) {
    std::fprintf(stderr,
                 "nalt-stub: NALT_PORT must be a port number from 0 to 65535 or a service name, "
                 "not \"%s\"\n",
                 port.c_str());
    return 2;
  }
  initializeSocketLibrary();
  ignoreClosedPipes();  // a client or log reader gone fails that write, not the service
  handleStopRequests();
  const std::string host = getEnvOrDefault("NALT_HOST", "127.0.0.1");
  const SocketHandle listener = listenOn(host, port);
  if (listener == kInvalidSocket)
    return 1;

  Log log;
  std::thread([&log] { writeLog(log); }).detach();
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &length);
  say(log, "nalt-stub listening on " + host + ":" + std::to_string(ntohs(bound.sin_port)));

  bool running = false;
  while (waitReadable(listener, std::chrono::steady_clock::time_point::max())) {
    const SocketHandle client = accept(listener, nullptr, nullptr);
    if (client == kInvalidSocket)
      continue;
    answerClient(log, client, running);
    closeSocket(client);
  }
  closeSocket(listener);
  cleanupSocketLibrary();
  // Half a second for what waits; no return: a stuck writer must not outlive the log.
  std::unique_lock<std::mutex> hold(log.mutex);
  log.changed.wait_for(hold, std::chrono::milliseconds(500), [&log] { return log.lines.empty(); });
  std::_Exit(0);
}
