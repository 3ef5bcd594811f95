// A client whose host vanishes without a word: the service, in one network
// namespace, and its client, in another, are joined by a veth pair made here
// with private addresses on the pair only. Cutting the client's end of the
// link is a pulled cable: no FIN, no RST, nothing. These tests wait for the
// keepalive and user timeouts, a minute or more each, and run in parallel.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include "harness.h"

namespace {

using namespace qevtest;

constexpr const char* kServerAddress = "10.87.92.2";

class DeadPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    // The test itself is the client, in a namespace of its own; the server
    // gets a second one, and the pair joins them.
    QEV_NEEDS(enterFreshNetwork());
    client_ns.fd = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(unshare(CLONE_NEWNET), 0);
    server_ns.fd = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(setns(client_ns.fd, CLONE_NEWNET), 0);
    const std::string self = "/proc/" + std::to_string(getpid()) + "/fd/";
    const std::string in_server =
        "nsenter --net=" + self + std::to_string(server_ns.fd) + " ";
    ip("ip link add qevc type veth peer name qevs netns " + self +
       std::to_string(server_ns.fd));
    ip("ip addr add 10.87.92.1/30 dev qevc && ip link set qevc up");
    ip(in_server + "ip addr add " + kServerAddress + "/30 dev qevs && " +
       in_server + "ip link set qevs up");
  }

  static void ip(const std::string& command) {
    const Outcome run = runProgram({"/bin/sh", "-c", command});
    ASSERT_EQ(run.status, 0) << command << ": " << run.err;
  }

  // The cable is pulled on the client's side.
  static void cut() { ip("ip link set qevc down"); }

  // Connects across the pair, retrying while the server starts.
  static int connectAcross() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kPort);
    inet_pton(AF_INET, kServerAddress, &address.sin_addr);
    for (int attempt = 0; attempt < 500; ++attempt) {
      const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) ==
          0)
        return fd;
      close(fd);
      usleep(10'000);
    }
    return -1;
  }

  // Waits for the server to end after the link was cut at `since`; checks
  // that it named the timeout and ended as for a client that is gone.
  static void expectEndsByTimeout(Server& server, Clock::time_point since,
                                  const char* what) {
    const int status = server.waitExit(100s);
    const auto took =
        std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - since);
    std::printf("%s: the service ended %lld s after the last exchange\n", what,
                static_cast<long long>(took.count()));
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_LE(took, 80s);
    EXPECT_NE(server.err().find("Error: Connection timed out\n"),
              std::string::npos)
        << server.err();
  }

  TempDir work;
  Socket client_ns{-1};
  Socket server_ns{-1};
};

TEST_F(DeadPeer, VanishedClientIsFoundWhileTheServiceWaitsForAPoll) {
  writeValue(work.path, "21\n");
  Server server(work.path, {.netns_fd = server_ns.fd});
  Socket client{connectAcross()};
  ASSERT_NE(client.fd, -1);
  ASSERT_EQ(poll(client.fd), recordOf("21"));
  const auto last_exchange = Clock::now();
  ASSERT_TRUE(server.waitBlockedIn({SYS_recvfrom}));
  cut();
  expectEndsByTimeout(server, last_exchange, "waiting for a poll");
}

TEST_F(DeadPeer, VanishedClientIsFoundWhileTheServiceIsBlockedWriting) {
  writeValue(work.path, "22\n");
  Server server(work.path, {.netns_fd = server_ns.fd});
  Socket client{connectAcross()};
  ASSERT_NE(client.fd, -1);
  const int small = 16384;
  setsockopt(client.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  ASSERT_EQ(poll(client.fd), recordOf("22"));
  // The client polls on and stops reading, until the service blocks in a
  // write that the client's full window cannot take.
  ASSERT_TRUE(fillUntilBlockedWriting(server, client.fd));
  const auto last_exchange = Clock::now();
  cut();
  expectEndsByTimeout(server, last_exchange, "blocked writing");
}

TEST_F(DeadPeer, QuietClientIsKeptHoweverLongItWaitsBetweenPolls) {
  writeValue(work.path, "23\n");
  Server server(work.path, {.netns_fd = server_ns.fd});
  Socket client{connectAcross()};
  ASSERT_NE(client.fd, -1);
  ASSERT_EQ(poll(client.fd), recordOf("23"));
  // Longer than the probes take to give up on a dead peer: this one's
  // system answers them.
  std::this_thread::sleep_for(75s);
  EXPECT_EQ(poll(client.fd), recordOf("23"));
  EXPECT_EQ(server.err(), "");
}

}  // namespace
