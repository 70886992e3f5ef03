// naltctl as a black box: each row is a peer's behaviour and a command line,
// and what the client must print, exit with, and send.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "harness.h"

namespace {

struct Row {
  const char* name;
  std::vector<std::string> args;
  PeerScript peer;
  EnvChanges env;   // "{port}" stands for the peer's port
  std::string out;  // expected stdout
  std::string err;  // expected stderr; see expectErr()
  int status;
  std::optional<std::string> request;  // what the peer must receive; nullopt: no connection
  std::string calls = "";              // with fault injection, the client's socket calls in order
  Output output = Output::Captured;    // otherwise out and err are not seen, only the status
};

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

std::string usage(const std::string& name) {
  return "Usage:\n  " + name + " START\n  " + name + " STOP\n";
}

// The resolver's texts are the platform's own. glibc's are these; Windows'
// depend on the system and its language, and Wine has none for some codes,
// so there only what stands around the text is checked.
const std::pair<std::string, std::string> kResolverTexts[] = {
    {"{no such host}", "Name or service not known"},
    {"{unknown service}", "Servname not supported for ai_socktype"},
    {"{not IPv4}", "Address family for hostname not supported"},
};

// Compares stderr with a template: "{usage}" is the usage text for the name
// the client was started as, and a resolver text may stand in braces.
void expectErr(std::string expected, const std::string& actual) {
  replaceAll(expected, "{usage}", usage(clientPath()));
  for (const auto& [token, text] : kResolverTexts) {
    const std::size_t at = expected.find(token);
    if (at == std::string::npos)
      continue;
    if (!kWindows) {
      expected.replace(at, token.size(), text);
      break;
    }
    std::printf("[   NOTE   ] the resolver's text is not checked on Windows\n");
    const std::string before = asWritten(expected.substr(0, at));
    const std::string after = asWritten(expected.substr(at + token.size()));
    ASSERT_GE(actual.size(), before.size() + after.size()) << actual;
    EXPECT_EQ(before, actual.substr(0, before.size()));
    EXPECT_EQ(after, actual.substr(actual.size() - after.size()));
    EXPECT_EQ(actual.find('\n'), actual.size() - 1) << "more than one line";
    return;
  }
  EXPECT_EQ(asWritten(expected), actual);
}

// Names the row in test output instead of dumping its bytes.
void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

class Exchange : public testing::TestWithParam<Row> {};

// The peer's address for rows that must use a fixed port: an address of
// this test process's own in 127/8, so parallel runs never share one.
std::string ownLoopbackAddress() {
  const unsigned pid = processId();
  return "127." + std::to_string(((pid >> 16) & 0x3f) + 1) + "." +
         std::to_string((pid >> 8) & 0xff) + "." + std::to_string(pid & 0xff);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

void runRow(const Row& row) {
  PeerScript script = row.peer;
  if (script.host == "{own}" && script.port == 0)
    GTEST_SKIP() << "this machine's resolver knows no port for the row's service";
  if (script.host == "{own}")
    script.host = ownLoopbackAddress();
  if (kWindows && row.output == Output::Full)
    GTEST_SKIP() << "Windows has no /dev/full";
  ScriptedPeer peer(script);
  if (!peer.error().empty())
    GTEST_SKIP() << "the peer " << peer.error();
  const std::string port = std::to_string(peer.port());
  const std::string closed = std::to_string(closedPort());
  const std::string log = testing::TempDir() + "naltctl-calls-" + std::to_string(processId());
  std::remove(log.c_str());

  EnvChanges env = row.env;
  for (auto& [name, value] : env) {
    if (!value)
      continue;
    replaceAll(*value, "{port}", port);
    replaceAll(*value, "{wrapped}", std::to_string(peer.port() + 65536));
    replaceAll(*value, "{wrapped below}", std::to_string(4294967296 - peer.port()));
    replaceAll(*value, "{closed}", closed);
    replaceAll(*value, "{own}", script.host);
  }
  if (!row.calls.empty())
    env.push_back({"FAULT_LOG", log});

  std::vector<std::string> argv = clientLauncher();
  argv.push_back(clientPath());
  argv.insert(argv.end(), row.args.begin(), row.args.end());
  const RunResult run = runProgram(argv.front(), argv, env, row.output);
  const std::vector<std::string> received = peer.finish();

  ASSERT_FALSE(run.timedOut) << "the client hung";
  EXPECT_EQ(row.status, run.status);
  std::string out = row.out, err = row.err;
  replaceAll(out, "{port}", port);
  replaceAll(err, "{port}", port);
  EXPECT_EQ(asWritten(out), run.out);
  expectErr(err, run.err);
  if (row.request) {
    EXPECT_EQ(std::vector<std::string>{*row.request}, received);
  } else {
    EXPECT_TRUE(received.empty()) << "a connection was made";
  }
  if (!row.calls.empty()) {
    EXPECT_EQ(row.calls, readFile(log));
  }
  // The client stops reading at its bound, and holds little memory whatever
  // the peer sends (only a plain native build's memory is its own).
  EXPECT_LE(peer.streamed(), script.stream / 2) << "the client read on";
  if (clientLauncher().empty() && !kSanitized && !kWindows) {
    EXPECT_LT(run.maxRssKb, 8 * 1024);
  }
  std::remove(log.c_str());
}

TEST_P(Exchange, Row) { runRow(GetParam()); }

PeerScript replying(std::string reply, PeerEnd end = PeerEnd::Close, bool drip = false) {
  PeerScript script;
  script.reply = std::move(reply);
  script.end = end;
  script.drip = drip;
  return script;
}

// A peer on this process's own loopback address, at a fixed port.
PeerScript ownAddress(std::uint16_t port) {
  PeerScript script = replying("OK\n");
  script.host = "{own}";
  script.port = port;
  return script;
}

// A peer that streams without end after "OK".
PeerScript endless() {
  PeerScript script = replying("OK");
  script.stream = std::size_t{512} << 20;
  return script;
}

PeerScript nothingListening() {
  PeerScript script;
  script.listen = false;
  return script;
}

const EnvChanges kToPeer = {{"NALT_PORT", "{port}"}};
const std::string kAccepted = "Sent command: START\nnalt response: ";
const std::string kRefused = "nalt rejected command: ";
const std::string kLong = "OK" + std::string(298, 'x');
const std::string kAtBound = "OK" + std::string(65533, 'x') + "\n";
const std::string kOverBound = "OK" + std::string(65534, 'x');
const std::string kTooLong = "nalt response too long: no line feed in the first 65536 bytes.\n";

// clang-format off
const Row kRows[] = {
  // The command line: faults make no connection.
  {"NoArguments", {}, {}, kToPeer, "", "{usage}", 1, {}},
  {"StartWithExtraArgument", {"START", "now"}, {}, kToPeer, "", "{usage}", 1, {}},
  {"StopWithExtraArgument", {"STOP", ""}, {}, kToPeer, "", "{usage}", 1, {}},
  {"LowerCaseWord", {"start"}, {}, kToPeer, "", "Unsupported command: start\n{usage}", 1, {}},
  {"EmptyWord", {""}, {}, kToPeer, "", "Unsupported command: \n{usage}", 1, {}},
  {"WordWithSpace", {" START"}, {}, kToPeer, "", "Unsupported command:  START\n{usage}", 1, {}},
  {"PrefixOfWord", {"STA"}, {}, kToPeer, "", "Unsupported command: STA\n{usage}", 1, {}},
  {"UnknownWordWithMore", {"RESTART", "STOP"}, {}, kToPeer, "", "Unsupported command: RESTART\n{usage}", 1, {}},

  // Acceptance: the reply begins with "OK" and is printed whole.
  {"StartAccepted", {"START"}, replying("OK\n"), kToPeer, kAccepted + "OK\n", "", 0, "START\n"},
  {"StopAccepted", {"STOP"}, replying("OK stopped\n"), kToPeer, "Sent command: STOP\nnalt response: OK stopped\n", "", 0, "STOP\n"},
  {"OkWithoutLineFeed", {"START"}, replying("OK"), kToPeer, kAccepted + "OK", "", 0, "START\n"},
  {"BytesAfterLineFeed", {"START"}, replying("OK\nabcd"), kToPeer, kAccepted + "OK\nabcd", "", 0, "START\n"},
  {"ZeroByteInReply", {"START"}, replying(std::string("OK\0go\n", 6)), kToPeer, kAccepted + std::string("OK\0go\n", 6), "", 0, "START\n"},
  {"CarriageReturnKept", {"START"}, replying("OK\r\n"), kToPeer, kAccepted + "OK\r\n", "", 0, "START\n"},
  {"DrippedReply", {"START"}, replying("OK done\n", PeerEnd::Close, true), kToPeer, kAccepted + "OK done\n", "", 0, "START\n"},
  {"PeerKeepsConnectionOpen", {"START"}, replying("OK\n", PeerEnd::HoldOpen), kToPeer, kAccepted + "OK\n", "", 0, "START\n"},
  {"LongReplyWithoutLineFeed", {"START"}, replying(kLong), kToPeer, kAccepted + kLong, "", 0, "START\n"},
  {"LineFeedAtTheBound", {"START"}, replying(kAtBound), kToPeer, kAccepted + kAtBound, "", 0, "START\n"},

  // Refusal: anything else, the empty reply included.
  {"Refused", {"START"}, replying("ERR already running\n"), kToPeer, "", kRefused + "ERR already running\n", 3, "START\n"},
  {"LowerCaseOk", {"STOP"}, replying("ok\n"), kToPeer, "", kRefused + "ok\n", 3, "STOP\n"},
  {"SpaceBeforeOk", {"START"}, replying(" OK\n"), kToPeer, "", kRefused + " OK\n", 3, "START\n"},
  {"SingleByteThenClose", {"START"}, replying("O"), kToPeer, "", kRefused + "O", 3, "START\n"},
  {"ClosedWithoutReply", {"START"}, replying(""), kToPeer, "", kRefused + "empty response\n", 3, "START\n"},
  {"ResetWithoutReply", {"START"}, replying("", PeerEnd::Reset), kToPeer, "", kRefused + "empty response\n", 3, "START\n"},
  {"RefusalKeepsConnectionOpen", {"STOP"}, replying("ERR not running\n", PeerEnd::HoldOpen), kToPeer, "", kRefused + "ERR not running\n", 3, "STOP\n"},
  {"NoLineFeedWithinBound", {"START"}, replying(kOverBound, PeerEnd::HoldOpen), kToPeer, "", kTooLong, 3, "START\n"},
  {"EndlessReplyIsCutOff", {"START"}, endless(), kToPeer, "", kTooLong, 3, "START\n"},
  {"RefusalWithoutLineFeedWithinBound", {"START"}, replying("ERR" + kOverBound), kToPeer, "", kTooLong, 3, "START\n"},

  // The endpoint: the environment, the resolver and the connect.
  {"NothingListening", {"START"}, nothingListening(), kToPeer, "", "Failed to connect to nalt at 127.0.0.1:{port}\n", 3, {}},
  // A name with an empty label: the resolver refuses it without asking DNS.
  {"UnresolvableHost", {"START"}, {}, {{"NALT_HOST", "nalt..invalid"}, {"NALT_PORT", "{port}"}}, "", "Failed to resolve nalt endpoint: {no such host}\n", 3, {}},
  {"Ipv6Literal", {"START"}, {}, {{"NALT_HOST", "::1"}, {"NALT_PORT", "{port}"}}, "", "Failed to resolve nalt endpoint: {not IPv4}\n", 3, {}},
  {"PortWithTrailingSpace", {"START"}, {}, {{"NALT_PORT", "{port} "}}, "", "Failed to resolve nalt endpoint: {unknown service}\n", 3, {}},
  {"EmptyHostMeansLoopback", {"START"}, replying("OK\n"), {{"NALT_HOST", ""}, {"NALT_PORT", "{port}"}}, kAccepted + "OK\n", "", 0, "START\n"},
  {"EmptyPortMeans9090", {"START"}, ownAddress(9090), {{"NALT_HOST", "{own}"}, {"NALT_PORT", ""}}, kAccepted + "OK\n", "", 0, "START\n"},
  {"HostAsName", {"START"}, replying("OK\n"), {{"NALT_HOST", "localhost"}, {"NALT_PORT", "{port}"}}, kAccepted + "OK\n", "", 0, "START\n"},
  {"PortAsServiceName", {"START"}, ownAddress(servicePort("git")), {{"NALT_HOST", "{own}"}, {"NALT_PORT", "git"}}, kAccepted + "OK\n", "", 0, "START\n"},
  {"PortWithLeadingSpace", {"START"}, replying("OK\n"), {{"NALT_PORT", " {port}"}}, kAccepted + "OK\n", "", 0, "START\n"},
  {"PortWithLeadingZero", {"START"}, replying("OK\n"), {{"NALT_PORT", "0{port}"}}, kAccepted + "OK\n", "", 0, "START\n"},
  // A port above 65535 would wrap round to the peer's port; it must go nowhere.
  {"PortAboveRange", {"START"}, replying("OK\n"), {{"NALT_PORT", "{wrapped}"}}, "", "Failed to resolve nalt endpoint: {unknown service}\n", 3, {}},
  {"PortAboveRangeAfterSpace", {"START"}, replying("OK\n"), {{"NALT_PORT", " \t+{wrapped}"}}, "", "Failed to resolve nalt endpoint: {unknown service}\n", 3, {}},
  {"NegativePortWrapsRound", {"START"}, replying("OK\n"), {{"NALT_PORT", "-{wrapped below}"}}, "", "Failed to resolve nalt endpoint: {unknown service}\n", 3, {}},
  {"HighestPort", {"START"}, ownAddress(65535), {{"NALT_HOST", "{own}"}, {"NALT_PORT", "65535"}}, kAccepted + "OK\n", "", 0, "START\n"},
  {"PortMinusZero", {"START"}, {}, {{"NALT_PORT", "-0"}}, "", "Failed to connect to nalt at 127.0.0.1:-0\n", 3, {}},

  // Streams that cannot be written: the status is still the exchange's.
  {"AcceptedReaderGone", {"START"}, replying("OK\n"), kToPeer, "", "", 0, "START\n", "", Output::Gone},
  {"RefusedReaderGone", {"START"}, replying("ERR\n"), kToPeer, "", "", 3, "START\n", "", Output::Gone},
  {"UsageReaderGone", {"start"}, {}, kToPeer, "", "", 1, {}, "", Output::Gone},
  {"AcceptedStreamsFull", {"STOP"}, replying("OK\n"), kToPeer, "", "", 0, "STOP\n", "", Output::Full},
  {"RefusedStreamsClosed", {"START"}, replying("ERR\n"), kToPeer, "", "", 3, "START\n", "", Output::Closed},
  {"AcceptedStreamsClosed", {"START"}, replying("OK\n"), kToPeer, "", "", 0, "START\n", "", Output::Closed},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Client, Exchange, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row>& info) { return info.param.name; });

// What loopback TCP cannot stage, staged by a preloaded library that wraps
// the client's socket calls; each row also checks the calls, in order.
class Faults : public testing::TestWithParam<Row> {};

TEST_P(Faults, Row) {
  if (kWindows)
    GTEST_SKIP() << "fault injection preloads a library into a POSIX build";
  runRow(GetParam());
}

EnvChanges faults(EnvChanges knobs) {
  knobs.insert(knobs.begin(), {{"LD_PRELOAD", FAULTS_LIBRARY}, {"NALT_PORT", "{port}"}});
  return knobs;
}

PeerScript resetAtOnce() {
  PeerScript script = replying("", PeerEnd::Reset);
  script.readRequest = false;
  return script;
}

// "stdout" and "stderr" stand for writes to that stream since the last call.
const std::string kConnected = "socket 1\nconnect 1 ok\nfreeaddrinfo\n";
const std::string kSendFailed = "Failed to send command to nalt.\n";

// clang-format off
const Row kFaultRows[] = {
  {"SendTakesFourThenTwo", {"START"}, replying("OK\n"), faults({{"FAULT_SEND_MAX", "4"}}), kAccepted + "OK\n", "", 0, "START\n",
   kConnected + "send 6 4\nsend 2 2\nrecv 256 3\nclose 1\nstdout\n"},
  {"SendReturnsZero", {"START"}, replying("OK\n"), faults({{"FAULT_SEND_RESULT", "0"}}), "", kSendFailed, 3, "",
   kConnected + "send 6 0\nstderr\nclose 1\n"},
  {"SendFails", {"STOP"}, replying("OK\n"), faults({{"FAULT_SEND_RESULT", "-1"}}), "", kSendFailed, 3, "",
   kConnected + "send 5 -1\nstderr\nclose 1\n"},
  {"ResetBeforeRequestIsSent", {"START"}, resetAtOnce(), faults({{"FAULT_SEND_AFTER_RESET", "1"}}), "", kSendFailed, 3, "",
   kConnected + "send 6 -1\nstderr\nclose 1\n"},
  {"OneByteReceives", {"START"}, replying("OK\n"), faults({{"FAULT_RECV_MAX", "1"}}), kAccepted + "OK\n", "", 0, "START\n",
   kConnected + "send 6 6\nrecv 256 1\nrecv 256 1\nrecv 256 1\nclose 1\nstdout\n"},
  {"ReceiveFailsAfterOk", {"START"}, replying("OK more\n"), faults({{"FAULT_RECV_MAX", "2"}, {"FAULT_RECV_FAIL_AFTER", "2"}}), kAccepted + "OK", "", 0, "START\n",
   kConnected + "send 6 6\nrecv 256 2\nrecv 256 failed\nclose 1\nstdout\n"},
  {"ReceiveFailsAtOnce", {"START"}, replying("OK\n"), faults({{"FAULT_RECV_FAIL_AFTER", "0"}}), "", kRefused + "empty response\n", 3, "START\n",
   kConnected + "send 6 6\nrecv 256 failed\nclose 1\nstderr\n"},
  {"InterruptedCallsAreRetried", {"START"}, replying("OK\n"), faults({{"FAULT_EINTR", "1"}}), kAccepted + "OK\n", "", 0, "START\n",
   kConnected + "send 6 eintr\nsend 6 6\nrecv 256 eintr\nrecv 256 3\nclose 1\nstdout\n"},
  {"SecondAddressConnects", {"START"}, replying("OK\n"), faults({{"FAULT_ADDRESSES", "127.0.0.1:{closed},127.0.0.1:{port}"}}), kAccepted + "OK\n", "", 0, "START\n",
   "getaddrinfo\nsocket 1\nconnect 1 refused\nclose 1\nsocket 2\nconnect 2 ok\nfreeaddrinfo\nsend 6 6\nrecv 256 3\nclose 2\nstdout\n"},
  {"NoAddressConnects", {"START"}, {}, faults({{"FAULT_ADDRESSES", "127.0.0.1:{closed},127.0.0.1:{closed}"}}), "", "Failed to connect to nalt at 127.0.0.1:{port}\n", 3, {},
   "getaddrinfo\nsocket 1\nconnect 1 refused\nclose 1\nsocket 2\nconnect 2 refused\nclose 2\nfreeaddrinfo\nstderr\n"},
  {"EmptyAddressList", {"START"}, {}, faults({{"FAULT_ADDRESSES", ""}}), "", "Failed to connect to nalt at 127.0.0.1:{port}\n", 3, {},
   "getaddrinfo\nfreeaddrinfo\nstderr\n"},
  // A number past 64 bits does not wrap round into range: no resolver, not
  // even one that takes anything, sees it.
  {"PortPast64BitsIsNotResolved", {"START"}, {}, faults({{"NALT_PORT", "18446744073709551617"}, {"FAULT_ADDRESSES", "127.0.0.1:{closed}"}}), "", "Failed to resolve nalt endpoint: {unknown service}\n", 3, {},
   "stderr\n"},
  {"SocketFailsThenNextConnects", {"START"}, replying("OK\n"), faults({{"FAULT_SOCKET_FAILS", "1"}, {"FAULT_ADDRESSES", "127.0.0.1:{port},127.0.0.1:{port}"}}), kAccepted + "OK\n", "", 0, "START\n",
   "getaddrinfo\nsocket failed\nsocket 1\nconnect 1 ok\nfreeaddrinfo\nsend 6 6\nrecv 256 3\nclose 1\nstdout\n"},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Client, Faults, testing::ValuesIn(kFaultRows),
                         [](const testing::TestParamInfo<Row>& info) { return info.param.name; });

// Argument 0 is shown as received, even empty. Only with no argument to
// show (Linux turns an empty vector into one empty argument 0) is the name
// the program's own.
TEST(CommandLine, UsageShowsArgumentZero) {
  if (!clientLauncher().empty())
    GTEST_SKIP() << "needs to start the client itself, not through a launcher";
  // clang-format off
  const std::pair<std::vector<std::string>, std::string> rows[] = {
    {{}, usage("naltctl")},
    {{""}, usage("naltctl")},
    {{"", "STOP", "now"}, usage("")},
    {{"", "start"}, "Unsupported command: start\n" + usage("")},
    {{"ctl"}, usage("ctl")},
  };
  // clang-format on
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

// Whatever a row says, the harness runs no program on 127.0.0.1:9090, where
// a real service listens, and connects nowhere there. (No command word: a
// harness that let the client through would still connect nowhere; a
// connection that got through would send nothing.)
TEST(Harness, RefusesTheRealServicesEndpoint) {
  const EnvChanges rows[] = {
      {},
      {{"NALT_PORT", "09090"}},
      {{"NALT_PORT", " +74626"}},
      {{"NALT_HOST", "localhost"}, {"NALT_PORT", "9090"}},
      {{"NALT_HOST", "0.0.0.0"}},
      {{"NALT_PORT", "1"}, {"FAULT_ADDRESSES", "127.0.0.1:1,0.0.0.0:09090"}}};
  for (const EnvChanges& env : rows)
    EXPECT_THROW(runProgram(clientPath(), {clientPath()}, env), std::runtime_error);
  EXPECT_THROW(Connection("74626"), std::runtime_error);
}

}  // namespace
