// Reading the published value from the value file.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace qev {

// Reads the integer that leads `text` the way "%d" would: white space is
// skipped, then an optional '+' or '-', then decimal digits up to the first
// other character. Returns nothing when there is no number or when it lies
// outside the signed 32-bit range. `more_follows` says that `text` is only
// the start of the data: a number that runs to its end is then not taken,
// since its digits may go on. Allocates nothing; time is linear in `text`.
std::optional<std::int32_t> parseValue(std::string_view text,
                                       bool more_follows);

// How the reader waits between attempts to open a value file that is not
// there: pauses for about `ns` nanoseconds. The serving loop watches its
// connection meanwhile; pauseFor only sleeps.
using Pause = void (*)(long ns);
void pauseFor(long ns);

// Opens the value file in the working directory, reads it and closes it. On
// return `currentValue` holds the number read, or keeps its previous value
// when the file held no number in range. The ordinary content costs one
// read; a number that runs to the end of what a read returned (a filesystem
// may return less than there is) is completed by reading on, so that it is
// never cut, and is taken if it ends within kValueScanLimit bytes. While
// the file cannot be opened, tries again after `pause`: it does not return
// until an open has succeeded. A wait longer than kOpenReportAfter is named
// on standard error ("QEV: waiting for current: <reason>", again when the
// reason changes) and its end too ("QEV: current can be read again"). Reads
// that have found no number for kNoNumberReportAfter are named too ("QEV: no
// number in current: <what was found>; still serving <value>", again when
// what is found changes), and so is the number's return ("QEV: current
// holds a number again: <value>"). Each of the two is said at most once per
// kReportInterval.
void readCurrentValue(std::int32_t& currentValue, Pause pause = pauseFor);

}  // namespace qev
