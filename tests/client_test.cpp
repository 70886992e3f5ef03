// naltctl as a black box: each row is a peer's behaviour and a command line, and what the client
// must print, exit with, and send.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#ifndef _WIN32  // for the harness's POSIX tests
#include <net/if.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#endif

#include "harness.h"

namespace {

// A caller's own settings, which no row may meet: the harness hands on only the NALT_ a row sets.
[[maybe_unused]] const int kCallersHost = putenv(const_cast<char*>("NALT_HOST=127.0.0.77"));
[[maybe_unused]] const int kCallersPort = putenv(const_cast<char*>("NALT_PORT=1"));

const EnvChanges kToPeer = {{"NALT_PORT", "{port}"}};

// Given `peer` and the command line `args` run with `env`, the client must print `out` and `err`,
// exit with `status`, and send `request`; by default as given here.
struct Row {
  const char* name = "";
  std::vector<std::string> args = {};
  PeerScript peer = {};      // listens, replies nothing, closes
  EnvChanges env = kToPeer;  // "{port}" stands for the peer's port
  std::string out = "";      // expected stdout
  std::string err = "";      // expected stderr; see expectErr()
  int status = -1;
  std::optional<std::string> request = std::nullopt;  // what the peer gets; unset: no connection
  std::string calls = "";            // with fault injection, the client's socket calls in order
  Output output = Output::Captured;  // otherwise out and err are not seen, only the status
};

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

std::string usage(const std::string& name) {
  return "Usage:\n  " + name + " START\n  " + name + " STOP\n";
}

// The resolver's texts are the platform's own: glibc's are these. Windows' depend on the system and
// its language, and Wine has none for some codes, so there only what stands around the text is
// checked.
const std::pair<std::string, std::string> kResolverTexts[] = {
    {"{no such host}", "Name or service not known"},
    {"{unknown service}", "Servname not supported for ai_socktype"},
    {"{not IPv4}", "Address family for hostname not supported"},
};

// Compares stderr with a template: "{usage}" is the usage text for the name the client was started
// as, and a resolver text may stand in braces.
void expectErr(std::string expected, const std::string& actual) {
  replaceAll(expected, "{usage}", usage(clientPath()));
  for (const auto& [token, text] : kResolverTexts) {
    const std::size_t at = expected.find(token);
    if (kWindows && at != std::string::npos) {
      std::printf("[   NOTE   ] the resolver's text is not checked on Windows\n");
      const std::string before = asWritten(expected.substr(0, at)),
                        after = asWritten(expected.substr(at + token.size()));
      ASSERT_GE(actual.size(), before.size() + after.size()) << actual;
      EXPECT_EQ(before, actual.substr(0, before.size()));
      EXPECT_EQ(after, actual.substr(actual.size() - after.size()));
      EXPECT_EQ(actual.find('\n'), actual.size() - 1) << "more than one line";
      return;
    }
    replaceAll(expected, token, text);
  }
  EXPECT_EQ(asWritten(expected), actual);
}

// Names the row in test output instead of dumping its bytes.
void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

class Exchange : public testing::TestWithParam<Row> {};

// The peer's address for rows that must use a fixed port: an address of this test process's own in
// 127/8, so parallel runs never share one.
std::string ownLoopbackAddress() {
  const unsigned pid = processId();
  return "127." + std::to_string(((pid >> 16) & 0x3f) + 1) + "." +
         std::to_string((pid >> 8) & 0xff) + "." + std::to_string(pid & 0xff);
}

// Runs the row and judges it; with `calls`, hands the fault library a log and gives what it wrote
// there.
void runRow(const Row& row, std::string* calls = nullptr) {
  PeerScript script = row.peer;
  if (kWindows && row.output == Output::Full)
    GTEST_SKIP() << "Windows has no /dev/full";
  if (script.host == "{own}" && script.port == 0)
    GTEST_SKIP() << "this machine's resolver knows no port for the row's service";
  script.host = script.host == "{own}" ? ownLoopbackAddress() : script.host;
  ScriptedPeer peer(script);
  if (!peer.error.empty())
    GTEST_SKIP() << "the peer " << peer.error;
  const std::string log = testing::TempDir() + "naltctl-calls-" + std::to_string(processId());
  std::remove(log.c_str());
  const std::pair<std::string, std::string> placeholders[] = {
      {"{port}", std::to_string(peer.port)},
      {"{wrapped}", std::to_string(peer.port + 65536)},
      {"{wrapped below}", std::to_string(4294967296 - peer.port)},
      {"{closed}", std::to_string(closedPort())},
      {"{own}", script.host},
  };
  const auto fill = [&](std::string text) {
    for (const auto& [from, to] : placeholders)
      replaceAll(text, from, to);
    return text;
  };
  EnvChanges env = row.env;
  for (auto& change : env)
    change.second = change.second ? fill(*change.second) : change.second;
  if (calls != nullptr)
    env.push_back({"FAULT_LOG", log});

  std::vector<std::string> argv = clientLauncher();
  argv.push_back(clientPath());
  argv.insert(argv.end(), row.args.begin(), row.args.end());
  const RunResult run = runProgram(argv.front(), argv, env, row.output);
  const std::vector<std::string> received = peer.quit();

  ASSERT_FALSE(run.timedOut) << "the client hung";
  EXPECT_EQ(row.status, run.status);
  EXPECT_EQ(asWritten(fill(row.out)), run.out);
  expectErr(fill(row.err), run.err);
  EXPECT_EQ(row.request ? std::vector{*row.request} : std::vector<std::string>{}, received);
  if (std::ifstream logged(log, std::ios::binary); calls != nullptr)
    *calls = std::string(std::istreambuf_iterator<char>(logged), {});
  // The client stops reading at its bound, and holds little memory whatever the peer sends (only a
  // plain native build's memory is its own).
  EXPECT_TRUE(script.stream == 0 || peer.streamed <= script.stream / 2)
      << "read on: " << peer.streamed;
#ifndef __SANITIZE_ADDRESS__
  if (clientLauncher().empty() && !kWindows) {
    EXPECT_GT(run.maxRssKb, 0) << "the peak memory was not taken";
    EXPECT_LT(run.maxRssKb, 8 * 1024);
  }
#endif
  std::remove(log.c_str());
}

TEST_P(Exchange, Row) { runRow(GetParam()); }

const std::string kAccepted = "Sent command: START\nnalt response: ";
const std::string kRefused = "nalt rejected command: ";
const std::string kLong = "OK" + std::string(298, 'x');
const std::string kBelowBound = "OK" + std::string(65533, 'x');
const std::string kOverBound = kBelowBound + "x";
const std::string kTooLong = "nalt response too long: no line feed in the first 65536 bytes.\n";
const std::string kUnknownService = "Failed to resolve nalt endpoint: {unknown service}\n";

// clang-format off
const Row kRows[] = {
  // The command line: faults make no connection.
  {.name = "NoArguments", .err = "{usage}", .status = 1},
  {.name = "StartWithExtraArgument", .args = {"START", "now"}, .err = "{usage}", .status = 1},
  {.name = "StopWithExtraArgument", .args = {"STOP", ""}, .err = "{usage}", .status = 1},
  {.name = "LowerCaseWord", .args = {"start"}, .err = "Unsupported command: start\n{usage}", .status = 1},
  {.name = "EmptyWord", .args = {""}, .err = "Unsupported command: \n{usage}", .status = 1},
  {.name = "WordWithSpace", .args = {" START"}, .err = "Unsupported command:  START\n{usage}", .status = 1},
  {.name = "PrefixOfWord", .args = {"STA"}, .err = "Unsupported command: STA\n{usage}", .status = 1},
  {.name = "WordBeginningWithStart", .args = {"STARTX"}, .err = "Unsupported command: STARTX\n{usage}", .status = 1},
  {.name = "WordBeginningWithStop", .args = {"STOPS"}, .err = "Unsupported command: STOPS\n{usage}", .status = 1},
  {.name = "UnknownWordWithMore", .args = {"RESTART", "STOP"}, .err = "Unsupported command: RESTART\n{usage}", .status = 1},

  // Acceptance: the reply begins with "OK" and is printed whole.
  {.name = "StartAccepted", .args = {"START"}, .peer = {.reply = "OK\n"}, .out = kAccepted + "OK\n", .status = 0, .request = "START\n"},
  {.name = "StopAccepted", .args = {"STOP"}, .peer = {.reply = "OK stopped\n"}, .out = "Sent command: STOP\nnalt response: OK stopped\n", .status = 0, .request = "STOP\n"},
  {.name = "SecondOkInReply", .args = {"START"}, .peer = {.reply = "OK started, all OK\n"}, .out = kAccepted + "OK started, all OK\n", .status = 0, .request = "START\n"},
  {.name = "OkWithoutLineFeed", .args = {"START"}, .peer = {.reply = "OK"}, .out = kAccepted + "OK", .status = 0, .request = "START\n"},
  {.name = "BytesAfterLineFeed", .args = {"START"}, .peer = {.reply = "OK\nabcd"}, .out = kAccepted + "OK\nabcd", .status = 0, .request = "START\n"},
  {.name = "ZeroByteInReply", .args = {"START"}, .peer = {.reply = std::string("OK\0go\n", 6)}, .out = kAccepted + std::string("OK\0go\n", 6), .status = 0, .request = "START\n"},
  {.name = "CarriageReturnKept", .args = {"START"}, .peer = {.reply = "OK\r\n"}, .out = kAccepted + "OK\r\n", .status = 0, .request = "START\n"},
  {.name = "DrippedReply", .args = {"START"}, .peer = {.reply = "OK done\n", .drip = true}, .out = kAccepted + "OK done\n", .status = 0, .request = "START\n"},
  {.name = "PeerKeepsConnectionOpen", .args = {"START"}, .peer = {.reply = "OK\n", .end = PeerEnd::HoldOpen}, .out = kAccepted + "OK\n", .status = 0, .request = "START\n"},
  {.name = "LongReplyWithoutLineFeed", .args = {"START"}, .peer = {.reply = kLong}, .out = kAccepted + kLong, .status = 0, .request = "START\n"},
  {.name = "LineFeedAtTheBound", .args = {"START"}, .peer = {.reply = kBelowBound + "\n"}, .out = kAccepted + kBelowBound + "\n", .status = 0, .request = "START\n"},

  // Refusal: anything else, the empty reply included.
  {.name = "Refused", .args = {"START"}, .peer = {.reply = "ERR already running\n"}, .err = kRefused + "ERR already running\n", .status = 3, .request = "START\n"},
  {.name = "LowerCaseOk", .args = {"STOP"}, .peer = {.reply = "ok\n"}, .err = kRefused + "ok\n", .status = 3, .request = "STOP\n"},
  {.name = "SpaceBeforeOk", .args = {"START"}, .peer = {.reply = " OK\n"}, .err = kRefused + " OK\n", .status = 3, .request = "START\n"},
  {.name = "SingleByteThenClose", .args = {"START"}, .peer = {.reply = "O"}, .err = kRefused + "O", .status = 3, .request = "START\n"},
  {.name = "ClosedWithoutReply", .args = {"START"}, .peer = {.reply = ""}, .err = kRefused + "empty response\n", .status = 3, .request = "START\n"},
  {.name = "ResetWithoutReply", .args = {"START"}, .peer = {.end = PeerEnd::Reset}, .err = kRefused + "empty response\n", .status = 3, .request = "START\n"},
  {.name = "RefusalKeepsConnectionOpen", .args = {"STOP"}, .peer = {.reply = "ERR not running\n", .end = PeerEnd::HoldOpen}, .err = kRefused + "ERR not running\n", .status = 3, .request = "STOP\n"},
  {.name = "NoLineFeedWithinBound", .args = {"START"}, .peer = {.reply = kOverBound, .end = PeerEnd::HoldOpen}, .err = kTooLong, .status = 3, .request = "START\n"},
  // The line feed comes in a later receive than the bound's last byte.
  {.name = "LineFeedPastTheBoundLater", .args = {"START"}, .peer = {.reply = kBelowBound, .later = "yy\n"}, .err = kTooLong, .status = 3, .request = "START\n"},
  {.name = "EndlessReplyIsCutOff", .args = {"START"}, .peer = {.reply = "OK", .stream = std::size_t{512} << 20}, .err = kTooLong, .status = 3, .request = "START\n"},
  {.name = "RefusalWithoutLineFeedWithinBound", .args = {"START"}, .peer = {.reply = "ERR" + kOverBound}, .err = kTooLong, .status = 3, .request = "START\n"},

  // The endpoint: the environment, the resolver and the connect. A peer on "{own}" is on an address
  // of this process's own in 127/8, at a fixed port.
  {.name = "NothingListening", .args = {"START"}, .peer = {.listen = false}, .err = "Failed to connect to nalt at 127.0.0.1:{port}\n", .status = 3},
  {.name = "NothingListeningAtNamedHost", .args = {"START"}, .peer = {.listen = false}, .env = {{"NALT_HOST", "localhost"}, {"NALT_PORT", "{port}"}}, .err = "Failed to connect to nalt at localhost:{port}\n", .status = 3},
  // A name with an empty label: the resolver refuses it without asking DNS.
  {.name = "UnresolvableHost", .args = {"START"}, .env = {{"NALT_HOST", "nalt..invalid"}, {"NALT_PORT", "{port}"}}, .err = "Failed to resolve nalt endpoint: {no such host}\n", .status = 3},
  {.name = "Ipv6Literal", .args = {"START"}, .env = {{"NALT_HOST", "::1"}, {"NALT_PORT", "{port}"}}, .err = "Failed to resolve nalt endpoint: {not IPv4}\n", .status = 3},
  {.name = "PortWithTrailingSpace", .args = {"START"}, .env = {{"NALT_PORT", "{port} "}}, .err = kUnknownService, .status = 3},
  {.name = "EmptyHostMeansLoopback", .args = {"START"}, .peer = {.reply = "OK\n"}, .env = {{"NALT_HOST", ""}, {"NALT_PORT", "{port}"}}, .out = kAccepted + "OK\n", .status = 0, .request = "START\n"},
  {.name = "EmptyPortMeans9090", .args = {"START"}, .peer = {.reply = "OK\n", .host = "{own}", .port = 9090}, .env = {{"NALT_HOST", "{own}"}, {"NALT_PORT", ""}}, .out = kAccepted + "OK\n", .status = 0, .request = "START\n"},
  {.name = "HostAsName", .args = {"START"}, .peer = {.reply = "OK\n"}, .env = {{"NALT_HOST", "localhost"}, {"NALT_PORT", "{port}"}}, .out = kAccepted + "OK\n", .status = 0, .request = "START\n"},
  {.name = "PortAsServiceName", .args = {"START"}, .peer = {.reply = "OK\n", .host = "{own}", .port = servicePort("git")}, .env = {{"NALT_HOST", "{own}"}, {"NALT_PORT", "git"}}, .out = kAccepted + "OK\n", .status = 0, .request = "START\n"},
  {.name = "PortWithLeadingSpace", .args = {"START"}, .peer = {.reply = "OK\n"}, .env = {{"NALT_PORT", " {port}"}}, .out = kAccepted + "OK\n", .status = 0, .request = "START\n"},
  {.name = "PortWithLeadingZero", .args = {"START"}, .peer = {.reply = "OK\n"}, .env = {{"NALT_PORT", "0{port}"}}, .out = kAccepted + "OK\n", .status = 0, .request = "START\n"},
  // A port above 65535 would wrap round to the peer's port; it must go nowhere, after every
  // white-space byte the resolver skips too.
  {.name = "PortAboveRange", .args = {"START"}, .peer = {.reply = "OK\n"}, .env = {{"NALT_PORT", "{wrapped}"}}, .err = kUnknownService, .status = 3},
  {.name = "PortAboveRangeAfterWhiteSpace", .args = {"START"}, .peer = {.reply = "OK\n"}, .env = {{"NALT_PORT", " \t\n\v\f\r+{wrapped}"}}, .err = kUnknownService, .status = 3},
  {.name = "NegativePortWrapsRound", .args = {"START"}, .peer = {.reply = "OK\n"}, .env = {{"NALT_PORT", "-{wrapped below}"}}, .err = kUnknownService, .status = 3},
  {.name = "HighestPort", .args = {"START"}, .peer = {.reply = "OK\n", .host = "{own}", .port = 65535}, .env = {{"NALT_HOST", "{own}"}, {"NALT_PORT", "65535"}}, .out = kAccepted + "OK\n", .status = 0, .request = "START\n"},
  {.name = "PortMinusZero", .args = {"START"}, .env = {{"NALT_PORT", "-0"}}, .err = "Failed to connect to nalt at 127.0.0.1:-0\n", .status = 3},

  // Streams that cannot be written: the status is still the exchange's.
  {.name = "AcceptedReaderGone", .args = {"START"}, .peer = {.reply = "OK\n"}, .status = 0, .request = "START\n", .output = Output::Gone},
  {.name = "RefusedReaderGone", .args = {"START"}, .peer = {.reply = "ERR\n"}, .status = 3, .request = "START\n", .output = Output::Gone},
  {.name = "UsageReaderGone", .args = {"start"}, .status = 1, .output = Output::Gone},
  {.name = "AcceptedStreamsFull", .args = {"STOP"}, .peer = {.reply = "OK\n"}, .status = 0, .request = "STOP\n", .output = Output::Full},
  {.name = "RefusedStreamsClosed", .args = {"START"}, .peer = {.reply = "ERR\n"}, .status = 3, .request = "START\n", .output = Output::Closed},
  {.name = "AcceptedStreamsClosed", .args = {"START"}, .peer = {.reply = "OK\n"}, .status = 0, .request = "START\n", .output = Output::Closed},
};
// clang-format on

std::string nameOf(const testing::TestParamInfo<Row>& info) { return info.param.name; }
INSTANTIATE_TEST_SUITE_P(Client, Exchange, testing::ValuesIn(kRows), nameOf);

// What loopback TCP cannot stage, staged by a preloaded library that wraps the client's socket
// calls; each row also checks the calls, in order.
class Faults : public testing::TestWithParam<Row> {};

TEST_P(Faults, Row) {
  if (kWindows)
    GTEST_SKIP() << "fault injection preloads a library into a POSIX build";
  std::string calls;
  runRow(GetParam(), &calls);
  EXPECT_EQ(GetParam().calls, calls);
}

EnvChanges faults(EnvChanges knobs) {
  knobs.insert(knobs.begin(), {{"LD_PRELOAD", FAULTS_LIBRARY}, {"NALT_PORT", "{port}"}});
  return knobs;
}

// "stdout" and "stderr" stand for writes to that stream since the last call.
const std::string kConnected = "socket 1\nconnect 1 ok\nfreeaddrinfo\n";
const std::string kSendFailed = "Failed to send command to nalt.\n";
const std::string kNotConnected = "Failed to connect to nalt at 127.0.0.1:{port}\n";

// clang-format off
const Row kFaultRows[] = {
  {.name = "SendTakesFourThenTwo", .args = {"START"}, .peer = {.reply = "OK\n"}, .env = faults({{"FAULT_SEND_MAX", "4"}}), .out = kAccepted + "OK\n", .status = 0, .request = "START\n", .calls = kConnected + "send 6 4\nsend 2 2\nrecv 256 3\nclose 1\nstdout\n"},
  {.name = "SendReturnsZero", .args = {"START"}, .peer = {.reply = "OK\n"}, .env = faults({{"FAULT_SEND_RESULT", "0"}}), .err = kSendFailed, .status = 3, .request = "", .calls = kConnected + "send 6 0\nstderr\nclose 1\n"},
  {.name = "SendFails", .args = {"STOP"}, .peer = {.reply = "OK\n"}, .env = faults({{"FAULT_SEND_RESULT", "-1"}}), .err = kSendFailed, .status = 3, .request = "", .calls = kConnected + "send 5 -1\nstderr\nclose 1\n"},
  {.name = "ResetBeforeRequestIsSent", .args = {"START"}, .peer = {.end = PeerEnd::Reset, .readRequest = false}, .env = faults({{"FAULT_SEND_AFTER_RESET", "1"}}), .err = kSendFailed, .status = 3, .request = "", .calls = kConnected + "send 6 -1\nstderr\nclose 1\n"},
  {.name = "OneByteReceives", .args = {"START"}, .peer = {.reply = "OK\n"}, .env = faults({{"FAULT_RECV_MAX", "1"}}), .out = kAccepted + "OK\n", .status = 0, .request = "START\n", .calls = kConnected + "send 6 6\nrecv 256 1\nrecv 256 1\nrecv 256 1\nclose 1\nstdout\n"},
  {.name = "ReceiveFailsAfterOk", .args = {"START"}, .peer = {.reply = "OK more\n"}, .env = faults({{"FAULT_RECV_MAX", "2"}, {"FAULT_RECV_FAIL_AFTER", "2"}}), .out = kAccepted + "OK", .status = 0, .request = "START\n", .calls = kConnected + "send 6 6\nrecv 256 2\nrecv 256 failed\nclose 1\nstdout\n"},
  {.name = "ReceiveFailsAtOnce", .args = {"START"}, .peer = {.reply = "OK\n"}, .env = faults({{"FAULT_RECV_FAIL_AFTER", "0"}}), .err = kRefused + "empty response\n", .status = 3, .request = "START\n", .calls = kConnected + "send 6 6\nrecv 256 failed\nclose 1\nstderr\n"},
  {.name = "InterruptedCallsAreRetried", .args = {"START"}, .peer = {.reply = "OK\n"}, .env = faults({{"FAULT_EINTR", "1"}}), .out = kAccepted + "OK\n", .status = 0, .request = "START\n", .calls = kConnected + "send 6 eintr\nsend 6 6\nrecv 256 eintr\nrecv 256 3\nclose 1\nstdout\n"},
  // The walk stops at the first address that connects.
  {.name = "FirstAddressConnects", .args = {"START"}, .peer = {.reply = "OK\n"}, .env = faults({{"FAULT_ADDRESSES", "127.0.0.1:{port},127.0.0.1:{closed}"}}), .out = kAccepted + "OK\n", .status = 0, .request = "START\n", .calls = "getaddrinfo\n" + kConnected + "send 6 6\nrecv 256 3\nclose 1\nstdout\n"},
  {.name = "SecondAddressConnects", .args = {"START"}, .peer = {.reply = "OK\n"}, .env = faults({{"FAULT_ADDRESSES", "127.0.0.1:{closed},127.0.0.1:{port}"}}), .out = kAccepted + "OK\n", .status = 0, .request = "START\n", .calls = "getaddrinfo\nsocket 1\nconnect 1 refused\nclose 1\nsocket 2\nconnect 2 ok\nfreeaddrinfo\nsend 6 6\nrecv 256 3\nclose 2\nstdout\n"},
  {.name = "NoAddressConnects", .args = {"START"}, .env = faults({{"FAULT_ADDRESSES", "127.0.0.1:{closed},127.0.0.1:{closed}"}}), .err = kNotConnected, .status = 3, .calls = "getaddrinfo\nsocket 1\nconnect 1 refused\nclose 1\nsocket 2\nconnect 2 refused\nclose 2\nfreeaddrinfo\nstderr\n"},
  {.name = "EmptyAddressList", .args = {"START"}, .env = faults({{"FAULT_ADDRESSES", ""}}), .err = kNotConnected, .status = 3, .calls = "getaddrinfo\nfreeaddrinfo\nstderr\n"},
  // A number past 64 bits does not wrap round into range: no resolver, not even one that takes
  // anything, sees it.
  {.name = "PortPast64BitsIsNotResolved", .args = {"START"}, .env = faults({{"NALT_PORT", "18446744073709551617"}, {"FAULT_ADDRESSES", "127.0.0.1:{closed}"}}), .err = kUnknownService, .status = 3, .calls = "stderr\n"},
  {.name = "SocketFailsThenNextConnects", .args = {"START"}, .peer = {.reply = "OK\n"}, .env = faults({{"FAULT_SOCKET_FAILS", "1"}, {"FAULT_ADDRESSES", "127.0.0.1:{port},127.0.0.1:{port}"}}), .out = kAccepted + "OK\n", .status = 0, .request = "START\n", .calls = "getaddrinfo\nsocket failed\nsocket 1\nconnect 1 ok\nfreeaddrinfo\nsend 6 6\nrecv 256 3\nclose 1\nstdout\n"},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Client, Faults, testing::ValuesIn(kFaultRows), nameOf);

// Argument 0 is shown as received, even empty; only with none to show (Linux turns an empty vector
// into one empty argument 0) is the name the program's own. Run without a launcher.
TEST(CommandLine, UsageShowsArgumentZero) {
  const std::pair<std::vector<std::string>, std::string> rows[] = {
      // the argument vector, argument 0 included, and stderr
      {{}, usage("naltctl")},           {{""}, usage("naltctl")},
      {{"", "STOP", "now"}, usage("")}, {{"", "start"}, "Unsupported command: start\n" + usage("")},
      {{"ctl"}, usage("ctl")},
  };
  for (const auto& [argv, err] : rows) {
    if (kWindows && argv.empty()) {
      std::printf("[   NOTE   ] no empty vector on Windows: argument 0 is then the path\n");
      continue;
    }
    const RunResult run =
        runProgram(clientPath(), argv, {{"NALT_PORT", std::to_string(closedPort())}});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("", run.out);
    EXPECT_EQ(asWritten(err), run.err);
  }
}

// Whatever a row says, the harness runs no program on 127.0.0.1:9090, where a real service listens,
// and connects nowhere there (with no command word, a client let through would connect nowhere).
TEST(Harness, RefusesTheRealServicesEndpoint) {
  const EnvChanges rows[] = {{},
                             {{"NALT_PORT", "09090"}},
                             {{"NALT_PORT", " +74626"}},
                             {{"NALT_HOST", "localhost"}, {"NALT_PORT", "9090"}},
                             {{"NALT_HOST", "0.0.0.0"}},
                             {{"NALT_PORT", "1"}, {"FAULT_ADDRESSES", "127.0.0.1:1,0.0.0.0:09090"}},
                             {{"NALT_PORT", "1"}, {"FAULT_ADDRESSES", "localhost:9090"}}};
  for (const EnvChanges& env : rows)
    EXPECT_THROW(runProgram(clientPath(), {clientPath()}, env), std::runtime_error);
  // Judged by the number a Connection goes to, not by its text.
  for (const char* port : {"74626", "9090 ", "9090x"})
    EXPECT_THROW(Connection{port}, std::runtime_error) << port;
}

#ifndef _WIN32
// A test program killed outright (kill -9, say) leaves nothing it started running. A child of the
// test's stands in for the test program.
TEST(Harness, ProgramsDieWithTheTestProgram) {
  prctl(PR_SET_CHILD_SUBREAPER, 1);  // so that an orphan comes back here to be reaped
  int ends[2];
  ASSERT_EQ(0, pipe(ends));
  const pid_t test = fork();
  if (test == 0) {
    // Once it has said so, it runs: past the checks made before exec, which a parent that died too
    // soon would fail.
    const Background started =
        startProgram({"sh", "-c", "echo up && exec sleep 60"}, {{"NALT_PORT", "1"}});
    const auto pid = static_cast<pid_t>(readLine(started, 10000) == "up\n" ? started.id : 0);
    (void)!write(ends[1], &pid, sizeof pid);
    kill(getpid(), SIGKILL);
  }
  close(ends[1]);
  pid_t program = 0;
  (void)!read(ends[0], &program, sizeof program);
  waitpid(test, nullptr, 0);
  ASSERT_GT(program, 0);
  for (int i = 0; i < 1000 && waitpid(program, nullptr, WNOHANG) == 0; ++i)
    sleepMs(10);
  EXPECT_NE(0, kill(program, SIGKILL)) << "the program outlived the test program";
  waitpid(program, nullptr, 0);
}

// Where the kernel allows a network namespace, the test program is in one of its own, not its
// parent's (ctest's, or scripts/test's), with loopback as its only link.
TEST(Harness, RunsWithLoopbackAlone) {
  if (!isolatedNetwork()) {
    const std::vector<std::string> probe = {ISOLATED, "sh", "-c", "[ -n \"$NALTCTL_ISOLATED\" ]"};
    ASSERT_NE(0, runProgram(ISOLATED, probe, {{"NALT_PORT", "1"}}).status)
        << "scripts/isolated gets loopback alone here, yet the test program has no namespace";
    GTEST_SKIP() << "this kernel allows no network namespace here, as scripts/isolated found";
  }
  struct if_nameindex* const links = if_nameindex();
  EXPECT_STREQ("lo", links[0].if_name);
  EXPECT_EQ(nullptr, links[1].if_name) << links[1].if_name;
  if_freenameindex(links);
  char mine[64] = "", parents[64] = "";
  (void)!readlink("/proc/self/ns/net", mine, sizeof mine - 1);
  if (readlink(("/proc/" + std::to_string(getppid()) + "/ns/net").c_str(), parents,
               sizeof parents - 1) <= 0)
    GTEST_SKIP() << "the parent's network namespace cannot be read from here";
  EXPECT_STRNE(parents, mine) << "the test program shares its parent's network";
}

// stopProgram asks as told, SIGINT (as Ctrl+C) or SIGTERM; death by a signal is no status.
TEST(Harness, StopsAProgramAsAsked) {
  for (const bool interrupt : {true, false}) {
    const char* sh = "trap 'exit 2' INT; trap 'exit 15' TERM; echo up; while sleep 0.1; do :; done";
    Background program = startProgram({"sh", "-c", sh}, {{"NALT_PORT", "1"}});
    ASSERT_EQ("up\n", readLine(program, 10000));
    EXPECT_EQ(interrupt ? 2 : 15, stopProgram(program, interrupt));
  }
  EXPECT_EQ(-1, runProgram("sh", {"sh", "-c", "kill -KILL $$"}, {{"NALT_PORT", "1"}}).status);
}

// Each Output as rows need it (stdout, stderr): a pipe whose reader has gone, /dev/full, closed.
TEST(Harness, GivesTheStreamsAsked) {
  const std::pair<Output, const char*> rows[] = {
      {Output::Gone, "for f in 1 2; do [ -p /dev/fd/$f ] && ! (printf x >&$f) || exit 1; done"},
      {Output::Full, "for f in 1 2; do [ -c /dev/fd/$f ] && ! printf x >&$f || exit 1; done"},
      {Output::Closed, "for f in 1 2; do ! [ -e /dev/fd/$f ] || exit 1; done"},
  };
  for (const auto& [output, sh] : rows)
    EXPECT_EQ(0, runProgram("sh", {"sh", "-c", sh}, {{"NALT_PORT", "1"}}, output).status) << sh;
}
#endif

}  // namespace
