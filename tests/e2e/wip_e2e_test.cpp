// The WIP service against the real server in both storage modes: each
// member's copy of a protected page from the WIP keys in the database,
// resources, names that try to leave the WIP folder, the audit of page
// views, and temporary copies that never stay behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "common/crc32.h"
#include "common/registry.h"
#include "support/installed_server.h"

namespace {

namespace fs = std::filesystem;
using qn::test::Code;
using qn::test::Ended;
using qn::test::Session;
using qn::test::StorageMode;

const std::string kHead = "[Startup]\r\nW=640\r\nSecType=0\r\nSEC=members\r\nV=1.1\r\n[Form]\r\n";
const std::string kMenu = kHead +
                          "B01=SEC:GOLD,XYZGoldMenu`Gold things\r\n"
                          "B02=SEC:SILVER,XYZSilverMenu`Silver things\r\n"
                          "B03=XYZPublicMenu`Everyone\r\n"
                          "[GoldMenu]\r\nG01=ABCGoldSub`Deeper\r\nPicture gold.gif\r\n"
                          "[GoldSub]\r\nPicture deep.gif\r\n"
                          "[PublicMenu]\r\nPicture public.gif\r\n"
                          "[SilverMenu]\r\nPicture silver.gif\r\n";
const std::string kGoldCopy = kHead +
                              "B01=XYZGoldMenu`Gold things\r\n"
                              "B03=XYZPublicMenu`Everyone\r\n"
                              "[GoldMenu]\r\nG01=ABCGoldSub`Deeper\r\nPicture gold.gif\r\n"
                              "[GoldSub]\r\nPicture deep.gif\r\n"
                              "[PublicMenu]\r\nPicture public.gif";
const std::string kSilverCopy = kHead +
                                "B02=XYZSilverMenu`Silver things\r\n"
                                "B03=XYZPublicMenu`Everyone\r\n"
                                "[PublicMenu]\r\nPicture public.gif\r\n"
                                "[SilverMenu]\r\nPicture silver.gif\r\n";
const std::string kPlainCopy = kHead + "B03=XYZPublicMenu`Everyone\r\n[PublicMenu]\r\nPicture public.gif";
const std::string kPublic = "[Startup]\r\nW=1\r\n[Form]\r\nB01=SEC:GOLD,XYZGoldMenu`x\r\nPicture public.gif\r\n"
                            "Picture missing.gif\r\n..\\..\\QNACCOUN.MDB\r\n";

fs::path WipDir() { return fs::path(qn::test::InstalledProgramDir()) / "WIP"; }
fs::path TempDir() { return qn::test::MemberInstall::Root() / "tmp"; }

void WriteText(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::string Text(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

// Files the server's temporary copies would be.
int TemporaryCopies() {
  int count = 0;
  for (const auto& entry : fs::directory_iterator(TempDir()))
    if (entry.path().filename().string().rfind("QNS", 0) == 0) ++count;
  return count;
}

class WipEndToEnd : public qn::test::InstalledServerTest {
 protected:
  void BeforeStart() override {
    fs::remove_all(WipDir());
    fs::remove_all(TempDir());
    fs::create_directories(TempDir());
    // The server takes its temporary directory from the environment.
    setenv("TMPDIR", TempDir().c_str(), 1);
    CQuillnetRegistry().WriteDWORD("WIP Server", "AuditDownloads", 1);
    install_.ExecAccount(
        "INSERT INTO Keys (KeyID, AppName, KeyName, Description, KeyCost) VALUES "
        "(10, 'WIP', 'Gold', 'g', 0), (11, 'wip', 'silver', 's', 0), (12, 'WIP', 'Members', 'm', 0), "
        "(13, 'WIP', 'Dear', 'd', 5000), (14, 'Other', 'Gold', 'o', 0)");
    install_.ExecAccount(
        "INSERT INTO UserID2Keys (UserID, KeyID) VALUES ('Goldie', 10), ('Goldie', 12), "
        "('Silvia', 11), ('Silvia', 12), ('Pauper', 12), ('Pauper', 13), ('Pauper', 14)");
    WriteText(WipDir() / "MENU.WIP", kMenu);
    WriteText(WipDir() / "PUBLIC.WIP", kPublic);
    WriteText(WipDir() / "Sub" / "Deep.Wip", "[Startup]\r\nW=2\r\nPicture deep.gif\r\n");
    WriteText(WipDir() / "NOPAGE.WIP", "[Startup]\r\nSecType=1\r\n");
    WriteText(WipDir() / "OLD.WIP", "[Startup]\r\nW=1\r\nSecType=0\r\nV=1.0\r\n");
    WriteText(WipDir() / "DEAR.WIP", "[Startup]\r\nW=1\r\nSecType=0\r\nSEC=dear\r\nV=1.1\r\n");
    WriteText(WipDir() / "BIG.WIP", "[Startup]\r\nW=1\r\n" + std::string(1 << 20, 'b'));
    WriteText(fs::path(qn::test::InstalledProgramDir()) / "SECRET.WIP", "[Startup]\r\nW=1\r\nsecret\r\n");
    for (const char* name : {"gold.gif", "deep.gif", "public.gif", "silver.gif"})
      WriteText(WipDir() / "RESOURCE" / name, std::string("image ") + name);
  }
  void TearDown() override {
    qn::test::InstalledServerTest::TearDown();
    unsetenv("TMPDIR");
  }
};

TEST_P(WipEndToEnd, CopiesAndCrcsFollowEachMembersWipKeys) {
  auto goldie = Create("Goldie");
  auto silvia = Create("Silvia");
  auto pauper = Create("Pauper");
  auto anonymous = Connect();
  struct Expect {
    Session* session;
    std::string copy;
  };
  for (const Expect& e : {Expect{goldie.get(), kGoldCopy}, Expect{silvia.get(), kSilverCopy},
                          Expect{pauper.get(), kPlainCopy}}) {
    const auto page = e.session->Fetch("WIP", "GetPage", {"menu.wip"});
    ASSERT_TRUE(page.has_value());
    EXPECT_EQ(Text(page->bytes), e.copy);
    const auto crc = e.session->Call("wip", "getpagecrc", {"MENU.WIP"});
    ASSERT_TRUE(Ended(crc));
    ASSERT_EQ(crc.rows.size(), 1u);
    EXPECT_EQ(crc.schema->columns.at(0).name, "CRC");
    EXPECT_EQ(std::get<int32_t>(crc.rows[0][0]),
              static_cast<int32_t>(ComputeCrc32(e.copy.size(), e.copy.data())));
  }
  // The page needs the key "members", which no one before logon holds.
  EXPECT_EQ(Code(anonymous->Call("WIP", "GetPage", {"MENU.WIP"})), 0x1304);
  EXPECT_EQ(Code(anonymous->Call("WIP", "GetPageCRC", {"MENU.WIP"})), 0x1304);
  // A public page for everyone, as it is; pages in subfolders, in any case.
  const auto open = anonymous->Fetch("WIP", "GetPage", {"PUBLIC.WIP"});
  ASSERT_TRUE(open.has_value());
  EXPECT_EQ(Text(open->bytes), kPublic);
  EXPECT_TRUE(anonymous->Fetch("WIP", "GetPage", {"sub\\DEEP.wip"}).has_value());
  EXPECT_TRUE(anonymous->Fetch("WIP", "GetPage", {"sub/deep.wip"}).has_value());

  // No page, an old format, a key the member cannot afford, no name.
  for (const char* page : {"NOPAGE.WIP", "OLD.WIP", "DEAR.WIP", "MISSING.WIP", "Sub"})
    EXPECT_EQ(Code(goldie->Call("WIP", "GetPage", {page})), 0x1304) << page;
  EXPECT_EQ(Code(pauper->Call("WIP", "GetPageCRC", {"DEAR.WIP"})), 0x1304);
  EXPECT_EQ(Code(goldie->Call("WIP", "GetPageCRC")), 0x1304);
  EXPECT_EQ(Code(goldie->Call("WIP", "GetPages", {"MENU.WIP"})), 0x1303);
}

TEST_P(WipEndToEnd, ResourcesOnlyWhereTheMembersCopyNamesThem) {
  auto goldie = Create("Goldie");
  auto silvia = Create("Silvia");
  const auto gold = goldie->Fetch("WIP", "GetResource", {"MENU.WIP", "GOLD.GIF"});
  ASSERT_TRUE(gold.has_value());
  EXPECT_EQ(Text(gold->bytes), "image gold.gif");
  EXPECT_TRUE(goldie->Fetch("WIP", "GetResource", {"menu.wip", "deep.gif"}).has_value());
  // Only the sections removed from Silvia's copy name these.
  EXPECT_EQ(Code(silvia->Call("WIP", "GetResource", {"MENU.WIP", "deep.gif"})), 0x1304);
  EXPECT_EQ(Code(silvia->Call("WIP", "GetResourceTimestamp", {"MENU.WIP", "gold.gif"})), 0x1304);
  EXPECT_TRUE(silvia->Fetch("WIP", "GetResource", {"MENU.WIP", "silver.gif"}).has_value());

  const auto stamp = silvia->Call("WIP", "GetResourceTimestamp", {"MENU.WIP", "Public.Gif"});
  ASSERT_TRUE(Ended(stamp));
  ASSERT_EQ(stamp.rows.size(), 1u);
  EXPECT_EQ(stamp.schema->columns.at(0).type, 6);
  struct stat st;
  ASSERT_EQ(::stat((WipDir() / "RESOURCE" / "public.gif").c_str(), &st), 0);
  EXPECT_EQ(std::get<int32_t>(stamp.rows[0][0]), static_cast<int32_t>(st.st_mtime));

  auto anonymous = Connect();
  EXPECT_TRUE(anonymous->Fetch("WIP", "GetResource", {"PUBLIC.WIP", "public.gif"}).has_value());
  // Named, but not on disk.
  EXPECT_EQ(Code(anonymous->Call("WIP", "GetResource", {"PUBLIC.WIP", "missing.gif"})), 0x1306);
  EXPECT_EQ(Code(anonymous->Call("WIP", "GetResourceTimestamp", {"PUBLIC.WIP", "missing.gif"})), 0x1306);
  // Not a line's end; the wrong number of parameters.
  EXPECT_EQ(Code(anonymous->Call("WIP", "GetResource", {"PUBLIC.WIP", "public"})), 0x1304);
  EXPECT_EQ(Code(anonymous->Call("WIP", "GetResource", {"PUBLIC.WIP"})), 0x1304);
  EXPECT_EQ(Code(anonymous->Call("WIP", "GetResourceTimestamp", {"PUBLIC.WIP", "public.gif", "x"})), 0x1304);
}

TEST_P(WipEndToEnd, NamesThatLeaveTheWipFolderOpenNothing) {
  auto anonymous = Connect();
  const std::string root = qn::test::MemberInstall::Root().string();
  for (const std::string& page :
       {std::string("..\\SECRET.WIP"), std::string("../SECRET.WIP"), std::string("Sub\\..\\..\\SECRET.WIP"),
        root + "/var/lib/quillnet/SECRET.WIP", std::string("C:\\var\\lib\\quillnet\\SECRET.WIP"),
        std::string("\\var\\lib\\quillnet\\SECRET.WIP"), std::string("\\\\srv\\share\\SECRET.WIP")}) {
    EXPECT_EQ(Code(anonymous->Call("WIP", "GetPage", {page})), 0x1304) << page;
    EXPECT_EQ(Code(anonymous->Call("WIP", "GetPageCRC", {page})), 0x1304) << page;
  }
  // The public page names this resource at a line's end.
  EXPECT_EQ(Code(anonymous->Call("WIP", "GetResource", {"PUBLIC.WIP", "..\\..\\QNACCOUN.MDB"})), 0x1304);
  EXPECT_EQ(Code(anonymous->Call("WIP", "GetResourceTimestamp", {"PUBLIC.WIP", "..\\..\\QNACCOUN.MDB"})),
            0x1304);
  EXPECT_TRUE(Ended(anonymous->Call("WIP", "GetPageCRC", {"Sub\\.\\Deep.wip"})));
}

TEST_P(WipEndToEnd, PageViewsAreAuditedAndNoTemporaryCopyStays) {
  auto goldie = Create("Goldie");
  auto anonymous = Connect();
  ASSERT_TRUE(Ended(goldie->Call("WIP", "GetPageCRC", {"MENU.WIP"})));
  ASSERT_TRUE(Ended(anonymous->Call("WIP", "GetPageCRC", {"PUBLIC.WIP"})));
  ASSERT_TRUE(goldie->Fetch("WIP", "GetPage", {"MENU.WIP"}).has_value());  // not audited
  EXPECT_EQ(install_.QueryAudit("SELECT COUNT(*) FROM AuditTrail WHERE KeyWord='View'"), "2");
  EXPECT_EQ(install_.QueryAudit("SELECT UserID FROM AuditTrail WHERE KeyWord='View' AND "
                                "Description='Viewed Menu \"MENU.WIP\"' AND ServiceName='WIP'"),
            "Goldie");
  EXPECT_EQ(install_.QueryAudit("SELECT UserID FROM AuditTrail WHERE KeyWord='View' AND "
                                "Description='Viewed Menu \"PUBLIC.WIP\"'"),
            "<User not yet logged on>");

  // A big page pulled block by block: cancelled half-way, cut off by a
  // closed connection; no copy stays, not even while it is being sent.
  auto puller = Connect(qn::kHelloFlagAckBlocks);
  const uint16_t cancelled = puller->Send("WIP", "GetPage", {"BIG.WIP"});
  ASSERT_TRUE(puller->client.ReadReply().has_value());  // the schema
  ASSERT_TRUE(puller->client.FollowUp(cancelled, std::string("more")));
  EXPECT_EQ(TemporaryCopies(), 0);
  ASSERT_TRUE(puller->client.Cancel(cancelled));
  auto leaver = Connect(qn::kHelloFlagAckBlocks);
  leaver->Send("WIP", "GetPage", {"BIG.WIP"});
  ASSERT_TRUE(leaver->client.ReadReply().has_value());
  leaver.reset();
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(Ended(puller->Call("WIP", "GetPageCRC", {"BIG.WIP"})));
  ASSERT_TRUE(anonymous->Fetch("WIP", "GetPage", {"PUBLIC.WIP"}).has_value());
  EXPECT_EQ(TemporaryCopies(), 0);
  EXPECT_EQ(server_.Stop(), 0);
  EXPECT_EQ(TemporaryCopies(), 0);
}

INSTANTIATE_TEST_SUITE_P(BothStorageModes, WipEndToEnd,
                         ::testing::Values(StorageMode::Access, StorageMode::Postgres),
                         qn::test::StorageModeParamName);

}  // namespace
