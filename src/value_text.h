// What the value file holds: how its text is read into a number, the same
// for the service and for the check that reads the file beside it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace qev {

// The file, relative to the working directory, that holds the value.
inline constexpr const char* kValueFile = "current";

// How much of the value file is looked at. A number (with the white space
// before it) that has not ended within this many bytes is not taken, which
// keeps every cycle's cost bounded whatever the file holds. One byte more is
// read, to tell whether a number that fills them ends there.
inline constexpr std::size_t kValueScanLimit = 4096;

// Reads the integer that leads `text` the way "%d" would: white space is
// skipped, then an optional '+' or '-', then decimal digits up to the first
// other character. Returns nothing when there is no number or when it lies
// outside the signed 32-bit range. `more_follows` says that `text` is only
// the start of the data: a number that runs to its end is then not taken,
// since its digits may go on. Allocates nothing; time is linear in `text`.
std::optional<std::int32_t> parseValue(std::string_view text,
                                       bool more_follows);

// What one read of an open value file found: the start of its text, the
// error that ended the read (0: none), and its number, if it holds one.
struct ValueText {
  std::array<char, kValueScanLimit + 1> text;
  std::size_t length = 0;
  int error = 0;
  std::optional<std::int32_t> value;
};

// Reads the value file open on `fd` from where it stands, as much as tells
// its number, and leaves `fd` open.
ValueText readValueText(int fd);

// Names what a read that found no number found, fit for a line: the read's
// error, "nothing to read", or the start of the file's first line, quoted,
// with bytes that are not printable shown as '?'.
std::array<char, 64> describeNoNumber(const ValueText& found);

}  // namespace qev
