// Where the service's log goes.
#pragma once

namespace qev {

// Keeps the log out of the socket on standard input. A supervisor of the
// inetd family passes the socket it serves as standard output and error
// too, where a log line would go into the client's records (or, on a
// listening socket, fail and raise SIGPIPE). Each of standard output and
// error that is that very socket is replaced by a stream that sends every
// line at once to syslog (facility daemon, ident "qev" with the process id;
// level info for standard output, err for standard error), and its
// descriptor is pointed at /dev/null. Any other standard output or error (a
// terminal, a file, a pipe, journald's stream) is left as it is. Called once,
// at start-up, before anything is printed. Exits with status 1 and a line in
// syslog if that cannot be done.
void keepLogOutOfServedSocket();

}  // namespace qev
