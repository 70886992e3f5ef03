// What harness.cpp needs of each platform besides harness.h and the socket
// seam it shares with nalt-stub (sockets.h): the socket options that differ,
// here, and what harness-posix.cpp or harness-win32.cpp defines.
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

// The built program `name`, found where the test programs expect it.
std::string besideTests(const char* name);
char** inheritedEnvironment();
// The test's environment less every NALT_ variable, plus `env` (a later
// change to a name wins), as NAME=VALUE, guarded as harness.h says.
std::vector<std::string> environmentFor(const EnvChanges& env);
