// The request and reply cycle on one client connection, and every wait on
// it.

#include "serve.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>

#include "end.h"
#include "log.h"
#include "pause.h"
#include "protocol.h"
#include "stop.h"
#include "value_file.h"
#include "write_all.h"

namespace qev {

namespace {

// Pause before writing again after a write that failed for want of kernel
// memory: long enough to let it come back, short enough not to be noticed.
constexpr std::chrono::milliseconds kWriteRetryPause{10};

// Longest that one write to a client who does not read may block before
// the service looks whether it has been asked to stop.
constexpr std::chrono::milliseconds kWriteWait{200};

// True for the errors that say the client and its connection are gone: a
// reset, a peer found dead by the keepalive probes or the user timeout, or a
// route to it lost for good. No later cycle can do better.
bool connectionGone(int error) {
  return error == EPIPE || error == ECONNRESET || error == ETIMEDOUT ||
         error == EHOSTUNREACH || error == ENETUNREACH ||
         error == ECONNABORTED || error == ENOTCONN;
}

// Logs the end of a connection: its client closed its side (`error` 0), or
// the connection failed with `error`.
void logEnd(int error) {
  if (error == 0)
    logLine("QEV: Connection closed");
  else
    reportError(error);
}

// The end of a connection, which ended with `error` (0: its client closed
// its side), after `answered` replies or none. Returns where `on_leave`
// lets a client that left be followed by the next; else ends the service,
// as a client's doing or as a failure.
void leave(int error, bool answered, OnLeave on_leave) {
  const bool left = error == 0 || connectionGone(error);
  if (left && (on_leave == OnLeave::next ||
               (on_leave == OnLeave::nextIfUnserved && !answered))) {
    logEnd(error);
    return;
  }
  if (error == 0) endWith(kExitDone, "QEV: Connection closed");
  endWith(left ? kExitClientLost : kExitFailed, "Error: %s",
          std::strerror(error));
}

// Writes the whole record, going on after a write that timed out or
// failed for want of kernel memory (after a short pause), so that the
// client's fixed-size framing never slips. Returns its size, or -1 with
// errno set when the connection fails, or when a stop waits and the client
// would not take the record; `cut` then says whether part of it went out.
ssize_t sendRecord(int fd, const Record& record, bool& cut) {
  std::size_t done = 0;
  for (std::size_t more = 0;
       !writeAll(fd, record.data() + done, record.size() - done, more);) {
    done += more;
    const int error = errno;
    const bool short_of_memory = error == ENOBUFS || error == ENOMEM;
    if ((short_of_memory || error == EAGAIN) && !stopPending()) {
      if (short_of_memory) sleepFor(kWriteRetryPause);
      continue;
    }
    cut = done > 0;
    errno = error;
    return -1;
  }
  return static_cast<ssize_t>(record.size());
}

// Waits about `pause`, watching `connection` meanwhile, so that a client
// gone while the file cannot be read does not hold the service, and the
// supervisor's slot, until it can. Returns how the connection ended, if it
// did: 0 for the end of its client's stream with no request waiting, or the
// error that ended it. A request that is waiting keeps the service waiting
// to answer it.
std::optional<int> watch(int connection, std::chrono::milliseconds pause) {
  char byte = 0;
  const ssize_t n = recv(connection, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n == 0) return 0;
  if (n == -1 && errno != EAGAIN && errno != EINTR) return errno;
  // A failure is reported whatever is asked for; with no request waiting,
  // one arriving (or the stream's end) ends the pause too.
  pollfd watched{connection, static_cast<short>(n > 0 ? 0 : POLLIN), 0};
  (void)poll(&watched, 1, static_cast<int>(pause.count()));
  if ((watched.revents & (POLLERR | POLLHUP)) == 0) return std::nullopt;
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(connection, SOL_SOCKET, SO_ERROR, &error, &length) == -1 ||
      error == 0)
    error = ENOTCONN;
  return error;
}

// Reads the value file until its value may be served: waits while the file
// cannot be opened; while it holds no number and none was read yet, until
// that lack has lasted, so that no 0 goes out that nobody wrote; and where
// one was read, a moment, for a writer caught mid-rewrite. Returns how the
// connection ended, if it did meanwhile.
std::optional<int> refresh(int connection, ValueSource& source) {
  const auto started = std::chrono::steady_clock::now();
  for (;;) {
    const Found found = readCurrentValue(source);
    if (found == Found::number) return std::nullopt;
    if (found == Found::no_number) {
      if (!judging(source.no_number)) return std::nullopt;
      if (source.read_one) {
        // Too short a wait to watch the connection through.
        if (std::chrono::steady_clock::now() - started >= kRecheckFor)
          return std::nullopt;
        sleepFor(kRecheckPause);
        continue;
      }
    }
    if (auto ended = watch(connection, kJudgePause)) return ended;
  }
}

// Waits for the client's next poll; the bytes themselves mean nothing.
// Returns nothing once some bytes arrived, or how the connection ended: 0
// for the end of the client's stream, or the error that ended it.
std::optional<int> awaitRequest(int connection, Record& buffer,
                                ValueSource& source) {
  // Only a wait that judges the file costs a poll before the receive.
  if (judging(source)) (void)awaitInput(connection, source, std::nullopt);
  for (;;) {
    const ssize_t n = recv(connection, buffer.data(), buffer.size(), 0);
    if (n > 0) return std::nullopt;
    if (n == 0) return 0;
    if (errno != EINTR) return errno;
  }
}

}  // namespace

bool awaitInput(int fd, ValueSource& source,
                std::optional<std::chrono::milliseconds> limit) {
  using Clock = std::chrono::steady_clock;
  const auto deadline =
      limit ? Clock::now() + *limit : Clock::time_point::max();
  for (;;) {
    if (endWhenIdle()) return false;
    const bool judging_now = judging(source);
    auto wait = std::chrono::milliseconds(-1);  // poll()'s "no end"
    if (limit)
      wait = std::max(std::chrono::milliseconds(0),
                      std::chrono::ceil<std::chrono::milliseconds>(
                          deadline - Clock::now()));
    if (judging_now && (wait.count() < 0 || wait > kJudgePause))
      wait = kJudgePause;
    pollfd ready{fd, POLLIN, 0};
    const int n = poll(&ready, 1, static_cast<int>(wait.count()));
    // Input, an error, or a failure of poll() itself: the caller's next
    // call on `fd` tells which.
    if (n > 0 || (n == -1 && errno != EINTR)) return true;
    if (n == 0 && judging_now) (void)readCurrentValue(source);
    if (limit && Clock::now() >= deadline) return false;
  }
}

void serveClient(int connection, ValueSource& source, OnLeave on_leave) {
  // A client that stops reading would hold a deferred stop for as long as
  // the write blocks: with a send timeout the write comes back now and then
  // to look. Without it (it cannot fail on a TCP socket) a stop waits.
  const timeval wait{
      0, std::chrono::duration_cast<std::chrono::microseconds>(kWriteWait)
             .count()};
  (void)setsockopt(connection, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
  Record replyBuffer{};
  for (bool answered = false;; answered = true) {
    // The file is read before the wait, so a reply carries the value as it
    // stood when the server began to wait for that request.
    auto ended = refresh(connection, source);
    // Reads made while the wait judges the file do not change this reply.
    const std::int32_t value = source.current;
    if (!ended) ended = awaitRequest(connection, replyBuffer, source);
    if (ended) return leave(*ended, answered, on_leave);

    // Zero-fill first: the bytes after the text are part of the record, and
    // the first of them ends the text for the log line below.
    replyBuffer.fill('\0');
    (void)std::to_chars(replyBuffer.data(), replyBuffer.data() + kMaxValueText,
                        value);

    replyStarts();
    bool cut = false;
    const ssize_t written = sendRecord(connection, replyBuffer, cut);
    const int error = errno;  // before the log line can change it
    // The line goes out before any report of the write's failure, so that
    // a log that holds both streams reads in order.
    logLine("Current: %s:%d:%d", replyBuffer.data(), static_cast<int>(written),
            connection);
    // A client that is gone would only draw one failed write per cycle for
    // as long as its requests last; one that has part of a record would
    // take the next out of step: the service is done with either.
    const bool done =
        written == -1 && (connectionGone(error) || (cut && !stopPending()));
    if (written == -1 && !done) reportError(error);
    if (done) leave(error, true, on_leave);
    replyEnds();
    if (done) return;
  }
}

}  // namespace qev
