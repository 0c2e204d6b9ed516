// The "Database" service: members' generic access to the databases the
// operator lists in the catalogue (database_catalogue): the list of
// databases and their fields, searches, distinct values and procedure calls
// (service_database_query.cpp), and adding, changing and deleting rows and
// their media files (service_database_update.cpp). Rows go out through the
// service base's row stream.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "server/core/service_base.h"
#include "server/data/dyna_bind.h"
#include "server/services/database_catalogue.h"

class CColumnTypes;
struct CRowSource;

namespace qn {
inline constexpr uint16_t kResultDbParamCount = 0x1500;
inline constexpr uint16_t kResultDbNoDatabase = 0x1501;
inline constexpr uint16_t kResultDbNoField = 0x1502;
inline constexpr uint16_t kResultDbError = 0x1503;
inline constexpr uint16_t kResultDbBadKeyField = 0x1504;
inline constexpr uint16_t kResultDbFieldNotReadable = 0x1505;
inline constexpr uint16_t kResultDbNotMedia = 0x1506;
inline constexpr uint16_t kResultDbNoRow = 0x1507;
inline constexpr uint16_t kResultDbNoMedia = 0x1508;
inline constexpr uint16_t kResultDbNoWriteKey = 0x1509;
inline constexpr uint16_t kResultDbMalformed = 0x150a;
inline constexpr uint16_t kResultDbRange = 0x150b;
inline constexpr uint16_t kResultDbChoice = 0x150c;
inline constexpr uint16_t kResultDbNoProcedure = 0x150d;
}  // namespace qn

// A recordset of a configured database that names the row it writes by the
// database's primary key alone.
class CServiceDatabaseRecordset : public CDynaBind {
 public:
  using CDynaBind::CDynaBind;
  // The key column as bound ("PersonID").
  void SetKeyColumn(const std::string& column) { m_strKeyColumn = column; }

 protected:
  std::vector<std::string> KeyColumns() override;

 private:
  std::string m_strKeyColumn;
};

class CServiceDatabase : public CServiceBase {
 public:
  CServiceDatabase();
  ~CServiceDatabase() override;

  // The module's start and stop: the catalogue is loaded and freed.
  static void InitModule();
  static void TermModule();

  bool IsAvailable() override;
  int ProcessRequest() override;
  void OnReceiveFileDone() override;
  void OnReceiveFileFailed() override;

  // "$USERID" (an SQL literal when quoteUserID) and "$SYSTEMTIME" replaced in
  // one pass; the time is a timestamp literal in filters, the automation
  // date number elsewhere.
  std::string ExpandValueMacros(const std::string& text, bool quoteUserID, bool inFilter) const;

 private:
  struct Handler;
  static const Handler kHandlers[];

  int GetAllDatabases();
  int GetFieldInfo();
  int Call();
  int Search();
  int GetMedia();
  int GetUniqueFieldValues();
  int AddNew();
  int Update();
  int Delete();
  int SetMedia();

  bool HasKey(int32_t keyId) const;
  // The named database when the member holds its read key; null otherwise.
  const CDatabaseInfo* ReadableDatabase(const std::string& name) const;
  // The parameters in order; false when their count is not `count`.
  bool TakeParams(int count, std::vector<std::string>& out);

  // Streams the list; the schema and the recordset are freed once it is
  // complete, and a database failure ends it with 0x1503.
  int StreamList(CRowSource rows);
  // One entry of the catalogue or of a database's field list; nothing for
  // an entry the member may not see.
  void SendDatabaseRow(const CDatabaseInfo& database);
  void SendFieldRow(const CFieldInfo& field);
  // Streams the open recordset's rows (searches, distinct values, procedure
  // rows).
  int StreamRecordset();
  void SendRecordsetRow();
  // Frees the schema and the recordset.
  void StopStream();
  // Ends the request; nothing of the service may be touched afterwards.
  void Finish(uint16_t code = 0);

  // The checks of a request that writes: the parameter count, the database
  // and its write key; then the recordset on the database's connection. 0
  // or the code.
  int WritableDatabase(int count, std::vector<std::string>& params, const CDatabaseInfo*& database);
  // Binds the assigned fields and those with fill macros to the recordset,
  // with their values converted (none for a column that takes no value
  // from text); 0, or the code of the first refusal. At most `limit`
  // columns.
  int ReadAssignments(const CDatabaseInfo& database, const std::string& text, size_t limit,
                      std::vector<std::optional<CDynaHolder>>& values);
  void AssignValues(const std::vector<std::optional<CDynaHolder>>& values);
  // Binds the primary key last and opens the one row the key names within
  // the database's write (or read) filter: 0, or the code for no key field,
  // no row or several rows.
  int OpenKeyedRow(const CDatabaseInfo& database, const std::string& key, bool forWrite);
  // The field of a media request: readable, a media field, of a type that
  // holds media; 0 or the code.
  int CheckMediaField(const CDatabaseInfo& database, const std::string& name, const CFieldInfo*& field) const;
  // The media directory of the field as a path of this machine (a relative
  // one under the program directory), with its trailing slash; empty for
  // none.
  std::string MediaDirectory(const CFieldInfo& field);
  // The stored media file of a text media field for a key value.
  std::string MediaFile(const CFieldInfo& field, const std::string& key);

  std::unique_ptr<CColumnTypes> m_pSchema;
  std::unique_ptr<CServiceDatabaseRecordset> m_pRecordset;
  size_t m_nCursor = 0;
  const CDatabaseInfo* m_pCurrentDatabase = nullptr;
  // Removes the file an upload came to (or was to come to).
  void DropUpload();

  // The name an upload takes once complete: a file of our own, removed with
  // the service unless it became the media.
  std::string m_strUploadPath;
  // Where a received text media file goes once its row is written.
  std::string m_strMediaPath;
  int m_nMediaType = 0;
};
