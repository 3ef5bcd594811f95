// The request and reply cycle on the one client connection.
#pragma once

namespace qev {

// Serves the client on `connection`: each cycle reads the value file, waits
// for the client's next bytes (any bytes are a poll) and writes one whole
// reply record. Ends the process when the client leaves or its connection
// fails, and when a record cannot be completed; except that, when
// `listening`, a connection that ends before its first request is logged
// and returned from, for the caller to accept the next.
void serveClient(int connection, bool listening);

// Makes SIGTERM, SIGINT and SIGHUP end the service, unless they were ignored
// at start, and even as PID 1; one arriving between a reply's write and its
// log line takes effect once the line is out. Called once, at start-up.
void handleStops();

}  // namespace qev
