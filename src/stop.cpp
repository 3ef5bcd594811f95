// The stop signals, and the reply they wait for.

#include "stop.h"

#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <initializer_list>

namespace qev {

namespace {

// A stop signal that is held back until a reply's log line is out takes
// effect after this many seconds at the latest, even if the log is stuck.
constexpr unsigned kStopGraceSeconds = 1;

// Set from a reply's write until its log line has been flushed.
volatile std::sig_atomic_t replying = 0;
// A stop signal that came while replying, to act on once the line is out.
volatile std::sig_atomic_t deferredStop = 0;
// SIGWINCH came: end once there is no client.
volatile std::sig_atomic_t idleEnd = 0;

// Ends the process by `signal` with its default action, as if the service
// had never caught it. The signal may be blocked (in its own handler): it
// is let through so that it acts at once. As PID 1 (in a container) a
// signal's default action does nothing: the process then exits with the
// status a shell gives one ended by that signal.
void stopNow(int signal) {
  (void)std::signal(signal, SIG_DFL);
  sigset_t only;
  (void)sigemptyset(&only);
  (void)sigaddset(&only, signal);
  (void)sigprocmask(SIG_UNBLOCK, &only, nullptr);
  (void)std::raise(signal);
  // Reached only where the signal did nothing. cppcheck takes raise() for
  // a function that never returns.
  // cppcheck-suppress unreachableCode
  _exit(128 + signal);
}

// A stop (SIGTERM, SIGINT, or SIGHUP from a closed terminal) ends the service
// at once, except between the write of a reply and the flush of its log line:
// then it waits for the line, so that the log holds a line for every reply that
// was sent. A log that does not take the line (a reader that stopped reading)
// holds it back for kStopGraceSeconds at most: the alarm then stops the service
// anyway. The grace runs from the first stop: more stops do not put it off.
extern "C" void onStopSignal(int signal) {
  if (replying == 0) stopNow(signal);
  if (deferredStop == 0) {
    deferredStop = signal;
    (void)alarm(kStopGraceSeconds);
  }
}

extern "C" void onStopGraceOver(int /*signal*/) {
  if (deferredStop != 0) stopNow(deferredStop);
}

// SIGWINCH, as Apache's graceful stop: ignored by default, so that sending
// it to a qev that does not know it (an older one, after an upgrade) can
// never cut a client.
extern "C" void onIdleEnd(int /*signal*/) { idleEnd = 1; }

}  // namespace

void handleStops() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  // Blocking calls go on after the handler has run, as without it.
  action.sa_flags = SA_RESTART;
  (void)sigemptyset(&action.sa_mask);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    // A stop that was ignored when the service started (a background job of
    // a non-interactive shell has SIGINT ignored) stays ignored.
    struct sigaction inherited {};
    if (sigaction(signal, nullptr, &inherited) == 0 &&
        inherited.sa_handler == SIG_IGN)
      continue;
    (void)sigaction(signal, &action, nullptr);
  }
  action.sa_handler = onStopGraceOver;
  (void)sigaction(SIGALRM, &action, nullptr);
  // Not restarted: a wait for the next client comes back to look.
  action.sa_handler = onIdleEnd;
  action.sa_flags = 0;
  (void)sigaction(SIGWINCH, &action, nullptr);
}

void replyStarts() { replying = 1; }

void replyEnds() {
  replying = 0;
  if (deferredStop != 0) stopNow(deferredStop);
}

bool stopPending() { return deferredStop != 0; }

bool endWhenIdle() { return idleEnd != 0; }

}  // namespace qev
