// The rule naltctl and nalt-stub share for NALT_PORT, written once. Each program is a single
// translation unit that includes it, so the function stays file-local there like the rest of the
// program.
#pragma once

#include <algorithm>
#include <string>

namespace {

// True when the resolver would read the port as a number that names no port. glibc and Wine keep
// only the low 16 bits of a numeric service, so "99999" would reach port 34463 and "-4294958206"
// port 9090: a typo must not start or stop whatever listens there. The number is read as they read
// it: leading white space, one sign, digits to the end; only 0 to 65535 pass ("-0" among them).
// Anything else is a service name, the resolver's to judge.
bool isPortOutOfRange(const std::string& port) {
  std::size_t at = port.find_first_not_of(" \t\n\v\f\r");
  const bool negative = at != std::string::npos && port[at] == '-';
  if (at != std::string::npos && (port[at] == '+' || negative))
    ++at;
  if (at >= port.size())
    return false;
  unsigned long value = 0;
  for (; at < port.size(); ++at) {
    if (port[at] < '0' || port[at] > '9')
      return false;
    value = std::min(value * 10 + static_cast<unsigned long>(port[at] - '0'), 65536UL);
  }
  return negative ? value != 0 : value > 65535;
}

}  // namespace
