// What harness.cpp needs of each platform besides harness.h and the socket
// seam it shares with nalt-stub (sockets.h): the socket options that differ,
// here, and the process calls that harness-posix.cpp or harness-win32.cpp
// defines. A Handle is a descriptor (POSIX) or a HANDLE (Windows).
#pragma once

#include "harness.h"

#ifdef _WIN32
constexpr int kSocketFlags = 0;
constexpr int kNoSignal = 0;
constexpr int kShutSend = SD_SEND;
const DWORD kSendLimit = 10000;  // ms
#else
#include <netinet/tcp.h>
constexpr int kSocketFlags = SOCK_CLOEXEC;
constexpr int kNoSignal = MSG_NOSIGNAL;
constexpr int kShutSend = SHUT_WR;
const timeval kSendLimit{10, 0};
#endif

constexpr int kStopMs = 3000;  // how long stopProgram waits (harness.h)

using Handle = std::intptr_t;
struct Pipe {
  Handle read, write;
};

// The built program `name`, found where the test programs expect it.
std::string besideTests(const char* name);
char** inheritedEnvironment();
// The test's environment less every NALT_ variable, plus `env` (a later
// change to a name wins), as NAME=VALUE, guarded as harness.h says.
std::vector<std::string> environmentFor(const EnvChanges& env);
// A pipe (of `size` bytes, 0: the system's choice) whose read end no child inherits.
Pipe openPipe(unsigned size);
// Where every write fails as `output` says; for Captured, none.
Handle openSink(Output output);
void closeHandle(Handle handle);
// Blocks for the next bytes; 0 at the end or on an error.
long readSome(Handle handle, char* buffer, unsigned size);
// Whether a read would not block, after waiting up to `ms` for it.
bool readable(Handle handle, int ms);
// Starts `program` with the command line argv, stdin empty, and stdout and
// stderr on `out` and `err`; on Windows `console` gives it one of its own,
// for the Ctrl+C of endProgram. It ends with the test, however that ends.
Handle spawn(const std::string& program, const std::vector<std::string>& argv,
             const std::vector<std::string>& environment, Handle out, Handle err, bool console);
// Waits up to `ms` for the process to end, then kills it; the exit status,
// or -1 when it was killed or died of a signal. Fills in `run`'s timedOut
// and maxRssKb when given.
int finish(Handle process, int ms, RunResult* run = nullptr);
// Asks it to end as stopProgram says; its status as finish gives it.
int endProgram(Handle process, bool interrupt);
