#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "common/byte_block.h"
#include "common/crc32.h"

TEST(ByteBlock, EmptyBlocksHoldNoBuffer) {
  CByteBlock zero("abc", 0);
  CByteBlock negative("abc", -5);
  EXPECT_EQ(zero.length, 0);
  EXPECT_EQ(zero.data, nullptr);
  EXPECT_EQ(negative.length, 0);
  EXPECT_EQ(negative.data, nullptr);
}

TEST(ByteBlock, MidAtEdges) {
  CByteBlock empty;
  std::unique_ptr<CByteBlock> a(empty.Mid(0));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->length, 0);

  CByteBlock three("xyz", 3);
  std::unique_ptr<CByteBlock> b(three.Mid(3));
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->length, 0);
  std::unique_ptr<CByteBlock> c(three.Mid(1));
  ASSERT_EQ(c->length, 2);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(c->data), 2), "yz");
  EXPECT_EQ(three.Mid(-1), nullptr);
}

TEST(ByteBlock, AppendCopiesAndSelfAppendIsIgnored) {
  CByteBlock head("ab", 2);
  CByteBlock empty;
  const uint8_t* before = head.data;
  head.Append(empty);
  EXPECT_EQ(head.length, 2);
  EXPECT_NE(head.data, before);  // a fresh buffer with the same bytes
  EXPECT_EQ(std::string(reinterpret_cast<char*>(head.data), 2), "ab");

  head.Append(head);
  EXPECT_EQ(head.length, 2);

  CByteBlock tail("cd", 2);
  head.Append(tail);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(head.data), 4), "abcd");
  EXPECT_EQ(tail.length, 2);

  CByteBlock copy = head;
  copy = copy;
  EXPECT_EQ(std::string(reinterpret_cast<char*>(copy.data), 4), "abcd");
  EXPECT_NE(copy.data, head.data);
}

TEST(Crc32, TheStoredFileNameVariant) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08X", ComputeStringCrc32(""));
  EXPECT_STREQ(buf, "00000000");
  EXPECT_EQ(ComputeStringCrc32("abc"), 0x5CC2DA5Au);
  EXPECT_EQ(ComputeStringCrc32("ABC"), 0x5CC2DA5Au);
  EXPECT_EQ(ComputeFileCrc32("/nonexistent/file/for/crc"), 0u);
}
