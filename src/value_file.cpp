// Reading the published value from the value file, and naming a state of
// it that lasts.

#include "value_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "log.h"

namespace qev {

namespace {

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

// True once the run of reads that found `state` has lasted.
bool lasted(const Lasting& state) {
  return state.since && state.last - *state.since >= kLastsAfter &&
         state.reads >= kLastsAfterReads;
}

// Notes that a read which began at `began` found `state`, as `line` names
// it: the line is said once the state has lasted, and again when it
// changes, at the pace of reports.
void noteLasting(Lasting& state, const Line& line,
                 std::chrono::steady_clock::time_point began) {
  const auto now = std::chrono::steady_clock::now();
  if (!state.since || began - state.last > kCloseTogether ||
      now - began > kSlowestRead) {
    state.since = now;
    state.reads = 0;
  }
  state.last = now;
  ++state.reads;
  if (!lasted(state) || std::strcmp(line.data(), state.named.data()) == 0 ||
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

// Opens the value file, or names why it cannot be opened, with the target
// of a link to something that is not there.
int openValueFile(ValueSource& source,
                  std::chrono::steady_clock::time_point began) {
  // O_NONBLOCK so that a FIFO put in the file's place cannot hang the
  // service in open() or read(); it changes nothing for a regular file.
  const int fd = open(kValueFile, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd != -1) {
    if (endLasting(source.unopened))
      reportLine("QEV: %s can be read again", kValueFile);
    return fd;
  }
  const int error = errno;
  std::array<char, 64> target{};
  const ssize_t linked = readlink(kValueFile, target.data(), target.size() - 1);
  Line line{};
  (void)std::snprintf(line.data(), line.size(), "QEV: waiting for %s%s%s: %s",
                      kValueFile, linked > 0 ? " -> " : "",
                      linked > 0 ? target.data() : "", std::strerror(error));
  noteLasting(source.unopened, line, began);
  return -1;
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

Found readCurrentValue(ValueSource& source) {
  const auto began = std::chrono::steady_clock::now();
  const int fd = openValueFile(source, began);
  if (fd == -1) {
    source.no_number.since.reset();  // its run, not its line: not a number
    return Found::unopened;
  }
  // A regular file gives all it has up to the buffer's size in one read.
  // Some filesystems (FUSE, network ones) give less: a number that runs to
  // the end of what came may go on, so reading goes on until the number
  // ends, the file ends or the buffer is full. The ordinary content, a
  // number and a line end, costs one read.
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
  if (!value) {
    // Empty, a directory, unreadable, or no number in range: the previous
    // value stays in force.
    noteLasting(source.no_number,
                noNumberLine(buffer.data(), length, error, source.current),
                began);
    return Found::no_number;
  }
  source.current = *value;
  source.read_one = true;
  if (endLasting(source.no_number))
    reportLine("QEV: %s holds a number again: %d", kValueFile,
               static_cast<int>(source.current));
  return Found::number;
}

bool judging(const Lasting& state) {
  return state.since && state.named[0] == '\0' && !lasted(state);
}

bool judging(const ValueSource& source) {
  return judging(source.no_number) || judging(source.unopened);
}

}  // namespace qev
