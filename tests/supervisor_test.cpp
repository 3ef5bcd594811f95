// The real qev under the supervisors that hand it its socket, as Debian
// packages them (unpacked, never installed or started as services): inetd
// and xinetd in wait mode, one client after another; inetd and tcpserver
// in nowait mode, many clients at once. Each runs in network, mount and PID
// namespaces of its own, with a /dev/log that the test reads; its end ends
// every qev it started.

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
#include <set>
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
namespace fs = std::filesystem;

struct Row {
  const char* name;
  const char* package;  // unpacked in QEV_SUPERVISORS/<package>
  const char* program;  // its path inside the package
  bool wait;            // wait mode: one client after another
  bool ipv6;
  // The configuration file for qev in `work`, when the supervisor has one,
  // and the supervisor's arguments, given the file's path.
  std::string (*config)(const fs::path& work);
  std::vector<std::string> (*arguments)(const fs::path& config,
                                        const fs::path& work);

  friend void PrintTo(const Row& r, std::ostream* os) { *os << r.name; }
};

// An /etc/inetd.conf line, as the README gives it (the user aside: the
// test's namespaces have root only).
std::string inetdLine(const char* protocol, const char* mode,
                      const fs::path& work) {
  return std::string("8792 stream ") + protocol + " " + mode +
         " root /usr/bin/env env --chdir=" + work.string() + " " + QEV_BINARY +
         "\n";
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
            if (::poll(&ready, 1, 50) != 1) continue;
            char message[2048];
            const ssize_t got = recv(socket_.fd, message, sizeof message, 0);
            if (got <= 0) continue;
            const std::lock_guard<std::mutex> hold(lock_);
            text_.append(message, static_cast<std::size_t>(got)) += '\n';
          }
        }) {}
  std::string text() const {
    const std::lock_guard<std::mutex> hold(lock_);
    return text_;
  }

 private:
  Socket socket_;
  mutable std::mutex lock_;
  std::string text_;
  std::jthread reader_;
};

// The lines qev sent at `priority` ("<30>": daemon, info) that hold `text`.
int qevLines(const std::string& log, const char* priority,
             const std::string& text) {
  std::istringstream lines(log);
  int count = 0;
  for (std::string line; std::getline(lines, line);)
    if (line.starts_with(priority) && line.find(" qev[") != std::string::npos &&
        line.find("]: " + text) != std::string::npos)
      ++count;
  return count;
}

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
  const fs::path config = work.path / "supervisor.conf";
  std::ofstream(config) << row.config(work.path);
  // Everything the supervisor starts ends with it: it is the first process
  // of a PID namespace, and is killed when the test's child is.
  std::vector<std::string> command{
      "/usr/bin/unshare", "--pid", "--fork", "--kill-child",
      std::string(QEV_SUPERVISORS) + "/" + row.package + row.program};
  for (auto& argument : row.arguments(config, work.path))
    command.push_back(argument);
  Server supervisor(work.path, {.command = command});
  ASSERT_TRUE(eventually([] { return portInState(kListening); }))
      << supervisor.err();

  const int clients = row.wait ? 10 : 20;
  int refused = 0;
  int served = 0;
  std::vector<double> handovers;
  const auto answered = [](int fd, int polls) {
    bool all = true;
    for (int i = 0; i < polls; ++i) all = all && poll(fd) == recordOf("42");
    return all;
  };
  if (row.wait) {
    // One after another: each connects once its predecessor has left.
    std::optional<Clock::time_point> left;
    for (int i = 0; i < clients; ++i) {
      Socket client{connectToService(0s, row.ipv6)};
      if (client.fd == -1) {
        ++refused;
        continue;
      }
      const bool first = answered(client.fd, 1);
      if (left)
        handovers.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - *left)
                .count());
      if (first && answered(client.fd, kPolls - 1)) ++served;
      close(client.fd);
      client.fd = -1;
      left = Clock::now();
    }
  } else {
    // All connected at once, each served by a qev of its own.
    std::vector<int> fds;
    for (int i = 0; i < clients; ++i) {
      const int fd = connectToService(0s, row.ipv6);
      if (fd == -1)
        ++refused;
      else
        fds.push_back(fd);
    }
    const auto started = Clock::now();
    for (const int fd : fds) served += answered(fd, kPolls) ? 1 : 0;
    std::printf(
        "%d clients at once served in %.1f ms\n", clients,
        std::chrono::duration<double, std::milli>(Clock::now() - started)
            .count());
    for (const int fd : fds) close(fd);
  }

  // Each qev logs its end once its client has left; one ended by a signal
  // would not.
  const char* start = row.wait ? "QEV: Waiting for connection ...:0"
                               : "QEV: Serving connection :0";
  EXPECT_TRUE(eventually([&] {
    return qevLines(syslog->text(), "<30>", "QEV: Connection closed") ==
           clients;
  })) << syslog->text();
  const std::string log = syslog->text();
  const int replies = qevLines(log, "<30>", "Current: 42:1024:");
  std::sort(handovers.begin(), handovers.end());
  std::printf(
      "%s: clients=%d served=%d refused=%d polls=%d syslog_current_lines=%d "
      "started=%d ended=%d",
      row.name, clients, served, refused, clients * kPolls, replies,
      qevLines(log, "<30>", start),
      qevLines(log, "<30>", "QEV: Connection closed"));
  if (!handovers.empty())
    std::printf(" handover_median_ms=%.1f worst_ms=%.1f",
                handovers[handovers.size() / 2], handovers.back());
  std::printf("\n");
  EXPECT_EQ(served, clients);
  EXPECT_EQ(refused, 0);
  EXPECT_EQ(replies, clients * kPolls) << log;
  EXPECT_EQ(qevLines(log, "<30>", start), clients) << log;
  EXPECT_EQ(qevLines(log, "<27>", ""), 0) << "qev reported a failure: " << log;
  if (!row.wait) {
    // At once: a process of its own for each.
    std::set<std::string> pids;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
      if (line.find("]: QEV: Serving connection") != std::string::npos)
        pids.insert(line.substr(line.find(" qev[")));
    EXPECT_EQ(pids.size(), static_cast<std::size_t>(clients));
  }
  // No log byte ever reached a client, nor the supervisor's own output.
  EXPECT_EQ(supervisor.out().find("QEV"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Supervisors, Supervised,
    ::testing::Values(
        Row{"OpenbsdInetdWaitTcp", "openbsd-inetd", "/usr/sbin/inetd", true,
            false,
            [](const fs::path& w) { return inetdLine("tcp", "wait", w); },
            [](const fs::path& c, const fs::path&) {
              return std::vector<std::string>{"-i", c.string()};
            }},
        Row{"OpenbsdInetdWaitTcp6", "openbsd-inetd", "/usr/sbin/inetd", true,
            true,
            [](const fs::path& w) { return inetdLine("tcp6", "wait", w); },
            [](const fs::path& c, const fs::path&) {
              return std::vector<std::string>{"-i", c.string()};
            }},
        Row{"OpenbsdInetdNowait", "openbsd-inetd", "/usr/sbin/inetd", false,
            false,
            [](const fs::path& w) { return inetdLine("tcp", "nowait", w); },
            [](const fs::path& c, const fs::path&) {
              return std::vector<std::string>{"-i", c.string()};
            }},
        Row{"XinetdWait", "xinetd", "/usr/sbin/xinetd", true, false,
            [](const fs::path& w) {
              return "service qev\n{\n  type = UNLISTED\n  port = 8792\n"
                     "  socket_type = stream\n  protocol = tcp\n"
                     "  wait = yes\n  user = root\n"
                     "  server = /usr/bin/env\n  server_args = --chdir=" +
                     w.string() + " " + QEV_BINARY + "\n}\n";
            },
            [](const fs::path& c, const fs::path&) {
              return std::vector<std::string>{
                  "-dontfork", "-pidfile", "/run/xinetd.pid", "-f", c.string()};
            }},
        Row{"InetutilsInetdWait", "inetutils-inetd",
            "/usr/sbin/inetutils-inetd", true, false,
            [](const fs::path& w) { return inetdLine("tcp", "wait", w); },
            [](const fs::path& c, const fs::path&) {
              // Its --debug keeps it in the foreground.
              return std::vector<std::string>{"-d", c.string()};
            }},
        Row{"TcpserverNowait", "ucspi-tcp", "/usr/bin/tcpserver", false, false,
            [](const fs::path&) { return std::string(); },
            [](const fs::path&, const fs::path& w) {
              return std::vector<std::string>{"-q",
                                              "0",
                                              "8792",
                                              "/usr/bin/env",
                                              "--chdir=" + w.string(),
                                              QEV_BINARY};
            }}),
    [](const auto& info) { return info.param.name; });

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
