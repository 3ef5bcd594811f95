// libFuzzer target: any bytes as the value file. The reader's result must
// match an independent model of how "%d" reads a number, within the part of
// the file that the reader looks at.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "value_file.h"

namespace {

bool isSpace(std::uint8_t c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

// What "%d" makes of `data`, or nothing: no number, a number out of the
// signed 32-bit range, or (when `more` follows the data) one that runs to
// the data's end and so may go on. Works on the digits as text, so that it
// shares no arithmetic with the reader.
std::optional<std::int32_t> model(const std::uint8_t* data, std::size_t size,
                                  bool more) {
  std::size_t i = 0;
  while (i < size && isSpace(data[i])) ++i;
  bool negative = false;
  if (i < size && (data[i] == '+' || data[i] == '-'))
    negative = data[i++] == '-';
  std::string digits;
  while (i < size && data[i] >= '0' && data[i] <= '9')
    digits += static_cast<char>(data[i++]);
  if (digits.empty() || (i == size && more)) return std::nullopt;
  digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
  const std::string limit = negative ? "2147483648" : "2147483647";
  if (digits.size() > limit.size() ||
      (digits.size() == limit.size() && digits > limit))
    return std::nullopt;
  const long long magnitude = std::stoll(digits);
  return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

void check(std::optional<std::int32_t> got, std::optional<std::int32_t> want,
           const char* what) {
  if (got == want) return;
  (void)std::fprintf(stderr, "%s: got %s%d, model says %s%d\n", what,
                     got ? "" : "nothing ", got.value_or(0),
                     want ? "" : "nothing ", want.value_or(0));
  std::abort();
}

}  // namespace

// Runs in a scratch directory of its own, where the reader finds "current".
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char dir[] = "/tmp/qev-fuzz-XXXXXX";
  if (mkdtemp(dir) == nullptr || chdir(dir) != 0) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const auto* text = reinterpret_cast<const char*>(data);
  check(qev::parseValue({text, size}, false), model(data, size, false),
        "parseValue, whole");
  check(qev::parseValue({text, size}, true), model(data, size, true),
        "parseValue, more follows");

  FILE* file = std::fopen(qev::kValueFile, "wb");
  if (file == nullptr || std::fwrite(data, 1, size, file) != size ||
      std::fclose(file) != 0)
    std::abort();
  constexpr std::int32_t kPrevious = -123456;
  qev::ValueSource source;
  source.current = kPrevious;  // as if read before
  source.read_one = true;
  (void)qev::readCurrentValue(source);
  const std::int32_t value = source.current;
  // A number is taken if it ends within the scan limit: the byte after it
  // is read to tell.
  const std::size_t seen = std::min(size, qev::kValueScanLimit + 1);
  const auto want = model(data, seen, size > qev::kValueScanLimit);
  check(value, want.value_or(kPrevious), "readCurrentValue");
  return 0;
}
