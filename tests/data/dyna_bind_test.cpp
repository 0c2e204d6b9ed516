#include <gtest/gtest.h>

#include "data_fixture.h"
#include "server/data/connection_pool.h"
#include "server/data/count_rows.h"
#include "server/data/dyna_bind.h"
#include "server/data/schema_recordsets.h"

using namespace qn::test;

namespace {

// Column bookkeeping needs no database.
class DynaBindColumns : public ::testing::Test {
 protected:
  CDynaBind rs{nullptr};
};

TEST_F(DynaBindColumns, TablesDifferingOnlyInCaseAreOneFromEntry) {
  rs.AddColumn("Orders.Total", SQL_DOUBLE, 0);
  rs.AddColumn("orders.Qty", SQL_INTEGER, 0);
  EXPECT_EQ(rs.GetColumnCount(), 2);
  EXPECT_EQ(rs.TableList(), std::vector<std::string>{"Orders"});
  EXPECT_EQ(rs.GetDefaultSQL(), "Orders");
}

TEST_F(DynaBindColumns, AliasFormAddsItsOwnFromEntry) {
  rs.AddColumn("o.Total(Orders)", SQL_DOUBLE, 0);
  rs.AddColumn("Orders.Total", SQL_DOUBLE, 0);
  EXPECT_EQ(rs.TableList(), (std::vector<std::string>{"Orders o", "Orders"}));
  EXPECT_EQ(rs.ColumnName(0), "o.Total");
  EXPECT_EQ(rs.GetDefaultSQL(), "Orders o, Orders");
}

TEST_F(DynaBindColumns, UnusableColumnsAndOverflowBindNothing) {
  rs.AddColumn("NoDot", SQL_VARCHAR, 10);
  rs.AddColumn("Orders.Big", SQL_BIGINT, 0);
  EXPECT_EQ(rs.GetColumnCount(), 0);
  EXPECT_EQ(rs.m_nFields, 0);
  EXPECT_TRUE(rs.TableList().empty());
  for (int i = 0; i < 101; ++i) rs.AddColumn("T.c" + std::to_string(i), SQL_INTEGER, 0);
  EXPECT_EQ(rs.GetColumnCount(), 100);
  for (int i = 0; i < 101; ++i) rs.AddParam(std::make_unique<CDynaHolder>(int32_t{i}), SQL_INTEGER);
  EXPECT_EQ(rs.m_nParams, 100);
}

TEST_F(DynaBindColumns, TextLengthIsTheLargerOfLengthPlusTwoAndTheText) {
  rs.AddColumn("T.Name", SQL_VARCHAR, 10);
  EXPECT_EQ(rs.ColumnLength(0), 12);
  rs.AddColumn("ALongTableName.ALongColumnName", SQL_VARCHAR, 1);
  EXPECT_EQ(rs.ColumnLength(1), 30);
}

TEST_F(DynaBindColumns, ExchangeNamesFollowQualifiedAndDistinct) {
  rs.AddColumn("o.Total(Orders)", SQL_DOUBLE, 0);
  rs.AddColumn("Orders.Qty", SQL_INTEGER, 0);
  rs.AddParam(std::make_unique<CDynaHolder>(std::string("x")), SQL_VARCHAR);
  rs.SetDistinct(TRUE);
  CFieldExchange fx;
  rs.DoFieldExchange(fx);
  ASSERT_EQ(fx.fields.size(), 2u);
  EXPECT_EQ(fx.fields[0].name, "DISTINCT o.[Total]");
  EXPECT_EQ(fx.fields[1].name, "Orders.[Qty]");
  ASSERT_EQ(fx.params.size(), 1u);
  EXPECT_EQ(fx.params[0].kind, FieldKind::Text);
  rs.SetQualifiedNames(FALSE);
  rs.SetDistinct(FALSE);
  CFieldExchange plain;
  rs.DoFieldExchange(plain);
  EXPECT_EQ(plain.fields[0].name, "[Total]");
}

class DynaBindData : public BothModesTest {
 protected:
  void SetUp() override {
    BothModesTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    db_ = GetDatabase(AreaConnect("QNACCOUN"), false);
    CAccounts_2 rs(db_);
    rs.Open();
    for (const char* id : {"Ann", "Ben", "Cy"}) {
      rs.AddNew();
      rs.m_UserID = id;
      rs.m_Credits = 5;
      rs.m_Dormant = id[0] == 'B';
      rs.Update();
    }
  }
  CDatabase* db_ = nullptr;
};

TEST_P(DynaBindData, ParametersSelectAndAliasesJoin) {
  CDynaBind rs(db_);
  rs.AddColumn("a.UserID(Accounts)", SQL_VARCHAR, 20);
  rs.AddColumn("a.Credits(Accounts)", SQL_INTEGER, 0);
  rs.AddColumn("a.Dormant(Accounts)", SQL_BIT, 0);
  rs.AddParam(std::make_unique<CDynaHolder>(std::string("ben")), SQL_VARCHAR);
  rs.m_strFilter = "a.UserID=?";
  rs.Open(CRecordset::snapshot, nullptr, CRecordset::readOnly);
  ASSERT_FALSE(rs.IsEOF());
  EXPECT_EQ(std::get<std::string>(rs.Column(0)), "Ben");
  EXPECT_EQ(std::get<int32_t>(rs.Column(1)), 5);
  EXPECT_EQ(std::get<int32_t>(rs.Column(2)), TRUE);
}

TEST_P(DynaBindData, DistinctAndUnqualifiedUpdates) {
  CDynaBind distinct(db_);
  distinct.AddColumn("Accounts.Credits", SQL_INTEGER, 0);
  distinct.SetDistinct(TRUE);
  distinct.Open();
  distinct.MoveLast();
  EXPECT_EQ(distinct.GetRecordCount(), 1);
  distinct.Close();

  CDynaBind add(db_);
  add.SetQualifiedNames(FALSE);
  add.AddColumn("Accounts.UserID", SQL_VARCHAR, 20);
  add.AddColumn("Accounts.Credits", SQL_INTEGER, 0);
  add.Open(CRecordset::snapshot, nullptr, CRecordset::appendOnly);
  add.AddNew();
  std::get<std::string>(add.Column(0)) = "Dee";
  std::get<int32_t>(add.Column(1)) = 9;
  ASSERT_TRUE(add.Update());
  add.Close();

  CDynaBind edit(db_);
  edit.SetQualifiedNames(FALSE);
  edit.AddColumn("Accounts.UserID", SQL_VARCHAR, 20);
  edit.AddColumn("Accounts.Credits", SQL_INTEGER, 0);
  edit.m_strFilter = "UserID='dee'";
  edit.Open();
  ASSERT_FALSE(edit.IsEOF());
  edit.Edit();
  std::get<int32_t>(edit.Column(1)) = 11;
  ASSERT_TRUE(edit.Update());
  EXPECT_EQ(CountRows(db_, "UserID", "Accounts", "Credits=11"), 1);
  edit.Delete();
  EXPECT_EQ(CountRows(db_, "UserID", "Accounts", "UserID='Dee'"), 0);
}

TEST_P(DynaBindData, CountRowsCountsAndFailsToZero) {
  EXPECT_EQ(CountRows(db_, "UserID", "Accounts", ""), 3);
  EXPECT_EQ(CountRows(db_, "UserID", "[Accounts]", "Dormant=0"), 2);
  EXPECT_EQ(CountRows(db_, "UserID", "Accounts", "UserID='nobody'"), 0);
  EXPECT_EQ(CountRows(db_, "UserID", "Accounts", "UserID=='"), 0);
  EXPECT_EQ(CountRows(db_, "NoColumn", "Accounts", ""), 0);
  EXPECT_EQ(CountRows(db_, "UserID", "NoTable", ""), 0);
  // The failures left the connection usable and not busy.
  EXPECT_EQ(db_->OpenRecordsetCount(), 0);
  EXPECT_EQ(CountRows(db_, "*", "Accounts", "UserID='cy'"), 1);
}

QN_INSTANTIATE_BOTH_MODES(DynaBindData);

// Configured procedures are called through the recordset with the ODBC call
// escape; SQLite has no procedures, so only the one-database mode is tried.
class DynaBindCall : public DataTest {};

TEST_F(DynaBindCall, ProcedureResultsAndProceduresWithoutOutput) {
  QN_REQUIRE_POSTGRES();
  CDatabase* db = GetDatabase(AreaConnect("QNDB"), false);
  db->ExecuteSQL("CREATE FUNCTION qn_double(integer) RETURNS integer AS 'SELECT $1*2' LANGUAGE SQL");
  db->ExecuteSQL("CREATE TABLE qn_logged (t text)");
  db->ExecuteSQL(
      "CREATE FUNCTION qn_log(text) RETURNS void AS 'INSERT INTO qn_logged VALUES ($1)' LANGUAGE SQL");

  CDynaBind call(db);
  call.AddColumn("Call.Column00", SQL_INTEGER, 255);
  call.AddParam(std::make_unique<CDynaHolder>(int32_t{21}), SQL_INTEGER);
  call.Open(CRecordset::forwardOnly, "{CALL qn_double(?)}", CRecordset::readOnly);
  ASSERT_FALSE(call.IsEOF());
  EXPECT_EQ(std::get<int32_t>(call.Column(0)), 42);
  call.Close();

  // No output columns: the procedure runs, and the failure names the
  // missing columns, which the caller takes for success.
  CDynaBind log(db);
  log.AddParam(std::make_unique<CDynaHolder>(std::string("it's done")), SQL_VARCHAR);
  try {
    log.Open(CRecordset::forwardOnly, "{CALL qn_log(?)}", CRecordset::readOnly);
    FAIL() << "a recordset without columns opened";
  } catch (const CDBException& e) {
    EXPECT_EQ(std::string(e.what()).rfind("No columns were bound", 0), 0u) << e.what();
  }
  EXPECT_EQ(db->OpenRecordsetCount(), 0);
  EXPECT_EQ(CountRows(db, "*", "qn_logged", "t='it''s done'"), 1);
}

}  // namespace
