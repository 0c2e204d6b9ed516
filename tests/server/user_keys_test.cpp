// Keys and credits of a member: look-ups by name and id, affordability and
// charging, and the balance that never goes below zero.
#include <gtest/gtest.h>

#include "server/core/user.h"

namespace {

class UserKeys : public ::testing::Test {
 protected:
  void SetUp() override {
    user_.AddKey(CUserKey(1, "chat", "Enter", 5));
    user_.AddKey(CUserKey(2, "Files", "download", 50));
    user_.SetCredits(20);
  }
  CUser user_;
};

TEST_F(UserKeys, NamesAreKeptInUpperCaseAndFoundInAnyCase) {
  const CUserKey* key = user_.FindKey("CHAT", "enter");
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->m_strAppName, "CHAT");
  EXPECT_EQ(key->m_strKeyName, "ENTER");
  EXPECT_EQ(user_.FindKey("chat", "leave"), nullptr);
}

TEST_F(UserKeys, AKeyIsUsableOnlyWhileTheCreditsCoverIt) {
  EXPECT_TRUE(user_.CanUseKey("chat", "enter"));
  EXPECT_FALSE(user_.CanUseKey("files", "download"));
  EXPECT_EQ(user_.GetKeyCost("chat", "enter"), 5);
  EXPECT_EQ(user_.GetKeyCost("files", "download"), 0);
  EXPECT_TRUE(user_.HasKeyID(1));
  EXPECT_FALSE(user_.HasKeyID(2));
  EXPECT_FALSE(user_.HasKeyID(3));
  EXPECT_EQ(user_.GetKeyIDCost(1), 5);
  EXPECT_EQ(user_.GetKeyIDCost(2), 0);
}

TEST_F(UserKeys, KeyIdMinusOneNeedsNoKey) {
  CUser keyless;
  EXPECT_TRUE(keyless.HasKeyID(-1));
  EXPECT_EQ(keyless.GetKeyIDCost(-1), 0);
}

TEST_F(UserKeys, ChargingNeverTakesTheBalanceBelowZero) {
  user_.ChargeKey("Chat", "Enter");
  EXPECT_EQ(user_.GetCredits(), 15);
  user_.ChargeKey("chat", "missing");
  EXPECT_EQ(user_.GetCredits(), 15);
  EXPECT_EQ(user_.DeductCredits(16), 0);
  EXPECT_EQ(user_.DeductCredits(1), 0);
}

TEST(UserKeyQuery, NamesOnlyOutputColumnsAfterTheUnion) {
  const std::string sql = BuildUserKeyQuery("'o''brien'");
  EXPECT_NE(sql.find("UserID2KeyChain.UserID='o''brien' AND"), std::string::npos);
  EXPECT_NE(sql.find("UserID2Keys.UserID='o''brien' AND"), std::string::npos);
  EXPECT_TRUE(sql.ends_with(" ORDER BY AppName, KeyName"));
}

}  // namespace
