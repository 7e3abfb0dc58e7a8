// TConnectionCap: the connections a listening server lets in, counted per peer address and held
// against the descriptors the process may open, so that one machine, or all of them together,
// cannot take what the others and the rest of the program need. Knows its clients by pointer
// only and owns nothing; kept by the server it counts for.
#pragma once

#include <string>
#include <unordered_map>

#include "net/WSocketS.h"

namespace ordwin {

class TConnectionCap {
public:
  enum TVerdict : uint8_t { cvAdmitted, cvAddressFull, cvServerFull };

  // A machine on the network runs a few clients; 64 leaves room for any real one.
  static constexpr int kPerAddress = 64;
  // Descriptors kept back for what the program opens besides connections (a file served, the
  // settings, the resolver's sockets, the window's own).
  static constexpr int kReservedDescriptors = 32;

  // Most connections let in from one address (loopback excepted, while ExemptLoopback: the
  // clients on this PC are its user's own), and in all (0: as many as the descriptor limit
  // allows, kReservedDescriptors kept back); 0 or less: no limit.
  int PerAddress = kPerAddress;
  int Total = 0;
  bool ExemptLoopback = true;

  // Counts an attached client in, unless its address or the process is full: a client whose
  // descriptor is among the last kReservedDescriptors the process may open finds it full,
  // whichever server holds the others, since the platform gives out the lowest free number.
  TVerdict Admit(const TWSocketClient* client);
  // Counts a client out; false for one that was not let in.
  bool Release(const TWSocketClient* client);
  int Count() const { return static_cast<int>(admitted_.size()); }

private:
  std::unordered_map<const TWSocketClient*, std::string> admitted_;  // with its address
  std::unordered_map<std::string, int> perAddress_;
};

}  // namespace ordwin
