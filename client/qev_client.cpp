// qev-client: polls the qev service and prints the value it publishes,
// checking every record it receives. Also measures the service: latency of
// polls back to back, and its top rate with requests streamed.

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "value_text.h"
#include "wire.h"
#include "write_all.h"

namespace {

using namespace qevclient;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr long kDefaultBenchPolls = 100000;

// A threshold range by the Monitoring Plugins guidelines: "10" is 0 to 10,
// "10:" 10 and up, "~:10" up to 10, "10:20" 10 to 20; a value outside it
// alerts, or with a leading '@' a value inside it.
struct Range {
  std::optional<double> start;  // none: no lower end
  std::optional<double> end;    // none: no upper end
  bool inside = false;
  bool alerts(double value) const {
    const bool in = (!start || value >= *start) && (!end || value <= *end);
    return in == inside;
  }
  // The range in one form, start:end, for the performance data.
  std::string text() const {
    const auto number = [](double value) {
      std::array<char, 32> text{};
      (void)std::snprintf(text.data(), text.size(), "%.15g", value);
      return std::string(text.data());
    };
    std::string text = inside ? "@" : "";
    text += start ? number(*start) + ":" : "~:";
    return end ? text + number(*end) : text;
  }
};

// The exit statuses and words of a monitoring plugin.
enum PluginStatus { kOk = 0, kWarning = 1, kCritical = 2, kUnknown = 3 };
constexpr const char* kStatusWords[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

struct Settings {
  std::string host = "127.0.0.1";
  std::uint16_t port = qev::kPort;
  long count = 1;  // 0: until interrupted
  bool count_given = false;
  milliseconds interval{1000};
  milliseconds timeout{5000};
  bool bench = false;
  double saturate_seconds = 0;
  std::string latencies_file;
  std::optional<Range> warning;   // -w: polls once, as a monitoring plugin
  std::optional<Range> critical;  // -c: likewise
  std::string file;               // --file: the value file, read beside
  std::optional<long> max_age;    // --max-age: seconds it may stay unchanged
  bool metrics = false;           // polls once, prints Prometheus' text format
  std::string output;             // -o: the file the metrics are written to
};

constexpr const char* kUsage =
    "Usage: qev-client [OPTION]...\n"
    "Polls the qev service and prints the value it publishes, one line per\n"
    "poll. Every reply is checked: 1024 bytes holding a signed 32-bit\n"
    "number's decimal text followed by zero bytes.\n"
    "\n"
    "  -H, --host HOST       the service's IPv4 or IPv6 address or host name\n"
    "                        (default 127.0.0.1)\n"
    "  -p, --port PORT       its TCP port (default 8792)\n"
    "  -n, --count N         poll N times; 0 polls until interrupted "
    "(default 1)\n"
    "  -i, --interval MS     pause between polls in milliseconds (default "
    "1000)\n"
    "  -t, --timeout TIME    longest wait for a connection or a record:\n"
    "                        10s, 500ms, or a bare number, milliseconds from\n"
    "                        100 up and seconds below, as monitoring plugins\n"
    "                        write it (default 5s)\n"
    "      --bench           poll back to back (--count times, default "
    "100000)\n"
    "                        and print polls per second and latency\n"
    "      --latencies FILE  with --bench, write each poll's latency in\n"
    "                        microseconds to FILE, one per line\n"
    "      --saturate SECS   stream requests without waiting for replies for\n"
    "                        SECS seconds, then read every reply and leave;\n"
    "                        print records per second\n"
    "  -w, --warning RANGE   poll once as a monitoring plugin: WARNING when\n"
    "                        the value alerts in RANGE (10, 10:, ~:10, 10:20,\n"
    "                        @10:20)\n"
    "  -c, --critical RANGE  likewise, CRITICAL; the line is the plugin's,\n"
    "                        with the value and the poll's time as\n"
    "                        performance data; exit status 0 OK, 1 WARNING,\n"
    "                        2 CRITICAL (not served: refused, unreachable,\n"
    "                        silent or malformed), 3 UNKNOWN (a usage error,\n"
    "                        a host name not found)\n"
    "      --file PATH       as a plugin, or with --metrics: also read the\n"
    "                        value file at PATH as qev does; a plugin turns\n"
    "                        CRITICAL when it holds no number\n"
    "      --max-age SECS    with --file, as a plugin: CRITICAL when the file\n"
    "                        is unchanged for longer\n"
    "      --metrics         poll once and print qev_up, qev_value, the\n"
    "                        poll's time and duration (and, with --file,\n"
    "                        qev_file_number and qev_file_age_seconds) in\n"
    "                        Prometheus' text format\n"
    "  -o, --output FILE     with --metrics, write FILE instead: whole, by\n"
    "                        rename, never through a link; status 1 when it\n"
    "                        cannot be written, 0 once it is, served or not\n"
    "  -h, --help            show this help and exit\n"
    "      --version         show the version and exit\n"
    "\n"
    "Exit status: 0 on success, 1 when the service cannot be reached or a\n"
    "reply is missing or malformed, 2 on a usage error.\n";

// Set when asked to be a monitoring plugin, whose usage errors are UNKNOWN.
bool asPlugin = false;

[[noreturn]] void usageError(const std::string& message) {
  if (asPlugin) {
    std::printf("QEV UNKNOWN - %s\n", message.c_str());
    std::exit(kUnknown);
  }
  (void)std::fprintf(stderr, "qev-client: %s\nTry 'qev-client --help'.\n",
                     message.c_str());
  std::exit(2);
}

[[noreturn]] void fail(const std::string& message) {
  (void)std::fprintf(stderr, "qev-client: %s\n", message.c_str());
  std::exit(1);
}

// Reads a timeout: "10s", "500ms", or a bare number, which is milliseconds
// from 100 up (as qev-client always took it) and seconds below, as the
// Monitoring Plugins write their timeouts: "-t 10" is ten seconds.
milliseconds parseTimeout(const char* text) {
  const std::string_view whole = text;
  const bool ms = whole.ends_with("ms");
  const bool s = !ms && whole.ends_with('s');
  const std::string digits(whole.substr(0, whole.size() - (ms  ? 2
                                                           : s ? 1
                                                               : 0)));
  long value = 0;
  const char* end = digits.data() + digits.size();
  const auto [stop, error] = std::from_chars(digits.data(), end, value);
  constexpr long kMostMs = 86'400'000;
  if (digits.empty() || error != std::errc{} || stop != end || value < 1 ||
      value > kMostMs)
    usageError(std::string("--timeout wants 10s, 500ms or a whole number, "
                           "up to a day, "
                           "not '") +
               text + "'");
  const bool seconds = s || (!ms && value < 100);
  if (seconds && value > kMostMs / 1000)
    usageError(std::string("--timeout '") + text + "' is over a day");
  return milliseconds(seconds ? value * 1000 : value);
}

long parseNumber(const char* text, const char* option, long least, long most) {
  long value = 0;
  const char* end = text + std::strlen(text);
  const auto [stop, error] = std::from_chars(text, end, value);
  if (error != std::errc{} || stop != end || value < least || value > most)
    usageError(std::string(option) + " wants a whole number from " +
               std::to_string(least) + " to " + std::to_string(most) +
               ", not '" + text + "'");
  return value;
}

// Reads a threshold range (see Range) strictly by the guidelines' syntax,
// numbers in decimal with no space or sign of plus, or names what is wrong.
Range parseRange(const char* text, const char* option) {
  Range range;
  std::string_view rest = text;
  if (rest.starts_with('@')) {
    range.inside = true;
    rest.remove_prefix(1);
  }
  const auto number = [&](std::string_view part) {
    const std::string_view digits = part.substr(part.starts_with('-') ? 1 : 0);
    const std::size_t point = digits.find('.');
    const auto decimal = [](std::string_view d) {
      return !d.empty() &&
             d.find_first_not_of("0123456789") == std::string_view::npos;
    };
    if (!decimal(digits.substr(0, point)) ||
        (point != std::string_view::npos && !decimal(digits.substr(point + 1))))
      usageError(std::string(option) +
                 " wants a range such as 10, 10:, ~:10, " +
                 "10:20 or @10:20, not '" + text + "'");
    // strtod, not from_chars: that would bring libm, which the image lacks.
    return std::strtod(std::string(part).c_str(), nullptr);
  };
  const std::size_t colon = rest.find(':');
  if (colon == std::string_view::npos) {
    range.start = 0;
    range.end = number(rest);
  } else {
    const std::string_view start = rest.substr(0, colon);
    const std::string_view end = rest.substr(colon + 1);
    if (start != "~") range.start = number(start);
    if (!end.empty()) range.end = number(end);
  }
  if (range.start && range.end && *range.start > *range.end)
    usageError(std::string(option) + " range '" + text +
               "' starts above its end");
  return range;
}

Settings parseArguments(int argc, char** argv) {
  enum {
    kBench = 256,
    kLatencies,
    kSaturate,
    kVersion,
    kMetrics,
    kFile,
    kMaxAge
  };
  static const option kOptions[] = {
      {"host", required_argument, nullptr, 'H'},
      {"port", required_argument, nullptr, 'p'},
      {"count", required_argument, nullptr, 'n'},
      {"interval", required_argument, nullptr, 'i'},
      {"timeout", required_argument, nullptr, 't'},
      {"bench", no_argument, nullptr, kBench},
      {"latencies", required_argument, nullptr, kLatencies},
      {"saturate", required_argument, nullptr, kSaturate},
      {"warning", required_argument, nullptr, 'w'},
      {"critical", required_argument, nullptr, 'c'},
      {"metrics", no_argument, nullptr, kMetrics},
      {"file", required_argument, nullptr, kFile},
      {"max-age", required_argument, nullptr, kMaxAge},
      {"output", required_argument, nullptr, 'o'},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, kVersion},
      {nullptr, 0, nullptr, 0}};
  constexpr const char* kShort = ":H:p:n:i:t:hw:c:o:";
  // A plugin's usage errors are UNKNOWN: whether it is one is found first,
  // from the options getopt takes (an abbreviation, --crit, included).
  opterr = 0;
  bool threshold = false;
  bool file = false;
  bool printing_metrics = false;
  for (int c; (c = getopt_long(argc, argv, kShort, kOptions, nullptr)) != -1;) {
    threshold = threshold || c == 'w' || c == 'c';
    file = file || c == kFile;
    printing_metrics = printing_metrics || c == kMetrics;
  }
  asPlugin = threshold || (file && !printing_metrics);
  optind = 0;  // glibc: start again, from the first argument
  Settings settings;
  for (int c; (c = getopt_long(argc, argv, kShort, kOptions, nullptr)) != -1;) {
    switch (c) {
      case 'H':
        settings.host = optarg;
        break;
      case 'p':
        settings.port =
            static_cast<std::uint16_t>(parseNumber(optarg, "--port", 1, 65535));
        break;
      case 'n':
        settings.count = parseNumber(optarg, "--count", 0, 1'000'000'000);
        settings.count_given = true;
        break;
      case 'i':
        settings.interval =
            milliseconds(parseNumber(optarg, "--interval", 0, 86'400'000));
        break;
      case 't':
        settings.timeout = parseTimeout(optarg);
        break;
      case kBench:
        settings.bench = true;
        break;
      case kLatencies:
        settings.latencies_file = optarg;
        break;
      case kSaturate:
        settings.saturate_seconds =
            static_cast<double>(parseNumber(optarg, "--saturate", 1, 3600));
        break;
      case 'w':
        settings.warning = parseRange(optarg, "--warning");
        break;
      case 'c':
        settings.critical = parseRange(optarg, "--critical");
        break;
      case kMetrics:
        settings.metrics = true;
        break;
      case kFile:
        settings.file = optarg;
        break;
      case kMaxAge:
        settings.max_age =
            parseNumber(optarg, "--max-age", 1, 10L * 365 * 86400);
        break;
      case 'o':
        settings.output = optarg;
        break;
      case 'h':
        (void)std::fputs(kUsage, stdout);
        std::exit(0);
      case kVersion:
        (void)std::printf("qev-client %s\n", QEV_VERSION);
        std::exit(0);
      case ':':
        usageError(std::string("option '") + argv[optind - 1] +
                   "' needs a value");
      default:
        usageError(std::string("unknown option '") + argv[optind - 1] + "'");
    }
  }
  if (optind < argc)
    usageError(std::string("unexpected argument '") + argv[optind] + "'");
  const int modes = (settings.bench ? 1 : 0) +
                    (settings.saturate_seconds > 0 ? 1 : 0) +
                    (settings.metrics ? 1 : 0) + (asPlugin ? 1 : 0);
  if (modes > 1)
    usageError("--bench, --saturate, --metrics and -w/-c go one at a time");
  if ((asPlugin || settings.metrics) && settings.count_given)
    usageError("-w, -c and --metrics poll once: no --count");
  if (!settings.latencies_file.empty() && !settings.bench)
    usageError("--latencies goes with --bench");
  if (!settings.output.empty() && !settings.metrics)
    usageError("--output goes with --metrics");
  if (settings.max_age && (settings.file.empty() || !asPlugin))
    usageError("--max-age goes with --file, as a plugin");
  if (settings.bench && !settings.count_given)
    settings.count = kDefaultBenchPolls;
  if (settings.bench && settings.count == 0)
    usageError("--bench needs a --count of at least 1");
  return settings;
}

std::int32_t pollOrFail(int fd, milliseconds timeout) {
  auto reply = pollOnce(fd, timeout);
  if (auto* failure = std::get_if<Failure>(&reply)) fail(failure->message);
  return std::get<std::int32_t>(reply);
}

// Polls `count` times (0: forever), printing each value on its own line.
void watch(int fd, const Settings& settings) {
  for (long i = 0; settings.count == 0 || i < settings.count; ++i) {
    if (i > 0) std::this_thread::sleep_for(settings.interval);
    std::printf("%d\n", pollOrFail(fd, settings.timeout));
    (void)std::fflush(stdout);
  }
}

double percentile(const std::vector<double>& sorted, double fraction) {
  const auto at = static_cast<std::size_t>(
      fraction * static_cast<double>(sorted.size() - 1));
  return sorted[at];
}

// Polls back to back and prints the rate and the latency distribution.
void bench(int fd, const Settings& settings) {
  std::vector<double> micros;
  micros.reserve(static_cast<std::size_t>(settings.count));
  const auto start = Clock::now();
  for (long i = 0; i < settings.count; ++i) {
    const auto sent = Clock::now();
    pollOrFail(fd, settings.timeout);
    micros.push_back(
        std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
  }
  const double seconds =
      std::chrono::duration<double>(Clock::now() - start).count();
  if (!settings.latencies_file.empty()) {
    FILE* out = std::fopen(settings.latencies_file.c_str(), "w");
    if (out == nullptr)
      fail("cannot write " + settings.latencies_file + ": " +
           std::strerror(errno));
    for (double us : micros) (void)std::fprintf(out, "%.2f\n", us);
    if (std::fclose(out) != 0)
      fail("cannot write " + settings.latencies_file + ": " +
           std::strerror(errno));
  }
  std::sort(micros.begin(), micros.end());
  std::printf(
      "polls=%ld seconds=%.3f rate=%.0f p50_us=%.2f p99_us=%.2f "
      "max_us=%.2f\n",
      settings.count, seconds, static_cast<double>(settings.count) / seconds,
      percentile(micros, 0.50), percentile(micros, 0.99), micros.back());
}

// Keeps the service's receive queue full for the given time and counts the
// whole, well-formed records that come back.
void saturate(int fd, const Settings& settings) {
  const auto start = Clock::now();
  const auto end =
      start + std::chrono::duration_cast<Clock::duration>(
                  std::chrono::duration<double>(settings.saturate_seconds));
  long checked = 0;
  auto streamed = streamRequests(
      fd, [&](long) { return Clock::now() < end; },
      [&](const Record& record) {
        ++checked;
        auto reply = checkRecord(record);
        if (auto* failure = std::get_if<Failure>(&reply))
          fail("record " + std::to_string(checked) + ": " + failure->message);
      },
      settings.timeout, true);
  if (auto* failure = std::get_if<Failure>(&streamed)) fail(failure->message);
  const long records = std::get<long>(streamed);
  const double seconds =
      std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("records=%ld seconds=%.3f rate=%.0f\n", records, seconds,
              static_cast<double>(records) / seconds);
}

// One poll from connecting to the record, with its duration in seconds.
struct Probe {
  std::variant<std::int32_t, Failure> reply;
  double seconds;
};

Probe probe(const Settings& settings) {
  const auto start = Clock::now();
  auto connected = connectTo(settings.host, settings.port, settings.timeout);
  Probe result{Failure{}, 0};
  if (auto* failure = std::get_if<Failure>(&connected)) {
    result.reply = *failure;
  } else {
    const int fd = std::get<int>(connected);
    result.reply = pollOnce(fd, settings.timeout);
    (void)close(fd);
  }
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return result;
}

// What the value file holds, read as qev reads it, and how long it has
// been unchanged.
struct FileCheck {
  std::optional<std::int32_t> value;
  std::string problem;        // why it gives no number, for a line
  std::optional<double> age;  // seconds since it last changed
};

FileCheck checkFile(const std::string& path) {
  FileCheck checked;
  const int fd =
      open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd == -1) {
    checked.problem = path + " cannot be read: " + std::strerror(errno);
    return checked;
  }
  struct stat status {};
  if (fstat(fd, &status) == 0) {
    timespec now{};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    checked.age =
        static_cast<double>(now.tv_sec - status.st_mtim.tv_sec) +
        static_cast<double>(now.tv_nsec - status.st_mtim.tv_nsec) / 1e9;
  }
  const qev::ValueText found = qev::readValueText(fd);
  (void)close(fd);  // read-only: nothing can be lost
  checked.value = found.value;
  if (!found.value)
    checked.problem =
        path + " holds no number: " + qev::describeNoNumber(found).data();
  return checked;
}

// Polls once as a monitoring plugin: one line, and the plugin's status. A
// service refused, unreachable, silent or answering wrongly is CRITICAL;
// only a host name that cannot be looked up is the check's own UNKNOWN.
int plugin(const Settings& settings) {
  const Probe polled = probe(settings);
  if (const auto* failure = std::get_if<Failure>(&polled.reply)) {
    const PluginStatus status = failure->lookup ? kUnknown : kCritical;
    std::printf("QEV %s - %s\n", kStatusWords[status],
                failure->message.c_str());
    return status;
  }
  const std::int32_t value = std::get<std::int32_t>(polled.reply);
  // A writer that broke leaves no number; one that stopped, an old file.
  std::string problem;
  if (!settings.file.empty()) {
    const FileCheck file = checkFile(settings.file);
    problem = file.problem;
    if (problem.empty() && settings.max_age && file.age &&
        *file.age > static_cast<double>(*settings.max_age))
      problem = settings.file + " unchanged for " +
                std::to_string(static_cast<long>(*file.age)) + " s";
  }
  const auto alerts = [value](const std::optional<Range>& range) {
    return range && range->alerts(value);
  };
  const PluginStatus status = !problem.empty() || alerts(settings.critical)
                                  ? kCritical
                              : alerts(settings.warning) ? kWarning
                                                         : kOk;
  const auto text = [](const std::optional<Range>& range) {
    return range ? range->text() : std::string();
  };
  std::printf("QEV %s - %d%s%s | value=%d;%s;%s time=%.6fs\n",
              kStatusWords[status], value, problem.empty() ? "" : ", ",
              problem.c_str(), value, text(settings.warning).c_str(),
              text(settings.critical).c_str(), polled.seconds);
  return status;
}

// Writes `text` as the file `path`: into a temporary beside it made anew
// (never one that was there, nor through a link), renamed into place only
// once whole and on disk, so that a reader finds the last whole file
// whatever fails. The directory is opened without following a link, so
// that whoever may swap it for one cannot send the file elsewhere. Returns
// what went wrong, or nothing.
std::optional<std::string> writeWhole(const std::string& path,
                                      const std::string& text) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "."
                          : slash == 0               ? "/"
                                                     : path.substr(0, slash);
  const std::string name = path.substr(slash + 1);  // npos + 1 is 0
  const int dirfd =
      open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dirfd == -1) {
    const int error = errno;
    struct stat status {};
    if (lstat(dir.c_str(), &status) == 0 && S_ISLNK(status.st_mode))
      return dir + " is a symbolic link, which is not followed";
    return dir + ": " + std::strerror(error);
  }
  // Hidden, and not ending in .prom: node_exporter never reads it.
  const std::string temporary = "." + name + "." + std::to_string(getpid());
  std::string why;
  const int fd =
      openat(dirfd, temporary.c_str(),
             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd == -1) {
    why = std::strerror(errno);
  } else {
    std::size_t done = 0;
    if (!qev::writeAll(fd, text.data(), text.size(), done) || fsync(fd) != 0)
      why = std::strerror(errno);
    if (close(fd) != 0 && why.empty()) why = std::strerror(errno);
    if (why.empty() &&
        renameat(dirfd, temporary.c_str(), dirfd, name.c_str()) != 0)
      why = std::strerror(errno);
    if (!why.empty()) (void)unlinkat(dirfd, temporary.c_str(), 0);
  }
  (void)close(dirfd);
  if (why.empty()) return std::nullopt;
  return why;
}

// Appends one metric, its help and type, to `text`.
void addMetric(std::string& text, const char* name, const char* help,
               double value) {
  std::array<char, 256> line{};
  (void)std::snprintf(line.data(), line.size(),
                      "# HELP %s %s\n# TYPE %s gauge\n%s %.15g\n", name, help,
                      name, name, value);
  text += line.data();
}

// Polls once and gives what Prometheus scrapes: whether the service
// answered, its value, when and how long that took, and with --file what
// the file holds. Printed, status 1 when not served; or written to
// --output, status 0 once written and 1 when it cannot be.
int metrics(const Settings& settings) {
  timespec polled_at{};
  (void)clock_gettime(CLOCK_REALTIME, &polled_at);
  const Probe polled = probe(settings);
  const auto* value = std::get_if<std::int32_t>(&polled.reply);
  std::string text;
  addMetric(text, "qev_up",
            "1 when qev answered a poll with a well-formed record.",
            value != nullptr ? 1 : 0);
  if (value != nullptr)
    addMetric(text, "qev_value", "The value qev publishes.", *value);
  addMetric(text, "qev_poll_duration_seconds",
            "Time to connect, poll and read the record.", polled.seconds);
  addMetric(text, "qev_poll_timestamp_seconds",
            "When the poll was made, in seconds since the epoch.",
            static_cast<double>(polled_at.tv_sec));
  if (!settings.file.empty()) {
    const FileCheck file = checkFile(settings.file);
    addMetric(text, "qev_file_number",
              "1 when the value file holds a number, as qev reads it.",
              file.value ? 1 : 0);
    if (file.age)
      addMetric(text, "qev_file_age_seconds",
                "Seconds since the value file last changed.", *file.age);
    if (!file.problem.empty())
      (void)std::fprintf(stderr, "qev-client: %s\n", file.problem.c_str());
  }
  if (value == nullptr)
    (void)std::fprintf(stderr, "qev-client: %s\n",
                       std::get<Failure>(polled.reply).message.c_str());
  if (settings.output.empty()) {
    (void)std::fputs(text.c_str(), stdout);
    return value != nullptr ? 0 : 1;
  }
  if (const auto why = writeWhole(settings.output, text)) {
    (void)std::fprintf(stderr, "qev-client: cannot write %s: %s\n",
                       settings.output.c_str(), why->c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) try {
  const Settings settings = parseArguments(argc, argv);
  if (asPlugin) return plugin(settings);
  if (settings.metrics) return metrics(settings);
  auto connected = connectTo(settings.host, settings.port, settings.timeout);
  if (auto* failure = std::get_if<Failure>(&connected)) fail(failure->message);
  const int fd = std::get<int>(connected);
  if (settings.saturate_seconds > 0) {
    saturate(fd, settings);
  } else if (settings.bench) {
    bench(fd, settings);
  } else {
    watch(fd, settings);
  }
  // Everything sent has been answered and read: nothing is lost.
  (void)close(fd);
  return 0;
} catch (const std::exception& error) {
  if (asPlugin) {
    std::printf("QEV UNKNOWN - %s\n", error.what());
    return kUnknown;
  }
  fail(error.what());
}
