// qev: publishes the integer in the file "current" to one TCP client.
// Every poll from the client is answered with a fixed-size record holding
// the value's decimal text.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "constants.h"
#include "log.h"
#include "serve.h"

namespace {

int s = -1;   // the listening socket; open for the life of the process
int s2 = -1;  // the one client's connection

// A service that cannot set itself up says which step failed and why, and
// stops, rather than claim to wait on a port it does not hold.
[[noreturn]] void failSetup(const char* step) {
  (void)fprintf(stderr, "QEV: cannot listen on port %u: %s: %s\n",
                unsigned{qev::kPort}, step, std::strerror(errno));
  std::exit(qev::kExitFailed);
}

// Started with standard output (or input, or error) closed, the service
// would be given that descriptor for a socket, and its log lines would go to
// the client inside the records. /dev/null takes any such place first.
void keepStandardStreamsOpen() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    if (open("/dev/null", O_RDWR) != fd) {
      (void)fprintf(stderr, "QEV: cannot open /dev/null: %s\n",
                    std::strerror(errno));
      std::exit(qev::kExitFailed);
    }
  }
}

// What standard input holds, which decides how the service starts.
enum class Given {
  nothing,     // not a socket: the service opens port 8792 itself
  listener,    // a listening TCP socket (inetd "wait", Accept=no)
  connection,  // a client's TCP connection (inetd "nowait", Accept=yes)
};

// Tells what standard input holds. Any socket but a listening or connected
// TCP one, IPv4 or IPv6, is a misconfigured supervisor: it is named, and
// the service exits with status 1 so that it shows as a failure; after a
// pause, since a supervisor that passes the same socket again at once (a
// socket unit with a client waiting on it) would otherwise restart it in a
// tight loop that floods the log.
Given inheritedSocket() {
  struct stat st {};
  if (fstat(0, &st) == -1 || !S_ISSOCK(st.st_mode)) return Given::nothing;
  int domain = 0;
  int type = 0;
  int protocol = 0;
  int listening = 0;
  const auto option = [](int name, int& value) {
    socklen_t length = sizeof value;
    return getsockopt(0, SOL_SOCKET, name, &value, &length) == 0;
  };
  const bool tcp = option(SO_DOMAIN, domain) && option(SO_TYPE, type) &&
                   option(SO_PROTOCOL, protocol) &&
                   option(SO_ACCEPTCONN, listening) &&
                   (domain == AF_INET || domain == AF_INET6) &&
                   type == SOCK_STREAM && protocol == IPPROTO_TCP;
  sockaddr_storage peer{};
  socklen_t peer_length = sizeof peer;
  if (tcp && listening != 0) return Given::listener;
  if (tcp &&
      getpeername(0, reinterpret_cast<sockaddr*>(&peer), &peer_length) == 0)
    return Given::connection;
  (void)fprintf(stderr,
                "QEV: standard input is a socket but not a listening or "
                "connected TCP socket\n");
  timespec pause{qev::kMisconfiguredPauseSeconds, 0};
  while (nanosleep(&pause, &pause) == -1 && errno == EINTR) {
  }
  std::exit(qev::kExitFailed);
}

// Creates the listening socket on every IPv4 interface and leaves it in `s`.
// Exits with status 1 and a message on standard error when any step fails.
void openListener() {
  s = socket(AF_INET, SOCK_STREAM, 0);
  if (s == -1) failSetup("socket");

  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(qev::kPort);

  // Lets a restarted service bind while its previous connection lingers in
  // TIME_WAIT.
  const int on = 1;
  if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == -1)
    failSetup("setsockopt SO_REUSEADDR");
  if (bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) == -1)
    failSetup("bind");
  if (listen(s, qev::kBacklog) == -1) failSetup("listen");
}

// Turns on the probes that find a peer which vanished without a word (see
// the constants). Exits with status 1 and a message when one cannot be set.
void watchForDeadPeer(int connection) {
  const auto set = [connection](int level, int name, int value,
                                const char* what) {
    if (setsockopt(connection, level, name, &value, sizeof value) == 0) return;
    (void)fprintf(stderr, "QEV: cannot watch the connection: %s: %s\n", what,
                  std::strerror(errno));
    std::exit(qev::kExitFailed);
  };
  set(SOL_SOCKET, SO_KEEPALIVE, 1, "setsockopt SO_KEEPALIVE");
  set(IPPROTO_TCP, TCP_KEEPIDLE, qev::kKeepAliveIdleSeconds,
      "setsockopt TCP_KEEPIDLE");
  set(IPPROTO_TCP, TCP_KEEPINTVL, qev::kKeepAliveIntervalSeconds,
      "setsockopt TCP_KEEPINTVL");
  set(IPPROTO_TCP, TCP_KEEPCNT, qev::kKeepAliveProbes,
      "setsockopt TCP_KEEPCNT");
  set(IPPROTO_TCP, TCP_USER_TIMEOUT, static_cast<int>(qev::kUserTimeoutMs),
      "setsockopt TCP_USER_TIMEOUT");
}

// Accepts the one client into `s2` and logs it. A failure that may pass
// (out of descriptors or memory, a connection aborted before it was taken)
// is reported and tried again after a pause; a listener that cannot accept
// any more ends the service with status 1. Returns only with a connection.
void acceptClient() {
  for (;;) {
    sockaddr_storage peer{};
    socklen_t peer_length = sizeof peer;
    s2 = accept(s, reinterpret_cast<sockaddr*>(&peer), &peer_length);
    if (s2 != -1) break;
    if (errno == EINTR) continue;
    if (errno == EINVAL || errno == EBADF || errno == ENOTSOCK ||
        errno == EOPNOTSUPP) {
      // The listener was shut down or closed by whoever holds it, or was
      // never one: no later accept can succeed.
      (void)fprintf(stderr, "QEV: cannot accept on :%d: %s\n", s,
                    std::strerror(errno));
      std::exit(qev::kExitFailed);
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // An inherited listener may be non-blocking (a supervisor's often
      // is): wait until a client is there, as a blocking accept would.
      pollfd ready{s, POLLIN, 0};
      (void)poll(&ready, 1, -1);
      continue;
    }
    perror("Error");
    timespec pause{0, qev::kAcceptRetryPauseNs};
    (void)nanosleep(&pause, nullptr);
  }
  (void)printf("QEV: %d\n", s);
  (void)printf("QEV: Accepting socket :%d\n", s2);
  (void)fflush(stdout);
  watchForDeadPeer(s2);
}

}  // namespace

int main() {
  // Signals blocked by whoever started the service would keep a stop from
  // stopping it, or its grace from running out: nothing here wants any
  // blocked. Those it inherited as ignored stay ignored.
  sigset_t none;
  (void)sigemptyset(&none);
  (void)sigprocmask(SIG_SETMASK, &none, nullptr);
  keepStandardStreamsOpen();
  qev::keepLogOutOfServedSocket();
  const Given given = inheritedSocket();
  if (given == Given::connection) {
    // The supervisor accepted the client: there is no listener here.
    s2 = 0;
    (void)printf("QEV: Serving connection :%d\n", s2);
    (void)fflush(stdout);
    watchForDeadPeer(s2);
    qev::serveClient(s2);
  }
  if (given == Given::listener)
    s = 0;
  else
    openListener();
  // Each start-up line is flushed at once so that a log redirected to a file
  // shows where the service stands even before its first client.
  (void)printf("QEV: Waiting for connection ...:%d\n", s);
  (void)fflush(stdout);
  acceptClient();
  qev::serveClient(s2);
}
