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
  // Where qev's log goes: syslog when the socket is its standard output and
  // error (the inetd family), else standard error, the supervisor's own.
  bool syslog = true;

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

  const auto logged = [&](const char* priority, const std::string& text) {
    return row.syslog ? syslog->lines(priority, text)
                      : countOf(supervisor.err(), text);
  };
  // Each qev logs its end once its client has left; one ended by a signal
  // would not.
  EXPECT_TRUE(eventually(
      [&] { return logged("<30>", "QEV: Connection closed") == clients; }));
  const int started =
      logged("<30>", row.wait ? "QEV: Waiting for connection ...:0"
                              : "QEV: Serving connection :0");
  const int replies = logged("<30>", "Current: 42:1024:");
  std::sort(handovers.begin(), handovers.end());
  std::printf(
      "%s: served=%d/%d refused=%d started=%d current_lines=%d"
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
  EXPECT_EQ(logged("<27>", row.syslog ? "" : "Error"), 0)
      << "qev reported a failure";
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
            {"-q", "0", "8792", "/usr/bin/env", "--chdir=%w", "%q"},
            false}),
    [](const auto& info) { return info.param.name; });

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
