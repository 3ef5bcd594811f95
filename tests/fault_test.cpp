// The real qev under faults: a value file rewritten under it or replaced by
// something hostile, a client that stops reading or floods it, a service
// stopped and continued, and stop signals at any moment. Each test runs in
// a network namespace of its own and stops by itself.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "harness.h"

namespace {

using namespace qevtest;
namespace fs = std::filesystem;

class Faults : public NetworkTest {};

// The value of a record that is exactly what the service must send.
std::optional<std::int64_t> valueOf(const std::string& record) {
  const auto checked = qev::checkRecord(record);
  if (const auto* value = std::get_if<std::int32_t>(&checked)) return *value;
  return std::nullopt;
}

// Values whose every prefix is distinguishable from a value written: ten
// digits, a multiple of 7 past a billion.
std::int64_t written(long i) { return 1'000'000'000 + 7 * i; }
bool isWritten(std::int64_t v, long last) {
  return v >= written(0) && (v - written(0)) % 7 == 0 &&
         (v - written(0)) / 7 <= last;
}

// Reads records until nothing more comes for a while and `server` waits
// for a request, every one answered; returns them all.
std::string drain(const Server& server, int fd) {
  std::string all;
  for (int i = 0; i < 100; ++i) {
    std::string more = readBytes(fd, 1 << 22, 500ms);
    if (more.empty() && server.waitBlockedIn({SYS_recvfrom}, 0s)) break;
    all += more;
  }
  return all;
}

// A writer that rewrites the file in place, leaving it empty for `pause`
// each time, as a shell's "echo N > current" does. It notes the longest it
// left the file without a number: a writer descheduled for a second does
// leave a lack that the service rightly names.
struct InPlaceWriter {
  InPlaceWriter(const fs::path& dir, Clock::duration pause)
      : thread([this, dir, pause](const std::stop_token& stop) {
          for (long i = 1; !stop.stop_requested(); ++i) {
            const auto emptied = Clock::now();
            std::ofstream out(dir / "current", std::ios::trunc);
            if (pause > 0s) {
              out.flush();
              std::this_thread::sleep_for(pause);
            }
            out << written(i) << "\n";
            out.close();
            longest = std::max(longest.load(), Clock::now() - emptied);
            std::this_thread::sleep_for(pause / 2);
          }
        }) {}
  // The lines the service may say: none while no lack lasted.
  void expectNoLine(const Server& server) const {
    if (longest.load() < 500ms) {
      EXPECT_EQ(server.err(), "");
    }
  }
  std::atomic<Clock::duration> longest{};
  std::jthread thread;
};

TEST_F(Faults, InPlaceRewritesStillGiveWellFormedRecords) {
  Server& server = startServing(std::to_string(written(0)) + "\n");
  const InPlaceWriter writer(work.path, 0s);
  int torn = 0;
  int polls = 0;
  for (const auto end = Clock::now() + 3s; Clock::now() < end; ++polls) {
    const std::string record = poll(client.fd);
    const auto value = valueOf(record);
    ASSERT_TRUE(value.has_value()) << "poll " << polls;
    if (!isWritten(*value, INT32_MAX)) ++torn;
  }
  std::printf("replies with a number caught part-written: %d of %d\n", torn,
              polls);
  writer.expectNoLine(server);
}

TEST_F(Faults, PollsASecondApartAgainstAnInPlaceWriterDrawNoNoNumberLine) {
  Server& server = startServing(std::to_string(written(0)) + "\n");
  const InPlaceWriter writer(work.path, 2ms);
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(valueOf(poll(client.fd)).has_value());
    std::this_thread::sleep_for(1100ms);
  }
  writer.expectNoLine(server);
}

TEST_F(Faults, FreshServiceDescheduledWhileTheFileIsEmptyServesNoZero) {
  // Caught empty by a writer's rewrite, then stopped for over a second, as
  // a loaded machine may leave it: the reads before the gap do not count.
  writeValue(work.path, "");
  Server server(work.path);
  Socket client{connectToService()};
  ASSERT_NE(client.fd, -1);
  ASSERT_EQ(send(client.fd, "x", 1, 0), 1);
  std::this_thread::sleep_for(100ms);
  ASSERT_EQ(kill(server.pid, SIGSTOP), 0);
  std::this_thread::sleep_for(1200ms);
  ASSERT_EQ(kill(server.pid, SIGCONT), 0);
  std::this_thread::sleep_for(100ms);
  writeValue(work.path, "42\n");
  EXPECT_EQ(readBytes(client.fd, kRecordSize), recordOf("42"));
  EXPECT_EQ(server.err(), "");
}

TEST_F(Faults, RenamedRewritesGiveExactlyTheValuesWritten) {
  startServing(std::to_string(written(0)) + "\n");

  std::atomic<long> last{0};
  std::jthread writer([&](const std::stop_token& stop) {
    for (long i = 1; !stop.stop_requested(); ++i) {
      last = i;  // announced before the service can see it
      writeValue(work.path, std::to_string(written(i)) + "\n");
    }
  });
  std::int64_t previous = 0;
  for (int i = 0; i < 20000; ++i) {
    const auto value = valueOf(poll(client.fd));
    ASSERT_TRUE(value.has_value()) << "poll " << i;
    ASSERT_TRUE(isWritten(*value, last)) << *value;
    ASSERT_GE(*value, previous) << "values never go back";
    previous = *value;
  }
}

struct Hostile {
  const char* name;
  std::function<void(const fs::path&)> make;  // makes "current" in a dir
  const char* found;  // how the lasting lack of a number is named

  friend void PrintTo(const Hostile& c, std::ostream* os) { *os << c.name; }
};

void fileOf(const fs::path& file, std::size_t size, char fill,
            const std::string& tail) {
  std::ofstream out(file, std::ios::binary);
  const std::string block(1 << 20, fill);
  for (std::size_t left = size; left > 0;) {
    const std::size_t n = std::min(left, block.size());
    out.write(block.data(), static_cast<std::streamsize>(n));
    left -= n;
  }
  out << tail;
}

class HostileFile : public Faults,
                    public ::testing::WithParamInterface<Hostile> {};

TEST_P(HostileFile, KeepsServingTheLastGoodValueAndNamesALastingLack) {
  Server& server = startServing("5\n");
  EXPECT_EQ(poll(client.fd), recordOf("5"));
  ASSERT_TRUE(server.waitBlockedIn({SYS_recvfrom}));

  fs::remove(work.path / "current");
  GetParam().make(work.path);
  EXPECT_EQ(poll(client.fd), recordOf("5")) << "read before the change";
  const auto start = Clock::now();
  EXPECT_EQ(poll(client.fd), recordOf("5"));
  const auto took = Clock::now() - start;
  std::printf("cycle over the hostile file: %.3f ms\n",
              std::chrono::duration<double, std::milli>(took).count());
  EXPECT_LT(took, 2s);
  // Read on while it waits, the lack is named once, however the polls
  // come (a gap only starts its second again).
  ASSERT_TRUE(eventually([&] { return !server.err().empty(); }, 10s));
  ASSERT_EQ(poll(client.fd), recordOf("5"));
  const std::string named = std::string("QEV: no number in current: ") +
                            GetParam().found + "; still serving 5\n";
  EXPECT_EQ(server.err(), named);

  // And it goes on once the file is sound again.
  fs::remove_all(work.path / "current");
  writeValue(work.path, "6\n");
  poll(client.fd);
  EXPECT_EQ(poll(client.fd), recordOf("6"));
  EXPECT_EQ(server.err(), named + "QEV: current holds a number again: 6\n");
}

INSTANTIATE_TEST_SUITE_P(
    Contents, HostileFile,
    ::testing::Values(
        Hostile{
            "NotANumber",
            [](const fs::path& d) { fileOf(d / "current", 0, ' ', "N/A\n"); },
            "\"N/A\""},
        Hostile{"Directory",
                [](const fs::path& d) { fs::create_directory(d / "current"); },
                "cannot read it: Is a directory"},
        Hostile{"EmptyFile",
                [](const fs::path& d) { fileOf(d / "current", 0, ' ', ""); },
                "nothing to read"},
        Hostile{"HundredMegabytesOfSpacesThenANumber",
                [](const fs::path& d) {
                  fileOf(d / "current", 100 << 20, ' ', "77\n");
                },
                "\"                ...\""},
        Hostile{
            "TenMegabytesOfDigits",
            [](const fs::path& d) { fileOf(d / "current", 10 << 20, '9', ""); },
            "\"9999999999999999...\""},
        Hostile{"BinaryBytes",
                [](const fs::path& d) {
                  std::string bytes;
                  for (int i = 0; i < 4096; ++i)
                    bytes += static_cast<char>((i * 131) & 0xff);
                  std::ofstream(d / "current", std::ios::binary) << bytes;
                },
                "\"????????????$?*?...\""},
        Hostile{
            "Fifo",
            [](const fs::path& d) { mkfifo((d / "current").c_str(), 0600); },
            "nothing to read"}),
    [](const auto& info) { return info.param.name; });

// Writes `text` as a value file that its reader may not read, in one step.
void writeUnreadable(const fs::path& dir, const std::string& text) {
  const auto temporary = dir / ".unreadable.tmp";
  std::ofstream(temporary) << text;
  fs::permissions(temporary, fs::perms::none);
  fs::rename(temporary, dir / "current");
}

// A value file flipping between two states every 10 ms.
struct Flapping {
  const char* name;
  void (*one)(const fs::path& dir);
  void (*other)(const fs::path& dir);
  const char* named;     // how the state is named
  const char* returned;  // and its end

  friend void PrintTo(const Flapping& c, std::ostream* os) { *os << c.name; }
};

class FlappingFile : public Faults,
                     public ::testing::WithParamInterface<Flapping> {};

TEST_P(FlappingFile, IsNamedAtMostOnceEveryTenSecondsAndItsEndOnce) {
  Server& server = startServing("5\n", {.unprivileged = true});
  ASSERT_EQ(poll(client.fd), recordOf("5"));
  std::atomic<bool> flapping{true};
  std::jthread writer([&] {
    for (const auto end = Clock::now() + 2500ms; Clock::now() < end;) {
      GetParam().one(work.path);
      std::this_thread::sleep_for(10ms);
      GetParam().other(work.path);
      std::this_thread::sleep_for(10ms);
    }
    writeValue(work.path, "6\n");
    flapping = false;
  });
  // A missing or unreadable file holds the poll until the end.
  while (flapping) ASSERT_FALSE(poll(client.fd).empty());
  poll(client.fd);
  ASSERT_EQ(poll(client.fd), recordOf("6"));
  EXPECT_EQ(countOf(server.err(), GetParam().named), 1) << server.err();
  EXPECT_EQ(countOf(server.err(), GetParam().returned), 1) << server.err();
}

INSTANTIATE_TEST_SUITE_P(
    States, FlappingFile,
    ::testing::Values(
        Flapping{"BetweenTwoThingsThatAreNoNumber",
                 [](const fs::path& d) { writeValue(d, "N/A\n"); },
                 [](const fs::path& d) { writeValue(d, "n/a\n"); },
                 "QEV: no number in current: ",
                 "QEV: current holds a number again: 6\n"},
        Flapping{
            "BetweenMissingAndUnreadable",
            [](const fs::path& d) { fs::remove(d / "current"); },
            [](const fs::path& d) { writeUnreadable(d, "7\n"); },
            "QEV: waiting for current: ", "QEV: current can be read again\n"}),
    [](const auto& info) { return info.param.name; });

// Every byte received is whole records, one per cycle line in the log, and
// every cycle line shows a whole write.
void expectOneWholeRecordPerCycle(const std::string& received,
                                  const Server& server, const char* text) {
  const std::string out = server.out();
  const int cycles = countOf(out, "Current: ");
  EXPECT_EQ(countOf(out, std::string("Current: ") + text + ":1024:4\n"),
            cycles);
  ASSERT_EQ(received.size(), static_cast<std::size_t>(cycles) * kRecordSize);
  const std::string record = recordOf(text);
  for (std::size_t at = 0; at < received.size(); at += kRecordSize)
    ASSERT_EQ(received.compare(at, kRecordSize, record), 0) << "at byte " << at;
}

TEST_F(Faults, ClientThatStopsReadingBlocksTheServerAndLosesNothing) {
  Server& server = startServing("31\n");
  const int small = 16384;
  setsockopt(client.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  // Nobody reads: the server fills the connection and blocks in write.
  const std::size_t sent = fillUntilBlockedWriting(server, client.fd);
  ASSERT_GT(sent, 0U) << "never blocked writing";
  std::this_thread::sleep_for(200ms);
  // Still there (its write comes back every 200 ms to look for a stop).
  ASSERT_TRUE(server.waitBlockedIn({SYS_write}, 1s)) << "still blocked";
  // Reading again, with room to read quickly: a record for every receive,
  // of at most a record's bytes.
  const int large = 4 << 20;
  setsockopt(client.fd, SOL_SOCKET, SO_RCVBUF, &large, sizeof large);
  const std::string received = drain(server, client.fd);
  EXPECT_GE(received.size(), sent);
  expectOneWholeRecordPerCycle(received, server, "31");
  EXPECT_EQ(server.err(), "");
}

TEST_F(Faults, OneMebibyteRequestIsTakenInAsManyPolls) {
  Server& server = startServing("32\n");
  std::string received;
  {
    std::jthread sender([&] {
      const std::string request(1 << 20, 'r');
      (void)send(client.fd, request.data(), request.size(), MSG_NOSIGNAL);
    });
    received = drain(server, client.fd);
  }
  received += drain(server, client.fd);
  // At most 1024 bytes a receive: at least 1024 polls.
  EXPECT_GE(received.size(), 1024 * kRecordSize);
  expectOneWholeRecordPerCycle(received, server, "32");
}

TEST_F(Faults, StopAndContinueLosesAndTearsNothing) {
  Server& server = startServing("-33\n");
  std::jthread stopper([&](const std::stop_token& stop) {
    while (!stop.stop_requested()) {
      kill(server.pid, SIGSTOP);
      std::this_thread::sleep_for(1ms);
      kill(server.pid, SIGCONT);
      std::this_thread::sleep_for(1ms);
    }
  });
  int answered = 0;
  for (int i = 0; i < 2000; ++i)
    if (poll(client.fd) == recordOf("-33")) ++answered;
  stopper.request_stop();
  stopper.join();
  kill(server.pid, SIGCONT);
  EXPECT_EQ(answered, 2000);
  EXPECT_EQ(pendingAfter(client.fd, 100ms), 0U);
  EXPECT_EQ(countOf(server.out(), "Current: -33:1024:4\n"), 2000);
}

bool endedBy(int status, int signal) {
  return WIFSIGNALED(status) && WTERMSIG(status) == signal;
}

TEST_F(Faults, StopSignalRightAfterAReplyWaitsForItsLogLine) {
  writeValue(work.path, "34\n");
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    // Each log write is held up for 30 ms, so the signal lands between a
    // reply and its line.
    Server server(work.path, {.faults = "slow-log"});
    Socket client{connectToService()};
    ASSERT_NE(client.fd, -1);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(poll(client.fd), recordOf("34"));
    ASSERT_EQ(kill(server.pid, signal), 0);
    const int status = server.waitExit();
    EXPECT_TRUE(endedBy(status, signal)) << status;
    EXPECT_EQ(countOf(server.out(), "Current: 34:1024:4\n"), 3);
  }
}

TEST_F(Faults, StopSignalAtAnyMomentLeavesALineForEveryReplySent) {
  writeValue(work.path, "35\n");
  for (int round = 0; round < 20; ++round) {
    Server server(work.path);
    Socket client{connectToService()};
    ASSERT_NE(client.fd, -1);
    std::atomic<int> received{0};
    std::jthread poller([&] {
      while (poll(client.fd) == recordOf("35")) ++received;
    });
    std::this_thread::sleep_for(std::chrono::microseconds(500 * round));
    const int signal = std::array{SIGTERM, SIGINT, SIGHUP}[round % 3];
    kill(server.pid, signal);
    const int status = server.waitExit();
    poller.join();
    EXPECT_TRUE(endedBy(status, signal)) << status;
    const int lines = countOf(server.out(), "Current: 35:1024:4\n");
    EXPECT_GE(lines, received.load()) << "round " << round;
    EXPECT_LE(lines, received.load() + 1) << "round " << round;
  }
}

TEST_F(Faults, StopSignalEndsTheServiceEvenWhileItsWriteIsBlocked) {
  Server& server = startServing("37\n");
  const int small = 16384;
  setsockopt(client.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  ASSERT_TRUE(fillUntilBlockedWriting(server, client.fd));
  ASSERT_EQ(kill(server.pid, SIGTERM), 0);
  // The reply that could not go out is logged as failed, and the stop
  // follows.
  EXPECT_TRUE(endedBy(server.waitExit(2s), SIGTERM));
  EXPECT_TRUE(server.out().ends_with("Current: 37:-1:4\n")) << server.out();
}

TEST_F(Faults, StopSignalWhileWaitingEndsTheServiceAtOnce) {
  Server& server = startServing("36\n");
  ASSERT_EQ(poll(client.fd), recordOf("36"));
  ASSERT_TRUE(server.waitBlockedIn({SYS_recvfrom}));
  ASSERT_EQ(kill(server.pid, SIGTERM), 0);
  EXPECT_TRUE(endedBy(server.waitExit(1s), SIGTERM));
}

// How a value file is kept from the service for a while, and given back.
struct Unreadable {
  const char* name;
  void (*withhold)(const fs::path& dir);
  void (*restore)(const fs::path& dir);
  const char* reason;

  friend void PrintTo(const Unreadable& c, std::ostream* os) { *os << c.name; }
};

class LastingWait : public Faults,
                    public ::testing::WithParamInterface<Unreadable> {};

TEST_P(LastingWait, IsNamedOnceAndAnsweredAsSoonAsTheFileCanBeRead) {
  GetParam().withhold(work.path);
  // Without capabilities, so that the file's permissions apply to it.
  Server server(work.path, {.unprivileged = true});
  Socket client{connectToService()};
  ASSERT_NE(client.fd, -1);
  ASSERT_EQ(send(client.fd, "x", 1, 0), 1);
  const std::string line =
      std::string("QEV: waiting for current") + GetParam().reason + "\n";
  EXPECT_TRUE(eventually([&] { return !server.err().empty(); }, 2s));
  EXPECT_EQ(server.err(), line);
  std::this_thread::sleep_for(3s);
  EXPECT_EQ(server.err(), line) << "one line for one wait";
  EXPECT_EQ(server.out().find("Current: "), std::string::npos);

  const auto restored = Clock::now();
  GetParam().restore(work.path);
  EXPECT_EQ(readBytes(client.fd, kRecordSize), recordOf("15"));
  const auto delay = std::chrono::duration_cast<std::chrono::milliseconds>(
      Clock::now() - restored);
  std::printf("answered %lld ms after the file could be read\n",
              static_cast<long long>(delay.count()));
  EXPECT_LT(delay, 1s);  // 100 ms at most on a quiet machine
  EXPECT_EQ(server.err(), line + "QEV: current can be read again\n");
}

INSTANTIATE_TEST_SUITE_P(
    Causes, LastingWait,
    ::testing::Values(
        Unreadable{"NoPermission",
                   [](const fs::path& d) {
                     writeValue(d, "15\n");
                     fs::permissions(d / "current", fs::perms::none);
                   },
                   [](const fs::path& d) {
                     fs::permissions(d / "current", fs::perms::owner_read |
                                                        fs::perms::owner_write |
                                                        fs::perms::group_read |
                                                        fs::perms::others_read);
                   },
                   ": Permission denied"},
        Unreadable{"Missing", [](const fs::path&) {},
                   [](const fs::path& d) { writeValue(d, "15\n"); },
                   ": No such file or directory"},
        Unreadable{"DanglingLink",
                   [](const fs::path& d) {
                     fs::create_symlink("/srv/qev/value", d / "current");
                   },
                   [](const fs::path& d) { writeValue(d, "15\n"); },
                   " -> /srv/qev/value: No such file or directory"}),
    [](const auto& info) { return info.param.name; });

// What a client does while the service waits for a missing value file.
struct Leaving {
  const char* name;
  void (*leave)(int client);
  int status;  // how the service ends; -1: it keeps waiting to answer
  const char* err;

  friend void PrintTo(const Leaving& c, std::ostream* os) { *os << c.name; }
};

class ClientDuringAWait : public Faults,
                          public ::testing::WithParamInterface<Leaving> {};

TEST_P(ClientDuringAWait, EndsTheServiceAsItsNextReceiveWould) {
  // The connection given, as a supervisor gives it: the service's one client.
  std::vector<int> keep;
  int client = -1;
  Server server(work.path, {.stdin_fd = accepted(keep, client)});
  for (const int fd : keep) close(fd);
  ASSERT_TRUE(eventually([&] { return countOf(server.out(), "Serving"); }));
  const auto left = Clock::now();
  GetParam().leave(client);
  if (GetParam().status == -1) {
    EXPECT_EQ(server.waitExit(500ms), -1) << "the request waits for its reply";
    writeValue(work.path, "15\n");
    EXPECT_EQ(readBytes(client, kRecordSize), recordOf("15"));
    close(client);
    EXPECT_EQ(exitCode(server.waitExit()), 0);
  } else {
    EXPECT_EQ(exitCode(server.waitExit(2s)), GetParam().status);
    EXPECT_LT(Clock::now() - left, 1s);
  }
  EXPECT_EQ(server.err(), GetParam().err);
}

INSTANTIATE_TEST_SUITE_P(
    Clients, ClientDuringAWait,
    ::testing::Values(Leaving{"ResetAfterAPoll",
                              [](int client) {
                                (void)send(client, "x", 1, MSG_NOSIGNAL);
                                resetAndClose(client);
                              },
                              2, "Error: Connection reset by peer\n"},
                      Leaving{"ClosedWithNoRequest",
                              [](int client) { close(client); }, 0, ""},
                      Leaving{"HalfClosedWithARequest",
                              [](int client) {
                                (void)send(client, "x", 1, MSG_NOSIGNAL);
                                shutdown(client, SHUT_WR);
                              },
                              -1, ""}),
    [](const auto& info) { return info.param.name; });

TEST_F(Faults, FileReplacedByRenameAThousandTimesDrawsNoWaitLine) {
  Server& server = startServing("0\n");
  std::atomic<bool> writing{true};
  std::jthread writer([&] {
    for (int i = 1; i <= 1000; ++i) writeValue(work.path, std::to_string(i));
    writing = false;
  });
  int polls = 0;
  while (writing) {
    ASSERT_FALSE(poll(client.fd).empty());
    ++polls;
  }
  std::printf("%d polls during 1000 renames\n", polls);
  // The reply after the last rename may still carry the value read before
  // it (the file is read before the wait); the one after that cannot.
  ASSERT_FALSE(poll(client.fd).empty());
  EXPECT_EQ(poll(client.fd), recordOf("1000"));
  EXPECT_EQ(server.err(), "");
}

// How stops come to a service whose log is stuck.
struct StuckStop {
  const char* name;
  std::uint64_t blocked;            // signals blocked when it starts
  std::chrono::milliseconds every;  // SIGTERM repeated this often; 0: once

  friend void PrintTo(const StuckStop& c, std::ostream* os) { *os << c.name; }
};

class StuckLog : public Faults,
                 public ::testing::WithParamInterface<StuckStop> {};

TEST_P(StuckLog, StopTakesEffectWithinASecondOfTheFirst) {
  writeValue(work.path, "38\n");
  // Standard output a terminal that is never read (as one stopped with
  // ^S): once its buffer is full, the log line after a reply cannot go out.
  Socket terminal{posix_openpt(O_RDWR | O_NOCTTY)};
  ASSERT_TRUE(terminal.fd != -1 && grantpt(terminal.fd) == 0 &&
              unlockpt(terminal.fd) == 0);
  Socket log{open(ptsname(terminal.fd), O_RDWR | O_NOCTTY)};
  ASSERT_NE(log.fd, -1);
  Server server(work.path,
                {.stdout_fd = log.fd, .blocked = GetParam().blocked});
  Socket client{connectToService()};
  ASSERT_NE(client.fd, -1);
  std::jthread poller([&] {
    while (!poll(client.fd).empty()) {
    }
  });
  ASSERT_TRUE(server.waitBlockedWriting(1));
  const auto stopped = Clock::now();
  ASSERT_EQ(kill(server.pid, SIGTERM), 0);
  // Repeated until it has ended; not reaped until then, so that its pid
  // cannot pass to another process.
  const auto every = GetParam().every;
  auto next = stopped + every;
  for (;;) {
    siginfo_t info{};
    const bool ended =
        waitid(P_PID, server.pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == server.pid;
    if (ended || Clock::now() - stopped > 4s) break;
    if (every.count() > 0 && Clock::now() >= next) {
      (void)kill(server.pid, SIGTERM);
      next += every;
    }
    std::this_thread::sleep_for(2ms);
  }
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      Clock::now() - stopped);
  const int status = server.waitExit(0s);
  std::printf("stopped %lld ms after the first SIGTERM\n",
              static_cast<long long>(took.count()));
  EXPECT_TRUE(endedBy(status, SIGTERM)) << status;
  EXPECT_LT(took, 2s);
  shutdown(client.fd, SHUT_RDWR);  // lets the poller end
}

INSTANTIATE_TEST_SUITE_P(
    Stops, StuckLog,
    ::testing::Values(StuckStop{"Once", 0, 0ms},
                      StuckStop{"RepeatedEvery400ms", 0, 400ms},
                      StuckStop{"AlarmBlockedAtStart", signalBit(SIGALRM), 0ms},
                      StuckStop{"StopsBlockedAtStart",
                                signalBit(SIGTERM) | signalBit(SIGINT), 0ms}),
    [](const auto& info) { return info.param.name; });

TEST_F(Faults, StopSignalIgnoredAtStartStaysIgnored) {
  Server& server = startServing("39\n", {.ignored = signalBit(SIGINT)});
  ASSERT_EQ(poll(client.fd), recordOf("39"));
  ASSERT_TRUE(server.waitBlockedIn({SYS_recvfrom}));
  ASSERT_EQ(kill(server.pid, SIGINT), 0);
  EXPECT_EQ(server.waitExit(300ms), -1) << "SIGINT ended it";
  EXPECT_EQ(poll(client.fd), recordOf("39"));
  ASSERT_EQ(kill(server.pid, SIGTERM), 0);
  EXPECT_TRUE(endedBy(server.waitExit(), SIGTERM));
}

// How the log fails under a service that must go on serving.
struct LogFailure {
  const char* name;
  const char* value;   // the value file: a number, or none, so that a
                       // report comes due after a second
  const char* served;  // the value it gives
  // Sets up where the log goes; descriptors to close at the end in `keep`.
  void (*make)(Options& options, std::vector<int>& keep);
  const char* err;  // what the service says of it on standard error

  friend void PrintTo(const LogFailure& c, std::ostream* os) { *os << c.name; }
};

// The write end of a pipe whose reader has gone.
int readerGone(std::vector<int>& keep) {
  int ends[2];
  if (pipe(ends) != 0) return -1;
  close(ends[0]);
  keep.push_back(ends[1]);
  return ends[1];
}

class FailingLog : public Faults,
                   public ::testing::WithParamInterface<LogFailure> {};

TEST_P(FailingLog, NeverStopsTheServiceNorMergesTwoLines) {
  writeValue(work.path, GetParam().value);
  Options options;
  std::vector<int> keep;
  GetParam().make(options, keep);
  Server server(work.path, options);
  for (const int fd : keep) close(fd);
  Socket client{connectToService()};
  ASSERT_NE(client.fd, -1);
  int replies = 0;
  const std::string record = recordOf(GetParam().served);
  for (const auto start = Clock::now();
       replies < 300 || Clock::now() - start < 1200ms; ++replies)
    ASSERT_EQ(poll(client.fd), record) << "reply " << replies;
  // Given room again, the log says how many lines it lost.
  const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
  ASSERT_EQ(prlimit(server.pid, RLIMIT_FSIZE, &unlimited, nullptr), 0);
  for (int i = 0; i < 100; ++i, ++replies) ASSERT_EQ(poll(client.fd), record);
  EXPECT_EQ(server.err(), GetParam().err);
  if (options.stdout_fd != -1) return;
  // Whole lines only, each a reply, a start-up line or the count of those
  // lost, and one cut short by the failure; those kept and those lost are
  // every reply.
  const auto accounted = [&] {
    std::istringstream lines(server.out());
    long kept = 0;
    long lost = 0;
    for (std::string line; std::getline(lines, line);) {
      if (line == "Current: 42:1024:4")
        ++kept;
      else if (line.starts_with("QEV: ") &&
               line.find(" log lines lost over ") != std::string::npos)
        lost += std::stol(line.substr(5));
      else if (!line.starts_with("QEV: ") &&
               !std::string("Current: 42:1024:4").starts_with(line))
        ADD_FAILURE() << "a line that is none of the log's: " << line;
    }
    return kept + lost == replies && lost > 0;
  };
  EXPECT_TRUE(eventually(accounted, 2s)) << server.out();
}

INSTANTIATE_TEST_SUITE_P(
    Sinks, FailingLog,
    ::testing::Values(LogFailure{"OutputsReaderGone", "42\n", "42",
                                 [](Options& o, std::vector<int>& keep) {
                                   o.stdout_fd = readerGone(keep);
                                 },
                                 "QEV: cannot write the log: Broken pipe\n"},
                      LogFailure{"ErrorsReaderGone", "N/A\n", "0",
                                 [](Options& o, std::vector<int>& keep) {
                                   o.stdout_fd = readerGone(keep);
                                   o.stderr_fd = readerGone(keep);
                                 },
                                 ""},
                      LogFailure{
                          "LogFileAtItsSizeLimit", "42\n", "42",
                          [](Options& o, std::vector<int>&) {
                            o.file_size_limit = 4000;
                          },
                          "QEV: cannot write the log: File too large\n"}),
    [](const auto& info) { return info.param.name; });

// qev on a supervisor's listener, logging into a stream socket as into a
// journal's; the test holds the other end, the journal's, in `reader`.
struct StreamLogged {
  explicit StreamLogged(const fs::path& work) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) return;
    reader.fd = ends[0];
    const int small = 4096;  // quick to fill
    setsockopt(ends[1], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    server.emplace(work, Options{.stdin_fd = listener.fd,
                                 .stdout_fd = ends[1],
                                 .stderr_fd = ends[1]});
    close(ends[1]);
  }
  Socket listener{listenOnServicePort()};
  Socket reader{-1};
  std::optional<Server> server;
};

TEST_F(Faults, LogThatIsGoneEndsAListenersQevOnceItsClientLeaves) {
  writeValue(work.path, "44\n");
  QEV_NEEDS(enterPrivateMounts());
  Syslog syslog{privateSyslog()};
  StreamLogged logged(work.path);
  Socket client{connectToService()};
  ASSERT_EQ(poll(client.fd), recordOf("44"));
  close(logged.reader.fd);  // the journal stopped
  logged.reader.fd = -1;
  for (int i = 0; i < 3; ++i) ASSERT_EQ(poll(client.fd), recordOf("44"));
  close(client.fd);
  client.fd = -1;
  EXPECT_EQ(exitCode(logged.server->waitExit()), 0);
  // The replies' lines (the first one's too, if the close came before it),
  // the client's end and the service's own, counted where they can be read.
  const auto said = [&](int lost) {
    return syslog.lines("<27>", "QEV: " + std::to_string(lost) +
                                    " log lines lost: standard output is "
                                    "gone: Broken pipe");
  };
  EXPECT_TRUE(eventually([&] { return said(5) + said(6) == 1; }));
}

TEST_F(Faults, LogThatTakesNothingHoldsNoClientLong) {
  writeValue(work.path, "45\n");
  StreamLogged logged(work.path);
  // A client that polls until the log is full, then clients one poll each.
  {
    Socket client{connectToService()};
    for (int i = 0; i < 3000; ++i) ASSERT_EQ(poll(client.fd), recordOf("45"));
  }
  for (int i = 0; i < 5; ++i) {
    const auto asked = Clock::now();
    EXPECT_EQ(onePoll(), recordOf("45"));
    EXPECT_LT(Clock::now() - asked, 3s) << "half a second at most";
  }
  // Read again, the log says what it lost, and over how long.
  std::string log;
  ASSERT_TRUE(eventually([&] {
    log += readBytes(logged.reader.fd, 1 << 20, 10ms);
    if (log.find("log lines lost over") == std::string::npos) onePoll();
    return log.find("log lines lost over") != std::string::npos;
  }));
}

TEST_F(Faults, ClientGoneUnderAWriteEndsTheServiceOnce) {
  writeValue(work.path, "40\n");
  // Both streams in one file, as in a journal: the line comes first.
  Server server(work.path, {.merged = true});
  const int client = connectToService();
  ASSERT_NE(client, -1);
  const int small = 16384;
  setsockopt(client, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  // More requests than the buffers hold replies for: the server blocks in
  // its write with requests still queued.
  ASSERT_TRUE(fillUntilBlockedWriting(server, client));
  resetAndClose(client);

  const int status = server.waitExit();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 2);
  EXPECT_EQ(countOf(server.out(), ":-1:4\n"), 1) << server.out();
  EXPECT_EQ(countOf(server.out(), "Error: "), 1) << server.out();
  EXPECT_EQ(countOf(server.out(), ":-1:4\nError: "), 1) << server.out();
}

}  // namespace
