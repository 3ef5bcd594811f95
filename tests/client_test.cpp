// qev-client, run as a program against the real service and against a fake
// one that sends malformed or oddly split records.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace {

using namespace qevtest;

Outcome runClient(std::vector<std::string> args) {
  args.insert(args.begin(), program(QEV_CLIENT_BINARY));
  return runProgram(args);
}

std::string zeros(std::size_t n) { return std::string(n, '\0'); }

// A stand-in for the service: listens on the service's port and answers
// each poll with the pieces of its script, written separately with a pause
// between them. With the script done it closes, or, when `hold` is set,
// keeps the connection open and says nothing until the client leaves; or,
// when `flood` is set, sends it again and again, a pause of `every` apart,
// until the client leaves.
struct FakeService {
  explicit FakeService(std::vector<std::vector<std::string>> script,
                       bool hold_open = false)
      : replies(std::move(script)), hold(hold_open) {}
  FakeService(std::string flood_with, std::chrono::milliseconds pause)
      : hold(false), flood(std::move(flood_with)), every(pause) {}

  void start() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address),
        0);
    ASSERT_EQ(listen(listener_, 1), 0);
    thread_ = std::thread([this] { serve(); });
  }
  ~FakeService() {
    if (thread_.joinable()) thread_.join();
    if (listener_ != -1) close(listener_);
  }

 private:
  void serve() {
    const int fd = accept(listener_, nullptr, nullptr);
    if (fd == -1) return;
    char request[1024];
    for (const auto& pieces : replies) {
      if (recv(fd, request, sizeof request, 0) <= 0) break;
      for (const auto& piece : pieces) {
        send(fd, piece.data(), piece.size(), MSG_NOSIGNAL);
        std::this_thread::sleep_for(20ms);
      }
    }
    if (hold)
      while (recv(fd, request, sizeof request, 0) > 0) {
      }
    while (!flood.empty() &&
           send(fd, flood.data(), flood.size(), MSG_NOSIGNAL) > 0)
      std::this_thread::sleep_for(every);
    close(fd);
  }

  std::vector<std::vector<std::string>> replies;
  bool hold;
  std::string flood;
  std::chrono::milliseconds every{0};
  int listener_ = -1;
  std::thread thread_;
};

class Client : public NetworkTest {};

struct BadReply {
  const char* name;
  std::vector<std::string> pieces;
  const char* complaint;

  friend void PrintTo(const BadReply& c, std::ostream* os) { *os << c.name; }
};

class Malformed : public Client,
                  public ::testing::WithParamInterface<BadReply> {};

TEST_P(Malformed, IsNamedOnStandardErrorWithExitStatusOne) {
  FakeService fake{{GetParam().pieces}, true};
  fake.start();
  const Outcome run = runClient({"--timeout", "500"});
  EXPECT_EQ(exitCode(run.status), 1);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find(GetParam().complaint), std::string::npos) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Records, Malformed,
    ::testing::Values(
        BadReply{"NoZeroPadding",
                 {std::string(1024, '7')},
                 "no zero bytes after the text"},
        BadReply{"JunkAfterPadding",
                 {"42" + zeros(1021) + "X"},
                 "byte 1023 after the text is not zero"},
        BadReply{"NotANumber",
                 {"abc" + zeros(1021)},
                 "text 'abc' is not a decimal number"},
        BadReply{"LeadingZero", {"042" + zeros(1021)}, "not a decimal number"},
        BadReply{"PlusSign", {"+5" + zeros(1022)}, "not a decimal number"},
        BadReply{"LoneMinus", {"-" + zeros(1023)}, "not a decimal number"},
        BadReply{"OutOfRange",
                 {"2147483648" + zeros(1014)},
                 "'2147483648' is outside the signed 32-bit range"},
        BadReply{"NoText", {zeros(1024)}, "no text before the zero bytes"},
        BadReply{"ShortThenSilent",
                 {"42" + zeros(998)},
                 "no whole record within 500 ms (got 1000 of 1024 bytes)"}),
    [](const auto& info) { return info.param.name; });

TEST_F(Client, ShortRecordThenCloseIsReported) {
  FakeService fake{{{"42" + zeros(998)}}};
  fake.start();
  const Outcome run = runClient({});
  EXPECT_EQ(exitCode(run.status), 1);
  EXPECT_EQ(run.err,
            "qev-client: the service closed the connection after 1000 of 1024 "
            "bytes of a record\n");
}

TEST_F(Client, CloseWithoutReplyIsReported) {
  // Reads the poll, then closes without a word.
  FakeService fake(std::vector<std::vector<std::string>>{{}});
  fake.start();
  const Outcome run = runClient({});
  EXPECT_EQ(exitCode(run.status), 1);
  EXPECT_EQ(run.err,
            "qev-client: the service closed the connection without a reply\n");
}

TEST_F(Client, RecordsSplitAcrossWritesAreJoined) {
  FakeService fake{{{"5" + zeros(1023)}, {"-", "6" + zeros(500), zeros(522)}},
                   true};
  fake.start();
  const Outcome run = runClient({"--count", "2", "--interval", "0"});
  EXPECT_EQ(exitCode(run.status), 0) << run.err;
  EXPECT_EQ(run.out, "5\n-6\n");
}

TEST_F(Client, RefusedConnectionIsReported) {
  const Outcome run = runClient({});
  EXPECT_EQ(exitCode(run.status), 1);
  EXPECT_EQ(run.err,
            "qev-client: cannot connect to 127.0.0.1:8792: Connection "
            "refused\n");
}

TEST_F(Client, PrintsTheServiceValueOnce) {
  writeValue(work.path, "-2147483648\n");
  Server server(work.path);
  ASSERT_TRUE(eventually([&] { return !server.out().empty(); }));
  const Outcome run = runClient({});
  EXPECT_EQ(exitCode(run.status), 0) << run.err;
  EXPECT_EQ(run.out, "-2147483648\n");
  EXPECT_EQ(server.waitExit(), 0) << "the client's leaving ends the service";
}

TEST_F(Client, WatchesAValueChange) {
  writeValue(work.path, "1\n");
  Server server(work.path);
  ASSERT_TRUE(eventually([&] { return !server.out().empty(); }));
  std::thread writer([&] {
    // Once the server waits for the second poll, having read the file.
    eventually([&] { return countOf(server.out(), "Current: ") == 1; });
    server.waitBlockedIn({SYS_recvfrom});
    writeValue(work.path, "2\n");
  });
  const Outcome run = runClient({"-n", "3", "-i", "300"});
  writer.join();
  EXPECT_EQ(exitCode(run.status), 0) << run.err;
  EXPECT_EQ(run.out, "1\n1\n2\n");
}

TEST_F(Client, BenchAndSaturateReportTheirFigures) {
  writeValue(work.path, "3\n");
  {
    Server server(work.path);
    ASSERT_TRUE(eventually([&] { return !server.out().empty(); }));
    const auto latencies = work.path / "latencies";
    const Outcome run =
        runClient({"--bench", "--count", "200", "--port", std::to_string(kPort),
                   "--latencies", latencies.string()});
    EXPECT_EQ(exitCode(run.status), 0) << run.err;
    EXPECT_TRUE(run.out.starts_with("polls=200 seconds=")) << run.out;
    EXPECT_NE(run.out.find(" p99_us="), std::string::npos) << run.out;
    // A latency in microseconds a line, one for each poll.
    const std::string lines = readFile(latencies);
    EXPECT_EQ(countOf(lines, "\n"), 200);
    EXPECT_GT(std::stod(lines), 0) << lines.substr(0, 40);
  }
  Server server(work.path);
  ASSERT_TRUE(eventually([&] { return !server.out().empty(); }));
  const Outcome run = runClient({"--saturate", "1"});
  EXPECT_EQ(exitCode(run.status), 0) << run.err;
  EXPECT_TRUE(run.out.starts_with("records=")) << run.out;
  EXPECT_FALSE(run.out.starts_with("records=0 ")) << run.out;
  // It left politely: every record read, then its side closed.
  EXPECT_EQ(exitCode(server.waitExit()), 0) << server.err();
  EXPECT_EQ(server.err(), "");
}

// A service that will not let go, an address that drops connections, a
// name server that never answers: the client's timeout bounds every wait.
struct Bound {
  const char* name;
  // Sets up what the client meets, kept alive in `fake` and `keep`.
  void (*meet)(std::unique_ptr<FakeService>& fake, std::vector<int>& keep);
  std::vector<std::string> args;
  int status;
  const char* says;  // what it prints, on standard output or error

  friend void PrintTo(const Bound& c, std::ostream* os) { *os << c.name; }
};

class Bounds : public Client, public ::testing::WithParamInterface<Bound> {};

TEST_P(Bounds, TheTimeoutBoundsEveryWait) {
  std::unique_ptr<FakeService> fake;
  std::vector<int> keep;
  GetParam().meet(fake, keep);
  if (HasFatalFailure() || IsSkipped()) return;
  if (fake) fake->start();
  const auto started = Clock::now();
  // Far longer than the bound each row tells apart from waiting for ever.
  const Outcome run = runProgram(
      [&] {
        auto argv = GetParam().args;
        argv.insert(argv.begin(), program(QEV_CLIENT_BINARY));
        return argv;
      }(),
      15s);
  std::printf("%s: %.1f s\n", GetParam().name,
              std::chrono::duration<double>(Clock::now() - started).count());
  for (const int fd : keep) close(fd);
  EXPECT_EQ(exitCode(run.status), GetParam().status) << run.err;
  EXPECT_NE((run.out + run.err).find(GetParam().says), std::string::npos)
      << run.out << run.err;
}

// A listener on [::1] whose queue is full: every connection attempt to it
// is dropped, as by a host that is down.
void dropOnIpv6Loopback(std::vector<int>& keep) {
  const int fd = kept(keep, socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_port = htons(kPort);
  address.sin6_addr = in6addr_loopback;
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(fd, 0), 0);
  const int filler = kept(keep, socket(AF_INET6, SOCK_STREAM, 0));
  ASSERT_EQ(
      connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address),
      0);
}

INSTANTIATE_TEST_SUITE_P(
    Client, Bounds,
    ::testing::Values(
        Bound{"SaturateAgainstRecordsThatNeverStop",
              [](std::unique_ptr<FakeService>& fake, std::vector<int>&) {
                fake = std::make_unique<FakeService>("7" + zeros(1023), 0ms);
              },
              {"--saturate", "1", "-t", "1000"},
              1,
              "did not close the connection within 1000 ms"},
        Bound{"SaturateAgainstAByteEvery100ms",
              [](std::unique_ptr<FakeService>& fake, std::vector<int>&) {
                fake = std::make_unique<FakeService>("7", 100ms);
              },
              {"--saturate", "1", "-t", "1000"},
              1,
              "did not close the connection within 1000 ms"},
        Bound{"SecondAddressAfterOneThatDropsConnections",
              [](std::unique_ptr<FakeService>& fake, std::vector<int>& keep) {
                QEV_NEEDS(enterPrivateMounts());
                privateFile("/etc/hosts", "::1 twice\n127.0.0.1 twice\n");
                dropOnIpv6Loopback(keep);
                fake = std::make_unique<FakeService>(
                    std::vector<std::vector<std::string>>{{"5" + zeros(1023)}},
                    true);
              },
              {"-H", "twice", "-t", "2000"},
              0,
              "5\n"},
        Bound{"NameServerThatNeverAnswers",
              [](std::unique_ptr<FakeService>&, std::vector<int>& keep) {
                QEV_NEEDS(enterPrivateMounts());
                privateFile("/etc/resolv.conf", "nameserver 127.0.0.1\n");
                privateFile("/etc/hosts", "127.0.0.1 localhost\n");
                // Port 53 takes the queries and answers none.
                const int fd = kept(keep, socket(AF_INET, SOCK_DGRAM, 0));
                sockaddr_in address{};
                address.sin_family = AF_INET;
                address.sin_port = htons(53);
                address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address),
                               sizeof address),
                          0);
              },
              {"-H", "nowhere.example", "-t", "1000"},
              1,
              "cannot find 'nowhere.example': no answer within 1000 ms"},
        Bound{"PluginAgainstAMuteService",
              [](std::unique_ptr<FakeService>& fake, std::vector<int>&) {
                fake = std::make_unique<FakeService>(
                    std::vector<std::vector<std::string>>{}, true);
              },
              {"-c", "0:100", "-t", "1s"},
              2,
              "QEV CRITICAL - no whole record within 1000 ms"}),
    [](const auto& info) { return info.param.name; });

// The host as operators type it: an address of either family, or a name
// (whose addresses are tried in turn: localhost's ::1 is refused here).
class Hosts : public Client,
              public ::testing::WithParamInterface<const char*> {};

TEST_P(Hosts, AreReachedByAddressOrName) {
  writeValue(work.path, "12\n");
  // IPv6 from a dual-stack listener given to qev, as an inetd's tcp6 line.
  const bool ipv6 = std::string(GetParam()) == "::1";
  Socket listener{ipv6 ? listenOnServicePort(AF_INET6) : -1};
  Server server(work.path, {.stdin_fd = listener.fd});
  ASSERT_TRUE(eventually([&] { return !server.out().empty(); }));
  const Outcome run = runClient({"--host", GetParam()});
  EXPECT_EQ(exitCode(run.status), 0) << run.err;
  EXPECT_EQ(run.out, "12\n");
}

INSTANTIATE_TEST_SUITE_P(Client, Hosts,
                         ::testing::Values("127.0.0.1", "::1", "localhost"),
                         [](const auto& info) {
                           return std::string(
                               std::array{"Ipv4Loopback", "Ipv6Loopback",
                                          "HostName"}[info.index]);
                         });

// One poll as a monitoring plugin (-w, -c) or a metrics source (--metrics),
// against qev serving 42 or against nothing.
struct Check {
  const char* name;
  std::vector<std::string> args;  // "@FILE": the file `file` below
  bool served;
  int status;
  std::vector<std::string> has;  // each is somewhere in standard output
  const char* file = nullptr;    // a value file, beside the served one
  int file_age = 0;              // its age, in seconds

  friend void PrintTo(const Check& c, std::ostream* os) { *os << c.name; }
};

class Checks : public Client, public ::testing::WithParamInterface<Check> {};

TEST_P(Checks, GiveTheirLineAndStatus) {
  const Check& check = GetParam();
  writeValue(work.path, "42\n");
  std::optional<Server> server;
  if (check.served) {
    server.emplace(work.path);
    ASSERT_TRUE(eventually([&] { return !server->out().empty(); }));
  }
  const std::string file = (work.path / "checked").string();
  if (check.file != nullptr) {
    writeValue(work.path, check.file);
    std::filesystem::rename(work.path / "current", file);
    writeValue(work.path, "42\n");
    std::filesystem::last_write_time(
        file, std::filesystem::file_time_type::clock::now() -
                  std::chrono::seconds(check.file_age));
  }
  const auto withFile = [&](std::string text) {
    if (const auto at = text.find("@FILE"); at != std::string::npos)
      text.replace(at, 5, file);
    return text;
  };
  std::vector<std::string> args;
  for (const auto& arg : check.args) args.push_back(withFile(arg));
  const Outcome run = runClient(args);
  EXPECT_EQ(exitCode(run.status), check.status) << run.out << run.err;
  for (const auto& text : check.has)
    EXPECT_NE(run.out.find(withFile(text)), std::string::npos) << run.out;
  if (check.args[0] != "--metrics") {
    EXPECT_EQ(countOf(run.out, "\n"), 1) << "one line: " << run.out;
    return;
  }
  // Prometheus' text format: comments, and lines of a name and a number.
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("# HELP ") || line.starts_with("# TYPE ")) continue;
    const auto space = line.find(' ');
    ASSERT_NE(space, std::string::npos) << line;
    EXPECT_TRUE(line.starts_with("qev_")) << line;
    std::size_t used = 0;
    (void)std::stod(line.substr(space + 1), &used);
    EXPECT_EQ(space + 1 + used, line.size()) << line;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Client, Checks,
    ::testing::Values(
        Check{"InsideBoth",
              {"-w", "10:50", "-c", "0:100"},
              true,
              0,
              {"QEV OK - 42 | value=42;10:50;0:100 time="}},
        Check{"OutsideWarning",
              {"-w", "10:41", "-c", "0:100"},
              true,
              1,
              {"QEV WARNING - 42 | value=42;10:41;0:100 time="}},
        Check{"AtTheEdges", {"-w", "42:", "-c", "~:42"}, true, 0, {"QEV OK"}},
        Check{"InsideAnAlertingRange",
              {"-w", "10:50", "-c", "@42:42"},
              true,
              2,
              {"QEV CRITICAL - 42 | value=42;10:50;@42:42 time="}},
        Check{"OutsideZeroToN", {"-c", "41"}, true, 2, {"QEV CRITICAL - 42"}},
        Check{"NotServed",
              {"-c", "0:100", "-t", "500"},
              false,
              2,
              {"QEV CRITICAL - cannot connect to 127.0.0.1:8792: Connection "
               "refused\n"}},
        Check{"AbbreviatedThreshold",
              {"--crit", "0:10"},
              true,
              2,
              {"QEV CRITICAL - 42 | value=42;;0:10 time="}},
        Check{"RangesNormalised",
              {"--warn", "10.0:050", "-c", "@~:0", "-t", "10"},
              true,
              0,
              {"QEV OK - 42 | value=42;10:50;@~:0 time="}},
        Check{"SpacedRange",
              {"-w", " 10:50"},
              false,
              3,
              {"QEV UNKNOWN - --warning wants a range"}},
        Check{"HexadecimalRange",
              {"-c", "0x10"},
              false,
              3,
              {"QEV UNKNOWN - --critical wants a range"}},
        Check{"FileWithoutANumber",
              {"-c", "0:100", "--file", "@FILE"},
              true,
              2,
              {"QEV CRITICAL - 42, @FILE holds no number: \"abc\" |"},
              "abc\n"},
        Check{"FileUnchangedTooLong",
              {"--file", "@FILE", "--max-age", "60"},
              true,
              2,
              {"QEV CRITICAL - 42, @FILE unchanged for 1"},
              "42\n",
              120},
        Check{"MetricsOfTheFile",
              {"--metrics", "--file", "@FILE"},
              true,
              0,
              {"\nqev_file_number 0\n", "\nqev_file_age_seconds 30",
               "\nqev_poll_timestamp_seconds 1"},
              "abc\n",
              30},
        Check{"RangeBackwards",
              {"-w", "50:10"},
              false,
              3,
              {"QEV UNKNOWN - --warning range '50:10' starts above its end\n"}},
        Check{"MetricsServed",
              {"--metrics"},
              true,
              0,
              {"# TYPE qev_up gauge\nqev_up 1\n",
               "# TYPE qev_value gauge\nqev_value 42\n",
               "\nqev_poll_duration_seconds 0."}},
        Check{"MetricsNotServed", {"--metrics"}, false, 1, {"\nqev_up 0\n"}}),
    [](const auto& info) { return info.param.name; });

// --metrics written to a file (-o) in a directory that may not take it.
struct MetricsFile {
  const char* name;
  // Makes the directory `dir`, or what stands in its place.
  void (*make)(const std::filesystem::path& dir);
  int status;
  const char* err;   // what it says on standard error
  const char* kept;  // what qev.prom then holds: the last whole file

  friend void PrintTo(const MetricsFile& c, std::ostream* os) { *os << c.name; }
};

class MetricsFiles : public Client,
                     public ::testing::WithParamInterface<MetricsFile> {};

TEST_P(MetricsFiles, AreWholeOrLeftAsTheyWere) {
  QEV_NEEDS(enterPrivateMounts());
  writeValue(work.path, "42\n");
  Server server(work.path);
  ASSERT_TRUE(eventually([&] { return !server.out().empty(); }));
  const auto dir = work.path / "textfile";
  const auto elsewhere = work.path / "elsewhere";
  std::filesystem::create_directory(elsewhere);
  GetParam().make(dir);
  const Outcome run =
      runClient({"--metrics", "-o", (dir / "qev.prom").string()});
  EXPECT_EQ(exitCode(run.status), GetParam().status) << run.err;
  EXPECT_NE(run.err.find(GetParam().err), std::string::npos) << run.err;
  EXPECT_TRUE(std::filesystem::is_empty(elsewhere)) << "written through a link";
  if (GetParam().status == 0) {
    EXPECT_FALSE(std::filesystem::is_symlink(dir / "qev.prom"));
    EXPECT_NE(readFile(dir / "qev.prom").find("\nqev_up 1\n"),
              std::string::npos);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1)
        << "a temporary left behind";
  } else if (std::filesystem::is_directory(dir)) {
    EXPECT_EQ(readFile(dir / "qev.prom"), GetParam().kept);
  }
}

// A directory of its own, `options` its mount's, holding the last whole
// qev.prom.
void tmpfsWithOldFile(const std::filesystem::path& dir, const char* options) {
  std::filesystem::create_directory(dir);
  ASSERT_EQ(mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=64k"), 0);
  std::ofstream(dir / "qev.prom") << "old\n";
  ASSERT_EQ(mount("tmpfs", dir.c_str(), nullptr, MS_REMOUNT, options), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Client, MetricsFiles,
    ::testing::Values(
        MetricsFile{"Written",
                    [](const std::filesystem::path& d) {
                      std::filesystem::create_directory(d);
                    },
                    0, "", ""},
        MetricsFile{"LinkAtTheFile",
                    [](const std::filesystem::path& d) {
                      std::filesystem::create_directory(d);
                      std::filesystem::create_symlink("../elsewhere/qev.prom",
                                                      d / "qev.prom");
                    },
                    0, "", ""},
        MetricsFile{"DirectoryFull",
                    [](const std::filesystem::path& d) {
                      tmpfsWithOldFile(d, "size=64k");
                      std::ofstream(d / "filler") << std::string(1 << 17, 'x');
                    },
                    1, "No space left on device", "old\n"},
        MetricsFile{
            "DirectoryReadOnly",
            [](const std::filesystem::path& d) { tmpfsWithOldFile(d, "ro"); },
            1, "Read-only file system", "old\n"},
        MetricsFile{"DirectoryALink",
                    [](const std::filesystem::path& d) {
                      std::filesystem::create_directory_symlink("elsewhere", d);
                    },
                    1, "is a symbolic link, which is not followed", ""},
        MetricsFile{"DirectoryMissing", [](const std::filesystem::path&) {}, 1,
                    "No such file or directory", ""}),
    [](const auto& info) { return info.param.name; });

TEST(ClientUsage, BadArgumentsAreUsageErrors) {
  const std::vector<std::vector<std::string>> cases = {
      {"--port", "0"},
      {"--port", "http"},
      {"--count", "-1"},
      {"--bench", "--saturate", "1"},
      {"--latencies", "out"},
      {"stray"},
      {"--no-such-option"},
      {"--timeout"},
      {"--host", "localhost", "--bench", "--count", "0"},
      {"--metrics", "--bench"},
      {"--metrics", "--count", "2"}};
  for (const auto& args : cases) {
    const Outcome run = runClient(args);
    EXPECT_EQ(exitCode(run.status), 2) << args[0];
    EXPECT_NE(run.err.find("Try 'qev-client --help'."), std::string::npos)
        << run.err;
  }
}

// Both programs' own arguments: answered, or named as a mistake, with
// nothing opened (a qev that listened would never end here).
TEST(Usage, ArgumentsAreAnsweredOrNamedWithoutOpeningAnything) {
  struct Invocation {
    std::vector<std::string> argv;
    int status;
    std::string out;  // what standard output starts with
    std::string err;
  };
  const std::string qev = program(QEV_BINARY);
  const std::string tryHelp = "; try 'qev --help'\n";
  const std::vector<Invocation> cases = {
      {{qev, "--version"}, 0, "qev " QEV_VERSION "\n", ""},
      {{program(QEV_CLIENT_BINARY), "--version"},
       0,
       "qev-client " QEV_VERSION "\n",
       ""},
      {{qev, "--help"}, 0, "Usage: qev\n", ""},
      {{qev, "-h"}, 2, "", "qev: unexpected argument '-h'" + tryHelp},
      {{qev, "--port", "8000"},
       2,
       "",
       "qev: unexpected argument '--port'" + tryHelp},
      {{qev, "--version", "now"},
       2,
       "",
       "qev: unexpected argument 'now'" + tryHelp},
      {{qev, "--end-when-idle", "1x"},
       2,
       "",
       "qev: --end-when-idle wants a process ID, not '1x'\n"}};
  for (const auto& c : cases) {
    const Outcome run = runProgram(c.argv, 5s);
    EXPECT_EQ(exitCode(run.status), c.status) << c.argv[1];
    EXPECT_TRUE(run.out.starts_with(c.out)) << c.argv[1] << ": " << run.out;
    EXPECT_EQ(run.err, c.err) << c.argv[1];
  }
}

TEST(ClientUsage, HelpDescribesTheOptions) {
  const Outcome run = runClient({"--help"});
  EXPECT_EQ(exitCode(run.status), 0);
  EXPECT_TRUE(run.out.starts_with("Usage: qev-client")) << run.out;
  EXPECT_NE(run.out.find("--saturate"), std::string::npos);
}

}  // namespace
