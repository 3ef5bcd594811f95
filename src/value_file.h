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
#include "value_text.h"

namespace qev {

// When a state of the file (no number in it, or it cannot be opened) has
// lasted, and the pace of the reads that judge it. It is named once reads
// close together have found it for kLastsAfter, and at least
// kLastsAfterReads of them: an operator then learns why polls go unanswered
// or why the value is stale. A writer that rewrites or replaces the file
// never leaves it so nearly this long.
inline constexpr std::chrono::seconds kLastsAfter{1};
inline constexpr int kLastsAfterReads = 10;
// Only the time the service was not looking breaks a run of reads: more
// than this from the end of one read to the start of the next (the process
// descheduled, stopped, or waiting on something else), or one read that
// itself took longer than kSlowestRead, since its one look says nothing of
// the rest of that time. A slow filesystem's reads still make a run.
inline constexpr std::chrono::milliseconds kCloseTogether{50};
inline constexpr std::chrono::milliseconds kSlowestRead{500};
// Pause between reads while a state is judged, and while the file cannot be
// opened: a new file is seen within a few milliseconds, at next to no CPU.
inline constexpr std::chrono::milliseconds kJudgePause{5};
// Where a number was read before, a read that finds none is tried again
// after kRecheckPause, for kRecheckFor, before the previous value is served:
// a writer caught between truncating the file and writing it again is done
// within microseconds.
inline constexpr std::chrono::milliseconds kRecheckPause{1};
inline constexpr std::chrono::milliseconds kRecheckFor{25};
// Reads at the judging pace keep well inside a run, and make the reads a
// run needs long before its time is up, so that the time decides.
static_assert(kJudgePause * 5 <= kCloseTogether);
static_assert(kJudgePause * kLastsAfterReads * 10 <= kLastsAfter);
static_assert(kRecheckPause * 5 <= kCloseTogether);

// A state of the value file that may last: the run of reads close together
// that found it, and the line that named it ("" while none stands).
struct Lasting {
  std::optional<std::chrono::steady_clock::time_point> since;  // run's first
  std::chrono::steady_clock::time_point last{};  // end of the run's latest
  int reads = 0;                                 // in the run
  ReportPace pace;
  std::array<char, 128> named{};
};

// What the service knows of the value file, kept from one read to the next
// and from one client to the next.
struct ValueSource {
  std::int32_t current = 0;  // the last number read
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

// True while the latest read found `state` and it has neither lasted nor
// been named: reading again soon tells whether it lasts. Judged by the
// reads alone, so that a check made late cannot end it.
bool judging(const Lasting& state);
// True while either state of the file is being judged.
bool judging(const ValueSource& source);

}  // namespace qev
