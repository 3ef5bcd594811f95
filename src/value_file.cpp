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
  (void)close(fd);       // read-only: nothing of ours can be lost by a failure
  if (got <= 0) return;  // empty, a directory, or unreadable: keep the value
  const auto length = static_cast<std::size_t>(got);
  const auto value = parseValue(std::string_view(buffer.data(), length),
                                length == buffer.size());
  if (value) currentValue = *value;
}

}  // namespace qev
