// What harness.cpp needs of a platform besides the socket seam (sockets.h): the calls
// harness-posix.cpp or harness-win32.cpp defines on a Handle, a descriptor or a Windows HANDLE.
#pragma once

#include "harness.h"

constexpr int kStopMs = 3000;  // how long stopProgram waits (harness.h)

using Handle = std::intptr_t;
struct Pipe {
  Handle read, write;
};

// The built program `name`, found where the test programs expect it.
std::string besideTests(const char* name);
char** inheritedEnvironment();
Pipe openPipe(unsigned size);  // 0: the system's size; no child inherits the read end
Handle openFull();             // where every write fails: /dev/full
void closeHandle(Handle handle);
// The next bytes, waiting for them up to `ms` (-1: as long as it takes): their count, -1 when none
// came in time, 0 at the end or on an error.
long readSome(Handle handle, char* buffer, unsigned size, int ms = -1);
// Starts `program` as harness.h's runProgram says, with stdout and stderr on `out` and `err`, in a
// hidden console of its own if `console` (Windows).
Handle spawn(const std::string& program, const std::vector<std::string>& argv,
             const std::vector<std::string>& environment, Handle out, Handle err, bool console);
// Waits up to `ms`, then kills it: the exit status, or -1 when it was killed or died of a signal.
// Fills in `run`'s timedOut and maxRssKb.
int waitForExit(Handle process, int ms, RunResult* run = nullptr);
int stopProcess(Handle process, bool interrupt);  // as stopProgram says
