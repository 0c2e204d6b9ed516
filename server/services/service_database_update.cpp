// The write and media requests of the "Database" service: rows added,
// changed and deleted by their primary key, and the media files of rows.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "common/crc32.h"
#include "common/drive_paths.h"
#include "common/helpers.h"
#include "platform/temp_files.h"
#include "server/core/request_context.h"
#include "server/core/upload_journal.h"
#include "server/data/connection_pool.h"
#include "server/services/database_texts.h"
#include "server/services/database_values.h"
#include "server/services/service_database.h"

namespace {

using qn::dbservice::IsCharType;

bool IsMediaType(int type) {
  return IsCharType(type) || type == SQL_LONGVARCHAR || type == SQL_BINARY || type == SQL_VARBINARY ||
         type == SQL_LONGVARBINARY;
}

bool IsLongType(int type) { return type == SQL_LONGVARCHAR || type == SQL_LONGVARBINARY; }

// A new empty file "QNS" + six random characters in the directory, readable
// by the server alone, whose name an upload can take; empty when none can be
// made.
std::string ReserveName(const std::string& directory) {
  std::string pattern = directory + "QNSXXXXXX";
  const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) return {};
  ::close(fd);
  return pattern;
}

// A long value stored from an upload is held in memory whole on its way to
// the database: larger files are refused rather than read.
constexpr off_t kMaxLongValue = 64 << 20;

bool ReadLongValue(const std::string& path, std::string& bytes) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || st.st_size > kMaxLongValue) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// The last name of a stored path: what follows its last "\" or "/".
std::string LastComponent(const std::string& path) {
  const size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

}  // namespace

std::string CServiceDatabase::MediaDirectory(const CFieldInfo& field) {
  const std::string& directory = field.m_strMediaDirectory;
  if (directory.empty()) return {};
  const bool rooted = directory[0] == '\\' || directory[0] == '/' || (directory.size() >= 2 && directory[1] == ':');
  std::string native = ToNativePath(rooted ? ResolvePath(directory) : GetProgramDirectory() + directory);
  if (native.empty()) return {};
  if (native.back() != '/') native += '/';
  return native;
}

std::string CServiceDatabase::MediaFile(const CFieldInfo& field, const std::string& key) {
  const std::string directory = MediaDirectory(field);
  if (directory.empty()) return {};
  char name[16];
  std::snprintf(name, sizeof name, "%08X",
                static_cast<unsigned>(ComputeStringCrc32("PriKey:" + key + ", Col:" + field.m_strName)));
  return directory + name;
}

int CServiceDatabase::ReadAssignments(const CDatabaseInfo& database, const std::string& text, size_t limit,
                                      std::vector<std::optional<CDynaHolder>>& values) {
  std::vector<const CFieldInfo*> fields;
  std::vector<std::string> texts;
  const CFieldInfo* current = nullptr;
  const int code = qn::dbservice::ReadAssignmentList(
      text,
      [&](const std::string& name) -> int {
        current = database.FindField(name);
        return current != nullptr && HasKey(current->m_nReadKeyID) ? 0 : qn::kResultDbNoField;
      },
      [&](const std::string&, const std::string& value) -> int {
        // The fill macro's value is stored, not the member's.
        if (!current->m_strFillMacro.empty()) return 0;
        const int type = current->m_nSQLType;
        if (current->HasRange() && (type == SQL_TINYINT || (type >= SQL_INTEGER && type <= SQL_TIMESTAMP))) {
          const double number = std::atof(value.c_str());
          if (number < current->m_dRangeLow || number > current->m_dRangeHigh) return qn::kResultDbRange;
        }
        std::string stored = value;
        if (!current->m_choices.empty() &&
            (IsCharType(type) || type == SQL_NUMERIC || type == SQL_DECIMAL)) {
          const auto choice = std::find_if(current->m_choices.begin(), current->m_choices.end(),
                                           [&](const std::string& c) { return strcasecmp(c.c_str(), value.c_str()) == 0; });
          if (choice == current->m_choices.end()) return qn::kResultDbChoice;
          stored = *choice;
        }
        fields.push_back(current);
        texts.push_back(std::move(stored));
        return 0;
      });
  if (code != 0) return code;
  for (const CFieldInfo& field : database.m_fields) {
    if (field.m_strFillMacro.empty() || field.m_strFillMacro == "$DEFAULT") continue;
    fields.push_back(&field);
    texts.push_back(ExpandValueMacros(field.m_strFillMacro, false, false));
  }
  if (texts.empty() || texts.size() > limit) return qn::kResultDbNoField;
  values.clear();
  for (size_t i = 0; i < fields.size(); ++i) {
    const int type = fields[i]->m_nSQLType;
    m_pRecordset->AddColumn(fields[i]->m_strName, type, fields[i]->m_nLength);
    CDynaHolder holder;
    // Binary columns take no value from text.
    const auto conversion = type == SQL_BINARY || type == SQL_VARBINARY || type == SQL_LONGVARBINARY
                                ? qn::dbservice::Conversion::kNoValue
                                : qn::dbservice::ConvertText(texts[i], type, holder);
    if (conversion == qn::dbservice::Conversion::kOutOfRange) return qn::kResultDbRange;
    values.push_back(conversion == qn::dbservice::Conversion::kValue ? std::optional<CDynaHolder>(std::move(holder))
                                                                    : std::nullopt);
  }
  return 0;
}

void CServiceDatabase::AssignValues(const std::vector<std::optional<CDynaHolder>>& values) {
  for (size_t i = 0; i < values.size(); ++i) {
    if (!values[i]) continue;
    const int column = static_cast<int>(i);
    m_pRecordset->Column(column) = *values[i];
    // Written even when equal to an empty start ("" or 0).
    m_pRecordset->SetFieldDirty(m_pRecordset->ColumnAddress(column));
  }
}

int CServiceDatabase::OpenKeyedRow(const CDatabaseInfo& database, const std::string& key, bool forWrite) {
  const CFieldInfo* primary = database.FindField(database.m_strPrimaryKey);
  if (primary == nullptr) return qn::kResultDbBadKeyField;
  m_pRecordset->AddColumn(primary->m_strName, primary->m_nSQLType, primary->m_nLength);
  m_pRecordset->SetKeyColumn(primary->Column());
  // The key is a bound value of the key column's type, so no text of the
  // client's becomes part of the filter.
  auto value = std::make_unique<CDynaHolder>();
  if (!qn::dbservice::ConvertKey(key, primary->m_nSQLType, *value)) return qn::kResultDbNoRow;
  m_pRecordset->AddParam(std::move(value), primary->m_nSQLType);
  std::string filter = primary->m_strName + "=?";
  std::string databaseFilter = forWrite ? database.m_strWriteFilter : database.m_strReadFilter;
  if (!databaseFilter.empty() && databaseFilter[0] == '!') databaseFilter.erase(0, 1);
  if (!databaseFilter.empty()) filter = "(" + filter + ") AND (" + ExpandValueMacros(databaseFilter, true, true) + ")";
  m_pRecordset->m_strFilter = filter;
  m_pRecordset->Open();
  if (m_pRecordset->IsEOF()) return qn::kResultDbNoRow;
  m_pRecordset->MoveNext();
  if (!m_pRecordset->IsEOF()) return qn::kResultDbBadKeyField;
  m_pRecordset->MoveFirst();
  return 0;
}

int CServiceDatabase::CheckMediaField(const CDatabaseInfo& database, const std::string& name,
                                      const CFieldInfo*& field) const {
  field = database.FindField(name);
  if (field == nullptr || !HasKey(field->m_nReadKeyID)) return qn::kResultDbFieldNotReadable;
  if (!field->m_bIsMedia) return qn::kResultDbNotMedia;
  if (!IsMediaType(field->m_nSQLType)) return qn::kResultDbBadKeyField;
  return 0;
}

int CServiceDatabase::WritableDatabase(int count, std::vector<std::string>& params,
                                       const CDatabaseInfo*& database) {
  if (!TakeParams(count, params)) return qn::kResultDbParamCount;
  database = FindDatabaseInfo(params[0]);
  if (database == nullptr) return qn::kResultDbNoDatabase;
  if (!HasKey(database->m_nWriteKeyID)) return qn::kResultDbNoWriteKey;
  m_pRecordset = std::make_unique<CServiceDatabaseRecordset>(GetDatabase(database->m_strConnect, false));
  return 0;
}

int CServiceDatabase::AddNew() {
  std::vector<std::string> p;
  const CDatabaseInfo* database = nullptr;
  if (const int code = WritableDatabase(2, p, database)) return code;
  m_pRecordset->SetQualifiedNames(FALSE);
  std::vector<std::optional<CDynaHolder>> values;
  if (const int code = ReadAssignments(*database, p[1], CDynaBind::kMaxColumns, values)) return code;
  // A filter that matches no row: adding never reads the table.
  if (const CFieldInfo* primary = database->FindField(database->m_strPrimaryKey))
    m_pRecordset->m_strFilter = primary->m_strName + (IsCharType(primary->m_nSQLType) ? "='<empty set>'" : "=0");
  m_pRecordset->Open(CRecordset::snapshot, nullptr, CRecordset::appendOnly);
  m_pRecordset->AddNew();
  AssignValues(values);
  m_pRecordset->Update();
  Finish();
  return 0;
}

int CServiceDatabase::Update() {
  std::vector<std::string> p;
  const CDatabaseInfo* database = nullptr;
  if (const int code = WritableDatabase(3, p, database)) return code;
  std::vector<std::optional<CDynaHolder>> values;
  // The key is bound after the assigned columns.
  if (const int code = ReadAssignments(*database, p[2], CDynaBind::kMaxColumns - 1, values)) return code;
  if (const int code = OpenKeyedRow(*database, p[1], true)) return code;
  m_pRecordset->Edit();
  AssignValues(values);
  m_pRecordset->Update();
  Finish();
  return 0;
}

int CServiceDatabase::Delete() {
  std::vector<std::string> p;
  const CDatabaseInfo* database = nullptr;
  if (const int code = WritableDatabase(2, p, database)) return code;
  if (const int code = OpenKeyedRow(*database, p[1], true)) return code;
  m_pRecordset->Delete();
  StopStream();
  // The media files of the row's text media fields go with it, named from
  // the key as the client sent it.
  for (const CFieldInfo& field : database->m_fields) {
    if (!field.m_bIsMedia || !IsCharType(field.m_nSQLType)) continue;
    const std::string path = MediaFile(field, p[1]);
    if (!path.empty()) ::unlink(path.c_str());
  }
  GetRequest()->EndRequest();
  return 0;
}

int CServiceDatabase::GetMedia() {
  std::vector<std::string> p;
  if (!TakeParams(3, p)) return qn::kResultDbParamCount;
  const CDatabaseInfo* database = ReadableDatabase(p[0]);
  if (database == nullptr) return qn::kResultDbNoDatabase;
  const CFieldInfo* field = nullptr;
  if (const int code = CheckMediaField(*database, p[2], field)) return code;
  m_pRecordset = std::make_unique<CServiceDatabaseRecordset>(GetDatabase(database->m_strConnect, false));
  m_pRecordset->AddColumn(field->m_strName, field->m_nSQLType, field->m_nLength);
  if (const int code = OpenKeyedRow(*database, p[1], false)) return code;
  const CDynaHolder value = m_pRecordset->Column(0);
  StopStream();

  if (IsCharType(field->m_nSQLType)) {
    // Only a file of the media directory is served: the stored value's last
    // name, whatever directories it names.
    const std::string directory = MediaDirectory(*field);
    const std::string name = LastComponent(std::get<std::string>(value));
    if (directory.empty() || name.empty() || name == "." || name == "..") return qn::kResultDbNoMedia;
    if (!SendFile(directory + name, false)) return qn::kResultDbNoMedia;
    return 0;
  }
  if (!IsLongType(field->m_nSQLType)) return qn::kResultDbBadKeyField;
  std::string bytes;
  if (const auto* text = std::get_if<std::string>(&value)) bytes = *text;
  if (const auto* binary = std::get_if<std::vector<uint8_t>>(&value)) bytes.assign(binary->begin(), binary->end());
  if (bytes.empty()) return qn::kResultDbNoMedia;
  // The file goes once it is sent, or with the service.
  const std::string temporary = qn::WriteTempFile("QNS", bytes);
  if (temporary.empty()) return qn::kResultDbError;
  if (!SendFile(temporary, true)) {
    ::unlink(temporary.c_str());
    return qn::kResultDbError;
  }
  return 0;
}

int CServiceDatabase::SetMedia() {
  std::vector<std::string> p;
  const CDatabaseInfo* database = nullptr;
  if (const int code = WritableDatabase(3, p, database)) return code;
  const CFieldInfo* field = nullptr;
  if (const int code = CheckMediaField(*database, p[2], field)) return code;
  m_pRecordset->AddColumn(field->m_strName, field->m_nSQLType, field->m_nLength);
  if (const int code = OpenKeyedRow(*database, p[1], true)) return code;

  // The upload lands under a name of its own; it becomes the media only once
  // the row is written.
  m_nMediaType = field->m_nSQLType;
  if (IsCharType(m_nMediaType)) {
    m_strMediaPath = MediaFile(*field, p[1]);
    if (!m_strMediaPath.empty()) m_strUploadPath = ReserveName(MediaDirectory(*field));
  } else if (IsLongType(m_nMediaType)) {
    const int fd = qn::CreateTempFile("QNS", m_strUploadPath);
    if (fd >= 0) ::close(fd);
  }
  if (m_strUploadPath.empty()) {
    StopStream();
    return qn::kResultDbError;
  }
  JournalUploadFile(m_strUploadPath);
  m_pRecordset->SetLockingMode(CRecordset::pessimistic);
  m_pRecordset->Edit();
  if (!ReceiveFile(m_strUploadPath)) {
    StopStream();
    DropUpload();
    return qn::kResultDbError;
  }
  return 0;
}

void CServiceDatabase::DropUpload() {
  if (!m_strUploadPath.empty()) {
    ::unlink(m_strUploadPath.c_str());
    ForgetUploadFile(m_strUploadPath);
  }
  m_strUploadPath.clear();
}

void CServiceDatabase::OnReceiveFileFailed() {
  StopStream();
  DropUpload();
  Finish(qn::kResultDbError);
}

void CServiceDatabase::OnReceiveFileDone() {
  if (!m_pRecordset) return CServiceBase::OnReceiveFileDone();
  uint16_t code = 0;
  void* column = m_pRecordset->ColumnAddress(0);
  const std::string received = GetReceivedPath();
  try {
    if (IsCharType(m_nMediaType)) {
      std::get<std::string>(m_pRecordset->Column(0)) = LastComponent(m_strMediaPath);
      m_pRecordset->SetFieldDirty(column);
      m_pRecordset->Update();
      if (std::rename(received.c_str(), m_strMediaPath.c_str()) == 0) {
        ForgetUploadFile(m_strUploadPath);
        m_strUploadPath.clear();
      } else {
        code = qn::kResultDbError;
      }
    } else {
      std::string bytes;
      // Neither driver stores a zero byte in text: it would cut the value.
      if (!ReadLongValue(received, bytes) ||
          (m_nMediaType == SQL_LONGVARCHAR && bytes.find('\0') != std::string::npos)) {
        code = qn::kResultDbError;
      } else {
        if (bytes.empty()) {
          m_pRecordset->SetFieldNull(column);
        } else {
          CDynaHolder& holder = m_pRecordset->Column(0);
          if (auto* text = std::get_if<std::string>(&holder)) *text = std::move(bytes);
          if (auto* binary = std::get_if<std::vector<uint8_t>>(&holder)) binary->assign(bytes.begin(), bytes.end());
          m_pRecordset->SetFieldDirty(column);
        }
        m_pRecordset->Update();
      }
    }
  } catch (const CDBException&) {
    code = qn::kResultDbError;
  }
  StopStream();
  DropUpload();
  Finish(code);
}
