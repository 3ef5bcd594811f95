// The request and reply cycle on the one client connection.
#pragma once

namespace qev {

// Serves the client on `connection` until it is done. Each cycle reads the
// value file first, then waits for the client's next bytes (any bytes are a
// poll), then writes one whole reply record: the value as "%d" text followed
// by zero bytes, kRecordSize bytes in all, and logs
// "Current: <text>:<bytes written>:<connection>". A record is always
// completed before the next begins, or the connection ends.
// Exits with kExitClientClosed when the client closes its side (also while
// the value file is waited for, if no request is waiting), with
// kExitClientLost when the connection is reset or found dead (in a receive,
// a write, or while the value file is waited for), and with kExitFailed on
// any other failed receive, or a failed write that left part of a record.
// Never returns.
[[noreturn]] void serveClient(int connection);

// Makes SIGTERM, SIGINT and SIGHUP end the service as by default, unless
// they were ignored at start, and even as PID 1 (in a container), where the
// default does nothing; except that one arriving between a reply's write and
// its log line takes effect once the line is out, or after
// kStopGraceSeconds if the log is stuck. Called once, at start-up.
void handleStops();

}  // namespace qev
