// The service's settings. It takes no arguments, environment or
// configuration file, so everything it is told lives here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qev {

// TCP port the service listens on, on every IPv4 interface.
inline constexpr std::uint16_t kPort = 8792;

// Backlog asked of listen(); the kernel may lower it to its own maximum.
inline constexpr int kBacklog = 4096;

// Every reply is exactly this many bytes: the value's decimal text, then
// zero bytes. It is also the most that one receive takes in.
inline constexpr std::size_t kRecordSize = 1024;

// The longest text a value can have: "-2147483648". The record always has
// room for it and at least one zero byte after.
inline constexpr std::size_t kMaxValueText = 11;
static_assert(kMaxValueText < kRecordSize);

// The file, relative to the working directory, that holds the value.
inline constexpr const char* kValueFile = "current";

// How much of the value file is looked at. A number (with the white space
// before it) that has not ended within this many bytes is not taken, which
// keeps every cycle's cost bounded whatever the file holds.
inline constexpr std::size_t kValueScanLimit = 4096;

// Pause between attempts to open a value file that is not there yet: short
// enough that a new file is seen within a few milliseconds, long enough
// that the wait costs next to no CPU.
inline constexpr long kOpenRetryPauseNs = 5'000'000;

// Pause before accepting again after a failed accept, so that a lasting
// failure (out of descriptors) neither floods the log nor spins.
inline constexpr long kAcceptRetryPauseNs = 200'000'000;

// Longest that one write to a client who does not read may block before
// the service looks whether it has been asked to stop.
inline constexpr long kWriteWaitUs = 200'000;

}  // namespace qev
