// How the value file's text is read into a number.

#include "value_text.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qev {

namespace {

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

}  // namespace

std::optional<std::int32_t> parseValue(std::string_view text,
                                       bool more_follows) {
  const Scan found = scan(text);
  if (found.runs_to_end && more_follows) return std::nullopt;
  return found.value;
}

ValueText readValueText(int fd) {
  // A regular file gives all it has up to the buffer's size in one read.
  // Some filesystems (FUSE, network ones) give less: a number that runs to
  // the end of what came may go on, so reading goes on until the number
  // ends, the file ends or the buffer is full. The ordinary content, a
  // number and a line end, costs one read.
  ValueText found;
  ssize_t got = 0;
  do {
    got = read(fd, found.text.data() + found.length,
               found.text.size() - found.length);
    if (got > 0) found.length += static_cast<std::size_t>(got);
  } while ((got > 0 || (got == -1 && errno == EINTR)) &&
           found.length < found.text.size() &&
           scan(std::string_view(found.text.data(), found.length)).runs_to_end);
  found.error = got == -1 ? errno : 0;
  // Unless the file ended, more may follow what was read: a number that
  // runs to its end is then not taken. So a number is taken if it ends
  // within kValueScanLimit bytes, the byte after them telling.
  found.value =
      parseValue(std::string_view(found.text.data(), found.length), got != 0);
  return found;
}

std::array<char, 64> describeNoNumber(const ValueText& found) {
  std::array<char, 64> finding{};
  if (found.length == 0 && found.error != 0) {
    (void)std::snprintf(finding.data(), finding.size(), "cannot read it: %s",
                        std::strerror(found.error));
  } else if (found.length == 0) {
    (void)std::snprintf(finding.data(), finding.size(), "nothing to read");
  } else {
    const char* data = found.text.data();
    const std::size_t got = found.length;
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
  return finding;
}

}  // namespace qev
