// Measures what the client cannot see of a running qev: its memory and
// descriptors over many cycles, and its cost while it waits for a missing
// value file.
//
//   probe cycles PID N1 N2    resident memory and open descriptors of PID
//                             after N1 and after N2 cycles
//   probe waitfile PID DIR    CPU share of PID while DIR/current is missing,
//                             and the delay from its creation to the reply
//   probe soak PID DIR LOG N  N cycles at saturation while DIR/current is
//                             replaced every millisecond: records checked,
//                             memory, descriptors and log lines counted
//   probe oneshot PID N       N one-shot clients, one after the other: each
//                             connects, polls once and leaves; the median
//                             time from connect to record, and the CPU time
//                             per client of PID with the children it
//                             reaped (a supervisor and the qev it started)
//                             and of the clients themselves

#include <dirent.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "wire.h"

namespace {

using namespace qevclient;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

[[noreturn]] void fail(const std::string& message) {
  (void)std::fprintf(stderr, "probe: %s\n", message.c_str());
  std::exit(1);
}

int connectOrFail() {
  auto connected = connectTo("127.0.0.1", qev::kPort, seconds(5));
  if (auto* failure = std::get_if<Failure>(&connected)) fail(failure->message);
  return std::get<int>(connected);
}

std::int32_t pollOrFail(int fd) {
  auto reply = pollOnce(fd, seconds(10));
  if (auto* failure = std::get_if<Failure>(&reply)) fail(failure->message);
  return std::get<std::int32_t>(reply);
}

std::string statusField(const std::string& pid, const std::string& name) {
  std::ifstream status("/proc/" + pid + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.starts_with(name + ":")) {
      std::istringstream fields(line.substr(name.size() + 1));
      std::string value;
      fields >> value;
      return value;
    }
  fail("no " + name + " for process " + pid);
}

int openDescriptors(const std::string& pid) {
  DIR* dir = opendir(("/proc/" + pid + "/fd").c_str());
  if (dir == nullptr) fail("cannot list descriptors of " + pid);
  int count = 0;
  // readdir_r, which cppcheck would have, is deprecated; one thread here.
  // cppcheck-suppress readdirCalled
  while (const dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') ++count;
  closedir(dir);
  return count;
}

// CPU time of PID in clock ticks: its own, and with `reaped` that of the
// children it has waited for too.
long cpuTicks(const std::string& pid, bool reaped = false) {
  std::ifstream in("/proc/" + pid + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), {});
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string skip;
  for (int i = 3; i <= 13; ++i) fields >> skip;
  long user = 0;
  long system = 0;
  long children_user = 0;
  long children_system = 0;
  fields >> user >> system >> children_user >> children_system;
  return user + system + (reaped ? children_user + children_system : 0);
}

// This process's CPU time in milliseconds.
double ownCpuMs() {
  rusage usage{};
  (void)getrusage(RUSAGE_SELF, &usage);
  const auto ms = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) * 1000 +
           static_cast<double>(t.tv_usec) / 1000;
  };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

void oneshot(const std::string& pid, long count) {
  std::vector<double> ms;
  const long ticks = cpuTicks(pid, true);
  const double own = ownCpuMs();
  for (long i = 0; i < count; ++i) {
    const auto start = Clock::now();
    const int fd = connectOrFail();
    pollOrFail(fd);
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start)
                     .count());
    (void)close(fd);
    // A poller's pace: the service it started has ended before the next.
    std::this_thread::sleep_for(milliseconds(20));
  }
  std::this_thread::sleep_for(milliseconds(200));  // the last one reaped
  const double server_ms = static_cast<double>(cpuTicks(pid, true) - ticks) *
                           1000 / static_cast<double>(sysconf(_SC_CLK_TCK));
  const double per_client =
      (server_ms + ownCpuMs() - own) / static_cast<double>(count);
  std::sort(ms.begin(), ms.end());
  std::printf("latency_ms_median=%.3f cpu_ms_per_client=%.3f\n",
              ms[ms.size() / 2], per_client);
}

// Waits until the process sleeps in its receive: it has read the value file
// for its next reply by then.
void awaitReceive(const std::string& pid) {
  for (;;) {
    std::ifstream in("/proc/" + pid + "/syscall");
    long nr = -1;
    if (in >> nr && nr == SYS_recvfrom) return;
    std::this_thread::sleep_for(milliseconds(1));
  }
}

void report(const std::string& pid, long cycles) {
  std::printf("cycles=%ld rss_kb=%s fds=%d\n", cycles,
              statusField(pid, "VmRSS").c_str(), openDescriptors(pid));
}

// Streams requests until `target` records have come back, then lets the
// service run dry, handing each whole record to `onRecord`. Returns the
// records received.
long streamUntil(int fd, long target,
                 const std::function<void(const Record&)>& onRecord) {
  auto streamed = streamRequests(
      fd, [target](long records) { return records < target; }, onRecord,
      milliseconds(300));
  if (auto* failure = std::get_if<Failure>(&streamed)) fail(failure->message);
  return std::get<long>(streamed);
}

void cycles(const std::string& pid, long first, long second) {
  const int fd = connectOrFail();
  for (long i = 0; i < first; ++i) pollOrFail(fd);
  report(pid, first);
  // The rest streamed, to reach a million cycles in seconds. The socket is
  // non-blocking from here on.
  const long done = streamUntil(fd, second - first, [](const Record&) {});
  report(pid, first + done);
  (void)close(fd);
}

void waitfile(const std::string& pid, const std::string& dir) {
  const std::string file = dir + "/current";
  const std::string temporary = dir + "/current.tmp";
  auto publish = [&](const char* text) {
    std::ofstream(temporary) << text;
    if (std::rename(temporary.c_str(), file.c_str()) != 0)
      fail("cannot rename " + temporary);
  };
  const int fd = connectOrFail();

  // With no file yet, the first poll waits; measure the service meanwhile.
  if (!sendAll(fd, "?", 1, seconds(5)).empty()) fail("cannot send");
  const long ticks = cpuTicks(pid);
  const auto start = Clock::now();
  std::this_thread::sleep_for(seconds(3));
  const double elapsed =
      std::chrono::duration<double>(Clock::now() - start).count();
  const double share = static_cast<double>(cpuTicks(pid) - ticks) /
                       static_cast<double>(sysconf(_SC_CLK_TCK)) / elapsed;

  std::vector<double> delays;
  for (int round = 0;; ++round) {
    const auto created = Clock::now();
    publish("42\n");
    Record record;
    if (auto error = readRecord(fd, record, seconds(10)); !error.empty())
      fail(error);
    delays.push_back(
        std::chrono::duration<double, std::milli>(Clock::now() - created)
            .count());
    if (round == 9) break;
    // Taken away while the service waits for the next poll: the cycle after
    // that poll finds no file and waits for it again.
    awaitReceive(pid);
    (void)std::remove(file.c_str());
    pollOrFail(fd);
    if (!sendAll(fd, "?", 1, seconds(5)).empty()) fail("cannot send");
    std::this_thread::sleep_for(milliseconds(50));
  }
  std::sort(delays.begin(), delays.end());
  std::printf("cpu_share=%.4f delay_ms_median=%.2f delay_ms_max=%.2f\n", share,
              delays[delays.size() / 2], delays.back());
  (void)close(fd);
}

// Values whose every prefix differs from a value written: ten digits, a
// multiple of 7 past a billion.
std::int32_t writtenValue(long i) {
  return static_cast<std::int32_t>(1'000'000'000 + 7 * i);
}

// A million cycles or more at saturation while the value file is replaced
// by rename every millisecond: every record must be well formed and carry a
// value that was written, memory and descriptors must not grow, and the log
// must hold one line per reply.
void soak(const std::string& pid, const std::string& dir,
          const std::string& log, long target) {
  std::atomic<long> last{0};
  std::jthread writer([&](const std::stop_token& stop) {
    const std::string temporary = dir + "/current.soak";
    const std::string file = dir + "/current";
    for (long i = 1; !stop.stop_requested(); ++i) {
      last = i;  // announced before the service can read it
      std::ofstream(temporary) << writtenValue(i) << "\n";
      if (std::rename(temporary.c_str(), file.c_str()) != 0)
        fail("cannot rename " + temporary);
      std::this_thread::sleep_for(milliseconds(1));
    }
  });
  const int fd = connectOrFail();
  long malformed = 0;
  long unwritten = 0;
  std::string rss_1s;
  int fds_1s = -1;
  const auto start = Clock::now();
  const long records = streamUntil(fd, target, [&](const Record& record) {
    const auto checked = checkRecord(record);
    if (std::holds_alternative<Failure>(checked)) {
      ++malformed;
      return;
    }
    const std::int64_t value = std::get<std::int32_t>(checked);
    const std::int64_t step = value - writtenValue(0);
    if (step < 0 || step % 7 != 0 || step / 7 > last) ++unwritten;
    if (rss_1s.empty() && Clock::now() - start > seconds(1)) {
      rss_1s = statusField(pid, "VmRSS");
      fds_1s = openDescriptors(pid);
    }
  });
  const double elapsed =
      std::chrono::duration<double>(Clock::now() - start).count();
  writer.request_stop();
  std::ifstream in(log);
  long lines = 0;
  for (std::string line; std::getline(in, line);)
    if (line.starts_with("Current: ")) ++lines;
  std::printf(
      "cycles=%ld seconds=%.1f rate=%.0f malformed=%ld unwritten=%ld "
      "log_lines=%ld rss_kb_1s=%s fds_1s=%d rss_kb_end=%s fds_end=%d\n",
      records, elapsed, static_cast<double>(records) / elapsed, malformed,
      unwritten, lines, rss_1s.empty() ? "-" : rss_1s.c_str(), fds_1s,
      statusField(pid, "VmRSS").c_str(), openDescriptors(pid));
  (void)close(fd);
}

}  // namespace

int main(int argc, char** argv) try {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 4 && args[0] == "cycles") {
    cycles(args[1], std::stol(args[2]), std::stol(args[3]));
  } else if (args.size() == 3 && args[0] == "waitfile") {
    waitfile(args[1], args[2]);
  } else if (args.size() == 5 && args[0] == "soak") {
    soak(args[1], args[2], args[3], std::stol(args[4]));
  } else if (args.size() == 3 && args[0] == "oneshot") {
    oneshot(args[1], std::stol(args[2]));
  } else {
    (void)std::fprintf(
        stderr, "usage: probe cycles PID N1 N2 | probe waitfile PID DIR\n");
    return 2;
  }
  return 0;
} catch (const std::exception& error) {
  fail(error.what());
}
