// The mail service inside a server object, in both storage modes, with
// members logged on through connections that keep what they are sent and a
// recording relay in the gateway's place: forwarding, letters with their
// rows, charges, audits and notices, receipts, listings cut off or too
// large, deletions, attachments up and down, Internet letters, and the
// gateway's two inbound hooks.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/helpers.h"
#include "common/registry.h"
#include "core_fakes.h"
#include "platform/main_loop.h"
#include "server/core/api_log.h"
#include "server/core/request_packet.h"
#include "server/core/result_set.h"
#include "server/core/server.h"
#include "server/core/user.h"
#include "server/data/connection_pool.h"
#include "server/mail/mail_gateway.h"
#include "server/mail/mail_texts.h"
#include "server/mail/service_email.h"
#include "server/mail/smtp_gateway.h"
#include "support/mail_seed.h"
#include "support/member_install.h"

namespace {

namespace fs = std::filesystem;
using qn::test::MailSeed;
using qn::test::MemberInstall;
using qn::test::StorageMode;

struct Relayed {
  std::string senderAddress, senderName, recipient, subject, body;
};
std::vector<Relayed> g_relayed;
std::string g_domain;
// The relay keeps what it was handed, as one that never answers does.
bool g_relayHangs = false;
std::string g_returnedWith;

// The relay's place in the gateway: keeps every message handed over.
class RecordingRelay : public CSmtpListenerBase {
 public:
  unsigned GetStatus() const override { return kSetUp; }
  bool Listen(bool) override { return false; }
  std::string GetPrimaryDomain() const override { return g_domain; }
  void QueueRelayMessage(const std::string& senderAddress, const std::string& senderName,
                         const std::string& recipient, const std::string& subject,
                         const std::string& body) override {
    g_relayed.push_back({senderAddress, senderName, recipient, subject, body});
  }
  RelayLoad GetRelayBacklog() const override {
    RelayLoad held;
    if (!g_relayHangs) return held;
    for (const Relayed& r : g_relayed) {
      ++held.messages;
      held.bytes += RelayMessageBytes(r.senderAddress, r.senderName, r.recipient, r.subject, r.body);
    }
    return held;
  }
  void ReturnUnrelayed(const std::string& line) override { g_returnedWith = line; }
};

std::unique_ptr<CSmtpListenerBase> MakeRecordingRelay(const SmtpGatewayConfig& config) {
  g_domain = config.primaryDomain;
  return std::make_unique<RecordingRelay>();
}

// An SMTP side whose set-up failed.
class BrokenRelay : public RecordingRelay {
 public:
  unsigned GetStatus() const override { return 0; }
};

std::unique_ptr<CSmtpListenerBase> MakeBrokenRelay(const SmtpGatewayConfig&) {
  return std::make_unique<BrokenRelay>();
}

struct Reply {
  std::optional<uint16_t> result;
  std::optional<qn::DecodedSchema> schema;
  std::vector<std::vector<qn::DecodedValue>> rows;
  std::vector<size_t> rowBytes;  // packet sizes, header included
  bool ended = false;
};

std::string Text(const qn::DecodedValue& v) { return std::get<std::string>(v); }
int32_t Number(const qn::DecodedValue& v) { return std::get<int32_t>(v); }

constexpr uint16_t kListener = 900;
const std::string kAnnounce = " has just sent you an Email message!";

class MailService : public ::testing::TestWithParam<StorageMode> {
 protected:
  void SetUp() override {
    if (GetParam() == StorageMode::Postgres && !qn::test::PostgresTestServerAvailable())
      GTEST_SKIP() << "no PostgreSQL test server (QN_TEST_PG_HOST)";
    ResetPool();
    std::string error;
    ASSERT_TRUE(install_.Create(GetParam(), 1, &error)) << error;
    install_.SeedAccountDefaults(0, 0, -1);
    seed_.AddComposeKey(2);
    CTransportBase::SetServer(&server_);
    RunLoop();
    previous_ = SetSmtpListenerFactory(&MakeRecordingRelay);
    g_relayed.clear();
    g_relayHangs = false;
    g_returnedWith.clear();
    fs::remove_all(MailDir());
    UseRelay("");
  }
  void TearDown() override {
    for (FakeConnection* c : connections_) delete c;
    connections_.clear();
    RunLoop();
    CServiceEmail::TermModule();
    SetSmtpListenerFactory(previous_);
    CTransportBase::SetServer(nullptr);
    SetApiLogOn(false);
    ResetPool();
  }
  static void ResetPool() {
    ForgetUserDatabase();
    TermDatabasePool();
    ForgetDatabaseSettings();
  }
  static fs::path MailDir() { return fs::path(GetProgramDirectory()) / "QNMAIL"; }
  static void RunLoop() {
    qn::MainLoop().restart();
    while (qn::MainLoop().poll() != 0) {
    }
  }
  static void RunOneStep() {
    qn::MainLoop().restart();
    qn::MainLoop().poll_one();
  }
  // Restarts the module with this relay (none when empty).
  static void UseRelay(const std::string& relay, const std::string& domain = "q.example") {
    CQuillnetRegistry registry;
    registry.WriteString("SMTP", "MailRelayAddress", relay.c_str());
    registry.WriteString("SMTP", "PrimaryDomainName", domain.c_str());
    CServiceEmail::InitModule();
  }

  FakeConnection* LogOn(const std::string& id) {
    auto* c = new FakeConnection();
    server_.AddConnection(c);
    c->SetHandshakeState(CTransportBase::kNormal);
    auto* user = new CUser();
    user->Logon(id, c);
    c->SetUser(user);
    connections_.push_back(c);
    return c;
  }
  void Drop(FakeConnection* c) {
    std::erase(connections_, c);
    delete c;
  }
  void Send(FakeConnection* c, uint16_t id, const std::string& service, const std::string& item,
            const std::vector<std::string>& params = {}) {
    std::string joined;
    for (size_t i = 0; i < params.size(); ++i) joined += (i ? "\x01" : "") + params[i];
    Route(c, qn::EncodeRequestPacket({id, service, item, joined}));
  }
  void Route(FakeConnection* c, const std::vector<uint8_t>& bytes) {
    bool ended = false;
    server_.RoutePacket(c, new CByteBlock(bytes.data(), static_cast<int32_t>(bytes.size())), ended);
  }
  void FollowUp(FakeConnection* c, uint16_t id, const std::vector<uint8_t>& data) {
    Route(c, qn::EncodeIdPacket(qn::kPacketMoreData, id, data.data(), data.size()));
  }
  void Cancel(FakeConnection* c, uint16_t id) { Route(c, qn::EncodeCancelPacket(id)); }
  Reply Call(FakeConnection* c, const std::string& item, const std::vector<std::string>& params = {}) {
    const uint16_t id = next_++;
    Send(c, id, "Email", item, params);
    RunLoop();
    return Collect(c, id);
  }
  // What the connection was sent for the request.
  static Reply Collect(FakeConnection* c, uint16_t id) {
    Reply reply;
    for (const auto& bytes : c->sent) {
      auto packet = qn::ParseIdPacket(bytes.data(), bytes.size());
      if (!packet || packet->requestId != id) continue;
      if (packet->type == qn::kPacketSchema) {
        reply.schema = qn::DecodeSchema(packet->body.data(), packet->body.size());
      } else if (packet->type == qn::kPacketMoreData && reply.schema) {
        auto row = qn::DecodeRow(reply.schema->columns, packet->body.data(), packet->body.size());
        if (row) reply.rows.push_back(*row);
        reply.rowBytes.push_back(bytes.size());
      } else if (packet->type == qn::kPacketEnd) {
        reply.ended = true;
      } else if (packet->type == qn::kPacketResult) {
        reply.result = qn::GetU16(packet->body.data());
      }
    }
    return reply;
  }
  void Listen(FakeConnection* c) { Send(c, kListener, "Utility", "GetGlobalMessages"); }
  // The global messages the member's listener received.
  static std::vector<std::string> Heard(FakeConnection* c) {
    std::vector<std::string> texts;
    for (const auto& row : Collect(c, kListener).rows) texts.push_back(Text(row[1]));
    return texts;
  }
  std::string Mail(const std::string& column, const std::string& where) {
    return seed_.Query("SELECT " + column + " FROM MessageStore WHERE " + where);
  }
  static std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  MemberInstall install_;
  MailSeed seed_{install_};
  CServer server_;
  std::vector<FakeConnection*> connections_;
  SmtpListenerFactory previous_ = nullptr;
  uint16_t next_ = 1;
};

TEST_P(MailService, ForwardingEndsAtTheLastMemberWithAnAccountOrAtTheStartOfALoop) {
  seed_.AddAccount("Ann", 1000, "Bob");
  seed_.AddAccount("Bob", 1000, "ann");
  seed_.AddAccount("Cal", 1000, "Ghost");
  seed_.AddAccount("Dan", 1000, "Eve");
  seed_.AddAccount("Eve");
  seed_.AddAccount("Fay", 1000, "fay@x.example");
  seed_.AddAccount("Gil", 1000, "gil@x.example\r\nRCPT TO:<evil@y.example>");
  seed_.AddAccount("Hal", 1000, "HAL");
  seed_.AddAccount("Ian", 1000, "Jo");
  seed_.AddAccount("Jo", 1000, "Kit");
  seed_.AddAccount("Kit", 1000, "jo");
  const std::pair<const char*, const char*> cases[] = {
      {"Ann", "Ann"}, {"Cal", "Cal"}, {"Ghost", ""},  {"Dan", "Eve"},
      {"Eve", "Eve"}, {"Fay", "fay@x.example"},       {"Gil", "Gil"},
      {"Hal", "Hal"}, {"Ian", "Ian"}, {"x@y.example", "x@y.example"},
  };
  for (const auto& [from, to] : cases) EXPECT_EQ(CServiceEmail::ResolveForwarding(from), to) << from;
}

TEST_P(MailService, LettersFollowForwardingWithRowsChargesAuditsAndNotices) {
  seed_.AddAccount("Ann");
  seed_.AddAccount("Bob");
  seed_.AddAccount("Cat", 1000, "Dan");
  seed_.AddAccount("Dan");
  seed_.AddAccount("Eve", 1000, "eve@x.example");
  FakeConnection* ann = LogOn("Ann");
  FakeConnection* bob = LogOn("Bob");
  FakeConnection* dan = LogOn("Dan");
  Listen(bob);
  Listen(dan);

  const Reply letter = Call(ann, "mailltr", {"rR:Hello", "Body", "", "Bob", "Cat", "Ghost", "Eve"});
  ASSERT_TRUE(letter.ended && !letter.result);
  EXPECT_EQ(letter.schema->rowCount, 4);
  ASSERT_EQ(letter.rows.size(), 4u);
  const int32_t toBob = Number(letter.rows[0][0]);
  const int32_t toDan = Number(letter.rows[1][0]);
  EXPECT_GT(toBob, 0);
  EXPECT_GT(toDan, toBob);
  EXPECT_EQ(Text(letter.rows[1][1]), "");
  EXPECT_EQ(Number(letter.rows[2][0]), -1);
  EXPECT_EQ(Text(letter.rows[2][1]), "Ghost");
  // Forwarding to the Internet without a gateway is refused for the member.
  EXPECT_EQ(Number(letter.rows[3][0]), -1);
  EXPECT_EQ(Text(letter.rows[3][1]), "Eve");

  const std::string bobRow = "MessageID=" + std::to_string(toBob);
  EXPECT_EQ(Mail("Subject", bobRow), "Hello");
  EXPECT_EQ(Mail("RecipID", bobRow), "Bob");
  EXPECT_EQ(Mail("SenderID", bobRow), "Ann");
  EXPECT_EQ(Mail("FileTitle", bobRow), "-");
  EXPECT_NE(Mail("ReturnReceipt", bobRow), "0");
  EXPECT_EQ(Mail("Note", "MessageID=" + std::to_string(toDan)),
            "(Original message automatically forwarded from Cat)\r\n\r\nBody");
  EXPECT_EQ(Heard(bob), std::vector<std::string>{"Ann" + kAnnounce});
  EXPECT_EQ(Heard(dan), std::vector<std::string>{"Ann" + kAnnounce});
  EXPECT_EQ(seed_.Audits("UserID='Ann' AND KeyWord='MailLtr' AND Description IN "
                         "('Posted an E-Mail Message to Bob', 'Posted an E-Mail Message to Cat')"),
            2);
  EXPECT_EQ(seed_.Audits("KeyWord='MailLtr'"), 2);
  // Every recipient costs the key, refused or not.
  EXPECT_EQ(ann->GetUser()->GetCredits(), 1000 - 4 * 2);

  // Credits for one more use: the next recipient is refused and still charged.
  ann->GetUser()->SetCredits(3);
  const Reply poor = Call(ann, "MailLtr", {"s", "n", "-", "Bob", "Bob"});
  ASSERT_EQ(poor.rows.size(), 2u);
  EXPECT_GT(Number(poor.rows[0][0]), 0);
  EXPECT_EQ(Number(poor.rows[1][0]), -1);
  EXPECT_EQ(ann->GetUser()->GetCredits(), 0);
  EXPECT_EQ(Call(ann, "MailLtr", {"s"}).result, 0x1307);
  ann->GetUser()->SetCredits(10);
  EXPECT_EQ(Call(ann, "MailLtr", {"s", "n", "-"}).result, 0x1304);
  EXPECT_EQ(Call(ann, "NoSuchItem").result, 0x1303);

  // Texts longer than their columns are kept as both storage modes keep them.
  const Reply longTexts = Call(ann, "MailLtr", {std::string(300, 's'), "n", std::string(300, 'f'), "Bob"});
  const std::string longRow = "MessageID=" + std::to_string(Number(longTexts.rows.at(0)[0]));
  EXPECT_EQ(Mail("Subject", longRow), std::string(255, 's'));
  EXPECT_EQ(Mail("FileTitle", longRow), std::string(255, 'f'));
  ann->GetUser()->SetCredits(10);

  // A store that refuses the row: no row, no charge, no audit; the rest goes on.
  seed_.RefuseMailFor("Dan");
  const Reply refused = Call(ann, "MailLtr", {"s", "n", "-", "Dan", "Bob"});
  ASSERT_EQ(refused.rows.size(), 1u);
  EXPECT_TRUE(refused.ended);
  EXPECT_EQ(ann->GetUser()->GetCredits(), 8);
}

TEST_P(MailService, ListingMarksReadAndStoresReceiptsOnlyOnceItIsWhole) {
  seed_.AddAccount("Ann", 1000, "Fay");
  seed_.AddAccount("Bob");
  seed_.AddAccount("Fay");
  seed_.AddAccount("Gus");
  const int32_t first = seed_.AddLetter({.recipient = "Bob", .sender = "Ann", .subject = "Hi",
                                         .note = "one", .receipt = true});
  seed_.AddLetter({.recipient = "Bob", .sender = "Gus", .subject = "Yo", .receipt = true});
  seed_.AddLetter({.recipient = "Bob", .note = "three"});
  seed_.AddLetter({.recipient = "Bob", .note = "old", .received = true});
  seed_.AddLetter({.recipient = "Cat"});
  seed_.AddLetters("Bob", 60);
  FakeConnection* bob = LogOn("Bob");

  // Cut off by a cancel after the first share of rows, sent with the
  // request, then by a dropped connection.
  Send(bob, 50, "Email", "GetMail");
  const size_t sent = Collect(bob, 50).rows.size();
  EXPECT_GT(sent, 0u);
  EXPECT_LT(sent, 63u);
  Cancel(bob, 50);
  RunLoop();
  EXPECT_EQ(seed_.Unread("Bob"), 63);
  Send(bob, 51, "Email", "GetMail");
  Drop(bob);
  RunLoop();
  EXPECT_EQ(seed_.Unread("Bob"), 63);
  EXPECT_EQ(seed_.Messages("Subject='Delivery Return Receipt'"), 0);

  bob = LogOn("Bob");
  const Reply list = Call(bob, "GetMail");
  ASSERT_TRUE(list.ended && !list.result);
  EXPECT_EQ(list.schema->rowCount, -1);
  const char* names[] = {"MessageID", "Subject", "Note", "SenderID", "DateSent", "Filename"};
  const uint8_t types[] = {4, 7, 7, 7, 6, 7};
  ASSERT_EQ(list.schema->columns.size(), 6u);
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(list.schema->columns[i].name, names[i]);
    EXPECT_EQ(list.schema->columns[i].type, types[i]);
  }
  ASSERT_EQ(list.rows.size(), 63u);
  EXPECT_EQ(Number(list.rows[0][0]), first);
  EXPECT_EQ(Text(list.rows[0][2]), "one");
  EXPECT_EQ(Text(list.rows[0][3]), "Ann");
  EXPECT_NEAR(Number(list.rows[0][4]), static_cast<int32_t>(std::time(nullptr)), 120);
  EXPECT_EQ(Text(list.rows[2][5]), "-");
  EXPECT_EQ(seed_.Unread("Bob"), 0);
  EXPECT_EQ(seed_.Unread("Cat"), 1);

  // Ann forwards to Fay: her receipt goes there, with the notice; Gus's to Gus.
  const std::string fay = Mail("Note", "RecipID='Fay'");
  EXPECT_EQ(fay.rfind("(Original message automatically forwarded from Ann)\r\n\r\n"
                      "Your Email message\r\n\r\n   To: Bob\r\n   Subject: Hi\r\n   Sent: ", 0),
            0u)
      << fay;
  EXPECT_NE(fay.find("\n\r\n\r\nwas delivered on "), std::string::npos);
  EXPECT_EQ(Mail("Subject", "RecipID='Fay'"), "Delivery Return Receipt");
  EXPECT_EQ(Mail("SenderID", "RecipID='Fay'"), "Bob");
  EXPECT_EQ(seed_.Messages("RecipID='Gus' AND Subject='Delivery Return Receipt'"), 1);

  const Reply again = Call(bob, "GetMail");
  EXPECT_TRUE(again.ended && again.schema && again.rows.empty());
}

TEST_P(MailService, ARowTooLargeForOneFrameGoesOutWithItsNoteCut) {
  seed_.AddAccount("Bob");
  const std::string longest(32765, 'n');
  seed_.AddLetter({.recipient = "Bob", .sender = std::string(255, 's'),
                   .subject = std::string(255, 'j'), .note = longest, .fileTitle = std::string(255, 'f')});
  const std::string fits(32000, 'm');
  seed_.AddLetter({.recipient = "Bob", .note = fits});
  FakeConnection* bob = LogOn("Bob");
  const Reply list = Call(bob, "GetMail");
  ASSERT_EQ(list.rows.size(), 2u);
  EXPECT_EQ(list.rowBytes[0], 32767u);
  EXPECT_EQ(Text(list.rows[0][2]), longest.substr(0, 32767 - 3 - 8 - 256 * 3 - 1));
  EXPECT_EQ(Text(list.rows[1][2]), fits);
  EXPECT_LE(list.rowBytes[1], 32767u);
}

TEST_P(MailService, DeleteMailTakesOnlyTheMembersOwnMessagesByNumber) {
  seed_.AddAccount("Bob");
  const int32_t mine = seed_.AddLetter({.recipient = "Bob", .fileTitle = "a.txt"});
  const int32_t theirs = seed_.AddLetter({.recipient = "Cat", .fileTitle = "b.txt"});
  fs::create_directories(MailDir());
  std::ofstream(CServiceEmail::AttachmentPath(mine)) << "a";
  std::ofstream(CServiceEmail::AttachmentPath(theirs)) << "b";
  FakeConnection* bob = LogOn("Bob");
  const Reply done = Call(bob, "DeleteMail", {std::to_string(theirs), "0) OR (1=1", "x",
                                              std::to_string(theirs) + " OR 1=1", std::to_string(mine)});
  EXPECT_TRUE(done.ended && !done.result);
  EXPECT_EQ(seed_.Messages("1=1"), 1);
  EXPECT_EQ(seed_.Messages("MessageID=" + std::to_string(theirs)), 1);
  EXPECT_FALSE(fs::exists(CServiceEmail::AttachmentPath(mine)));
  EXPECT_TRUE(fs::exists(CServiceEmail::AttachmentPath(theirs)));
  EXPECT_EQ(CServiceEmail::AttachmentPath(12), (MailDir() / "00000012.ATT").string());
}

TEST_P(MailService, AttachmentsAreCopiedToEveryMessageAndLeaveOnlyWithACompleteDownload) {
  seed_.AddAccount("Ann");
  seed_.AddAccount("Bob");
  seed_.AddAccount("Cat");
  seed_.AddAccount("Dee");
  FakeConnection* ann = LogOn("Ann");
  FakeConnection* bob = LogOn("Bob");
  FakeConnection* cat = LogOn("Cat");
  Listen(bob);
  Listen(cat);
  const Reply letter = Call(ann, "MailLtr", {"s", "n", "pic.gif", "Bob", "Cat", "Dee"});
  ASSERT_EQ(letter.rows.size(), 3u);
  std::vector<std::string> ids;
  for (const auto& row : letter.rows) ids.push_back(std::to_string(Number(row[0])));
  // The recipients hear of it once the file is there.
  EXPECT_TRUE(Heard(bob).empty());

  EXPECT_EQ(Call(bob, "UploadAttachedFile", {ids[0]}).result, 0x1304);  // not Bob's letter
  EXPECT_EQ(Call(ann, "UploadAttachedFile", {ids[0], "x"}).result, 0x1304);

  // A file of several copy steps, uploaded to all three messages.
  std::string content(2'500'000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 % 251);
  const uint32_t stamp = 1'234'567'890;
  auto upload = [&](uint16_t id) {
    Send(ann, id, "Email", "UploadAttachedFile", ids);
    RunLoop();
    FollowUp(ann, id, {stamp & 0xFF, (stamp >> 8) & 0xFF, (stamp >> 16) & 0xFF, stamp >> 24});
    for (size_t at = 0; at < content.size(); at += 30000) {
      const size_t n = std::min<size_t>(30000, content.size() - at);
      FollowUp(ann, id, std::vector<uint8_t>(content.begin() + at, content.begin() + at + n));
    }
    FollowUp(ann, id, {});
  };
  upload(60);
  RunLoop();
  EXPECT_TRUE(Collect(ann, 60).ended);
  for (const std::string& id : ids) {
    const fs::path path = CServiceEmail::AttachmentPath(std::stoi(id));
    EXPECT_TRUE(ReadFile(path) == content) << id;
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, stamp) << id;
  }
  EXPECT_EQ(Heard(bob), std::vector<std::string>{"Ann" + kAnnounce});
  EXPECT_EQ(Heard(cat), std::vector<std::string>{"Ann" + kAnnounce});

  // Copies cut short by a cancel go on without the request, from the file
  // as received even when its own message's file goes meanwhile (taken by
  // its recipient, who is told first); each recipient is told.
  for (const std::string& id : ids) fs::remove(CServiceEmail::AttachmentPath(std::stoi(id)));
  upload(61);
  RunOneStep();
  const fs::path source = CServiceEmail::AttachmentPath(std::stoi(ids[0]));
  ASSERT_TRUE(fs::remove(source));
  Cancel(ann, 61);
  RunLoop();
  for (size_t i = 1; i < ids.size(); ++i)
    EXPECT_TRUE(ReadFile(CServiceEmail::AttachmentPath(std::stoi(ids[i]))) == content) << ids[i];
  EXPECT_EQ(Heard(cat).size(), 2u);
  std::ofstream(source, std::ios::binary) << content;
  // At module stop, copies still under way are made at once.
  for (size_t i = 1; i < ids.size(); ++i) fs::remove(CServiceEmail::AttachmentPath(std::stoi(ids[i])));
  upload(62);
  RunOneStep();
  Cancel(ann, 62);
  CServiceEmail::TermModule();
  for (const std::string& id : ids)
    EXPECT_TRUE(ReadFile(CServiceEmail::AttachmentPath(std::stoi(id))) == content) << id;
  std::vector<fs::path> left;
  for (const auto& entry : fs::directory_iterator(MailDir())) left.push_back(entry.path());
  EXPECT_EQ(left.size(), 3u);

  const fs::path bobs = CServiceEmail::AttachmentPath(std::stoi(ids[0]));
  EXPECT_EQ(Call(cat, "DownloadAttachedFile", {ids[0]}).result, 0x1304);
  EXPECT_EQ(Call(bob, "DownloadAttachedFile", {ids[0], ids[0]}).result, 0x1304);
  // A download cancelled before its end keeps the file.
  Send(bob, 70, "Email", "DownloadAttachedFile", {ids[0]});
  Cancel(bob, 70);
  RunLoop();
  EXPECT_TRUE(fs::exists(bobs));
  const Reply download = Call(bob, "DownloadAttachedFile", {ids[0]});
  ASSERT_TRUE(download.ended && !download.result);
  EXPECT_EQ(download.rows.size(), 1 + (content.size() + 767) / 768);
  EXPECT_FALSE(fs::exists(bobs));
  EXPECT_EQ(Call(bob, "DownloadAttachedFile", {ids[0]}).result, 0x1304);
}

TEST_P(MailService, InternetLettersLeaveThroughTheGatewayUnderTheSendersAlias) {
  seed_.AddAccount("Ann");
  seed_.AddAccount("Gus", 1000, "gus@x.example");
  seed_.AddAccount("Hal", 1000, "hal@x.example\r\nRCPT TO:<evil@y.example>");
  FakeConnection* ann = LogOn("Ann");
  EXPECT_EQ(Text(Call(ann, "GetInternetDomain").rows.at(0)[0]), "");
  UseRelay("relay.example", "q.example");
  EXPECT_EQ(Text(Call(ann, "GetInternetDomain").rows.at(0)[0]), "q.example");

  // Without an alias the letter has no sender address: refused as without a gateway.
  const Reply noAlias = Call(ann, "MailLtr", {"s", "n", "-", "x@y.example"});
  ASSERT_EQ(noAlias.rows.size(), 1u);
  EXPECT_EQ(Number(noAlias.rows[0][0]), -1);
  EXPECT_TRUE(g_relayed.empty());

  install_.ExecAccount("UPDATE Accounts SET InternetAlias='ann' WHERE UserID='Ann'");
  ann->GetUser()->ClearLoaded();
  const Reply sent = Call(ann, "MailLtr", {"Subj", "Text", "-", "a@x.example,b@y.example;c@z.example",
                                           "Gus", "Hal"});
  ASSERT_TRUE(sent.ended);
  // Internet recipients get no row; Hal's broken forwarding ends at Hal.
  ASSERT_EQ(sent.rows.size(), 1u);
  EXPECT_EQ(Mail("RecipID", "MessageID=" + std::to_string(Number(sent.rows[0][0]))), "Hal");
  ASSERT_EQ(g_relayed.size(), 4u);
  const char* order[] = {"c@z.example", "gus@x.example", "a@x.example", "b@y.example"};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(g_relayed[i].recipient, order[i]);
    EXPECT_EQ(g_relayed[i].senderAddress, "ann");
    EXPECT_EQ(g_relayed[i].senderName, "Ann");
    EXPECT_EQ(g_relayed[i].subject, "Subj");
    EXPECT_EQ(g_relayed[i].body, "Text");
  }
  EXPECT_EQ(seed_.Audits("Description='Posted an Internet E-Mail Message to gus@x.example'"), 1);

  // With an attachment, Gus keeps the letter and his Internet copy says so.
  g_relayed.clear();
  const Reply withFile = Call(ann, "MailLtr", {"RR:Pic", "Look", "pic.gif", "Gus"});
  ASSERT_EQ(withFile.rows.size(), 1u);
  const std::string gusRow = "MessageID=" + std::to_string(Number(withFile.rows[0][0]));
  EXPECT_EQ(Mail("RecipID", gusRow), "Gus");
  EXPECT_EQ(Mail("FileTitle", gusRow), "pic.gif");
  ASSERT_EQ(g_relayed.size(), 1u);
  EXPECT_EQ(g_relayed[0].subject, "RR:Pic");
  EXPECT_EQ(g_relayed[0].body, qn::mail::AttachmentNotice("q.example", "Gus") + "Look");

  // Entries that are no Internet address never reach the relay.
  g_relayed.clear();
  CSmtpGateway* gateway = CServiceEmail::GetGateway();
  ASSERT_NE(gateway, nullptr);
  EXPECT_TRUE(gateway->RelayToInternet("ann", "Ann", {"@x.example", "x@", "a@b.example>"}, "s", "b"));
  EXPECT_TRUE(g_relayed.empty());

  // An SMTP side that cannot be set up leaves no gateway: Internet addresses
  // are refused again.
  SetSmtpListenerFactory(&MakeBrokenRelay);
  UseRelay("relay.example");
  EXPECT_EQ(CServiceEmail::GetGateway(), nullptr);
  EXPECT_EQ(Number(Call(ann, "MailLtr", {"s", "n", "-", "Gus"}).rows.at(0)[0]), -1);
  EXPECT_EQ(Text(Call(ann, "GetInternetDomain").rows.at(0)[0]), "");
}

TEST_P(MailService, InboundMailFollowsAliasesAndForwarding) {
  seed_.AddAccount("Ivy", 1000, "", "ivy");
  seed_.AddAccount("Jon", 1000, "Kim", "jon");
  seed_.AddAccount("Kim");
  seed_.AddAccount("Lee", 1000, "lee@x.example", "lee");
  seed_.AddAccount("Max");  // no alias
  UseRelay("relay.example");
  SetApiLogOn(true);
  FakeConnection* ivy = LogOn("Ivy");
  Listen(ivy);

  EXPECT_TRUE(SmtpVerifyRecipient("IVY"));
  EXPECT_TRUE(SmtpVerifyRecipient("jon"));
  EXPECT_FALSE(SmtpVerifyRecipient("nobody"));
  EXPECT_FALSE(SmtpVerifyRecipient(""));
  // A logged-on member's alias counts before it reaches the row.
  ivy->GetUser()->SetInternetAlias("ivy2");
  EXPECT_TRUE(SmtpVerifyRecipient("Ivy2"));

  const std::string sender25 = "abcdefghij@klmnopqrst.com";
  ASSERT_EQ(sender25.size(), 25u);
  const std::string body = "Received: from [10.0.0.1]\r\nSubject: s\r\n\r\nHello";
  std::string error;
  ASSERT_TRUE(SmtpDeliverMessage({"ivy2", "JON", "lee", "", "nobody"}, sender25,
                                 std::string(60, 'S'), body, error));
  EXPECT_EQ(Mail("SenderID", "RecipID='Ivy'"), sender25);
  EXPECT_EQ(Mail("Subject", "RecipID='Ivy'"), std::string(50, 'S'));
  EXPECT_EQ(Mail("Note", "RecipID='Ivy'"), body);
  EXPECT_EQ(Mail("FileTitle", "RecipID='Ivy'"), "-");
  EXPECT_EQ(Mail("Received", "RecipID='Ivy'"), "0");
  EXPECT_EQ(Mail("Note", "RecipID='Kim'"),
            "Received: from [10.0.0.1]\r\nSubject: s\r\n\r\n"
            "(Original message automatically forwarded from Jon)\r\n\r\nHello");
  // The empty recipient names nobody, not the member without an alias.
  EXPECT_EQ(seed_.Messages("1=1"), 2);
  ASSERT_EQ(g_relayed.size(), 1u);
  EXPECT_EQ(g_relayed[0].recipient, "lee@x.example");
  EXPECT_EQ(g_relayed[0].senderAddress, sender25);
  EXPECT_EQ(g_relayed[0].senderName, sender25);
  EXPECT_EQ(g_relayed[0].body, "Received: from [10.0.0.1]\r\nSubject: s\r\n\r\n"
                               "(Original message automatically forwarded from Lee)\r\n\r\nHello");
  EXPECT_EQ(Heard(ivy), std::vector<std::string>{sender25 + kAnnounce});
  EXPECT_EQ(seed_.Audits("UserID IN ('Ivy', 'Kim') AND KeyWord='SMTPRecv' AND Description="
                         "'Received an Internet Email message from " + sender25 + "'"),
            2);

  const std::string sender26 = "x" + sender25;
  ASSERT_TRUE(SmtpDeliverMessage({"ivy2"}, sender26, "s", body + std::string(40000, 'b'), error));
  const std::string seeBelow = "SenderID='(See Below)'";
  EXPECT_EQ(Mail("RecipID", seeBelow), "Ivy");
  // The body is cut to 32650 characters, then the notice goes in; the note
  // column keeps 32765.
  const std::string expected = ("Received: from [10.0.0.1]\r\nSubject: s\r\n\r\n" +
                                qn::mail::SenderNotice(sender26) + "Hello" +
                                std::string(32650 - body.size(), 'b')).substr(0, 32765);
  const std::string stored = Mail("Note", seeBelow);
  EXPECT_EQ(stored.size(), expected.size());
  EXPECT_TRUE(stored == expected);
  ASSERT_TRUE(SmtpDeliverMessage({"ivy2"}, "", "s", "no header", error));
  EXPECT_EQ(Mail("Note", "SenderID='(Unknown)'"), "no header");

  const std::string log = ReadFile(fs::path(GetProgramDirectory()) / "QNAPILOG.TXT");
  EXPECT_NE(log.find("# SMTP Incoming Verification of Recipient: IVY\r\n"), std::string::npos);
  EXPECT_NE(log.find("# SMTP Incoming Message from" + sender25 + "\r\n"), std::string::npos);

  seed_.RefuseMailFor("Ivy");
  EXPECT_FALSE(SmtpDeliverMessage({"ivy2"}, "a@b.example", "s", "b", error));
  EXPECT_EQ(error.rfind("An error occured while trying to add the message to the Quillnet Email "
                        "Database (", 0),
            0u)
      << error;
}

TEST_P(MailService, PastTheRelaysBoundLettersAreRefusedPerRecipientAndInboundMailStays) {
  seed_.AddAccount("Ann", 1000, "", "ann");
  seed_.AddAccount("Bob", 1000, "", "bob");
  seed_.AddAccount("Lee", 1000, "lee@x.example", "lee");
  UseRelay("relay.example");
  g_relayHangs = true;
  FakeConnection* ann = LogOn("Ann");
  const std::string note(30000, 'n');
  const size_t letter = RelayMessageBytes("ann", "Ann", "f@x.example", "s", note);
  const size_t fit = CSmtpGateway::kMaxRelayBytes / letter;
  for (size_t i = 0; i < fit; ++i) {
    const Reply sent = Call(ann, "MailLtr", {"s", note, "-", "f@x.example"});
    ASSERT_TRUE(sent.ended && sent.rows.empty()) << i;
  }
  ASSERT_EQ(g_relayed.size(), fit);
  // Full: the Internet recipient is refused as without a gateway; members
  // still get theirs.
  const Reply full = Call(ann, "MailLtr", {"s", note, "-", "f@x.example", "Bob"});
  ASSERT_EQ(full.rows.size(), 2u);
  EXPECT_EQ(Number(full.rows[0][0]), -1);
  EXPECT_EQ(Text(full.rows[0][1]), "f@x.example");
  EXPECT_GT(Number(full.rows[1][0]), 0);
  EXPECT_EQ(g_relayed.size(), fit);

  // Room for one: a letter's first Internet recipient takes it, the second
  // is refused, and the one relayed is the one accepted.
  g_relayed.pop_back();
  const Reply one = Call(ann, "MailLtr", {"s", note, "-", "f@x.example", "g@x.example"});
  ASSERT_EQ(one.rows.size(), 1u);
  EXPECT_EQ(Text(one.rows[0][1]), "g@x.example");
  ASSERT_EQ(g_relayed.size(), fit);
  EXPECT_EQ(g_relayed.back().recipient, "f@x.example");

  // A letter cut short by its connection gives back the room it was promised.
  g_relayed.pop_back();
  CSmtpGateway* gateway = CServiceEmail::GetGateway();
  const RelayLoad another{1, letter};
  FakeConnection* cut = LogOn("Bob");
  RunLoop();
  Send(cut, 1, "Email", "MailLtr", {"s", note, "-", "h@x.example", "Ann"});
  RunOneStep();
  ASSERT_FALSE(Collect(cut, 1).ended);
  EXPECT_FALSE(gateway->PromiseRelay(another));
  Drop(cut);
  RunLoop();
  EXPECT_EQ(g_relayed.size(), fit - 1);
  ASSERT_TRUE(gateway->PromiseRelay(another));
  gateway->ReleaseRelay(another);
  EXPECT_TRUE(Call(ann, "MailLtr", {"s", note, "-", "i@x.example"}).rows.empty());
  EXPECT_EQ(g_relayed.back().recipient, "i@x.example");

  // Inbound mail for a member who forwards to the Internet stays with that
  // member while the relay takes no more.
  std::string error;
  const std::string inbound(5000, 'h');  // more than the room the letters left
  ASSERT_TRUE(SmtpDeliverMessage({"lee"}, "out@side.example", "In", inbound, error));
  EXPECT_EQ(Mail("Note", "RecipID='Lee' AND Subject='In'"), inbound);
  EXPECT_EQ(g_relayed.size(), fit);

  // At stop what the relay has not taken goes back to its senders.
  CServiceEmail::TermModule();
  EXPECT_EQ(g_returnedWith, "Server stopped before the message was relayed");
}

TEST_P(MailService, CountAnswersTheUnreadMailUpToTheLargestShort) {
  seed_.AddAccount("Bob");
  FakeConnection* bob = LogOn("Bob");
  const Reply none = Call(bob, "count");
  ASSERT_EQ(none.rows.size(), 1u);
  EXPECT_EQ(none.schema->columns.at(0).type, 3);
  EXPECT_EQ(Number(none.rows[0][0]), 0);
  seed_.AddLetters("Bob", 32770);
  EXPECT_EQ(Number(Call(bob, "Count").rows.at(0)[0]), 32767);
}

INSTANTIATE_TEST_SUITE_P(BothStorageModes, MailService,
                         ::testing::Values(StorageMode::Access, StorageMode::Postgres),
                         [](const auto& info) { return std::string(qn::test::StorageModeName(info.param)); });

}  // namespace
