// External services against the real server, through both forms of the test
// plug-in (in-process library, local server) and in both storage modes: the
// routing and its codes, every refusal of the request object with its number
// and text, column types and values, rows streamed on a kept request, data
// in both modes, files both ways, the member and server objects, references
// kept too long; then, for the local form alone, calls that time out, a
// plug-in that exits, follow-ups that wait their turn and a server stop.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/registry.h"
#include "server/core/frame_decoder.h"
#include "support/external_seed.h"
#include "support/local_time.h"
#include "support/member_client.h"
#include "support/member_install.h"
#include "support/protocol_client.h"
#include "support/server_process.h"

namespace {

using qn::client::Bytes;
using qn::client::Params;
using qn::client::TableReply;
using qn::test::Code;
using qn::test::Ended;
using qn::test::Member;
using qn::test::MemberInstall;
using qn::test::StorageMode;

struct Setting {
  StorageMode mode;
  bool local;
};

void PrintTo(const Setting& s, std::ostream* os) {
  *os << qn::test::StorageModeName(s.mode) << (s.local ? " local" : " in-process");
}

std::string SettingName(const ::testing::TestParamInfo<Setting>& info) {
  return std::string(qn::test::StorageModeName(info.param.mode)) + (info.param.local ? "Local" : "InProc");
}

std::string Text(const qn::DecodedValue& v) { return std::get<std::string>(v); }
int32_t Number(const qn::DecodedValue& v) { return std::get<int32_t>(v); }

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A DATE row value as the server makes it: local time, seconds since 1970.
int32_t LocalSeconds(int y, int mo, int d, int h, int mi, int s) {
  return static_cast<int32_t>(qn::test::LocalTime(y, mo, d, h, mi, s));
}

// The process has ended (a zombie nobody reaps counts as ended).
bool ProcessEnded(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  const size_t paren = line.rfind(')');
  return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] == 'Z';
}

bool AwaitProcessEnd(pid_t pid, int timeoutMs) {
  for (int waited = 0; waited < timeoutMs; waited += 20) {
    if (ProcessEnded(pid)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return ProcessEnded(pid);
}

class ExternalServicesBase {
 protected:
  // False (with a failure recorded) when the installation or the server did
  // not come up.
  void StartInstallation(StorageMode mode, uint32_t timeoutSeconds = 0) {
    port_ = qn::test::FindFreePort();
    std::string error;
    ASSERT_TRUE(install_.Create(mode, port_, &error)) << error;
    install_.SeedAccountDefaults(1000, 0, -1);
    for (const char* id : {"Ann", "Bob"})
      install_.ExecAccount(std::string("INSERT INTO Accounts (UserID, Password, Credits) VALUES ('") + id +
                           "', 'pw', 1000)");
    CQuillnetRegistry registry;
    registry.WriteDWORD("Logging", "APILog", 1);
    if (timeoutSeconds != 0) registry.WriteDWORD("General", "AutomationTimeout", timeoutSeconds);
    ASSERT_TRUE(qn::test::InstallTestPlugin());
    ASSERT_TRUE(server_.Start("qnsvr32", {"-sa"}, MemberInstall::Root().string(), port_))
        << server_.StderrText();
  }

  std::unique_ptr<Member> LogOn(const std::string& id) {
    auto member = std::make_unique<Member>();
    EXPECT_TRUE(member->Open(port_));
    // The member's previous connection may still be going.
    for (int i = 0; i < 500; ++i) {
      const TableReply r = member->Call("Logon", "Logon", {id, "pw"});
      if (Ended(r)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return member;
  }

  std::string ApiLog() const {
    std::ifstream in(MemberInstall::Root() / "var/lib/quillnet/QNAPILOG.TXT", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::vector<std::string> ExceptionAudits() {
    std::vector<std::string> out;
    const long n = install_.Count("QNAUDIT", "SELECT AuditTrailID FROM AuditTrail WHERE KeyWord='Exception'");
    for (long i = 0; i < n; ++i)
      out.push_back(install_.QueryAudit(
          "SELECT Description FROM AuditTrail WHERE KeyWord='Exception' ORDER BY AuditTrailID LIMIT 1 OFFSET " +
          std::to_string(i)));
    return out;
  }

  uint16_t port_ = 0;
  MemberInstall install_;
  qn::test::ServerProcess server_;
};

class ExternalServices : public ::testing::TestWithParam<Setting>, protected ExternalServicesBase {
 protected:
  void SetUp() override {
    if (GetParam().mode == StorageMode::Postgres && !qn::test::PostgresTestServerAvailable())
      GTEST_SKIP() << "no PostgreSQL test server (QN_TEST_PG_HOST)";
    StartInstallation(GetParam().mode);
  }
  void TearDown() override {
    if (server_.IsRunning()) {
      EXPECT_EQ(server_.Stop(), 0);
    }
    if (HasFailure()) ADD_FAILURE() << "server's standard error:\n" << server_.StderrText();
  }
  std::string Service() const { return GetParam().local ? qn::test::kLocalService : qn::test::kInprocService; }
  TableReply Run(Member& m, const std::string& item, const std::vector<std::string>& steps) {
    return m.Call(Service(), item, steps);
  }
};

TEST_P(ExternalServices, RequestsReachTheObjectWithTheCodesOfTheirRoute) {
  auto ann = LogOn("Ann");
  // Another case reaches the entry; the registered form is what the object
  // is created for.
  TableReply r = ann->Call(Lower(Service()), "Run", {"types:BSTR", "row:BSTR=$Service"});
  ASSERT_TRUE(Ended(r)) << Code(r);
  ASSERT_EQ(r.rows.size(), 1u);
  EXPECT_EQ(Text(r.rows[0][0]), Service());

  // Returning 0 without keeping the request object ends the request at once.
  r = Run(*ann, "Run", {"return:0"});
  EXPECT_TRUE(Ended(r));
  EXPECT_FALSE(r.schema.has_value());
  EXPECT_TRUE(r.rows.empty());
  EXPECT_EQ(Code(Run(*ann, "Run", {"return:4660"})), 0x1234);
  EXPECT_EQ(Code(Run(*ann, "Run", {"return:-2"})), 0xFFFE);
  // Dispatch ID 0 is an item like any other; item names are the object's to
  // compare.
  EXPECT_TRUE(Ended(Run(*ann, "Plain", {""})));
  EXPECT_TRUE(Ended(Run(*ann, "rUN", {""})));

  // A missing item is looked up once per entry, then answered from memory.
  auto lookups = [&] {
    const TableReply l = Run(*ann, "Run", {"types:I4", "row:I4=$Lookups"});
    return l.rows.empty() ? -1 : Number(l.rows[0][0]);
  };
  const int before = lookups();
  EXPECT_EQ(Code(Run(*ann, "NoSuchItem", {"x"})), 0x1303);
  EXPECT_EQ(Code(Run(*ann, "NoSuchItem", {"x"})), 0x1303);
  EXPECT_EQ(Code(Run(*ann, "", {"x"})), 0x1303);
  EXPECT_EQ(lookups(), before + 2);

  // Ten parameters are called; eleven get 0x1304 without a call.
  std::vector<std::string> ten(10, "return:0");
  ten[0] = "call:Request.PostAudit,Ten,called";
  EXPECT_TRUE(Ended(Run(*ann, "Run", ten)));
  std::vector<std::string> eleven(11, "return:0");
  eleven[0] = "call:Request.PostAudit,Eleven,called";
  EXPECT_EQ(Code(Run(*ann, "Run", eleven)), 0x1304);
  EXPECT_EQ(install_.QueryAudit("SELECT COUNT(*) FROM AuditTrail WHERE KeyWord='Ten'"), "1");
  EXPECT_EQ(install_.QueryAudit("SELECT COUNT(*) FROM AuditTrail WHERE KeyWord='Eleven'"), "0");
  // A method refusing the count of its arguments.
  EXPECT_EQ(Code(Run(*ann, "Run_DoneSendFile", {"x"})), 0x1304);

  // Unknown services, and entries left out at start.
  for (const char* name : {"NoSuchService", qn::test::kNoClassService, qn::test::kBadInitService,
                           qn::test::kFailingService})
    EXPECT_EQ(Code(ann->Call(name, "Run", {"return:0"})), 0x1302) << name;
  EXPECT_NE(server_.StderrText().find("\"BadInit\""), std::string::npos) << server_.StderrText();

  // A failure that ended the request after ProcessRequest had returned is
  // logged as one that came back at once.
  const std::string log = ApiLog();
  const size_t line = log.find(";NoSuchItem;x;\r\n");
  ASSERT_NE(line, std::string::npos) << log;
  EXPECT_NE(log.find("# failed\r\n", line), std::string::npos);
}

TEST_P(ExternalServices, EveryRefusalOfTheRequestObjectWithItsNumberAndText) {
  auto ann = LogOn("Ann");
  struct Case {
    std::vector<std::string> steps;
    int code;
    std::string text;
  };
  const std::vector<Case> cases = {
      {{"types:I4", "types:BSTR"}, 105, "You may only call SetColumnTypes once per Service Request"},
      {{"with:scalar", "types:I4"}, 100, "SetColumnTypes: Invalid Arguments (must be two arrays)"},
      {{"call:Request.SetColumnTypes,a,b"}, 100, "SetColumnTypes: Invalid Arguments (must be two arrays)"},
      {{"with:2d", "types:I4"}, 102, "SetColumntypes: Arrays must be 1-dimensional"},
      {{"with:numnames", "types:I4"}, 101, "The Names array must contain strings"},
      {{"with:shortnames", "types:I4,BSTR"}, 101, "The Names array must contain strings"},
      {{"types:I4,R8"}, 104, "Invalid column type"},
      {{"types:I4*6000"}, 106, "SetColumnTypes: Schema too large for one packet"},
      {{"row:I4=1"}, 120, "SendRow called without first calling SetColumnTypes"},
      {{"types:I4", "with:scalar", "row:I4=1"}, 100, "SendRow: Invalid Arguments (must be an array)"},
      {{"types:I4", "with:2d", "row:I4=1"}, 102, "SendRow: Array must be 1-dimensional"},
      {{"types:I4,BSTR", "row:I4=1,BSTR=a,I4=2"}, 103, "SendRow: Column Number Mismatch (with SetColumnTypes)"},
      {{"types:BSTR,BOOL", "row:BSTR=a,I4=1"}, 101, "SendRow: Invalid type on column 2 (expecting BOOL)"},
      {{"types:UI1", "row:I2=1"}, 101, "SendRow: Invalid type on column 1 (expecting BYTE)"},
      {{"types:I2", "row:I4=1"}, 101, "SendRow: Invalid type on column 1 (expecting short)"},
      {{"types:UI4", "row:I2=1"}, 101, "SendRow: Invalid type on column 1 (expecting long)"},
      {{"types:R4", "row:R8=1"}, 101, "SendRow: Invalid type on column 1 (expecting float)"},
      {{"types:DATE", "row:R8=1"}, 101, "SendRow: Invalid type on column 1 (expecting DATE)"},
      {{"types:BSTR", "row:I4=1"}, 101, "SendRow: Invalid type on column 1 (expecting String)"},
      {{"types:BYTES", "row:BSTR=00"}, 101, "SendRow: Invalid type on column 1 (expecting Binary)"},
      {{"types:DATE", "row:DATE=1975-06-01 10:00:00"}, 101,
       "SendRow: Invalid information in column 1 (expecting DATE)"},
  };
  for (const Case& c : cases) {
    const TableReply r = Run(*ann, "Run", c.steps);
    EXPECT_EQ(Code(r), c.code) << c.text;
    // A refused row sends nothing; a refused schema is not sent either.
    EXPECT_TRUE(r.rows.empty()) << c.text;
  }
  std::vector<std::string> expected;
  for (const Case& c : cases) expected.push_back(std::to_string(c.code) + " " + c.text);
  EXPECT_EQ(ExceptionAudits(), expected);

}

TEST_P(ExternalServices, ColumnTypesFollowTheElementTypesAndDatesKeepEvenSeconds) {
  auto ann = LogOn("Ann");
  TableReply r = Run(*ann, "Run",
                     {"types:BOOL,I1,UI1,I2,UI2,I4,UI4,R4,DATE,BSTR,BYTES",
                      "row:BOOL=-1,I1=-5,UI1=200,I2=-300,UI2=60000,I4=-70000,UI4=4000000000,R4=1.5,"
                      "DATE=2021-03-04 05:06:07,BSTR=text,BYTES=00ff10",
                      "row:BOOL=0,I1=0,UI1=0,I2=0,UI2=0,I4=0,UI4=0,R4=0,DATE=2021-03-04 05:06:08,BSTR=,BYTES="});
  ASSERT_TRUE(Ended(r)) << Code(r);
  ASSERT_TRUE(r.schema.has_value());
  EXPECT_EQ(r.schema->rowCount, -1);
  const std::vector<uint8_t> types = {1, 2, 2, 3, 3, 4, 4, 5, 6, 7, 8};
  ASSERT_EQ(r.schema->columns.size(), types.size());
  for (size_t i = 0; i < types.size(); ++i) {
    EXPECT_EQ(r.schema->columns[i].type, types[i]) << i;
    EXPECT_EQ(r.schema->columns[i].name, "C" + std::to_string(i + 1));
  }
  ASSERT_EQ(r.rows.size(), 2u);
  const auto& row = r.rows[0];
  EXPECT_EQ(Number(row[0]), -1);
  EXPECT_EQ(Number(row[1]), 251);
  EXPECT_EQ(Number(row[2]), 200);
  EXPECT_EQ(Number(row[3]), -300);
  EXPECT_EQ(Number(row[4]), static_cast<int16_t>(60000));
  EXPECT_EQ(Number(row[5]), -70000);
  EXPECT_EQ(static_cast<uint32_t>(Number(row[6])), 4000000000u);
  EXPECT_EQ(std::get<float>(row[7]), 1.5f);
  EXPECT_EQ(Number(row[8]), LocalSeconds(2021, 3, 4, 5, 6, 6));
  EXPECT_EQ(Number(r.rows[1][8]), LocalSeconds(2021, 3, 4, 5, 6, 8));
  EXPECT_EQ(Text(row[9]), "text");
  EXPECT_EQ(std::get<std::vector<uint8_t>>(row[10]), (std::vector<uint8_t>{0, 0xff, 0x10}));
  EXPECT_TRUE(std::get<std::vector<uint8_t>>(r.rows[1][10]).empty());

  // Arrays passed by reference are used as they are.
  r = Run(*ann, "Run", {"with:byref", "types:I4,BSTR", "with:byref", "row:I4=9,BSTR=by reference"});
  ASSERT_TRUE(Ended(r)) << Code(r);
  ASSERT_EQ(r.rows.size(), 1u);
  EXPECT_EQ(Number(r.rows[0][0]), 9);
  EXPECT_EQ(Text(r.rows[0][1]), "by reference");
}

TEST_P(ExternalServices, AKeptRequestStreamsRowsAndDataInBothModes) {
  auto ann = LogOn("Ann");
  qn::client::ProtocolClient& c = ann->client;
  // Rows from follow-ups; the end comes with the release.
  ASSERT_TRUE(c.Request(40, Service(), "Run", Params({"types:I4", "keep"})));
  for (const char* step : {"row:I4=1", "row:I4=2", "release"}) ASSERT_TRUE(c.FollowUp(40, std::string(step)));
  auto streamed = qn::client::ReadTable(c, 40, 10000);
  ASSERT_TRUE(streamed.has_value());
  EXPECT_TRUE(Ended(*streamed)) << Code(*streamed);
  ASSERT_EQ(streamed->rows.size(), 2u);
  EXPECT_EQ(Number(streamed->rows[0][0]), 1);
  EXPECT_EQ(Number(streamed->rows[1][0]), 2);

  // Binary data comes back as rows; an empty packet ends it.
  ASSERT_TRUE(c.Request(41, Service(), "Bin", Params({"types:BYTES", "keep"})));
  const Bytes data = {1, 2, 3, 0, 255};
  ASSERT_TRUE(c.FollowUp(41, data));
  ASSERT_TRUE(c.FollowUp(41, Bytes{}));
  auto binary = qn::client::ReadTable(c, 41, 10000);
  ASSERT_TRUE(binary.has_value());
  EXPECT_TRUE(Ended(*binary));
  ASSERT_EQ(binary->rows.size(), 1u);
  EXPECT_EQ(std::get<std::vector<uint8_t>>(binary->rows[0][0]), data);

  // A row too large for a packet fails the data call (audited), and the data
  // method is not called again for that request.
  ASSERT_TRUE(c.Request(42, Service(), "Bin", Params({"types:BYTES", "keep"})));
  auto schema = c.ReadReply(10000);
  ASSERT_TRUE(schema.has_value());
  ASSERT_TRUE(c.FollowUp(42, Bytes(qn::kMaxFrame - 3, 7)));
  ASSERT_TRUE(c.FollowUp(42, Bytes{9}));
  for (int i = 0; i < 2; ++i) {
    auto reply = c.ReadReply(10000);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->type, qn::kPacketResult);
    EXPECT_EQ(reply->body, (Bytes{0x06, 0x13}));
  }
  EXPECT_EQ(ExceptionAudits(), (std::vector<std::string>{"106 SendRow: Row too large for one packet"}));
  ASSERT_TRUE(c.Cancel(42));

  // Without a data method every packet gets 0x1306 and the request stays.
  ASSERT_TRUE(c.Request(43, Service(), "Plain", Params({"keep"})));
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(c.FollowUp(43, std::string("data")));
    auto reply = c.ReadReply(10000);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->type, qn::kPacketResult);
    EXPECT_EQ(reply->body, (Bytes{0x06, 0x13}));
  }
  ASSERT_TRUE(c.Cancel(43));
  EXPECT_TRUE(Ended(Run(*ann, "Run", {"return:0"})));
}

TEST_P(ExternalServices, FilesGoBothWaysAndTheirEndsReachTheObject) {
  auto ann = LogOn("Ann");
  const std::filesystem::path dir = MemberInstall::Root() / "var/lib/quillnet/external";
  std::filesystem::create_directories(dir);
  const std::string out = (dir / "out.bin").string();
  std::string content(2000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  std::ofstream(out, std::ios::binary) << content;

  // The download, then its end at the object, which lets the request go.
  TableReply r = Run(*ann, "Run", {"keep", "call:Request.SendFile," + out});
  ASSERT_TRUE(Ended(r)) << Code(r);
  ASSERT_TRUE(r.schema.has_value());
  EXPECT_EQ(r.schema->rowCount, 1 + 3);
  std::string received;
  for (size_t i = 1; i < r.rows.size(); ++i) {
    const auto& piece = std::get<std::vector<uint8_t>>(r.rows[i][0]);
    received.append(piece.begin(), piece.end());
  }
  EXPECT_EQ(received, content);

  // The upload: time, blocks, the empty end; the end reaches the object. A
  // second transfer while one runs is refused.
  const std::string in = (dir / "in.bin").string();
  qn::client::ProtocolClient& c = ann->client;
  ASSERT_TRUE(c.Request(50, Service(), "Run",
                        Params({"keep", "call:Request.ReceiveFile," + in, "call:Request.SendFile," + out,
                                "call:Request.PostAudit,Second,$"})));
  auto status = c.ReadReply(10000);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->type, qn::kPacketSchema);
  const uint32_t stamp = 1600000000;
  ASSERT_TRUE(c.FollowUp(50, Bytes{static_cast<uint8_t>(stamp), static_cast<uint8_t>(stamp >> 8),
                                   static_cast<uint8_t>(stamp >> 16), static_cast<uint8_t>(stamp >> 24)}));
  ASSERT_TRUE(c.FollowUp(50, std::string("first,")));
  ASSERT_TRUE(c.FollowUp(50, std::string("second")));
  ASSERT_TRUE(c.FollowUp(50, Bytes{}));
  auto end = c.ReadReply(10000);
  ASSERT_TRUE(end.has_value());
  EXPECT_EQ(end->type, qn::kPacketEnd);
  std::ifstream file(in, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "first,second");
  struct stat st;
  ASSERT_EQ(::stat(in.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, static_cast<time_t>(stamp));
  EXPECT_EQ(install_.QueryAudit("SELECT Description FROM AuditTrail WHERE KeyWord='Second'"), "0");
}

TEST_P(ExternalServices, TheMemberAndTheServerObjectsAndReferencesKeptTooLong) {
  auto ann = LogOn("Ann");
  auto listener = LogOn("Bob");
  ASSERT_TRUE(listener->client.Request(90, "Utility", "GetGlobalMessages", ""));
  ASSERT_TRUE(listener->client.ReadReply(10000).has_value());

  TableReply r = Run(*ann, "Run",
                     {"call:User.DeductCredits,5", "put:User.City,Paris", "call:Server.SendLiveMessageToAll,hello all,3",
                      "call:Request.PostAudit,Visit,by Ann", "types:BSTR,I4", "row:BSTR=$User.UserID,I4=$User.Credits"});
  ASSERT_TRUE(Ended(r)) << Code(r);
  ASSERT_EQ(r.rows.size(), 1u);
  EXPECT_EQ(Text(r.rows[0][0]), "Ann");
  EXPECT_EQ(Number(r.rows[0][1]), 995);
  const TableReply credits = ann->Call("Account", "GetCredits");
  ASSERT_EQ(credits.rows.size(), 1u);
  EXPECT_EQ(Number(credits.rows[0][0]), 995);
  const TableReply profile = ann->Call("Account", "GetProfileInfo");
  ASSERT_EQ(profile.rows.size(), 1u);
  EXPECT_EQ(Text(profile.rows[0][5]), "Paris");
  auto message = listener->client.ReadReply(10000);
  ASSERT_TRUE(message.has_value());
  EXPECT_EQ(message->requestId, 90);
  EXPECT_NE(std::string(message->body.begin(), message->body.end()).find("hello all"), std::string::npos);
  EXPECT_EQ(install_.QueryAudit("SELECT UserID FROM AuditTrail WHERE KeyWord='Visit'"), "Ann");
  EXPECT_EQ(install_.QueryAudit("SELECT ServiceName FROM AuditTrail WHERE KeyWord='Visit'"), Service());
  EXPECT_EQ(install_.QueryAudit("SELECT Description FROM AuditTrail WHERE KeyWord='Visit'"), "by Ann");

  // References kept past their request or their member answer 0x80010108.
  // Stashed by the object, then the request cancelled once the object has
  // run (its schema came).
  ASSERT_TRUE(listener->client.Request(91, Service(), "Run", Params({"stash", "types:I4"})));
  auto stashed = listener->client.ReadReply(10000);
  ASSERT_TRUE(stashed.has_value());
  EXPECT_EQ(stashed->type, qn::kPacketSchema);
  ASSERT_TRUE(listener->client.Cancel(91));
  r = Run(*ann, "Run", {"call:KeptUser.UserID", "types:BSTR", "row:BSTR=$"});
  ASSERT_TRUE(Ended(r)) << Code(r);
  EXPECT_EQ(Text(r.rows[0][0]), "Bob");
  EXPECT_EQ(Code(Run(*ann, "Run", {"call:KeptRequest.PostAudit,Late,x"})), 0x0108);
  listener.reset();  // Bob logs off with his connection
  int code = 0;
  for (int i = 0; i < 500 && code != 0x0108; ++i) {
    code = Code(Run(*ann, "Run", {"call:KeptUser.UserID"}));
    if (code != 0x0108) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(code, 0x0108);
  EXPECT_EQ(install_.QueryAudit("SELECT COUNT(*) FROM AuditTrail WHERE KeyWord='Late'"), "0");
}

INSTANTIATE_TEST_SUITE_P(Forms, ExternalServices,
                         ::testing::Values(Setting{StorageMode::Access, false}, Setting{StorageMode::Access, true},
                                           Setting{StorageMode::Postgres, false},
                                           Setting{StorageMode::Postgres, true}),
                         SettingName);

// The local form alone: calls to another process.
class LocalPlugin : public ::testing::Test, protected ExternalServicesBase {
 protected:
  void TearDown() override {
    if (server_.IsRunning()) {
      EXPECT_EQ(server_.Stop(), 0);
    }
    if (HasFailure()) ADD_FAILURE() << "server's standard error:\n" << server_.StderrText();
  }
  // The server's time, and no packet of any other request meanwhile.
  void ExpectSystemTimeAlone(qn::client::ProtocolClient& client, uint16_t id) {
    ASSERT_TRUE(client.Request(id, "Utility", "GetSystemTime"));
    for (;;) {
      auto reply = client.ReadReply(10000);
      ASSERT_TRUE(reply.has_value());
      ASSERT_EQ(reply->requestId, id);
      if (reply->type == qn::kPacketEnd) return;
    }
  }
  pid_t PluginPid(Member& m) {
    const TableReply r = m.Call(qn::test::kLocalService, "Run", {"types:I4", "row:I4=$Pid"});
    return r.rows.empty() ? -1 : Number(r.rows[0][0]);
  }
};

TEST_F(LocalPlugin, ASleepingCallTimesOutWhileOthersAreServedAndLateAnswersAreDropped) {
  StartInstallation(StorageMode::Access, 4);
  auto ann = LogOn("Ann");
  auto bob = LogOn("Bob");
  // A cancelled call: its late answer finds nothing.
  ASSERT_TRUE(bob->client.Request(70, qn::test::kLocalService, "Run", Params({"sleep:300", "types:I4"})));
  ASSERT_TRUE(bob->client.Cancel(70));
  // The sleeping call holds the plug-in; the server serves everyone else.
  ASSERT_TRUE(ann->client.Request(71, qn::test::kLocalService, "Run", Params({"sleep:7000"})));
  ExpectSystemTimeAlone(bob->client, 73);
  EXPECT_TRUE(ann->client.StaysSilent(50));
  auto late = qn::client::ReadTable(ann->client, 71, 15000);
  ASSERT_TRUE(late.has_value());
  EXPECT_EQ(Code(*late), 0x1306);
  // Bob's connection saw nothing of the cancelled request.
  ExpectSystemTimeAlone(bob->client, 72);
  EXPECT_TRUE(bob->client.StaysSilent(50));
}

TEST_F(LocalPlugin, FollowUpsDuringACallWaitTheirTurnAndAPluginThatExitsAnswersAtOnce) {
  StartInstallation(StorageMode::Access, 60);
  auto ann = LogOn("Ann");
  qn::client::ProtocolClient& c = ann->client;
  // Far more follow-ups than are held: the connection's input waits too.
  constexpr int kRows = 60;
  ASSERT_TRUE(c.Request(80, qn::test::kLocalService, "Run", Params({"types:I4", "keep", "sleep:500"})));
  for (int i = 0; i < kRows; ++i) ASSERT_TRUE(c.FollowUp(80, "row:I4=" + std::to_string(i)));
  ASSERT_TRUE(c.FollowUp(80, std::string("release")));
  auto rows = qn::client::ReadTable(c, 80, 20000);
  ASSERT_TRUE(rows.has_value());
  EXPECT_TRUE(Ended(*rows));
  ASSERT_EQ(rows->rows.size(), static_cast<size_t>(kRows));
  for (int i = 0; i < kRows; ++i) EXPECT_EQ(Number(rows->rows[static_cast<size_t>(i)][0]), i);
  ASSERT_TRUE(c.Request(81, "Utility", "GetSystemTime"));
  auto after = qn::client::ReadTable(c, 81, 10000);
  ASSERT_TRUE(after.has_value());
  EXPECT_TRUE(Ended(*after));

  // A closed connection with a call out leaves the server as it was.
  {
    auto gone = LogOn("Bob");
    ASSERT_TRUE(gone->client.Request(82, qn::test::kLocalService, "Run", Params({"sleep:200", "keep"})));
  }
  const pid_t pid = PluginPid(*ann);
  ASSERT_GT(pid, 0);
  // The plug-in ends during the call: answered at once, far within the limit.
  const TableReply exited = ann->Call(qn::test::kLocalService, "Run", {"exit:3"});
  EXPECT_EQ(Code(exited), 0x1306);
  EXPECT_TRUE(AwaitProcessEnd(pid, 10000));
  EXPECT_TRUE(Ended(ann->Call("Utility", "GetSystemTime")));
}

TEST_F(LocalPlugin, TheServersStopEndsThePlugin) {
  StartInstallation(StorageMode::Access);
  auto ann = LogOn("Ann");
  const pid_t pid = PluginPid(*ann);
  ASSERT_GT(pid, 0);
  ann.reset();
  EXPECT_EQ(server_.Stop(), 0);
  EXPECT_TRUE(AwaitProcessEnd(pid, 10000));
}

}  // namespace
