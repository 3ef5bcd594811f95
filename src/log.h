// Where the service's log goes, and how each line gets there.
#pragma once

#include <chrono>

namespace qev {

// Keeps the log out of the socket on standard input. A supervisor of the
// inetd family passes the socket it serves as standard output and error
// too, and tcpserver as standard output, where a log line would go into the
// client's records. Each of standard output and error that is that very
// socket has its descriptor pointed at /dev/null, and its lines go to the
// other stream when that one is not the socket (tcpserver: standard error is
// its own log), or else to syslog (facility daemon, ident "qev" with the
// process id; level info for standard output, err for standard error). Any
// other standard output or error (a terminal, a file, a pipe, journald's
// stream) is left as it is. Called once, at start-up, before anything is
// logged. Exits with status 1 and a line in the log if that cannot be done.
void keepLogOutOfServedSocket();

// Writes one line on standard output: `format` as printf takes it, without
// the line end. The line goes out whole, at once, in one write when the log
// takes it. The log's failing never stops the service: the first failure
// is said once on standard error ("QEV: cannot write the log: <reason>"),
// lines it does not take are counted, and once it takes lines again one more
// says how many were lost ("QEV: <n> log lines lost"). A line cut short by
// the failure is ended before anything else is written, so that no line
// ever holds parts of two.
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The same on standard error, for failures and states an operator must
// learn of. Lines it does not take are lost, and counted as above.
void reportLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Reports `error` as perror("Error") would: "Error: <the system's message>".
void reportError(int error);

// The pace of one kind of report that a state coming and going may bring
// back often.
struct ReportPace {
  std::chrono::steady_clock::time_point last{};
  bool said = false;
};

// True when a report of the kind `pace` keeps may be said now: the first
// time, and then at most once per kReportInterval. Marks it said.
bool reportDue(ReportPace& pace);

}  // namespace qev
