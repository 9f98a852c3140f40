#include "tools/zevactl/args.h"

#include <gtest/gtest.h>

namespace zevactl {
namespace {

TEST(ParseHexBytes, AcceptsTheUsualSpellings) {
  struct Case {
    std::vector<std::string> args;
    std::optional<std::vector<uint8_t>> want;
  };
  const std::vector<Case> cases = {
      {{"01", "a2", "B3"}, std::vector<uint8_t>{0x01, 0xA2, 0xB3}},
      {{"01A2B3"}, std::vector<uint8_t>{0x01, 0xA2, 0xB3}},
      {{"0x1F", "f"}, std::vector<uint8_t>{0x1F, 0x0F}},
      {{"01:A2,3-04"}, std::vector<uint8_t>{0x01, 0xA2, 0x03, 0x04}},
      {{"123"}, std::nullopt},
      {{"zz"}, std::nullopt},
      {{""}, std::nullopt},
      {{"1 2"}, std::nullopt},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_EQ(ParseHexBytes(c.args, &error), c.want) << ::testing::PrintToString(c.args);
  }
}

TEST(ParseSerialText, NormalisesToSixDigits) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"S01A2B3", "S01A2B3"}, {"s1a2b3", "S01A2B3"}, {"42", "S000042"}, {"S", std::nullopt},
      {"S1234567", std::nullopt}, {"SXYZ", std::nullopt}, {"", std::nullopt}};
  for (const auto& [text, want] : cases) EXPECT_EQ(ParseSerialText(text), want) << text;
}

TEST(ParseNumber, RangesAndBases) {
  EXPECT_EQ(ParseNumber("127", 0, 127), 127);
  EXPECT_EQ(ParseNumber("0x7F", 0, 127), 127);
  EXPECT_EQ(ParseNumber("-1", -1, 1), -1);
  EXPECT_EQ(ParseNumber("128", 0, 127), std::nullopt);
  EXPECT_EQ(ParseNumber("12a", 0, 127), std::nullopt);
  EXPECT_EQ(ParseNumber(" 5", 0, 127), std::nullopt);
  EXPECT_EQ(ParseNumber("", 0, 127), std::nullopt);
  EXPECT_EQ(ParseVersion("2.7"), std::make_pair(2, 7));
  EXPECT_EQ(ParseVersion("2"), std::nullopt);
  EXPECT_EQ(ParseVersion("2.256"), std::nullopt);
}

}  // namespace
}  // namespace zevactl
