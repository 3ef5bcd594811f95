// The request and reply cycle on the one client connection.
#pragma once

namespace qev {

// Serves the client on `connection` until it is done. Each cycle reads the
// value file first, then waits for the client's next bytes (any bytes are a
// poll), then writes one whole reply record: the value as "%d" text followed
// by zero bytes, kRecordSize bytes in all, and logs
// "Current: <text>:<bytes written>:<connection>".
// Exits with kExitClientClosed when the client closes its side, with
// kExitClientLost when the connection is reset or found dead (in a receive,
// or in a write once SIGPIPE, which otherwise ends the process, is
// ignored), and with kExitFailed on any other failed receive. SIGTERM and
// SIGINT end it as by default, unless they were ignored at start, except
// that one arriving between a reply's write and its log line takes effect
// once the line is flushed, or after kStopGraceSeconds if the log is stuck.
// Never returns.
[[noreturn]] void serveClient(int connection);

}  // namespace qev
