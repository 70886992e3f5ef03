// What harness.cpp needs from each platform's file (harness-posix.cpp,
// harness-win32.cpp), besides the public calls of harness.h.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

#include "harness.h"

// Before the first socket or resolver call.
void startNetworking();
// A TCP socket whose sends give up after 10 s, so that a peer which stops
// reading cannot hang a test.
SocketId newSocket();
void closeSocket(SocketId s);
bool readable(SocketId s, int ms);
// A send that a reset connection makes fail rather than end the process.
int sendSome(SocketId s, const char* data, std::size_t length);
void shutdownSend(SocketId s);
// The built program `name`, found where the test programs expect it.
std::string besideTests(const char* name);
char** inheritedEnvironment();
// The test's environment less every NALT_ variable, plus `env`, as NAME=VALUE
// (harness.cpp).
std::vector<std::string> environmentFor(const EnvChanges& env);
