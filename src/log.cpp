// The log: whole lines, written at once, to standard output and error, to
// the other of the two when one is the socket being served, or to syslog.

#include "log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "write_all.h"

namespace qev {

namespace {

// Where one stream's lines go, and what became of those that did not.
struct Sink {
  int fd;                  // written to this descriptor; -1: sent to syslog
  int priority;            // their level in syslog
  unsigned long lost = 0;  // lines not taken since the last one that was
  bool cut = false;        // a failed write left part of a line behind
};

Sink outputSink{1, LOG_INFO};
Sink errorSink{2, LOG_ERR};
// Where logLine and reportLine send their lines: each its own stream, or
// the other one when its own is the socket being served.
Sink* outputs = &outputSink;
Sink* errors = &errorSink;
// The log's failure has been said.
bool failureSaid = false;

// Writes all of `text`. False, with errno set, when the descriptor takes
// no more; a line left cut short is noted.
bool writeWhole(Sink& sink, const char* text, std::size_t size) {
  std::size_t done = 0;
  const bool whole = writeAll(sink.fd, text, size, done);
  if (whole || done > 0) sink.cut = !whole;
  return whole;
}

void put(Sink& sink, const char* line, std::size_t size);

// Counts a line the sink did not take, and says once, on standard error,
// that the log fails: the replies go on, but an operator must learn why
// their lines are missing.
void lose(Sink& sink) {
  const int why = errno;
  ++sink.lost;
  if (&sink == errors || failureSaid) return;
  failureSaid = true;
  std::array<char, 128> line{};
  const int n =
      std::snprintf(line.data(), line.size(), "QEV: cannot write the log: %s\n",
                    std::strerror(why));
  put(*errors, line.data(),
      std::min(static_cast<std::size_t>(n), line.size() - 1));
}

// Puts one line, ending in '\n', into `sink`. After a gap, a line saying
// how many were lost comes first, on a line of its own even if the failure
// cut the last one short.
void put(Sink& sink, const char* line, std::size_t size) {
  if (sink.fd == -1) {
    syslog(sink.priority, "%.*s", static_cast<int>(size - 1), line);
    return;
  }
  if (sink.lost > 0) {
    std::array<char, 64> note{};
    const int n =
        std::snprintf(note.data(), note.size(), "%sQEV: %lu log lines lost\n",
                      sink.cut ? "\n" : "", sink.lost);
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
