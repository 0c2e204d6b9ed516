#include "common/helpers.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <cstdio>
#include <filesystem>

#include "common/registry.h"
#include "support/pe_writer.h"
#include "support/scoped_root.h"

namespace fs = std::filesystem;

namespace {

class PrivateRoot : public ::testing::Test {
 protected:
  qn::test::ScopedRoot scoped_;
  const std::string root_ = scoped_.path().string();
};

// The local time of a civil date, seconds rounded down to even.
std::time_t Local(int y, int mo, int d, int h, int mi, int s) {
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

}  // namespace

TEST(SqlText, QuoteDoublesInnerQuotes) {
  EXPECT_EQ(SQLQuote("O'Brien"), "'O''Brien'");
  EXPECT_EQ(SQLQuote(""), "''");
  EXPECT_EQ(SQLQuote("x'; DROP TABLE y; --"), "'x''; DROP TABLE y; --'");
}

TEST(DateString, ConvertsThroughTheTwoSecondDosFormat) {
  std::time_t t = 0;
  ASSERT_TRUE(DateStringToCTime("36526.5", t));
  EXPECT_EQ(t, Local(2000, 1, 1, 12, 0, 0));
  // 12:00:03 keeps only even seconds.
  char text[64];
  std::snprintf(text, sizeof text, "%.10f", 36526.5 + 3.0 / 86400);
  ASSERT_TRUE(DateStringToCTime(text, t));
  EXPECT_EQ(t, Local(2000, 1, 1, 12, 0, 2));
  // The last moment the format holds, and a fraction that rounds to the
  // next day.
  std::snprintf(text, sizeof text, "%.10f", 75971 + 86398.0 / 86400);
  ASSERT_TRUE(DateStringToCTime(text, t));
  EXPECT_EQ(t, Local(2107, 12, 31, 23, 59, 58));
  ASSERT_TRUE(DateStringToCTime("36526.9999999999", t));
  EXPECT_EQ(t, Local(2000, 1, 2, 0, 0, 0));
  // Leading blanks and trailing text, as the C library reads numbers.
  ASSERT_TRUE(DateStringToCTime("  36526.5xyz", t));
  EXPECT_EQ(t, Local(2000, 1, 1, 12, 0, 0));
}

TEST(DateString, RoundTripWithTwoSecondResolution) {
  for (std::time_t start : {std::time_t{315532800 + 86400 * 3}, std::time_t{1234567891},
                            std::time_t{1700000001}, std::time_t{4102444799}}) {
    std::tm local{};
    localtime_r(&start, &local);
    const double days = 36526 + static_cast<double>(Local(local.tm_year + 1900, local.tm_mon + 1,
                                                          local.tm_mday, 12, 0, 0) -
                                                    Local(2000, 1, 1, 12, 0, 0)) /
                                    86400.0;
    // Whole days between two noons are exact even across DST changes.
    const double date = std::round(days) +
                        (local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec) / 86400.0;
    char text[64];
    std::snprintf(text, sizeof text, "%.10f", date);
    std::time_t back = 0;
    ASSERT_TRUE(DateStringToCTime(text, back)) << text;
    EXPECT_EQ(back, start - local.tm_sec % 2) << text;
  }
}

TEST(DateString, RefusesZeroNonNumbersAndDatesTheFormatCannotHold) {
  std::time_t t = 77;
  for (const char* text : {"0", "", "abc", "0.0", "0x8EAE", "nan", "inf", "1e400", "-36526",
                           "29220.99", "75972", "75971.99999999"}) {
    EXPECT_FALSE(DateStringToCTime(text, t)) << text;
  }
  EXPECT_EQ(t, 77);  // untouched on failure
  EXPECT_TRUE(DateStringToCTime("29221", t));
  EXPECT_EQ(t, Local(1980, 1, 1, 0, 0, 0));
}

using ProgramDirectory = PrivateRoot;

TEST_F(ProgramDirectory, IsUnderTheRootWithItsSeparator) {
  EXPECT_EQ(GetProgramDirectory(), root_ + "/var/lib/quillnet/");
  setenv("QN_ROOT", (root_ + "/").c_str(), 1);
  EXPECT_EQ(GetProgramDirectory().back(), '/');
}

class ClientProgramVersion : public PrivateRoot {
 protected:
  std::string Write(const std::string& name, const std::u16string& comments) {
    fs::create_directories(root_ + "/var/lib/quillnet");
    const std::string path = root_ + "/var/lib/quillnet/" + name;
    qn::test::WriteFile(path, qn::test::BuildProgramFileWithString(u"Comments", comments));
    return path;
  }
};

TEST_F(ClientProgramVersion, TheNumberAfterTheFirstV) {
  EXPECT_FLOAT_EQ(ReadClientProgramVersion(Write("A.EXE", u"Client V2.10")), 2.1f);
  EXPECT_FLOAT_EQ(ReadClientProgramVersion(Write("B.EXE", u"Quillnet V 3.5 (V9)")), 3.5f);
  EXPECT_EQ(ReadClientProgramVersion(Write("C.EXE", u"Client version 2.10")), 0.0f);
  EXPECT_EQ(ReadClientProgramVersion(Write("D.EXE", u"no letter")), 0.0f);
  EXPECT_EQ(ReadClientProgramVersion(Write("E.EXE", u"V1e300")), 0.0f);  // beyond a float
  EXPECT_EQ(ReadClientProgramVersion(root_ + "/missing.exe"), 0.0f);
}

TEST_F(ClientProgramVersion, TruncatedFileGivesZero) {
  const std::string path = Write("QUILLNET.EXE", u"Client V2.10");
  fs::resize_file(path, 0x200 + 0x60);
  EXPECT_EQ(ReadClientProgramVersion(path), 0.0f);
}

TEST_F(ClientProgramVersion, CurrentFileIsFoundWithoutRegardToCaseAndKeptPerDirectory) {
  Write("QuillNet.exe", u"Client V2.10");
  EXPECT_FLOAT_EQ(GetClientProgramVersion(), 2.1f);
  // Kept: a changed file is not read again.
  Write("QuillNet.exe", u"Client V3.0");
  EXPECT_FLOAT_EQ(GetClientProgramVersion(), 2.1f);
}

using SqlBool = PrivateRoot;

TEST_F(SqlBool, TrueDependsOnTheStorageModeReadOnEveryCall) {
  // No value: the per-area files.
  EXPECT_EQ(SQLBoolLiteral(1), "-1");
  EXPECT_EQ(SQLBoolLiteral(0), "0");
  CQuillnetRegistry registry;
  ASSERT_TRUE(registry.WriteString("General", "ODBCType", "mssql"));
  EXPECT_EQ(SQLBoolLiteral(1), "1");
  EXPECT_EQ(SQLBoolLiteral(2), "0");
  ASSERT_TRUE(registry.WriteString("General", "ODBCType", "msaccess"));
  EXPECT_EQ(SQLBoolLiteral(1), "-1");
}
