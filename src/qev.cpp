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
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

#include "end.h"
#include "log.h"
#include "pace.h"
#include "pause.h"
#include "protocol.h"
#include "serve.h"
#include "stop.h"

namespace {

using namespace std::chrono_literals;
using qev::endWith;
using qev::kExitFailed;

// Backlog asked of listen(); the kernel may lower it to its own maximum.
constexpr int kBacklog = 4096;

// A socket of the wrong kind on standard input is named and ends the
// service after this pause: a supervisor that keeps passing it then starts
// the service about once a second, not in a tight loop.
constexpr auto kMisconfiguredPause = 1s;

// Said as the service ends between two clients, as SIGWINCH asked (see
// endWhenIdle): after an upgrade, the supervisor's next qev is the new one.
constexpr const char* kAskedToEnd = "QEV: asked to end once idle; ending";

// Pause before accepting again after a failed accept, so that a lasting
// failure (out of descriptors) does not spin.
constexpr auto kAcceptRetryPause = 200ms;

// A qev on a supervisor's listener serves every client that queues there,
// one after another, and ends (status 0) once none has come for this long:
// the supervisor holds the port meanwhile and starts a new qev for the next
// one. So a run of clients (a poller that reconnects, checks back to back)
// costs one start, not one each, while an upgraded binary or a changed
// unit takes effect a few seconds after the last client.
constexpr auto kIdleEnd = 5s;

// A client whose host vanished (power lost, cable pulled, state forgotten by
// a firewall) sends neither FIN nor RST, and the one connection the service
// lives for would wait for ever. Keepalive probes after this much silence,
// this far apart and this many times find such a peer within about a
// minute; a live peer's system answers them, so a quiet client is never
// dropped, however long it waits between polls.
constexpr auto kKeepAliveIdle = 30s;
constexpr auto kKeepAliveInterval = 10s;
constexpr int kKeepAliveProbes = 3;
// Data that the peer never acknowledges (a reply written into a dead
// connection) is given up after as long as the probes take.
constexpr auto kUserTimeout =
    kKeepAliveIdle + kKeepAliveInterval * kKeepAliveProbes;

int s = -1;   // the listening socket; open for the life of the process
int s2 = -1;  // the one client's connection

// A service that cannot set itself up says which step failed and why, and
// stops, rather than claim to wait on a port it does not hold.
[[noreturn]] void failSetup(const char* step) {
  endWith(kExitFailed, "QEV: cannot listen on port %u: %s: %s",
          unsigned{qev::kPort}, step, std::strerror(errno));
}

// Started with standard output (or input, or error) closed, the service
// would be given that descriptor for a socket, and its log lines would go to
// the client inside the records. /dev/null takes any such place first.
void keepStandardStreamsOpen() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    if (open("/dev/null", O_RDWR) != fd)
      endWith(kExitFailed, "QEV: cannot open /dev/null: %s",
              std::strerror(errno));
  }
}

// What standard input holds, which decides how the service starts.
enum class Given {
  nothing,     // not a socket: the service opens port 8792 itself
  listener,    // a listening TCP socket (inetd "wait", Accept=no)
  connection,  // a client's TCP connection (inetd "nowait", Accept=yes)
};

// Tells what the socket on standard input is. Any socket but a listening or
// connected TCP one, IPv4 or IPv6 (MPTCP is TCP to the service), is a
// misconfigured supervisor, and ends the service as a failure
// (kMisconfiguredPause). A connection that the client reset before the service
// started is the client's doing, not a misconfiguration: it ends the service at
// once with kExitClientLost.
Given inheritedSocket() {
  int domain = 0;
  int type = 0;
  int protocol = 0;
  int listening = 0;
  const auto option = [](int name, int& value) {
    socklen_t length = sizeof value;
    return getsockopt(0, SOL_SOCKET, name, &value, &length) == 0;
  };
  const bool tcp =
      option(SO_DOMAIN, domain) && option(SO_TYPE, type) &&
      option(SO_PROTOCOL, protocol) && option(SO_ACCEPTCONN, listening) &&
      (domain == AF_INET || domain == AF_INET6) && type == SOCK_STREAM &&
      (protocol == IPPROTO_TCP || protocol == IPPROTO_MPTCP);
  sockaddr_storage peer{};
  socklen_t peer_length = sizeof peer;
  if (tcp && listening != 0) return Given::listener;
  if (tcp &&
      getpeername(0, reinterpret_cast<sockaddr*>(&peer), &peer_length) == 0)
    return Given::connection;
  // A connection that failed has no peer any more, but keeps the error that
  // ended it; a socket that never was connected has none.
  int error = 0;
  if (tcp && option(SO_ERROR, error) && error != 0)
    endWith(qev::kExitClientLost, "Error: %s", std::strerror(error));
  qev::sleepFor(kMisconfiguredPause);
  endWith(kExitFailed,
          "QEV: standard input is a socket but not a listening or connected "
          "TCP socket");
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
  if (listen(s, kBacklog) == -1) failSetup("listen");
}

[[noreturn]] void failConnection(const char* step) {
  endWith(kExitFailed, "QEV: cannot set up the connection: %s: %s", step,
          std::strerror(errno));
}

// Makes the connection what the serving loop needs, whatever state a
// supervisor passed it in: blocking, with no receive timeout (a quiet client
// is never dropped; the loop sets its own send timeout), and with the probes
// that find a peer which vanished without a word (see the constants). Exits
// with status 1 and a message when that cannot be done.
void prepareConnection(int connection) {
  const int flags = fcntl(connection, F_GETFL);
  if (flags == -1 || fcntl(connection, F_SETFL, flags & ~O_NONBLOCK) == -1)
    failConnection("fcntl O_NONBLOCK");
  const timeval none{0, 0};
  if (setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none) == -1)
    failConnection("setsockopt SO_RCVTIMEO");
  const auto set = [connection](int level, int name, int value,
                                const char* what) {
    if (setsockopt(connection, level, name, &value, sizeof value) == 0) return;
    // MPTCP has no user timeout; the keepalive probes still find the peer.
    if (name == TCP_USER_TIMEOUT && errno == ENOPROTOOPT) return;
    failConnection(what);
  };
  set(SOL_SOCKET, SO_KEEPALIVE, 1, "setsockopt SO_KEEPALIVE");
  const auto seconds = [](std::chrono::seconds duration) {
    return static_cast<int>(duration.count());
  };
  set(IPPROTO_TCP, TCP_KEEPIDLE, seconds(kKeepAliveIdle),
      "setsockopt TCP_KEEPIDLE");
  set(IPPROTO_TCP, TCP_KEEPINTVL, seconds(kKeepAliveInterval),
      "setsockopt TCP_KEEPINTVL");
  set(IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveProbes, "setsockopt TCP_KEEPCNT");
  set(IPPROTO_TCP, TCP_USER_TIMEOUT,
      static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(kUserTimeout)
              .count()),
      "setsockopt TCP_USER_TIMEOUT");
}

// Accepts the next client into `s2` and logs it, judging the value file
// meanwhile where a read found it wanting (see awaitInput). A failure that
// may pass (out of descriptors or memory, a connection aborted before it
// was taken) is tried again after a pause, and reported at the pace of
// reports; a listener that cannot accept any more ends the service with
// status 1. With `idle_ends`, no client for kIdleEnd ends it with status
// 0. Returns only with a connection.
void acceptClient(bool idle_ends, qev::ValueSource& source) {
  qev::ReportPace pace;
  for (;;) {
    // Waiting first also serves a listener that a supervisor made
    // non-blocking: its accept then finds a client there.
    if (!qev::awaitInput(
            s, source,
            idle_ends ? std::optional(std::chrono::milliseconds(kIdleEnd))
                      : std::nullopt)) {
      if (qev::endWhenIdle()) endWith(qev::kExitDone, kAskedToEnd);
      endWith(qev::kExitDone, "QEV: no client for %lld s; ending",
              static_cast<long long>(std::chrono::seconds(kIdleEnd).count()));
    }
    sockaddr_storage peer{};
    socklen_t peer_length = sizeof peer;
    s2 = accept(s, reinterpret_cast<sockaddr*>(&peer), &peer_length);
    if (s2 != -1) break;
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
    if (errno == EINVAL || errno == EBADF || errno == ENOTSOCK ||
        errno == EOPNOTSUPP) {
      // The listener was shut down or closed by whoever holds it, or was
      // never one: no later accept can succeed.
      endWith(kExitFailed, "QEV: cannot accept on :%d: %s", s,
              std::strerror(errno));
    }
    if (qev::reportDue(pace)) qev::reportError(errno);
    qev::sleepFor(kAcceptRetryPause);
  }
  qev::logLine("QEV: %d", s);
  qev::logLine("QEV: Accepting socket :%d", s2);
  prepareConnection(s2);
}

// It takes no arguments for its work: every supervisor starts it with none.
// Asked for help or its version, or to have another qev end when idle, it
// does that and ends, opening nothing; any other argument is named as a
// mistake, before anything is opened, since a service started by someone
// asking for help would listen as whoever asked.
void answerArguments(int argc, char** argv) {
  if (argc < 2) return;
  const std::string_view argument = argv[1];
  if (argc == 2 && argument == "--version") {
    (void)std::printf("qev %s\n", QEV_VERSION);
    std::exit(0);
  }
  if (argc == 3 && argument == "--end-when-idle") {
    // What ExecReload= runs: the units' root holds nothing but qev.
    const std::string_view text = argv[2];
    pid_t pid = 0;
    const auto [end, error] =
        std::from_chars(text.data(), text.data() + text.size(), pid);
    if (error != std::errc{} || end != text.data() + text.size() || pid < 1) {
      (void)std::fprintf(stderr,
                         "qev: --end-when-idle wants a process ID, not '%s'\n",
                         argv[2]);
      std::exit(2);
    }
    if (kill(pid, SIGWINCH) == 0) std::exit(0);
    (void)std::fprintf(stderr, "qev: cannot signal %d: %s\n",
                       static_cast<int>(pid), std::strerror(errno));
    std::exit(1);
  }
  if (argc == 2 && argument == "--help") {
    (void)std::printf(
        "Usage: qev\n"
        "Publishes the integer in the file \"current\" of the working "
        "directory\nto one TCP client on port %u: each poll is answered "
        "with a record of\n%zu bytes, the number's text followed by zero "
        "bytes. It takes no\narguments, environment or configuration file; "
        "a supervisor (systemd,\ninetd, tcpserver) may pass it a listening "
        "or connected socket on\nstandard input. See man 8 qev.\n"
        "\n"
        "  --help     show this help and exit\n"
        "  --version  show the version and exit\n"
        "  --end-when-idle PID\n"
        "             ask the qev with process ID PID to end once it has\n"
        "             no client, as SIGWINCH does (systemctl reload)\n",
        unsigned{qev::kPort}, qev::kRecordSize);
    std::exit(0);
  }
  const bool asked = argument == "--help" || argument == "--version";
  (void)std::fprintf(stderr,
                     "qev: unexpected argument '%s'; try 'qev --help'\n",
                     argv[asked ? 2 : 1]);
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  answerArguments(argc, argv);
  // Signals blocked by whoever started the service would keep a stop from
  // stopping it, or its grace from running out: nothing here wants any
  // blocked. Those it inherited as ignored stay ignored.
  sigset_t none;
  (void)sigemptyset(&none);
  (void)sigprocmask(SIG_SETMASK, &none, nullptr);
  // A log or a client that has gone, or a log file at its size limit,
  // shows as a failed write, which the service handles, rather than as a
  // signal that would end it in silence.
  (void)std::signal(SIGPIPE, SIG_IGN);
  (void)std::signal(SIGXFSZ, SIG_IGN);
  qev::handleStops();
  keepStandardStreamsOpen();
  // What standard input holds decides where the log goes and how the
  // service starts: found out once, here.
  struct stat input {};
  const bool socket_input = fstat(0, &input) == 0 && S_ISSOCK(input.st_mode);
  if (socket_input && !qev::keepLogOutOfServedSocket(input))
    endWith(kExitFailed, "QEV: cannot keep the log out of the socket: %s",
            std::strerror(errno));
  qev::boundLogWaits();
  const Given given = socket_input ? inheritedSocket() : Given::nothing;
  // Kept from one client to the next: the last value read, and the states
  // of the file being judged.
  qev::ValueSource source;
  if (given == Given::connection) {
    // The supervisor accepted the client: there is no listener here, and
    // serving it ends the service.
    s2 = 0;
    qev::logLine("QEV: Serving connection :%d", s2);
    prepareConnection(s2);
    qev::serveClient(s2, source, qev::OnLeave::end);
    return 0;  // not reached: that client's end ends the service
  }
  if (given == Given::listener)
    s = 0;
  else
    openListener();
  // Each line goes out at once, so that a log redirected to a file shows
  // where the service stands even before its first client.
  qev::logLine("QEV: Waiting for connection ...:%d", s);
  // Its own listener serves one client; a supervisor's, every client that
  // queues on it, the supervisor starting another qev once this one ends.
  // A connection that ends before its first request was never a client (a
  // port scan, a connect-only health check): the next is taken either way.
  const bool supervised = given == Given::listener;
  for (;;) {
    acceptClient(supervised, source);
    qev::serveClient(
        s2, source,
        supervised ? qev::OnLeave::next : qev::OnLeave::nextIfUnserved);
    (void)close(s2);
    // A log whose stream is gone (its journal stopped, its reader left) is
    // never read again: the supervisor's next qev gets a new one, and the
    // count of lines lost goes to syslog.
    if (supervised && qev::logGone())
      endWith(qev::kExitDone, "QEV: the log is gone; ending");
  }
}
