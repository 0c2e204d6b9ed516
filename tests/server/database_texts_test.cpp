// The database service's readers of catalogue and client texts, its macro
// expansion, and its value tables, on the catalogue's own examples and on
// broken texts.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <limits>

#include "common/helpers.h"
#include "support/local_time.h"
#include "server/core/result_set.h"
#include "server/services/database_texts.h"
#include "server/services/database_values.h"

namespace {

using namespace qn::dbservice;
using Strings = std::vector<std::string>;

TEST(DatabaseTexts, MultipleChoices) {
  const struct {
    const char* text;
    Strings choices;
  } cases[] = {
      {"\"Red\", \"Blue\"", {"Red", "Blue"}},
      {",, \"Red\",\"Blue\"  ,", {"Red", "Blue"}},
      {"\"Say \\\"hi\\\"\", \"x\"", {"Say \"hi\"", "x"}},
      {"\"\"", {""}},
      {"", {}},
      {"Red, \"Blue\"", {}},            // an unquoted entry ends the list
      {"\"Red\", Blue, \"Green\"", {"Red"}},
      {"\"Red", {}},                    // no closing quote
      {"\"Red\\\"", {}},                // the only later quote is escaped
  };
  for (const auto& c : cases) EXPECT_EQ(ParseMultipleChoices(c.text), c.choices) << c.text;
}

TEST(DatabaseTexts, ProcedureParameters) {
  const struct {
    const char* text;
    bool ok;
    std::vector<int> types;
    Strings defaults;
  } cases[] = {
      {"12:$USERID, 4", true, {12, 4}, {"$USERID", ""}},
      {"4, 12", true, {4, 12}, {"", ""}},
      {"4 12", true, {4, 12}, {"", ""}},
      {"12:\"hello\", 4", true, {12, 4}, {"hello", ""}},
      {"12:\"a,b\",4", true, {12, 4}, {"a,b", ""}},
      // An unquoted default not beginning with "$" ends the list.
      {"4, 12:abc, 4, 4", true, {4, 12}, {"", ""}},
      {"12:$USERID", true, {12}, {"$USERID"}},
      {"12:\"open", true, {12}, {"open"}},
      {"", true, {}, {}},
      {" , ", true, {}, {}},
      {"-1:$SYSTEMTIME, 93", true, {-1, 93}, {"$SYSTEMTIME", ""}},
      {"x", false, {}, {}},
      {"4, 0", false, {4}, {""}},
      {"4, abc", false, {4}, {""}},
  };
  for (const auto& c : cases) {
    std::vector<int> types;
    Strings defaults;
    EXPECT_EQ(ParseParams(c.text, types, defaults), c.ok) << c.text;
    EXPECT_EQ(types, c.types) << c.text;
    EXPECT_EQ(defaults, c.defaults) << c.text;
  }
}

TEST(DatabaseTexts, OutputColumnTypes) {
  const struct {
    const char* text;
    bool ok;
    std::vector<int> types;
  } cases[] = {
      {"4, 12", true, {4, 12}}, {"4 12 -1", true, {4, 12, -1}}, {"", true, {}},
      {"4,,12,", true, {4, 12}}, {"4, x", false, {4}},          {"0", false, {}},
  };
  for (const auto& c : cases) {
    std::vector<int> types;
    EXPECT_EQ(ParseOutputColumnTypes(c.text, types), c.ok) << c.text;
    EXPECT_EQ(types, c.types) << c.text;
  }
}

TEST(DatabaseTexts, AssignmentLists) {
  const struct {
    const char* text;
    int code;
    Strings taken;  // name=value as read
  } cases[] = {
      {"Name=\"Ann\", Age=\"12\"", 0, {"Name=Ann", "Age=12"}},
      {"  ,Name=\"Ann\",Age=\"12\" ,", 0, {"Name=Ann", "Age=12"}},
      {"Name=\"Say \\\"hi\\\"\"", 0, {"Name=Say \"hi\""}},
      {"Name=\"a=b, c\"", 0, {"Name=a=b, c"}},
      {"Name=\"\"", 0, {"Name="}},
      {"", 0, {}},
      {"Name", kAssignmentMalformed, {}},
      {"Name=Ann", kAssignmentMalformed, {}},
      {"Name=\"Ann", kAssignmentMalformed, {}},
      {"Name=\"Ann\", Age=\"1", kAssignmentMalformed, {"Name=Ann"}},
      // The name is checked before its value is read.
      {"Bad=\"1", 0x1502, {}},
      {"Name=\"Ann\", Bad=\"1\"", 0x1502, {"Name=Ann"}},
      {"Name=\"x\", Stop=\"now\", Name=\"y\"", 0x150c, {"Name=x"}},
  };
  for (const auto& c : cases) {
    Strings taken;
    const int code = ReadAssignmentList(
        c.text, [](const std::string& name) { return name == "Bad" ? 0x1502 : 0; },
        [&](const std::string& name, const std::string& value) {
          if (name == "Stop") return 0x150c;
          taken.push_back(name + "=" + value);
          return 0;
        });
    EXPECT_EQ(code, c.code) << c.text;
    EXPECT_EQ(taken, c.taken) << c.text;
  }
}

TEST(DatabaseTexts, MacrosExpandInOnePass) {
  const struct {
    const char* text;
    const char* userId;
    bool quote;
    const char* expanded;
  } cases[] = {
      {"Owner=$USERID", "ann", true, "Owner='ann'"},
      {"Owner=$USERID", "o'hara", true, "Owner='o''hara'"},
      {"$USERID", "o'hara", false, "o'hara"},
      // What a macro became is never read again.
      {"Owner=$USERID", "x$USERIDy", true, "Owner='x$USERIDy'"},
      {"$USERID and $USERID", "$SYSTEMTIME", false, "$SYSTEMTIME and $SYSTEMTIME"},
      {"At < $SYSTEMTIME AND By = $USERID", "bo", true, "At < NOW AND By = 'bo'"},
      {"$userid $SYSTEM", "bo", true, "$userid $SYSTEM"},
      {"", "bo", true, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ExpandMacros(c.text, c.userId, c.quote, "NOW"), c.expanded) << c.text;
}

TEST(DatabaseTexts, OleDateNumbersToTwoSecondsAndBack) {
  EXPECT_EQ(FormatOleDate(qn::test::LocalTime(2000, 1, 1, 12, 0, 0)), "36526.500000");
  EXPECT_EQ(FormatOleDate(qn::test::LocalTime(1899 + 101, 3, 1, 0, 0, 1)), FormatOleDate(qn::test::LocalTime(2000, 3, 1, 0, 0, 0)));
  const std::time_t t = qn::test::LocalTime(2031, 7, 4, 18, 30, 42);
  std::time_t back = 0;
  ASSERT_TRUE(DateStringToCTime(FormatOleDate(t), back));
  EXPECT_EQ(back, t);
}

TEST(DatabaseValues, TypesMapToResultColumns) {
  const struct {
    int sqlType;
    uint8_t column;
  } cases[] = {{1, kColumnString},  {2, kColumnString},  {3, kColumnString},  {6, kColumnString},
               {8, kColumnString},  {12, kColumnString}, {4, kColumnLong},    {5, kColumnShort},
               {7, kColumnFloat},   {9, kColumnDate},    {10, kColumnDate},   {11, kColumnDate},
               {-7, kColumnBool},   {-6, kColumnByte},   {-1, kColumnBinary}, {-2, kColumnBinary},
               {-3, kColumnBinary}, {-4, kColumnBinary}, {-5, 0},             {0, 0},
               {93, 0}};
  for (const auto& c : cases) EXPECT_EQ(ResultColumnType(c.sqlType), c.column) << c.sqlType;
  EXPECT_EQ(NormaliseSqlType(91), 9);
  EXPECT_EQ(NormaliseSqlType(92), 10);
  EXPECT_EQ(NormaliseSqlType(93), 11);
  EXPECT_EQ(NormaliseSqlType(12), 12);
}

TEST(DatabaseValues, TextConversionsAndTheirLimits) {
  CDynaHolder v;
  const struct {
    const char* text;
    int type;
    Conversion result;
  } refused[] = {
      {"32768", SQL_SMALLINT, Conversion::kOutOfRange}, {"-32769", SQL_SMALLINT, Conversion::kOutOfRange},
      {"256", SQL_TINYINT, Conversion::kOutOfRange},    {"-1", SQL_TINYINT, Conversion::kOutOfRange},
      {"2147483648", SQL_INTEGER, Conversion::kOutOfRange}, {"1e39", SQL_REAL, Conversion::kOutOfRange},
      // A date number before 1980 or after 2107 does not fit the conversion.
      {"5", SQL_TIMESTAMP, Conversion::kOutOfRange},    {"99999", SQL_DATE, Conversion::kOutOfRange},
      {"abc", SQL_BINARY, Conversion::kNoValue},         {"abc", SQL_LONGVARBINARY, Conversion::kNoValue},
      {"1", SQL_BIGINT, Conversion::kNoValue},
  };
  for (const auto& c : refused) EXPECT_EQ(ConvertText(c.text, c.type, v), c.result) << c.text << " " << c.type;

  ASSERT_EQ(ConvertText("32767", SQL_SMALLINT, v), Conversion::kValue);
  EXPECT_EQ(std::get<int16_t>(v), 32767);
  ASSERT_EQ(ConvertText("12abc", SQL_INTEGER, v), Conversion::kValue);
  EXPECT_EQ(std::get<int32_t>(v), 12);
  ASSERT_EQ(ConvertText("abc", SQL_TINYINT, v), Conversion::kValue);  // atoi: 0
  EXPECT_EQ(std::get<uint8_t>(v), 0);
  ASSERT_EQ(ConvertText("2.5", SQL_DOUBLE, v), Conversion::kValue);
  EXPECT_EQ(std::get<double>(v), 2.5);
  ASSERT_EQ(ConvertText("0", SQL_TIMESTAMP, v), Conversion::kValue);  // no date
  EXPECT_EQ(std::get<std::time_t>(v), 0);
  ASSERT_EQ(ConvertText("36526.5", SQL_TIMESTAMP, v), Conversion::kValue);
  EXPECT_EQ(std::get<std::time_t>(v), qn::test::LocalTime(2000, 1, 1, 12, 0, 0));
  ASSERT_EQ(ConvertText(std::string(70000, 'x'), SQL_LONGVARCHAR, v), Conversion::kValue);
  EXPECT_EQ(std::get<std::string>(v).size(), 70000u);
  for (const char* yes : {"True", "t", "Yes", "y", "1"}) {
    ASSERT_EQ(ConvertText(yes, SQL_BIT, v), Conversion::kValue);
    EXPECT_EQ(std::get<int32_t>(v), 1) << yes;
  }
  for (const char* no : {"", "false", "0", "-1", "on"}) {
    ASSERT_EQ(ConvertText(no, SQL_BIT, v), Conversion::kValue);
    EXPECT_EQ(std::get<int32_t>(v), 0) << no;
  }
}

TEST(DatabaseValues, KeysAreWholeValuesOfTheKeyType) {
  CDynaHolder v;
  for (const char* hostile : {"3) OR (People.PersonID=3", "3 OR 1=1", "12abc", "", "  ", "1.5", "0x10",
                              "99999999999", "--1"})
    EXPECT_FALSE(ConvertKey(hostile, SQL_INTEGER, v)) << hostile;
  ASSERT_TRUE(ConvertKey(" 42 ", SQL_INTEGER, v));
  EXPECT_EQ(std::get<int32_t>(v), 42);
  ASSERT_TRUE(ConvertKey("-7", SQL_SMALLINT, v));
  EXPECT_EQ(std::get<int16_t>(v), -7);
  EXPECT_FALSE(ConvertKey("40000", SQL_SMALLINT, v));
  ASSERT_TRUE(ConvertKey("2.5e1", SQL_DOUBLE, v));
  EXPECT_EQ(std::get<double>(v), 25.0);
  EXPECT_FALSE(ConvertKey("nan", SQL_DOUBLE, v));
  // A text key is data, whatever it holds.
  ASSERT_TRUE(ConvertKey("a') OR ('1'='1", SQL_VARCHAR, v));
  EXPECT_EQ(std::get<std::string>(v), "a') OR ('1'='1");
  EXPECT_FALSE(ConvertKey("1", SQL_LONGVARBINARY, v));
}

TEST(DatabaseValues, RowsAreCutToOnePacketWithTrueLengths) {
  std::vector<RowCell> cells = {
      MakeRowCell(CDynaHolder(std::vector<uint8_t>(70000, 7)), SQL_LONGVARBINARY),
      MakeRowCell(CDynaHolder(std::string(20000, 'a')), SQL_LONGVARCHAR),
      MakeRowCell(CDynaHolder(std::string("short")), SQL_VARCHAR),
      MakeRowCell(CDynaHolder(int32_t{5}), SQL_INTEGER),
      MakeRowCell(CDynaHolder(2.5), SQL_DOUBLE),
  };
  EXPECT_EQ(cells[1].type, kColumnBinary);
  EXPECT_EQ(std::get<std::string>(cells[4].value), "2.500000");
  FitRow(cells, 32764);
  size_t total = 0;
  for (const auto& cell : cells) total += EncodedSize(cell);
  EXPECT_LE(total, 32764u);
  EXPECT_EQ(std::get<std::string>(cells[2].value), "short");

  CColumnTypes schema(5, -1);
  for (const auto& cell : cells) schema.AddColumn(cell.type, "c");
  CResultRow row(schema);
  std::vector<CByteBlock> blocks;
  blocks.reserve(2);
  for (const auto& cell : cells) {
    if (auto* bytes = std::get_if<std::vector<uint8_t>>(&cell.value)) {
      blocks.emplace_back(bytes->data(), static_cast<int32_t>(bytes->size()));
      row.AddValue(&blocks.back());
    } else {
      std::visit([&](const auto& value) { row.AddValue(&value); }, cell.value);
    }
  }
  std::unique_ptr<CByteBlock> body(row.BuildPacket());
  EXPECT_EQ(static_cast<size_t>(body->length), total);
  std::unique_ptr<CByteBlock> head(schema.BuildPacket());
  const auto columns = qn::DecodeSchema(head->data, static_cast<size_t>(head->length))->columns;
  const auto decoded = qn::DecodeRow(columns, body->data, static_cast<size_t>(body->length));
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(std::get<int32_t>((*decoded)[3]), 5);
}

}  // namespace
