// The value-file reader, over real files in a scratch working directory.

#include "value_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "harness.h"

namespace {

namespace fs = std::filesystem;

// Runs each test in an empty directory of its own, as the service would run
// in its working directory.
class ValueFileTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::current_path(work_.path); }
  void TearDown() override { fs::current_path(previous_); }
  static void write(const std::string& content) {
    std::ofstream("current", std::ios::binary | std::ios::trunc) << content;
  }
  // Reads the value file once into `value`, as the serving loop does.
  qev::Found read(std::int32_t& value) {
    source_.current = value;
    const qev::Found found = qev::readCurrentValue(source_);
    value = source_.current;
    return found;
  }

  qevtest::TempDir work_;
  fs::path previous_ = fs::current_path();
  qev::ValueSource source_;
};

struct Case {
  const char* name;
  std::string content;
  std::int32_t expected;  // starting from a previous value of 99
  // Megabytes of `fill` before the content (after it with `fill_after`),
  // made by the one test that needs them.
  int megabytes = 0;
  char fill = ' ';
  bool fill_after = false;

  friend void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
};

const Case kCases[] = {
    {"NumberAndLineEnd", "42\n", 42},
    {"SpacesThenNegativeThenWord", "  -7 apples", -7},
    {"PlusSign", "+5", 5},
    {"DigitsThenLetters", "12abc", 12},
    {"HexStopsAtX", "0x1F", 0},
    {"LeadingZeros", "0000000000000000000000042\n", 42},
    {"TabsAndLineEndsFirst", "\t\r\n\v\f 8", 8},
    {"NoLineEnd", "123", 123},
    {"Largest", "2147483647\n", 2147483647},
    {"Smallest", "-2147483648\n", INT32_MIN},
    {"OneAboveLargest", "2147483648\n", 99},
    {"OneBelowSmallest", "-2147483649\n", 99},
    {"FarOutOfRange", "99999999999999999999999999\n", 99},
    {"EmptyFile", "", 99},
    {"OnlyWhiteSpace", "  \n\n", 99},
    {"BeginsWithLetters", "abc 12", 99},
    {"LoneMinus", "-", 99},
    {"LonePlus", "+\n", 99},
    {"SignThenSpace", "- 5", 99},
    {"TwoSigns", "--5", 99},
    {"NulBytesFirst",
     std::string("\0\0"
                 "42",
                 4),
     99},
    {"NulEndsTheNumber",
     std::string("42\0"
                 "7",
                 4),
     42},
    {"BinaryBytes", "\xff\xfe\x80\x01", 99},
    {"SecondLineIgnored", "3\n4\n", 3},
    {"MegabytesOfSpacesThenNumber", "5", 99, 4},
    {"MegabytesOfDigits", "", 99, 4, '7'},
    {"MegabytesOfZeros", "", 99, 4, '0'},
    {"NumberThenMegabytes", "17\n", 17, 4, 'z', true},
    {"NumberEndsJustInsideScanLimit", std::string(4093, ' ') + "61", 61},
    {"NumberEndingAtTheFilesEndAtTheScanLimit", std::string(4094, ' ') + "61",
     61},
    {"NumberCrossesScanLimit", std::string(4094, ' ') + "612\n", 99},
};

class ValueFileCases : public ValueFileTest,
                       public ::testing::WithParamInterface<Case> {};

TEST_P(ValueFileCases, ReadsLeadingNumberOrKeepsPrevious) {
  const Case& c = GetParam();
  const std::string fill(static_cast<std::size_t>(c.megabytes) << 20, c.fill);
  write(c.fill_after ? c.content + fill : fill + c.content);
  std::int32_t value = 99;
  source_.read_one = true;  // 99 was read before
  read(value);
  EXPECT_EQ(value, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Contents, ValueFileCases, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return info.param.name; });

// A lack of a number lasts once reads close together have found it for a
// second; a gap between two reads only starts that second again, and a
// check made late cannot end it.
TEST_F(ValueFileTest, ALackLastsAfterASecondOfReadsAndAGapStartsItAgain) {
  write("");
  std::int32_t value = 0;
  EXPECT_EQ(read(value), qev::Found::no_number);
  std::this_thread::sleep_for(qev::kCloseTogether * 2);
  EXPECT_TRUE(qev::judging(source_.no_number)) << "a late check ends nothing";
  const auto restarted = std::chrono::steady_clock::now();
  int reads = 0;
  while (qev::judging(source_.no_number) &&
         std::chrono::steady_clock::now() - restarted <
             std::chrono::seconds(30)) {
    read(value);
    ++reads;
    std::this_thread::sleep_for(qev::kJudgePause);
  }
  EXPECT_GE(std::chrono::steady_clock::now() - restarted, qev::kLastsAfter);
  EXPECT_GE(reads, qev::kLastsAfterReads);
  EXPECT_FALSE(qev::judging(source_.no_number)) << "it lasted, and is named";
  EXPECT_EQ(value, 0);
}

TEST_F(ValueFileTest, ReplacedFileIsReadWithItsNewContent) {
  std::int32_t value = 0;
  write("1\n");
  read(value);
  std::ofstream("next", std::ios::binary) << "2\n";
  fs::rename("next", "current");
  read(value);
  EXPECT_EQ(value, 2);
}

TEST_F(ValueFileTest, DirectoryNamedCurrentKeepsPreviousValue) {
  fs::create_directory("current");
  std::int32_t value = 5;
  read(value);
  EXPECT_EQ(value, 5);
}

TEST_F(ValueFileTest, FifoNamedCurrentDoesNotHang) {
  ASSERT_EQ(mkfifo("current", 0600), 0);
  std::int32_t value = 5;
  read(value);
  EXPECT_EQ(value, 5);
}

TEST_F(ValueFileTest, MissingFileIsFoundUnopened) {
  std::int32_t value = 7;
  EXPECT_EQ(read(value), qev::Found::unopened);
  EXPECT_EQ(value, 7);
}

// The parser alone, for what a file cannot show: a buffer that stops in
// the middle of the data.
TEST(ParseValue, NumberRunningToTheEndOfAPartialBufferIsNotTaken) {
  EXPECT_EQ(qev::parseValue("12", true), std::nullopt);
  EXPECT_EQ(qev::parseValue("12", false), 12);
  EXPECT_EQ(qev::parseValue("12 ", true), 12);
  EXPECT_EQ(qev::parseValue("   ", true), std::nullopt);
}

}  // namespace
