// The output buffer and the readers of received blocks.
#include <gtest/gtest.h>

#include <cstring>

#include "support/fixture.h"
#include "transact/data_interface.h"

namespace zeva {
namespace {

std::vector<uint8_t> Out(const DriverContext& c) { return {c.transact.outputBuffer, c.transact.outputBuffer + 6}; }

TEST(OutputBufferTest, SetIntAndSetByteIgnoreOutOfRange) {
  test::DriverFixture f;
  DriverContext& c = *f.ctx;
  c.transact.outputBuffer[4] = 0x44;
  c.transact.outputBuffer[5] = 0x55;
  SetInt(c, 0x1234, 0);
  SetInt(c, 0xABCD, 1);
  EXPECT_EQ(Out(c), (std::vector<uint8_t>{0x34, 0x12, 0xCD, 0xAB, 0x44, 0x55}));
  SetInt(c, 1, 2);
  SetInt(c, 1, -1);
  SetByte(c, 256, 0);
  SetByte(c, -1, 0);
  SetByte(c, 5, 4);
  EXPECT_EQ(Out(c), (std::vector<uint8_t>{0x34, 0x12, 0xCD, 0xAB, 0x44, 0x55}));
  SetByte(c, 255, 3);
  EXPECT_EQ(c.transact.outputBuffer[3], 255);
  EXPECT_EQ(ClearBuffer(c), 0);
  EXPECT_EQ(Out(c), std::vector<uint8_t>(6, 0));
}

TEST(OutputBufferTest, SetOutWritesWordZeroAndCollectsBitsInWordOne) {
  test::DriverFixture f;
  DriverContext& c = *f.ctx;
  EXPECT_EQ(SetOut(c, 3, 1), 8);
  EXPECT_EQ(Out(c), (std::vector<uint8_t>{8, 0, 8, 0, 0, 0}));
  EXPECT_EQ(SetOut(c, 3, 0), 8);
  EXPECT_EQ(Out(c), (std::vector<uint8_t>{0, 0, 8, 0, 0, 0}));
  EXPECT_EQ(SetOut(c, 15, 0x10000), 0x8000) << "value is 16-bit: low half zero clears";
  EXPECT_EQ(Out(c), (std::vector<uint8_t>{0, 0, 8, 0x80, 0, 0}));
  EXPECT_TRUE(f.boxes.boxes().empty());
}

TEST(OutputBufferTest, SetOutOutOfRangeShowsItsBoxEvenWithoutMessageBoxes) {
  test::DriverFixture f;
  f.ctx->core.switches.noErrMsgBox = 1;
  for (int32_t bit : {16, -1, 0x7FFF}) {
    f.boxes.clear();
    EXPECT_EQ(SetOut(*f.ctx, bit, 1), IDOK);
    ASSERT_EQ(f.boxes.boxes().size(), 1u);
    EXPECT_EQ(f.boxes.boxes()[0].text, "Index out of range in SetOut");
    EXPECT_EQ(f.boxes.boxes()[0].caption, "JV ZEVA COM driver");
  }
  EXPECT_EQ(Out(*f.ctx), std::vector<uint8_t>(6, 0));
}

TEST(BlockReaderTest, Table) {
  const uint8_t block[6] = {0x34, 0x12, 0xCD, 0xAB, 0x00, 0x2A};
  EXPECT_EQ(GetInt(block, 0), 0x1234);
  EXPECT_EQ(GetInt(block, 1) & 0xFFFF, 0xABCD);
  EXPECT_EQ(GetInt(block, 2), 2);
  EXPECT_EQ(GetInt(block, -7), -7);
  EXPECT_EQ(GetInt(nullptr, 0), 0);
  EXPECT_EQ(GetByte(block, 3), 0xAB);
  EXPECT_EQ(GetByte(block, 5), 0x2A);
  EXPECT_EQ(GetByte(block, 6), 0);
  EXPECT_EQ(GetByte(nullptr, 0), 0);
  EXPECT_EQ(GetType(block), 0x2A);
  EXPECT_EQ(GetType(nullptr), 0);
}

}  // namespace
}  // namespace zeva
