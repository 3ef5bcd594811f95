// Pausing the one thread, for retries that must not spin.
#pragma once

#include <time.h>

#include <cerrno>
#include <chrono>

namespace qev {

// Sleeps for `pause`, going on after a signal that interrupts it. Any
// duration is split into the seconds and nanoseconds that nanosleep takes.
inline void sleepFor(std::chrono::nanoseconds pause) {
  const auto whole = std::chrono::duration_cast<std::chrono::seconds>(pause);
  timespec left{static_cast<time_t>(whole.count()),
                static_cast<long>((pause - whole).count())};
  while (nanosleep(&left, &left) == -1 && errno == EINTR) {
  }
}

}  // namespace qev
