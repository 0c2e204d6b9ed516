// Parameter counts against the real server, in both storage modes: every item
// of the Account and FileLib services answers 0x1304 to one parameter too few
// or too many, and takes its own count. Counts are those of the protocol: 1
// plus the separators, so an item without parameters has a count of 1.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "server/services/service_account.h"
#include "support/filelib_seed.h"
#include "support/member_client.h"
#include "support/member_install.h"
#include "support/server_process.h"

namespace {

using qn::client::TableReply;
using qn::test::Code;
using qn::test::MemberInstall;
using qn::test::StorageMode;

constexpr uint16_t kBadParameters = 0x1304;
constexpr int kAny = std::numeric_limits<int>::max();
const std::string kMember = "Counter";

struct ItemCount {
  std::string item;
  std::vector<std::string> exact;  // a call with the item's own count
  int least;                       // the counts it takes, as the server counts
  int most;
};

std::vector<std::string> Texts(int count, const std::string& last = "x") {
  std::vector<std::string> texts(static_cast<size_t>(count), "x");
  texts.back() = last;
  return texts;
}

class ParamCounts : public ::testing::TestWithParam<StorageMode> {
 protected:
  void SetUp() override {
    if (GetParam() == StorageMode::Postgres && !qn::test::PostgresTestServerAvailable())
      GTEST_SKIP() << "no PostgreSQL test server (QN_TEST_PG_HOST)";
    const uint16_t port = qn::test::FindFreePort();
    std::string error;
    ASSERT_TRUE(install_.Create(GetParam(), port, &error)) << error;
    install_.SeedAccountDefaults(1000, 0, -1);
    qn::test::FileLibrarySeed library(install_);
    library.AddKey(10, "File Receive", 0, true);
    library.AddKey(11, "File Send", 0, true);
    // A generous start: the sanitizer build on a loaded machine is slow.
    ASSERT_TRUE(server_.Start("qnsvr32", {"-sa"}, MemberInstall::Root().string(), port, 60000))
        << server_.StderrText();
    ASSERT_TRUE(member_.Open(port));
    ASSERT_TRUE(qn::test::Ended(member_.Call("Logon", "CreateAccount", {kMember, "pw"})));
  }
  void TearDown() override {
    if (server_.IsRunning()) {
      EXPECT_EQ(server_.Stop(), 0);
    }
  }

  // Below, at and above the item's counts.
  void Check(const char* service, const std::vector<ItemCount>& items) {
    for (const ItemCount& c : items) {
      SCOPED_TRACE(std::string(service) + " " + c.item);
      const int exact = std::max<int>(1, static_cast<int>(c.exact.size()));
      ASSERT_TRUE(exact >= c.least && exact <= c.most);
      const TableReply reply = member_.Call(service, c.item, c.exact);
      EXPECT_TRUE(reply.ended || reply.result.has_value());
      EXPECT_NE(Code(reply), kBadParameters);
      if (c.least > 1) {
        const std::vector<std::string> fewer(c.exact.begin(), c.exact.begin() + (c.least - 1));
        EXPECT_EQ(Code(member_.Call(service, c.item, fewer)), kBadParameters) << "fewer";
      }
      if (c.most != kAny) {
        std::vector<std::string> more = c.exact;
        more.resize(static_cast<size_t>(c.most) + 1);
        EXPECT_EQ(Code(member_.Call(service, c.item, more)), kBadParameters) << "more";
      }
    }
  }

  MemberInstall install_;
  qn::test::ServerProcess server_;
  qn::test::Member member_;
};

TEST_P(ParamCounts, AccountItemsTakeTheirCountOnly) {
  // GetUserPhoto's exact call finds a photo; SetUserPhoto's count is not
  // tested (it waits for the photo's data).
  const std::filesystem::path photo = UserPhotoPath(kMember);
  std::filesystem::create_directories(photo.parent_path());
  std::ofstream(photo) << "photo";
  Check("Account", {
                       {"FindByFirstName", {"A", "Z"}, 2, kAny},
                       {"FindByLastName", {"A", "Z"}, 2, kAny},
                       {"FindByUserID", {"A", "Z"}, 2, 2},
                       {"GetAccountInfo", {}, 1, 1},
                       {"GetBillingInfo", {}, 1, 1},
                       {"GetKeys", {}, 1, 1},
                       {"GetKeysForApp", {"files"}, 1, 1},
                       {"GetProfileInfo", {}, 1, 1},
                       {"GetUserDescription", {kMember}, 1, 1},
                       {"GetUserID", {}, 1, 1},
                       {"GetCredits", {}, 1, 1},
                       {"GetUsersOnline", {}, 1, 1},
                       {"SetBillingInfo", Texts(9), 9, 9},
                       {"SetPassword", {"*****"}, 1, 1},
                       {"SetProfileInfo", Texts(12, "*****"), 12, 12},
                       {"SetUserDescription", Texts(4), 4, 4},
                       {"GetUserPhoto", {kMember}, 1, 1},
                       {"GetHomeEmailAddress", {}, 1, 1},
                       {"SetHomeEmailAddress", {"home"}, 1, 1},
                       {"GetInternetAlias", {}, 1, 1},
                       {"SetInternetAlias", {"counter"}, 1, 1},
                   });
}

TEST_P(ParamCounts, FileLibraryItemsTakeTheirCountOnly) {
  std::vector<ItemCount> items = {
      {"GetSendCredit", {}, 1, 1},
      {"GetFileDetails", {"1"}, 1, 1},
      {"GetFolderTree", {}, 1, 1},
      {"GetLongDescriptionForFile", {"1"}, 1, 1},
      {"GetKeywordsForFile", {"1"}, 1, 1},
      {"GetDownloadCountForFile", {"1"}, 1, 1},
      {"ReceiveFile", {"x", "1"}, 2, 2},
      // A folder that does not exist: refused before any data is awaited.
      {"SendFile", {"a.txt", "999", "short", "long"}, 4, kAny},
      {"GetKeyCost", {"1"}, 1, 1},
  };
  for (const char* order : {"NameAsc", "NameDesc", "SizeAsc", "SizeDesc", "ExtAsc", "ExtDesc",
                            "DateAsc", "DateDesc", "SenderAsc", "SenderDesc"})
    items.push_back({std::string("GetFiles4FolderBy") + order, {"1"}, 1, 1});
  Check("FileLib", items);
  // A path, as the one parameter, is taken.
  EXPECT_NE(Code(member_.Call("FileLib", "GetFolderTree", {"Public\\Docs"})), kBadParameters);
}

INSTANTIATE_TEST_SUITE_P(BothStorageModes, ParamCounts,
                         ::testing::Values(StorageMode::Access, StorageMode::Postgres),
                         [](const auto& info) { return std::string(qn::test::StorageModeName(info.param)); });

}  // namespace
