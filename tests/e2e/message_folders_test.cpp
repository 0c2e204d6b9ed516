// The message folders against the real server, in both storage modes: the
// folder tree and its paths, header and read lists, single messages and
// responses, posting, editing and deletion, refusals that write nothing, and
// walks cut short by a cancel or a dropped connection.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "server/data/folder_tree.h"
#include "support/member_client.h"
#include "support/member_install.h"
#include "support/message_seed.h"
#include "support/protocol_client.h"
#include "support/server_process.h"

namespace {

using qn::client::Params;
using qn::client::ProtocolClient;
using qn::client::TableReply;
using qn::test::Code;
using qn::test::Ended;
using qn::test::MemberInstall;
using qn::test::MessageSeed;
using qn::test::StorageMode;

constexpr int32_t kHeldKey = 2;    // in the default key chain, affordable
constexpr int32_t kStaffKey = 4;   // only in the chain no member gets by default
constexpr uint16_t kNoAccess = 0x1307;
constexpr uint16_t kBadParameters = 0x1304;

std::string Text(const qn::DecodedValue& value) { return std::get<std::string>(value); }
int32_t Number(const qn::DecodedValue& value) { return std::get<int32_t>(value); }

// "YYYY-MM-DD HH:MM:SS" local time as seconds since 1970, as DATE columns
// carry it.
int32_t Epoch(const std::string& date) {
  std::tm local{};
  std::sscanf(date.c_str(), "%d-%d-%d %d:%d:%d", &local.tm_year, &local.tm_mon, &local.tm_mday,
              &local.tm_hour, &local.tm_min, &local.tm_sec);
  local.tm_year -= 1900;
  local.tm_mon -= 1;
  local.tm_isdst = -1;
  return static_cast<int32_t>(std::mktime(&local));
}

// Midnight of a day as the automation DATE number a client sends.
std::string DateNumber(int y, unsigned m, unsigned d) {
  using namespace std::chrono;
  const auto days = sys_days{year{y} / month{m} / day{d}} - sys_days{year{1899} / December / 30};
  return std::to_string(days.count());
}

// A member of the message service.
class Member : public qn::test::Member {
 public:
  TableReply Ask(const std::string& item, const std::vector<std::string>& params = {}) {
    return Call("Message", item, params);
  }
};

// The given column of every row, as text.
std::vector<std::string> Column(const TableReply& reply, size_t column) {
  std::vector<std::string> out;
  for (const auto& row : reply.rows) {
    if (std::holds_alternative<std::string>(row[column])) out.push_back(Text(row[column]));
    else out.push_back(std::to_string(Number(row[column])));
  }
  return out;
}

std::vector<std::string> Ids(std::initializer_list<int32_t> ids) {
  std::vector<std::string> out;
  for (int32_t id : ids) out.push_back(std::to_string(id));
  return out;
}

class MessageFolders : public ::testing::TestWithParam<StorageMode> {
 protected:
  void SetUp() override {
    if (GetParam() == StorageMode::Postgres && !qn::test::PostgresTestServerAvailable())
      GTEST_SKIP() << "no PostgreSQL test server (QN_TEST_PG_HOST)";
    port_ = qn::test::FindFreePort();
    std::string error;
    ASSERT_TRUE(install_.Create(GetParam(), port_, &error)) << error;
    install_.SeedAccountDefaults(1000, 0, -1);
    ASSERT_TRUE(server_.Start("qnsvr32", {"-sa"}, MemberInstall::Root().string(), port_))
        << server_.StderrText();
  }
  void TearDown() override {
    if (server_.IsRunning()) {
      // Whatever happened, the server serves the next client.
      Member next;
      EXPECT_TRUE(next.Open(port_));
      EXPECT_EQ(Code(next.Call("Logon", "Logon", {"nobody", "pw"})), 0x130B);
      EXPECT_EQ(server_.Stop(), 0);
    }
    if (HasFailure()) ADD_FAILURE() << "server's standard error:\n" << server_.StderrText();
  }

  std::unique_ptr<Member> Create(const std::string& id) {
    auto member = std::make_unique<Member>();
    EXPECT_TRUE(member->Open(port_));
    EXPECT_TRUE(Ended(member->Call("Logon", "CreateAccount", {id, "pw"}))) << id;
    return member;
  }
  long Audits(const std::string& where) {
    return install_.Count("QNAUDIT",
                          "SELECT * FROM AuditTrail WHERE ServiceName='Message' AND " + where);
  }

  uint16_t port_ = 0;
  MemberInstall install_;
  MessageSeed seed_{install_};
  qn::test::ServerProcess server_;
};

TEST_P(MessageFolders, TreeComesBreadthFirstByNameWithoutUnreadableSubtrees) {
  install_.ExecAccount("INSERT INTO UserID2Keys (UserID, KeyID) VALUES ('Staff', 4)");
  auto ann = Create("Ann");
  auto staff = Create("Staff");

  const TableReply empty = ann->Ask("GetMessageFolders", {""});
  ASSERT_TRUE(Ended(empty));
  ASSERT_TRUE(empty.schema.has_value());
  EXPECT_EQ(empty.schema->rowCount, -1);
  ASSERT_EQ(empty.schema->columns.size(), 4u);
  const std::pair<uint8_t, const char*> columns[] = {
      {4, "ParentID"}, {7, "Folder"}, {4, "FolderID"}, {1, "WriteKey"}};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(empty.schema->columns[i].type, columns[i].first);
    EXPECT_EQ(empty.schema->columns[i].name, columns[i].second);
  }
  EXPECT_TRUE(empty.rows.empty());

  const int32_t zeta = seed_.AddFolder("Zeta", -1);
  const int32_t alpha = seed_.AddFolder("alpha", -1, -1, kStaffKey);
  const int32_t hidden = seed_.AddFolder("Hidden", -1, kStaffKey);
  const int32_t beta = seed_.AddFolder("Beta", -1, kHeldKey, kHeldKey);
  const int32_t a2 = seed_.AddFolder("a2", alpha);
  const int32_t a1 = seed_.AddFolder("A1", alpha);
  const int32_t b1 = seed_.AddFolder("b1", beta, -1, kStaffKey);
  seed_.AddFolder("Below hidden", hidden);
  const int32_t deep = seed_.AddFolder("deep", a2);
  const int32_t secret = seed_.AddFolder("secret", a1, kStaffKey);
  seed_.AddFolder("inside secret", secret);

  const TableReply tree = ann->Ask("getmessagefolders", {""});
  ASSERT_TRUE(Ended(tree));
  EXPECT_EQ(Column(tree, 1),
            (std::vector<std::string>{"alpha", "Beta", "Zeta", "A1", "a2", "b1", "deep"}));
  EXPECT_EQ(Column(tree, 0), Ids({-1, -1, -1, alpha, alpha, beta, a2}));
  EXPECT_EQ(Column(tree, 2), Ids({alpha, beta, zeta, a1, a2, b1, deep}));
  EXPECT_EQ(Column(tree, 3), Ids({0, 1, 1, 1, 1, 0, 1}));

  const TableReply all = staff->Ask("GetMessageFolders");
  EXPECT_EQ(Column(all, 1), (std::vector<std::string>{"alpha", "Beta", "Hidden", "Zeta", "A1",
                                                      "a2", "b1", "Below hidden", "secret",
                                                      "deep", "inside secret"}));
  EXPECT_EQ(Column(all, 3)[0], "1");

  struct PathCase {
    std::string path;
    std::vector<std::string> annSees;
    std::vector<std::string> staffSees;
  };
  const PathCase cases[] = {
      {"ALPHA",
       {"alpha", "A1", "a2", "deep"},
       {"alpha", "A1", "a2", "secret", "deep", "inside secret"}},
      {"Alpha\\A2", {"a2", "deep"}, {"a2", "deep"}},
      {"alpha\\a1\\SECRET", {}, {"secret", "inside secret"}},
      {"Hidden\\Below hidden", {}, {"Below hidden"}},
      {"nothing", {}, {}},
      {"alpha\\", {}, {}},
      {"\\alpha", {}, {}},
  };
  for (const PathCase& c : cases) {
    for (auto* member : {ann.get(), staff.get()}) {
      const TableReply reply = member->Ask("GetMessageFolders", {c.path});
      ASSERT_TRUE(Ended(reply)) << c.path;
      EXPECT_TRUE(reply.schema.has_value()) << c.path;
      EXPECT_EQ(Column(reply, 1), member == ann.get() ? c.annSees : c.staffSees) << c.path;
    }
  }
  // Only the first parameter is read.
  EXPECT_EQ(Column(ann->Ask("GetMessageFolders", {"alpha\\a2", "zeta"}), 1),
            (std::vector<std::string>{"a2", "deep"}));
}

TEST_P(MessageFolders, TreeIsTheSameReadWholeOrLevelByLevel) {
  install_.ExecAccount("INSERT INTO UserID2Keys (UserID, KeyID) VALUES ('Staff', 4)");
  auto ann = Create("Ann");
  auto staff = Create("Staff");
  // Equal names but for case, a hidden subtree, and a folder whose id -1
  // makes the top level its children.
  const int32_t upper = seed_.AddFolder("ALPHA", -1);
  const int32_t lower = seed_.AddFolder("alpha", -1, -1, kStaffKey);
  const int32_t hidden = seed_.AddFolder("Hidden", -1, kStaffKey);
  const int32_t inner = seed_.AddFolder("inner", hidden);
  seed_.AddFolder("Deeper", inner);
  const int32_t b = seed_.AddFolder("b", upper);
  seed_.AddFolder("B", upper);
  seed_.AddFolder("a", lower);
  seed_.Exec("INSERT INTO Folders (FolderID, Folder, ParentID, Code, ReadKey, WriteKey) "
             "VALUES (-1, 'minus', " + std::to_string(b) + ", 0, -1, -1)");
  const std::vector<std::string> paths = {
      "",       "ALPHA",          "alpha\\B",   "Alpha\\\\b", "\\alpha",   "alpha\\",
      "nothing", "hidden\\INNER", "Hidden\\Inner\\deeper",   "alpha\\b\\minus\\alpha"};
  auto answers = [&] {
    std::vector<std::string> wire;
    for (Member* member : {ann.get(), staff.get()})
      for (const std::string& path : paths)
        wire.push_back(qn::test::Wire(member->Ask("GetMessageFolders", {path})));
    return wire;
  };
  const std::vector<std::string> whole = answers();
  EXPECT_EQ(Column(ann->Ask("GetMessageFolders"), 1),
            (std::vector<std::string>{"ALPHA", "alpha", "b", "B", "a", "minus"}));
  // The top level is listed once, and walked once: the walk ends.
  const TableReply cycle = staff->Ask("GetMessageFolders", {"alpha\\b\\minus\\alpha"});
  EXPECT_TRUE(Ended(cycle) && cycle.schema && cycle.rows.empty());

  // Rows no walk reaches push the table over what a walk holds in memory:
  // each level is then read by its own statement, with the same answers.
  seed_.Exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i <= " +
             std::to_string(kFolderRowsInMemory) +
             ") INSERT INTO Folders (Folder, ParentID, Code, ReadKey, WriteKey) "
             "SELECT 'filler', -7, 0, -1, -1 FROM n");
  ASSERT_GT(seed_.Count("SELECT FolderID FROM Folders"), static_cast<long>(kFolderRowsInMemory));
  const std::vector<std::string> byLevel = answers();
  for (size_t i = 0; i < whole.size(); ++i)
    EXPECT_EQ(byLevel[i], whole[i]) << paths[i % paths.size()];
}

TEST_P(MessageFolders, HeaderListsSortFilterByDateWindowAndEndEmptyWithoutSchema) {
  auto ann = Create("Ann");
  const int32_t news = seed_.AddFolder("News", -1);
  const int32_t other = seed_.AddFolder("Other", -1);
  const int32_t closed = seed_.AddFolder("Closed", -1, kStaffKey);
  const int32_t m1 = seed_.AddMessage(news, "Charlie", "bob", "2020-03-14 09:00:00");
  const int32_t m2 = seed_.AddMessage(news, "Alpha", "Carl", "2020-03-15 23:59:58");
  const int32_t m3 = seed_.AddMessage(news, "Bravo", "bob", "2020-03-15 23:59:59");
  const int32_t m4 = seed_.AddMessage(news, "Delta", "amy", "2020-03-16 00:00:00");
  const int32_t m5 = seed_.AddMessage(news, "Early", "amy", "1979-12-31 23:59:59");
  const int32_t m6 = seed_.AddMessage(news, "Late", "amy", "2035-12-31 23:59:58");
  const int32_t m7 = seed_.AddMessage(news, "Last in", "amy", "2035-12-31 23:59:57");
  const int32_t m8 = seed_.AddMessage(news, "First in", "amy", "1980-01-01 00:00:00");
  seed_.AddMessage(other, "Elsewhere", "amy", "2020-03-15 12:00:00");
  const int32_t shut = seed_.AddMessage(closed, "Shut", "amy", "2020-03-15 12:00:00");
  const int32_t orphan = seed_.AddMessage(4242, "Orphan", "amy", "2020-03-15 12:00:00");
  const std::string id = std::to_string(news);

  const TableReply all = ann->Ask("GetMessageHeaders", {id});
  ASSERT_TRUE(Ended(all));
  ASSERT_TRUE(all.schema.has_value());
  EXPECT_EQ(all.schema->rowCount, -1);
  const std::pair<uint8_t, const char*> columns[] = {
      {7, "Title"}, {6, "Date"}, {7, "UserID"}, {4, "MsgID"}};
  ASSERT_EQ(all.schema->columns.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(all.schema->columns[i].type, columns[i].first);
    EXPECT_EQ(all.schema->columns[i].name, columns[i].second);
  }
  // Dates are not used without an order that names them.
  EXPECT_EQ(Column(all, 3), Ids({m6, m7, m4, m3, m2, m1, m8, m5}));
  ASSERT_EQ(all.rows.size(), 8u);
  EXPECT_EQ(Text(all.rows[3][0]), "Bravo");
  EXPECT_EQ(Number(all.rows[3][1]), Epoch("2020-03-15 23:59:59"));
  EXPECT_EQ(Text(all.rows[3][2]), "bob");

  struct Case {
    const char* item;
    std::vector<std::string> params;
    std::vector<std::string> ids;
  };
  const std::string from = DateNumber(2020, 3, 14), to = DateNumber(2020, 3, 15);
  const Case cases[] = {
      // The default window: 1 January 1980 up to, not including, 31 December
      // 2035 23:59:58; dates that are no numbers take it too.
      {"GetMessageHeadersByDate", {id}, Ids({m7, m4, m3, m2, m1, m8})},
      {"GetMessageHeadersByDate", {id, "soon", "0"}, Ids({m7, m4, m3, m2, m1, m8})},
      // A to date covers its day up to, not including, 23:59:59.
      {"GetMessageHeadersByDate", {id, from, to}, Ids({m2, m1})},
      {"GetMessageHeadersByDate", {id, "", to}, Ids({m2, m1, m8})},
      {"GetMessageHeadersByAuthor", {id}, Ids({m7, m4, m8, m3, m1, m2})},
      {"GetMessageHeadersByTitle", {id}, Ids({m2, m3, m1, m4, m8, m7})},
      {"GETMESSAGEHEADERSBYTITLE", {id, from, to}, Ids({m2, m1})},
  };
  for (const Case& c : cases) {
    const TableReply reply = ann->Ask(c.item, c.params);
    EXPECT_TRUE(Ended(reply)) << c.item << " code " << Code(reply);
    EXPECT_EQ(Column(reply, 3), c.ids) << c.item << " " << c.params.size();
  }

  // Responses: the column named MsgID carries the ResponseID.
  const int32_t r1 = seed_.AddResponse(m1, news, "Re b", "bob", "2020-03-16 10:00:00");
  const int32_t r2 = seed_.AddResponse(m1, news, "Re a", "amy", "2020-03-17 10:00:00");
  const int32_t r3 = seed_.AddResponse(m1, news, "Re c", "amy", "2020-03-14 10:00:00");
  seed_.AddResponse(m2, news, "Re other", "amy", "2020-03-16 10:00:00");
  const std::string msg = std::to_string(m1);
  const Case responses[] = {
      {"GetResponseHeaders", {msg}, Ids({r2, r1, r3})},
      {"GetResponseHeadersByDate", {msg, DateNumber(2020, 3, 15), DateNumber(2020, 3, 16)},
       Ids({r1})},
      {"GetResponseHeadersByAuthor", {msg}, Ids({r2, r3, r1})},
      {"GetResponseHeadersByTitle", {msg}, Ids({r2, r1, r3})},
  };
  for (const Case& c : responses) {
    const TableReply reply = ann->Ask(c.item, c.params);
    EXPECT_TRUE(Ended(reply)) << c.item << " code " << Code(reply);
    EXPECT_EQ(Column(reply, 3), c.ids) << c.item;
  }
  const TableReply one = ann->Ask("GetResponseHeaders", {msg});
  ASSERT_EQ(one.rows.size(), 3u);
  EXPECT_EQ(one.schema->columns[3].name, "MsgID");
  EXPECT_EQ(Text(one.rows[0][0]), "Re a");
  EXPECT_EQ(Number(one.rows[0][1]), Epoch("2020-03-17 10:00:00"));

  // Empty lists end without a schema.
  const int32_t quiet = seed_.AddFolder("Quiet", -1);
  for (const TableReply& reply :
       {ann->Ask("GetMessageHeaders", {std::to_string(quiet)}),
        ann->Ask("GetMessageHeadersByDate", {id, DateNumber(2001, 1, 1), DateNumber(2001, 1, 2)}),
        ann->Ask("GetResponseHeadersByTitle", {std::to_string(m3)}),
        ann->Ask("GetMessageUserReadList", {std::to_string(m3)}),
        ann->Ask("GetResponseUserReadList", {std::to_string(r1)})}) {
    EXPECT_TRUE(Ended(reply)) << Code(reply);
    EXPECT_FALSE(reply.schema.has_value());
  }

  // Folders that are missing or closed to the member, for messages and
  // responses alike; a fourth parameter.
  const Case refusals[] = {
      {"GetMessageHeaders", {"9999"}, {}},
      {"GetMessageHeadersByTitle", {std::to_string(closed)}, {}},
      {"GetMessageHeaders", {"not a number"}, {}},
      {"GetResponseHeaders", {"9999"}, {}},
      {"GetResponseHeadersByAuthor", {std::to_string(shut)}, {}},
      {"GetResponseHeaders", {std::to_string(orphan)}, {}},
  };
  for (const Case& c : refusals) EXPECT_EQ(Code(ann->Ask(c.item, c.params)), kNoAccess) << c.item;
  EXPECT_EQ(Code(ann->Ask("GetMessageHeadersByDate", {id, from, to, "x"})), kBadParameters);
  EXPECT_EQ(Code(ann->Ask("GetResponseHeaders", {msg, from, to, "x"})), kBadParameters);
}

TEST_P(MessageFolders, ReadingsAreRecordedAndListedNewestFirst) {
  auto ann = Create("Ann");
  auto bob = Create("Bob");
  const int32_t news = seed_.AddFolder("News", -1);
  const int32_t closed = seed_.AddFolder("Closed", -1, kStaffKey);
  const std::string body = "It's a \\ test with \"quotes\" and \xe9\xff bytes";
  const int32_t m = seed_.AddMessage(news, "Hello", "bob", "2020-03-14 09:00:00", body);
  const int32_t r = seed_.AddResponse(m, news, "Re", "amy", "2020-03-15 09:00:00", "A reply");
  const int32_t shut = seed_.AddMessage(closed, "Shut", "amy", "2020-03-15 12:00:00", "no");
  const int32_t shutReply = seed_.AddResponse(shut, closed, "Re", "amy", "2020-03-15 12:00:00");
  const int32_t orphan = seed_.AddMessage(4242, "Orphan", "amy", "2020-03-15 12:00:00", "no");
  const int32_t orphanReply = seed_.AddResponse(orphan, 4242, "Re", "amy", "2020-03-15 12:00:00");
  const int32_t lostReply = seed_.AddResponse(8888, news, "Re", "amy", "2020-03-15 12:00:00");

  const TableReply first = ann->Ask("GetMessage", {std::to_string(m)});
  ASSERT_TRUE(Ended(first)) << Code(first);
  ASSERT_TRUE(first.schema.has_value());
  EXPECT_EQ(first.schema->rowCount, 1);
  ASSERT_EQ(first.schema->columns.size(), 1u);
  EXPECT_EQ(first.schema->columns[0].name, "Msg");
  ASSERT_EQ(first.rows.size(), 1u);
  EXPECT_EQ(Text(first.rows[0][0]), body);
  // The database dates the reading; an older one shows it is listed second.
  seed_.Exec("UPDATE MsgRead SET Date = " + seed_.Timestamp("2001-02-03 04:05:06"));
  EXPECT_EQ(Text(ann->Ask("GetMessage", {std::to_string(m)}).rows.at(0)[0]), body);
  EXPECT_TRUE(Ended(bob->Ask("getmessage", {std::to_string(m)})));

  const TableReply readers = ann->Ask("GetMessageUserReadList", {std::to_string(m)});
  ASSERT_TRUE(Ended(readers));
  ASSERT_EQ(readers.schema->columns.size(), 2u);
  EXPECT_EQ(readers.schema->columns[0].name, "Date");
  EXPECT_EQ(readers.schema->columns[1].name, "UserID");
  ASSERT_EQ(readers.rows.size(), 3u);
  EXPECT_EQ(Number(readers.rows[2][0]), Epoch("2001-02-03 04:05:06"));
  EXPECT_EQ(Text(readers.rows[2][1]), "Ann");
  const int32_t now = static_cast<int32_t>(std::time(nullptr));
  for (int i = 0; i < 2; ++i) EXPECT_NEAR(Number(readers.rows[i][0]), now, 120);
  EXPECT_GE(Number(readers.rows[0][0]), Number(readers.rows[1][0]));

  const TableReply reply = bob->Ask("GetResponse", {std::to_string(r)});
  ASSERT_EQ(reply.rows.size(), 1u);
  EXPECT_EQ(reply.schema->columns[0].name, "Msg");
  EXPECT_EQ(Text(reply.rows[0][0]), "A reply");
  const TableReply replyReaders = ann->Ask("GetResponseUserReadList", {std::to_string(r)});
  ASSERT_EQ(replyReaders.rows.size(), 1u);
  EXPECT_EQ(Text(replyReaders.rows[0][1]), "Bob");

  // Refusals write no reading.
  const long msgReads = seed_.Count("SELECT * FROM MsgRead");
  const long responseReads = seed_.Count("SELECT * FROM ResponseRead");
  struct Case {
    const char* item;
    std::vector<std::string> params;
    uint16_t code;
  };
  const Case cases[] = {
      {"GetMessage", {"9999"}, kBadParameters},
      {"GetMessage", {"first"}, kBadParameters},
      {"GetMessage", {}, kBadParameters},
      {"GetMessage", {std::to_string(m), "1"}, kBadParameters},
      {"GetMessage", {std::to_string(shut)}, kNoAccess},
      {"GetMessage", {std::to_string(orphan)}, kNoAccess},
      {"GetResponse", {"9999"}, kBadParameters},
      {"GetResponse", {std::to_string(r), ""}, kBadParameters},
      {"GetResponse", {std::to_string(shutReply)}, kNoAccess},
      {"GetResponse", {std::to_string(orphanReply)}, kNoAccess},
      {"GetMessageUserReadList", {"9999"}, kNoAccess},
      {"GetMessageUserReadList", {std::to_string(shut)}, kNoAccess},
      {"GetMessageUserReadList", {std::to_string(orphan)}, kNoAccess},
      {"GetMessageUserReadList", {std::to_string(m), "2"}, kBadParameters},
      {"GetResponseUserReadList", {"9999"}, kNoAccess},
      {"GetResponseUserReadList", {std::to_string(shutReply)}, kNoAccess},
      {"GetResponseUserReadList", {std::to_string(lostReply)}, kNoAccess},
      {"GetResponseUserReadList", {std::to_string(orphanReply)}, kNoAccess},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Code(ann->Ask(c.item, c.params)), c.code) << c.item << " " << c.params.size();
  EXPECT_EQ(seed_.Count("SELECT * FROM MsgRead"), msgReads);
  EXPECT_EQ(seed_.Count("SELECT * FROM ResponseRead"), responseReads);
}

TEST_P(MessageFolders, PostingEditingAndDeletionFollowTheWriteRuleAndTheAuthor) {
  install_.ExecAccount("INSERT INTO UserID2Keys (UserID, KeyID) VALUES ('Staff', 4)");
  // The author's user ID holds a quote and an 8-bit byte.
  const std::string kAuthor = "O'H\xe1ra";
  auto author = Create(kAuthor);
  auto staff = Create("Staff");
  const int32_t open = seed_.AddFolder("Open", -1, -1, kHeldKey);
  const int32_t staffOnly = seed_.AddFolder("Staff only", -1, -1, kStaffKey);
  const std::string folder = std::to_string(open);

  // Text with quotes, backslashes and 8-bit bytes is stored as it came.
  const std::string title = "It's \\ \"mine\" \xe9";
  const std::string body = "Body ' \\' \xfe\xff\x80 end";
  ASSERT_TRUE(Ended(author->Ask("PostMessage", {title, body, folder})));
  const TableReply headers = author->Ask("GetMessageHeaders", {folder});
  ASSERT_EQ(headers.rows.size(), 1u);
  EXPECT_EQ(Text(headers.rows[0][0]), title);
  EXPECT_EQ(Text(headers.rows[0][2]), kAuthor);
  EXPECT_NEAR(Number(headers.rows[0][1]), static_cast<int32_t>(std::time(nullptr)), 120);
  const std::string msg = std::to_string(Number(headers.rows[0][3]));
  EXPECT_EQ(Text(author->Ask("GetMessage", {msg}).rows.at(0)[0]), body);
  EXPECT_EQ(Audits("KeyWord='PostMessage' AND UserID='O''H\xe1ra' AND Description='Posted a "
                   "response to folder " + folder + "'"),
            1);

  ASSERT_TRUE(Ended(staff->Ask("PostResponse", {"Re: it", "Agreed \xe9", folder, msg})));
  const TableReply responses = author->Ask("GetResponseHeaders", {msg});
  ASSERT_EQ(responses.rows.size(), 1u);
  EXPECT_EQ(Text(responses.rows[0][2]), "Staff");
  const std::string response = std::to_string(Number(responses.rows[0][3]));
  EXPECT_EQ(Text(author->Ask("GetResponse", {response}).rows.at(0)[0]), "Agreed \xe9");
  EXPECT_EQ(Audits("KeyWord='PostResponse' AND Description='Posted a response to folder " +
                   folder + "'"),
            1);

  // Refusals write nothing: no row, no reading, no audit entry.
  const int32_t elsewhere = seed_.AddMessage(staffOnly, "Staff", "Staff", "2020-01-01 10:00:00");
  const auto counts = [&] {
    return std::vector<long>{seed_.Count("SELECT * FROM Messages"),
                             seed_.Count("SELECT * FROM Responses"),
                             install_.Count("QNAUDIT", "SELECT * FROM AuditTrail")};
  };
  const std::vector<long> before = counts();
  struct Case {
    Member* member;
    const char* item;
    std::vector<std::string> params;
    uint16_t code;
  };
  const std::string staffFolder = std::to_string(staffOnly);
  const Case cases[] = {
      {author.get(), "PostMessage", {"t", "b", staffFolder}, kNoAccess},
      {author.get(), "PostMessage", {"t", "b", "9999"}, kBadParameters},
      {author.get(), "PostMessage", {"t", "b", "not a number"}, kBadParameters},
      {author.get(), "PostMessage", {"t", "b"}, kBadParameters},
      {author.get(), "PostMessage", {"t", "b", folder, ""}, kBadParameters},
      {author.get(), "PostResponse", {"t", "b", staffFolder, std::to_string(elsewhere)}, kNoAccess},
      // A response lives only in its message's folder.
      {staff.get(), "PostResponse", {"t", "b", staffFolder, msg}, kBadParameters},
      {staff.get(), "PostResponse", {"t", "b", folder, std::to_string(elsewhere)}, kBadParameters},
      {author.get(), "PostResponse", {"t", "b", folder, "9999"}, kBadParameters},
      {author.get(), "PostResponse", {"t", "b", "9999", msg}, kBadParameters},
      {author.get(), "PostResponse", {"t", "b", folder}, kBadParameters},
      // Only the author changes a message, whatever keys another holds.
      {staff.get(), "UpdateMessage", {"t", "b", msg}, kBadParameters},
      {author.get(), "UpdateMessage", {"t", "b", "9999"}, kBadParameters},
      {author.get(), "UpdateMessage", {"t", "b"}, kBadParameters},
      {staff.get(), "DeleteMessage", {msg}, kBadParameters},
      {author.get(), "DeleteMessage", {std::to_string(elsewhere)}, kBadParameters},
      {author.get(), "DeleteMessage", {msg, ""}, kBadParameters},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Code(c.member->Ask(c.item, c.params)), c.code) << c.item << " " << c.params[0]
                                                              << " " << c.params.size();
  EXPECT_EQ(counts(), before);

  // The author's edit, found by the user ID as the member gave it.
  ASSERT_TRUE(Ended(author->Ask("UpdateMessage", {"New title", "New body", msg})));
  EXPECT_EQ(Text(author->Ask("GetMessage", {msg}).rows.at(0)[0]), "New body");
  EXPECT_EQ(Text(author->Ask("GetMessageHeaders", {folder}).rows.at(0)[0]), "New title");
  EXPECT_EQ(Audits("KeyWord='UpdateMessage' AND Description='Updated message #" + msg + "'"), 1);

  // The author may no longer write where the folder now needs a key the
  // author lacks.
  seed_.Exec("UPDATE Folders SET WriteKey = 4 WHERE FolderID = " + folder);
  EXPECT_EQ(Code(author->Ask("UpdateMessage", {"x", "y", msg})), kNoAccess);
  EXPECT_EQ(Code(author->Ask("DeleteMessage", {msg})), kNoAccess);
  seed_.Exec("UPDATE Folders SET WriteKey = -1 WHERE FolderID = " + folder);

  // Deletion takes the message, its responses and the readings of both,
  // and nothing else.
  const int32_t keep = seed_.AddMessage(open, "Keep", kAuthor, "2020-01-01 10:00:00");
  const int32_t keepReply = seed_.AddResponse(keep, open, "Re", "Staff", "2020-01-01 11:00:00");
  seed_.AddReading("MsgRead", keep, "Staff", "2020-01-02 10:00:00");
  seed_.AddReading("ResponseRead", keepReply, "Staff", "2020-01-02 10:00:00");
  ASSERT_TRUE(Ended(staff->Ask("GetResponse", {response})));
  ASSERT_TRUE(Ended(staff->Ask("GetMessage", {msg})));
  const long audits = install_.Count("QNAUDIT", "SELECT * FROM AuditTrail");
  ASSERT_TRUE(Ended(author->Ask("DeleteMessage", {msg})));
  EXPECT_EQ(seed_.Count("SELECT * FROM Messages WHERE MsgID=" + msg), 0);
  EXPECT_EQ(seed_.Count("SELECT * FROM Responses WHERE OriginalMsgID=" + msg), 0);
  EXPECT_EQ(seed_.Count("SELECT * FROM MsgRead WHERE MsgID=" + msg), 0);
  EXPECT_EQ(seed_.Count("SELECT * FROM ResponseRead WHERE ResponseID=" + response), 0);
  EXPECT_EQ(seed_.Count("SELECT * FROM Messages"), 2);
  EXPECT_EQ(seed_.Count("SELECT * FROM Responses"), 1);
  EXPECT_EQ(seed_.Count("SELECT * FROM MsgRead"), 1);
  EXPECT_EQ(seed_.Count("SELECT * FROM ResponseRead"), 1);
  EXPECT_EQ(install_.Count("QNAUDIT", "SELECT * FROM AuditTrail"), audits);
  EXPECT_EQ(Code(author->Ask("DeleteMessage", {msg})), kBadParameters);
}

TEST_P(MessageFolders, FailedInsertsAndCutShortWalksLeaveTheServerSound) {
  auto ann = Create("Ann");
  const int32_t open = seed_.AddFolder("Open", -1);
  const std::string folder = std::to_string(open);
  const int32_t msg = seed_.AddMessage(open, "Hello", "Ann", "2020-01-01 10:00:00");
  seed_.RefuseInsertsTitled("refused");
  const long audits = Audits("UserID='Ann'");
  EXPECT_EQ(Code(ann->Ask("PostMessage", {"refused", "b", folder})), 0x1306);
  EXPECT_EQ(Code(ann->Ask("PostResponse", {"refused", "b", folder, std::to_string(msg)})),
            0x1306);
  EXPECT_EQ(Audits("UserID='Ann'"), audits);
  EXPECT_EQ(seed_.Count("SELECT * FROM Messages"), 1);
  EXPECT_EQ(seed_.Count("SELECT * FROM Responses"), 0);

  // Ids are numbers formatted by the server; the rest of the text is never
  // SQL.
  EXPECT_EQ(Code(ann->Ask("GetMessage", {std::to_string(msg) + " OR 1=1"})), 0);
  EXPECT_EQ(Code(ann->Ask("GetMessage", {"0 OR 1=1"})), kBadParameters);
  EXPECT_EQ(Code(ann->Ask("GetMessageHeaders", {"0) OR (1=1"})), kNoAccess);
  EXPECT_EQ(Code(ann->Ask("GetMessageHeadersByDate", {folder, "1') OR ('1'='1", "'"})), 0);
  EXPECT_EQ(Code(ann->Ask("NoSuchItem")), 0x1303);

  // A long list cut short by a cancel, and by a connection that goes, while
  // the walk holds its recordset.
  constexpr int kMany = 20000;
  seed_.AddMessages(open, kMany, std::string(100, 'x'), "Ann");
  ASSERT_TRUE(ann->client.Request(100, "Message", "GetMessageHeaders", folder));
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(ann->client.ReadReply(10000).has_value());
  ASSERT_TRUE(ann->client.Cancel(100));
  ASSERT_TRUE(ann->client.Request(101, "Message", "GetMessage", std::to_string(msg)));
  int cancelledRows = 0;
  for (;;) {
    auto reply = ann->client.ReadReply(10000);
    ASSERT_TRUE(reply.has_value());
    if (reply->requestId == 100) {
      ASSERT_EQ(reply->type, qn::kPacketMoreData);
      ++cancelledRows;
      continue;
    }
    if (reply->type == qn::kPacketEnd) break;
  }
  EXPECT_LT(cancelledRows, kMany);
  {
    Member dropped;
    ASSERT_TRUE(dropped.Open(port_));
    ASSERT_TRUE(Ended(dropped.Call("Logon", "CreateAccount", {"Bob", "pw"})));
    ASSERT_TRUE(dropped.client.Request(7, "Message", "GetMessageHeadersByTitle", folder));
    ASSERT_TRUE(dropped.client.ReadReply(10000).has_value());
  }
  ASSERT_TRUE(Ended(ann->Ask("PostMessage", {"After", "b", folder})));
  EXPECT_EQ(seed_.Count("SELECT * FROM Messages WHERE Title='After'"), 1);

  // Read to its end, the long list rests while the client lags and loses
  // no row.
  const TableReply whole = ann->Ask("GetMessageHeadersByTitle", {folder});
  ASSERT_TRUE(Ended(whole)) << Code(whole);
  const std::vector<std::string> ids = Column(whole, 3);
  EXPECT_EQ(ids.size(), static_cast<size_t>(kMany + 2));
  EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), ids.size());

  // A folder level that cannot be read ends the tree with 0x1306 after the
  // rows already sent, never as if the tree were complete.
  seed_.Exec("DELETE FROM Folders");
  const int32_t top = seed_.AddFolder("A", -1);
  const int32_t b1 = seed_.AddFolder("B1", top);
  const int32_t b2 = seed_.AddFolder("B2", top);
  seed_.AddFolder("C", b1);
  seed_.AddFolder("D", b2);
  // An expression that fails on the rows of one level, in each database.
  const std::string failing =
      GetParam() == StorageMode::Access ? "json(Folder)" : "CAST(Folder AS integer)";
  seed_.Exec("ALTER TABLE Folders RENAME TO FolderRows");
  seed_.Exec("CREATE VIEW Folders AS SELECT Folder, FolderID, ParentID, Code, "
             "CASE WHEN ParentID = " +
             std::to_string(b2) + " THEN " + failing +
             " ELSE ReadKey END AS ReadKey, WriteKey FROM FolderRows");
  const TableReply cut = ann->Ask("GetMessageFolders");
  EXPECT_FALSE(cut.ended);
  EXPECT_EQ(Code(cut), 0x1306);
  EXPECT_EQ(Column(cut, 1), (std::vector<std::string>{"A", "B1", "B2", "C"}));
}

INSTANTIATE_TEST_SUITE_P(BothStorageModes, MessageFolders,
                         ::testing::Values(StorageMode::Access, StorageMode::Postgres),
                         [](const auto& info) {
                           return std::string(info.param == StorageMode::Access ? "Access"
                                                                                : "Postgres");
                         });

}  // namespace
