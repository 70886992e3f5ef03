// What every black-box test needs: a loopback peer that plays a script, and
// a runner that starts a program with its own environment and collects its
// output and exit status.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// How the peer treats each connection: it reads the request line, sends
// `reply` (one byte per segment if `drip`), then ends as `end` says.
enum class PeerEnd {
  Close,     // half-closes, then reads until the client closes
  HoldOpen,  // keeps the connection open and reads until the client closes
  Reset,     // aborts the connection with a reset
};

struct PeerScript {
  std::string reply;
  PeerEnd end = PeerEnd::Close;
  bool drip = false;
  bool listen = true;       // false: the port is reserved and closed, so nothing listens
  bool readRequest = true;  // false: acts as soon as it accepts
  std::size_t stream = 0;   // after the reply, this many more bytes, until a send fails
  std::string host = "127.0.0.1";
  std::uint16_t port = 0;  // 0: any free port
};

class ScriptedPeer {
 public:
  explicit ScriptedPeer(PeerScript script);
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  std::uint16_t port() const { return port_; }
  // Why the peer could not listen (the address is taken, say); empty when it can.
  const std::string& error() const { return error_; }
  // Stops serving once the client is done and returns each connection's
  // received bytes, in order.
  std::vector<std::string> finish();
  // How many of the `stream` bytes were sent before the client went away.
  std::size_t streamed() const { return streamed_; }

 private:
  void serve();
  void handle(int fd);

  PeerScript script_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::string error_;
  std::atomic<bool> stop_{false};
  std::vector<std::string> received_;
  std::size_t streamed_ = 0;
  std::thread thread_;
};

struct RunResult {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or -1 when killed or timed out
  bool timedOut = false;
  long maxRssKb = 0;  // the child's peak resident set
};

// Where a run's stdout and stderr go: to the runner, which returns them, or
// somewhere every write fails (a closed descriptor, /dev/full, a pipe whose
// reader has gone).
enum class Output { Captured, Closed, Full, Gone };

// Environment changes for one run: a value sets the variable, nullopt unsets it.
using EnvChanges = std::vector<std::pair<std::string, std::optional<std::string>>>;

// Runs argv (argv[0] is the program) with the test's environment, less every
// NALT_ variable, plus `env`; stdin is /dev/null. Kills it after `seconds`.
// An empty argv runs `program` with no arguments at all, not even argument 0.
RunResult runProgram(const std::string& program, const std::vector<std::string>& argv,
                     const EnvChanges& env, Output output = Output::Captured, int seconds = 10);

// The client under test and how to launch it, from NALTCTL (default: the
// build's naltctl) and NALTCTL_LAUNCHER (space-separated words put in front,
// such as "wine64").
std::string clientPath();
std::vector<std::string> clientLauncher();
// True when the client is the Windows build (NALTCTL_TARGET=windows).
bool windowsClient();
// A loopback port that nothing listens on (bound, then closed again).
std::uint16_t closedPort();
