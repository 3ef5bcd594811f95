#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifndef QEV_BINARY
#error "QEV_BINARY must name the qev executable under test"
#endif

namespace qevtest {

namespace {

void writeProc(const char* file, const std::string& text) {
  std::ofstream out(file);
  out << text;
}

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

std::string program(const char* path) {
  const char* other = std::getenv("QEV_UNDER_TEST");
  if (other == nullptr || *other == '\0') return path;
  return other + std::string(path).substr(std::strlen(QEV_BUILD_DIR));
}

void enterUserNamespace() {
  const uid_t uid = getuid();
  const gid_t gid = getgid();
  if (unshare(CLONE_NEWUSER) == -1) {
    // Some sandboxes forbid user namespaces; root can do without one.
    if (uid == 0) return;
    fail(
        "a user namespace, which tests that start qev need when not run "
        "as root (none can be made inside a chroot)");
  }
  writeProc("/proc/self/setgroups", "deny");
  writeProc("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
  writeProc("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
}

bool mustRun() {
  const char* required = std::getenv("QEV_LIVE_REQUIRED");
  return required != nullptr && std::string(required) == "1";
}

std::string enterFreshNetwork() {
  if (unshare(CLONE_NEWNET) == -1)
    return std::string(
               "no network namespace can be made here (it needs root "
               "or a user namespace, and no chroot): ") +
           std::strerror(errno);
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd == -1) fail("socket");
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  if (ioctl(fd, SIOCGIFFLAGS, &request) == -1) fail("SIOCGIFFLAGS lo");
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
  if (ioctl(fd, SIOCSIFFLAGS, &request) == -1) fail("SIOCSIFFLAGS lo");
  close(fd);
  return "";
}

std::string enterPrivateMounts() {
  static const std::string why = []() -> std::string {
    if (unshare(CLONE_NEWNS) == -1 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1)
      return std::string(
                 "no mount namespace of our own can be made here (it "
                 "needs root or a user namespace, and no chroot): ") +
             std::strerror(errno);
    return "";
  }();
  return why;
}

TempDir::TempDir() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "qev-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) fail("mkdtemp");
  path = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

Socket::~Socket() {
  if (fd != -1) close(fd);
}

void writeValue(const std::filesystem::path& dir, const std::string& text) {
  const auto temporary = dir / ".current.tmp";
  {
    std::ofstream out(temporary, std::ios::binary);
    out << text;
  }
  std::filesystem::rename(temporary, dir / "current");
}

std::string readFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

namespace {

// Starts `argv` in `work` with standard input from /dev/null and output and
// error sent to `logs`/stdout and `logs`/stderr. Everything the child needs
// is made before the fork: the test may have threads running.
pid_t spawn(const std::vector<std::string>& argv,
            const std::filesystem::path& work,
            const std::filesystem::path& logs, const Options& options) {
  const std::string out_path = (logs / "stdout").string();
  const std::string err_path = (logs / "stderr").string();
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> environment;
  std::string asan_options = "ASAN_OPTIONS=";
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "ASAN_OPTIONS=", 13) == 0)
      asan_options = std::string(*entry) + ":";
    else
      environment.emplace_back(*entry);
  }
  if (options.faults != nullptr) {
    environment.push_back("LD_PRELOAD=" + program(QEV_FAULT_INJECTION));
    environment.push_back(std::string("QEV_FAULTS=") + options.faults);
    // A sanitized qev wants its runtime first; the preloaded library is
    // plain and interposes only write and recv.
    asan_options += "verify_asan_link_order=0";
  }
  environment.push_back(asan_options);
  std::vector<char*> env;
  env.reserve(environment.size() + 1);
  for (auto& entry : environment) env.push_back(entry.data());
  env.push_back(nullptr);
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  // Only the soft limit, so that a test may raise it again later.
  if (options.fd_limit > 0)
    limit.rlim_cur = static_cast<rlim_t>(options.fd_limit);

  const pid_t pid = fork();
  if (pid == -1) fail("fork");
  if (pid != 0) return pid;
  // The child: only async-signal-safe calls from here to exec.
  const int in = open("/dev/null", O_RDONLY);
  const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in == -1 || out == -1 || err == -1 || chdir(work.c_str()) == -1)
    _exit(126);
  dup2(options.stdin_fd != -1 ? options.stdin_fd : in, 0);
  dup2(options.stdout_fd != -1 ? options.stdout_fd : out, 1);
  dup2(options.merged            ? 1
       : options.stderr_fd != -1 ? options.stderr_fd
                                 : err,
       2);
  if (options.netns_fd != -1 && setns(options.netns_fd, CLONE_NEWNET) == -1)
    _exit(125);
  for (int signal = 1; signal < 64; ++signal)
    if ((options.ignored & signalBit(signal)) != 0)
      (void)::signal(signal, SIG_IGN);
  sigset_t blocked;
  sigemptyset(&blocked);
  for (int signal = 1; signal < 64; ++signal)
    if ((options.blocked & signalBit(signal)) != 0) sigaddset(&blocked, signal);
  sigprocmask(SIG_SETMASK, &blocked, nullptr);
  // Root in the test's user namespace would read any file; with an empty
  // bounding set the exec leaves it no capabilities at all.
  if (options.unprivileged)
    for (int cap = 0; cap <= 63; ++cap) prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
  // Exactly descriptors 0, 1 and 2, as when started from a shell.
  syscall(SYS_close_range, 3U, ~0U, 0U);
  if (options.stdout_closed) close(1);
  setrlimit(RLIMIT_NOFILE, &limit);
  if (options.file_size_limit > 0) {
    const rlimit size{static_cast<rlim_t>(options.file_size_limit),
                      RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &size);
  }
  execve(args[0], args.data(), env.data());
  _exit(127);
}

}  // namespace

Server& NetworkTest::startServing(const std::string& value,
                                  const Options& options) {
  writeValue(work.path, value);
  server.emplace(work.path, options);
  client.fd = connectToService();
  if (client.fd == -1) throw std::runtime_error("cannot connect to qev");
  return *server;
}

Server::Server(const std::filesystem::path& work, const Options& options)
    : logs(log_dir.path) {
  // The shipped qev is static: a preloaded library reaches only this one.
  const std::string binary =
      program(options.faults != nullptr ? QEV_DYNAMIC_BINARY : QEV_BINARY);
  pid = spawn(options.command.empty() ? std::vector<std::string>{binary}
                                      : options.command,
              work, logs, options);
}

Server::~Server() {
  if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

std::string Server::out() const { return readFile(logs / "stdout"); }
std::string Server::err() const { return readFile(logs / "stderr"); }

int Server::waitExit(Clock::duration limit) {
  int status = -1;
  const bool ended = eventually(
      [&] {
        const pid_t got = waitpid(pid, &status, WNOHANG);
        return got == pid;
      },
      limit);
  if (!ended) return -1;
  pid = -1;
  return status;
}

// True once /proc/PID/syscall starts with one of `prefixes` while the
// process sleeps. The file reads "running" while it is on a CPU; otherwise
// the number of the system call it sleeps in, then its arguments in hex.
bool Server::waitSyscall(const std::vector<std::string>& prefixes,
                         Clock::duration limit) const {
  const std::string file = "/proc/" + std::to_string(pid) + "/syscall";
  return eventually(
      [&] {
        const std::string now = readFile(file);
        return std::any_of(prefixes.begin(), prefixes.end(),
                           [&](const auto& p) { return now.starts_with(p); }) &&
               waitState('S', 0s);
      },
      limit);
}

bool Server::waitBlockedIn(std::initializer_list<long> calls,
                           Clock::duration limit) const {
  std::vector<std::string> prefixes;
  for (const long nr : calls) prefixes.push_back(std::to_string(nr) + " ");
  return waitSyscall(prefixes, limit);
}

bool Server::waitBlockedWriting(int fd, Clock::duration limit) const {
  std::ostringstream prefix;
  prefix << SYS_write << " 0x" << std::hex << fd << " ";
  return waitSyscall({prefix.str()}, limit);
}

bool Server::waitState(char state, Clock::duration limit) const {
  const std::string file = "/proc/" + std::to_string(pid) + "/stat";
  return eventually(
      [&] {
        const std::string stat = readFile(file);
        const auto close_paren = stat.rfind(')');
        return close_paren != std::string::npos &&
               close_paren + 2 < stat.size() && stat[close_paren + 2] == state;
      },
      limit);
}

long Server::cpuTicks() const {
  const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long utime = 0;
  long stime = 0;
  // Fields 3 to 13 come before utime (14) and stime (15).
  for (int i = 3; i <= 13; ++i) fields >> field;
  fields >> utime >> stime;
  return utime + stime;
}

Outcome runProgram(const std::vector<std::string>& argv,
                   Clock::duration limit) {
  TempDir logs;
  const pid_t pid = spawn(argv, logs.path, logs.path, {});
  Outcome run;
  if (!eventually([&] { return waitpid(pid, &run.status, WNOHANG) == pid; },
                  limit)) {
    kill(pid, SIGKILL);
    waitpid(pid, &run.status, 0);
  }
  run.out = readFile(logs.path / "stdout");
  run.err = readFile(logs.path / "stderr");
  return run;
}

int exitCode(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int listenOnServicePort(int family, int protocol) {
  // Non-blocking, as a supervisor such as systemd makes it.
  const bool ipv6 = family == AF_INET6;
  const int fd =
      socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK, protocol);
  if (fd == -1) fail("socket");
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in6 in6{};
  in6.sin6_family = AF_INET6;
  in6.sin6_port = htons(kPort);
  sockaddr_in in{};
  in.sin_family = AF_INET;
  in.sin_port = htons(kPort);
  const bool bound =
      ipv6 ? bind(fd, reinterpret_cast<sockaddr*>(&in6), sizeof in6) == 0
           : bind(fd, reinterpret_cast<sockaddr*>(&in), sizeof in) == 0;
  if (!bound) fail("bind");
  if (listen(fd, SOMAXCONN) == -1) fail("listen");
  return fd;
}

int kept(std::vector<int>& keep, int fd) {
  keep.push_back(fd);
  return fd;
}

int accepted(std::vector<int>& keep, int& client, int protocol, int flags) {
  const int listener = kept(keep, listenOnServicePort(AF_INET, protocol));
  client = connectToService(5s, false, protocol);
  return kept(keep, accept4(listener, nullptr, nullptr, flags));
}

int connectToService(Clock::duration limit, bool ipv6, int protocol) {
  sockaddr_storage address{};
  socklen_t length = 0;
  if (ipv6) {
    auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(kPort);
    in6.sin6_addr = in6addr_loopback;
    length = sizeof in6;
  } else {
    auto& in = reinterpret_cast<sockaddr_in&>(address);
    in.sin_family = AF_INET;
    in.sin_port = htons(kPort);
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    length = sizeof in;
  }
  const auto deadline = Clock::now() + limit;
  do {
    const int fd =
        socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, protocol);
    if (fd == -1) fail("socket");
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0)
      return fd;
    close(fd);
    std::this_thread::sleep_for(10ms);
  } while (Clock::now() < deadline);
  return -1;
}

std::string readBytes(int fd, std::size_t n, Clock::duration limit) {
  std::string data;
  const auto deadline = Clock::now() + limit;
  while (data.size() < n) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - Clock::now());
    if (left.count() <= 0) break;
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
    char chunk[65536];
    const ssize_t got =
        recv(fd, chunk, std::min(sizeof chunk, n - data.size()), 0);
    if (got <= 0) break;
    data.append(chunk, static_cast<std::size_t>(got));
  }
  return data;
}

std::size_t fillUntilBlockedWriting(const Server& server, int client) {
  const std::string requests(1 << 16, 'r');
  std::size_t sent = 0;
  for (int i = 0; i < 500 && !server.waitBlockedWriting(4, 20ms); ++i) {
    const ssize_t n = send(client, requests.data(), requests.size(),
                           MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) sent += static_cast<std::size_t>(n);
  }
  return server.waitBlockedWriting(4) ? sent : 0;
}

void resetAndClose(int fd) {
  const linger abort_on_close{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
  close(fd);
}

std::string poll(int fd) {
  if (send(fd, "x", 1, MSG_NOSIGNAL) != 1) return {};
  std::string record = readBytes(fd, kRecordSize);
  return record.size() == kRecordSize ? record : std::string{};
}

std::string onePoll() {
  const Socket client{connectToService()};
  return client.fd == -1 ? "" : poll(client.fd);
}

std::size_t pendingAfter(int fd, Clock::duration limit) {
  return readBytes(fd, 1 << 20, limit).size();
}

std::string recordOf(const std::string& text) {
  std::string record = text;
  record.resize(kRecordSize, '\0');
  return record;
}

void privateFile(const char* file, const std::string& text) {
  if (!enterPrivateMounts().empty())
    throw std::runtime_error(enterPrivateMounts());
  std::string copy =
      (std::filesystem::temp_directory_path() / "qev-etc-XXXXXX").string();
  const int fd = mkstemp(copy.data());
  if (fd == -1) fail("mkstemp");
  close(fd);
  std::ofstream(copy) << text;
  if (mount(copy.c_str(), file, nullptr, MS_BIND, nullptr) == -1)
    fail(std::string("bind over ") + file);
}

int privateSyslog() {
  const auto check = [](int result, const char* what) {
    if (result == -1)
      throw std::runtime_error(std::string(what) +
                               ": a private /dev/log needs a mount namespace "
                               "(root or a user namespace)");
  };
  if (!enterPrivateMounts().empty())
    throw std::runtime_error(enterPrivateMounts());
  check(mount("tmpfs", "/run", "tmpfs", 0, "mode=755"), "mount /run");
  // The real devices stay reachable under /run, which nothing removes.
  check(mkdir("/run/dev", 0755), "mkdir /run/dev");
  check(mount("/dev", "/run/dev", nullptr, MS_BIND | MS_REC, nullptr),
        "bind /dev");
  check(mount("tmpfs", "/dev", "tmpfs", 0, "mode=755"), "mount /dev");
  for (const std::string name : {"null", "zero", "random", "urandom"}) {
    const std::ofstream mount_point("/dev/" + name);
    check(mount(("/run/dev/" + name).c_str(), ("/dev/" + name).c_str(), nullptr,
                MS_BIND, nullptr),
          "bind a device");
  }
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, "/dev/log");
  check(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address),
        "bind /dev/log");
  return fd;
}

Syslog::Syslog(int fd)
    : socket_(fd), reader_([this](const std::stop_token& stop) {
        while (!stop.stop_requested()) {
          pollfd ready{socket_.fd, POLLIN, 0};
          char message[2048];
          if (::poll(&ready, 1, 50) != 1) continue;
          const ssize_t got = recv(socket_.fd, message, sizeof message, 0);
          const std::lock_guard<std::mutex> hold(lock_);
          if (got > 0)
            text_.append(message, static_cast<std::size_t>(got)) += '\n';
        }
      }) {}

int Syslog::lines(const char* priority, const std::string& text) const {
  const std::lock_guard<std::mutex> hold(lock_);
  std::istringstream all(text_);
  int count = 0;
  for (std::string line; std::getline(all, line);)
    count += line.starts_with(priority) &&
             line.find(" qev[") != std::string::npos &&
             line.find("]: " + text) != std::string::npos;
  return count;
}

bool eventually(const std::function<bool()>& condition, Clock::duration limit) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    if (condition()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
}

bool portInState(const char* state) {
  std::array<char, 8> port{};  // as the table shows it: ":2258"
  (void)std::snprintf(port.data(), port.size(), ":%04X", unsigned{kPort});
  for (const char* file : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream table(file);
    std::string line;
    std::getline(table, line);  // the header
    while (std::getline(table, line)) {
      std::istringstream fields(line);
      std::string slot;
      std::string local;
      std::string remote;
      std::string current;
      fields >> slot >> local >> remote >> current;
      if (local.ends_with(port.data()) && current == state) return true;
    }
  }
  return false;
}

int countOf(const std::string& haystack, const std::string& needle) {
  int count = 0;
  for (auto at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + needle.size()))
    ++count;
  return count;
}

}  // namespace qevtest
