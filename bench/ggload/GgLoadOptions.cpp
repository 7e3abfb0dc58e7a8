#include "bench/ggload/GgLoadOptions.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "bench/BenchCommon.h"

namespace ordwin::bench {

namespace {

std::vector<std::string> ParseDialects(const char* text) {
  std::vector<std::string> out;
  std::string all = text;
  for (size_t start = 0; start <= all.size();) {
    size_t comma = std::min(all.find(',', start), all.size());
    std::string d = all.substr(start, comma - start);
    if (d != "6.0" && d != "11") Fail("--dialects: 6.0 or 11, separated by commas");
    out.push_back(d);
    start = comma + 1;
  }
  return out;
}

}  // namespace

TGgLoadOptions ParseGgLoadOptions(int argc, char** argv) {
  TGgLoadOptions o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&] { return OptionValue(argc, argv, i); };
    if (a == "--server-pid")
      o.ServerPid = static_cast<pid_t>(OptionNumber(next(), "--server-pid", 4194304));
    else if (a == "--port")
      o.Port = static_cast<uint16_t>(OptionNumber(next(), "--port", 65535));
    else if (a == "--logins")
      o.Logins = static_cast<int>(OptionNumber(next(), "--logins", 19000));
    else if (a == "--pairs")
      o.Pairs = OptionList(next(), "--pairs", 0, 100000);
    else if (a == "--windows")
      o.Windows = OptionList(next(), "--windows", 0, 100000);
    else if (a == "--seconds")
      o.Seconds = OptionNumber(next(), "--seconds", 60);
    else if (a == "--warmup")
      o.Warmup = OptionNumber(next(), "--warmup", 10);
    else if (a == "--fanout")
      o.Fanout = static_cast<int>(OptionNumber(next(), "--fanout", 19000));
    else if (a == "--fanout-windows")
      o.FanoutWindows = OptionList(next(), "--fanout-windows", 0, 100000);
    else if (a == "--fanout-seconds")
      o.FanoutSeconds = OptionNumber(next(), "--fanout-seconds", 60);
    else if (a == "--connect-window")
      o.ConnectWindow = static_cast<int>(OptionNumber(next(), "--connect-window", 1000));
    else if (a == "--dialects")
      o.Dialects = ParseDialects(next());
    else if (a == "--help" || a == "-h") {
      std::printf(
          "usage: gg_load --server-pid PID [--port 8074] [--logins 10000] [--pairs 2,100,1000] "
          "[--windows 1,32] [--seconds 5] [--warmup 0.5] [--fanout 1000] [--fanout-windows 1,32] "
          "[--fanout-seconds 3] [--connect-window 4] [--dialects 6.0,11]\n");
      std::exit(0);
    } else {
      Fail("unknown argument " + a);
    }
  }
  if (o.Seconds <= 0 || o.FanoutSeconds <= 0) Fail("the measuring windows must be longer than 0 s");
  if (o.ConnectWindow < 1) Fail("--connect-window must be at least 1");
  for (int n : o.Pairs)
    if (n > 19000) Fail("--pairs: at most 19000 clients");
  return o;
}

}  // namespace ordwin::bench
