#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "server/core/result_set.h"

using Bytes = std::vector<uint8_t>;

namespace {
Bytes Of(const CByteBlock* block) {
  return block->length ? Bytes(block->data, block->data + block->length) : Bytes{};
}
}  // namespace

TEST(ColumnTypes, StatusSchemaEncoding) {
  CColumnTypes schema(1, -1);
  ASSERT_EQ(schema.AddColumn(kColumnByte, "Status"), 0);
  std::unique_ptr<CByteBlock> body(schema.BuildPacket());
  EXPECT_EQ(Of(body.get()), (Bytes{0xFF, 0xFF, 2, 'S', 't', 'a', 't', 'u', 's', 0}));
}

TEST(ColumnTypes, IncompleteSchemaBuildsNothingAndExtraColumnsAreRefused) {
  CColumnTypes schema(3, 10);
  schema.AddColumn(kColumnLong, "a");
  schema.AddColumn(kColumnLong, "b");
  EXPECT_EQ(schema.BuildPacket(), nullptr);
  schema.AddColumn(kColumnLong, "c");
  EXPECT_EQ(schema.AddColumn(kColumnLong, "d"), -1);
  std::unique_ptr<CByteBlock> body(schema.BuildPacket());
  auto decoded = qn::DecodeSchema(body->data, static_cast<size_t>(body->length));
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->rowCount, 10);
  ASSERT_EQ(decoded->columns.size(), 3u);
  EXPECT_EQ(decoded->columns[2].name, "c");

  CColumnTypes closed(2, -2);
  EXPECT_EQ(closed.AddColumn(kColumnLong, "a"), -1);
}

TEST(ResultRow, BoolStringBinaryEncoding) {
  CColumnTypes schema(3, 1);
  schema.AddColumn(kColumnBool, "b");
  schema.AddColumn(kColumnString, "s");
  schema.AddColumn(kColumnBinary, "x");
  CResultRow row(schema);
  const int32_t truth = 1;
  const std::string text = "ab";
  const CByteBlock blob("\x01\x02\x03", 3);
  ASSERT_EQ(row.AddValue(&truth), 0);
  ASSERT_EQ(row.AddValue(&text), 0);
  ASSERT_EQ(row.AddValue(&blob), 0);
  EXPECT_EQ(row.AddValue(&truth), -1);
  std::unique_ptr<CByteBlock> body(row.BuildPacket());
  EXPECT_EQ(Of(body.get()), (Bytes{1, 0, 'a', 'b', 0, 3, 0, 1, 2, 3}));
}

TEST(ResultRow, EveryTypeRoundTripsThroughTheClientDecoder) {
  CColumnTypes schema(8, 1);
  for (uint8_t t = 1; t <= 8; ++t) schema.AddColumn(t, "c" + std::to_string(t));
  CResultRow row(schema);
  const int32_t b = 0x10001, l = -5, d = 1700000000;
  const uint8_t by = 200;
  const int16_t sh = -2;
  const float f = 2.02f;
  const std::string s = "text";
  const CByteBlock bin("\0\xff", 2);
  row.AddValue(&b);
  row.AddValue(&by);
  row.AddValue(&sh);
  row.AddValue(&l);
  row.AddValue(&f);
  row.AddValue(&d);
  row.AddValue(&s);
  row.AddValue(&bin);
  std::unique_ptr<CByteBlock> body(row.BuildPacket());
  std::vector<CColumnDef> columns;
  for (int i = 0; i < 8; ++i) {
    CColumnDef c;
    schema.GetColumn(i, c);
    columns.push_back(c);
  }
  auto values = qn::DecodeRow(columns, body->data, static_cast<size_t>(body->length));
  ASSERT_TRUE(values);
  EXPECT_EQ(std::get<int32_t>((*values)[0]), 1);  // BOOL keeps the low 16 bits
  EXPECT_EQ(std::get<int32_t>((*values)[1]), 200);
  EXPECT_EQ(std::get<int32_t>((*values)[2]), -2);
  EXPECT_EQ(std::get<int32_t>((*values)[3]), -5);
  EXPECT_EQ(std::get<float>((*values)[4]), 2.02f);
  EXPECT_EQ(std::get<int32_t>((*values)[5]), d);
  EXPECT_EQ(std::get<std::string>((*values)[6]), "text");
  EXPECT_EQ(std::get<Bytes>((*values)[7]), (Bytes{0, 0xff}));
  // Any truncation of the body is refused by the decoder.
  for (int32_t n = 0; n < body->length; ++n)
    EXPECT_FALSE(qn::DecodeRow(columns, body->data, static_cast<size_t>(n))) << n;
}

TEST(ResultRow, UnknownColumnTypeTakesNoValue) {
  CColumnTypes schema(1, 1);
  schema.AddColumn(9, "odd");
  CResultRow row(schema);
  const int32_t v = 1;
  EXPECT_EQ(row.AddValue(&v), -1);
}

TEST(ResultRow, InnerZeroCannotShiftLaterColumns) {
  CColumnTypes schema(2, 1);
  schema.AddColumn(kColumnString, "s");
  schema.AddColumn(kColumnLong, "n");
  CResultRow row(schema);
  const std::string s("a\0b", 3);
  const int32_t n = 7;
  row.AddValue(&s);
  row.AddValue(&n);
  std::unique_ptr<CByteBlock> body(row.BuildPacket());
  std::vector<CColumnDef> columns{{kColumnString, "s"}, {kColumnLong, "n"}};
  auto values = qn::DecodeRow(columns, body->data, static_cast<size_t>(body->length));
  ASSERT_TRUE(values);
  EXPECT_EQ(std::get<int32_t>((*values)[1]), 7);
}

// Packets share one build buffer: each must hold its own bytes only, whatever
// was built before it, a large row included.
TEST(ResultRow, PacketsBuiltOneAfterAnotherHoldOnlyTheirOwnBytes) {
  CColumnTypes schema(1, -1);
  ASSERT_EQ(schema.AddColumn(kColumnString, "Text"), 0);
  const std::vector<std::string> texts{std::string(100000, 'L'), "ab", "", std::string(300, 's'), "c"};
  std::vector<std::unique_ptr<CByteBlock>> built;
  for (const std::string& text : texts) {
    CResultRow row(schema);
    ASSERT_EQ(row.AddValue(&text), 0);
    built.emplace_back(row.BuildPacket());
    built.emplace_back(schema.BuildPacket());
  }
  for (size_t i = 0; i < texts.size(); ++i) {
    Bytes want(texts[i].begin(), texts[i].end());
    want.push_back(0);
    EXPECT_EQ(Of(built[2 * i].get()), want) << "row " << i;
    EXPECT_EQ(Of(built[2 * i + 1].get()), (Bytes{0xFF, 0xFF, kColumnString, 'T', 'e', 'x', 't', 0}));
  }
}
