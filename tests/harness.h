// What every black-box test needs: a loopback peer that plays a script, a connection to drive a
// service by hand, a runner of programs: harness.cpp, over the calls harness-platform.h names.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sockets.h"

// How the peer ends a connection, after the request line and `reply`.
enum class PeerEnd {
  Close,     // half-closes, then reads until the client closes
  HoldOpen,  // keeps the connection open and reads until the client closes
  Reset,     // aborts the connection with a reset
};

struct PeerScript {
  std::string reply = "";
  PeerEnd end = PeerEnd::Close;
  bool drip = false;        // `reply` one byte per segment
  std::string later = "";   // sent a second after `reply`
  bool listen = true;       // false: the port is reserved and closed, so nothing listens
  bool readRequest = true;  // false: acts as soon as it accepts
  std::size_t stream = 0;   // after the reply, this many more bytes, until a send fails
  std::string host = "127.0.0.1";
  std::uint16_t port = 0;  // 0: any free port
};

// Plays `script` to each client, on a thread of its own, until quit().
struct ScriptedPeer {
  explicit ScriptedPeer(PeerScript played);
  ~ScriptedPeer() { quit(); }
  // Stops serving once the client is done: each connection's bytes, in order.
  std::vector<std::string> quit();

  PeerScript script;
  SocketHandle listener;
  std::uint16_t port = 0;
  std::string error;         // why it could not listen (the address is taken, say)
  std::size_t streamed = 0;  // of the `stream` bytes, those sent before the client went away
  std::atomic<bool> stop{false};
  std::vector<std::string> received;
  std::thread thread;
};

// A client's connection to host:port (an IPv4 address).
class Connection {
 public:
  explicit Connection(const std::string& port, const std::string& host = "127.0.0.1");
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void send(const std::string& bytes);  // gives up after 10 s of the service not reading
  // What arrives until the service closes, or `ms` pass without a byte.
  std::string receive(int ms = 3000);
  void reset();  // aborts the connection with a reset

  bool closed = false;  // the service has closed it, as receive saw

 private:
  SocketHandle socket_ = kInvalidSocket;
};

// All the service sends back on a fresh connection to `request`, until it closes.
std::string talk(const std::string& port, const std::string& request,
                 const std::string& host = "127.0.0.1");

struct RunResult {
  std::string out, err;
  int status = -1;  // exit status, or -1 when killed or timed out
  bool timedOut = false;
  long maxRssKb = 0;  // the child's peak resident set (POSIX)
};

// Where a run's stdout and stderr go: to the runner, or where every write fails (a closed
// descriptor, /dev/full, a pipe whose reader has gone).
enum class Output { Captured, Closed, Full, Gone };

// Environment changes for one run: a value sets the variable, nullopt unsets it.
using EnvChanges = std::vector<std::pair<std::string, std::optional<std::string>>>;

// Runs argv (argv[0], which need not name the program, included; empty: not even argument 0, or on
// Windows an empty command line) with the test's environment less every NALT_ variable, plus `env`,
// and stdin empty; kills it after `seconds`. An `env` that leads to 127.0.0.1:9090 in any spelling
// throws std::runtime_error (here, in startProgram and Connection), unless it unsets both NALT_HOST
// and NALT_PORT by name where isolatedNetwork(): there 9090 is a port the test opened itself.
RunResult runProgram(const std::string& program, const std::vector<std::string>& argv,
                     const EnvChanges& env, Output output = Output::Captured, int seconds = 10);

// A program left running, its stdout and stderr on a small pipe read only when asked (readLine), so
// that one which blocks on its output is caught.
struct Background {
  std::intptr_t id = 0;      // process id (POSIX) or handle (Windows); 0 when none
  std::intptr_t output = 0;  // the pipe's read end
};
Background startProgram(const std::vector<std::string>& argv, const EnvChanges& env);
// Its next line of output, or what came of it within `ms`.
std::string readLine(const Background& program, int ms);
// Asks it to end as an operator would (SIGINT if `interrupt`, else SIGTERM; Ctrl+C on Windows),
// kills it 3 s later, closes its output: the exit status, or -1 if killed or dead of a signal.
int stopProgram(Background& program, bool interrupt = false);

// The programs under test, from NALTCTL (default: the build's naltctl) and NALTCTL_LAUNCHER
// (space-separated words put in front, such as "valgrind").
std::string clientPath();
std::string stubPath();
std::vector<std::string> clientLauncher();
// Text as a program here writes it: Windows' text streams write LF as CR LF.
std::string asWritten(std::string text);
// The port the resolver gives the service `name`, or 0.
std::uint16_t servicePort(const char* name);
// A loopback port that nothing listens on (bound, then closed again).
std::uint16_t closedPort();
unsigned processId();
// Whether this test program has a network namespace of its own, loopback alone (POSIX).
bool isolatedNetwork();
void sleepMs(int ms);
