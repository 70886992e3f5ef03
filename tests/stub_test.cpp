// nalt-stub, driven by the real naltctl and by raw sockets.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "harness.h"

namespace {

// A nalt-stub on a free loopback port, stopped with SIGTERM at the end.
class Stub {
 public:
  // Its log goes to a file: a pipe nobody reads would fill and stall it.
  explicit Stub(const char* idleMs = "5000") : log_(testing::TempDir() + "nalt-stub-log-") {
    log_ += std::to_string(getpid());
    pid_ = fork();
    if (pid_ == 0) {
      const int out = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(out, 1);
      close_range(3, ~0U, 0);
      setenv("NALT_HOST", "127.0.0.1", 1);
      setenv("NALT_PORT", "0", 1);
      setenv("NALT_STUB_IDLE_MS", idleMs, 1);
      execl(NALT_STUB_PATH, NALT_STUB_PATH, static_cast<char*>(nullptr));
      _exit(127);
    }
    // Its first whole line, within two seconds.
    for (int i = 0; i < 200 && banner_.empty(); ++i) {
      usleep(10000);
      std::ifstream in(log_);
      const std::string text{std::istreambuf_iterator<char>(in), {}};
      const std::size_t end = text.find('\n');
      if (end != std::string::npos)
        banner_ = text.substr(0, end + 1);
    }
    const std::size_t colon = banner_.rfind(':');
    port_ = colon == std::string::npos ? "" : banner_.substr(colon + 1, banner_.size() - colon - 2);
  }
  ~Stub() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    std::remove(log_.c_str());
  }
  Stub(const Stub&) = delete;
  Stub& operator=(const Stub&) = delete;

  const std::string& banner() const { return banner_; }
  // How many descriptors the stub has open right now.
  int openDescriptors() const {
    int count = 0;
    if (DIR* dir = opendir(("/proc/" + std::to_string(pid_) + "/fd").c_str())) {
      while (const dirent* entry = readdir(dir))
        count += entry->d_name[0] != '.';
      closedir(dir);
    }
    return count;
  }
  const std::string& port() const { return port_; }

  // Sends `signal` and returns the exit status.
  int terminate(int signal = SIGTERM) {
    kill(pid_, signal);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  RunResult naltctl(const char* word) const {
    return runProgram(clientPath(), {clientPath(), word}, {{"NALT_PORT", port_}});
  }

 private:
  std::string log_;
  pid_t pid_ = -1;
  std::string banner_;
  std::string port_;
};

int connectTo(const std::string& port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(std::stoi(port)));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    std::abort();
  // A stub that stops answering fails the test instead of hanging it.
  const timeval limit{3, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return fd;
}

// Sends `request` on a fresh connection and returns all the stub sends back
// before it closes.
std::string talk(const std::string& port, const std::string& request) {
  const int fd = connectTo(port);
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string reply;
  char buffer[256];
  for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
    reply.append(buffer, static_cast<std::size_t>(n));
  close(fd);
  return reply;
}

TEST(Stub, AnnouncesWhereItListens) {
  Stub stub;
  EXPECT_EQ("nalt-stub listening on 127.0.0.1:" + stub.port() + "\n", stub.banner());
  EXPECT_GT(std::stoi(stub.port()), 0);
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
    EXPECT_EQ(step.out, run.out);
    EXPECT_EQ(step.err, run.err);
  }
  EXPECT_EQ(0, stub.terminate());
}

TEST(Stub, AnswersWhatItDoesNotKnow) {
  Stub stub;
  const std::pair<std::string, std::string> rows[] = {
      {"RESTART\n", "ERR unknown command\n"},
      {"start\n", "ERR unknown command\n"},
      {"START\r\n", "OK started\n"},
      {std::string(1025, 'A') + "\n", "ERR line too long\n"},
      {std::string("ST\0OP\n", 6), "ERR unknown command\n"},
  };
  for (const auto& [request, reply] : rows)
    EXPECT_EQ(reply, talk(stub.port(), request)) << request.substr(0, 20);
}

// A client that says nothing is dropped, and holds up nobody meanwhile.
TEST(Stub, SilentClientDoesNotBlockOthers) {
  Stub stub("300");
  const int silent = connectTo(stub.port());
  EXPECT_EQ("OK started\n", talk(stub.port(), "START\n"));
  char byte;
  EXPECT_EQ(0, recv(silent, &byte, 1, 0)) << "the silent client was not dropped";
  close(silent);
}

void resetConnection(int fd) {
  const linger abort{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  close(fd);
}

// Each abuse, then proof that the stub still serves and holds nothing more
// than before.
TEST(Stub, SurvivesAbuse) {
  Stub stub("300");
  const std::string& port = stub.port();
  const int before = stub.openDescriptors();
  struct Abuse {
    const char* name;
    void (*run)(const std::string& port);
  };
  const Abuse abuses[] = {
      {"silent client",
       [](const std::string& p) {
         const int fd = connectTo(p);
         char byte;
         EXPECT_EQ(0, recv(fd, &byte, 1, 0)) << "not dropped";
         close(fd);
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
         std::vector<int> fds;
         for (int i = 0; i < 200; ++i)
           fds.push_back(connectTo(p));
         for (const int fd : fds)
           send(fd, "PING\n", 5, MSG_NOSIGNAL);
         for (const int fd : fds) {
           char reply[64] = "";
           EXPECT_EQ(20, recv(fd, reply, sizeof reply, MSG_WAITALL));
           EXPECT_STREQ("ERR unknown command\n", reply);
           close(fd);
         }
       }},
      {"reset mid-line",
       [](const std::string& p) {
         const int fd = connectTo(p);
         send(fd, "STA", 3, MSG_NOSIGNAL);
         resetConnection(fd);
       }},
  };
  for (const Abuse& abuse : abuses) {
    SCOPED_TRACE(abuse.name);
    abuse.run(port);
    const RunResult run = stub.naltctl("STOP");
    EXPECT_EQ(3, run.status);
    EXPECT_EQ("nalt rejected command: ERR not running\n", run.err);
  }
  EXPECT_EQ("Sent command: START\nnalt response: OK started\n", stub.naltctl("START").out);
  // Silent and reset clients are let go within the idle time.
  usleep(500000);
  EXPECT_EQ(before, stub.openDescriptors());
}

TEST(Stub, EndsCleanlyOnSigint) {
  Stub stub;
  EXPECT_EQ("OK started\n", talk(stub.port(), "START\n"));
  EXPECT_EQ(0, stub.terminate(SIGINT));
}

}  // namespace
