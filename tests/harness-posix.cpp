// The harness's POSIX side: programs run as child processes.

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
#include <fstream>

#include "harness-platform.h"

extern char** environ;

std::string besideTests(const char* path) { return path; }

char** inheritedEnvironment() { return environ; }

namespace {

bool isolated = false;  // by isolateNetwork, before main

// Before main, while there is one thread, as unshare needs: the test program and all it starts get
// a network of their own with only loopback up, so a client that goes where no row sends it reaches
// nothing real. Not root, it takes a user namespace first, with only its own ids mapped.
[[gnu::constructor(101)]] void isolateNetwork() {
  const std::string uid = std::to_string(geteuid()), gid = std::to_string(getegid());
  isolated = unshare(CLONE_NEWNET) == 0;
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
  isolated = isolated && ioctl(s, SIOCSIFFLAGS, &loopback) == 0;
  if (!isolated)
    std::perror("[   NOTE   ] no network namespace, running on this machine's network");
  close(s);
}

}  // namespace

bool isolatedNetwork() { return isolated; }

Pipe openPipe(unsigned size) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0)
    std::abort();
  if (size != 0)
    fcntl(ends[1], F_SETPIPE_SZ, size);
  return {ends[0], ends[1]};
}

Handle openFull() { return open("/dev/full", O_WRONLY | O_CLOEXEC); }

void closeHandle(Handle handle) { close(static_cast<int>(handle)); }

long readSome(Handle handle, char* buffer, unsigned size, int ms) {
  pollfd entry{static_cast<int>(handle), POLLIN, 0};
  if (ms >= 0 && poll(&entry, 1, ms) <= 0)
    return -1;
  const ssize_t n = read(entry.fd, buffer, size);
  return n > 0 ? n : 0;
}

// The child dies with the test (PR_SET_PDEATHSIG), so a test that is killed leaves nothing running,
// and holds nothing of the test's open.
Handle spawn(const std::string& program, const std::vector<std::string>& argv,
             const std::vector<std::string>& environment, Handle out, Handle err, bool) {
  // Everything the child needs is built before the fork: after it, only async-signal-safe calls.
  std::vector<char*> args, envp;
  for (const std::string& a : argv)
    args.push_back(const_cast<char*>(a.c_str()));
  for (const std::string& e : environment)
    envp.push_back(const_cast<char*>(e.c_str()));
  args.push_back(nullptr);
  envp.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
      _exit(127);
    dup2(open("/dev/null", O_RDONLY | O_CLOEXEC), 0);
    for (const auto& [from, to] : {std::pair{out, 1}, std::pair{err, 2}})
      from < 0 ? close(to) : dup2(static_cast<int>(from), to);
    close_range(3, ~0U, 0);
    execvpe(program.c_str(), args.data(), envp.data());
    _exit(127);
  }
  return pid;
}

int waitForExit(Handle process, int ms, RunResult* run) {
  const auto pid = static_cast<pid_t>(process);
  int status = 0;
  rusage usage{};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  pid_t ended = 0;
  while ((ended = wait4(pid, &status, WNOHANG, &usage)) == 0 &&
         std::chrono::steady_clock::now() < deadline)
    sleepMs(5);
  const bool killed = ended == 0 && kill(pid, SIGKILL) == 0 && wait4(pid, &status, 0, &usage) > 0;
  if (run != nullptr) {
    run->timedOut = killed;
    run->maxRssKb = usage.ru_maxrss;
  }
  return WIFEXITED(status) && !killed ? WEXITSTATUS(status) : -1;
}

int stopProcess(Handle process, bool interrupt) {
  kill(static_cast<pid_t>(process), interrupt ? SIGINT : SIGTERM);
  return waitForExit(process, kStopMs);
}

unsigned processId() { return static_cast<unsigned>(getpid()); }
