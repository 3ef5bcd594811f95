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
  // Reads the value file as the serving loop does, with no connection.
  void read(std::int32_t& value) {
    ASSERT_EQ(qev::readCurrentValue(value, reader_), std::nullopt);
  }

  qevtest::TempDir work_;
  fs::path previous_ = fs::current_path();
  qev::ValueReader reader_;
};

struct Case {
  const char* name;
  std::string content;
  std::int32_t expected;  // starting from a previous value of 99

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
    {"MegabytesOfSpacesThenNumber", std::string(4 << 20, ' ') + "5", 99},
    {"MegabytesOfDigits", std::string(4 << 20, '7'), 99},
    {"MegabytesOfZeros", std::string(4 << 20, '0'), 99},
    {"NumberThenMegabytes", "17\n" + std::string(4 << 20, 'z'), 17},
    {"NumberEndsJustInsideScanLimit", std::string(4093, ' ') + "61", 61},
    {"NumberEndingAtTheFilesEndAtTheScanLimit", std::string(4094, ' ') + "61",
     61},
    {"NumberCrossesScanLimit", std::string(4094, ' ') + "612\n", 99},
};

class ValueFileCases : public ValueFileTest,
                       public ::testing::WithParamInterface<Case> {};

TEST_P(ValueFileCases, ReadsLeadingNumberOrKeepsPrevious) {
  write(GetParam().content);
  std::int32_t value = 99;
  reader_.read_one = true;  // 99 was read before
  read(value);
  EXPECT_EQ(value, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Contents, ValueFileCases, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return info.param.name; });

// Before any number was read, a file without one (a writer's rewrite caught
// between truncate and write) is read again until it holds one; a lack that
// lasts a second is named, and the 0 the service starts with stays.
TEST_F(ValueFileTest, AtFirstCycleAFileWithoutANumberIsWaitedForASecond) {
  std::int32_t value = 0;  // as the serving loop starts
  write("");
  std::thread writer([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    write("314\n");
  });
  read(value);
  writer.join();
  EXPECT_EQ(value, 314);
  write("");
  read(value);
  EXPECT_EQ(value, 314) << "a number read: the previous value stays";

  qev::ValueReader fresh;
  std::int32_t first = 0;
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(qev::readCurrentValue(first, fresh), std::nullopt);
  EXPECT_EQ(first, 0);
  EXPECT_GE(std::chrono::steady_clock::now() - started,
            std::chrono::milliseconds(900));
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

TEST_F(ValueFileTest, WaitsForAMissingFileThenReadsIt) {
  std::thread writer([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::ofstream("next", std::ios::binary) << "77\n";
    fs::rename("next", "current");
  });
  std::int32_t value = 0;
  read(value);
  writer.join();
  EXPECT_EQ(value, 77);
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
