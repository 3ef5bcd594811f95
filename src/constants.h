// The service's settings. It takes no arguments, environment or
// configuration file, so everything it is told lives here.
#pragma once

#include <chrono>
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
// keeps every cycle's cost bounded whatever the file holds. One byte more is
// read, to tell whether a number that fills them ends there.
inline constexpr std::size_t kValueScanLimit = 4096;

// Pause between attempts to open a value file that is not there yet: short
// enough that a new file is seen within a few milliseconds, long enough
// that the wait costs next to no CPU.
inline constexpr long kOpenRetryPauseNs = 5'000'000;

// A value file that cannot be opened for this long is reported once on
// standard error, so that an operator learns why polls go unanswered. A
// writer that replaces the file never leaves it missing nearly this long.
inline constexpr std::chrono::milliseconds kOpenReportAfter{1000};

// A value file that has held no number for this long (of reads) is named
// once on standard error: the replies still carry the previous value, and an
// operator must be able to tell that it is stale. A writer's rewrite or
// rename leaves it without a number for far less.
inline constexpr std::chrono::milliseconds kNoNumberReportAfter{1000};

// A report of a state that may come and go (a value file missing, a file
// with no number, a failed accept) is said at most this often, so that a
// writer or a machine that flips between states cannot flood the log.
inline constexpr std::chrono::seconds kReportInterval{10};

// Pause before writing again after a write that failed for want of kernel
// memory: long enough to let it come back, short enough not to be noticed.
inline constexpr long kWriteRetryPauseNs = 10'000'000;

// A socket of the wrong kind on standard input ends the service this long
// after it is named: a supervisor that keeps passing it then starts the
// service about once a second, not in a tight loop.
inline constexpr long kMisconfiguredPauseSeconds = 1;

// Pause before accepting again after a failed accept, so that a lasting
// failure (out of descriptors) does not spin.
inline constexpr long kAcceptRetryPauseNs = 200'000'000;

// Longest that one write to a client who does not read may block before
// the service looks whether it has been asked to stop.
inline constexpr long kWriteWaitUs = 200'000;

// A stop signal that is held back until a reply's log line is out takes
// effect after this many seconds at the latest, even if the log is stuck.
inline constexpr unsigned kStopGraceSeconds = 1;

// A client whose host vanished (power lost, cable pulled, state forgotten by
// a firewall) sends neither FIN nor RST, and the one connection the service
// lives for would wait for ever. Keepalive probes after this much silence,
// this far apart and this many times find such a peer within about a
// minute; a live peer's system answers them, so a quiet client is never
// dropped, however long it waits between polls.
inline constexpr int kKeepAliveIdleSeconds = 30;
inline constexpr int kKeepAliveIntervalSeconds = 10;
inline constexpr int kKeepAliveProbes = 3;
// Data that the peer never acknowledges (a reply written into a dead
// connection) is given up after as long as the probes take.
inline constexpr unsigned kUserTimeoutMs =
    1000 *
    (kKeepAliveIdleSeconds + kKeepAliveIntervalSeconds * kKeepAliveProbes);

// How the process ends. A supervisor counts kExitClientLost as the client's
// doing, not as a failure of the service.
inline constexpr int kExitClientClosed = 0;  // the client closed its side
inline constexpr int kExitFailed = 1;        // the service could not serve
inline constexpr int kExitClientLost = 2;    // reset, timed out, or gone

}  // namespace qev
