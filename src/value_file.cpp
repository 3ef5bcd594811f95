// Reading the published value from the value file, and naming a lasting
// lack of it.

#include "value_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "constants.h"
#include "log.h"

namespace qev {

namespace {

// The white space that "%d" skips in the C locale.
bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int openValue() {
  // O_NONBLOCK so that a FIFO put in the file's place cannot hang the
  // service in open() or read(); it changes nothing for a regular file.
  return open(kValueFile, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
}

int openValueFile(Pause pause) {
  int fd = openValue();
  if (fd != -1) return fd;
  // The writer has not made the file yet, or it is unreadable for now: wait
  // a moment rather than spin, and try again. A wait that lasts is named on
  // standard error (again if its reason changes, within the pace of
  // reports), so that unanswered polls have an explanation in the log.
  static ReportPace pace;
  const auto since = std::chrono::steady_clock::now();
  int reported = 0;
  for (;;) {
    const int error = errno;
    if (error != reported &&
        std::chrono::steady_clock::now() - since >= kOpenReportAfter &&
        reportDue(pace)) {
      reportLine("QEV: waiting for %s: %s", kValueFile, std::strerror(error));
      reported = error;
    }
    pause(kOpenRetryPauseNs);
    fd = openValue();
    if (fd != -1) break;
  }
  if (reported != 0) reportLine("QEV: %s can be read again", kValueFile);
  return fd;
}

// What the reads have found instead of a number, and since when; and what
// the last report named ("" when none is standing).
bool lacking = false;
std::chrono::steady_clock::time_point lackingSince;
std::array<char, 64> reportedFinding{};

// Describes what a read found that is not a number: the read's error
// (when it read nothing), or the start of the file's first line, quoted,
// with bytes that are not printable shown as '?'.
void describeFinding(std::array<char, 64>& finding, const char* data,
                     std::size_t got, int error) {
  if (got == 0 && error != 0) {
    (void)std::snprintf(finding.data(), finding.size(), "cannot read it: %s",
                        std::strerror(error));
    return;
  }
  if (got == 0) {
    (void)std::snprintf(finding.data(), finding.size(), "nothing to read");
    return;
  }
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

// Names a lasting lack of a number: once the reads have found none for
// kNoNumberReportAfter, and again whenever what they find changes, at the
// pace of reports. A writer that truncates and rewrites the file, or
// replaces it, leaves it without a number far more briefly, and draws no
// line; one that flips between two things that are no number draws a line
// per kReportInterval at most.
void noteNoNumber(const std::array<char, 64>& finding, std::int32_t serving) {
  static ReportPace pace;
  const auto now = std::chrono::steady_clock::now();
  if (!lacking) {
    lacking = true;
    lackingSince = now;
  }
  if (now - lackingSince < kNoNumberReportAfter ||
      std::strcmp(finding.data(), reportedFinding.data()) == 0 ||
      !reportDue(pace))
    return;
  reportLine("QEV: no number in %s: %s; still serving %d", kValueFile,
             finding.data(), static_cast<int>(serving));
  reportedFinding = finding;
}

void noteNumber(std::int32_t value) {
  lacking = false;
  if (reportedFinding[0] == '\0') return;
  reportLine("QEV: %s holds a number again: %d", kValueFile,
             static_cast<int>(value));
  reportedFinding[0] = '\0';
}

// True when `text` is all white space, sign and digits: a number (or the
// white space before it) that runs to its end, and may go on after it.
bool runsToEnd(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && isSpace(text[i])) ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  while (i < text.size() && isDigit(text[i])) ++i;
  return i == text.size();
}

}  // namespace

std::optional<std::int32_t> parseValue(std::string_view text,
                                       bool more_follows) {
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
    if (magnitude > kLimit) return std::nullopt;
    ++i;
  }
  if (i == first_digit) return std::nullopt;
  if (i == text.size() && more_follows) return std::nullopt;
  if (!negative && magnitude == kLimit) return std::nullopt;
  return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

void pauseFor(long ns) {
  timespec pause{0, ns};
  (void)nanosleep(&pause, nullptr);
}

void readCurrentValue(std::int32_t& currentValue, Pause pause) {
  const int fd = openValueFile(pause);
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
           runsToEnd(std::string_view(buffer.data(), length)));
  const int error = got == -1 ? errno : 0;
  (void)close(fd);  // read-only: nothing of ours can be lost by a failure
  // Unless the file ended, more may follow what was read: a number that
  // runs to its end is then not taken. So a number is taken if it ends
  // within kValueScanLimit bytes, the byte after them telling.
  const std::string_view text(buffer.data(), length);
  const auto value = parseValue(text, got != 0);
  if (value) {
    currentValue = *value;
    noteNumber(currentValue);
    return;
  }
  // Empty, a directory, unreadable, or no number in range: the previous
  // value stays in force.
  std::array<char, 64> finding{};
  describeFinding(finding, buffer.data(), length, error);
  noteNoNumber(finding, currentValue);
}

}  // namespace qev
