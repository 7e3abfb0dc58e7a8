// The load generator's options, read from its command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>

namespace ordwin::bench {

struct TGgLoadOptions {
  pid_t ServerPid = 0;
  uint16_t Port = 8074;
  int Logins = 10000;
  std::vector<int> Pairs{2, 100, 1000};
  std::vector<int> Windows{1, 32};
  double Seconds = 5;
  double Warmup = 0.5;
  int Fanout = 1000;
  std::vector<int> FanoutWindows{1, 32};
  double FanoutSeconds = 3;
  int ConnectWindow = 4;
  std::vector<std::string> Dialects{"6.0", "11"};
};

// Fails with a message on an unknown option or a value out of range; --help prints the usage
// and exits.
TGgLoadOptions ParseGgLoadOptions(int argc, char** argv);

}  // namespace ordwin::bench
