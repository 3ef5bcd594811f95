#include "wire.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

namespace qevclient {

namespace {

using Clock = std::chrono::steady_clock;

std::string systemError(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// Milliseconds left until `deadline`, never negative.
int msUntil(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - Clock::now());
  return static_cast<int>(std::max<long long>(left.count(), 0));
}

// Waits until `fd` is ready for `events`; false when `deadline` passes.
bool waitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd ready{fd, events, 0};
    const int n = ::poll(&ready, 1, msUntil(deadline));
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return true;  // let the next call report it
  }
}

}  // namespace

std::variant<std::int32_t, Failure> checkRecord(const Record& record) {
  auto checked = qev::checkRecord({record.data(), record.size()});
  if (auto* why = std::get_if<std::string>(&checked))
    return Failure{std::move(*why)};
  return std::get<std::int32_t>(checked);
}

namespace {

// Connects `fd` to `address`, waiting until `deadline`. Returns an empty
// message on success.
std::string connectBy(int fd, const addrinfo& address,
                      Clock::time_point deadline) {
  if (connect(fd, address.ai_addr, address.ai_addrlen) == 0) return {};
  if (errno != EINPROGRESS) return std::strerror(errno);
  if (!waitFor(fd, POLLOUT, deadline)) return "no answer";
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == -1)
    return std::strerror(errno);
  return error == 0 ? std::string{} : std::strerror(error);
}

// Looks `host` up, waiting until `deadline` at most: a name server that
// never answers would otherwise hold the client for the resolver's own
// timeouts, ten seconds and more. Returns the addresses, or what went wrong.
std::variant<addrinfo*, std::string> lookUp(const std::string& host,
                                            const std::string& port,
                                            Clock::time_point deadline) {
  // An address needs no resolver: looked up at once, with no helper thread,
  // which would need a library (libgcc_s, to unwind when it ends) that a
  // minimal root such as the image's lacks.
  addrinfo numeric{};
  numeric.ai_family = AF_UNSPEC;
  numeric.ai_socktype = SOCK_STREAM;
  numeric.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &numeric, &found) == 0)
    return found;
  // What the resolver works on, in a thread of its own.
  struct Request {
    std::string host;
    std::string port;
    addrinfo hints{};
    gaicb request{};
  };
  auto pending = std::make_unique<Request>();
  pending->host = host;
  pending->port = port;
  pending->hints.ai_family = AF_UNSPEC;
  pending->hints.ai_socktype = SOCK_STREAM;
  pending->hints.ai_flags = AI_NUMERICSERV;
  pending->request.ar_name = pending->host.c_str();
  pending->request.ar_service = pending->port.c_str();
  pending->request.ar_request = &pending->hints;
  gaicb* requests[] = {&pending->request};
  int error = getaddrinfo_a(GAI_NOWAIT, requests, 1, nullptr);
  if (error != 0) return std::string(gai_strerror(error));
  for (;;) {  // until it is done, or the deadline passes
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::max(deadline - Clock::now(), Clock::duration::zero()));
    const timespec wait{static_cast<time_t>(left.count() / 1'000'000'000),
                        static_cast<long>(left.count() % 1'000'000'000)};
    if (gai_suspend(requests, 1, &wait) != EAI_INTR) break;
  }
  error = gai_error(&pending->request);
  if (error == EAI_INPROGRESS && gai_cancel(&pending->request) != EAI_ALLDONE) {
    // Still in the resolver's hands, which may yet write to it: it is left
    // to the process's end.
    (void)pending.release();
    return std::string("no answer");
  }
  error = gai_error(&pending->request);
  if (error != 0) return std::string(gai_strerror(error));
  return pending->request.ar_result;
}

}  // namespace

std::variant<int, Failure> connectTo(const std::string& host,
                                     std::uint16_t port,
                                     std::chrono::milliseconds timeout) {
  const bool ipv6 = host.find(':') != std::string::npos;
  const std::string where =
      (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
  const std::string within =
      " within " + std::to_string(timeout.count()) + " ms";
  const auto deadline = Clock::now() + timeout;
  auto looked_up = lookUp(host, std::to_string(port), deadline);
  if (auto* why = std::get_if<std::string>(&looked_up))
    return Failure{"cannot find '" + host + "': " + *why +
                       (*why == "no answer" ? within : ""),
                   true};
  addrinfo* const found = std::get<addrinfo*>(looked_up);
  std::size_t addresses = 0;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) ++addresses;
  std::string why;
  int fd = -1;
  for (const addrinfo* address = found; address != nullptr && fd == -1;
       address = address->ai_next, --addresses) {
    fd = socket(address->ai_family,
                address->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd == -1) {
      why = std::strerror(errno);
      continue;
    }
    // Each address its share of the time left, so that one that never
    // answers leaves time for the next.
    const auto now = Clock::now();
    const auto share =
        now + (std::max(deadline - now, Clock::duration::zero()) /
               static_cast<long>(addresses));
    why = connectBy(fd, *address, share);
    if (why.empty()) break;
    (void)close(fd);
    fd = -1;
  }
  freeaddrinfo(found);
  if (why == "no answer") why += within;
  if (fd == -1) return Failure{"cannot connect to " + where + ": " + why};
  // Polls are single bytes that must leave at once.
  const int on = 1;
  (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

std::string sendAll(int fd, const char* data, std::size_t size,
                    std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = send(fd, data + done, size - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n == -1 && errno == EAGAIN) {
      if (!waitFor(fd, POLLOUT, deadline))
        return "cannot send a poll: no room within " +
               std::to_string(timeout.count()) + " ms";
    } else if (n == -1 && errno != EINTR) {
      return systemError("cannot send a poll");
    }
  }
  return {};
}

std::string readRecord(int fd, Record& record,
                       std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::size_t got = 0;
  while (got < record.size()) {
    const ssize_t n = recv(fd, record.data() + got, record.size() - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) {
      if (got == 0) return "the service closed the connection without a reply";
      return "the service closed the connection after " + std::to_string(got) +
             " of " + std::to_string(record.size()) + " bytes of a record";
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return systemError("cannot receive a record");
    if (!waitFor(fd, POLLIN, deadline)) {
      return "no whole record within " + std::to_string(timeout.count()) +
             " ms (got " + std::to_string(got) + " of " +
             std::to_string(record.size()) + " bytes)";
    }
  }
  return {};
}

std::variant<std::int32_t, Failure> pollOnce(
    int fd, std::chrono::milliseconds timeout) {
  if (auto error = sendAll(fd, "?", 1, timeout); !error.empty())
    return Failure{error};
  Record record;
  if (auto error = readRecord(fd, record, timeout); !error.empty())
    return Failure{error};
  return checkRecord(record);
}

std::variant<long, Failure> streamRequests(
    int fd, const std::function<bool(long)>& keepSending,
    const std::function<void(const Record&)>& onRecord,
    std::chrono::milliseconds quiet, bool leave) {
  static const std::string requests(65536, '?');
  std::vector<char> incoming(1 << 18);
  Record record;
  std::size_t partial = 0;
  long records = 0;
  auto last_reply = Clock::now();
  auto left_at = last_reply;
  bool left = false;
  for (;;) {
    const bool sending = !left && keepSending(records);
    if (!sending && leave && !left) {
      if (shutdown(fd, SHUT_WR) == -1)
        return Failure{systemError("cannot close the sending side")};
      left = true;
      left_at = Clock::now();
    }
    // Leaving, the service has `quiet` in all to answer what it was sent
    // and close, however it keeps sending; otherwise it is done once it
    // has sent nothing for `quiet`.
    const auto since = left ? left_at : last_reply;
    if (!sending && Clock::now() - since >= quiet) {
      if (!left) return records;
      return Failure{"the service did not close the connection within " +
                     std::to_string(quiet.count()) + " ms"};
    }
    pollfd ready{fd, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
    if (::poll(&ready, 1, 100) == -1 && errno != EINTR)
      return Failure{systemError("poll")};
    if ((ready.revents & POLLOUT) &&
        send(fd, requests.data(), requests.size(), MSG_NOSIGNAL) == -1 &&
        errno != EAGAIN && errno != EINTR)
      return Failure{systemError("cannot send requests")};
    if (!(ready.revents & (POLLIN | POLLHUP | POLLERR))) continue;
    const ssize_t n = recv(fd, incoming.data(), incoming.size(), 0);
    if (n == 0 && left && partial == 0) return records;
    if (n == 0) return Failure{"the service closed the connection"};
    if (n == -1) {
      if (errno == EAGAIN || errno == EINTR) continue;
      return Failure{systemError("cannot receive")};
    }
    last_reply = Clock::now();
    for (std::size_t at = 0; at < static_cast<std::size_t>(n);) {
      const std::size_t take =
          std::min(record.size() - partial, static_cast<std::size_t>(n) - at);
      std::memcpy(record.data() + partial, incoming.data() + at, take);
      partial += take;
      at += take;
      if (partial < record.size()) break;
      onRecord(record);
      ++records;
      partial = 0;
    }
  }
}

}  // namespace qevclient
