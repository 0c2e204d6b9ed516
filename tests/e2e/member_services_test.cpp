// The member services against the real server, in both storage modes: logon
// and account creation, refusals, keys, profile and billing through the user
// timer, global messages, photos, and the undoing of a half-made account.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/member_client.h"
#include "support/member_install.h"
#include "support/protocol_client.h"
#include "support/server_process.h"

namespace {

using qn::client::Params;
using qn::client::ProtocolClient;
using qn::client::TableReply;
using qn::test::MemberInstall;
using qn::test::StorageMode;

std::string Text(const qn::DecodedValue& value) { return std::get<std::string>(value); }
int32_t Number(const qn::DecodedValue& value) { return std::get<int32_t>(value); }

using qn::test::Code;
using qn::test::Ended;
using qn::test::Member;

class MemberServices : public ::testing::TestWithParam<StorageMode> {
 protected:
  void SetUp() override {
    port_ = qn::test::FindFreePort();
    std::string error;
    if (GetParam() == StorageMode::Postgres && !qn::test::PostgresTestServerAvailable())
      GTEST_SKIP() << "no PostgreSQL test server (QN_TEST_PG_HOST)";
    ASSERT_TRUE(install_.Create(GetParam(), port_, &error)) << error;
    install_.SeedAccountDefaults(1000, 0, -1);
    ASSERT_TRUE(server_.Start("qnsvr32", {"-sa"}, MemberInstall::Root().string(), port_))
        << server_.StderrText();
  }
  void TearDown() override {
    if (server_.IsRunning()) EXPECT_EQ(server_.Stop(), 0);
    if (HasFailure()) ADD_FAILURE() << "server's standard error:\n" << server_.StderrText();
  }

  std::unique_ptr<Member> Connect() {
    auto member = std::make_unique<Member>();
    EXPECT_TRUE(member->Open(port_));
    return member;
  }
  std::unique_ptr<Member> LogOn(const std::string& id, const std::string& password) {
    auto member = Connect();
    EXPECT_TRUE(Ended(member->Call("Logon", "Logon", {id, password}))) << id;
    return member;
  }
  std::unique_ptr<Member> Create(const std::string& id, const std::string& password) {
    auto member = Connect();
    { const TableReply r = member->Call("Logon", "CreateAccount", {id, password}); EXPECT_TRUE(Ended(r)) << id << " code " << Code(r); }
    return member;
  }
  // Waits until the query yields `want` (the user timer writes every 15 s).
  bool AwaitAccountValue(const std::string& sql, const std::string& want) {
    for (int i = 0; i < 100; ++i) {
      if (install_.QueryAccount(sql) == want) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    return false;
  }

  uint16_t port_ = 0;
  MemberInstall install_;
  qn::test::ServerProcess server_;
};

TEST_P(MemberServices, LowerCaseLogonServiceIsReachableBeforeLogon) {
  auto member = Connect();
  // Reaching the service at all shows in its own parameter check.
  EXPECT_EQ(Code(member->Call("logon", "logon", {"only-one"})), 0x1304);
  EXPECT_EQ(Code(member->Call("Account", "GetUserID")), 0x1302);
}

TEST_P(MemberServices, CreatedAccountLogsOnInAnotherCaseOnlyOnce) {
  {
    auto creator = Create("Alice", "Secret");
    const TableReply id = creator->Call("Account", "GetUserID");
    ASSERT_EQ(id.rows.size(), 1u);
    EXPECT_EQ(Text(id.rows[0][0]), "Alice");
    EXPECT_EQ(Code(creator->Call("Logon", "Logon", {"Alice", "Secret"})), 0x1406);
    const TableReply info = creator->Call("Account", "GetAccountInfo");
    ASSERT_EQ(info.rows.size(), 1u);
    EXPECT_EQ(Number(info.rows[0][0]), 1000);  // from Defaults
  }
  // The first connection is gone: its member logged off.
  std::unique_ptr<Member> again;
  for (int i = 0; i < 40; ++i) {
    again = Connect();
    const TableReply reply = again->Call("Logon", "Logon", {"ALICE", "secret"});
    if (Ended(reply)) break;
    ASSERT_EQ(Code(reply), 0x1406);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const TableReply id = again->Call("Account", "GetUserID");
  ASSERT_EQ(id.rows.size(), 1u);
  EXPECT_EQ(Text(id.rows[0][0]), "Alice");  // the stored form

  auto second = Connect();
  EXPECT_EQ(Code(second->Call("Logon", "Logon", {"alice", "Secret"})), 0x1406);
  EXPECT_EQ(Code(second->Call("Logon", "CreateAccount", {"aLICE", "x"})), 0x1406);
  EXPECT_EQ(Code(Connect()->Call("Logon", "CreateAccount", {"Bob", "pw", "extra"})), 0x1304);
  // The member logged on first still works.
  EXPECT_TRUE(Ended(again->Call("Account", "GetCredits")));
  EXPECT_EQ(install_.QueryAccount("SELECT COUNT(*) FROM UserID2KeyChain WHERE UserID='Alice'"),
            "1");
}

TEST_P(MemberServices, RefusalsCarryTheirCodesAndWrongPasswordsAreNotStored) {
  Create("Carol", "Right");
  install_.ExecAccount(
      "INSERT INTO Accounts (UserID, Password, Credits, Dormant) VALUES ('Sleepy', 'pw', 10, " +
      std::string(install_.TrueLiteral()) + ")");
  install_.ExecAccount(
      "INSERT INTO Accounts (UserID, Password, Credits, Dormant) VALUES ('Broke', 'pw', 0, 0)");
  auto member = Connect();
  EXPECT_EQ(Code(member->Call("Logon", "Logon", {"Nobody", "pw"})), 0x130B);
  EXPECT_EQ(Code(member->Call("Logon", "Logon", {"Sleepy", "wrong"})), 0x1308);
  EXPECT_EQ(Code(member->Call("Logon", "Logon", {"Broke", "pw"})), 0x1309);
  EXPECT_EQ(Code(member->Call("Logon", "Logon", {"Carol", "TypedWrong"})), 0x130A);
  EXPECT_EQ(Code(member->Call("Logon", "CreateAccount", {"carol", "x"})), 0x130C);

  const std::string audit = install_.QueryAudit(
      "SELECT Description FROM AuditTrail WHERE KeyWord='Logon' AND Description LIKE "
      "'Invalid Password Attempted (%'");
  EXPECT_EQ(audit.rfind("Invalid Password Attempted (\"", 0), 0u) << audit;
  EXPECT_EQ(audit.find("TypedWrong"), std::string::npos) << audit;
  EXPECT_EQ(install_.QueryAudit("SELECT COUNT(*) FROM AuditTrail WHERE Description LIKE "
                                "'%TypedWrong%'"),
            "0");
}

TEST_P(MemberServices, KeysOfChainsAndDirectKeysAppearOnceEachSortedInUpperCase) {
  install_.ExecAccount("INSERT INTO UserID2Keys (UserID, KeyID) VALUES ('Dave', 5), ('Dave', 2)");
  auto member = Create("Dave", "pw");
  const TableReply keys = member->Call("Account", "GetKeys");
  ASSERT_TRUE(Ended(keys));
  std::vector<std::string> listed;
  for (const auto& row : keys.rows)
    listed.push_back(Text(row[2]) + "/" + Text(row[1]) + "/" + std::to_string(Number(row[3])));
  EXPECT_EQ(listed, (std::vector<std::string>{"CHAT/ENTER/0", "FILES/DOWNLOAD/5",
                                              "FILES/UPLOAD/2", "GAMES/PLAY/1"}));
  const TableReply files = member->Call("Account", "GetKeysForApp", {"files"});
  EXPECT_EQ(files.rows.size(), 2u);

  // A quote in a user ID is data in every query, the key query included.
  install_.ExecAccount("INSERT INTO UserID2Keys (UserID, KeyID) VALUES ('O''Hara', 4)");
  auto quoted = Create("O'Hara", "pw");
  const TableReply theirs = quoted->Call("Account", "GetKeys");
  EXPECT_EQ(theirs.rows.size(), 4u);
  quoted.reset();
  for (int i = 0; i < 40; ++i) {
    auto again = Connect();
    const TableReply reply = again->Call("Logon", "Logon", {"o'hara", "PW"});
    if (Code(reply) == 0x1406) {  // the last connection is still being closed
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    EXPECT_TRUE(Ended(reply));
    break;
  }
}

TEST_P(MemberServices, ProfileAndBillingSurviveTheTimerAndCreditsReachTheRowAtLogoff) {
  install_.ExecAccount("UPDATE Defaults SET Rate = 3600");
  auto member = Create("Erin", "pw");
  const std::vector<std::string> profile = {"Erin", "O'Neil", "Acme", "1 Road", "Flat 2",
                                            "Town", "State", "12345", "Land", "Short",
                                            "Long text", "*****"};
  ASSERT_TRUE(Ended(member->Call("Account", "SetProfileInfo", profile)));
  const std::vector<std::string> billing = {"B1", "B2", "B3", "B4", "B5", "B6", "B7", "B8", "B9"};
  ASSERT_TRUE(Ended(member->Call("Account", "SetBillingInfo", billing)));
  // The next tick writes the changes and makes the next read fetch the row.
  ASSERT_TRUE(AwaitAccountValue("SELECT LastName FROM Accounts WHERE UserID='Erin'", "O'Neil"));
  EXPECT_EQ(install_.QueryAccount("SELECT Password FROM Accounts WHERE UserID='Erin'"), "pw");

  const TableReply readProfile = member->Call("Account", "GetProfileInfo");
  ASSERT_EQ(readProfile.rows.size(), 1u);
  for (size_t i = 0; i < profile.size(); ++i) EXPECT_EQ(Text(readProfile.rows[0][i]), profile[i]);
  const TableReply readBilling = member->Call("Account", "GetBillingInfo");
  ASSERT_EQ(readBilling.rows.size(), 1u);
  for (size_t i = 0; i < billing.size(); ++i) EXPECT_EQ(Text(readBilling.rows[0][i]), billing[i]);
  EXPECT_EQ(install_.QueryAccount("SELECT BillingCountry FROM Accounts WHERE UserID='Erin'"), "B9");

  const TableReply credits = member->Call("Account", "GetCredits");
  ASSERT_EQ(credits.rows.size(), 1u);
  const int32_t left = Number(credits.rows[0][0]);
  EXPECT_LT(left, 1000);  // a tick charged 15
  member.reset();
  ASSERT_TRUE(AwaitAccountValue("SELECT COUNT(*) FROM Accounts WHERE UserID='Erin' AND Credits <= " +
                                    std::to_string(left) + " AND Credits >= " +
                                    std::to_string(left - 15),
                                "1"));
}

TEST_P(MemberServices, GlobalMessagesReachOnlyMembersWithAListener) {
  auto listener = Create("Fay", "pw");
  auto deaf = Create("Gus", "pw");
  auto sender = Create("Hal", "pw");
  // Two listeners on one connection: each gets every message.
  std::optional<qn::DecodedSchema> columns;
  for (uint16_t id : {100, 101}) {
    ASSERT_TRUE(listener->client.Request(id, "Utility", "GetGlobalMessages"));
    auto schema = listener->client.ReadReply(5000);
    ASSERT_TRUE(schema.has_value());
    ASSERT_EQ(schema->type, qn::kPacketSchema);
    columns = qn::DecodeSchema(schema->body.data(), schema->body.size());
    ASSERT_TRUE(columns.has_value());
  }
  auto expectRows = [&](int style, const std::string& text) {
    std::vector<uint16_t> ids;
    for (int i = 0; i < 2; ++i) {
      auto row = listener->client.ReadReply(5000);
      ASSERT_TRUE(row.has_value());
      EXPECT_EQ(row->type, qn::kPacketMoreData);
      ids.push_back(row->requestId);
      auto values = qn::DecodeRow(columns->columns, row->body.data(), row->body.size());
      ASSERT_TRUE(values.has_value());
      EXPECT_EQ(Number((*values)[0]), style);
      EXPECT_EQ(Text((*values)[1]), text);
    }
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<uint16_t>{100, 101}));
  };

  EXPECT_EQ(Code(sender->Call("Utility", "SendGlobalMsg", {"hello", "3", "gus"})), 0x1304);
  EXPECT_EQ(Code(sender->Call("Utility", "SendGlobalMsg", {"hello", "3"})), 0x1304);
  EXPECT_TRUE(Ended(sender->Call("Utility", "SendGlobalMsg", {"hello", "3", "FAY"})));
  expectRows(3, "Global Message from Hal: hello");
  EXPECT_TRUE(Ended(sender->Call("Utility", "SendGlobalMsgAll", {"all", "x"})));
  expectRows(0, "Global Message Broadcast from Hal: all");
  EXPECT_TRUE(deaf->client.StaysSilent(300));
  EXPECT_EQ(install_.QueryAudit("SELECT Description FROM AuditTrail WHERE KeyWord='SendGlobalMsg'"),
            "Sent a Global Message to FAY (\"hello\")");

  const TableReply time = sender->Call("Utility", "GetSystemTime");
  ASSERT_EQ(time.rows.size(), 1u);
  EXPECT_NEAR(Number(time.rows[0][0]), static_cast<int32_t>(std::time(nullptr)), 5);

  ASSERT_TRUE(listener->client.Cancel(100));
  ASSERT_TRUE(listener->client.Cancel(101));
  bool refused = false;
  for (int i = 0; i < 300 && !refused; ++i) {
    refused = Code(sender->Call("Utility", "SendGlobalMsg", {"again", "0", "Fay"})) == 0x1304;
    if (!refused) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(refused);
}

TEST_P(MemberServices, FailedAccountRowsLeaveNoHalfMadeAccount) {
  install_.ExecAccount("DROP TABLE UserID2KeyChain");
  auto member = Connect();
  EXPECT_EQ(Code(member->Call("Logon", "CreateAccount", {"Ivy", "pw"})), 0x1306);
  EXPECT_EQ(install_.QueryAccount("SELECT COUNT(*) FROM Accounts WHERE UserID='Ivy'"), "0");
  // Without key chains to hand out, a missing KeyChains table is passed over.
  install_.ExecAccount("DROP TABLE KeyChains");
  EXPECT_TRUE(Ended(member->Call("Logon", "CreateAccount", {"Ivy", "pw"})));
}

TEST_P(MemberServices, AliasesAddressesSearchesAndOtherMembers) {
  auto nina = Create("Nina", "pw");
  auto omar = Create("Omar", "pw");
  ASSERT_TRUE(Ended(nina->Call("Account", "SetUserDescription", {"Nina", "Able", "s", "l"})));
  ASSERT_TRUE(Ended(omar->Call("Account", "SetUserDescription", {"Omar", "Baker", "s2", "l2"})));

  EXPECT_TRUE(Ended(nina->Call("Account", "SetInternetAlias", {"Nina.A_1"})));
  const TableReply alias = nina->Call("Account", "GetInternetAlias");
  ASSERT_EQ(alias.rows.size(), 1u);
  EXPECT_EQ(Text(alias.rows[0][0]), "nina.a_1");
  EXPECT_EQ(Code(nina->Call("Account", "SetInternetAlias", {"nina-a"})), 0x1304);
  EXPECT_EQ(Code(nina->Call("Account", "SetInternetAlias", {std::string(26, 'a')})), 0x1304);
  EXPECT_EQ(Code(nina->Call("Account", "SetHomeEmailAddress", {"nina@example.org"})), 0x1601);
  EXPECT_TRUE(Ended(nina->Call("Account", "SetHomeEmailAddress", {"nina"})));
  EXPECT_TRUE(Ended(nina->Call("Account", "SetPassword", {"*****"})));
  // The alias reaches the row at the next tick; then it is taken.
  ASSERT_TRUE(AwaitAccountValue("SELECT InternetAlias FROM Accounts WHERE UserID='Nina'",
                                "nina.a_1"));
  EXPECT_EQ(Code(omar->Call("Account", "SetInternetAlias", {"NINA.A_1"})), 0x1600);
  EXPECT_TRUE(Ended(nina->Call("Account", "SetInternetAlias", {"nina.a_1"})));
  EXPECT_EQ(install_.QueryAccount("SELECT Password FROM Accounts WHERE UserID='Nina'"), "pw");
  EXPECT_EQ(install_.QueryAccount("SELECT LastName FROM Accounts WHERE UserID='Omar'"), "Baker");

  const TableReply online = omar->Call("Account", "GetUsersOnline");
  ASSERT_EQ(online.rows.size(), 2u);
  EXPECT_EQ(Text(online.rows[0][0]), "Nina");
  EXPECT_EQ(Text(online.rows[1][2]), "Baker");
  const TableReply byName = omar->Call("Account", "FindByLastName", {"A", "Az"});
  ASSERT_EQ(byName.rows.size(), 1u);
  EXPECT_EQ(Text(byName.rows[0][0]), "Nina");
  // Name searches take two parameters or more; a fourth is not read.
  const TableReply byBoth = omar->Call("Account", "FindByFirstName", {"A", "Az", "Nina", "x"});
  ASSERT_EQ(byBoth.rows.size(), 1u) << "code " << Code(byBoth);
  EXPECT_EQ(Text(byBoth.rows[0][2]), "Able");
  EXPECT_EQ(Code(omar->Call("Account", "FindByLastName", {"A"})), 0x1304);
  const TableReply byId = omar->Call("Account", "FindByUserID", {"N", "Pz"});
  EXPECT_EQ(byId.rows.size(), 2u);
  const TableReply description = omar->Call("Account", "GetUserDescription", {"nina"});
  ASSERT_EQ(description.rows.size(), 1u);
  EXPECT_EQ(Text(description.rows[0][3]), "l");
  EXPECT_EQ(Code(omar->Call("Account", "GetUserDescription", {"nobody"})), 0x1304);
  EXPECT_EQ(Code(omar->Call("Account", "NoSuchThing")), 0x1303);
  // A quote in a search value is data, not SQL.
  EXPECT_TRUE(omar->Call("Account", "FindByFirstName", {"O'", "Z'"}).ended);
}

TEST_P(MemberServices, AMemberOutOfCreditsHearsWhyAndIsDisconnected) {
  install_.ExecAccount("UPDATE Defaults SET Credits = 15, Rate = 3600");
  auto member = Create("Max", "pw");
  ASSERT_TRUE(member->client.Request(9, "Utility", "GetGlobalMessages"));
  auto schema = member->client.ReadReply(5000);
  ASSERT_TRUE(schema.has_value());
  const auto columns = qn::DecodeSchema(schema->body.data(), schema->body.size());
  ASSERT_TRUE(columns.has_value());
  // One tick takes the 15 credits, the next finds none: at most 30 s.
  auto row = member->client.ReadReply(35000);
  ASSERT_TRUE(row.has_value());
  auto values = qn::DecodeRow(columns->columns, row->body.data(), row->body.size());
  ASSERT_TRUE(values.has_value());
  EXPECT_EQ(Text((*values)[1]),
            "Your account has run out of credits. You will now be disconnected from this "
            "service.");
  EXPECT_TRUE(member->client.WaitClosed(5000));
  EXPECT_TRUE(AwaitAccountValue("SELECT Credits FROM Accounts WHERE UserID='Max'", "0"));
}

// Sends the photo's blocks on an open SetUserPhoto request: the file time,
// the data, and (when `finish`) the empty block that ends it.
void UploadBlocks(Member& member, uint16_t id, const std::string& data, bool finish) {
  ASSERT_TRUE(member.client.FollowUp(id, qn::client::Bytes{0, 0, 0, 0x40}));
  for (size_t at = 0; at < data.size(); at += 700)
    ASSERT_TRUE(member.client.FollowUp(id, data.substr(at, 700)));
  if (finish) ASSERT_TRUE(member.client.FollowUp(id, qn::client::Bytes{}));
}

std::string Download(Member& member, const std::string& userId) {
  const TableReply reply = member.Call("Account", "GetUserPhoto", {userId});
  if (reply.result) return "code " + std::to_string(*reply.result);
  std::string data;
  for (size_t i = 1; i < reply.rows.size(); ++i) {  // row 0: the file time
    const auto& bytes = std::get<std::vector<uint8_t>>(reply.rows[i][0]);
    data.append(bytes.begin(), bytes.end());
  }
  return data;
}

TEST_P(MemberServices, PhotoIsReplacedOnlyByACompleteUpload) {
  auto member = Create("Judy", "pw");
  const std::string first(2000, 'A');
  ASSERT_TRUE(member->client.Request(50, "Account", "SetUserPhoto"));
  UploadBlocks(*member, 50, first, true);
  const auto done = qn::client::ReadTable(member->client, 50, 10000);
  ASSERT_TRUE(done.has_value());
  EXPECT_TRUE(done->ended && !done->result);
  EXPECT_EQ(Download(*member, "JUDY"), first);

  // Cancelled half-way, and cut off with the connection.
  ASSERT_TRUE(member->client.Request(51, "Account", "SetUserPhoto"));
  UploadBlocks(*member, 51, std::string(1500, 'B'), false);
  ASSERT_TRUE(member->client.Cancel(51));
  EXPECT_EQ(Download(*member, "judy"), first);
  member->client.Request(52, "Account", "SetUserPhoto");
  UploadBlocks(*member, 52, std::string(1500, 'C'), false);
  member.reset();
  auto viewer = Create("Lou", "pw");
  EXPECT_EQ(Download(*viewer, "Judy"), first);
  EXPECT_EQ(Download(*viewer, "Nobody"), "code " + std::to_string(0x1304));

  // Only the photo stays; no piece of an upload is left behind.
  const auto dir = MemberInstall::Root() / "var/lib/quillnet/USRPHOTS";
  std::vector<std::string> files;
  for (int i = 0; i < 300; ++i) {
    files.clear();
    for (const auto& entry : std::filesystem::directory_iterator(dir))
      files.push_back(entry.path().filename().string());
    if (files.size() == 1) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(files[0].ends_with(".CMP")) << files[0];
}

INSTANTIATE_TEST_SUITE_P(BothStorageModes, MemberServices,
                         ::testing::Values(StorageMode::Access, StorageMode::Postgres),
                         [](const auto& info) {
                           return std::string(info.param == StorageMode::Access ? "Access"
                                                                                : "Postgres");
                         });

}  // namespace
