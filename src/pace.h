// The pace of reports of a state that comes and goes.
#pragma once

#include <chrono>

namespace qev {

// A report of a state that may come and go (a value file missing, a file
// with no number, a failed accept) is said at most this often, so that a
// writer or a machine that flips between states cannot flood the log.
inline constexpr std::chrono::seconds kReportInterval{10};

// When one kind of report was last said.
struct ReportPace {
  std::chrono::steady_clock::time_point last{};
  bool said = false;
};

// True when a report of the kind `pace` keeps may be said now: the first
// time, and then at most once per kReportInterval. Marks it said.
inline bool reportDue(ReportPace& pace) {
  const auto now = std::chrono::steady_clock::now();
  if (pace.said && now - pace.last < kReportInterval) return false;
  pace.said = true;
  pace.last = now;
  return true;
}

}  // namespace qev
