// Helpers for tests that run the real qev binary over real sockets. Each
// test gets a network namespace of its own, so servers in parallel tests
// never meet and none listens on a real interface.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "protocol.h"

namespace qevtest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using qev::kPort;
using qev::kRecordSize;

// The program at `path` in this build tree; or, where QEV_UNDER_TEST names
// another tree (built for another architecture, run by the emulator), the
// program at the same place in that one.
std::string program(const char* path);

// Once per process: a user namespace of our own in which we may make
// network namespaces, even when not started as root.
void enterUserNamespace();
// A fresh network namespace with only loopback, and loopback up; or, where
// none can be made, why not.
[[nodiscard]] std::string enterFreshNetwork();
// A mount namespace of this process's own, with every mount private, made
// once; or, where none can be made, why not.
[[nodiscard]] std::string enterPrivateMounts();
// True under QEV_LIVE_REQUIRED=1 (CI), where every test must run.
bool mustRun();
// Ends the test where this machine cannot make what it needs (`why`, the
// result of the call, is not empty): skipped with the reason, or failed
// where every test must run.
#define QEV_NEEDS(call)                               \
  if (const std::string why = (call); !why.empty()) { \
    if (qevtest::mustRun()) FAIL() << why;            \
    GTEST_SKIP() << why;                              \
  }

// A temporary directory, removed with everything in it at scope end.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::filesystem::path path;
};

// A descriptor closed at scope end.
struct Socket {
  explicit Socket(int descriptor) : fd(descriptor) {}
  ~Socket();
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd;
};

// Writes `text` as the value file, atomically (a temporary, then rename).
void writeValue(const std::filesystem::path& dir, const std::string& text);
std::string readFile(const std::filesystem::path& file);

inline constexpr std::uint64_t signalBit(int signal) {
  return std::uint64_t{1} << signal;
}

// How a Server is started, beyond the defaults.
struct Options {
  long fd_limit = 0;             // soft limit of open descriptors, when not 0
  const char* faults = nullptr;  // faults to inject (fault_injection.cpp)
  bool stdout_closed = false;    // start it with descriptor 1 closed
  int stdin_fd = -1;   // standard input, instead of /dev/null, when not -1
  int stdout_fd = -1;  // standard output, instead of a file, when not -1
  int stderr_fd = -1;  // standard error, instead of a file, when not -1
  long file_size_limit = 0;   // soft limit of a file's size, when not 0
  bool unprivileged = false;  // no capabilities: file permissions apply
  std::uint64_t ignored = 0;  // bit N set: it starts with signal N ignored
  std::uint64_t blocked = 0;  // bit N set: it starts with signal N blocked
  bool merged = false;  // standard error to the same file as standard output
  int netns_fd = -1;    // the network namespace it runs in, when not -1
  std::vector<std::string> command{};  // run this instead of qev, when set
};

// The real qev (or Options::command), started in `work` with standard input
// from /dev/null and standard output and error sent to files; killed at scope
// end if still running.
struct Server {
  explicit Server(const std::filesystem::path& work,
                  const Options& options = {});
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  std::string out() const;  // what it printed on standard output so far
  std::string err() const;  // and on standard error
  // Waits for the process to end; returns its wait status, or -1 when it
  // is still running after `limit`.
  int waitExit(Clock::duration limit = 5s);
  // True once the server sits blocked in one of the system calls `calls`
  // (numbers as this machine's kernel gives them, which is what an emulated
  // qev's calls become).
  bool waitBlockedIn(std::initializer_list<long> calls,
                     Clock::duration limit = 5s) const;
  // True once the server sits blocked writing to descriptor `fd`.
  bool waitBlockedWriting(int fd, Clock::duration limit = 5s) const;
  // True once the process state (as in /proc/PID/stat) is `state`.
  bool waitState(char state, Clock::duration limit = 5s) const;
  long cpuTicks() const;  // user plus system time, in clock ticks

  bool waitSyscall(const std::vector<std::string>& prefixes,
                   Clock::duration limit) const;

  TempDir log_dir;
  std::filesystem::path logs;
  pid_t pid = -1;
};

// A test with a fresh network namespace and a scratch working directory.
class NetworkTest : public ::testing::Test {
 protected:
  void SetUp() override { QEV_NEEDS(enterFreshNetwork()); }
  // Writes `value` as the value file, starts qev with `options`, and
  // connects `client` to it; throws when it cannot connect.
  Server& startServing(const std::string& value, const Options& options = {});

  TempDir work;
  std::optional<Server> server;
  Socket client{-1};
};

// A program run to its end: its wait status and what it printed.
struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};
// Runs `argv` (argv[0] a path) with standard input from /dev/null, waiting
// at most `limit` before killing it.
Outcome runProgram(const std::vector<std::string>& argv,
                   Clock::duration limit = 30s);

// The exit code in wait status `status`, or -1 when a signal ended it.
int exitCode(int status);

// A non-blocking listening socket on the service's port, as a supervisor
// that holds the port for the service makes it: TCP over IPv4 unless told
// another family (AF_INET6: dual-stack) or protocol (IPPROTO_MPTCP).
int listenOnServicePort(int family = 0, int protocol = 0);
// `fd`, kept in `keep` to be closed at the end of the test.
int kept(std::vector<int>& keep, int fd);
// A connection accepted from a listener of `protocol`, as a supervisor
// passes it, its client's end in `client`; accepted with `flags`
// (SOCK_NONBLOCK). Both ends' descriptors but the client's are in `keep`.
int accepted(std::vector<int>& keep, int& client, int protocol = 0,
             int flags = 0);
// Connects to the service on loopback (127.0.0.1, or ::1 when `ipv6`), over
// TCP unless told another protocol, retrying while it starts up. Returns
// the connected socket, or -1.
int connectToService(Clock::duration limit = 5s, bool ipv6 = false,
                     int protocol = 0);
// Sends requests on `client`, reading nothing, until `server` blocks writing
// a reply to its connection (descriptor 4). Returns the bytes sent, or 0
// when it never blocked.
std::size_t fillUntilBlockedWriting(const Server& server, int client);
// Closes `fd` with a reset (SO_LINGER of 0), as a client that aborts.
void resetAndClose(int fd);
// Sends one poll byte and reads one whole record; empty on failure.
std::string poll(int fd);
// Connects as a client of its own, polls once and leaves; empty on failure.
std::string onePoll();
// Reads exactly `n` bytes, or fewer when `limit` passes or the peer closes.
std::string readBytes(int fd, std::size_t n, Clock::duration limit = 5s);
// Bytes that arrive within `limit`, without waiting for more than that.
std::size_t pendingAfter(int fd, Clock::duration limit);
// The record a value should produce: its text, then zero bytes.
std::string recordOf(const std::string& text);

// Socket states as /proc/net/tcp shows them.
inline constexpr const char* kListening = "0A";
inline constexpr const char* kTimeWait = "06";
// True while some socket, IPv4 or IPv6, on the service's port is in `state`.
bool portInState(const char* state);

// Makes `file` (under /etc) hold `text` for this process and what it starts
// from now on, bound over it in enterPrivateMounts's namespace; throws where
// that cannot be made.
void privateFile(const char* file, const std::string& text);

// Gives the process, in enterPrivateMounts's namespace, a /dev that holds
// only the few devices a program needs and /dev/log, bound to the returned
// datagram socket; and an empty /run, for pid files. Throws where that
// namespace cannot be made.
int privateSyslog();

// Every message sent to the socket `fd` (privateSyslog's), one a line, read
// as it comes: senders block once a few are queued.
class Syslog {
 public:
  explicit Syslog(int fd);
  // The lines qev sent at `priority` ("<30>": daemon, info) holding `text`.
  int lines(const char* priority, const std::string& text) const;

 private:
  Socket socket_;
  mutable std::mutex lock_;
  std::string text_;
  std::jthread reader_;
};

// Polls `condition` until it holds or `limit` passes.
bool eventually(const std::function<bool()>& condition,
                Clock::duration limit = 5s);
int countOf(const std::string& haystack, const std::string& needle);

}  // namespace qevtest
