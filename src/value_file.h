// Reading the published value from the value file.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "log.h"

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

// A state of the value file that may last: since when it holds, and the
// line that named it ("" while none stands).
struct Lasting {
  std::optional<std::chrono::steady_clock::time_point> since;
  ReportPace pace;
  std::array<char, 128> named{};
};

// What the reader keeps from one cycle to the next.
struct ValueReader {
  int connection = -1;    // watched while the file is waited for; -1: none
  bool read_one = false;  // a number has been read
  Lasting unopened;       // the file cannot be opened
  Lasting no_number;      // the file holds no number
};

// Opens the value file, reads it and closes it: `currentValue` then holds
// the number read, or keeps its previous value when the file held none.
// While the file cannot be opened it waits, and while it holds no number
// and none has been read yet it waits too, until that lack is named. It
// watches `reader.connection` meanwhile, and returns without a read only if
// that connection ends first: with 0 when its client closed it with no
// request waiting, or with the error that ended it. A state of the file
// that lasts is named on standard error.
std::optional<int> readCurrentValue(std::int32_t& currentValue,
                                    ValueReader& reader);

}  // namespace qev
