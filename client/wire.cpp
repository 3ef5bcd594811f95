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
                      Clock::time_point deadline,
                      std::chrono::milliseconds timeout) {
  if (connect(fd, address.ai_addr, address.ai_addrlen) == 0) return {};
  if (errno != EINPROGRESS) return std::strerror(errno);
  if (!waitFor(fd, POLLOUT, deadline))
    return "no answer within " + std::to_string(timeout.count()) + " ms";
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == -1)
    return std::strerror(errno);
  return error == 0 ? std::string{} : std::strerror(error);
}

}  // namespace

std::variant<int, Failure> connectTo(const std::string& host,
                                     std::uint16_t port,
                                     std::chrono::milliseconds timeout) {
  const bool ipv6 = host.find(':') != std::string::npos;
  const std::string where =
      (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int looked_up =
      getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (looked_up != 0)
    return Failure{"cannot find '" + host + "': " + gai_strerror(looked_up)};
  const auto deadline = Clock::now() + timeout;
  std::string why;
  int fd = -1;
  for (const addrinfo* address = found; address != nullptr && fd == -1;
       address = address->ai_next) {
    fd = socket(address->ai_family,
                address->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd == -1) {
      why = std::strerror(errno);
      continue;
    }
    why = connectBy(fd, *address, deadline, timeout);
    if (why.empty()) break;
    (void)close(fd);
    fd = -1;
  }
  freeaddrinfo(found);
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
  bool left = false;
  for (;;) {
    const bool sending = !left && keepSending(records);
    if (!sending && leave && !left) {
      if (shutdown(fd, SHUT_WR) == -1)
        return Failure{systemError("cannot close the sending side")};
      left = true;
      last_reply = Clock::now();
    }
    if (!sending && Clock::now() - last_reply >= quiet) {
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
