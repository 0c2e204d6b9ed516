// The audit row a service posts for a request made before logon.
#include <gtest/gtest.h>

#include "data_fixture.h"
#include "server/core/member_link.h"
#include "server/data/connection_pool.h"
#include "server/data/schema_recordsets.h"

namespace qn::test {

class AnonymousAuditTest : public BothModesTest {};

TEST_P(AnonymousAuditTest, RowNamesNoUserAndLeavesTheRestToTheDatabase) {
  AppendAnonymousAuditTrail("Logon", "Failed", "Bad password for 'x'");
  CAuditTrail_2 rows(GetDatabase(AreaConnect("QNAUDIT"), false));
  ASSERT_TRUE(rows.Open(CRecordset::snapshot));
  ASSERT_EQ(rows.GetRecordCount(), 1);
  EXPECT_EQ(rows.m_UserID, "<User not yet logged on>");
  EXPECT_EQ(rows.m_ServiceName, "Logon");
  EXPECT_EQ(rows.m_KeyWord, "Failed");
  EXPECT_EQ(rows.m_Description, "Bad password for 'x'");
  EXPECT_NE(rows.m_AuditTrailID, 0);
}

QN_INSTANTIATE_BOTH_MODES(AnonymousAuditTest);

TEST(AnonymousAudit, WithoutADatabaseNothingEscapes) {
  AppendAnonymousAuditTrail("Logon", "k", "d");
}

}  // namespace qn::test
