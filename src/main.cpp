// naltctl: sends one command word ("START" or "STOP") to the nalt service's control port over TCP
// and reports the reply line. Exit status: 0 when the service accepted the command, 1 for a bad
// command line, 3 when the exchange failed or the service refused.

#include <cstdio>
#include <cstring>
#include <string>

#include "port-range.h"
#include "sockets.h"

namespace {

constexpr int kSuccess = 0;
constexpr int kUsageError = 1;
constexpr int kConnectionError = 3;

void writeBytes(std::FILE* stream, const std::string& bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), stream);
}

void writeText(std::FILE* stream, const char* text) { std::fputs(text, stream); }

// Hands every byte of data to the platform. False on the first send that reports 0 or an error;
// what went before stays sent.
bool sendAll(SocketHandle handle, const std::string& data) {
  const char* cursor = data.data();
  std::size_t remaining = data.size();
  while (remaining != 0) {
    const auto sent = send(handle, cursor, static_cast<IoLength>(remaining), 0);
    if (sent < 0 && wasInterrupted())
      continue;
    if (sent <= 0)
      return false;
    cursor += sent;
    remaining -= static_cast<std::size_t>(sent);
  }
  return true;
}

// A reply is one line; a peer that streams without ever sending a line feed must not be able to run
// the client out of memory.
constexpr std::size_t kMaxReply = 65536;
static_assert(kMaxReply == 65536, "the too-long message names the bound");

// Reads until the reply holds a line feed, the peer closes, or kMaxReply bytes have come without a
// line feed. A receive error ends the reply like a close does: what arrived before it is still the
// reply.
std::string readResponse(SocketHandle handle) {
  std::string reply;
  char buffer[256];
  while (reply.size() < kMaxReply) {
    const auto received = recv(handle, buffer, static_cast<IoLength>(sizeof buffer), 0);
    if (received < 0 && wasInterrupted())
      continue;
    if (received <= 0)
      break;
    reply.append(buffer, static_cast<std::size_t>(received));
    // Only the new bytes can hold the first line feed.
    if (std::memchr(buffer, '\n', static_cast<std::size_t>(received)) != nullptr)
      break;
  }
  return reply;
}

// True when the first kMaxReply bytes of the reply hold no line feed.
bool isOverlong(const std::string& reply) {
  return reply.size() >= kMaxReply && std::memchr(reply.data(), '\n', kMaxReply) == nullptr;
}

// One exchange with the service: connect, send the command line, read the reply line, release
// everything, then report. Returns kSuccess only when the reply begins with "OK".
int sendCommandToNalt(const std::string& host, const std::string& port,
                      const std::string& command) {
  // POSIX has no library to start, so there the check is always passed.
  // cppcheck-suppress knownConditionTrueFalse
  if (!initializeSocketLibrary()) {
    writeText(stderr, "Failed to initialize socket library.\n");
    return kConnectionError;
  }

  addrinfo* addresses = nullptr;
  // A port number the resolver would wrap round to another port fails here as an unknown service
  // would (the rule, shared with nalt-stub, is in port-range.h).
  const int resolved =
      isPortOutOfRange(port) ? EAI_SERVICE : lookUpEndpoint(host, port, &addresses);
  if (resolved != 0) {
    writeText(stderr, "Failed to resolve nalt endpoint: ");
    writeText(stderr, gai_strerror(resolved));
    writeText(stderr, "\n");
    cleanupSocketLibrary();
    return kConnectionError;
  }

  SocketHandle handle = kInvalidSocket;
  for (const addrinfo* address = addresses; address != nullptr; address = address->ai_next) {
    handle = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
    if (handle == kInvalidSocket)
      continue;
    if (connect(handle, address->ai_addr, static_cast<int>(address->ai_addrlen)) == 0)
      break;
    closeSocket(handle);
    handle = kInvalidSocket;
  }
  freeaddrinfo(addresses);

  if (handle == kInvalidSocket) {
    writeText(stderr, "Failed to connect to nalt at ");
    writeBytes(stderr, host);
    writeText(stderr, ":");
    writeBytes(stderr, port);
    writeText(stderr, "\n");
    cleanupSocketLibrary();
    return kConnectionError;
  }

  if (!sendAll(handle, command + "\n")) {
    writeText(stderr, "Failed to send command to nalt.\n");
    closeSocket(handle);
    cleanupSocketLibrary();
    return kConnectionError;
  }

  // Everything is released before the reply is judged, so no outcome below can leave the socket or
  // the library behind.
  const std::string reply = readResponse(handle);
  closeSocket(handle);
  cleanupSocketLibrary();

  if (isOverlong(reply)) {
    writeText(stderr, "nalt response too long: no line feed in the first 65536 bytes.\n");
    return kConnectionError;
  }
  if (reply.compare(0, 2, "OK") != 0) {
    writeText(stderr, "nalt rejected command: ");
    writeBytes(stderr, reply);
    if (reply.empty())
      writeText(stderr, "empty response\n");
    return kConnectionError;
  }
  writeText(stdout, "Sent command: ");
  writeBytes(stdout, command);
  writeText(stdout, "\n");
  writeText(stdout, "nalt response: ");
  writeBytes(stdout, reply);
  return kSuccess;
}

void printUsage(const char* name) {
  writeText(stderr, "Usage:\n  ");
  writeText(stderr, name);
  writeText(stderr, " START\n  ");
  writeText(stderr, name);
  writeText(stderr, " STOP\n");
}

}  // namespace

int main(int argc, char* argv[]) {
  ignoreClosedPipes();
  // An empty argument vector reaches us as none at all or, on Linux, as a single empty argument 0:
  // then there is no name to show but the program's own. Otherwise argument 0 is shown as received,
  // even empty.
  const char* name = argc > 1 || (argc == 1 && argv[0][0] != '\0') ? argv[0] : "naltctl";
  if (argc <= 1) {
    printUsage(name);
    return kUsageError;
  }

  const std::string host = getEnvOrDefault("NALT_HOST", "127.0.0.1");
  const std::string port = getEnvOrDefault("NALT_PORT", "9090");

  const std::string word = argv[1];
  if (word == "START" || word == "STOP") {
    if (argc != 2) {
      printUsage(name);
      return kUsageError;
    }
    return sendCommandToNalt(host, port, word);
  }
  writeText(stderr, "Unsupported command: ");
  writeBytes(stderr, word);
  writeText(stderr, "\n");
  printUsage(name);
  return kUsageError;
}
