// What harness.cpp needs of each platform besides harness.h: the socket
// names that differ, here, and what harness-posix.cpp or
// harness-win32.cpp defines.
#pragma once

#include "harness.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using PollEntry = WSAPOLLFD;
constexpr int kSocketFlags = 0;
constexpr int kNoSignal = 0;
constexpr int kShutSend = SD_SEND;
const DWORD kSendLimit = 10000;  // ms
inline int pollOne(PollEntry* entry, int ms) { return WSAPoll(entry, 1, ms); }
inline void closeSocket(SocketId s) { closesocket(s); }
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
using PollEntry = pollfd;
constexpr int kSocketFlags = SOCK_CLOEXEC;
constexpr int kNoSignal = MSG_NOSIGNAL;
constexpr int kShutSend = SHUT_WR;
const timeval kSendLimit{10, 0};
inline int pollOne(PollEntry* entry, int ms) { return poll(entry, 1, ms); }
inline void closeSocket(SocketId s) { close(s); }
#endif

constexpr int kStopMs = 3000;  // how long stopProgram waits (harness.h)

// Before the first socket or resolver call.
void startNetworking();
// The built program `name`, found where the test programs expect it.
std::string besideTests(const char* name);
char** inheritedEnvironment();
// The test's environment less every NALT_ variable, plus `env` (a later
// change to a name wins), as NAME=VALUE, guarded as harness.h says.
std::vector<std::string> environmentFor(const EnvChanges& env);
