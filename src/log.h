// Where the service's log goes, and how each line gets there.
#pragma once

#include <sys/stat.h>

#include <cstdarg>

namespace qev {

// Keeps the log out of the socket on standard input, whose status is
// `input`: standard output or error that is that socket gets /dev/null, and
// its lines go to the other stream, or to syslog when both are the socket.
// Called once, before anything is logged. False, with errno set, when it
// cannot be done.
bool keepLogOutOfServedSocket(const struct stat& input);

// Makes a log that is a socket or a pipe, which may stop taking lines (a
// journal that hangs, a reader that stopped), wait a bounded time for room:
// a socket (a journal's stream, the service's own) is made non-blocking, a
// pipe (perhaps shared with whoever started the service) is opened anew,
// non-blocking for the service alone. A file or a terminal is left as it
// is. Called once, before anything is logged; failures leave it as it was.
void boundLogWaits();

// True once a stream of the log is gone (closed or reset: its journal
// stopped, its reader left): nothing written there is read again.
bool logGone();

// Says on syslog how many lines a stream that is gone lost, so that the
// count reaches an operator. Called as the service ends.
void sayLostLines();

// The two streams of the log.
enum class Stream { output, error };

// Writes one line on `stream`, `format` and `args` as vprintf takes them,
// without the line end, whole and in one write. A failing log never stops
// the service, and a full one holds it half a second at most: lines it does not
// take are counted, and said once it takes lines again.
void writeLine(Stream stream, const char* format, va_list args);

// One line on standard output.
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// One line on standard error, for failures and states an operator must
// learn of.
void reportLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Reports the system error `code` as perror("Error") would.
void reportError(int code);

}  // namespace qev
