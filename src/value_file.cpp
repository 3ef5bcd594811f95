// Reading the published value from the value file, and naming a state of
// it that lasts.

#include "value_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "log.h"

namespace qev {

namespace {

using Line = std::array<char, 128>;

// True once the run of reads that found `state` has lasted.
bool lasted(const Lasting& state) {
  return state.since && state.last - *state.since >= kLastsAfter &&
         state.reads >= kLastsAfterReads;
}

// Notes that a read which began at `began` found `state`, as `line` names
// it: the line is said once the state has lasted, and again when it
// changes, at the pace of reports.
void noteLasting(Lasting& state, const Line& line,
                 std::chrono::steady_clock::time_point began) {
  const auto now = std::chrono::steady_clock::now();
  if (!state.since || began - state.last > kCloseTogether ||
      now - began > kSlowestRead) {
    state.since = now;
    state.reads = 0;
  }
  state.last = now;
  ++state.reads;
  if (!lasted(state) || std::strcmp(line.data(), state.named.data()) == 0 ||
      !reportDue(state.pace))
    return;
  reportLine("%s", line.data());
  state.named = line;
}

// Notes that `state` has ended. True when it had been named, so that its
// end is named too.
bool endLasting(Lasting& state) {
  state.since.reset();
  const bool named = state.named[0] != '\0';
  state.named[0] = '\0';
  return named;
}

// Opens the value file, or names why it cannot be opened, with the target
// of a link to something that is not there.
int openValueFile(ValueSource& source,
                  std::chrono::steady_clock::time_point began) {
  // O_NONBLOCK so that a FIFO put in the file's place cannot hang the
  // service in open() or read(); it changes nothing for a regular file.
  const int fd = open(kValueFile, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd != -1) {
    if (endLasting(source.unopened))
      reportLine("QEV: %s can be read again", kValueFile);
    return fd;
  }
  const int error = errno;
  std::array<char, 64> target{};
  const ssize_t linked = readlink(kValueFile, target.data(), target.size() - 1);
  Line line{};
  (void)std::snprintf(line.data(), line.size(), "QEV: waiting for %s%s%s: %s",
                      kValueFile, linked > 0 ? " -> " : "",
                      linked > 0 ? target.data() : "", std::strerror(error));
  noteLasting(source.unopened, line, began);
  return -1;
}

// Names what a read found that is not a number, and the value still served.
Line noNumberLine(const ValueText& found, std::int32_t serving) {
  Line line{};
  (void)std::snprintf(
      line.data(), line.size(), "QEV: no number in %s: %s; still serving %d",
      kValueFile, describeNoNumber(found).data(), static_cast<int>(serving));
  return line;
}

}  // namespace

Found readCurrentValue(ValueSource& source) {
  const auto began = std::chrono::steady_clock::now();
  const int fd = openValueFile(source, began);
  if (fd == -1) {
    source.no_number.since.reset();  // its run, not its line: not a number
    return Found::unopened;
  }
  const ValueText found = readValueText(fd);
  (void)close(fd);  // read-only: nothing of ours can be lost by a failure
  if (!found.value) {
    // Empty, a directory, unreadable, or no number in range: the previous
    // value stays in force.
    noteLasting(source.no_number, noNumberLine(found, source.current), began);
    return Found::no_number;
  }
  source.current = *found.value;
  source.read_one = true;
  if (endLasting(source.no_number))
    reportLine("QEV: %s holds a number again: %d", kValueFile,
               static_cast<int>(source.current));
  return Found::number;
}

bool judging(const Lasting& state) {
  return state.since && state.named[0] == '\0' && !lasted(state);
}

bool judging(const ValueSource& source) {
  return judging(source.no_number) || judging(source.unopened);
}

}  // namespace qev
