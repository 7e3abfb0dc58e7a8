#include "bench/ggload/GgLoadReport.h"

#include <cinttypes>
#include <cstdio>
#include <utility>

namespace ordwin::bench {

TGgLoadRow::TGgLoadRow(std::string dialect, std::string scenario, int clients, int window, std::string unit)
    : Dialect(std::move(dialect)), Scenario(std::move(scenario)), Clients(clients), Window(window),
      Unit(std::move(unit)) {}

void TGgLoadReport::Add(const TGgLoadRow& r, const std::vector<std::string>& faultTexts) {
  for (const std::string& t : faultTexts) notes_.push_back(r.Scenario + " N=" + std::to_string(r.Clients) + ": " + t);
  rows_.push_back(r);
  char cpu[160] = "";
  if (r.Cpu.Server >= 0)
    std::snprintf(cpu, sizeof(cpu),
                  ", cpu server %.0f %% generator %.0f %% other %.0f %%, server %.3f s per million (system %.3f)%s",
                  r.Cpu.Server, r.Cpu.Self, r.Cpu.Other, r.Cpu.ServerSecondsPerMillion(r.Rate),
                  r.Cpu.ServerSystemSecondsPerMillion(r.Rate), r.Cpu.GeneratorBound() ? ", generator-bound" : "");
  std::fprintf(stderr,
               "gg_load: %s N=%d W=%d: %.0f %s, p50 %.1f us, p99 %.1f us, checked %" PRIu64 ", lost %" PRIu64
               ", faults %" PRIu64 "%s%s%s\n",
               r.Scenario.c_str(), r.Clients, r.Window, r.Rate, r.Unit.c_str(), r.P50us, r.P99us, r.Checked, r.Lost,
               r.Faults, cpu, r.Extra.empty() ? "" : "; ", r.Extra.c_str());
}

void TGgLoadReport::SetResident(long startKiB, long endKiB) {
  rssStartKiB_ = startKiB;
  rssEndKiB_ = endKiB;
}

const TGgLoadRow* TGgLoadReport::Find(const std::string& scenario, int clients, int window) const {
  for (const TGgLoadRow& r : rows_)
    if (r.Dialect == "6.0" && r.Scenario == scenario && r.Clients == clients && r.Window == window) return &r;
  return nullptr;
}

void TGgLoadReport::Print() const {
  std::printf(
      "\nGG server on 127.0.0.1:%u, loopback; pairs: %.1f s measured after %.1f s warm-up; "
      "fan-out: %.1f s measured\n\n",
      opt_.Port, opt_.Seconds, opt_.Warmup, opt_.FanoutSeconds);
  std::printf("%-7s %-18s %7s %6s %12s %-16s %10s %10s %10s %6s %6s %11s %8s  %s\n", "dialect", "scenario", "clients",
              "window", "rate", "unit", "p50 us", "p99 us", "checked", "lost", "faults", "srv gen oth", "srv s/M",
              "notes");
  for (const TGgLoadRow& r : rows_)
    std::printf("%-7s %-18s %7d %6d %12.0f %-16s %10.1f %10.1f %10" PRIu64 " %6" PRIu64 " %6" PRIu64
                " %11s %8.3f  %s%s\n",
                r.Dialect.c_str(), r.Scenario.c_str(), r.Clients, r.Window, r.Rate, r.Unit.c_str(), r.P50us, r.P99us,
                r.Checked, r.Lost, r.Faults, CpuShare(r.Cpu).c_str(), r.Cpu.ServerSecondsPerMillion(r.Rate),
                r.Cpu.GeneratorBound() ? "GENERATOR-BOUND " : "", r.Extra.c_str());
  std::printf(
      "\nlatency: log-in, connect to login-ok; pairs, send to delivery; fan-out, status change sent to each "
      "notification received\n");
  std::printf(
      "\nwindow: messages per client in flight (pairs), connects awaiting the welcome (log-in), "
      "status changes not yet seen by all others (fan-out)\n");
  std::printf(
      "srv gen oth: per cent of one core used while measuring by the server, by this generator and by other "
      "work on the machine (on loopback the sender's system time includes the receiver's TCP work); srv s/M: "
      "the server's CPU seconds per million of the rate's unit; GENERATOR-BOUND: this generator used more than "
      "%.0f %% of its core, so the rate may be its own limit rather than the server's\n",
      TCpuUse::kGeneratorBound);
  if (rssStartKiB_ > 0)
    std::printf("server VmRSS: %ld KiB before the first phase, %ld KiB after the last\n", rssStartKiB_, rssEndKiB_);

  std::printf("\ntargets (6.0 rows):\n");
  for (int w : opt_.Windows) {
    const TGgLoadRow* a = Find("messages in pairs", 100, w);
    const TGgLoadRow* b = Find("messages in pairs", 1000, w);
    if (a && b && a->Rate > 0)
      std::printf("  W=%-2d N=1000 vs N=100: %.0f / %.0f messages/s = %.2f (no more than 15 %% lower: %s)\n", w,
                  b->Rate, a->Rate, b->Rate / a->Rate, b->Rate >= 0.85 * a->Rate ? "met" : "MISSED");
  }
  if (const TGgLoadRow* l = Find("log-in", opt_.Logins, opt_.ConnectWindow); l && loginBytesPerClient_ > 0)
    std::printf("  %d clients logged in: %.0f bytes of server VmRSS each (at most 3072: %s; all logged in: %s)\n",
                l->Clients, loginBytesPerClient_, loginBytesPerClient_ <= 3072 ? "met" : "MISSED",
                l->Lost == 0 && l->Faults == 0 ? "yes" : "NO");
  const double irc[2][2] = {{100, 1.0e6}, {1000, 0.3e6}};
  for (const auto& ref : irc)
    if (const TGgLoadRow* r = Find("messages in pairs", static_cast<int>(ref[0]), 32))
      std::printf("  N=%d W=32: %.0f messages/s = %.2f x the IRC reference of %.1f million\n", static_cast<int>(ref[0]),
                  r->Rate, r->Rate / ref[1], ref[1] / 1e6);
  uint64_t lost = 0, faults = 0;
  for (const TGgLoadRow& r : rows_) {
    lost += r.Lost;
    faults += r.Faults;
  }
  std::printf("  every message and notification checked: %" PRIu64 " lost, %" PRIu64 " faults%s\n", lost, faults,
              lost + faults == 0 ? "" : "  <-- SERVER FAULT, see below");
  for (const std::string& n : notes_) std::printf("    %s\n", n.c_str());
  std::fflush(stdout);
}

}  // namespace ordwin::bench
