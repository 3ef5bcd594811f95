// The request and reply cycle on the one client connection.
#pragma once

namespace qev {

// Serves the client on `connection` until it is done. Each cycle reads the
// value file first, then waits for the client's next bytes (any bytes are a
// poll), then writes one whole reply record: the value as "%d" text followed
// by zero bytes, kRecordSize bytes in all, and logs
// "Current: <text>:<bytes written>:<connection>".
// Exits with status 0 when the client closes its side and with status 1
// when the receive fails; a write to a connection the client has abandoned
// ends the process through SIGPIPE. SIGTERM and SIGINT end it as by default,
// except that one arriving between a reply's write and its log line takes
// effect once the line is flushed. Never returns.
[[noreturn]] void serveClient(int connection);

}  // namespace qev
