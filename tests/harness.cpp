#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "harness-platform.h"

namespace {

template <typename Value>
void setOption(SocketHandle s, int level, int name, const Value& value) {
  setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value);
}

// Winsock is started once, at the test process's first socket or resolver call, and kept for its
// life: each start is a reference a stop would owe.
void startSocketsOnce() { [[maybe_unused]] static const bool started = initializeSocketLibrary(); }

// A TCP socket whose sends give up after 10 s, so that a peer which stops reading cannot hang a
// test.
SocketHandle newSocket() {
  startSocketsOnce();
  const SocketHandle s = socket(AF_INET, SOCK_STREAM | kCloseOnExec, 0);
  limitSendTime(s, 10);
  return s;
}

// A reset connection makes it fail rather than end the process.
int sendSome(SocketHandle s, const char* data, std::size_t length) {
  return static_cast<int>(send(s, data, static_cast<int>(length), kNoSignal));
}

// Appends to `into` whatever arrives until the peer closes (then true), `stopAtLine` sees a line
// feed, or `ms` passes without a byte.
bool collect(SocketHandle s, std::string& into, bool stopAtLine, int ms) {
  char buffer[4096];
  while (!(stopAtLine && into.find('\n') != std::string::npos) && readable(s, ms)) {
    const auto n = recv(s, buffer, static_cast<int>(sizeof buffer), 0);
    if (n <= 0)
      return true;
    into.append(buffer, static_cast<std::size_t>(n));
  }
  return false;
}

void resetSocket(SocketHandle s) {
  setOption(s, SOL_SOCKET, SO_LINGER, linger{1, 0});
  closeSocket(s);
}

// The resolver's list for `host` and `port`, as the programs ask for it; null when none.
addrinfo* resolve(const std::string& host, const std::string& port, int flags = 0) {
  addrinfo* list = nullptr;
  startSocketsOnce();
  return lookUpEndpoint(host, port, &list, flags) == 0 ? list : nullptr;
}

// The endpoint `host` and `port` name, as the programs look it up; all 0 when they name none.
sockaddr_in loopback(const std::string& host, const std::string& port) {
  sockaddr_in address{};
  if (addrinfo* list = resolve(host, port)) {
    std::memcpy(&address, list->ai_addr, sizeof address);
    freeaddrinfo(list);
  }
  return address;
}

// A real service listens on 127.0.0.1:9090, where the programs go by default. Whether `host` and
// `port` (empty: those defaults) lead there, as the resolver reads them: "09090", " 9090", a number
// that wraps round to 9090, "127.1", "0.0.0.0" and "localhost" all do. Tests must fail instead.
void refuseRealService(const std::string& host, const std::string& port, int flags = 0) {
  addrinfo* list = resolve(host.empty() ? "127.0.0.1" : host, port.empty() ? "9090" : port, flags);
  if (list == nullptr && flags != 0)  // the fault library would read it otherwise
    throw std::runtime_error("refused: \"" + host + ":" + port + "\" is no numeric IPv4 endpoint");
  if (list == nullptr)
    return;
  bool real = false;
  for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
    const auto* address = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
    const std::uint32_t ip = ntohl(address->sin_addr.s_addr);
    real |= ntohs(address->sin_port) == 9090 && (ip == INADDR_LOOPBACK || ip == INADDR_ANY);
  }
  freeaddrinfo(list);
  if (real)
    throw std::runtime_error("refused: host \"" + host + "\" and port \"" + port +
                             "\" lead to 127.0.0.1:9090, where a real service listens");
}

// Appends all `from` gives until its end, then closes it.
void drain(Handle from, std::string* into) {
  char buffer[4096];
  for (long n; (n = readSome(from, buffer, sizeof buffer)) > 0;)
    into->append(buffer, static_cast<std::size_t>(n));
  closeHandle(from);
}

// The test's environment less every NALT_ variable, plus `env`, guarded.
std::vector<std::string> environmentFor(const EnvChanges& env) {
  std::vector<std::string> environment;
  for (char** e = inheritedEnvironment(); *e != nullptr; ++e)
    if (std::strncmp(*e, "NALT_", 5) != 0)
      environment.emplace_back(*e);
  // Taken last to first, so that a later change to a name wins.
  std::map<std::string, std::optional<std::string>> changes(env.rbegin(), env.rend());
  const bool defaults = changes.count("NALT_HOST") + changes.count("NALT_PORT") == 2 &&
                        !changes["NALT_HOST"] && !changes["NALT_PORT"];
  if (!defaults || !isolatedNetwork())
    refuseRealService(changes["NALT_HOST"].value_or(""), changes["NALT_PORT"].value_or(""));
  // What the fault library makes the client's resolver give (numeric only).
  std::istringstream faked(changes["FAULT_ADDRESSES"].value_or(""));
  for (std::string endpoint; std::getline(faked, endpoint, ',');) {
    const std::size_t colon = endpoint.rfind(':');
    refuseRealService(endpoint.substr(0, colon), endpoint.substr(colon + 1), AI_NUMERICHOST);
  }
  for (const auto& [name, value] : changes)
    if (value)
      environment.push_back(name + "=" + *value);
  return environment;
}

// Plays the script on one connection.
void play(ScriptedPeer& peer, SocketHandle fd) {
  const PeerScript& script = peer.script;
  std::string request;
  if (script.readRequest)
    collect(fd, request, true, 5000);
  if (script.drip) {
    setOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    for (const char c : script.reply) {
      sendSome(fd, &c, 1);
      sleepMs(20);
    }
  } else if (!script.reply.empty()) {
    sendSome(fd, script.reply.data(), script.reply.size());
  }
  if (!script.later.empty()) {
    sleepMs(1000);  // for the client to have read `reply`, even on a loaded machine
    sendSome(fd, script.later.data(), script.later.size());
  }
  const std::string chunk(65536, 'x');
  while (peer.streamed < script.stream) {
    const int n = sendSome(fd, chunk.data(), std::min(chunk.size(), script.stream - peer.streamed));
    if (n <= 0)
      break;
    peer.streamed += static_cast<std::size_t>(n);
  }
  if (script.end == PeerEnd::Reset) {
    resetSocket(fd);
  } else {
    // Held open longer than a run may last, so a client that waits for the close is caught as a
    // hang rather than freed by the peer giving up.
    if (script.end == PeerEnd::Close)
      shutdown(fd, kShutSend);
    collect(fd, request, false, script.end == PeerEnd::Close ? 5000 : 30000);
    closeSocket(fd);
  }
  peer.received.push_back(request);
}

void serve(ScriptedPeer& peer) {
  // One last look after the stop, so a connection the client made just before it exited is still
  // counted.
  for (bool last = false; !last;) {
    last = peer.stop;
    while (readable(peer.listener, last ? 0 : 20)) {
      const SocketHandle fd = accept(peer.listener, nullptr, nullptr);
      if (fd == kInvalidSocket)
        break;
      play(peer, fd);
    }
  }
}

}  // namespace

ScriptedPeer::ScriptedPeer(PeerScript played) : script(std::move(played)), listener(newSocket()) {
  allowQuickRebind(listener);
  sockaddr_in address = loopback(script.host, std::to_string(script.port));
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 16) != 0) {
    error = "cannot listen on " + script.host + ":" + std::to_string(script.port);
    script.listen = false;
  }
  socklen_t length = sizeof address;
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  port = ntohs(address.sin_port);
  if (script.listen)
    thread = std::thread([this] { serve(*this); });
  else
    closeSocket(listener);
}

std::vector<std::string> ScriptedPeer::quit() {
  stop = true;
  if (thread.joinable()) {
    thread.join();
    closeSocket(listener);
  }
  return received;
}

Connection::Connection(const std::string& port, const std::string& host) {
  const auto number = static_cast<std::uint16_t>(std::stoi(port));
  refuseRealService(host, std::to_string(number));
  socket_ = newSocket();
  sockaddr_in address = loopback(host, std::to_string(number));
  if (connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    std::abort();
}

Connection::~Connection() {
  if (socket_ != kInvalidSocket)
    closeSocket(socket_);
}

void Connection::send(const std::string& bytes) { sendSome(socket_, bytes.data(), bytes.size()); }

std::string Connection::receive(int ms) {
  std::string received;
  closed = collect(socket_, received, false, ms) || closed;
  return received;
}

void Connection::reset() {
  resetSocket(socket_);
  socket_ = kInvalidSocket;
}

std::string talk(const std::string& port, const std::string& request, const std::string& host) {
  Connection connection(port, host);
  connection.send(request);
  return connection.receive();
}

std::uint16_t servicePort(const char* name) { return ntohs(loopback("127.0.0.1", name).sin_port); }

std::uint16_t closedPort() {
  PeerScript script;
  script.listen = false;
  return ScriptedPeer(script).port;
}

std::vector<std::string> clientLauncher() {
  std::vector<std::string> words;
  std::istringstream in(getEnvOrDefault("NALTCTL_LAUNCHER", ""));
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

std::string clientPath() { return getEnvOrDefault("NALTCTL", besideTests(NALTCTL_DEFAULT_PATH)); }

std::string stubPath() { return besideTests(NALT_STUB_DEFAULT_PATH); }

RunResult runProgram(const std::string& program, const std::vector<std::string>& argv,
                     const EnvChanges& env, Output output, int seconds) {
  const std::vector<std::string> environment = environmentFor(env);  // first: it may throw
  const Pipe out = openPipe(0), err = openPipe(0);
  Handle sink = output == Output::Full ? openFull() : -1;  // -1: closed
  if (output == Output::Gone) {
    const Pipe gone = openPipe(0);
    closeHandle(gone.read);
    sink = gone.write;
  }
  const bool captured = output == Output::Captured;
  const Handle process = spawn(program, argv, environment, captured ? out.write : sink,
                               captured ? err.write : sink, false);
  for (const Handle h : {out.write, err.write, sink})
    closeHandle(h);
  RunResult run;
  std::thread readers[] = {std::thread(drain, out.read, &run.out),
                           std::thread(drain, err.read, &run.err)};
  run.status = waitForExit(process, seconds * 1000, &run);
  for (std::thread& reader : readers)
    reader.join();
  return run;
}

Background startProgram(const std::vector<std::string>& argv, const EnvChanges& env) {
  const std::vector<std::string> environment = environmentFor(env);  // first: it may throw
  // The smallest pipe, so that a program which waits for its output to be read is caught within a
  // few hundred lines.
  const Pipe output = openPipe(4096);
  const Handle process = spawn(argv.front(), argv, environment, output.write, output.write, true);
  closeHandle(output.write);
  return {process, output.read};
}

std::string readLine(const Background& program, int ms) {
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (char c = 0; c != '\n' && std::chrono::steady_clock::now() < deadline;) {
    const long n = readSome(program.output, &c, 1, 10);
    if (n == 0)
      break;
    line.append(n > 0 ? 1 : 0, c);
  }
  return line;
}

int stopProgram(Background& program, bool interrupt) {
  const int status = program.id != 0 ? stopProcess(program.id, interrupt) : -1;
  // Only now: a program stuck on its output must be seen to be stuck.
  if (program.output != 0)
    closeHandle(program.output);
  program = {};
  return status;
}
