#include "tools/zevactl/program_file.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace zevactl {
namespace {

struct HexCase {
  const char* name;
  std::string text;
  bool ok;
  std::vector<uint8_t> bytes;  // when ok
  size_t gapBytes;
  std::string error;           // a part of the reason, when refused
};

void PrintTo(const HexCase& c, std::ostream* os) { *os << c.name; }

class IntelHexTest : public ::testing::TestWithParam<HexCase> {};

TEST_P(IntelHexTest, ParsesOrRefusesWithTheLine) {
  const HexCase& c = GetParam();
  std::string error;
  const auto image = ParseIntelHex(c.text, &error);
  ASSERT_EQ(image.has_value(), c.ok) << error;
  if (c.ok) {
    EXPECT_EQ(image->bytes, c.bytes);
    EXPECT_EQ(image->gapBytes, c.gapBytes);
  } else {
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
  }
}

const char* const kEof = ":00000001FF\n";

INSTANTIATE_TEST_SUITE_P(
    Records, IntelHexTest,
    ::testing::Values(
        HexCase{"two_records", ":0300000001020AF0\n:02000300AABB96\n" + std::string(kEof), true,
                {0x01, 0x02, 0x0A, 0xAA, 0xBB}, 0, ""},
        HexCase{"crlf_and_blank_lines", ":0100000042BD\r\n\r\n" + std::string(":00000001FF\r\n"), true, {0x42}, 0, ""},
        HexCase{"gap_filled_with_ff", ":0100000011EE\n:0100030022DA\n" + std::string(kEof), true,
                {0x11, 0xFF, 0xFF, 0x22}, 2, ""},
        HexCase{"image_starts_at_zero", ":0100020033CA\n" + std::string(kEof), true, {0xFF, 0xFF, 0x33}, 2, ""},
        HexCase{"segment_base", ":020000020001FB\n:0100000044BB\n" + std::string(kEof), true,
                [] { std::vector<uint8_t> v(17, 0xFF); v[16] = 0x44; return v; }(), 16, ""},
        HexCase{"start_address_ignored", ":0400000500000000F7\n:0100000042BD\n" + std::string(kEof), true, {0x42}, 0,
                ""},
        HexCase{"same_data_twice", ":0100000042BD\n:0100000042BD\n" + std::string(kEof), true, {0x42}, 0, ""},
        HexCase{"checksum_error", ":0100000042BD\n:0100010043BD\n" + std::string(kEof), false, {}, 0,
                "line 2: checksum error"},
        HexCase{"bad_digit", ":01000000G2BD\n" + std::string(kEof), false, {}, 0, "line 1: not a hexadecimal digit"},
        HexCase{"length_mismatch", ":0200000042BC\n" + std::string(kEof), false, {}, 0, "line 1: the length byte"},
        HexCase{"no_colon", ":0100000042BD\n0100000042BD\n" + std::string(kEof), false, {}, 0, "line 2: a record"},
        HexCase{"unknown_type", ":0100000642B7\n" + std::string(kEof), false, {}, 0, "line 1: unknown record type 6"},
        HexCase{"overlap_differs", ":0100000042BD\n:0100000043BC\n" + std::string(kEof), false, {}, 0,
                "line 2: data overlaps"},
        HexCase{"no_end_record", ":0100000042BD\n", false, {}, 0, "no end-of-file record"},
        HexCase{"data_after_end", std::string(kEof) + ":0100000042BD\n", false, {}, 0, "line 2: data after"},
        HexCase{"beyond_64k", ":020000040001F9\n:0100000042BD\n" + std::string(kEof), false, {}, 0,
                "line 2: the program is larger than 65535 bytes"},
        HexCase{"byte_at_65535", ":01FFFF0042BF\n" + std::string(kEof), false, {}, 0, "larger than 65535"}),
    [](const ::testing::TestParamInfo<HexCase>& info) { return info.param.name; });

struct FormatCase {
  const char* name;  // the fault it catches
  std::string file;  // the name the format may come from
  std::string content;
  ProgramFormat format;
  bool ok;
  bool fromHex;       // when ok
  size_t bytes;       // when ok: the image's length
  std::string error;  // a part of the reason, when refused
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.name; }

class ProgramFormatTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(ProgramFormatTest, TheNameOrTheUserDecidesNeverAGuess) {
  const FormatCase& c = GetParam();
  std::string error;
  const auto image = ReadProgram(c.file, c.content, c.format, &error);
  ASSERT_EQ(image.has_value(), c.ok) << error;
  if (c.ok) {
    EXPECT_EQ(image->fromHex, c.fromHex);
    EXPECT_EQ(image->bytes.size(), c.bytes);
  } else {
    EXPECT_EQ(error.rfind(c.file + ": ", 0), 0u) << error;
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
  }
}

const std::string kHexOne = ":0100000042BD\n:00000001FF\n";
const std::string kBom = "\xEF\xBB\xBF";

INSTANTIATE_TEST_SUITE_P(
    Detection, ProgramFormatTest,
    ::testing::Values(
        FormatCase{"hex_after_blank_lines", "p", "\n  " + kHexOne, ProgramFormat::kAuto, true, true, 1, ""},
        FormatCase{"hex_by_extension", "P.HEX", kHexOne, ProgramFormat::kAuto, true, true, 1, ""},
        // A UTF-8 mark before HEX once went down as 29 bytes of text.
        FormatCase{"byte_order_mark_hex", "p.hex", kBom + kHexOne, ProgramFormat::kAuto, true, true, 1, ""},
        FormatCase{"byte_order_mark_no_extension", "p", kBom + kHexOne, ProgramFormat::kAuto, true, true, 1, ""},
        FormatCase{"binary_by_extension", "p.bin", std::string(":\x00\x01", 3), ProgramFormat::kAuto, true, false, 3,
                   ""},
        FormatCase{"binary_when_told", "p.hex", kHexOne, ProgramFormat::kBinary, true, false, kHexOne.size(), ""},
        FormatCase{"hex_when_told", "p.bin", kHexOne, ProgramFormat::kHex, true, true, 1, ""},
        // Text that is not HEX once went down as a binary program.
        FormatCase{"plain_text_refused", "notes.txt", "hello\n", ProgramFormat::kAuto, false, false, 0,
                   "line 1: a record must start"},
        // A ':' file with a NUL once went down as binary too.
        FormatCase{"colon_with_nul_refused", "p", std::string(":\x00\x01", 3), ProgramFormat::kAuto, false, false, 0,
                   "--format bin"},
        FormatCase{"hex_with_nul_names_line", "p.hex", std::string(":0100000042BD\n:00\x00", 18),
                   ProgramFormat::kAuto, false, false, 0, "line 2"},
        FormatCase{"binary_unnamed_refused", "p", std::string("\x01\x02\xFF", 3), ProgramFormat::kAuto, false, false,
                   0, "--format bin"},
        FormatCase{"empty_refused", "p", "", ProgramFormat::kAuto, false, false, 0, "no end-of-file record"},
        FormatCase{"empty_binary_refused", "p.bin", "", ProgramFormat::kAuto, false, false, 0, "empty"}),
    [](const ::testing::TestParamInfo<FormatCase>& info) { return info.param.name; });

TEST(ProgramFormatNames, FormatsAndExtensions) {
  EXPECT_EQ(ParseProgramFormat("bin"), ProgramFormat::kBinary);
  EXPECT_EQ(ParseProgramFormat("hex"), ProgramFormat::kHex);
  EXPECT_EQ(ParseProgramFormat("auto"), ProgramFormat::kAuto);
  EXPECT_EQ(ParseProgramFormat("BIN"), std::nullopt);
  EXPECT_EQ(FormatOfName("dir.bin/app"), ProgramFormat::kAuto);  // the folder's name says nothing
  EXPECT_EQ(FormatOfName("/x/app.ihx"), ProgramFormat::kHex);
  EXPECT_EQ(FormatOfName(".bin"), ProgramFormat::kAuto);
}

class ProgramFileTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& content) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("zevactl_pf_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                                     "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
};

TEST_F(ProgramFileTest, RawAndHexAndRefusals) {
  std::string error;
  auto raw = LoadProgramFile(Write("p.bin", std::string("\x01\x02\xFF", 3)), ProgramFormat::kAuto, &error);
  ASSERT_TRUE(raw) << error;
  EXPECT_FALSE(raw->fromHex);
  EXPECT_EQ(raw->bytes, (std::vector<uint8_t>{1, 2, 0xFF}));

  auto hex = LoadProgramFile(Write("p.hex", ":0100000042BD\n:00000001FF\n"), ProgramFormat::kAuto, &error);
  ASSERT_TRUE(hex) << error;
  EXPECT_TRUE(hex->fromHex);
  EXPECT_EQ(hex->bytes, (std::vector<uint8_t>{0x42}));

  EXPECT_FALSE(LoadProgramFile(Write("bad.hex", ":0100000042BE\n:00000001FF\n"), ProgramFormat::kAuto, &error));
  EXPECT_NE(error.find("bad.hex: line 1: checksum error"), std::string::npos) << error;
  EXPECT_FALSE(LoadProgramFile(Write("big.bin", std::string(65536, '\x07')), ProgramFormat::kAuto, &error));
  EXPECT_NE(error.find("larger than 65535"), std::string::npos) << error;
  EXPECT_TRUE(LoadProgramFile(Write("max.bin", std::string(65535, '\x07')), ProgramFormat::kAuto, &error)) << error;
  EXPECT_FALSE(LoadProgramFile(Write("empty.bin", ""), ProgramFormat::kAuto, &error));
  EXPECT_FALSE(LoadProgramFile((dir_ / "missing").string(), ProgramFormat::kAuto, &error));
}

// Every file the tools read goes through one reader: regular files only, and
// never more than its bound held. Each row once crashed or hung the tool.
TEST_F(ProgramFileTest, OnlyRegularFilesOfBoundedSize) {
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  const struct {
    const char* fault;
    std::string path;
    std::string error;
  } rows[] = {
      {"a directory threw std::ios_failure", dir_.string(), "is a directory"},
      {"an endless device read until bad_alloc", "/dev/zero", "is not a regular file"},
      {"a FIFO nobody writes blocked the open", (dir_ / "fifo").string(), "is not a regular file"},
      {"a huge file was read whole", Write("huge.hex", std::string(kMaxProgramFileBytes + 1, ':')), "larger than"},
  };
  for (const auto& row : rows) {
    std::string error;
    EXPECT_FALSE(LoadProgramFile(row.path, ProgramFormat::kAuto, &error)) << row.fault;
    EXPECT_EQ(error.rfind(row.path + ": ", 0), 0u) << row.fault << ": " << error;
    EXPECT_NE(error.find(row.error), std::string::npos) << row.fault << ": " << error;
  }
}

}  // namespace
}  // namespace zevactl
