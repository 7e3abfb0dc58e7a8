// Turns the texts of a socket's address, port and protocol into numbers, blocking on the
// platform's host, service and protocol databases. Plain functions; they hold no state.
#pragma once

#include <cstdint>
#include <string>

#include <netinet/in.h>

namespace ordwin {

// Text without the spaces and control characters at both ends.
std::string WSocketTrim(const std::string& text);

// True when text is four decimal groups of at most 255 separated by dots; spaces may stand
// before and after it, nothing else.
bool WSocketIsDottedIP(const std::string& text);

// Skips leading spaces, then reads decimal digits up to the first other character. No sign;
// no digit gives 0; beyond the range of int the value wraps around in 32 bits.
int WSocketAtoi(const std::string& text);

// A dotted address or a host name (the first IPv4 address of the answer) to an address in
// network order. Throws ESocketException.
uint32_t WSocketResolveHost(const std::string& inAddr);

// A number (read up to the first non-digit, 0 to 65535) or a service name looked up for
// proto, to a port in host order. Throws ESocketException.
uint16_t WSocketResolvePort(const std::string& port, const std::string& proto);

// A number or a protocol name to a protocol number. Throws ESocketException.
int WSocketResolveProto(const std::string& proto);

// The dotted form of an IPv4 address.
std::string WSocketDottedAddress(const in_addr& address);

}  // namespace ordwin
