// Counting the rows that match a filter with one aggregate query.
#pragma once
#include <cstdint>
#include <string>

#include "server/data/recordset.h"

class CCount : public CRecordset {
 public:
  explicit CCount(CDatabase* database) : CRecordset(database) {
    m_nFields = 1;
    m_nDefaultType = snapshot;
  }
  static const char* ClassName() { return "CCount"; }

  std::string GetDefaultSQL() override { return m_table; }
  void DoFieldExchange(CFieldExchange& fx) override {
    fx.Column(m_expression, FieldKind::Long, 0, &m_count);
  }

  int32_t m_count = 0;
  std::string m_table;
  std::string m_expression;  // "COUNT(" + column + ")"
};

// SELECT COUNT(column) FROM table WHERE filter (no WHERE for an empty
// filter). Any failure counts as 0 and leaves the connection usable.
int32_t CountRows(CDatabase* database, std::string column, std::string table, std::string filter);
