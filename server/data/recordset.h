// The recordset: a SELECT over one table (or a join) whose columns are bound
// to members of the derived class, with a filter and sort given as text, and
// adding, editing and deleting of rows through those members.
#pragma once
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/odbc_statement.h"
#include "server/data/database.h"
#include "server/data/sql_literals.h"

// BOOL comes from the ODBC headers; the system's code writes TRUE and FALSE.
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif


// How a bound member is exchanged with its column.
enum class FieldKind : uint8_t {
  Text,        // std::string, cut to the bound width
  Long,        // int32_t
  Int,         // int16_t
  Byte,        // uint8_t
  Bool,        // BOOL; stored as the dialect's TRUE
  Date,        // std::time_t, local time, one-second resolution; 0 is no date
  Double,      // double
  Single,      // float
  LongBinary,  // std::vector<uint8_t>, whole
  Binary,      // std::vector<uint8_t>, cut to the bound width
};

// Collects the bindings a recordset declares in DoFieldExchange.
class CFieldExchange {
 public:
  struct Field {
    std::string name;  // as it stands in the select list
    FieldKind kind;
    int width;  // Text and Binary: most characters or bytes read
    void* address;
  };
  struct Param {
    FieldKind kind;
    int sqlType;  // the ODBC SQL type the driver is told
    void* address;
  };

  void Column(std::string name, FieldKind kind, int width, void* address) {
    fields.push_back({std::move(name), kind, width, address});
  }
  void Parameter(FieldKind kind, int sqlType, void* address) {
    params.push_back({kind, sqlType, address});
  }

  std::vector<Field> fields;
  std::vector<Param> params;
};

class CRecordset {
 public:
  enum OpenType : unsigned { dynaset = 0, snapshot = 1, forwardOnly = 3, useDefaultType = 0xFFFF };
  enum OpenOptions : unsigned { none = 0, readOnly = 0x4, appendOnly = 0x8 };
  enum LockMode { optimistic = 3, pessimistic = 2 };

  explicit CRecordset(CDatabase* database);
  virtual ~CRecordset();
  CRecordset(const CRecordset&) = delete;
  CRecordset& operator=(const CRecordset&) = delete;

  // Runs the query: `sql` null or empty takes GetDefaultSQL() as the FROM
  // list; a table list, a full SELECT or a procedure call ("{CALL p(?)}")
  // may be given instead. A recordset without columns runs its statement,
  // then fails with "No columns were bound ..." (SL009). m_strFilter and
  // m_strSort become WHERE and ORDER BY. A snapshot reads its rows at open
  // and keeps them, so it can move back and never sees changes made while it
  // is walked; a forward-only recordset streams. An appendOnly recordset runs
  // its query only when it is first asked for a row, so adding rows never
  // reads the table. Throws CDBException.
  bool Open(unsigned openType = useDefaultType, const char* sql = nullptr,
            unsigned options = none);
  void Close();
  bool IsOpen() const { return open_; }
  // Runs the query again with the current filter, sort and parameters.
  bool Requery();

  bool IsBOF() const {
    RunPendingQuery();
    return bof_;
  }
  bool IsEOF() const {
    RunPendingQuery();
    return eof_;
  }
  bool IsDeleted() const;
  void MoveNext();
  void MovePrev();
  void MoveFirst();
  void MoveLast();
  // Every row of a snapshot; the rows read so far of a forward-only one.
  long GetRecordCount() const {
    RunPendingQuery();
    return type_ == forwardOnly ? seen_ : static_cast<long>(rows_.size());
  }

  bool CanUpdate() const;
  bool CanAppend() const;
  // AddNew empties the members; Update inserts the columns that were set
  // since to a value (the database fills the others, and those set to null)
  // and moves back to the row that was current before.
  void AddNew();
  // Edit keeps the current values; Update writes only the changed columns.
  void Edit();
  // An edit of the rows m_strFilter names without reading them (an
  // appendOnly open runs no query): the members start empty, and Update
  // writes the columns set since to every such row in one statement,
  // returning whether there was any.
  void EditFiltered();
  bool Update();
  void CancelUpdate();
  // A row for another table of the same database that the next Update (an
  // insert, an edit) writes in the same statement, its write run as a WITH
  // clause; PostgreSQL only (elsewhere false, and nothing is carried). For
  // rows that must never stop the write, such as audit rows: when the joint
  // statement fails, the write runs alone and then the row alone, whose
  // failure is ignored (an insert that reads its key back, and an Update
  // with nothing to write, write the row alone too).
  bool CarryInsert(std::string table, std::vector<std::string> columns,
                   std::vector<qn::odbc::Param> values);
  // Deletes the current row; it stays current, marked deleted.
  void Delete();
  // Rows are never locked while edited: Update names the row by its key (or
  // its old values) when it writes, whatever mode is asked for.
  void SetLockingMode(LockMode) {}

  // The identity key the last AddNew/Update got from the database, read
  // back only for a recordset that asked for it with WantInsertedKey (with
  // the insert on PostgreSQL, by a second statement on SQLite); 0 otherwise,
  // and when the table has none.
  void WantInsertedKey(bool want = true) { wantInsertedKey_ = want; }
  int32_t GetInsertedKey() const { return insertedKey_; }

  bool IsFieldNull(const void* member) const;
  // Marks a member to be written (or not) by the next Update.
  void SetFieldDirty(const void* member, bool dirty = true);
  // Marks a member to be written as NULL by the next Update.
  void SetFieldNull(const void* member, bool null = true);

  virtual std::string GetDefaultSQL() = 0;
  virtual std::string GetDefaultConnect() { return "ODBC;"; }
  virtual void DoFieldExchange(CFieldExchange& fx) = 0;

  std::string m_strFilter;
  std::string m_strSort;
  int m_nFields = 0;
  int m_nParams = 0;
  unsigned m_nDefaultType = snapshot;

 protected:
  // The table written by updates, unbracketed; empty when not updatable.
  virtual std::string UpdateTable();
  // Columns naming one row for Edit and Delete; empty means every column
  // that compares exactly.
  virtual std::vector<std::string> KeyColumns() { return {}; }
  // The column the database numbers itself, if any.
  virtual std::string IdentityColumn() { return {}; }

  CDatabase* m_pDatabase;

 private:
  using Row = std::vector<qn::odbc::Value>;

  void Bind();
  // Runs the query an appendOnly open left for later.
  void RunPendingQuery() const;
  // The statement as written (select_) and, where it can be reused, with its
  // literals as parameters (prepared_).
  void BuildSelect(const char* sql);
  std::vector<qn::odbc::Param> OwnParams() const;
  bool Execute();
  bool FetchStreamed();
  Row ReadRow();
  void LoadRow(const Row& row);
  Row CaptureMembers() const;
  void ResetMembers();
  qn::odbc::Param MemberParam(size_t field, const qn::odbc::Value& value) const;
  std::string ColumnName(size_t field) const;
  // The column without table qualifier, for INSERT and SET lists.
  std::string TargetName(size_t field) const;
  std::string WhereForRow(const Row& row, std::vector<qn::odbc::Param>& params) const;
  // "A=?,B=?" for the dirty columns, their values appended to `params`.
  std::string SetList(const std::vector<size_t>& dirty, const Row& now,
                      std::vector<qn::odbc::Param>& params) const;
  long UpdateFiltered(const std::vector<size_t>& dirty, const Row& now);
  void Execute(const std::string& sql, std::vector<qn::odbc::Param> params, long* rowCount);
  // An insert or update of Update, with the carried row when there is one;
  // the rows it wrote.
  long ExecuteWrite(const std::string& sql, std::vector<qn::odbc::Param> params);
  std::string CarriedInsert() const;
  void WriteCarriedAlone();
  void Position(long index);
  void FetchUpTo(long index);
  void CancelUpdateRestore();
  void RequireOpen() const;
  [[noreturn]] void Fail(const char* state, const std::string& message) const;

  CFieldExchange fx_;
  unsigned type_ = snapshot;
  unsigned options_ = none;
  std::string openSql_;  // the SQL text Open was given, for Requery
  std::string select_;
  ParameterisedSql prepared_;  // text empty: run select_ as written
  std::vector<qn::odbc::Param> literalParams_;
  bool open_ = false;
  bool pending_ = false;
  bool bof_ = true;
  bool eof_ = true;
  StatementLease stream_;
  std::vector<Row> rows_;       // snapshot: every row; forward-only: the current one
  std::vector<bool> deleted_;   // per row of rows_
  long current_ = -1;
  long seen_ = 0;
  std::vector<bool> nulls_;     // per field, of the members as loaded
  std::vector<bool> forcedDirty_;
  std::vector<bool> forcedNull_;
  enum class EditMode { none, adding, editing, filtered } mode_ = EditMode::none;
  Row editStart_;
  bool wantInsertedKey_ = false;
  struct CarriedRow {
    std::string table;
    std::vector<std::string> columns;
    std::vector<qn::odbc::Param> values;
  };
  std::optional<CarriedRow> carried_;
  int32_t insertedKey_ = 0;
};
