// nalt-stub, driven by the real naltctl and by raw connections.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <tuple>

#include "harness.h"

namespace {

// A nalt-stub on a free loopback port, stopped at the end. Its first line
// is read, the rest of its log never: it must serve all the same.
class Stub {
 public:
  // `launcher` words go in front of the stub; `port` 0 lets it choose.
  explicit Stub(const char* idleMs = "5000", std::vector<std::string> launcher = {},
                const std::string& port = "0") {
    launcher.push_back(stubPath());
    process_ = startProgram(
        launcher, {{"NALT_HOST", "127.0.0.1"}, {"NALT_PORT", port}, {"NALT_STUB_IDLE_MS", idleMs}});
    banner_ = readLine(process_, 30000);
    const std::string said = "nalt-stub listening on 127.0.0.1:";
    const int announced = banner_.rfind(said, 0) == 0 ? std::atoi(&banner_[said.size()]) : 0;
    if (announced <= 0) {
      // The test ends here, with what the stub said (errors share the pipe).
      stopProgram(process_);
      throw std::runtime_error("nalt-stub did not say where it listens: \"" + banner_ + "\"");
    }
    port_ = std::to_string(announced);
  }
  ~Stub() { stopProgram(process_); }
  Stub(const Stub&) = delete;
  Stub& operator=(const Stub&) = delete;

  const std::string& banner() const { return banner_; }
  const std::string& port() const { return port_; }
  const Background& process() const { return process_; }
  // Asks it to end (SIGTERM or SIGINT; Ctrl+C on Windows); its exit status.
  int stop(bool interrupt = false) { return stopProgram(process_, interrupt); }

  RunResult naltctl(const char* word, int seconds = 10) const {
    return runProgram(clientPath(), {clientPath(), word}, {{"NALT_PORT", port_}}, Output::Captured,
                      seconds);
  }

 private:
  Background process_;
  std::string banner_;
  std::string port_;
};

using Clock = std::chrono::steady_clock;

// A connection that has said nothing since `opened` must be closed by the
// stub, and no sooner than its idle time.
void expectDropped(Connection& silent, Clock::time_point opened, int idleMs) {
  EXPECT_EQ("", silent.receive(idleMs + 30000));
  EXPECT_TRUE(silent.closed()) << "the silent client was not dropped";
  EXPECT_GE(Clock::now() - opened, std::chrono::milliseconds(idleMs));
}

// The port it was given (one this test reserved) or, given 0, chose.
TEST(Stub, AnnouncesWhereItListens) {
  const std::string port = std::to_string(closedPort());
  const Stub stub("5000", {}, port);
  EXPECT_EQ(asWritten("nalt-stub listening on 127.0.0.1:" + port + "\n"), stub.banner());
}

// The client and the stub together, through a whole start-stop cycle.
TEST(Stub, DrivenByNaltctl) {
  Stub stub;
  struct Step {
    const char* word;
    int status;
    std::string out, err;
  };
  const Step steps[] = {
      {"START", 0, "Sent command: START\nnalt response: OK started\n", ""},
      {"START", 3, "", "nalt rejected command: ERR already running\n"},
      {"STOP", 0, "Sent command: STOP\nnalt response: OK stopped\n", ""},
      {"STOP", 3, "", "nalt rejected command: ERR not running\n"},
  };
  for (const Step& step : steps) {
    const RunResult run = stub.naltctl(step.word);
    EXPECT_EQ(step.status, run.status) << step.word;
    EXPECT_EQ(asWritten(step.out), run.out);
    EXPECT_EQ(asWritten(step.err), run.err);
  }
  EXPECT_EQ(0, stub.stop());
}

TEST(Stub, AnswersWhatItDoesNotKnow) {
  Stub stub;
  const std::pair<std::string, std::string> rows[] = {
      {"RESTART\n", "ERR unknown command\n"},
      {"start\n", "ERR unknown command\n"},
      {"START\r\n", "OK started\n"},
      {std::string(1025, 'A') + "\n", "ERR line too long\n"},
      {std::string(1024, 'A') + "\r\n", "ERR unknown command\n"},
      {std::string("ST\0OP\n", 6), "ERR unknown command\n"},
  };
  for (const auto& [request, reply] : rows)
    EXPECT_EQ(reply, talk(stub.port(), request)) << request.substr(0, 20);
}

// Refused at start, status 2: an idle time that is not a whole number of
// milliseconds up to a day, and every port number naltctl refuses too.
TEST(Stub, RefusesSettingsItCannotRead) {
  // clang-format off
  const std::tuple<const char*, const char*, std::vector<const char*>> rows[] = {
    {"NALT_STUB_IDLE_MS", "a whole number of milliseconds from 1 to 86400000", {"1e3", "0", "-5", " 100", "86400001", "99999999999999999999"}},
    {"NALT_PORT", "a port number from 0 to 65535 or a service name", {"65536", " +65536", "-1", "-4294967295", "99999999999999999999"}},
  };
  // clang-format on
  for (const auto& [name, rule, values] : rows)
    for (const char* value : values) {
      const RunResult run =
          runProgram(stubPath(), {stubPath()}, {{"NALT_PORT", "0"}, {name, value}});
      EXPECT_EQ(2, run.status) << name << "=" << value;
      EXPECT_EQ(asWritten(std::string("nalt-stub: ") + name + " must be " + rule + ", not \"" +
                          value + "\"\n"),
                run.err);
    }
}

// A port in use: the reason, on one line, with the system's words (the
// number too, on Windows) and status 1.
TEST(Stub, SaysWhyItCannotListen) {
  Stub first;
  const RunResult run = runProgram(stubPath(), {stubPath()}, {{"NALT_PORT", first.port()}});
  EXPECT_EQ(1, run.status);
  const std::string prefix = "nalt-stub: cannot listen on 127.0.0.1:" + first.port() + ": ";
  const std::string reason = kWindows ? "Winsock error 10048" : "Address already in use\n";
  EXPECT_EQ(prefix + reason, run.err.substr(0, prefix.size() + reason.size()));
  EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "more than one line";
}

// A client that says nothing is dropped, and holds up nobody meanwhile.
// (Leading zeros are part of a whole number.)
TEST(Stub, SilentClientDoesNotBlockOthers) {
  Stub stub("0000000300");
  const auto opened = Clock::now();
  Connection silent(stub.port());
  EXPECT_EQ("OK started\n", talk(stub.port(), "START\n"));
  expectDropped(silent, opened, 300);
}

// More silent clients than it holds: the oldest make room, so a client with
// something to say is answered at once, not when they time out.
TEST(Stub, CrowdOfSilentClientsDoesNotBlockOthers) {
  // The longest idle time it takes, so only room at the cap can drop them.
  Stub stub("86400000");
  std::vector<std::unique_ptr<Connection>> crowd;
  for (int i = 0; i < 600; ++i)
    crowd.push_back(std::make_unique<Connection>(stub.port()));
  const RunResult run = stub.naltctl("START", 30);
  EXPECT_FALSE(run.timedOut) << "the crowd held the client up";
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("", crowd.front()->receive());
  EXPECT_TRUE(crowd.front()->closed()) << "the oldest was not dropped";
}

// Out of descriptors, it waits for a client to go instead of spinning on
// a listener that stays readable; then it serves again.
TEST(Stub, OutOfDescriptorsItWaitsForAClientToGo) {
  if (kWindows)
    GTEST_SKIP() << "Windows has no descriptor limit to lower";
  Stub stub("60000", {"prlimit", "--nofile=24"});
  std::vector<std::unique_ptr<Connection>> crowd;
  for (int i = 0; i < 40; ++i)
    crowd.push_back(std::make_unique<Connection>(stub.port()));
  const double before = cpuSeconds(stub.process());
  sleepMs(1000);
  EXPECT_LT(cpuSeconds(stub.process()) - before, 0.2) << "it spun";
  crowd.clear();
  EXPECT_EQ(0, stub.naltctl("START").status);
}

// Each abuse, then proof that the stub still serves and holds nothing more
// than before.
TEST(Stub, SurvivesAbuse) {
  Stub stub("1000");
  const std::string& port = stub.port();
  const int before = openHandles(stub.process());
  struct Abuse {
    const char* name;
    void (*run)(const std::string& port);
  };
  const Abuse abuses[] = {
      {"silent client",
       [](const std::string& p) {
         const auto opened = Clock::now();
         Connection silent(p);
         expectDropped(silent, opened, 1000);
       }},
      {"1 MiB line",
       [](const std::string& p) {
         EXPECT_EQ("ERR line too long\n", talk(p, std::string(1 << 20, 'S')));
       }},
      {"binary garbage",
       [](const std::string& p) {
         std::string garbage;
         for (int i = 0; i < 512; ++i)
           garbage += static_cast<char>(i * 37);
         garbage.erase(std::remove(garbage.begin(), garbage.end(), '\n'), garbage.end());
         EXPECT_EQ("ERR unknown command\n", talk(p, garbage + "\n"));
       }},
      {"200 clients at once",
       [](const std::string& p) {
         // Each says its line at once, so however slowly the machine opens
         // the rest, none is dropped for silence.
         std::vector<std::unique_ptr<Connection>> crowd;
         for (int i = 0; i < 200; ++i) {
           crowd.push_back(std::make_unique<Connection>(p));
           crowd.back()->send("PING\n");
         }
         for (const auto& connection : crowd)
           EXPECT_EQ("ERR unknown command\n", connection->receive());
       }},
      {"reset mid-line",
       [](const std::string& p) {
         Connection connection(p);
         connection.send("STA");
         connection.reset();
       }},
  };
  for (const Abuse& abuse : abuses) {
    SCOPED_TRACE(abuse.name);
    abuse.run(port);
    const RunResult run = stub.naltctl("STOP");
    EXPECT_EQ(3, run.status);
    EXPECT_EQ(asWritten("nalt rejected command: ERR not running\n"), run.err);
  }
  EXPECT_EQ(asWritten("Sent command: START\nnalt response: OK started\n"),
            stub.naltctl("START").out);
  // Silent and reset clients are let go within the idle time.
  sleepMs(2000);
  if (before < 0)
    std::printf("[   NOTE   ] descriptors not compared: this platform cannot count them\n");
  else
    EXPECT_EQ(before, openHandles(stub.process()));
}

// Nobody reads its log past the first line: it goes on serving (dropping
// log lines) and still ends when asked.
TEST(Stub, ServesWhileNobodyReadsItsLog) {
  Stub stub;
  for (int i = 0; i < 600; ++i) {
    ASSERT_EQ("OK started\n", talk(stub.port(), "START\n")) << "exchange " << i;
    ASSERT_EQ("OK stopped\n", talk(stub.port(), "STOP\n")) << "exchange " << i;
  }
  EXPECT_EQ(0, stub.stop()) << "it did not end by itself";
}

// SIGINT (Ctrl+C on Windows) ends it cleanly, with status 0.
TEST(Stub, EndsCleanlyWhenInterrupted) {
  Stub stub;
  EXPECT_EQ("OK started\n", talk(stub.port(), "START\n"));
  EXPECT_EQ(0, stub.stop(true));
}

}  // namespace
