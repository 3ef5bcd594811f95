// Reading the published value from the value file, and judging how long a
// state of the file has lasted.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "pace.h"

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

// A state of the value file that may last: the run of reads close together
// that found it, and the line that named it ("" while none stands).
struct Lasting {
  std::optional<std::chrono::steady_clock::time_point> since;  // run's first
  std::chrono::steady_clock::time_point last{};                // run's latest
  int reads = 0;                                               // in the run
  ReportPace pace;
  std::array<char, 128> named{};
};

// What the service knows of the value file, kept from one read to the next
// and from one client to the next.
struct ValueSource {
  std::int32_t current = 0;  // the value served: the last number read
  bool read_one = false;     // a number has been read
  Lasting unopened;          // the file cannot be opened
  Lasting no_number;         // the file holds no number
};

// What one read of the value file found.
enum class Found { number, no_number, unopened };

// Opens the value file once, reads it and closes it. A number becomes
// `source.current`; otherwise the previous value stays. A state that has
// lasted is named on standard error, and its end too. Never waits: what to
// do while the file has no number, or cannot be opened, is the caller's.
Found readCurrentValue(ValueSource& source);

// True while a run of reads that found `state` goes on, unnamed and not
// yet long enough to have lasted: reading again soon tells whether it does.
bool judging(const Lasting& state);

}  // namespace qev
