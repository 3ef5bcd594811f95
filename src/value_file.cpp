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

int openValueFile() {
  int fd = openValue();
  if (fd != -1) return fd;
  // The writer has not made the file yet, or it is unreadable for now: wait
  // a moment rather than spin, and try again. A wait that lasts is named
  // once on standard error (again if its reason changes), so that unanswered
  // polls have an explanation in the log.
  const auto since = std::chrono::steady_clock::now();
  int reported = 0;
  for (;;) {
    const int error = errno;
    if (error != reported &&
        std::chrono::steady_clock::now() - since >= kOpenReportAfter) {
      (void)std::fprintf(stderr, "QEV: waiting for %s: %s\n", kValueFile,
                         std::strerror(error));
      reported = error;
    }
    timespec pause{0, kOpenRetryPauseNs};
    (void)nanosleep(&pause, nullptr);
    fd = openValue();
    if (fd != -1) break;
  }
  if (reported != 0)
    (void)std::fprintf(stderr, "QEV: %s can be read again\n", kValueFile);
  return fd;
}

// What the reads have found instead of a number, and since when; and what
// the last report named ("" when none is standing).
bool lacking = false;
std::chrono::steady_clock::time_point lackingSince;
std::array<char, 64> reportedFinding{};

// Describes what a read found that is not a number: the read's error, or
// the start of the file's first line, quoted, with bytes that are not
// printable shown as '?'.
void describeFinding(std::array<char, 64>& finding, const char* data,
                     ssize_t got, int error) {
  if (got < 0) {
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
  while (n < kShown && n < static_cast<std::size_t>(got) && data[n] != '\n') {
    const char c = data[n];
    text[n++] = c >= ' ' && c <= '~' ? c : '?';
  }
  const bool more =
      n < static_cast<std::size_t>(got) &&
      !(data[n] == '\n' && n + 1 == static_cast<std::size_t>(got));
  (void)std::snprintf(finding.data(), finding.size(), "\"%s%s\"", text.data(),
                      more ? "..." : "");
}

// Names a lasting lack of a number: once the reads have found none for
// kNoNumberReportAfter, and again whenever what they find changes. A writer
// that truncates and rewrites the file, or replaces it, leaves it without a
// number far more briefly, and draws no line.
void noteNoNumber(const std::array<char, 64>& finding, std::int32_t serving) {
  const auto now = std::chrono::steady_clock::now();
  if (!lacking) {
    lacking = true;
    lackingSince = now;
  }
  if (now - lackingSince < kNoNumberReportAfter ||
      std::strcmp(finding.data(), reportedFinding.data()) == 0)
    return;
  (void)std::fprintf(stderr, "QEV: no number in %s: %s; still serving %d\n",
                     kValueFile, finding.data(), static_cast<int>(serving));
  reportedFinding = finding;
}

void noteNumber(std::int32_t value) {
  lacking = false;
  if (reportedFinding[0] == '\0') return;
  (void)std::fprintf(stderr, "QEV: %s holds a number again: %d\n", kValueFile,
                     static_cast<int>(value));
  reportedFinding[0] = '\0';
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

void readCurrentValue(std::int32_t& currentValue) {
  const int fd = openValueFile();
  // One read is enough: a regular file gives all it has up to the buffer's
  // size, so a short read means the file ended there. A full buffer may have
  // more behind it, and parseValue is told so.
  std::array<char, kValueScanLimit> buffer;
  const ssize_t got = read(fd, buffer.data(), buffer.size());
  const int error = errno;
  (void)close(fd);  // read-only: nothing of ours can be lost by a failure
  const auto length = static_cast<std::size_t>(got > 0 ? got : 0);
  const auto value = parseValue(std::string_view(buffer.data(), length),
                                length == buffer.size());
  if (value) {
    currentValue = *value;
    noteNumber(currentValue);
    return;
  }
  // Empty, a directory, unreadable, or no number in range: the previous
  // value stays in force.
  std::array<char, 64> finding{};
  describeFinding(finding, buffer.data(), got, error);
  noteNoNumber(finding, currentValue);
}

}  // namespace qev
