// Where the service's log goes, how each line gets there, and how the
// service ends with a last line.
#pragma once

#include <chrono>

namespace qev {

// How the process ends. A supervisor counts kExitClientLost as the client's
// doing, not as a failure of the service.
inline constexpr int kExitDone = 0;        // the client closed, or none came
inline constexpr int kExitFailed = 1;      // the service could not serve
inline constexpr int kExitClientLost = 2;  // reset, timed out, or gone

// Keeps the log out of the socket on standard input: standard output or
// error that is that socket gets /dev/null, and its lines go to the other
// stream, or to syslog when both are the socket. Called once, before
// anything is logged; ends the service when it cannot be done.
void keepLogOutOfServedSocket();

// Writes one line, `format` as printf takes it without the line end, on
// standard output, whole and in one write. A failing log never stops the
// service: lines it does not take are counted, and said once it takes
// lines again.
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The same on standard error, for failures and states an operator must
// learn of.
void reportLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Reports the system error `code` as perror("Error") would.
void reportError(int code);

// Ends the process with `status` after a last line: on standard output
// when it ends as it may (kExitDone), else on standard error.
[[noreturn]] void endWith(int status, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// The pace of one kind of report that a state coming and going may bring
// back often.
struct ReportPace {
  std::chrono::steady_clock::time_point last{};
  bool said = false;
};

// True when a report of the kind `pace` keeps may be said now: the first
// time, and then at most once per ten seconds. Marks it said.
bool reportDue(ReportPace& pace);

}  // namespace qev
