// The grammar of members' search filters and sorts: every form it accepts,
// with the SQL and the bound values it makes, and the hostile or unknown
// texts it refuses.
#include "server/services/database_filter.h"

#include <gtest/gtest.h>
#include <strings.h>

#include <ctime>

#include "support/local_time.h"

namespace {

using namespace qn::dbservice;

// People.Name (12), People.Age (5), People.Born (11), People.Notes (-1),
// People.Photo (-4), People.Score (8), People.Flag (-7), Pets.Name (12);
// People.Secret exists but is not readable. The alias "p" stands for People.
std::optional<FilterField> Resolve(std::string_view qualifier, std::string_view column) {
  struct Field {
    const char* table;
    const char* column;
    int type;
  };
  static const Field kFields[] = {{"People", "Name", 12},  {"People", "Age", 5},   {"People", "Born", 11},
                                  {"People", "Notes", -1}, {"People", "Photo", -4}, {"People", "Score", 8},
                                  {"People", "Flag", -7},  {"Pets", "Name", 12},   {"Pets", "Legs", 4}};
  auto same = [](std::string_view a, const char* b) {
    return a.size() == strlen(b) && strncasecmp(a.data(), b, a.size()) == 0;
  };
  if (qualifier.empty()) {
    const Field* found = nullptr;
    for (const Field& f : kFields) {
      if (!same(column, f.column)) continue;
      if (found) return std::nullopt;
      found = &f;
    }
    if (!found) return std::nullopt;
    return FilterField{std::string("[") + found->column + "]", found->type};
  }
  std::string table(qualifier);
  std::string prefix(qualifier);
  if (same(qualifier, "p")) table = "People", prefix = "p";
  for (const Field& f : kFields)
    if (same(table, f.table) && same(column, f.column))
      return FilterField{(prefix == "p" ? std::string("p") : std::string(f.table)) + ".[" + f.column + "]", f.type};
  return std::nullopt;
}

const FilterContext kContext{"o'hara", 1700000000};

std::string Describe(const CDynaHolder& value) {
  return std::visit(
      [](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::string>) return "'" + v + "'";
        else if constexpr (std::is_same_v<T, std::vector<uint8_t>>) return "bytes";
        else if constexpr (std::is_same_v<T, std::time_t>) return "t" + std::to_string(v);
        else if constexpr (std::is_same_v<T, uint8_t>) return std::to_string(int{v});
        else return std::to_string(v);
      },
      value);
}

TEST(DatabaseFilter, EachFormBecomesSqlWithBoundValues) {
  const struct {
    const char* text;
    const char* sql;
    std::vector<std::string> params;
  } cases[] = {
      {"", "", {}},
      {"   ", "", {}},
      {"People.Name = 'Ann'", "People.[Name] = ?", {"'Ann'"}},
      {"people.NAME='Ann'", "People.[Name] = ?", {"'Ann'"}},
      {"[People].[Name] <> 'it''s'", "People.[Name] <> ?", {"'it's'"}},
      {"p.Age >= 18", "p.[Age] >= ?", {"18"}},
      {"Age<-3", "[Age] < ?", {"-3"}},
      {"Age <= +3 and Age > 1", "[Age] <= ? AND [Age] > ?", {"3", "1"}},
      {"18 < Age", "? < [Age]", {"18"}},
      {"Age = '7'", "[Age] = ?", {"7"}},
      {"Score = 2.5e1", "[Score] = ?", {"25.000000"}},
      {"Flag = 1", "[Flag] = ?", {"1"}},
      {"People.Name like 'A%'", "People.[Name] LIKE ?", {"'A%'"}},
      {"Notes NOT LIKE '%x%'", "[Notes] NOT LIKE ?", {"'%x%'"}},
      {"Age IN (1, 2,3)", "[Age] IN (?, ?, ?)", {"1", "2", "3"}},
      {"People.Name not in ('a')", "People.[Name] NOT IN (?)", {"'a'"}},
      {"Age BETWEEN 1 AND 9", "[Age] BETWEEN ? AND ?", {"1", "9"}},
      {"Age not between 1 and 9", "[Age] NOT BETWEEN ? AND ?", {"1", "9"}},
      {"Notes IS NULL", "[Notes] IS NULL", {}},
      {"Notes is not null", "[Notes] IS NOT NULL", {}},
      {"NOT Age = 1", "NOT [Age] = ?", {"1"}},
      {"not (Age = 1 or Age = 2) and People.Name = Pets.Name",
       "NOT ([Age] = ? OR [Age] = ?) AND People.[Name] = Pets.[Name]", {"1", "2"}},
      {"((Age = 1))", "(([Age] = ?))", {"1"}},
      {"People.Name = $USERID", "People.[Name] = ?", {"'o'hara'"}},
      {"People.Name = $userid", "People.[Name] = ?", {"'o'hara'"}},
      {"Born < $SYSTEMTIME", "[Born] < ?", {"t1700000000"}},
      {"Born >= {d '2024-02-29'}", "[Born] >= ?", {"t" + std::to_string(qn::test::LocalTime(2024, 2, 29, 0, 0, 0))}},
      {"Born = { ts '2024-01-02 03:04:05' }", "[Born] = ?", {"t" + std::to_string(qn::test::LocalTime(2024, 1, 2, 3, 4, 5))}},
      {"Born = '2024-01-02 03:04'", "[Born] = ?", {"t" + std::to_string(qn::test::LocalTime(2024, 1, 2, 3, 4, 0))}},
      {"People.Name = 12", "People.[Name] = ?", {"'12'"}},
      {"People.Name = {d '2024-01-02'}", "People.[Name] = ?", {"'2024-01-02'"}},
  };
  for (const auto& c : cases) {
    const auto parsed = ParseClientFilter(c.text, Resolve, kContext);
    ASSERT_TRUE(parsed.has_value()) << c.text;
    EXPECT_EQ(parsed->sql, c.sql) << c.text;
    std::vector<std::string> params;
    for (const auto& p : parsed->params) params.push_back(Describe(p.value));
    EXPECT_EQ(params, c.params) << c.text;
  }
}

TEST(DatabaseFilter, HostileAndUnknownTextsAreRefused) {
  const char* refused[] = {
      // Escaping the read filter, comments, statements, functions.
      "1=1) OR (1=1", "People.Name = 'a') OR ('1'='1", "Age = 1; DROP TABLE People", "Age = 1 --",
      "Age = 1 /* x */", "Age = abs(1)", "Age = (SELECT 1)", "Age = 1 UNION SELECT 1",
      // No field, unknown or unreadable fields, ambiguous bare columns.
      "1 = 1", "'a' = 'a'", "Secret = 1", "People.Secret = 1", "Nobody.Name = 'x'", "Name = 'x'",
      "q.Age = 1", "People.Name.x = 1", "People. = 1",
      // Malformed literals and brackets.
      "People.Name = 'open", "Age = 12abc", "Age = 1.2.3", "Age = 0x10", "Age = 1e", "[People.Name = 1",
      "[] = 1", "Born = {d '2024-13-01'}", "Born = {t '10:00:00'}", "Born = {d 2024}", "Born = '31/12/2024'",
      "Age = $OTHER", "Age = $", "Age = --1",
      // Values the field's type cannot hold.
      "Age = 'seven'", "Age = 40000", "Age = 1.5", "Born = 5", "Born = $USERID", "Photo = 'x'",
      "Age LIKE '1%'", "Age = $SYSTEMTIME",
      // Grammar.
      "Age", "Age =", "Age = = 1", "Age == 1", "Age != 1", "Age IS 1", "Age IS NOT", "1 IS NULL",
      "Age IN ()", "Age IN (1,)", "Age IN 1", "Age BETWEEN 1", "Age BETWEEN 1 OR 2", "(Age = 1",
      "Age = 1)", "Age = 1 AND", "OR Age = 1", "NOT", "Age NOT = 1", "Age = 1 Age = 2", "\"Name\" = 'x'",
      "Age = 1\x01", "Age = `1`", "Age = ?", "Age = :x", "Age = @x",
  };
  for (const char* text : refused) EXPECT_FALSE(ParseClientFilter(text, Resolve, kContext).has_value()) << text;

  std::string deep;
  for (int i = 0; i < 200; ++i) deep += "(";
  EXPECT_FALSE(ParseClientFilter(deep + "Age = 1" + std::string(200, ')'), Resolve, kContext).has_value());
  std::string nots;
  for (int i = 0; i < 200; ++i) nots += "NOT ";
  EXPECT_FALSE(ParseClientFilter(nots + "Age = 1", Resolve, kContext).has_value());
  std::string many = "Age IN (0";
  for (size_t i = 1; i < kMaxFilterParams + 1; ++i) many += "," + std::to_string(i);
  EXPECT_FALSE(ParseClientFilter(many + ")", Resolve, kContext).has_value());
}

TEST(DatabaseFilter, SortsListReadableFields) {
  const struct {
    const char* text;
    std::optional<std::string> sql;
  } cases[] = {
      {"", std::string()},
      {"People.Name", std::string("People.[Name]")},
      {"people.name desc, Age ASC, p.Born", std::string("People.[Name] DESC, [Age] ASC, p.[Born]")},
      {"[Age]", std::string("[Age]")},
      {"Name", std::nullopt},
      {"Secret", std::nullopt},
      {"Age; DELETE FROM People", std::nullopt},
      {"Age,", std::nullopt},
      {"Age DESC DESC", std::nullopt},
      {"1", std::nullopt},
      {"Age COLLATE x", std::nullopt},
      {"(Age)", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseClientSort(c.text, Resolve), c.sql) << c.text;
}

}  // namespace
