// The real qev under the supervisors that hand it its socket, as Debian
// packages them (unpacked, never installed or started as services): in wait
// mode one client after another, in nowait mode many at once. Each runs in
// network, mount and PID namespaces of its own, with a /dev/log that the
// test reads; its end ends every qev it started.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
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
#include <tuple>
#include <vector>

#include "harness.h"

namespace {

using namespace qevtest;

struct Row {
  const char* name;
  bool wait;  // wait mode: one client after another
  bool ipv6;
  // Its recipe, a file in dist/recipes, with `edit` made in it (the manual
  // names the change, as tcp6 for tcp).
  const char* recipe;
  std::pair<const char*, const char*> edit;
  // How the test starts it, in the foreground: "%s" stands for the
  // directory of the unpacked supervisors, "%c" for the recipe as a
  // configuration file, "%r" for the recipe itself.
  std::vector<std::string> command;
  // Where qev's log goes: syslog when the socket is its standard output and
  // error (the inetd family), else standard error, the supervisor's own.
  bool syslog = true;
  // Asked with SIGWINCH, as the package's upgrade asks, to end once idle.
  bool idle_end = false;

  friend void PrintTo(const Row& r, std::ostream* os) { *os << r.name; }
};

// The first child of process `pid`, or 0.
pid_t childOf(pid_t pid) {
  const std::string id = std::to_string(pid);
  std::istringstream children(
      readFile("/proc/" + id + "/task/" + id + "/children"));
  pid_t child = 0;
  return children >> child ? child : 0;
}

void replaceAll(std::string& text, const std::string& from,
                const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

// The recipe as an operator would copy it, with only what this test must
// change: its working directory, its qev, and the user (the namespaces have
// root only).
std::string recipe(const Row& row, const std::string& work) {
  std::string block =
      readFile(std::string(QEV_SOURCE_DIR) + "/dist/recipes/" + row.recipe);
  if (block.empty())
    throw std::runtime_error(std::string("no recipe ") + row.recipe);
  if (row.edit.first != nullptr)
    replaceAll(block, row.edit.first, row.edit.second);
  replaceAll(block, "/var/lib/qev", work);
  replaceAll(block, "/usr/bin/qev", work + "/bin/qev");
  replaceAll(block, " qev /usr/bin/env", " root /usr/bin/env");
  replaceAll(block, "= qev\n", "= root\n");
  replaceAll(block, "id -u qev", "id -u");
  replaceAll(block, "id -g qev", "id -g");
  replaceAll(block, "tcpserver -u",
             std::string(QEV_SUPERVISORS) + "/ucspi-tcp/usr/bin/tcpserver -u");
  return block;
}

class Supervised : public NetworkTest,
                   public ::testing::WithParamInterface<Row> {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "the supervisors run as root";
    NetworkTest::SetUp();
    if (IsSkipped()) return;
    QEV_NEEDS(enterPrivateMounts());
    syslog.emplace(privateSyslog());
  }
  std::optional<Syslog> syslog;
};

constexpr int kPolls = 3;  // by each client

TEST_P(Supervised, ServesEveryClientExactlyAndLogsEveryReplyToSyslog) {
  const Row& row = GetParam();
  writeValue(work.path, "42\n");
  // A copy of qev, which the test removes as the package's removal would.
  const auto qev = work.path / "bin/qev";
  std::filesystem::create_directory(work.path / "bin");
  std::filesystem::copy_file(program(QEV_BINARY), qev);
  const auto config = (work.path / "supervisor.conf").string();
  const std::string text = recipe(row, work.path.string());
  std::ofstream(config) << text;
  // It is the first process of a PID namespace, killed with the test's
  // child, and all it started with it.
  std::vector<std::string> command{"/usr/bin/unshare", "--pid", "--fork",
                                   "--kill-child"};
  for (std::string part : row.command) {
    replaceAll(part, "%s", QEV_SUPERVISORS);
    replaceAll(part, "%c", config);
    replaceAll(part, "%r", text);
    command.push_back(part);
  }
  Server supervisor(work.path, {.command = command});
  ASSERT_TRUE(eventually([] { return portInState(kListening); }))
      << supervisor.err();
  // The clients' ident port drops what comes to it, as a firewall would: a
  // listener whose one-place queue is full drops every SYN.
  Socket ident{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  sockaddr_in port113{};
  port113.sin_family = AF_INET;
  port113.sin_port = htons(113);
  port113.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(
      bind(ident.fd, reinterpret_cast<sockaddr*>(&port113), sizeof port113), 0);
  ASSERT_EQ(listen(ident.fd, 0), 0);
  Socket filler{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  ASSERT_EQ(
      connect(filler.fd, reinterpret_cast<sockaddr*>(&port113), sizeof port113),
      0);

  // Under wait, more clients in a row than a default start limit allows.
  const int clients = row.wait ? 300 : 20;
  double worst = 0;  // the longest a poll waited for its record
  int refused = 0;
  int served = 0;
  std::vector<double> handovers;  // from one's leaving to the next's record
  std::vector<int> fds;
  std::optional<Clock::time_point> left;
  const auto answered = [&](int fd, int polls) {
    bool all = true;
    for (int i = 0; i < polls; ++i) {
      const auto sent = Clock::now();
      all = all && poll(fd) == recordOf("42");
      worst = std::max(
          worst, std::chrono::duration<double, std::milli>(Clock::now() - sent)
                     .count());
    }
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
  std::printf(" worst_poll_ms=%.1f\n", worst);
  // What this tells apart: a client held up by a supervisor's look-ups or
  // start limits, for 26 s or more; five times the margin over the ordinary
  // tens of milliseconds.
  EXPECT_LT(worst, 5000) << "a client waited for its record";
  EXPECT_EQ(served, clients);
  EXPECT_EQ(refused, 0);
  // Under wait one qev takes the whole run; under nowait one each.
  EXPECT_EQ(started, row.wait ? 1 : clients);
  EXPECT_EQ(replies, clients * kPolls);
  EXPECT_EQ(logged("<27>", row.syslog ? "" : "Error"), 0)
      << "qev reported a failure";
  EXPECT_EQ(supervisor.out().find("QEV"), std::string::npos);

  if (row.idle_end) {
    // The qev serving a client is asked to end: that client is served on,
    // and once it leaves the qev ends at once; the next gets a new one.
    Socket client{connectToService(0s)};
    ASSERT_EQ(poll(client.fd), recordOf("42"));
    const pid_t qev = childOf(childOf(supervisor.pid));
    ASSERT_NE(qev, 0);
    ASSERT_EQ(kill(qev, SIGWINCH), 0);
    EXPECT_EQ(poll(client.fd), recordOf("42")) << "the client was cut";
    close(client.fd);
    client.fd = -1;
    EXPECT_TRUE(eventually(
        [&] { return logged("<30>", "QEV: asked to end once idle; ending"); },
        2s));
    Socket next{connectToService(0s)};
    EXPECT_EQ(poll(next.fd), recordOf("42"));
    // Read by syslog's reader as it comes: waited for, as above.
    EXPECT_TRUE(eventually([&] {
      return logged("<30>", "QEV: Waiting for connection ...:0") == 2;
    }));
  }

  // Removed: qev gone and, under inetd, its lines disabled as the package's
  // removal disables them (update-inetd). No client then gets text, once
  // a qev that holds the listener has ended, idle.
  EXPECT_TRUE(eventually(
      [&] { return !row.wait || logged("<30>", "QEV: no client for") == 1; },
      15s));
  std::filesystem::remove(qev);
  if (std::string(row.recipe).starts_with("inetd")) {
    const Outcome disabled =
        runProgram({"/usr/sbin/update-inetd", "--file", config, "--multi",
                    "--pattern", qev.string(), "--disable", "8792"});
    ASSERT_EQ(exitCode(disabled.status), 0) << disabled.err;
    ASSERT_TRUE(readFile(config).starts_with("#<off># 8792"))
        << readFile(config);
    // The supervisor, under unshare, rereads its configuration.
    const pid_t inetd = childOf(supervisor.pid);
    ASSERT_NE(inetd, 0);
    kill(inetd, SIGHUP);
    EXPECT_TRUE(eventually([] { return !portInState(kListening); }, 2s));
  }
  Socket after{connectToService(0s, row.ipv6)};
  if (after.fd != -1) {
    (void)send(after.fd, "x", 1, MSG_NOSIGNAL);
    EXPECT_EQ(readBytes(after.fd, 1, 1s), "") << "text from a removed qev";
  }
  std::printf("%s, removed: %s\n", row.name,
              after.fd == -1 ? "refused" : "connected, no text");
}

const char* const kInetdWait = "inetd-wait.conf";
const std::vector<std::string> kOpenbsdInetd{"%s/openbsd-inetd/usr/sbin/inetd",
                                             "-i", "%c"};  // in the foreground

INSTANTIATE_TEST_SUITE_P(
    Supervisors, Supervised,
    ::testing::Values(
        Row{"OpenbsdInetdWaitTcp", true, false, kInetdWait, {}, kOpenbsdInetd},
        Row{"OpenbsdInetdWaitTcp6",
            true,
            true,
            kInetdWait,
            {" tcp ", " tcp6 "},
            kOpenbsdInetd},
        Row{"OpenbsdInetdWaitEndedWhenIdle",
            true,
            false,
            kInetdWait,
            {},
            kOpenbsdInetd,
            true,
            true},
        Row{"OpenbsdInetdNowait",
            false,
            false,
            "inetd-nowait.conf",
            {},
            kOpenbsdInetd},
        Row{"XinetdWait",
            true,
            false,
            "xinetd.conf",
            {},
            {"%s/xinetd/usr/sbin/xinetd", "-dontfork", "-pidfile",
             "/run/xinetd.pid", "-f", "%c"}},
        Row{"InetutilsInetdWait",
            true,
            false,
            kInetdWait,
            {},
            {"%s/inetutils-inetd/usr/sbin/inetutils-inetd", "--debug", "%c"}},
        Row{"TcpserverNowait",
            false,
            false,
            "tcpserver.sh",
            {},
            {"/bin/sh", "-c", "exec %r"},
            false}),
    [](const auto& info) { return info.param.name; });

// The monitoring recipe, Debian's check_tcp as an operator runs it against
// a qev: OK for the value it expects, a warning for another.
TEST(Monitoring, CheckTcpRecipeTellsTheValueServed) {
  if (geteuid() != 0) GTEST_SKIP() << "network namespaces want root here";
  QEV_NEEDS(enterFreshNetwork());
  TempDir work;
  writeValue(work.path, "42\n");
  std::string recipe =
      readFile(std::string(QEV_SOURCE_DIR) + "/dist/recipes/check-tcp.sh");
  replaceAll(recipe, "/usr/lib/nagios/plugins",
             std::string(QEV_SUPERVISORS) +
                 "/monitoring-plugins-basic/usr/lib/nagios/plugins");
  // Here qev listens itself, on 8792, not behind the check socket.
  replaceAll(recipe, "-p 8793", "-p 8792");
  for (const auto& [expected, status, says] :
       {std::tuple{"42", 0, "TCP OK"}, std::tuple{"43", 1, "TCP WARNING"}}) {
    // qev serves one client: one for each check.
    Server server(work.path);
    ASSERT_TRUE(eventually([] { return portInState(kListening); }));
    std::string check = recipe;
    replaceAll(check, "-e 42", std::string("-e ") + expected);
    const Outcome run = runProgram({"/bin/sh", "-c", check});
    EXPECT_EQ(exitCode(run.status), status) << run.out << run.err;
    EXPECT_TRUE(run.out.starts_with(says)) << run.out;
  }
}

// The recipe that catches a writer that stopped or broke: Debian's
// check_file_age on the value file, OK while it is fresh and whole.
TEST(Monitoring, CheckFileAgeRecipeTellsAFreshFileFromAStaleOne) {
  TempDir work;
  const std::string plugins = std::string(QEV_SUPERVISORS) +
                              "/monitoring-plugins-%s/usr/lib/nagios/plugins";
  std::string recipe =
      readFile(std::string(QEV_SOURCE_DIR) + "/dist/recipes/check-file-age.sh");
  replaceAll(recipe, "/var/lib/qev", work.path.string());
  std::string basic = plugins;
  std::string common = plugins;
  replaceAll(basic, "%s", "basic");
  replaceAll(common, "%s", "common");
  replaceAll(recipe, "/usr/lib/nagios/plugins", basic);
  const auto file = work.path / "current";
  for (const auto& [text, age, status, says] :
       {std::tuple{"42\n", 0min, 0, "FILE_AGE OK"},
        std::tuple{"42\n", 20min, 2, "FILE_AGE CRITICAL"},
        std::tuple{"", 0min, 2, "FILE_AGE CRITICAL"}}) {
    writeValue(work.path, text);
    std::filesystem::last_write_time(
        file, std::filesystem::file_time_type::clock::now() - age);
    std::string command = "PERL5LIB=";
    command += common;
    command += ' ';
    command += recipe;
    const Outcome run = runProgram({"/bin/sh", "-c", command});
    EXPECT_EQ(exitCode(run.status), status) << run.out << run.err;
    EXPECT_TRUE(run.out.starts_with(says)) << run.out;
  }
}

}  // namespace
