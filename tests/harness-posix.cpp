// The harness's POSIX side: sockets, and programs run as child processes.

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "harness-platform.h"

extern char** environ;

std::string besideTests(const char* path) { return path; }

char** inheritedEnvironment() { return environ; }

namespace {

// Before main, while there is one thread, as unshare needs: the test program
// and all it starts get a network of their own with only loopback up, so a
// client that goes where no row sends it reaches nothing real. Not root, it
// takes a user namespace first, with only its own ids mapped.
[[gnu::constructor(101)]] void isolateNetwork() {
  const std::string uid = std::to_string(geteuid()), gid = std::to_string(getegid());
  bool isolated = unshare(CLONE_NEWNET) == 0;
  if (!isolated && unshare(CLONE_NEWUSER) == 0) {
    std::ofstream("/proc/self/setgroups") << "deny";
    std::ofstream("/proc/self/uid_map") << uid + " " + uid + " 1";
    std::ofstream("/proc/self/gid_map") << gid + " " + gid + " 1";
    isolated = unshare(CLONE_NEWNET) == 0;
  }
  ifreq loopback{};
  std::snprintf(loopback.ifr_name, sizeof loopback.ifr_name, "lo");
  loopback.ifr_flags = IFF_UP;
  const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (!isolated || ioctl(s, SIOCSIFFLAGS, &loopback) != 0)
    std::perror("[   NOTE   ] no network namespace, running on this machine's network");
  close(s);
}

// Starts argv (found on PATH) with stdin on /dev/null and stdout and stderr
// on `out` and `err` (-1: closed), and nothing else of the test's open. It
// dies with the test, so a test that is killed leaves nothing running.
pid_t spawn(const std::string& program, const std::vector<std::string>& argv,
            std::vector<std::string> environment, int out, int err) {
  // Everything the child needs is built before the fork: after it, only
  // async-signal-safe calls.
  std::vector<char*> args, envp;
  for (const std::string& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  for (std::string& e : environment)
    envp.push_back(e.data());
  args.push_back(nullptr);
  envp.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
      _exit(127);
    dup2(open("/dev/null", O_RDONLY | O_CLOEXEC), 0);
    for (const auto& [from, to] : {std::pair{out, 1}, std::pair{err, 2}}) {
      if (from < 0)
        close(to);
      else
        dup2(from, to);
    }
    close_range(3, ~0U, 0);
    execvpe(program.c_str(), args.data(), envp.data());
    _exit(127);
  }
  return pid;
}

}  // namespace
RunResult runProgram(const std::string& program, const std::vector<std::string>& argv,
                     const EnvChanges& env, Output output, int seconds) {
  std::vector<std::string> environment = environmentFor(env);  // first: it may throw
  int out[2], err[2], sink = -1;
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
    std::abort();
  if (int gone[2]; output == Output::Gone && pipe2(gone, O_CLOEXEC) == 0) {
    close(gone[0]);
    sink = gone[1];
  } else if (output == Output::Full) {
    sink = open("/dev/full", O_WRONLY | O_CLOEXEC);
  }
  const bool captured = output == Output::Captured;
  const pid_t pid = spawn(program, argv, std::move(environment), captured ? out[1] : sink,
                          captured ? err[1] : sink);
  for (const int fd : {out[1], err[1], sink})
    close(fd);

  RunResult result;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, 2, static_cast<int>(left)) <= 0)
      continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0)
        continue;
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
      }
    }
  }
  for (const pollfd& p : fds)
    if (p.fd >= 0)
      close(p.fd);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  result.maxRssKb = usage.ru_maxrss;
  result.status = WIFEXITED(status) && !result.timedOut ? WEXITSTATUS(status) : -1;
  return result;
}

Background startProgram(const std::vector<std::string>& argv, const EnvChanges& env) {
  std::vector<std::string> environment = environmentFor(env);  // first: it may throw
  int output[2];
  if (pipe2(output, O_CLOEXEC) != 0)
    std::abort();
  // The smallest pipe, so that a program which waits for its output to be
  // read is caught within a few hundred lines.
  fcntl(output[1], F_SETPIPE_SZ, 4096);
  const pid_t pid = spawn(argv.front(), argv, std::move(environment), output[1], output[1]);
  close(output[1]);
  return {pid, output[0]};
}

std::string readLine(const Background& program, int ms) {
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  pollfd p{static_cast<int>(program.output), POLLIN, 0};
  for (char c = 0; c != '\n' && std::chrono::steady_clock::now() < deadline;) {
    if (poll(&p, 1, 10) > 0 && read(p.fd, &c, 1) == 1)
      line += c;
    else if (p.revents & POLLHUP)
      break;
  }
  return line;
}

int stopProgram(Background& program, bool interrupt) {
  const auto pid = static_cast<pid_t>(program.id);
  program.id = 0;
  int status = -1;
  if (pid > 0 && kill(pid, interrupt ? SIGINT : SIGTERM) == 0) {
    for (int i = 0; i < kStopMs / 10 && waitpid(pid, &status, WNOHANG) == 0; ++i)
      sleepMs(10);
    if (kill(pid, 0) == 0 && kill(pid, SIGKILL) == 0)
      waitpid(pid, &status, 0);
  }
  // Only now: a program stuck on its output must be seen to be stuck.
  if (program.output > 0)
    close(static_cast<int>(program.output));
  program.output = 0;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

unsigned processId() { return static_cast<unsigned>(getpid()); }
