// Measures what the client cannot see of a running qev: its memory and
// descriptors over many cycles, and its cost while it waits for a missing
// value file.
//
//   probe cycles PID N1 N2    resident memory and open descriptors of PID
//                             after N1 and after N2 cycles
//   probe waitfile PID DIR    CPU share of PID while DIR/current is missing,
//                             and the delay from its creation to the reply

#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
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
  auto connected = connectTo("127.0.0.1", 8792, seconds(5));
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

long cpuTicks(const std::string& pid) {
  std::ifstream in("/proc/" + pid + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), {});
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string skip;
  for (int i = 3; i <= 13; ++i) fields >> skip;
  long user = 0;
  long system = 0;
  fields >> user >> system;
  return user + system;
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
// service run dry. Returns the records received.
long streamUntil(int fd, long records, long target) {
  static const std::string requests(16384, '?');
  std::vector<char> incoming(1 << 18);
  long bytes = 0;
  auto last_reply = Clock::now();
  for (;;) {
    const bool sending = records < target;
    if (!sending && Clock::now() - last_reply > milliseconds(300))
      return records;
    pollfd ready{fd, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
    ::poll(&ready, 1, 100);
    if (ready.revents & POLLOUT)
      (void)send(fd, requests.data(), requests.size(), MSG_NOSIGNAL);
    if (ready.revents & (POLLIN | POLLHUP | POLLERR)) {
      const ssize_t n = recv(fd, incoming.data(), incoming.size(), 0);
      if (n == 0) fail("the service closed the connection");
      if (n > 0) {
        bytes += n;
        records = bytes / static_cast<long>(kRecordSize);
        last_reply = Clock::now();
      }
    }
  }
}

void cycles(const std::string& pid, long first, long second) {
  const int fd = connectOrFail();
  for (long i = 0; i < first; ++i) pollOrFail(fd);
  report(pid, first);
  // The rest streamed, to reach a million cycles in seconds. The socket is
  // non-blocking from here on.
  const long done = streamUntil(fd, 0, second - first);
  report(pid, first + done);
  close(fd);
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
  if (!sendAll(fd, "?", 1).empty()) fail("cannot send");
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
    if (!sendAll(fd, "?", 1).empty()) fail("cannot send");
    std::this_thread::sleep_for(milliseconds(50));
  }
  std::sort(delays.begin(), delays.end());
  std::printf("cpu_share=%.4f delay_ms_median=%.2f delay_ms_max=%.2f\n", share,
              delays[delays.size() / 2], delays.back());
  close(fd);
}

}  // namespace

int main(int argc, char** argv) try {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 4 && args[0] == "cycles") {
    cycles(args[1], std::stol(args[2]), std::stol(args[3]));
  } else if (args.size() == 3 && args[0] == "waitfile") {
    waitfile(args[1], args[2]);
  } else {
    (void)std::fprintf(
        stderr, "usage: probe cycles PID N1 N2 | probe waitfile PID DIR\n");
    return 2;
  }
  return 0;
} catch (const std::exception& error) {
  fail(error.what());
}
