// The log: whole lines, written at once, to standard output and error, to
// the other of the two when one is the socket being served, or to syslog;
// what a log that fails, stalls or goes away costs, and how it is said.

#include "log.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "write_all.h"

namespace qev {

namespace {

// Longest that a line waits for a log that takes nothing (a journal that
// hangs, a pipe nobody reads): the reply after it waits too, so this stays
// well under a client's timeout. Past it the line is dropped and counted,
// and later lines are not waited for until the log takes one again.
constexpr std::chrono::milliseconds kLogWait{500};

// Where one stream's lines go, and what became of those that did not.
struct Sink {
  int fd;                  // written to this descriptor; -1: sent to syslog
  int priority;            // their level in syslog
  const char* name;        // "output" or "error", for the lines about it
  unsigned long lost = 0;  // lines not taken since the last one that was
  std::chrono::steady_clock::time_point lost_since{};  // the first of them
  bool cut = false;  // a failed write left part of a line behind
  int gone = 0;      // the error that ended its stream; 0 while it lasts
};

Sink outputSink{1, LOG_INFO, "output"};
Sink errorSink{2, LOG_ERR, "error"};
// Where logLine and reportLine send their lines: each its own stream, or
// the other one when its own is the socket being served.
Sink* outputs = &outputSink;
Sink* errors = &errorSink;
// The log's failure has been said.
bool failureSaid = false;

// Writes all of `text`, waiting for room at most kLogWait, and not at all
// while earlier lines are lost. False, with errno set, when the descriptor
// takes no more; a line left cut short is noted.
bool writeWhole(Sink& sink, const char* text, std::size_t size) {
  std::size_t done = 0;
  std::optional<std::chrono::steady_clock::time_point> deadline;
  for (std::size_t more = 0;
       !writeAll(sink.fd, text + done, size - done, more);) {
    done += more;
    const int error = errno;
    const auto now = std::chrono::steady_clock::now();
    if (!deadline)
      deadline =
          now + (sink.lost > 0 ? std::chrono::milliseconds(0) : kLogWait);
    if (error != EAGAIN || now >= *deadline) {
      if (done > 0) sink.cut = true;
      errno = error;
      return false;
    }
    pollfd room{sink.fd, POLLOUT, 0};
    (void)poll(&room, 1,
               static_cast<int>(
                   std::chrono::ceil<std::chrono::milliseconds>(*deadline - now)
                       .count()));
  }
  sink.cut = false;
  return true;
}

void put(Sink& sink, const char* line, std::size_t size);

// Counts a line the sink did not take, notes a stream that is gone, and
// says once, on standard error, that the log fails: the replies go on, but
// an operator must learn why their lines are missing. A log that only has
// no room says so when it takes lines again.
void lose(Sink& sink) {
  const int why = errno;
  if (sink.lost++ == 0) sink.lost_since = std::chrono::steady_clock::now();
  if (why == EPIPE || why == ECONNRESET || why == ENOTCONN) sink.gone = why;
  if (&sink == errors || failureSaid || why == EAGAIN) return;
  failureSaid = true;
  std::array<char, 128> line{};
  const int n =
      std::snprintf(line.data(), line.size(), "QEV: cannot write the log: %s\n",
                    std::strerror(why));
  put(*errors, line.data(),
      std::min(static_cast<std::size_t>(n), line.size() - 1));
}

// Puts one line, ending in '\n', into `sink`. After a gap, a line saying
// how many were lost, and over how long, comes first, on a line of its own
// even if the failure cut the last one short. A stream that is gone is not
// written to again: its lines are counted, and said as the service ends.
void put(Sink& sink, const char* line, std::size_t size) {
  if (sink.fd == -1) {
    syslog(sink.priority, "%.*s", static_cast<int>(size - 1), line);
    return;
  }
  if (sink.gone != 0) {
    ++sink.lost;
    return;
  }
  if (sink.lost > 0) {
    const std::chrono::duration<double> over =
        std::chrono::steady_clock::now() - sink.lost_since;
    std::array<char, 96> note{};
    const int n = std::snprintf(note.data(), note.size(),
                                "%sQEV: %lu log lines lost over %.1f s\n",
                                sink.cut ? "\n" : "", sink.lost, over.count());
    if (!writeWhole(sink, note.data(), static_cast<std::size_t>(n))) {
      lose(sink);
      return;
    }
    sink.lost = 0;
  }
  if (!writeWhole(sink, line, size)) lose(sink);
}

void putFormatted(Sink& sink, const char* format, va_list args) {
  std::array<char, 512> line{};
  const int n = std::vsnprintf(line.data(), line.size() - 1, format, args);
  const std::size_t length =
      std::min(static_cast<std::size_t>(n < 0 ? 0 : n), line.size() - 2);
  line[length] = '\n';
  put(sink, line.data(), length + 1);
}

bool sameSocket(const struct stat& a, int fd) {
  struct stat b {};
  return fstat(fd, &b) == 0 && S_ISSOCK(b.st_mode) && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

// Points descriptor `fd` at /dev/null, so that nothing written to it can
// reach the socket.
bool pointAtNull(int fd) {
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  const bool done = null != -1 && dup2(null, fd) != -1;
  if (null != -1) (void)close(null);
  return done;
}

}  // namespace

bool keepLogOutOfServedSocket(const struct stat& input) {
  const bool out = sameSocket(input, 1);
  const bool err = sameSocket(input, 2);
  if (out && err) {
    openlog("qev", LOG_PID, LOG_DAEMON);
    outputSink.fd = -1;
    errorSink.fd = -1;
  } else if (out) {
    outputs = &errorSink;
  } else if (err) {
    errors = &outputSink;
  }
  return (!out || pointAtNull(1)) && (!err || pointAtNull(2));
}

void boundLogWaits() {
  for (Sink* sink : {&outputSink, &errorSink}) {
    struct stat status {};
    if (sink->fd == -1 || fstat(sink->fd, &status) != 0) continue;
    if (S_ISSOCK(status.st_mode)) {
      const int flags = fcntl(sink->fd, F_GETFL);
      if (flags != -1) (void)fcntl(sink->fd, F_SETFL, flags | O_NONBLOCK);
    } else if (S_ISFIFO(status.st_mode)) {
      std::array<char, 32> path{};
      (void)std::snprintf(path.data(), path.size(), "/proc/self/fd/%d",
                          sink->fd);
      const int fd = open(path.data(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd != -1) {
        (void)dup2(fd, sink->fd);
        (void)close(fd);
      }
    }
  }
}

bool logGone() { return outputs->gone != 0 || errors->gone != 0; }

void sayLostLines() {
  for (const Sink* sink : {&outputSink, &errorSink}) {
    if (sink->gone == 0 || sink->lost == 0) continue;
    openlog("qev", LOG_PID, LOG_DAEMON);
    syslog(LOG_ERR, "QEV: %lu log lines lost: standard %s is gone: %s",
           sink->lost, sink->name, std::strerror(sink->gone));
  }
}

void writeLine(Stream stream, const char* format, va_list args) {
  putFormatted(stream == Stream::output ? *outputs : *errors, format, args);
}

// C-style variadic, so that the compiler checks each line against its
// format, as it does printf's.
void logLine(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
  va_list args;
  va_start(args, format);
  putFormatted(*outputs, format, args);
  va_end(args);
}

void reportLine(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
  va_list args;
  va_start(args, format);
  putFormatted(*errors, format, args);
  va_end(args);
}

void reportError(int code) { reportLine("Error: %s", std::strerror(code)); }

}  // namespace qev
