// A member's account row through the user object on both databases, with the
// timer driven on a replaced clock: logon in another letter case, the
// re-read after each tick, the write-back of changes, the charge, and the
// credits written at logoff.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core_fakes.h"
#include "fake_clock.h"
#include "server/core/clock.h"
#include "server/core/server.h"
#include "server/core/transport_base.h"
#include "server/core/user.h"
#include "server/core/user_timer.h"
#include "server/data/connection_pool.h"
#include "support/member_install.h"

namespace {

using qn::test::MemberInstall;
using qn::test::StorageMode;

class NoActions : public IUserTimerActions {
 public:
  void SendLiveMessage(const std::string&, const std::string& text) override {
    sent.push_back(text);
  }
  void DisconnectUser(CUser& user) override { delete user.GetConnection(); }
  std::vector<std::string> sent;
};

class UserAccount : public ::testing::TestWithParam<StorageMode> {
 protected:
  void SetUp() override {
    if (GetParam() == StorageMode::Postgres && !qn::test::PostgresTestServerAvailable())
      GTEST_SKIP() << "no PostgreSQL test server (QN_TEST_PG_HOST)";
    ResetPool();
    std::string error;
    ASSERT_TRUE(install_.Create(GetParam(), 1, &error)) << error;
    install_.SeedAccountDefaults(0, 0, -1);
    install_.ExecAccount(
        "INSERT INTO Accounts (UserID, Password, Credits, RatePerHour, MaxTimeOnline, FirstName) "
        "VALUES ('Max', 'pw', 100, 3600, -1, 'Maxine')");
    install_.ExecAccount("INSERT INTO UserID2KeyChain (UserID, KeyChainID) VALUES ('Max', 1)");
    CTransportBase::SetServer(&server_);
    SetClock(&clock_);
  }
  void TearDown() override {
    while (!GetUserList().empty()) delete GetUserList().front()->GetConnection();
    SetClock(nullptr);
    CTransportBase::SetServer(nullptr);
    ResetPool();
  }
  static void ResetPool() {
    ForgetUserDatabase();
    TermDatabasePool();
    ForgetDatabaseSettings();
  }
  CUser* LogOn(const std::string& id) {
    auto* connection = new FakeConnection();
    auto user = std::make_unique<CUser>();
    user->Logon(id, connection);
    connection->SetUser(user.get());
    return user.release();
  }
  void Tick() {
    clock_.now += 15;
    RunUserTimerTick(clock_.Now(), actions_);
  }

  MemberInstall install_;
  CServer server_;
  FakeClock clock_{1'700'000'000};
  NoActions actions_;
};

TEST_P(UserAccount, LogonCarriesTheStoredIdTheRowsValuesAndTheChainsKeys) {
  CUser* user = LogOn("MAX");
  EXPECT_EQ(user->GetUserID(), "Max");
  EXPECT_EQ(user->GetCredits(), 100);
  EXPECT_EQ(user->GetRatePerHour(), 3600);
  EXPECT_EQ(user->GetMaxTimeOnline(), -1);
  EXPECT_EQ(user->GetLogonTime(), clock_.now);
  ASSERT_EQ(user->GetKeys().size(), 3u);
  EXPECT_EQ(user->GetKeys().front().m_strAppName, "CHAT");
  EXPECT_EQ(FindUserByID("max"), user);
  EXPECT_EQ(GetUserCount(), 1);
}

TEST_P(UserAccount, ReadsComeFromTheRowAgainOnlyAfterATick) {
  CUser* user = LogOn("Max");
  EXPECT_EQ(user->GetFirstName(), "Maxine");
  install_.ExecAccount("UPDATE Accounts SET FirstName='Maxwell' WHERE UserID='Max'");
  EXPECT_EQ(user->GetFirstName(), "Maxine");
  Tick();
  EXPECT_EQ(user->GetFirstName(), "Maxwell");
}

TEST_P(UserAccount, ChangesReachTheRowAtTheTickWithOnlyTheLastValue) {
  CUser* user = LogOn("Max");
  user->SetCity("First");
  user->SetCity("Second");
  user->SetPassword("new");
  EXPECT_EQ(install_.QueryAccount("SELECT City FROM Accounts WHERE UserID='Max'"), "");
  Tick();
  EXPECT_EQ(install_.QueryAccount("SELECT City FROM Accounts WHERE UserID='Max'"), "Second");
  EXPECT_EQ(install_.QueryAccount("SELECT Password FROM Accounts WHERE UserID='Max'"), "new");
  EXPECT_EQ(user->GetCity(), "Second");
  // Kept as the column keeps it, before the write and after the re-read.
  user->SetCity(std::string(300, 'c'));
  EXPECT_EQ(user->GetCity(), std::string(255, 'c'));
  Tick();
  EXPECT_EQ(user->GetCity(), std::string(255, 'c'));
}

TEST_P(UserAccount, ChargesAndWarningsOnTheReplacedClockAndCreditsWrittenAtLogoff) {
  CUser* user = LogOn("Max");
  Tick();
  // Each pass that charged leaves the balance in the row: a crash costs one
  // pass at most.
  EXPECT_EQ(install_.QueryAccount("SELECT Credits FROM Accounts WHERE UserID='Max'"), "85");
  for (int i = 0; i < 3; ++i) Tick();
  EXPECT_EQ(user->GetCredits(), 40);
  EXPECT_EQ(install_.QueryAccount("SELECT Credits FROM Accounts WHERE UserID='Max'"), "40");
  // 15 a tick from 100: only 55 falls within a warning's window (one minute).
  EXPECT_EQ(actions_.sent, std::vector<std::string>{qn::CreditWarningText(1)});
  delete user->GetConnection();
  EXPECT_EQ(GetUserCount(), 0);
  EXPECT_EQ(install_.QueryAccount("SELECT Credits FROM Accounts WHERE UserID='Max'"), "40");
  EXPECT_FALSE(install_.QueryAccount("SELECT LastOn FROM Accounts WHERE UserID='Max'").empty());
  EXPECT_EQ(install_.QueryAudit("SELECT COUNT(*) FROM AuditTrail WHERE UserID='Max' AND "
                                "ServiceName='Logoff' AND KeyWord='Logoff' AND "
                                "Description='User Logged Off'"),
            "1");
}

TEST_P(UserAccount, ChangesMadeJustBeforeLogoffReachTheRowWithTheCredits) {
  CUser* user = LogOn("Max");
  user->SetCity("Leaving");
  user->SetPassword("fresh");
  user->SetDormant(true);
  user->DeductCredits(7);
  delete user->GetConnection();
  EXPECT_EQ(install_.QueryAccount("SELECT City FROM Accounts WHERE UserID='Max'"), "Leaving");
  EXPECT_EQ(install_.QueryAccount("SELECT Password FROM Accounts WHERE UserID='Max'"), "fresh");
  EXPECT_EQ(install_.QueryAccount("SELECT Credits FROM Accounts WHERE UserID='Max'"), "93");
  EXPECT_EQ(install_.CountAccount("SELECT UserID FROM Accounts WHERE UserID='Max' AND Dormant <> 0"),
            1);
}

TEST_P(UserAccount, ALogoffTheDatabaseRefusedIsWrittenAtTheNextPassAndBeforeTheNextLogon) {
  CUser* user = LogOn("Max");
  user->SetPassword("changed");
  user->DeductCredits(30);
  install_.ExecAccount("ALTER TABLE Accounts RENAME TO AccountsAway");
  delete user->GetConnection();
  EXPECT_FALSE(WriteUnwrittenAccountChanges("max"));  // still away
  install_.ExecAccount("ALTER TABLE AccountsAway RENAME TO Accounts");
  EXPECT_EQ(install_.QueryAccount("SELECT Password FROM Accounts WHERE UserID='Max'"), "pw");
  Tick();
  EXPECT_EQ(install_.QueryAccount("SELECT Password FROM Accounts WHERE UserID='Max'"), "changed");
  EXPECT_EQ(install_.QueryAccount("SELECT Credits FROM Accounts WHERE UserID='Max'"), "70");
  EXPECT_TRUE(WriteUnwrittenAccountChanges("Max"));
}

TEST_P(UserAccount, AChangeOnItsWayToTheRowIsFoundForOtherMembersUntilItIsWritten) {
  install_.ExecAccount("INSERT INTO Accounts (UserID, Password, Credits) VALUES ('Ann', 'pw', 100)");
  CUser* max = LogOn("Max");
  LogOn("Ann");
  const auto pending = [](const std::string& except) {
    return FindUnwrittenChange(AccountField::InternetAlias, "BOSS", except);
  };
  max->SetInternetAlias("boss");
  EXPECT_EQ(pending("ann"), "Max");
  EXPECT_EQ(pending("MAX"), "");  // a member's own change is no other's
  EXPECT_EQ(FindUnwrittenChange(AccountField::City, "boss", "Ann"), "");
  Tick();
  EXPECT_EQ(pending("Ann"), "");  // the row holds it now
  // A logoff the database refused keeps the change owing, and found.
  max->SetInternetAlias("BOSS");
  install_.ExecAccount("ALTER TABLE Accounts RENAME TO AccountsAway");
  delete max->GetConnection();
  install_.ExecAccount("ALTER TABLE AccountsAway RENAME TO Accounts");
  EXPECT_EQ(pending("Ann"), "Max");
  Tick();
  EXPECT_EQ(pending("Ann"), "");
}

TEST_P(UserAccount, AMissingRowIsAUserDatabaseErrorThatKeepsTheOldValues) {
  CUser* user = LogOn("Max");
  install_.ExecAccount("DELETE FROM Accounts WHERE UserID='Max'");
  Tick();
  try {
    user->GetFirstName();
    FAIL() << "no exception";
  } catch (const CDispatchException& e) {
    EXPECT_EQ(e.GetCode(), 8192);
    EXPECT_STREQ(e.what(), "User Database Error");
  }
  user->SetCredits(5);
  EXPECT_EQ(user->GetCredits(), 5);
}

INSTANTIATE_TEST_SUITE_P(BothStorageModes, UserAccount,
                         ::testing::Values(StorageMode::Access, StorageMode::Postgres),
                         [](const auto& info) {
                           return std::string(info.param == StorageMode::Access ? "Access"
                                                                                : "Postgres");
                         });

}  // namespace
