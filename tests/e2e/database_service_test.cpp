// The "Database" service against the real server in both storage modes, with
// an operator database on an SQLite file and one on PostgreSQL, each behind
// its own data source, read and write filters "Owner=$USERID": the lists,
// searches through the filter grammar and hostile texts, procedures, writes
// by key, and media files.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/database_seed.h"
#include "support/member_client.h"
#include "support/member_install.h"
#include "support/protocol_client.h"
#include "support/server_process.h"

namespace fs = std::filesystem;

namespace {

using qn::client::Params;
using qn::client::TableReply;
using qn::test::DatabaseSeed;
using qn::test::MemberInstall;
using qn::test::StorageMode;

std::string Text(const qn::DecodedValue& value) { return std::get<std::string>(value); }
int32_t Number(const qn::DecodedValue& value) { return std::get<int32_t>(value); }
std::string Bytes(const qn::DecodedValue& value) {
  const auto& bytes = std::get<std::vector<uint8_t>>(value);
  return std::string(bytes.begin(), bytes.end());
}
using qn::test::Code;
using qn::test::Ended;

// A member's client with the database requests.
struct Member : qn::test::Member {
  TableReply Db(const std::string& item, const std::vector<std::string>& params = {}) {
    return Call("Database", item, params);
  }
  // The first column of each row, as text.
  std::vector<std::string> Names(const TableReply& reply) {
    std::vector<std::string> names;
    for (const auto& row : reply.rows) names.push_back(Text(row[0]));
    return names;
  }
  // The file a GetMedia reply carries (row 0 is the file time), or its code.
  std::string Media(const std::string& database, const std::string& key, const std::string& field) {
    const TableReply reply = Db("GetMedia", {database, key, field});
    if (reply.result) return "code " + std::to_string(*reply.result);
    std::string data;
    for (size_t i = 1; i < reply.rows.size(); ++i) data += Bytes(reply.rows[i][0]);
    return data;
  }
  // SetMedia with the file's blocks; `finish` false leaves the upload open.
  uint16_t StartUpload(const std::string& database, const std::string& key, const std::string& field,
                       const std::string& data, bool finish) {
    const uint16_t id = nextId++;
    EXPECT_TRUE(client.Request(id, "Database", "SetMedia", Params({database, key, field})));
    EXPECT_TRUE(client.FollowUp(id, qn::client::Bytes{0, 0, 0, 0x40}));
    for (size_t at = 0; at < data.size(); at += 700) EXPECT_TRUE(client.FollowUp(id, data.substr(at, 700)));
    if (finish) {
      EXPECT_TRUE(client.FollowUp(id, qn::client::Bytes{}));
    }
    return id;
  }
  TableReply Upload(const std::string& database, const std::string& key, const std::string& field,
                    const std::string& data) {
    const uint16_t id = StartUpload(database, key, field, data, true);
    return qn::client::ReadTable(client, id, 20000).value_or(TableReply{});
  }
};

// 101 assignments: one more than a row may take.
std::string TooManyAssignments() {
  std::string text;
  for (int i = 0; i < 101; ++i) text += "People.Age=\"1\", ";
  return text;
}

class DatabaseService : public ::testing::TestWithParam<StorageMode> {
 protected:
  void SetUp() override {
    if (GetParam() == StorageMode::Postgres && !qn::test::PostgresTestServerAvailable())
      GTEST_SKIP() << "no PostgreSQL test server (QN_TEST_PG_HOST)";
    port_ = qn::test::FindFreePort();
    std::string error;
    ASSERT_TRUE(install_.Create(GetParam(), port_, &error)) << error;
    install_.SeedAccountDefaults(1000, 0, -1);
    ASSERT_TRUE(seed_.Create(&error)) << error;
    // The server's temporary files land here, where the tests can look.
    fs::remove_all(TempDirectory());
    fs::create_directories(TempDirectory());
    ::setenv("TMPDIR", TempDirectory().c_str(), 1);
    ASSERT_TRUE(server_.Start("qnsvr32", {"-sa"}, MemberInstall::Root().string(), port_)) << server_.StderrText();
  }
  void TearDown() override {
    if (server_.IsRunning()) {
      EXPECT_EQ(server_.Stop(), 0);
    }
    if (HasFailure()) ADD_FAILURE() << "server's standard error:\n" << server_.StderrText();
  }

  static fs::path TempDirectory() { return MemberInstall::Root() / "tmp"; }

  std::unique_ptr<Member> Create(const std::string& id) {
    auto member = std::make_unique<Member>();
    EXPECT_TRUE(member->Open(port_));
    EXPECT_TRUE(Ended(member->Call("Logon", "CreateAccount", {id, "pw"}))) << id;
    return member;
  }

  // The operator databases of this run: the SQLite one, and the PostgreSQL
  // one when there is a test server.
  std::vector<std::string> Sources() const {
    std::vector<std::string> names = {"People"};
    if (seed_.HasPostgres()) names.push_back("PgPeople");
    return names;
  }
  bool OnPostgres(const std::string& database) const { return database == "PgPeople"; }
  std::string Row(const std::string& database, const std::string& column, int id) {
    return seed_.Query(OnPostgres(database), "SELECT " + column + " FROM People WHERE PersonID=" + std::to_string(id));
  }

  // Names of files in the directory whose names begin "QNS", once the server
  // has had `tries` times 50 ms to remove them.
  static std::vector<std::string> TemporaryFiles(const fs::path& directory, int tries = 300) {
    std::vector<std::string> found;
    for (int i = 0; i <= tries; ++i) {
      found.clear();
      for (const auto& entry : fs::directory_iterator(directory))
        if (entry.path().filename().string().rfind("QNS", 0) == 0) found.push_back(entry.path().filename());
      if (found.empty() || i == tries) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return found;
  }

  uint16_t port_ = 0;
  MemberInstall install_;
  DatabaseSeed seed_{install_};
  qn::test::ServerProcess server_;
};

TEST_P(DatabaseService, ListsShowOnlyWhatTheMemberCanUse) {
  auto alice = Create("Alice");
  const TableReply all = alice->Db("GetAllDatabases");
  ASSERT_TRUE(Ended(all));
  ASSERT_TRUE(all.schema);
  ASSERT_EQ(all.schema->columns.size(), 5u);
  EXPECT_EQ(all.schema->columns[2].name, "CanRead");
  // Hidden needs a key its member cannot afford; Gone's data source does not
  // open; BadProc's procedure list is broken.
  std::vector<std::string> expected = {"People", "WriteOnly", "Bang", "ByColour"};
  if (seed_.HasPostgres()) expected.push_back("PgPeople");
  EXPECT_EQ(alice->Names(all), expected);
  const auto& people = all.rows[0];
  EXPECT_EQ(Text(people[1]), "People.PersonID");
  EXPECT_EQ(Number(people[2]), 1);
  EXPECT_EQ(Number(people[3]), 1);
  EXPECT_EQ(Number(people[4]), 1);
  EXPECT_EQ(Number(all.rows[1][2]), 0);  // WriteOnly: no read key
  EXPECT_EQ(Number(all.rows[1][3]), 1);
  EXPECT_EQ(Number(all.rows[2][3]), 0);  // Bang: no write key

  for (const std::string& database : Sources()) {
    const TableReply fields = alice->Db("GetFieldInfo", {database == "People" ? "people" : database});
    ASSERT_TRUE(Ended(fields)) << database;
    ASSERT_EQ(fields.schema->columns.size(), 12u);
    // Secret needs a key nobody holds; Missing and Big are not in the table
    // or of a type the service cannot carry; NoDot names no table.
    EXPECT_EQ(alice->Names(fields),
              (std::vector<std::string>{"People.Age", "People.Avatar", "People.Born", "People.Colour",
                                        "People.Height", "People.Name", "People.Notes", "People.Owner",
                                        "People.PersonID", "People.Photo", "People.Scan"}))
        << database;
    if (fields.rows.size() != 11u) continue;
    const auto& age = fields.rows[0];
    EXPECT_EQ(Number(age[2]), 3);  // short
    EXPECT_EQ(Text(age[7]), "0.000000");
    EXPECT_EQ(Text(age[8]), "150.000000");
    EXPECT_EQ(Text(fields.rows[4][7]), "0.000000");  // Height's low above its high: no range
    EXPECT_EQ(Text(fields.rows[4][8]), "0.000000");
    EXPECT_EQ(Text(fields.rows[3][6]), "\"Red\",\"Blue\",\"Say \"\"hi\"\"\"");
    EXPECT_EQ(Number(fields.rows[2][2]), 6);  // Born: DATE
    EXPECT_EQ(Number(fields.rows[6][2]), 8);  // Notes: long text travels as binary
    EXPECT_EQ(Number(fields.rows[8][2]), 4);
    EXPECT_EQ(Number(fields.rows[8][4]), 1);  // the primary key
    EXPECT_EQ(Number(age[4]), 0);
    EXPECT_EQ(Number(fields.rows[9][5]), 1);  // Photo is media
    EXPECT_EQ(Number(fields.rows[5][5]), 0);
    EXPECT_EQ(Number(age[9]), 1);
    EXPECT_EQ(Number(age[10]), 0);
    if (database == "People") {
      EXPECT_EQ(Number(fields.rows[5][3]), 50);  // VARCHAR(50)
    }
  }
  EXPECT_EQ(Code(alice->Db("GetFieldInfo", {"Hidden"})), 0x1501);
  EXPECT_EQ(Code(alice->Db("GetFieldInfo", {"WriteOnly"})), 0x1501);
  EXPECT_EQ(Code(alice->Db("GetFieldInfo", {"Gone"})), 0x1501);
  EXPECT_EQ(Code(alice->Db("GetFieldInfo", {""})), 0x1501);
  EXPECT_EQ(Code(alice->Db("GetFieldInfo", {"People", "x"})), 0x1500);
  EXPECT_EQ(Code(alice->Db("NoSuchItem")), 0x1303);
}

TEST_P(DatabaseService, SearchesReadOwnRowsThroughEveryFilterForm) {
  auto alice = Create("Alice");
  for (const std::string& database : Sources()) {
    const TableReply all = alice->Db("Search", {database, "*", "", ""});
    ASSERT_TRUE(Ended(all)) << database << " " << Code(all);
    EXPECT_EQ(all.schema->columns.size(), 11u);
    EXPECT_EQ(all.schema->columns[0].name, "People.Age");
    std::vector<std::string> names;
    for (const auto& row : all.rows) names.push_back(Text(row[5]));
    EXPECT_EQ(names, (std::vector<std::string>{"Abe", "Amy", "Ann"})) << database;

    // A column list either names tables or gives them aliases: both at
    // once would join the table with itself.
    const std::string plain = "People.Name, People.Age";
    const std::string aliased = "p.Name(People), p.Age(People)";
    const struct {
      const std::string& columns;
      const char* filter;
      std::vector<std::string> names;
    } cases[] = {
        {plain, "", {"Abe", "Amy", "Ann"}},
        {plain, "People.Age >= 30", {"Amy", "Ann"}},
        {aliased, "p.Age < 30", {"Abe"}},
        {aliased, "age BETWEEN 30 AND 40", {"Ann"}},
        {plain, "[People].[Name] LIKE 'A%' AND NOT Colour = 'Blue'", {"Amy", "Ann"}},
        {aliased, "Colour IN ('Blue', 'Green')", {"Abe"}},
        {plain, "people.COLOUR NOT IN ('Blue')", {"Amy", "Ann"}},
        {plain, "Notes IS NULL AND Born IS NOT NULL", {"Abe", "Amy", "Ann"}},
        {aliased, "P.Born < {d '2023-01-01'}", {"Amy"}},
        {plain, "Born >= {ts '2024-01-01 00:00:00'} OR (People.Age = 25)", {"Abe", "Ann"}},
        {plain, "Owner = $USERID AND Born < $SYSTEMTIME", {"Abe", "Amy", "Ann"}},
        {plain, "Owner = 'Bob'", {}},
    };
    for (const auto& c : cases) {
      const TableReply reply = alice->Db("Search", {database, c.columns, c.filter, ""});
      ASSERT_TRUE(Ended(reply)) << database << " " << c.filter << " code " << Code(reply);
      EXPECT_EQ(alice->Names(reply), c.names) << database << " " << c.filter;
      ASSERT_EQ(reply.schema->columns.size(), 2u);
      EXPECT_EQ(reply.schema->columns[1].name, &c.columns == &plain ? "People.Age" : "p.Age(People)");
      EXPECT_EQ(reply.schema->columns[1].type, 3);
    }
  }
  // Without a sort of the database's own, the member's sort alone orders.
  const TableReply sorted = alice->Db("Search", {"ByColour", "People.Name", "", "People.Age DESC"});
  EXPECT_EQ(alice->Names(sorted), (std::vector<std::string>{"Amy", "Ann", "Abe"}));
}

TEST_P(DatabaseService, HostileTextsGetTheirCodesAndNoForeignRow) {
  auto alice = Create("Alice");
  std::string tooMany = "People.Name";
  for (int i = 0; i < 100; ++i) tooMany += ", People.Age";
  for (const std::string& database : Sources()) {
    const struct {
      std::vector<std::string> params;
      uint16_t code;
    } cases[] = {
        {{database, "People.Name", "1=1) OR (1=1", ""}, 0x1503},
        {{database, "People.Name", "Owner = 'Bob' OR 1 = 1", ""}, 0x1503},
        {{database, "People.Name", "People.Secret = 's4'", ""}, 0x1503},
        {{database, "People.Name", "Name = 'x'; DELETE FROM People", ""}, 0x1503},
        {{database, "People.Name", "", "Age; DELETE FROM People"}, 0x1503},
        {{database, "People.Name", "", "People.Secret"}, 0x1503},
        {{database, "People.Secret", "", ""}, 0x1502},
        {{database, "People.Nope", "", ""}, 0x1502},
        {{database, "Name", "", ""}, 0x1502},
        {{database, "x y.Name(People)", "", ""}, 0x1502},
        {{database, "1p.Name(People)", "", ""}, 0x1502},
        {{database, "p.Name(People", "", ""}, 0x1502},
        {{database, "p.Name)People(", "", ""}, 0x1502},
        {{database, "", "", ""}, 0x1502},
        {{database, tooMany, "", ""}, 0x1502},
        {{database, "*", ""}, 0x1500},
        {{"Hidden", "*", "", ""}, 0x1501},
    };
    for (const auto& c : cases)
      EXPECT_EQ(Code(alice->Db("Search", c.params)), c.code) << database << " " << c.params[1] << " / "
                                                               << c.params[2] << " / " << c.params[3];
    EXPECT_EQ(seed_.Query(OnPostgres(database), "SELECT COUNT(*) FROM People"), "7");
  }
  // User IDs with a quote or a macro in them see their own rows, and only
  // those.
  for (const auto& [id, name] : std::vector<std::pair<std::string, std::string>>{{"O'Hara", "Oona"},
                                                                                {"x$USERIDy", "Xena"}}) {
    auto member = Create(id);
    for (const std::string& database : Sources()) {
      const TableReply reply = member->Db("Search", {database, "People.Name", "Owner = $USERID", ""});
      ASSERT_TRUE(Ended(reply)) << id << " " << Code(reply);
      EXPECT_EQ(member->Names(reply), std::vector<std::string>{name}) << id << " " << database;
    }
  }
}

TEST_P(DatabaseService, BangRulesAndDistinctValues) {
  auto alice = Create("Alice");
  // "!" filters and sorts stand alone: the member's texts are not read.
  const TableReply bang = alice->Db("Search", {"Bang", "People.Name, People.Age", "not read ;'", "nor )("});
  ASSERT_TRUE(Ended(bang)) << Code(bang);
  EXPECT_EQ(alice->Names(bang), (std::vector<std::string>{"Ben", "Amy", "Ann", "Bea"}));

  for (const std::string& database : Sources()) {
    const TableReply colours = alice->Db("GetUniqueFieldValues", {database, "people.colour"});
    ASSERT_TRUE(Ended(colours)) << Code(colours);
    EXPECT_EQ(colours.schema->columns[0].name, "People.Colour");
    const auto names = alice->Names(colours);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), (std::set<std::string>{"Blue", "Red"}));
    EXPECT_EQ(names.size(), 2u);
    EXPECT_EQ(Code(alice->Db("GetUniqueFieldValues", {database, "People.Secret"})), 0x1505);
    EXPECT_EQ(Code(alice->Db("GetUniqueFieldValues", {database, "People.Nope"})), 0x1505);
    EXPECT_EQ(Code(alice->Db("GetUniqueFieldValues", {database})), 0x1500);
  }
  const TableReply bangValues = alice->Db("GetUniqueFieldValues", {"Bang", "People.Owner"});
  const auto owners = alice->Names(bangValues);
  EXPECT_EQ(std::set<std::string>(owners.begin(), owners.end()), (std::set<std::string>{"Alice", "Bob"}));
}

TEST_P(DatabaseService, ProceduresRunWithTheirDefaults) {
  auto alice = Create("Alice");
  // SQLite has no procedures.
  EXPECT_EQ(Code(alice->Db("Call", {"People", "people_count", "x", "0"})), 0x1503);
  if (!seed_.HasPostgres()) return;
  // The first parameter is always the member's user ID, whatever is sent.
  const TableReply count = alice->Db("Call", {"PgPeople", "PEOPLE_COUNT", "Bob", "30"});
  ASSERT_TRUE(Ended(count)) << Code(count);
  ASSERT_EQ(count.schema->columns.size(), 1u);
  EXPECT_EQ(count.schema->columns[0].name, "Column00");
  ASSERT_EQ(count.rows.size(), 1u);
  EXPECT_EQ(Number(count.rows[0][0]), 2);
  // A function that returns nothing: the end, and no schema.
  const TableReply touched = alice->Db("Call", {"PgPeople", "touch", "1"});
  EXPECT_TRUE(Ended(touched)) << Code(touched);
  EXPECT_FALSE(touched.schema.has_value());
  EXPECT_EQ(Row("PgPeople", "Notes", 1), "touched");

  EXPECT_EQ(Code(alice->Db("Call", {"PgPeople", "secret_count", "x", "1"})), 0x150d);
  EXPECT_EQ(Code(alice->Db("Call", {"PgPeople", "nope", "x"})), 0x150d);
  EXPECT_EQ(Code(alice->Db("Call", {"PgPeople", "noparams", "x"})), 0x1500);
  EXPECT_EQ(Code(alice->Db("Call", {"PgPeople", "people_count", "x"})), 0x1500);
  EXPECT_EQ(Code(alice->Db("Call", {"PgPeople", "touch"})), 0x1500);
  EXPECT_EQ(Code(alice->Db("Call", {"Hidden", "touch", "1"})), 0x1501);
}

TEST_P(DatabaseService, AddNewChecksValuesAndFillsMacros) {
  auto alice = Create("Alice");
  const std::string notes = std::string(5000, 'n') + "'\"";
  for (const std::string& database : Sources()) {
    const bool pg = OnPostgres(database);
    const TableReply added = alice->Db(
        "AddNew", {database, "People.Name=\"Zed\", People.Colour=\"red\", People.Owner=\"Bob\", "
                             "People.Age=\"40\", People.Notes=\"" +
                                 std::string(5000, 'n') + "'\\\"\""});
    ASSERT_TRUE(Ended(added)) << database << " " << Code(added);
    // The choice's spelling, the fill macro's owner, the whole long text.
    EXPECT_EQ(seed_.Query(pg, "SELECT Colour FROM People WHERE Name='Zed'"), "Red");
    EXPECT_EQ(seed_.Query(pg, "SELECT Owner FROM People WHERE Name='Zed'"), "Alice");
    EXPECT_EQ(seed_.Query(pg, "SELECT Notes FROM People WHERE Name='Zed'"), notes);

    const struct {
      std::string assignments;
      uint16_t code;
    } refused[] = {
        {"People.Name=\"Old\", People.Age=\"200\"", 0x150b},
        {"People.Height=\"40000\"", 0x150b},
        {"People.Born=\"5\"", 0x150b},
        {"People.Colour=\"Green\"", 0x150c},
        {"People.Name=\"Zed", 0x150a},
        {"People.Name", 0x150a},
        {"People.Name=Zed", 0x150a},
        {"Name=\"Zed\"", 0x1502},
        {"People.Nope=\"1\"", 0x1502},
        {"People.Secret=\"x\"", 0x1502},
        {TooManyAssignments(), 0x1502},
    };
    for (const auto& r : refused)
      EXPECT_EQ(Code(alice->Db("AddNew", {database, r.assignments})), r.code) << database << " " << r.assignments;
    EXPECT_EQ(seed_.Query(pg, "SELECT COUNT(*) FROM People"), "8") << database;
  }
  EXPECT_EQ(Code(alice->Db("AddNew", {"Bang", "People.Name=\"x\""})), 0x1509);
  EXPECT_EQ(Code(alice->Db("AddNew", {"Gone", "People.Name=\"x\""})), 0x1501);
  EXPECT_EQ(Code(alice->Db("AddNew", {"People"})), 0x1500);
  // Write-only: adding without the read key.
  EXPECT_TRUE(Ended(alice->Db("AddNew", {"WriteOnly", "People.Name=\"Wo\""})));

  auto odd = Create("x$USERIDy");
  ASSERT_TRUE(Ended(odd->Db("AddNew", {"People", "People.Name=\"Odd\""})));
  EXPECT_EQ(seed_.Query(false, "SELECT Owner FROM People WHERE Name='Odd'"), "x$USERIDy");
}

TEST_P(DatabaseService, UpdatesAndDeletesReachOnlyOwnRowsByWholeKeys) {
  auto alice = Create("Alice");
  for (const std::string& database : Sources()) {
    const bool pg = OnPostgres(database);
    ASSERT_TRUE(Ended(alice->Db("Update", {database, " 1 ", "People.Name=\"Anne\", People.Owner=\"Bob\""})));
    EXPECT_EQ(Row(database, "Name", 1), "Anne");
    EXPECT_EQ(Row(database, "Owner", 1), "Alice");
    for (const char* key : {"4", "4) OR (People.PersonID=4", "abc", "", "1 OR 1=1", "99"})
      EXPECT_EQ(Code(alice->Db("Update", {database, key, "People.Name=\"Mine\""})), 0x1507) << key;
    EXPECT_EQ(Row(database, "Name", 4), "Bea");
    EXPECT_EQ(Code(alice->Db("Update", {database, "1", "People.Age=\"-1\""})), 0x150b);
    EXPECT_EQ(Code(alice->Db("Update", {database, "1"})), 0x1500);

    EXPECT_EQ(Code(alice->Db("Delete", {database, "5"})), 0x1507);
    EXPECT_EQ(Code(alice->Db("Delete", {database, "5) OR (People.PersonID=5"})), 0x1507);
    ASSERT_TRUE(Ended(alice->Db("Delete", {database, "2"})));
    EXPECT_EQ(seed_.Query(pg, "SELECT COUNT(*) FROM People WHERE PersonID=2"), "0");
    EXPECT_EQ(Code(alice->Db("Delete", {database, "2"})), 0x1507);
    EXPECT_EQ(seed_.Query(pg, "SELECT COUNT(*) FROM People"), "6");
  }
  // A key that names two of the member's rows changes neither.
  EXPECT_EQ(Code(alice->Db("Delete", {"ByColour", "Red"})), 0x1504);
  EXPECT_EQ(Code(alice->Db("Update", {"ByColour", "Red", "People.Name=\"Both\""})), 0x1504);
  EXPECT_EQ(seed_.Query(false, "SELECT COUNT(*) FROM People WHERE Colour='Red'"), "4");
  EXPECT_EQ(Code(alice->Db("Update", {"Bang", "1", "People.Name=\"x\""})), 0x1509);
  EXPECT_EQ(Code(alice->Db("Delete", {"Bang", "1"})), 0x1509);
}

TEST_P(DatabaseService, MediaTravelThroughTheMediaDirectoryOnly) {
  auto alice = Create("Alice");
  auto bob = Create("Bob");
  const fs::path media = seed_.MediaDirectory();
  // Files a stored path might try to reach.
  std::ofstream(MemberInstall::Root() / "secret.txt") << "root secret";
  std::ofstream(MemberInstall::Root() / "var/lib/quillnet/secret.txt") << "program secret";
  std::string scan(40000, 0);
  for (size_t i = 0; i < scan.size(); ++i) scan[i] = static_cast<char>(i * 7 % 251);

  for (const std::string& database : Sources()) {
    const bool pg = OnPostgres(database);
    const std::string photo(2000, pg ? 'P' : 'S');
    ASSERT_TRUE(Ended(alice->Upload(database, "1", "People.Photo", photo))) << database;
    const std::string stored = Row(database, "Photo", 1);
    ASSERT_EQ(stored.size(), 8u) << stored;
    EXPECT_TRUE(fs::exists(media / stored));
    EXPECT_EQ(alice->Media(database, "1", "People.Photo"), photo);

    // A cancelled upload keeps the media.
    const uint16_t id = alice->StartUpload(database, "1", "People.Photo", std::string(1500, 'x'), false);
    ASSERT_TRUE(alice->client.Cancel(id));
    EXPECT_EQ(alice->Media(database, "1", "People.Photo"), photo);
    EXPECT_EQ(TemporaryFiles(media), std::vector<std::string>{});

    // Long binary: whole through the media requests, cut to one packet in a
    // search row with its length true.
    ASSERT_TRUE(Ended(alice->Upload(database, "3", "People.Scan", scan))) << database;
    EXPECT_EQ(alice->Media(database, "3", "People.Scan"), scan);
    const TableReply row = alice->Db("Search", {database, "People.Scan, People.Name", "People.PersonID = 3", ""});
    ASSERT_EQ(row.rows.size(), 1u);
    const std::string cut = Bytes(row.rows[0][0]);
    EXPECT_GT(cut.size(), 30000u);
    EXPECT_EQ(cut, scan.substr(0, cut.size()));
    EXPECT_EQ(Text(row.rows[0][1]), "Amy");
    ASSERT_TRUE(Ended(alice->Upload(database, "3", "People.Scan", "")));
    EXPECT_EQ(Row(database, "Scan", 3), "(null)");
    EXPECT_EQ(alice->Media(database, "3", "People.Scan"), "code " + std::to_string(0x1508));

    // Long text as media, whole; a zero byte, which neither database keeps
    // in text, is refused with the old value kept.
    const std::string text = std::string(3000, 't') + "\xe9nd";
    ASSERT_TRUE(Ended(alice->Upload(database, "3", "People.Notes", text)));
    EXPECT_EQ(alice->Media(database, "3", "People.Notes"), text);
    EXPECT_EQ(Code(alice->Upload(database, "3", "People.Notes", "a" + std::string(1, '\0') + "b")), 0x1503);
    EXPECT_EQ(alice->Media(database, "3", "People.Notes"), text);

    // Refusals before anything travels.
    EXPECT_EQ(Code(alice->Upload(database, "1", "People.Avatar", "a")), 0x1503);  // no media directory
    EXPECT_EQ(Code(bob->Upload(database, "1", "People.Photo", "b")), 0x1507);
    EXPECT_EQ(alice->Media(database, "4", "People.Photo"), "code " + std::to_string(0x1507));
    EXPECT_EQ(alice->Media(database, "1", "People.Name"), "code " + std::to_string(0x1506));
    EXPECT_EQ(alice->Media(database, "1", "People.Secret"), "code " + std::to_string(0x1505));
    EXPECT_EQ(alice->Media(database, "1", "People.Avatar"), "code " + std::to_string(0x1508));
    EXPECT_EQ(Code(alice->Db("SetMedia", {"Bang", "1", "People.Photo"})), 0x1509);

    // Stored paths reach nothing outside the media directory.
    for (const char* path : {"C:\\secret.txt", "..\\secret.txt", "../secret.txt", "..", "media\\..", ""}) {
      seed_.Exec(pg, std::string("UPDATE People SET Photo='") + path + "' WHERE PersonID=3");
      EXPECT_EQ(alice->Media(database, "3", "People.Photo"), "code " + std::to_string(0x1508)) << path;
    }

    // Deleting the row removes its media file.
    ASSERT_TRUE(Ended(alice->Db("Delete", {database, "1"})));
    EXPECT_FALSE(fs::exists(media / stored));
  }
  // So does an upload cut off with its connection.
  auto oona = Create("O'Hara");
  ASSERT_TRUE(Ended(oona->Upload("People", "6", "People.Photo", "first")));
  const std::string stored = Row("People", "Photo", 6);
  oona->StartUpload("People", "6", "People.Photo", std::string(3000, 'y'), false);
  oona->StartUpload("People", "6", "People.Scan", std::string(3000, 'z'), false);
  // Both uploads are under way when the connection goes.
  for (int i = 0; i < 1500 && (TemporaryFiles(media, 0).empty() || TemporaryFiles(TempDirectory(), 0).empty()); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(TemporaryFiles(media, 0).empty());
  oona.reset();
  EXPECT_EQ(TemporaryFiles(media), std::vector<std::string>{});
  EXPECT_EQ(TemporaryFiles(TempDirectory()), std::vector<std::string>{});
  std::ifstream kept(media / stored);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "first");
  EXPECT_EQ(Row("People", "Scan", 6), "(null)");
}

TEST_P(DatabaseService, LongResultsStreamWholeAndAMemberMayLeaveMidway) {
  std::string rows;
  for (int i = 0; i < 300; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "Zz%03d", i);
    rows += std::string(rows.empty() ? "" : ", ") + "(" + std::to_string(1000 + i) + ", '" + name + "', 'Alice', " +
            std::to_string(i % 100) + ")";
  }
  for (const std::string& database : Sources())
    seed_.Exec(OnPostgres(database), "INSERT INTO People (PersonID, Name, Owner, Age) VALUES " + rows);
  auto alice = Create("Alice");
  for (const std::string& database : Sources()) {
    const TableReply all = alice->Db("Search", {database, "People.Name", "", ""});
    ASSERT_TRUE(Ended(all)) << Code(all);
    const auto names = alice->Names(all);
    ASSERT_EQ(names.size(), 303u) << database;
    EXPECT_EQ(names[3], "Zz000");
    EXPECT_EQ(names.back(), "Zz299");
    const TableReply ages = alice->Db("GetUniqueFieldValues", {database, "People.Age"});
    EXPECT_EQ(ages.rows.size(), 100u) << database;  // 0 to 99, Alice's first three among them
  }
  // Members who leave in the middle of long results take nothing with them.
  for (int i = 0; i < 3; ++i) {
    auto leaver = Create("Leaver" + std::to_string(i));
    for (const std::string& database : Sources())
      EXPECT_TRUE(leaver->client.Request(100, "Database", "Search", qn::client::Params({database, "*", "", ""})));
  }
  for (const std::string& database : Sources()) {
    ASSERT_TRUE(Ended(alice->Db("Update", {database, "1000", "People.Name=\"Still\""}))) << database;
    EXPECT_EQ(Row(database, "Name", 1000), "Still");
  }
}

INSTANTIATE_TEST_SUITE_P(BothStorageModes, DatabaseService,
                         ::testing::Values(StorageMode::Access, StorageMode::Postgres), [](const auto& info) {
                           return std::string(info.param == StorageMode::Access ? "Access" : "Postgres");
                         });

}  // namespace
