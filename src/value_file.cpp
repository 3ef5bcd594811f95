// Reading the published value from the value file, waiting for it while it
// cannot be opened, and naming a state of it that lasts.

#include "value_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "pause.h"

namespace qev {

namespace {

// Pause between attempts to read a value file that cannot be opened yet, or
// holds no number yet: short enough that a new file is seen within a few
// milliseconds, long enough that the wait costs next to no CPU.
constexpr std::chrono::milliseconds kRetryPause{5};

// A state of the file that lasts this long is named, so that an operator
// learns why polls go unanswered or why the value is stale. A writer that
// rewrites or replaces the file never leaves it in such a state nearly
// this long.
constexpr std::chrono::seconds kNamedAfter{1};

using Line = std::array<char, 128>;

// The white space that "%d" skips in the C locale.
bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// How far "%d" gets into `text`: the number it holds, if any, and whether
// the scan (white space, sign, digits) ran to the end of `text`, where
// more digits may follow.
struct Scan {
  std::optional<std::int32_t> value;
  bool runs_to_end = false;
};

Scan scan(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && isSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  const std::size_t first_digit = i;
  // Wide enough to hold one digit past the largest magnitude, so the range
  // check below comes before any overflow.
  std::int64_t magnitude = 0;
  constexpr std::int64_t kLimit = std::int64_t{1} << 31;  // |INT32_MIN|
  while (i < text.size() && isDigit(text[i])) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > kLimit) return {};  // no digit that follows can help
    ++i;
  }
  const bool runs_to_end = i == text.size();
  if (i == first_digit || (!negative && magnitude == kLimit))
    return {std::nullopt, runs_to_end};
  return {static_cast<std::int32_t>(negative ? -magnitude : magnitude),
          runs_to_end};
}

// Notes that `state` holds, as `line` names it: the line is said once the
// state has lasted kNamedAfter, and again when it changes, at the pace of
// reports.
void noteLasting(Lasting& state, const Line& line) {
  const auto now = std::chrono::steady_clock::now();
  if (!state.since) state.since = now;
  if (now - *state.since < kNamedAfter ||
      std::strcmp(line.data(), state.named.data()) == 0 ||
      !reportDue(state.pace))
    return;
  reportLine("%s", line.data());
  state.named = line;
}

// Notes that `state` has ended. True when it had been named, so that its
// end is named too.
bool endLasting(Lasting& state) {
  state.since.reset();
  const bool named = state.named[0] != '\0';
  state.named[0] = '\0';
  return named;
}

// Waits about `pause`, watching `connection` meanwhile (when there is
// one), so that a client gone while the file is missing does not hold the
// service, and the supervisor's slot, until it is back. Returns how the
// connection ended, if it did: 0 for the end of its client's stream with no
// request waiting, or the error that ended it. A request that is waiting
// keeps the service waiting to answer it.
std::optional<int> waitWatching(int connection,
                                std::chrono::milliseconds pause) {
  if (connection == -1) {
    sleepFor(pause);
    return std::nullopt;
  }
  char byte = 0;
  const ssize_t n = recv(connection, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n == 0) return 0;
  if (n == -1 && errno != EAGAIN && errno != EINTR) return errno;
  // A failure is reported whatever is asked for; with no request waiting,
  // one arriving (or the stream's end) ends the pause too.
  pollfd watch{connection, static_cast<short>(n > 0 ? 0 : POLLIN), 0};
  (void)poll(&watch, 1, static_cast<int>(pause.count()));
  if ((watch.revents & (POLLERR | POLLHUP)) == 0) return std::nullopt;
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(connection, SOL_SOCKET, SO_ERROR, &error, &length) == -1 ||
      error == 0)
    error = ENOTCONN;
  return error;
}

// Opens the value file, waiting while it cannot be: the writer has not
// made it yet, or it is unreadable for now. Returns the descriptor, or -1
// with `ended` set when the connection ended during the wait.
int openValueFile(ValueReader& reader, std::optional<int>& ended) {
  for (;;) {
    // O_NONBLOCK so that a FIFO put in the file's place cannot hang the
    // service in open() or read(); it changes nothing for a regular file.
    const int fd =
        open(kValueFile, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd != -1) {
      if (endLasting(reader.unopened))
        reportLine("QEV: %s can be read again", kValueFile);
      return fd;
    }
    const int error = errno;
    // A link to something that is not there reads as one: its target named.
    std::array<char, 64> target{};
    const ssize_t linked =
        readlink(kValueFile, target.data(), target.size() - 1);
    Line line{};
    (void)std::snprintf(line.data(), line.size(), "QEV: waiting for %s%s%s: %s",
                        kValueFile, linked > 0 ? " -> " : "",
                        linked > 0 ? target.data() : "", std::strerror(error));
    noteLasting(reader.unopened, line);
    ended = waitWatching(reader.connection, kRetryPause);
    if (ended) return -1;
  }
}

// Names what a read found that is not a number: the read's error (when it
// read nothing), or the start of the file's first line, quoted, with bytes
// that are not printable shown as '?'; and the value still served.
Line noNumberLine(const char* data, std::size_t got, int error,
                  std::int32_t serving) {
  std::array<char, 64> finding{};
  if (got == 0 && error != 0) {
    (void)std::snprintf(finding.data(), finding.size(), "cannot read it: %s",
                        std::strerror(error));
  } else if (got == 0) {
    (void)std::snprintf(finding.data(), finding.size(), "nothing to read");
  } else {
    constexpr std::size_t kShown = 16;
    std::array<char, kShown + 1> text{};
    std::size_t n = 0;
    while (n < kShown && n < got && data[n] != '\n') {
      const char c = data[n];
      text[n++] = c >= ' ' && c <= '~' ? c : '?';
    }
    const bool more = n < got && !(data[n] == '\n' && n + 1 == got);
    (void)std::snprintf(finding.data(), finding.size(), "\"%s%s\"", text.data(),
                        more ? "..." : "");
  }
  Line line{};
  (void)std::snprintf(line.data(), line.size(),
                      "QEV: no number in %s: %s; still serving %d", kValueFile,
                      finding.data(), static_cast<int>(serving));
  return line;
}

}  // namespace

std::optional<std::int32_t> parseValue(std::string_view text,
                                       bool more_follows) {
  const Scan found = scan(text);
  if (found.runs_to_end && more_follows) return std::nullopt;
  return found.value;
}

std::optional<int> readCurrentValue(std::int32_t& currentValue,
                                    ValueReader& reader) {
  for (;;) {
    std::optional<int> ended;
    const int fd = openValueFile(reader, ended);
    if (fd == -1) return ended;
    // A regular file gives all it has up to the buffer's size in one read.
    // Some filesystems (FUSE, network ones) give less: a number that runs
    // to the end of what came may go on, so reading goes on until the
    // number ends, the file ends or the buffer is full. The ordinary
    // content, a number and a line end, costs one read.
    std::array<char, kValueScanLimit + 1> buffer;
    std::size_t length = 0;
    ssize_t got = 0;
    do {
      got = read(fd, buffer.data() + length, buffer.size() - length);
      if (got > 0) length += static_cast<std::size_t>(got);
    } while ((got > 0 || (got == -1 && errno == EINTR)) &&
             length < buffer.size() &&
             scan(std::string_view(buffer.data(), length)).runs_to_end);
    const int error = got == -1 ? errno : 0;
    (void)close(fd);  // read-only: nothing of ours can be lost by a failure
    // Unless the file ended, more may follow what was read: a number that
    // runs to its end is then not taken. So a number is taken if it ends
    // within kValueScanLimit bytes, the byte after them telling.
    const auto value =
        parseValue(std::string_view(buffer.data(), length), got != 0);
    if (value) {
      currentValue = *value;
      reader.read_one = true;
      if (endLasting(reader.no_number))
        reportLine("QEV: %s holds a number again: %d", kValueFile,
                   static_cast<int>(currentValue));
      return std::nullopt;
    }
    // Empty, a directory, unreadable, or no number in range: the previous
    // value stays in force.
    noteLasting(reader.no_number,
                noNumberLine(buffer.data(), length, error, currentValue));
    // Before any number was read there is none to serve but the 0 it
    // starts with, which nobody wrote: a file caught empty by a writer's
    // rewrite is read again until it holds one, and a lasting lack is named
    // before that 0 goes out.
    if (reader.read_one || reader.no_number.named[0] != '\0')
      return std::nullopt;
    ended = waitWatching(reader.connection, kRetryPause);
    if (ended) return ended;
  }
}

}  // namespace qev
