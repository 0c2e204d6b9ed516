#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "server/core/counter_block.h"

class CounterBlockTest : public ::testing::Test {
 protected:
  std::string name = "QnCounterTest." + std::to_string(::getpid());
};

TEST_F(CounterBlockTest, ThirtyThirdConnectionIsCountedWithoutASlot) {
  CCounterBlock block(name);
  ASSERT_NE(block.GetAddress(), nullptr);
  block.Initialise();
  for (int i = 0; i < 32; ++i) EXPECT_EQ(block.ClaimSlot("c" + std::to_string(i)), i);
  EXPECT_EQ(block.ClaimSlot("extra"), -1);
  EXPECT_EQ(block.GetTotal(CCounterBlock::kConnections), 33u);
  block.ReleaseSlot(5);
  EXPECT_EQ(block.GetTotal(CCounterBlock::kConnections), 32u);
  EXPECT_EQ(block.ClaimSlot("again"), 5);
}

TEST_F(CounterBlockTest, LongNamesAreCutTo59Characters) {
  CCounterBlock block(name);
  block.Initialise();
  const int slot = block.ClaimSlot(std::string(80, 'h'));
  const uint8_t* base = block.GetAddress() + CCounterBlock::kSlotSize * slot + 4;
  EXPECT_EQ(base[2 * 58], 'h');
  EXPECT_EQ(base[2 * 59], 0);
  EXPECT_EQ(base[2 * 59 + 1], 0);
  block.CountIn(slot, 10);
  block.CountOut(slot, 7);
  EXPECT_EQ(block.Read32(CCounterBlock::kSlotSize * slot + 0x80), 1u);
  EXPECT_EQ(block.Read32(CCounterBlock::kSlotSize * slot + 0x88), 10u);
  EXPECT_EQ(block.Read32(CCounterBlock::kSlotSize * slot + 0x8C), 7u);
}

TEST_F(CounterBlockTest, SecondHolderOfTheSameNameGetsNoMemory) {
  CCounterBlock first(name);
  ASSERT_NE(first.GetAddress(), nullptr);
  CCounterBlock second(name);
  EXPECT_EQ(second.GetAddress(), nullptr);
  first.Close();
  CCounterBlock third(name);
  EXPECT_NE(third.GetAddress(), nullptr);
}
