#include "serve.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "constants.h"
#include "value_file.h"

namespace qev {

namespace {

// Set from a reply's write until its log line has been flushed.
volatile std::sig_atomic_t replying = 0;
// A stop signal that came while replying, to act on once the line is out.
volatile std::sig_atomic_t deferredStop = 0;

// Ends the process by `signal` with its default action, as if the service
// had never caught it.
void stopNow(int signal) {
  (void)std::signal(signal, SIG_DFL);
  (void)std::raise(signal);
}

// A stop (SIGTERM, SIGINT) ends the service at once, except between the
// write of a reply and the flush of its log line: then it waits for the
// line, so that the log holds a line for every reply that was sent. A log
// that does not take the line (a reader that stopped reading) holds it back
// for kStopGraceSeconds at most: the alarm then stops the service anyway.
// The grace runs from the first stop: more stops do not put it off.
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

void deferStopsDuringReplies(int connection) {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  // Blocking calls go on after the handler has run, as without it.
  action.sa_flags = SA_RESTART;
  (void)sigemptyset(&action.sa_mask);
  for (const int signal : {SIGTERM, SIGINT}) {
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
  // A client that stops reading would hold a deferred stop for as long as
  // the write blocks: with a send timeout the write comes back now and then
  // to look. Without it (it cannot fail on a TCP socket) a stop waits.
  const timeval wait{0, kWriteWaitUs};
  (void)setsockopt(connection, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
}

// True for the errors that say the client and its connection are gone: a
// reset, a peer found dead by the keepalive probes or the user timeout, or a
// route to it lost for good. No later cycle can do better.
bool connectionGone(int error) {
  return error == EPIPE || error == ECONNRESET || error == ETIMEDOUT ||
         error == EHOSTUNREACH || error == ENETUNREACH || error == ECONNABORTED;
}

// Writes all of `size` bytes, going on after a short, interrupted or timed
// out write so that the client's fixed-size framing never slips. Returns
// `size`, or -1 with errno set when the connection fails or when a stop was
// asked for while the client would not take the record.
ssize_t writeAll(int fd, const char* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    const bool try_again = errno == EINTR || errno == EAGAIN;
    if (!try_again || deferredStop != 0) return -1;
  }
  return static_cast<ssize_t>(done);
}

// Waits for the client's next poll; the bytes themselves mean nothing.
// Returns only when some arrived: the end of the client's stream ends the
// service, and so does a failed connection.
void awaitRequest(int connection, std::array<char, kRecordSize>& buffer) {
  for (;;) {
    const ssize_t n = recv(connection, buffer.data(), buffer.size(), 0);
    if (n > 0) return;
    if (n == 0) {
      // The client has finished. Answering would only write into a closed
      // connection, so the service is done.
      (void)printf("QEV: Connection closed\n");
      std::exit(kExitClientClosed);  // which flushes the log
    }
    if (errno == EINTR) continue;
    const int error = errno;
    perror("Error");
    std::exit(connectionGone(error) ? kExitClientLost : kExitFailed);
  }
}

// Flushes the log. A log that cannot be written (a reader that has gone, a
// full disk) is said once on standard error: the replies go on, but an
// operator must learn why their lines are missing.
void flushLog() {
  static bool reported = false;
  if (fflush(stdout) == 0 || errno == EINTR || reported) return;
  reported = true;
  (void)fprintf(stderr, "QEV: cannot write the log: %s\n",
                std::strerror(errno));
}

}  // namespace

void serveClient(int connection) {
  deferStopsDuringReplies(connection);
  std::int32_t currentValue = 0;
  std::array<char, kRecordSize> replyBuffer{};
  for (;;) {
    // The file is read before the wait, so a reply carries the value as it
    // stood when the server began to wait for that request.
    readCurrentValue(currentValue);
    awaitRequest(connection, replyBuffer);

    // Zero-fill first: the bytes after the text are part of the record, and
    // the first of them ends the text for the log line below.
    replyBuffer.fill('\0');
    (void)std::to_chars(replyBuffer.data(), replyBuffer.data() + kMaxValueText,
                        currentValue);

    replying = 1;
    const ssize_t written =
        writeAll(connection, replyBuffer.data(), replyBuffer.size());
    const int error = errno;  // before the log line can change it
    (void)printf("Current: %s:%d:%d\n", replyBuffer.data(),
                 static_cast<int>(written), connection);
    // The line goes out before any report of the write's failure, so that
    // a log that holds both streams reads in order.
    flushLog();
    if (written == -1) {
      errno = error;
      perror("Error");
      // A client that is gone would only draw one failed write per cycle
      // for as long as its requests last: the service is done with it.
      if (connectionGone(error)) std::exit(kExitClientLost);
    }
    replying = 0;
    if (deferredStop != 0) stopNow(deferredStop);
  }
}

}  // namespace qev
