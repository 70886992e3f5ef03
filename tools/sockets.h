// The socket calls nalt-stub and the test harness share, under naltctl's
// names: the one place where POSIX and Windows (Winsock) differ for them.
#pragma once

#include <cstdlib>
#include <string>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>

using SocketHandle = SOCKET;
using PollEntry = WSAPOLLFD;
constexpr SocketHandle kInvalidSocket = INVALID_SOCKET;

inline bool initializeSocketLibrary() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}
inline void cleanupSocketLibrary() { WSACleanup(); }
inline void closeSocket(SocketHandle handle) { closesocket(handle); }
inline int pollSockets(PollEntry* entries, unsigned n, int ms) { return WSAPoll(entries, n, ms); }
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
// Windows binds a port whose last connection is in TIME_WAIT anyway, and
// there SO_REUSEADDR would let another program take a port in use.
inline void allowQuickRebind(SocketHandle /*handle*/) {}
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

using SocketHandle = int;
using PollEntry = pollfd;
constexpr SocketHandle kInvalidSocket = -1;

inline bool initializeSocketLibrary() { return true; }
inline void cleanupSocketLibrary() {}
inline void closeSocket(SocketHandle handle) { close(handle); }
inline int pollSockets(PollEntry* entries, unsigned n, int ms) { return poll(entries, n, ms); }
inline std::string describeSocketError() { return std::strerror(errno); }
// A service started again takes its port while its last connections are in TIME_WAIT.
inline void allowQuickRebind(SocketHandle handle) {
  const int on = 1;
  setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}
#endif

// The variable's value, or fallback when it is unset or empty.
inline std::string getEnvOrDefault(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0' ? value : fallback;
}
