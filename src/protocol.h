// What crosses the wire between qev and its client: the port, the record,
// and what makes a record well-formed. The service, qev-client, the
// benchmarks and the tests all take these from here.
#pragma once

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <variant>

namespace qev {

// TCP port the service listens on, on every IPv4 interface.
inline constexpr std::uint16_t kPort = 8792;

// Every reply is exactly this many bytes: the value's decimal text, then
// zero bytes. It is also the most that one receive of a request takes in.
inline constexpr std::size_t kRecordSize = 1024;
using Record = std::array<char, kRecordSize>;

// The longest text a value can have: "-2147483648". A record always has
// room for it and at least one zero byte after.
inline constexpr std::size_t kMaxValueText = 11;
static_assert(kMaxValueText < kRecordSize);

// Checks a whole record of kRecordSize bytes: a signed 32-bit value's
// decimal text exactly as "%d" writes it (optional '-', digits without
// leading zeros), then zero bytes to the end. Returns the value, or what is
// wrong in words fit for an operator.
inline std::variant<std::int32_t, std::string> checkRecord(
    std::string_view record) {
  if (record.size() != kRecordSize)
    return "malformed record: " + std::to_string(record.size()) +
           " bytes, not " + std::to_string(kRecordSize);
  const std::size_t length = std::min(record.find('\0'), record.size());
  if (length == record.size())
    return std::string("malformed record: no zero bytes after the text");
  const std::size_t junk = record.find_first_not_of('\0', length);
  if (junk != std::string_view::npos)
    return "malformed record: byte " + std::to_string(junk) +
           " after the text is not zero";
  if (length == 0)
    return std::string("malformed record: no text before the zero bytes");
  const std::string_view text = record.substr(0, length);
  std::string quoted = "'";
  for (const char c : text.substr(0, 40)) {
    std::array<char, 8> escaped{};
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7f)
      (void)std::snprintf(escaped.data(), escaped.size(), "\\x%02x", byte);
    else
      escaped[0] = c;
    quoted += escaped.data();
  }
  quoted += '\'';
  const bool negative = text[0] == '-';
  const std::string_view digits = text.substr(negative ? 1 : 0);
  const bool all_digits =
      !digits.empty() &&
      digits.find_first_not_of("0123456789") == std::string_view::npos;
  if (!all_digits || (digits.size() > 1 && digits[0] == '0') ||
      (negative && digits == "0"))
    return "malformed record: text " + quoted + " is not a decimal number";
  std::int64_t magnitude = 0;
  if (digits.size() <= 10)
    (void)std::from_chars(digits.data(), digits.data() + digits.size(),
                          magnitude);
  const std::int64_t limit = negative ? std::int64_t{1} << 31 : INT32_MAX;
  if (digits.size() > 10 || magnitude > limit)
    return "malformed record: " + quoted +
           " is outside the signed 32-bit range";
  return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

}  // namespace qev
