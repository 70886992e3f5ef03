// Fault injection for the black-box tests, preloaded into the client with
// LD_PRELOAD (POSIX only). It stages what TCP on loopback cannot: short
// sends, failing sends, short or failing receives, interrupted calls, and a
// resolver that returns several addresses. Each knob is an environment
// variable; unset, a call passes straight through.
//
//   FAULT_LOG=path          append one line per socket call: "socket 1",
//                           "connect 1 refused", "send 6 4", "recv 256 3",
//                           "close 1" (sockets by the order they were made;
//                           requested and returned byte counts), and
//                           "stdout" or "stderr" for the writes to a stream
//                           since the line before
//   FAULT_SOCKET_FAILS=n    the first n socket calls fail with EMFILE
//   FAULT_SEND_MAX=n        accept at most n bytes per send
//   FAULT_SEND_RESULT=0|-1  every send returns this (-1 with ECONNRESET)
//   FAULT_SEND_AFTER_RESET  before the first send, wait for the peer's reset
//                           and take its error, so the send meets a
//                           connection already known to be reset (EPIPE)
//   FAULT_RECV_MAX=n        deliver at most n bytes per recv
//   FAULT_RECV_FAIL_AFTER=n once n bytes have been received, recv fails
//                           with ECONNRESET
//   FAULT_EINTR             the first send and the first recv fail with EINTR
//   FAULT_ADDRESSES=a:p,... getaddrinfo returns these IPv4 endpoints, in order

#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

template <typename Function>
Function real(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

long knob(const char* name, long fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0' ? std::strtol(value, nullptr, 10) : fallback;
}

// The stream the last line of the log names, if it names one.
const FILE* lastStream = nullptr;

void note(const char* format, ...) {
  const char* path = std::getenv("FAULT_LOG");
  if (path == nullptr)
    return;
  lastStream = nullptr;
  char line[128];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  // Opened and closed per line, so the log takes no descriptor the client
  // could notice.
  const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) {
    (void)!write(fd, line, static_cast<std::size_t>(length));
    close(fd);
  }
}

void noteWrite(const FILE* stream) {
  if (stream == lastStream || (stream != stdout && stream != stderr))
    return;
  note(stream == stdout ? "stdout\n" : "stderr\n");
  lastStream = stream;
}

bool interruptOnce(bool& done) {
  if (done || std::getenv("FAULT_EINTR") == nullptr)
    return false;
  done = true;
  errno = EINTR;
  return true;
}

// Which socket, by the order of creation, each descriptor holds.
int ordinals[1024];
int socketsMade = 0;

int ordinal(int fd) { return fd >= 0 && fd < 1024 ? ordinals[fd] : 0; }

bool sendInterrupted = false;
bool recvInterrupted = false;
bool resetAwaited = false;
long receivedTotal = 0;
addrinfo* fakeList = nullptr;

}  // namespace

extern "C" {

int socket(int domain, int type, int protocol) {
  static long failed = 0;
  if (failed < knob("FAULT_SOCKET_FAILS", 0)) {
    ++failed;
    note("socket failed\n");
    errno = EMFILE;
    return -1;
  }
  const int fd = real<int (*)(int, int, int)>("socket")(domain, type, protocol);
  if (fd >= 0 && fd < 1024)
    ordinals[fd] = ++socketsMade;
  note("socket %d\n", ordinal(fd));
  return fd;
}

int connect(int fd, const sockaddr* address, socklen_t length) {
  const int result = real<int (*)(int, const sockaddr*, socklen_t)>("connect")(fd, address, length);
  note("connect %d %s\n", ordinal(fd), result == 0 ? "ok" : "refused");
  return result;
}

int close(int fd) {
  if (ordinal(fd) != 0) {
    note("close %d\n", ordinal(fd));
    ordinals[fd] = 0;
  }
  return real<int (*)(int)>("close")(fd);
}

ssize_t send(int fd, const void* data, size_t length, int flags) {
  if (interruptOnce(sendInterrupted)) {
    note("send %zu eintr\n", length);
    return -1;
  }
  if (std::getenv("FAULT_SEND_AFTER_RESET") != nullptr && !resetAwaited) {
    resetAwaited = true;
    pollfd p{fd, POLLIN, 0};
    for (int i = 0; i < 100 && !(p.revents & (POLLHUP | POLLERR)); ++i)
      poll(&p, 1, 20);
    int error = 0;
    socklen_t size = sizeof error;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
  }
  const long forced = knob("FAULT_SEND_RESULT", 1);
  if (forced <= 0) {
    note("send %zu %ld\n", length, forced);
    errno = ECONNRESET;
    return forced;
  }
  const auto limit = static_cast<size_t>(knob("FAULT_SEND_MAX", static_cast<long>(length)));
  const ssize_t sent = real<ssize_t (*)(int, const void*, size_t, int)>("send")(
      fd, data, length < limit ? length : limit, flags);
  note("send %zu %zd\n", length, sent);
  return sent;
}

ssize_t recv(int fd, void* buffer, size_t length, int flags) {
  if (interruptOnce(recvInterrupted)) {
    note("recv %zu eintr\n", length);
    return -1;
  }
  const long failAfter = knob("FAULT_RECV_FAIL_AFTER", -1);
  if (failAfter >= 0 && receivedTotal >= failAfter) {
    note("recv %zu failed\n", length);
    errno = ECONNRESET;
    return -1;
  }
  const auto limit = static_cast<size_t>(knob("FAULT_RECV_MAX", static_cast<long>(length)));
  const ssize_t received = real<ssize_t (*)(int, void*, size_t, int)>("recv")(
      fd, buffer, length < limit ? length : limit, flags);
  if (received > 0)
    receivedTotal += received;
  note("recv %zu %zd\n", length, received);
  return received;
}

size_t fwrite(const void* data, size_t size, size_t count, FILE* stream) {
  noteWrite(stream);
  return real<size_t (*)(const void*, size_t, size_t, FILE*)>("fwrite")(data, size, count, stream);
}

int fputs(const char* text, FILE* stream) {
  noteWrite(stream);
  return real<int (*)(const char*, FILE*)>("fputs")(text, stream);
}

int fputc(int c, FILE* stream) {
  noteWrite(stream);
  return real<int (*)(int, FILE*)>("fputc")(c, stream);
}

// Fortified builds call this instead of recv.
ssize_t __recv_chk(int fd, void* buffer, size_t length, size_t, int flags) {
  return recv(fd, buffer, length, flags);
}

int getaddrinfo(const char* host, const char* service, const addrinfo* hints, addrinfo** result) {
  const char* list = std::getenv("FAULT_ADDRESSES");
  if (list == nullptr)
    return real<int (*)(const char*, const char*, const addrinfo*, addrinfo**)>("getaddrinfo")(
        host, service, hints, result);
  addrinfo** tail = result;
  *result = nullptr;
  for (const char* item = list; *item != '\0';) {
    const char* end = std::strchr(item, ',');
    const std::string endpoint(item, end != nullptr ? end : item + std::strlen(item));
    item = end != nullptr ? end + 1 : item + endpoint.size();
    const std::size_t colon = endpoint.rfind(':');
    auto* entry = static_cast<addrinfo*>(std::calloc(1, sizeof(addrinfo) + sizeof(sockaddr_in)));
    auto* address = reinterpret_cast<sockaddr_in*>(entry + 1);
    address->sin_family = AF_INET;
    // Read one way only, as the harness checks them: a numeric address and
    // a port of at most five digits that does not wrap round.
    const std::string port = colon == std::string::npos ? "" : endpoint.substr(colon + 1);
    if (inet_pton(AF_INET, endpoint.substr(0, colon).c_str(), &address->sin_addr) != 1 ||
        port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) > 65535)
      std::abort();
    address->sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
    entry->ai_family = AF_INET;
    entry->ai_socktype = SOCK_STREAM;
    entry->ai_protocol = IPPROTO_TCP;
    entry->ai_addr = reinterpret_cast<sockaddr*>(address);
    entry->ai_addrlen = sizeof(sockaddr_in);
    *tail = entry;
    tail = &entry->ai_next;
  }
  fakeList = *result;
  note("getaddrinfo\n");
  return 0;
}

void freeaddrinfo(addrinfo* list) {
  note("freeaddrinfo\n");
  if (list != fakeList) {
    real<void (*)(addrinfo*)>("freeaddrinfo")(list);
    return;
  }
  while (list != nullptr) {
    addrinfo* next = list->ai_next;
    std::free(list);
    list = next;
  }
  fakeList = nullptr;
}

}  // extern "C"
