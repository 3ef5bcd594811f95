// Sending the log to syslog when it would otherwise go into the socket
// being served.

#include "log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "constants.h"

namespace qev {

namespace {

// A standard stream's lines on their way to syslog: the line so far.
struct SyslogLines {
  int priority;
  std::array<char, 1024> line{};
  std::size_t used = 0;
};

SyslogLines outputLines{LOG_INFO};
SyslogLines errorLines{LOG_ERR};

// Sends each whole line as one message. A line longer than the buffer goes
// in pieces rather than being lost.
ssize_t sendLines(void* cookie, const char* data, std::size_t size) {
  auto& lines = *static_cast<SyslogLines*>(cookie);
  for (std::size_t i = 0; i < size; ++i) {
    const bool end = data[i] == '\n';
    if (!end) lines.line[lines.used++] = data[i];
    if (end || lines.used == lines.line.size() - 1) {
      lines.line[lines.used] = '\0';
      syslog(lines.priority, "%s", lines.line.data());
      lines.used = 0;
    }
  }
  return static_cast<ssize_t>(size);
}

bool sameSocket(const struct stat& a, int fd) {
  struct stat b {};
  return fstat(fd, &b) == 0 && S_ISSOCK(b.st_mode) && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

// Replaces `stream` (glibc lets standard streams be assigned) by one that
// sends its lines to syslog, and descriptor `fd` by /dev/null, so that
// nothing written to either can reach the socket.
void sendToSyslog(FILE*& stream, int fd, SyslogLines& lines) {
  const cookie_io_functions_t io{nullptr, sendLines, nullptr, nullptr};
  FILE* replacement = fopencookie(&lines, "w", io);
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  // Unbuffered: every printf reaches sendLines whole, and each line is sent
  // as soon as it is complete.
  if (replacement == nullptr || null == -1 ||
      setvbuf(replacement, nullptr, _IONBF, 0) != 0 || dup2(null, fd) == -1) {
    syslog(LOG_ERR, "QEV: cannot send the log to syslog: %s",
           std::strerror(errno));
    std::exit(kExitFailed);
  }
  (void)close(null);
  stream = replacement;
}

}  // namespace

void keepLogOutOfServedSocket() {
  struct stat input {};
  if (fstat(0, &input) == -1 || !S_ISSOCK(input.st_mode)) return;
  const bool output = sameSocket(input, 1);
  const bool error = sameSocket(input, 2);
  if (!output && !error) return;
  openlog("qev", LOG_PID, LOG_DAEMON);
  if (output) sendToSyslog(stdout, 1, outputLines);
  if (error) sendToSyslog(stderr, 2, errorLines);
}

}  // namespace qev
