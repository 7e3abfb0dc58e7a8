// The load generator's table of figures: one row per phase, the notes on faults, and the targets
// the 6.0 rows are held against. Owns its rows; prints them on request.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bench/BenchCommon.h"
#include "bench/ggload/GgLoadOptions.h"

namespace ordwin::bench {

struct TGgLoadRow {
  std::string Dialect;
  std::string Scenario;
  int Clients = 0;
  int Window = 0;
  double Rate = 0;  // per second: delivered messages, log-ins or notifications
  std::string Unit;
  double P50us = 0, P99us = 0;
  uint64_t Checked = 0;  // messages or notifications awaited and checked
  uint64_t Lost = 0;
  uint64_t Faults = 0;  // duplicated, reordered, altered, unexpected or missing packets
  TCpuUse Cpu;          // while measuring
  std::string Extra;

  TGgLoadRow(std::string dialect, std::string scenario, int clients, int window, std::string unit);
};

class TGgLoadReport {
public:
  explicit TGgLoadReport(const TGgLoadOptions& options) : opt_(options) {}

  // Adds a finished phase with the texts of its first faults, and prints its line on stderr.
  void Add(const TGgLoadRow& row, const std::vector<std::string>& faultTexts);
  // The server's resident memory before the first phase and after the last (KiB, -1 unknown),
  // and what a 6.0 log-in cost it.
  void SetResident(long startKiB, long endKiB);
  void SetLoginBytesPerClient(double bytes) { loginBytesPerClient_ = bytes; }

  // The table, its legend and the targets, on stdout.
  void Print() const;

private:
  // A 6.0 row: the targets are set for the 6.0 path.
  const TGgLoadRow* Find(const std::string& scenario, int clients, int window) const;

  const TGgLoadOptions& opt_;
  std::vector<TGgLoadRow> rows_;
  std::vector<std::string> notes_;
  long rssStartKiB_ = -1, rssEndKiB_ = -1;
  double loginBytesPerClient_ = 0;
};

}  // namespace ordwin::bench
