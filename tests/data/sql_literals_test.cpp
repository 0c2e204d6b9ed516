// The literals of conditions as parameters: what the services' filters turn
// into, what must stay in the text, and the bound of the statement cache.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/data/sql_literals.h"
#include "server/data/statement_cache.h"

namespace {

using Kind = SqlLiteral::Kind;

struct Expected {
  Kind kind;
  std::string value;
};

struct Case {
  const char* sql;
  const char* text;  // after the literals became markers
  std::vector<Expected> literals;
};

void ExpectParameterised(const Case& c) {
  SCOPED_TRACE(c.sql);
  ParameterisedSql out;
  ASSERT_TRUE(ParameteriseSql(c.sql, out));
  EXPECT_EQ(out.text, c.text);
  ASSERT_EQ(out.literals.size(), c.literals.size());
  for (size_t i = 0; i < c.literals.size(); ++i) {
    EXPECT_EQ(out.literals[i].kind, c.literals[i].kind) << i;
    EXPECT_EQ(out.literals[i].value, c.literals[i].value) << i;
  }
}

TEST(SqlLiterals, FiltersOfTheServicesBecomeParameters) {
  const Case cases[] = {
      // The member's row, with a quote doubled inside the user ID.
      {"SELECT [UserID] FROM [Accounts] WHERE UserID='o''neil'",
       "SELECT [UserID] FROM [Accounts] WHERE UserID=?",
       {{Kind::Text, "o'neil"}}},
      // Name searches: ranges, and a name with a range of the other.
      {"SELECT a FROM t WHERE (FirstName='Ann') AND (LastName>='a') AND (LastName<='m''z') ORDER BY FirstName",
       "SELECT a FROM t WHERE (FirstName=?) AND (LastName>=?) AND (LastName<=?) ORDER BY FirstName",
       {{Kind::Text, "Ann"}, {Kind::Text, "a"}, {Kind::Text, "m'z"}}},
      // Truth values of the two modes, a negative number, an empty string.
      {"SELECT a FROM t WHERE KeyChains.IsDefault=-1 AND [Password]=''",
       "SELECT a FROM t WHERE KeyChains.IsDefault=? AND [Password]=?",
       {{Kind::Integer, "-1"}, {Kind::Text, ""}}},
      {"SELECT a FROM t WHERE AccountNumber = 0", "SELECT a FROM t WHERE AccountNumber = ?",
       {{Kind::Integer, "0"}}},
      // Numbers inside names stay: joined tables, bracketed columns.
      {"SELECT a FROM [Files],[Files2Directories] WHERE (Files2Directories.FileID=Files.FileID) AND "
       "(DirectoryID=7) AND [Col2]=12",
       "SELECT a FROM [Files],[Files2Directories] WHERE (Files2Directories.FileID=Files.FileID) AND "
       "(DirectoryID=?) AND [Col2]=?",
       {{Kind::Integer, "7"}, {Kind::Integer, "12"}}},
      // A minus after a value subtracts; after an operator it is a sign.
      {"SELECT a FROM t WHERE x-1>(-2.5) AND y- -3=z", "SELECT a FROM t WHERE x-?>(?) AND y- ?=z",
       {{Kind::Integer, "1"}, {Kind::Decimal, "-2.5"}, {Kind::Integer, "-3"}}},
      {"SELECT a FROM t WHERE x=1e3 OR x=.5", "SELECT a FROM t WHERE x=? OR x=?",
       {{Kind::Decimal, "1e3"}, {Kind::Decimal, ".5"}}},
      // Escapes of dates and times, any case and spacing.
      {"SELECT a FROM t WHERE d>={ts '2026-12-08 12:00:00'} AND e<{D '2027-01-01'} AND f={ t '23:59:59' }",
       "SELECT a FROM t WHERE d>=? AND e<? AND f=?",
       {{Kind::Timestamp, "2026-12-08 12:00:00"}, {Kind::Date, "2027-01-01"}, {Kind::Time, "23:59:59"}}},
      // LIKE patterns and IN lists.
      {"SELECT a FROM t WHERE Name LIKE 'b%' AND Code IN (1, 2,'x') AND NOT Room IN ('A')",
       "SELECT a FROM t WHERE Name LIKE ? AND Code IN (?, ?,?) AND NOT Room IN (?)",
       {{Kind::Text, "b%"}, {Kind::Integer, "1"}, {Kind::Integer, "2"}, {Kind::Text, "x"}, {Kind::Text, "A"}}},
      // 8-bit text passes byte for byte; a "?" inside a string is no marker.
      {"SELECT a FROM t WHERE n='J\xf6rg?' AND m=\"x'y\"", "SELECT a FROM t WHERE n=? AND m=\"x'y\"",
       {{Kind::Text, "J\xf6rg?"}}},
  };
  for (const Case& c : cases) ExpectParameterised(c);
}

TEST(SqlLiterals, LiteralsThatAParameterWouldChangeStayInTheText) {
  const Case cases[] = {
      // The select list and FROM list are not conditions.
      {"SELECT 1, 'x' FROM t", "SELECT 1, 'x' FROM t", {}},
      // Column positions after ORDER BY and GROUP BY.
      {"SELECT a FROM t WHERE x=1 ORDER BY 2, 'k' DESC", "SELECT a FROM t WHERE x=? ORDER BY 2, ? DESC",
       {{Kind::Integer, "1"}, {Kind::Text, "k"}}},
      // Typed and prefixed literals, odd numbers, an overflowing integer, a
      // timestamp with a fraction, an alias, literals inside other escapes.
      {"SELECT a FROM t WHERE d>DATE '2026-01-01' AND b=X'0A' AND c=E'\\n' AND h=0x1F AND i=1abc AND "
       "j=99999999999 AND k={ts '2026-01-01 00:00:00.5'} AND {fn UCASE(n)}={fn UCASE('x')} AND "
       "COALESCE(z, 'q') AS w",
       "SELECT a FROM t WHERE d>DATE '2026-01-01' AND b=X'0A' AND c=E'\\n' AND h=0x1F AND i=1abc AND "
       "j=99999999999 AND k={ts '2026-01-01 00:00:00.5'} AND {fn UCASE(n)}={fn UCASE('x')} AND "
       "COALESCE(z, ?) AS w",
       {{Kind::Text, "q"}}},
  };
  for (const Case& c : cases) ExpectParameterised(c);
}

TEST(SqlLiterals, OwnMarkersKeepTheirPlaceAmongTheLiterals) {
  ParameterisedSql out;
  ASSERT_TRUE(ParameteriseSql("{CALL p(?)} x", out));
  EXPECT_EQ(out.markers, (std::vector<int>{ParameterisedSql::kOwnMarker}));
  ASSERT_TRUE(ParameteriseSql("SELECT ? FROM t WHERE a=? AND b='x' AND c IN (?, 5)", out));
  EXPECT_EQ(out.text, "SELECT ? FROM t WHERE a=? AND b=? AND c IN (?, ?)");
  const int own = ParameterisedSql::kOwnMarker;
  EXPECT_EQ(out.markers, (std::vector<int>{own, own, 0, own, 1}));
}

TEST(SqlLiterals, TextThatIsNotReadSafelyIsRefused) {
  ParameterisedSql out;
  for (const char* sql : {"SELECT a FROM t WHERE a='open", "SELECT a FROM t WHERE [a=1",
                          "SELECT a FROM t WHERE a=1 -- note", "SELECT a FROM t WHERE a=1 /* x */",
                          "SELECT a FROM t WHERE a=:name", "SELECT a FROM t WHERE a=?1",
                          "SELECT a FROM t WHERE a=$$x$$", "SELECT a FROM t WHERE a={fn x('y')"}) {
    EXPECT_FALSE(ParameteriseSql(sql, out)) << sql;
  }
  // A NUL inside a literal: the driver would not see the same text.
  using namespace std::string_literals;
  EXPECT_FALSE(ParameteriseSql("SELECT a FROM t WHERE a='x\0y'"s, out));
}

TEST(StatementCacheBound, ThousandsOfTextsKeepTheLimitAndTheMostRecent) {
  LruCache<int> cache(100);
  for (int i = 0; i < 5000; ++i) {
    cache.Put("text " + std::to_string(i), i);
    // One text stays in use throughout.
    ASSERT_NE(cache.Find("text 0"), nullptr) << i;
    ASSERT_LE(cache.Size(), 100u);
  }
  EXPECT_EQ(cache.Size(), 100u);
  EXPECT_EQ(cache.Find("text 1"), nullptr);
  ASSERT_NE(cache.Find("text 4999"), nullptr);
  EXPECT_EQ(*cache.Find("text 4999"), 4999);
  cache.Put("text 4999", 7);
  EXPECT_EQ(*cache.Find("text 4999"), 7);
  EXPECT_EQ(cache.Size(), 100u);
}

}  // namespace
