// The real qev under the supervisors that hand it its socket, as Debian
// packages them (unpacked, never installed or started as services): in wait
// mode one client after another, in nowait mode many at once. Each runs in
// network, mount and PID namespaces of its own, with a /dev/log that the
// test reads; its end ends every qev it started.

#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

#ifndef QEV_SUPERVISORS
#error "QEV_SUPERVISORS must name the directory the supervisors are unpacked in"
#endif

namespace {

using namespace qevtest;

struct Row {
  const char* name;
  const char* program;  // its path under QEV_SUPERVISORS
  bool wait;            // wait mode: one client after another
  bool ipv6;
  // Its configuration file, as the README gives it but for the user (the
  // namespaces have root only), and its arguments. "%w" stands for the
  // working directory, "%q" for qev, "%c" for the configuration file.
  const char* config;
  std::vector<std::string> arguments;

  friend void PrintTo(const Row& r, std::ostream* os) { *os << r.name; }
};

std::string filledIn(std::string text, const std::string& work,
                     const std::string& config) {
  for (const auto& [mark, value] :
       {std::pair<std::string, std::string>{"%w", work},
        {"%q", QEV_BINARY},
        {"%c", config}})
    for (auto at = text.find(mark); at != std::string::npos;
         at = text.find(mark))
      text.replace(at, mark.size(), value);
  return text;
}

// A private mount namespace whose /dev holds only the few devices a program
// needs and /dev/log, bound to the returned datagram socket; and whose /run
// is empty, for the supervisors' pid files.
int privateSyslog() {
  const auto check = [](int result, const char* what) {
    if (result == -1) throw std::runtime_error(what);
  };
  check(unshare(CLONE_NEWNS), "unshare(CLONE_NEWNS)");
  check(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr),
        "mount --make-rprivate /");
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

// Every message sent to /dev/log, one a line, read as it comes: senders
// block once a few are queued.
class Syslog {
 public:
  explicit Syslog(int fd)
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
  // The lines qev sent at `priority` ("<30>": daemon, info) holding `text`.
  int lines(const char* priority, const std::string& text) const {
    const std::lock_guard<std::mutex> hold(lock_);
    std::istringstream all(text_);
    int count = 0;
    for (std::string line; std::getline(all, line);)
      count += line.starts_with(priority) &&
               line.find(" qev[") != std::string::npos &&
               line.find("]: " + text) != std::string::npos;
    return count;
  }

 private:
  Socket socket_;
  mutable std::mutex lock_;
  std::string text_;
  std::jthread reader_;
};

class Supervised : public NetworkTest,
                   public ::testing::WithParamInterface<Row> {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "the supervisors run as root";
    NetworkTest::SetUp();
    syslog.emplace(privateSyslog());
  }
  std::optional<Syslog> syslog;
};

constexpr int kPolls = 3;  // by each client

TEST_P(Supervised, ServesEveryClientExactlyAndLogsEveryReplyToSyslog) {
  const Row& row = GetParam();
  writeValue(work.path, "42\n");
  const auto config = (work.path / "supervisor.conf").string();
  std::ofstream(config) << filledIn(row.config, work.path, config);
  // It is the first process of a PID namespace, killed with the test's
  // child, and all it started with it.
  std::vector<std::string> command{"/usr/bin/unshare", "--pid", "--fork",
                                   "--kill-child",
                                   std::string(QEV_SUPERVISORS) + row.program};
  for (const auto& argument : row.arguments)
    command.push_back(filledIn(argument, work.path, config));
  Server supervisor(work.path, {.command = command});
  ASSERT_TRUE(eventually([] { return portInState(kListening); }))
      << supervisor.err();

  const int clients = row.wait ? 10 : 20;
  int refused = 0;
  int served = 0;
  std::vector<double> handovers;  // from one's leaving to the next's record
  std::vector<int> fds;
  std::optional<Clock::time_point> left;
  const auto answered = [](int fd, int polls) {
    bool all = true;
    for (int i = 0; i < polls; ++i) all = all && poll(fd) == recordOf("42");
    return all;
  };
  // In wait mode each connects once its predecessor has left; in nowait
  // mode all are connected first, and each is served by a qev of its own.
  for (int i = 0; i < clients; ++i) {
    const int fd = connectToService(0s, row.ipv6);
    if (fd == -1) {
      ++refused;
    } else if (row.wait) {
      const bool first = answered(fd, 1);
      if (left)
        handovers.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - *left)
                .count());
      served += first && answered(fd, kPolls - 1);
      close(fd);
      left = Clock::now();
    } else {
      fds.push_back(fd);
    }
  }
  for (const int fd : fds) served += answered(fd, kPolls);
  for (const int fd : fds) close(fd);

  // Each qev logs its end once its client has left; one ended by a signal
  // would not.
  EXPECT_TRUE(eventually([&] {
    return syslog->lines("<30>", "QEV: Connection closed") == clients;
  }));
  const int started =
      syslog->lines("<30>", row.wait ? "QEV: Waiting for connection ...:0"
                                     : "QEV: Serving connection :0");
  const int replies = syslog->lines("<30>", "Current: 42:1024:");
  std::sort(handovers.begin(), handovers.end());
  std::printf(
      "%s: served=%d/%d refused=%d started=%d syslog_current_lines=%d"
      "/%d",
      row.name, served, clients, refused, started, replies, clients * kPolls);
  if (!handovers.empty())
    std::printf(" handover_median_ms=%.1f worst_ms=%.1f",
                handovers[handovers.size() / 2], handovers.back());
  std::printf("\n");
  EXPECT_EQ(served, clients);
  EXPECT_EQ(refused, 0);
  EXPECT_EQ(started, clients);
  EXPECT_EQ(replies, clients * kPolls);
  EXPECT_EQ(syslog->lines("<27>", ""), 0) << "qev reported a failure";
  EXPECT_EQ(supervisor.out().find("QEV"), std::string::npos);
}

const std::vector<std::string> kInetd{"-i", "%c"};  // in the foreground
const char* const kInetdWait =
    "8792 stream tcp wait root /usr/bin/env env --chdir=%w %q\n";

INSTANTIATE_TEST_SUITE_P(
    Supervisors, Supervised,
    ::testing::Values(
        Row{"OpenbsdInetdWaitTcp", "/openbsd-inetd/usr/sbin/inetd", true, false,
            kInetdWait, kInetd},
        Row{"OpenbsdInetdWaitTcp6", "/openbsd-inetd/usr/sbin/inetd", true, true,
            "8792 stream tcp6 wait root /usr/bin/env env --chdir=%w %q\n",
            kInetd},
        Row{"OpenbsdInetdNowait", "/openbsd-inetd/usr/sbin/inetd", false, false,
            "8792 stream tcp nowait root /usr/bin/env env --chdir=%w %q\n",
            kInetd},
        Row{"XinetdWait",
            "/xinetd/usr/sbin/xinetd",
            true,
            false,
            "service qev\n{\n  type = UNLISTED\n  port = 8792\n"
            "  socket_type = stream\n  protocol = tcp\n  wait = yes\n"
            "  user = root\n  server = /usr/bin/env\n"
            "  server_args = --chdir=%w %q\n}\n",
            {"-dontfork", "-pidfile", "/run/xinetd.pid", "-f", "%c"}},
        Row{"InetutilsInetdWait",
            "/inetutils-inetd/usr/sbin/inetutils-inetd",
            true,
            false,
            kInetdWait,
            {"--debug", "%c"}},  // in the foreground
        Row{"TcpserverNowait",
            "/ucspi-tcp/usr/bin/tcpserver",
            false,
            false,
            "",
            {"-q", "0", "8792", "/usr/bin/env", "--chdir=%w", "%q"}}),
    [](const auto& info) { return info.param.name; });

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
