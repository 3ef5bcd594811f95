// qev-client: polls the qev service and prints the value it publishes,
// checking every record it receives. Also measures the service: latency of
// polls back to back, and its top rate with requests streamed.

#include <getopt.h>
#include <unistd.h>

#include <algorithm>
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

#include "wire.h"

namespace {

using namespace qevclient;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr long kDefaultBenchPolls = 100000;

// A threshold range by the Monitoring Plugins guidelines: "10" is 0 to 10,
// "10:" 10 and up, "~:10" up to 10, "10:20" 10 to 20; a value outside it
// alerts, or with a leading '@' a value inside it.
struct Range {
  std::string text;             // as given, for the performance data
  std::optional<double> start;  // none: no lower end
  std::optional<double> end;    // none: no upper end
  bool inside = false;
  bool alerts(double value) const {
    const bool in = (!start || value >= *start) && (!end || value <= *end);
    return in == inside;
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
  bool metrics = false;           // polls once, prints Prometheus' text format
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
    "  -t, --timeout MS      longest wait for a connection or a record "
    "(default 5000)\n"
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
    "                        2 CRITICAL, 3 UNKNOWN (not served, malformed,\n"
    "                        timed out, or a usage error)\n"
    "      --metrics         poll once and print qev_up, qev_value and the\n"
    "                        poll's duration in Prometheus' text format\n"
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

// Reads a threshold range (see Range), or names what is wrong with it.
Range parseRange(const char* text, const char* option) {
  Range range;
  range.text = text;
  std::string_view rest = text;
  if (rest.starts_with('@')) {
    range.inside = true;
    rest.remove_prefix(1);
  }
  const auto number = [&](std::string_view part) {
    // strtod, not from_chars: that would bring libm, which the image lacks.
    const std::string digits(part);
    char* stop = nullptr;
    const double value = std::strtod(digits.c_str(), &stop);
    if (digits.empty() || stop != digits.c_str() + digits.size() ||
        !std::isfinite(value))
      usageError(std::string(option) +
                 " wants a range such as 10, 10:, ~:10, " +
                 "10:20 or @10:20, not '" + text + "'");
    return value;
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
  enum { kBench = 256, kLatencies, kSaturate, kVersion, kMetrics };
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
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, kVersion},
      {nullptr, 0, nullptr, 0}};
  Settings settings;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    asPlugin =
        asPlugin || argument.starts_with("-w") || argument.starts_with("-c") ||
        argument.starts_with("--warning") || argument.starts_with("--critical");
  }
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, ":H:p:n:i:t:hw:c:", kOptions,
                               nullptr)) != -1;) {
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
        settings.timeout =
            milliseconds(parseNumber(optarg, "--timeout", 1, 86'400'000));
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

// Polls once as a monitoring plugin: one line, and the plugin's status.
int plugin(const Settings& settings) {
  const Probe polled = probe(settings);
  if (const auto* failure = std::get_if<Failure>(&polled.reply)) {
    std::printf("QEV UNKNOWN - %s\n", failure->message.c_str());
    return kUnknown;
  }
  const std::int32_t value = std::get<std::int32_t>(polled.reply);
  const auto alerts = [value](const std::optional<Range>& range) {
    return range && range->alerts(value);
  };
  const PluginStatus status = alerts(settings.critical)  ? kCritical
                              : alerts(settings.warning) ? kWarning
                                                         : kOk;
  const auto text = [](const std::optional<Range>& range) {
    return range ? range->text.c_str() : "";
  };
  std::printf("QEV %s - %d | value=%d;%s;%s time=%.6fs\n", kStatusWords[status],
              value, value, text(settings.warning), text(settings.critical),
              polled.seconds);
  return status;
}

// Polls once and prints what Prometheus scrapes: whether the service
// answered, its value, and how long that took. Status 1 when not served.
int metrics(const Settings& settings) {
  const Probe polled = probe(settings);
  const auto* value = std::get_if<std::int32_t>(&polled.reply);
  std::printf(
      "# HELP qev_up 1 when qev answered a poll with a well-formed record.\n"
      "# TYPE qev_up gauge\nqev_up %d\n",
      value != nullptr ? 1 : 0);
  if (value != nullptr)
    std::printf(
        "# HELP qev_value The value qev publishes.\n"
        "# TYPE qev_value gauge\nqev_value %d\n",
        *value);
  std::printf(
      "# HELP qev_poll_duration_seconds Time to connect, poll and read the "
      "record.\n# TYPE qev_poll_duration_seconds gauge\n"
      "qev_poll_duration_seconds %.6f\n",
      polled.seconds);
  if (value != nullptr) return 0;
  (void)std::fprintf(stderr, "qev-client: %s\n",
                     std::get<Failure>(polled.reply).message.c_str());
  return 1;
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
