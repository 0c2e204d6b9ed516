// A recordset whose columns and parameters are chosen at run time, by table
// (or alias), column and ODBC SQL type.
#pragma once
#include <ctime>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "server/data/recordset.h"

// A value holder of one column or parameter. Which alternative a type gets:
// text types (1, 2, 3, 12) and long text (-1) std::string; 4 and -7 (BOOL)
// int32_t; 5 int16_t; 7 float; 6, 8 double; 9, 10, 11 std::time_t; -6
// uint8_t; -4 (large objects) and -2, -3 (byte arrays) std::vector<uint8_t>.
// Long text is read whole and written as text, so that a database that
// checks types takes it.
using CDynaHolder = std::variant<std::string, int32_t, int16_t, float, double, std::time_t, uint8_t,
                                 std::vector<uint8_t>>;

// The holder for a column of the SQL type; false for types that cannot be
// bound (BIGINT, unknown types).
bool MakeDynaHolder(int sqlType, CDynaHolder& holder);

class CDynaBind : public CRecordset {
 public:
  static constexpr int kMaxColumns = 100;
  static constexpr int kMaxParams = 100;

  explicit CDynaBind(CDatabase* database);

  static const char* ClassName() { return "CDynaBind"; }

  // "Table.Column", or "alias.Column(Table)". Ignored without a dot, for a
  // type that cannot be bound, or past the 100th column.
  void AddColumn(const std::string& column, int sqlType, int length);
  // Takes ownership; ignored past the 100th parameter.
  void AddParam(std::unique_ptr<CDynaHolder> holder, int sqlType);
  void SetDistinct(BOOL distinct) { distinct_ = distinct; }
  void SetQualifiedNames(BOOL qualified) { qualified_ = qualified; }

  std::string GetDefaultConnect() override { return "ODBC;"; }
  // The FROM list: the tables (with their aliases) joined with ", ".
  std::string GetDefaultSQL() override;
  void DoFieldExchange(CFieldExchange& fx) override;

  int GetColumnCount() const { return static_cast<int>(columns_.size()); }
  CDynaHolder& Column(int index) { return *columns_[index].holder; }
  int ColumnType(int index) const { return columns_[index].sqlType; }
  int ColumnLength(int index) const { return columns_[index].length; }
  // "table.column" or "alias.column".
  const std::string& ColumnName(int index) const { return columns_[index].name; }
  const std::vector<std::string>& TableList() const { return tables_; }
  // The member exchanged for a column, for IsFieldNull and SetFieldDirty.
  void* ColumnAddress(int index);

 private:
  struct BoundColumn {
    std::string name;
    int sqlType;
    int length;
    std::unique_ptr<CDynaHolder> holder;
  };
  struct BoundParam {
    int sqlType;
    std::unique_ptr<CDynaHolder> holder;
  };

  std::vector<BoundColumn> columns_;
  std::vector<BoundParam> params_;
  std::vector<std::string> tables_;
  bool distinct_ = false;
  bool qualified_ = true;
};
