#include "server/data/count_rows.h"

int32_t CountRows(CDatabase* database, std::string column, std::string table, std::string filter) {
  CCount count(database);
  count.m_expression = "COUNT(" + column + ")";
  count.m_table = std::move(table);
  count.m_strFilter = std::move(filter);
  try {
    count.Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly);
  } catch (...) {
    // Callers take a failure for an empty result.
  }
  count.Close();
  return count.m_count;
}
