// The socket calls naltctl, nalt-stub and the tests share: the one place where POSIX and Windows
// (Winsock) differ for them, and the one way each looks up an endpoint. Everything stays file-local
// to its includer, as port-range.h does, so the client's one external symbol is still main.
#pragma once

#include <cstdlib>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#endif

namespace {

#ifdef _WIN32
constexpr bool kWindows = true;
using SocketHandle = SOCKET;
using IoLength = int;
using PollEntry = WSAPOLLFD;
constexpr SocketHandle kInvalidSocket = INVALID_SOCKET;
constexpr int kCloseOnExec = 0;  // Windows handles are not inherited unless asked
constexpr int kNoSignal = 0;     // Windows raises no signal for a reset connection
constexpr int kShutSend = SD_SEND;

inline void ignoreClosedPipes() {}
inline bool initializeSocketLibrary() {
  WSADATA data;
  std::memset(&data, 0, sizeof data);
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}
inline void cleanupSocketLibrary() { WSACleanup(); }
inline void closeSocket(SocketHandle handle) { closesocket(handle); }
inline bool wasInterrupted() { return false; }
inline int pollSockets(PollEntry* entry, int ms) { return WSAPoll(entry, 1, ms); }
// The last error's number, and the system's words where it has them (Wine mostly has none).
inline std::string describeSocketError() {
  const int error = WSAGetLastError();
  char text[512] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
  std::string words = text;
  words.erase(words.find_last_not_of(" \r\n") + 1);
  return "Winsock error " + std::to_string(error) + (words.empty() ? "" : ": " + words);
}
// Windows binds a port whose last connection is in TIME_WAIT anyway, and there SO_REUSEADDR would
// let another program take a port in use.
inline void allowQuickRebind(SocketHandle /*handle*/) {}
inline void limitSendTime(SocketHandle handle, int seconds) {
  const DWORD ms = static_cast<DWORD>(seconds) * 1000;
  setsockopt(handle, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
}
#else
constexpr bool kWindows = false;
using SocketHandle = int;
using IoLength = std::size_t;
using PollEntry = pollfd;
constexpr SocketHandle kInvalidSocket = -1;
constexpr int kCloseOnExec = SOCK_CLOEXEC;
constexpr int kNoSignal = MSG_NOSIGNAL;
constexpr int kShutSend = SHUT_WR;

// A reader of stdout or stderr that has gone, or a peer that reset the connection, must make that
// one write fail, not end the process with SIGPIPE. Set once, first thing, so it covers every write
// on every path.
inline void ignoreClosedPipes() { std::signal(SIGPIPE, SIG_IGN); }
inline bool initializeSocketLibrary() { return true; }
inline void cleanupSocketLibrary() {}
inline void closeSocket(SocketHandle handle) { close(handle); }
inline bool wasInterrupted() { return errno == EINTR; }
inline int pollSockets(PollEntry* entry, int ms) { return poll(entry, 1, ms); }
inline std::string describeSocketError() { return std::strerror(errno); }
// A service started again takes its port while its last connections are in TIME_WAIT.
inline void allowQuickRebind(SocketHandle handle) {
  const int on = 1;
  setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}
inline void limitSendTime(SocketHandle handle, int seconds) {
  const timeval limit{seconds, 0};
  setsockopt(handle, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}
#endif

// Whether `handle` can be read (or has closed) within `ms`.
inline bool readable(SocketHandle handle, int ms) {
  PollEntry entry{handle, POLLIN, 0};
  return pollSockets(&entry, ms) > 0;
}

// The variable's value, or fallback when it is unset or empty.
inline std::string getEnvOrDefault(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0' ? value : fallback;
}

using Resolver = int (*)(const char*, const char*, const addrinfo*, addrinfo**);

// The endpoints for `host` and `port` (a number or a service name) as naltctl asks for them, IPv4
// and stream: so nalt-stub listens where the client connects, and the tests' guard judges where a
// program would go. The fault library, which wraps the resolver, passes the one it wraps.
inline int lookUpEndpoint(const std::string& host, const std::string& port, addrinfo** list,
                          int flags = 0, Resolver resolve = getaddrinfo) {
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_flags = flags;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  return resolve(host.c_str(), port.c_str(), &hints, list);
}

}  // namespace
