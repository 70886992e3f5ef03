// nalt-stub, driven by the real naltctl and by raw sockets.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
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
  explicit Stub(const char* idleMs = "5000") {
    int out[2];
    if (pipe(out) != 0)
      std::abort();
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      setenv("NALT_HOST", "127.0.0.1", 1);
      setenv("NALT_PORT", "0", 1);
      setenv("NALT_STUB_IDLE_MS", idleMs, 1);
      execl(NALT_STUB_PATH, NALT_STUB_PATH, static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    out_ = fdopen(out[0], "r");
    char line[128] = "";
    if (std::fgets(line, sizeof line, out_) != nullptr)
      banner_ = line;
    const std::size_t colon = banner_.rfind(':');
    port_ = colon == std::string::npos ? "" : banner_.substr(colon + 1, banner_.size() - colon - 2);
  }
  ~Stub() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    std::fclose(out_);
  }
  Stub(const Stub&) = delete;
  Stub& operator=(const Stub&) = delete;

  const std::string& banner() const { return banner_; }
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
  pid_t pid_ = -1;
  FILE* out_ = nullptr;
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

TEST(Stub, EndsCleanlyOnSigint) {
  Stub stub;
  EXPECT_EQ("OK started\n", talk(stub.port(), "START\n"));
  EXPECT_EQ(0, stub.terminate(SIGINT));
}

}  // namespace
