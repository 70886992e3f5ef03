// nalt-stub, driven by the real naltctl and by raw connections.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <utility>

#include "harness.h"

namespace {

RunResult runNaltctl(const char* word, const EnvChanges& env) {
  return runProgram(clientPath(), {clientPath(), word}, env);
}

// A nalt-stub on a free loopback port (or `wanted`), stopped at the end. Its log is read only as
// far as a test asks; beyond that, nobody reads it.
struct Stub {
  explicit Stub(const std::string& wanted = "0", std::string address = "127.0.0.1")
      : host(std::move(address)),
        process(startProgram({stubPath()}, {{"NALT_HOST", host}, {"NALT_PORT", wanted}})),
        banner(readLine(process, 30000)) {
    const std::string said = "nalt-stub listening on " + host + ":";
    port = std::to_string(banner.rfind(said, 0) == 0 ? std::atoi(&banner[said.size()]) : 0);
    if (port == "0") {
      // The test ends here, with what the stub said (errors share the pipe).
      stopProgram(process);
      throw std::runtime_error("nalt-stub did not say where it listens: \"" + banner + "\"");
    }
  }
  ~Stub() { stopProgram(process); }
  Stub(const Stub&) = delete;
  Stub& operator=(const Stub&) = delete;

  RunResult naltctl(const char* word) const {
    return runNaltctl(word, {{"NALT_HOST", host}, {"NALT_PORT", port}});
  }

  std::string host;
  Background process;
  std::string banner, port;
};

// The address and port it was given (a port this test reserved; every other test gives 0), and both
// again once it has served there: the connections it ended first, in TIME_WAIT, hold no port from a
// stand-in started again. A name is looked up as naltctl looks it up, for IPv4 alone.
TEST(Stub, AnnouncesWhereItListens) {
  const std::string port = std::to_string(closedPort());
  for (const std::string host : {"127.0.0.2", "127.0.0.2", "localhost"}) {
    const Stub stub(port, host);
    EXPECT_EQ(asWritten("nalt-stub listening on " + host + ":" + port + "\n"), stub.banner);
    EXPECT_EQ("OK started\n", talk(stub.port, "START\n", host));
  }
}

// A request, its reply, and the request as the log shows it (a line too long: not at all).
struct Request {
  std::string request, reply, shown = "";
};

// Each request on a connection of its own: the reply, then the log's lines.
TEST(Stub, AnswersAndLogs) {
  Stub stub;
  const Request rows[] = {
      {.request = "STOP\n", .reply = "ERR not running", .shown = "STOP"},
      {.request = "STARTX\n", .reply = "ERR unknown command", .shown = "STARTX"},
      {.request = "START\r\r\n", .reply = "ERR unknown command", .shown = "START?"},
      {.request = "START\r\n", .reply = "OK started", .shown = "START"},
      {.request = "STOPS\n", .reply = "ERR unknown command", .shown = "STOPS"},
      {.request = "START\n", .reply = "ERR already running", .shown = "START"},
      {.request = "a b\x1c\x1f~\n", .reply = "ERR unknown command", .shown = "a b??~"},
      {.request = "stop\n", .reply = "ERR unknown command", .shown = "stop"},
      {.request = std::string("ST\0OP\x01\x1b[2J\x7f\xc3\xa9\n", 14),
       .reply = "ERR unknown command",
       .shown = "ST?OP??[2J???"},
      {.request = std::string(1024, 'A') + "\r\n",
       .reply = "ERR unknown command",
       .shown = std::string(1024, 'A')},
      {.request = std::string(1025, 'A') + "\n", .reply = "ERR line too long"},
      // No line feed will come: the answer does not wait for one.
      {.request = std::string(1026, 'A'), .reply = "ERR line too long"},
      {.request = "STOP\n", .reply = "OK stopped", .shown = "STOP"},
  };
  for (const Request& row : rows) {
    SCOPED_TRACE(row.request.substr(0, 20));
    EXPECT_EQ(row.reply + "\n", talk(stub.port, row.request));
    if (!row.shown.empty()) {
      EXPECT_EQ(asWritten("nalt-stub: request " + row.shown + "\n"), readLine(stub.process, 10000));
    }
    EXPECT_EQ(asWritten("nalt-stub: " + row.reply + "\n"), readLine(stub.process, 10000));
  }
}

// Refused at start, status 2: every port number naltctl refuses too, and arguments.
TEST(Stub, RefusesWhatItCannotUse) {
  for (const std::string port : {"65536", " +65536", "-1", "-4294967295", "99999999999999999999"}) {
    const RunResult run = runProgram(stubPath(), {stubPath()}, {{"NALT_PORT", port}});
    EXPECT_EQ(2, run.status) << "NALT_PORT=" << port;
    const std::string refused = "NALT_PORT must be a port number from 0 to 65535 or a service name";
    EXPECT_EQ(asWritten("nalt-stub: " + refused + ", not \"" + port + "\"\n"), run.err);
  }
  const RunResult run = runProgram(stubPath(), {"nalt-stub", "START"}, {{"NALT_PORT", "0"}});
  EXPECT_EQ(2, run.status);
  EXPECT_EQ(asWritten("usage: nalt-stub\nServes the nalt control protocol on NALT_HOST:NALT_PORT "
                      "(default 127.0.0.1:9090; port 0 picks a free port).\n"),
            run.err);
}

// A port in use: status 1 and the reason on one line, in the system's words (and number).
TEST(Stub, SaysWhyItCannotListen) {
  const Stub first;
  const RunResult run = runProgram(stubPath(), {stubPath()}, {{"NALT_PORT", first.port}});
  EXPECT_EQ(1, run.status);
  const std::string prefix = "nalt-stub: cannot listen on 127.0.0.1:" + first.port + ": ";
  const std::string reason = kWindows ? "Winsock error 10048" : "Address already in use\n";
  EXPECT_EQ(prefix + reason, run.err.substr(0, prefix.size() + reason.size()));
  EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "more than one line";
}

// A client that sends a byte every half second but never a line feed is dropped unanswered 5 s
// after it connected: no sooner, and before twenty of its bytes have gone, which the deadline must
// not move. Then the next client is served.
TEST(Stub, DropsAClientThatNeverEndsItsLine) {
  Stub stub;
  const auto opened = std::chrono::steady_clock::now();
  Connection trickle(stub.port);
  for (int i = 0; i < 20 && !trickle.closed; ++i) {
    trickle.send("S");
    EXPECT_EQ("", trickle.receive(500)) << "it answered a line never ended";
  }
  EXPECT_TRUE(trickle.closed) << "a byte every 0.5 s held it for 10 s";
  EXPECT_GE(std::chrono::steady_clock::now() - opened, std::chrono::seconds(5));
  EXPECT_LT(std::chrono::steady_clock::now() - opened, std::chrono::seconds(7)) << "not 5 s";
  EXPECT_EQ("OK started\n", talk(stub.port, "START\n"));
}

// Whether nobody reads its log or its reader has gone (on POSIX a write then raises SIGPIPE, which
// it ignores, as it must for clients that reset), it serves on; SIGTERM or SIGINT (Ctrl+C on
// Windows) then ends it with status 0 within a second (two allowed on a loaded machine), even while
// a silent client holds it and its log is stuck.
TEST(Stub, ServesAndStopsWhateverBecomesOfItsLog) {
  for (const bool readerGone : {false, true}) {
    SCOPED_TRACE(readerGone ? "log reader gone, then SIGINT" : "log unread, then SIGTERM");
    Stub stub;
    if (readerGone) {
      // The reader goes away: with no process, stopProgram closes only the pipe.
      Background reader{0, std::exchange(stub.process.output, 0)};
      stopProgram(reader);
    }
    // By naltctl first: a stub that SIGPIPE has ended fails these, cleanly.
    ASSERT_EQ(asWritten("Sent command: START\nnalt response: OK started\n"),
              stub.naltctl("START").out);
    ASSERT_EQ(asWritten("nalt rejected command: ERR already running\n"), stub.naltctl("START").err);
    const auto exchange = [&stub] {  // 100 times, some 500 log lines
      for (int i = 0; i < 100; ++i) {
        ASSERT_EQ("OK stopped\n", talk(stub.port, "STOP\n")) << "exchange " << i;
        ASSERT_EQ("OK started\n", talk(stub.port, "START\n")) << "exchange " << i;
        Connection resetting(stub.port);
        resetting.send("START\n");
        resetting.reset();
      }
    };
    exchange();
    if (!readerGone && !kWindows) {  // the pipe's 4 KiB and 100 more; the rest were dropped
      int lines = 0;
      while (!readLine(stub.process, 1000).empty())
        ++lines;
      EXPECT_GT(lines, 100);
      EXPECT_LT(lines, 350) << "it kept every log line";
      exchange();  // stuck again
    }
    const Connection silent(stub.port);
    sleepMs(1000);  // so that it has taken the silent client
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(0, stopProgram(stub.process, /*interrupt=*/readerGone));
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(2));
  }
}

// With no settings at all, as README has it: the stand-in on 127.0.0.1:9090 and naltctl there too,
// in a network of the test program's own.
TEST(Stub, ServesNaltctlWithNoSettings) {
  if (!isolatedNetwork())
    GTEST_SKIP() << "no network namespace of its own: 127.0.0.1:9090 may be a real service's";
  const EnvChanges none = {{"NALT_HOST", std::nullopt}, {"NALT_PORT", std::nullopt}};
  Background stub = startProgram({stubPath()}, none);
  EXPECT_EQ(asWritten("nalt-stub listening on 127.0.0.1:9090\n"), readLine(stub, 30000));
  EXPECT_EQ(asWritten("Sent command: START\nnalt response: OK started\n"),
            runNaltctl("START", none).out);
  EXPECT_EQ(0, stopProgram(stub));
}

#ifndef _WIN32
// Started with stdin and stdout closed, its sockets must not take them: no client gets its log.
TEST(Stub, KeepsItsLogOutOfConnections) {
  const EnvChanges env = {{"NALT_HOST", "127.0.0.1"}, {"NALT_PORT", std::to_string(closedPort())}};
  Background stub = startProgram({"sh", "-c", "exec \"$0\" 0<&- 1>&-", stubPath()}, env);
  RunResult run = runNaltctl("STOP", env);  // its banner unseen: it listens once naltctl connects
  for (int i = 0; i < 300 && run.err.rfind("Failed to connect", 0) == 0; ++i, sleepMs(100))
    run = runNaltctl("STOP", env);
  EXPECT_EQ("nalt rejected command: ERR not running\n", run.err);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ("Sent command: START\nnalt response: OK started\n", runNaltctl("START", env).out);
    EXPECT_EQ("Sent command: STOP\nnalt response: OK stopped\n", runNaltctl("STOP", env).out);
  }
  EXPECT_EQ(0, stopProgram(stub));
}
#endif

}  // namespace
