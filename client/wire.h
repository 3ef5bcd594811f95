// The client's side of the qev protocol: connecting, polling, and checking
// each reply record to the letter.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <variant>

#include "protocol.h"

namespace qevclient {

using qev::Record;

// What went wrong, in words fit for an operator.
struct Failure {
  std::string message;
  bool lookup = false;  // the host's name could not be looked up
};

// The value in a whole record, or what is wrong with it (qev::checkRecord).
std::variant<std::int32_t, Failure> checkRecord(const Record& record);

// Connects to `host` (an IPv4 or IPv6 address, or a host name, whose
// addresses are tried in turn) on `port`, giving up after `timeout` in all.
// Returns the connected descriptor, non-blocking, or what went wrong.
std::variant<int, Failure> connectTo(const std::string& host,
                                     std::uint16_t port,
                                     std::chrono::milliseconds timeout);

// Sends `size` bytes whole, waiting at most `timeout` for room. Returns an
// empty message on success.
std::string sendAll(int fd, const char* data, std::size_t size,
                    std::chrono::milliseconds timeout);

// Reads exactly one record, however the service's writes split it, waiting
// at most `timeout` for it. Returns an empty message on success.
std::string readRecord(int fd, Record& record,
                       std::chrono::milliseconds timeout);

// One poll: sends a byte, reads the record and checks it.
std::variant<std::int32_t, Failure> pollOnce(int fd,
                                             std::chrono::milliseconds timeout);

// Streams requests without waiting for replies while `keepSending` holds
// (it is given the records received so far). Then, when `leave` is set, it
// closes its sending side, so that the service answers what it was sent and
// ends, and reads until the service has closed the connection: nothing is
// left unread, which would reset the connection. Otherwise it reads until
// no record has come for `quiet`. Each whole record goes to `onRecord`, in
// order. Returns the records received, or what went wrong (a service that
// sends nothing for `quiet` before it has closed, when leaving). `fd` must
// be non-blocking, as connectTo leaves it.
std::variant<long, Failure> streamRequests(
    int fd, const std::function<bool(long)>& keepSending,
    const std::function<void(const Record&)>& onRecord,
    std::chrono::milliseconds quiet, bool leave = false);

}  // namespace qevclient
