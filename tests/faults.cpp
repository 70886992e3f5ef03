// Fault injection, preloaded into the client (LD_PRELOAD, POSIX only): what TCP on loopback cannot
// stage, as these variables say; unset, calls pass.
//   FAULT_LOG=path          a line per call, of what the client got: "socket 1", "connect 1
//   refused",
//                           "send 6 4", "recv 256 eintr", "close 1" (sockets by the order made;
//                           bytes asked and given); "stdout" or "stderr": writes to that stream
//   FAULT_SOCKET_FAILS=n    the first n socket calls fail with EMFILE
//   FAULT_SEND_MAX=n        accept at most n bytes per send
//   FAULT_SEND_RESULT=0|-1  every send returns this (-1 with ECONNRESET)
//   FAULT_SEND_AFTER_RESET  the first send waits for the peer's reset first
//   FAULT_RECV_MAX=n        deliver at most n bytes per recv
//   FAULT_RECV_FAIL_AFTER=n once n bytes have come, recv fails (ECONNRESET)
//   FAULT_EINTR             the first send and the first recv fail with EINTR
//   FAULT_ADDRESSES=a:p,... getaddrinfo returns these IPv4 endpoints, in order

#include <dlfcn.h>
#include <fcntl.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <sstream>

#include "sockets.h"

namespace {

// The call `name` as the next library defines it.
template <typename Result, typename... Args>
Result passOn(const char* name, Args... args) {
  return reinterpret_cast<Result (*)(Args...)>(dlsym(RTLD_NEXT, name))(args...);
}

// The stream the last line of the log names, if it names one.
const FILE* lastStream = nullptr;

void note(const char* format, ...) {
  const char* path = std::getenv("FAULT_LOG");
  if (path == nullptr)
    return;
  lastStream = nullptr;
  // Opened and closed per line, so the log takes no descriptor the client could notice.
  const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  va_list args;
  va_start(args, format);
  vdprintf(fd, format, args);
  va_end(args);
  passOn<int>("close", fd);
}

void noteWrite(const FILE* stream) {
  if (stream != lastStream && (stream == stdout || stream == stderr))
    note(stream == stdout ? "stdout\n" : "stderr\n");
  lastStream = stream;
}

// With FAULT_EINTR, whether this is the first call of its kind, which fails.
bool interrupted(bool& done) {
  if (done || std::getenv("FAULT_EINTR") == nullptr)
    return false;
  errno = EINTR;
  return done = true;
}

// Logs what a send or recv gave the client, and gives it: noted from the result itself, so that a
// fault is in the log only if the client met it.
ssize_t noted(const char* call, size_t length, ssize_t result, const char* failed) {
  const int error = errno;
  const std::string word = result >= 0 ? std::to_string(result) : error == EINTR ? "eintr" : failed;
  note("%s %zu %s\n", call, length, word.c_str());
  errno = error;
  return result;
}

// Which socket, by the order of creation, each descriptor holds.
int ordinals[1024], socketsMade = 0;

int ordinal(int fd) { return fd >= 0 && fd < 1024 ? ordinals[fd] : 0; }

bool sendInterrupted = false, recvInterrupted = false, resetAwaited = false;
long receivedTotal = 0;

}  // namespace

extern "C" {

int socket(int domain, int type, int protocol) {
  static long failed = 0;
  if (failed < std::stol(getEnvOrDefault("FAULT_SOCKET_FAILS", "0"))) {
    ++failed;
    note("socket failed\n");
    errno = EMFILE;
    return -1;
  }
  const int fd = passOn<int>("socket", domain, type, protocol);
  if (fd >= 0 && fd < 1024)
    ordinals[fd] = ++socketsMade;
  note("socket %d\n", ordinal(fd));
  return fd;
}

int connect(int fd, const sockaddr* address, socklen_t length) {
  const int result = passOn<int>("connect", fd, address, length);
  note("connect %d %s\n", ordinal(fd), result == 0 ? "ok" : "refused");
  return result;
}

int close(int fd) {
  if (ordinal(fd) != 0) {
    note("close %d\n", ordinal(fd));
    ordinals[fd] = 0;
  }
  return passOn<int>("close", fd);
}

static ssize_t sendStaged(int fd, const void* data, size_t length, int flags) {
  if (interrupted(sendInterrupted))
    return -1;
  if (std::getenv("FAULT_SEND_AFTER_RESET") != nullptr && !resetAwaited) {
    resetAwaited = true;  // its error taken, the send meets a connection known reset (EPIPE)
    pollfd p{fd, POLLIN, 0};
    for (int i = 0; i < 100 && !(p.revents & (POLLHUP | POLLERR)); ++i)
      poll(&p, 1, 20);
    int error = 0;
    socklen_t size = sizeof error;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
  }
  const long forced = std::stol(getEnvOrDefault("FAULT_SEND_RESULT", "1"));
  if (forced <= 0) {
    errno = ECONNRESET;
    return forced;
  }
  const auto most = std::stoul(getEnvOrDefault("FAULT_SEND_MAX", std::to_string(length)));
  return passOn<ssize_t>("send", fd, data, std::min(length, most), flags);
}

ssize_t send(int fd, const void* data, size_t length, int flags) {
  return noted("send", length, sendStaged(fd, data, length, flags), "-1");
}

static ssize_t recvStaged(int fd, void* buffer, size_t length, int flags) {
  if (interrupted(recvInterrupted))
    return -1;
  const long failAfter = std::stol(getEnvOrDefault("FAULT_RECV_FAIL_AFTER", "-1"));
  if (failAfter >= 0 && receivedTotal >= failAfter) {
    errno = ECONNRESET;
    return -1;
  }
  const auto most = std::stoul(getEnvOrDefault("FAULT_RECV_MAX", std::to_string(length)));
  const auto received = passOn<ssize_t>("recv", fd, buffer, std::min(length, most), flags);
  receivedTotal += std::max<ssize_t>(received, 0);
  return received;
}

ssize_t recv(int fd, void* buffer, size_t length, int flags) {
  return noted("recv", length, recvStaged(fd, buffer, length, flags), "failed");
}

size_t fwrite(const void* data, size_t size, size_t count, FILE* stream) {
  noteWrite(stream);
  return passOn<size_t>("fwrite", data, size, count, stream);
}

int fputs(const char* text, FILE* stream) {
  noteWrite(stream);
  return passOn<int>("fputs", text, stream);
}

int fputc(int c, FILE* stream) {
  noteWrite(stream);
  return passOn<int>("fputc", c, stream);
}

// Fortified builds call this instead of recv.
ssize_t __recv_chk(int fd, void* buffer, size_t length, size_t, int flags) {
  return recv(fd, buffer, length, flags);
}

int getaddrinfo(const char* host, const char* service, const addrinfo* hints, addrinfo** result) {
  const char* list = std::getenv("FAULT_ADDRESSES");
  if (list == nullptr)
    return passOn<int>("getaddrinfo", host, service, hints, result);
  // Each read by the lookup the harness's guard reads it with, as the same endpoint.
  const auto resolve = reinterpret_cast<Resolver>(dlsym(RTLD_NEXT, "getaddrinfo"));
  *result = nullptr;
  addrinfo** tail = result;
  std::istringstream endpoints(list);
  for (std::string endpoint; std::getline(endpoints, endpoint, ',');) {
    const std::string address = endpoint.substr(0, endpoint.rfind(':'));
    const std::string port = endpoint.substr(address.size() + 1);
    if (lookUpEndpoint(address, port, tail, AI_NUMERICHOST, resolve) != 0)
      std::abort();
    while (*tail != nullptr)
      tail = &(*tail)->ai_next;
  }
  note("getaddrinfo\n");
  return 0;
}

// The list of several endpoints is the resolver's own lists chained.
void freeaddrinfo(addrinfo* list) {
  note("freeaddrinfo\n");
  passOn<void>("freeaddrinfo", list);
}

}  // extern "C"
