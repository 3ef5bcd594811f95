// The request and reply cycle on the one client connection, and the stops
// that end it.

#include "serve.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <optional>

#include "log.h"
#include "pause.h"
#include "protocol.h"
#include "value_file.h"

namespace qev {

namespace {

// Pause before writing again after a write that failed for want of kernel
// memory: long enough to let it come back, short enough not to be noticed.
constexpr std::chrono::milliseconds kWriteRetryPause{10};

// Longest that one write to a client who does not read may block before
// the service looks whether it has been asked to stop.
constexpr std::chrono::milliseconds kWriteWait{200};

// A stop signal that is held back until a reply's log line is out takes
// effect after this many seconds at the latest, even if the log is stuck.
constexpr unsigned kStopGraceSeconds = 1;

// Set from a reply's write until its log line has been flushed.
volatile std::sig_atomic_t replying = 0;
// A stop signal that came while replying, to act on once the line is out.
volatile std::sig_atomic_t deferredStop = 0;

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

// True for the errors that say the client and its connection are gone: a
// reset, a peer found dead by the keepalive probes or the user timeout, or a
// route to it lost for good. No later cycle can do better.
bool connectionGone(int error) {
  return error == EPIPE || error == ECONNRESET || error == ETIMEDOUT ||
         error == EHOSTUNREACH || error == ENETUNREACH ||
         error == ECONNABORTED || error == ENOTCONN;
}

constexpr const char* kClosed = "QEV: Connection closed";

// Ends the service with its connection: its client closed its side
// (`error` 0), and answering would only write into a closed connection; or
// the connection failed with `error`.
[[noreturn]] void endConnection(int error) {
  if (error == 0) endWith(kExitClientClosed, kClosed);
  endWith(connectionGone(error) ? kExitClientLost : kExitFailed, "Error: %s",
          std::strerror(error));
}

// Writes all of `size` bytes, going on after a short, interrupted or timed
// out write, and after a short pause when the system lacks the memory for
// it, so that the client's fixed-size framing never slips. Returns `size`,
// or -1 with errno set when the connection fails or when a stop was asked
// for while the client would not take the record; `cut` then says whether
// part of the record went out.
ssize_t writeAll(int fd, const char* data, std::size_t size, bool& cut) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    const int error = errno;
    const bool short_of_memory = error == ENOBUFS || error == ENOMEM;
    if ((short_of_memory || error == EINTR || error == EAGAIN) &&
        deferredStop == 0) {
      if (short_of_memory) sleepFor(kWriteRetryPause);
      continue;
    }
    cut = done > 0;
    errno = error;
    return -1;
  }
  return static_cast<ssize_t>(done);
}

// Waits for the client's next poll; the bytes themselves mean nothing.
// Returns nothing once some arrived, or how the connection ended: 0 for the
// end of the client's stream, or the error that ended it.
std::optional<int> awaitRequest(int connection, Record& buffer) {
  for (;;) {
    const ssize_t n = recv(connection, buffer.data(), buffer.size(), 0);
    if (n > 0) return std::nullopt;
    if (n == 0) return 0;
    if (errno != EINTR) return errno;
  }
}

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
}

void serveClient(int connection, bool listening) {
  // A client that stops reading would hold a deferred stop for as long as
  // the write blocks: with a send timeout the write comes back now and then
  // to look. Without it (it cannot fail on a TCP socket) a stop waits.
  const timeval wait{
      0, std::chrono::duration_cast<std::chrono::microseconds>(kWriteWait)
             .count()};
  (void)setsockopt(connection, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
  std::int32_t currentValue = 0;
  ValueReader reader;
  reader.connection = connection;
  Record replyBuffer{};
  for (bool answered = false;; answered = true) {
    // The file is read before the wait, so a reply carries the value as it
    // stood when the server began to wait for that request.
    auto ended = readCurrentValue(currentValue, reader);
    if (!ended) ended = awaitRequest(connection, replyBuffer);
    // A connection that ends before its first request was never a client
    // (a port scan, a connect-only health check): where a listener has the
    // next one, its end is logged and the service goes on with that.
    if (ended && !answered && listening &&
        (*ended == 0 || connectionGone(*ended))) {
      if (*ended == 0)
        logLine("%s", kClosed);
      else
        reportError(*ended);
      return;
    }
    if (ended) endConnection(*ended);

    // Zero-fill first: the bytes after the text are part of the record, and
    // the first of them ends the text for the log line below.
    replyBuffer.fill('\0');
    (void)std::to_chars(replyBuffer.data(), replyBuffer.data() + kMaxValueText,
                        currentValue);

    replying = 1;
    bool cut = false;
    const ssize_t written =
        writeAll(connection, replyBuffer.data(), replyBuffer.size(), cut);
    const int error = errno;  // before the log line can change it
    // The line goes out before any report of the write's failure, so that
    // a log that holds both streams reads in order.
    logLine("Current: %s:%d:%d", replyBuffer.data(), static_cast<int>(written),
            connection);
    if (written == -1) {
      // A client that is gone would only draw one failed write per cycle
      // for as long as its requests last; one that has part of a record
      // would take the next out of step: the service is done with either.
      if (connectionGone(error) || (cut && deferredStop == 0))
        endConnection(error);
      reportError(error);
    }
    replying = 0;
    if (deferredStop != 0) stopNow(deferredStop);
  }
}

}  // namespace qev
