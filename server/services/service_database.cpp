#include "server/services/service_database.h"

#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <exception>

#include "common/helpers.h"
#include "common/module_registration.h"
#include "server/core/frame_decoder.h"
#include "server/core/request_context.h"
#include "server/core/request_packet.h"
#include "server/core/result_set.h"
#include "server/core/row_stream.h"
#include "server/core/service_factory.h"
#include "server/core/user.h"
#include "server/services/database_texts.h"
#include "server/services/database_values.h"

QN_REGISTER_SERVICE(CServiceDatabase);

namespace {

const CModuleRegistration g_databaseModule(&CServiceDatabase::InitModule, &CServiceDatabase::TermModule);

// A row and its 3-byte packet header fit one frame.
constexpr size_t kRowLimit = qn::kMaxFrame - 3;

std::string QuotedChoices(const std::vector<std::string>& choices) {
  std::string out;
  for (const std::string& choice : choices) {
    if (!out.empty()) out += ",";
    out += '"';
    for (char c : choice) {
      if (c == '"') out += '"';
      out += c;
    }
    out += '"';
  }
  return out;
}

std::string Fixed(double value) {
  char text[400];
  std::snprintf(text, sizeof text, "%f", value);
  return text;
}

}  // namespace

std::vector<std::string> CServiceDatabaseRecordset::KeyColumns() {
  if (m_strKeyColumn.empty()) return {};
  return {m_strKeyColumn};
}

struct CServiceDatabase::Handler {
  const char* item;
  int (CServiceDatabase::*run)();
};

// In the order the items are compared.
const CServiceDatabase::Handler CServiceDatabase::kHandlers[] = {
    {"GetAllDatabases", &CServiceDatabase::GetAllDatabases},
    {"GetFieldInfo", &CServiceDatabase::GetFieldInfo},
    {"Call", &CServiceDatabase::Call},
    {"Search", &CServiceDatabase::Search},
    {"GetMedia", &CServiceDatabase::GetMedia},
    {"GetUniqueFieldValues", &CServiceDatabase::GetUniqueFieldValues},
    {"AddNew", &CServiceDatabase::AddNew},
    {"Update", &CServiceDatabase::Update},
    {"Delete", &CServiceDatabase::Delete},
    {"SetMedia", &CServiceDatabase::SetMedia},
};

CServiceDatabase::CServiceDatabase() = default;

CServiceDatabase::~CServiceDatabase() {
  StopStream();
  // A transfer that did not complete leaves the stored media as they were.
  DropUpload();
}

void CServiceDatabase::InitModule() { LoadDatabaseCatalogue(); }

void CServiceDatabase::TermModule() { FreeDatabaseCatalogue(); }

bool CServiceDatabase::IsAvailable() { return IsDatabaseCatalogueLoaded(); }

int CServiceDatabase::ProcessRequest() {
  for (const Handler& handler : kHandlers) {
    if (strcasecmp(GetItem().c_str(), handler.item) != 0) continue;
    try {
      return (this->*handler.run)();
    } catch (const CDBException&) {
      StopStream();
      return qn::kResultDbError;
    }
  }
  return qn::kResultNoSuchRequest;
}

bool CServiceDatabase::HasKey(int32_t keyId) const {
  if (keyId == -1) return true;
  return GetUser() != nullptr && GetUser()->HasKeyID(keyId);
}

const CDatabaseInfo* CServiceDatabase::ReadableDatabase(const std::string& name) const {
  const CDatabaseInfo* database = FindDatabaseInfo(name);
  return database != nullptr && HasKey(database->m_nReadKeyID) ? database : nullptr;
}

bool CServiceDatabase::TakeParams(int count, std::vector<std::string>& out) {
  if (GetParamCount() != count) return false;
  out.assign(static_cast<size_t>(count), std::string());
  for (int i = 0; i < count; ++i) GetParam(i, out[static_cast<size_t>(i)]);
  return true;
}

std::string CServiceDatabase::ExpandValueMacros(const std::string& text, bool quoteUserID, bool inFilter) const {
  if (text.empty()) return text;
  const std::time_t now = std::time(nullptr);
  const std::string userId = GetUser() != nullptr ? GetUser()->GetUserID() : std::string();
  return qn::dbservice::ExpandMacros(text, userId, quoteUserID,
                                     inFilter ? FormatODBCTimestamp(now) : qn::dbservice::FormatOleDate(now));
}

int CServiceDatabase::GetAllDatabases() {
  m_pSchema = std::make_unique<CColumnTypes>(5, -1);
  m_pSchema->AddColumn(kColumnString, "Name");
  m_pSchema->AddColumn(kColumnString, "PrimaryKey");
  m_pSchema->AddColumn(kColumnBool, "CanRead");
  m_pSchema->AddColumn(kColumnBool, "CanWrite");
  m_pSchema->AddColumn(kColumnBool, "IsQuickBase");
  m_nCursor = 0;
  CRowSource rows;
  rows.atEnd = [this] { return m_nCursor >= DatabaseCatalogue().size(); };
  rows.sendRow = [this] { SendDatabaseRow(*DatabaseCatalogue()[m_nCursor++]); };
  return StreamList(std::move(rows));
}

int CServiceDatabase::GetFieldInfo() {
  std::vector<std::string> p;
  if (!TakeParams(1, p)) return qn::kResultDbParamCount;
  const CDatabaseInfo* database = ReadableDatabase(p[0]);
  if (database == nullptr) return qn::kResultDbNoDatabase;
  static const std::pair<uint8_t, const char*> kColumns[] = {
      {kColumnString, "Name"},         {kColumnString, "Description"}, {kColumnByte, "Type"},
      {kColumnShort, "Width"},         {kColumnBool, "IsPrimaryKey"},  {kColumnBool, "IsMedia"},
      {kColumnString, "MultipleChoices"}, {kColumnString, "RangeLow"}, {kColumnString, "RangeHigh"},
      {kColumnBool, "QBSearch"},       {kColumnBool, "QBBrowse"},      {kColumnBool, "QBDetail"}};
  m_pSchema = std::make_unique<CColumnTypes>(12, -1);
  for (const auto& [type, name] : kColumns) m_pSchema->AddColumn(type, name);
  m_nCursor = 0;
  m_pCurrentDatabase = database;
  CRowSource rows;
  rows.atEnd = [this] { return m_nCursor >= m_pCurrentDatabase->m_fields.size(); };
  rows.sendRow = [this] { SendFieldRow(m_pCurrentDatabase->m_fields[m_nCursor++]); };
  return StreamList(std::move(rows));
}

void CServiceDatabase::StopStream() {
  m_pRecordset.reset();
  m_pSchema.reset();
}

void CServiceDatabase::Finish(uint16_t code) {
  StopStream();
  CRequestContext* request = GetRequest();
  if (code == 0)
    request->EndRequest();
  else
    request->FailRequest(code);
}

int CServiceDatabase::StreamList(CRowSource rows) {
  rows.finish = [this] { StopStream(); };
  rows.failureCode = [](const std::exception& error) -> uint16_t {
    // The rows sent are not all there are: the client hears so.
    return dynamic_cast<const CDBException*>(&error) != nullptr ? qn::kResultDbError
                                                               : qn::kResultServiceException;
  };
  return StreamRows(*m_pSchema, std::move(rows));
}

int CServiceDatabase::StreamRecordset() {
  return StreamList(RowsOf(m_pRecordset, [this] {
    SendRecordsetRow();
    m_pRecordset->MoveNext();
  }));
}

void CServiceDatabase::SendDatabaseRow(const CDatabaseInfo& database) {
  const int32_t canRead = HasKey(database.m_nReadKeyID) ? 1 : 0;
  const int32_t canWrite = HasKey(database.m_nWriteKeyID) ? 1 : 0;
  if (!canRead && !canWrite) return;
  const int32_t quickBase = database.m_bIsQuickBase ? 1 : 0;
  CResultRow row(*m_pSchema);
  row.AddValue(&database.m_strName);
  row.AddValue(&database.m_strPrimaryKey);
  row.AddValue(&canRead);
  row.AddValue(&canWrite);
  row.AddValue(&quickBase);
  GetRequest()->SendMoreData(row.BuildPacket());
}

void CServiceDatabase::SendFieldRow(const CFieldInfo& field) {
  if (!HasKey(field.m_nReadKeyID)) return;
  const uint8_t type = qn::dbservice::ResultColumnType(field.m_nSQLType);
  const int16_t width = static_cast<int16_t>(field.m_nLength);
  const int32_t primary = strcasecmp(field.m_strName.c_str(), m_pCurrentDatabase->m_strPrimaryKey.c_str()) == 0;
  const int32_t media = field.m_bIsMedia;
  const std::string choices = QuotedChoices(field.m_choices);
  const std::string low = Fixed(field.m_dRangeLow);
  const std::string high = Fixed(field.m_dRangeHigh);
  const int32_t search = field.m_bQBSearch, browse = field.m_bQBBrowse, detail = field.m_bQBDetail;
  CResultRow row(*m_pSchema);
  for (const void* value : std::initializer_list<const void*>{
           &field.m_strName, &field.m_strDescription, &type, &width, &primary, &media, &choices, &low,
           &high, &search, &browse, &detail})
    row.AddValue(value);
  GetRequest()->SendMoreData(row.BuildPacket());
}

void CServiceDatabase::SendRecordsetRow() {
  std::vector<qn::dbservice::RowCell> cells;
  for (int i = 0; i < m_pRecordset->GetColumnCount(); ++i)
    cells.push_back(qn::dbservice::MakeRowCell(m_pRecordset->Column(i), m_pRecordset->ColumnType(i)));
  qn::dbservice::FitRow(cells, kRowLimit);
  CResultRow row(*m_pSchema);
  for (const auto& cell : cells) {
    std::visit(
        [&](const auto& value) {
          using T = std::decay_t<decltype(value)>;
          if constexpr (std::is_same_v<T, std::vector<uint8_t>>) {
            const CByteBlock block(value.data(), static_cast<int32_t>(value.size()));
            row.AddValue(&block);
          } else {
            row.AddValue(&value);
          }
        },
        cell.value);
  }
  GetRequest()->SendMoreData(row.BuildPacket());
}
