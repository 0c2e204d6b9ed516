#include "server/services/service_filelib.h"

#include <strings.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <stdexcept>

#include "common/drive_paths.h"
#include "common/helpers.h"
#include "common/module_registration.h"
#include "server/core/request_context.h"
#include "server/core/request_packet.h"
#include "server/core/result_set.h"
#include "server/core/row_stream.h"
#include "server/core/service_factory.h"
#include "server/core/user.h"
#include "server/data/connection_pool.h"
#include "server/data/count_rows.h"
#include "server/data/schema_recordsets.h"

QN_REGISTER_SERVICE(CServiceFileLib);

namespace {

std::string g_strFileConnect;
std::string g_strAccountConnect;
bool g_bEnabled = false;

void InitFileLibModule() {
  g_strFileConnect = "DSN=Quillnet Server;DBQ=QNFILE.MDB";
  g_strAccountConnect = "DSN=Quillnet Server;DBQ=QNACCOUN.MDB";
  g_bEnabled = true;
}

const CModuleRegistration s_fileLibModule(&InitFileLibModule, nullptr);

CDatabase* FileDb() { return GetDatabase(g_strFileConnect, false); }
CDatabase* AccountDb() { return GetDatabase(g_strAccountConnect, false); }

constexpr const char* kApp = "File Library";
constexpr const char* kReceiveKey = "File Receive";
constexpr const char* kSendKey = "File Send";

// Rows a file-library answer reads are never written through the recordset.
void OpenForReading(CRecordset& recordset, std::string filter, std::string sort = {}) {
  recordset.m_strFilter = std::move(filter);
  recordset.m_strSort = std::move(sort);
  recordset.Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly);
}

std::string Id(int32_t id) { return std::to_string(id); }

std::unique_ptr<CColumnTypes> Columns(int32_t rowCount, std::initializer_list<CColumnDef> defs) {
  auto columns = std::make_unique<CColumnTypes>(static_cast<int>(defs.size()), rowCount);
  for (const CColumnDef& def : defs) columns->AddColumnDef(def);
  return columns;
}

int32_t Date(std::time_t time) { return static_cast<int32_t>(time); }

}  // namespace

bool IsBareFileName(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.size() > 255) return false;
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7F || c == '\\' || c == '/' || c == ':') return false;
  return true;
}

// What each item needs before its handler runs: a usable key of the file
// library, checked first, then the parameter count (0: no bound).
struct CServiceFileLib::Item {
  const char* name;
  int (CServiceFileLib::*run)();
  const char* key;
  int minParams;
  int maxParams;
  const char* sort;  // the file lists' order
};

const CServiceFileLib::Item CServiceFileLib::kItems[] = {
    {"GetSendCredit", &CServiceFileLib::GetSendCredit, nullptr, 1, 1, nullptr},
    {"GetFiles4FolderByNameAsc", &CServiceFileLib::GetFiles4Folder, nullptr, 1, 1,
     "FileName, LastModDate, FileSize, UploadedBy"},
    {"GetFiles4FolderByNameDesc", &CServiceFileLib::GetFiles4Folder, nullptr, 1, 1,
     "FileName DESC, LastModDate, FileSize, UploadedBy"},
    {"GetFiles4FolderBySizeAsc", &CServiceFileLib::GetFiles4Folder, nullptr, 1, 1,
     "FileSize, FileName, LastModDate, UploadedBy"},
    {"GetFiles4FolderBySizeDesc", &CServiceFileLib::GetFiles4Folder, nullptr, 1, 1,
     "FileSize DESC, FileName, LastModDate, UploadedBy"},
    {"GetFiles4FolderByExtAsc", &CServiceFileLib::GetFiles4Folder, nullptr, 1, 1,
     "FileExtension, FileName, LastModDate, FileSize, UploadedBy"},
    {"GetFiles4FolderByExtDesc", &CServiceFileLib::GetFiles4Folder, nullptr, 1, 1,
     "FileExtension DESC, FileName, LastModDate, FileSize, UploadedBy"},
    {"GetFiles4FolderByDateAsc", &CServiceFileLib::GetFiles4Folder, nullptr, 1, 1,
     "LastModDate, FileName, FileSize, UploadedBy"},
    {"GetFiles4FolderByDateDesc", &CServiceFileLib::GetFiles4Folder, nullptr, 1, 1,
     "LastModDate DESC, FileName, FileSize, UploadedBy"},
    {"GetFiles4FolderBySenderAsc", &CServiceFileLib::GetFiles4Folder, nullptr, 1, 1,
     "UploadedBy, FileName, LastModDate, FileSize"},
    {"GetFiles4FolderBySenderDesc", &CServiceFileLib::GetFiles4Folder, nullptr, 1, 1,
     "UploadedBy DESC, FileName, LastModDate, FileSize"},
    {"GetFileDetails", &CServiceFileLib::GetFileDetails, nullptr, 1, 1, nullptr},
    // The path is optional: an absent one reads as empty.
    {"GetFolderTree", &CServiceFileLib::GetFolderTree, nullptr, 1, 1, nullptr},
    {"GetLongDescriptionForFile", &CServiceFileLib::GetLongDescriptionForFile, nullptr, 1, 1,
     nullptr},
    {"GetKeywordsForFile", &CServiceFileLib::GetKeywordsForFile, nullptr, 1, 1, nullptr},
    {"GetDownloadCountForFile", &CServiceFileLib::GetDownloadCountForFile, nullptr, 1, 1, nullptr},
    {"ReceiveFile", &CServiceFileLib::Download, kReceiveKey, 2, 2, nullptr},
    {"SendFile", &CServiceFileLib::Upload, kSendKey, 4, 0, nullptr},
    {"GetKeyCost", &CServiceFileLib::GetKeyCost, nullptr, 1, 1, nullptr},
};

CServiceFileLib::CServiceFileLib() = default;

CServiceFileLib::~CServiceFileLib() = default;

bool CServiceFileLib::IsAvailable() { return g_bEnabled; }

int CServiceFileLib::ProcessRequest() {
  for (const Item& item : kItems) {
    if (strcasecmp(GetItem().c_str(), item.name) != 0) continue;
    if (item.key != nullptr && !GetUser()->CanUseKey(kApp, item.key))
      return qn::kResultNoFolderOrFile;
    const int count = GetParamCount();
    if (count < item.minParams || (item.maxParams > 0 && count > item.maxParams))
      return qn::kResultBadParameters;
    m_pSort = item.sort;
    // A database failure escapes to the request, which answers 0x1306; the
    // recordset goes with this service.
    return (this->*item.run)();
  }
  return qn::kResultNoSuchRequest;
}

// ---- answers ---------------------------------------------------------------

int CServiceFileLib::StreamRecordset(void (CServiceFileLib::*sendRow)()) {
  // A database failure ends the list with 0x1306, so a list cut short never
  // looks complete.
  return StreamRows(*m_pColumns, RowsOf(m_pRecordset, [this, sendRow] { (this->*sendRow)(); }));
}

void CServiceFileLib::SendFileRow() {
  auto& file = static_cast<CFiles_J_Files2Directories&>(*m_pRecordset);
  const int32_t modified = Date(file.m_LastModDate);
  SendRow({&file.m_FileID, &file.m_FileName, &modified, &file.m_FileSize, &file.m_UploadedBy,
           &file.m_ShortDescription});
  file.MoveNext();
}

void CServiceFileLib::SendKeywordRow() {
  auto& keyword = static_cast<CKeywords_2&>(*m_pRecordset);
  SendRow({&keyword.m_KeywordID, &keyword.m_Keyword});
  keyword.MoveNext();
}

void CServiceFileLib::SendRow(const std::vector<const void*>& values) {
  CResultRow row(*m_pColumns);
  for (const void* value : values) row.AddValue(value);
  GetRequest()->SendMoreData(row.BuildPacket());
}

int CServiceFileLib::AnswerKeyCost(CRecordset& keys, int32_t cost) {
  const int32_t value = keys.IsEOF() ? 0 : cost;
  keys.Close();
  m_pColumns = Columns(1, {{kColumnLong, "KeyCost"}});
  GetRequest()->SendData(m_pColumns->BuildPacket());
  SendRow({&value});
  GetRequest()->EndRequest();
  return 0;
}

int CServiceFileLib::GetSendCredit() {
  CKeys_2 keys(AccountDb());
  OpenForReading(keys, "(KeyName='File Send') AND (AppName='File Library')");
  return AnswerKeyCost(keys, keys.m_KeyCost);
}

int CServiceFileLib::GetKeyCost() {
  int32_t keyId = 0;
  GetNextParamLong(keyId);
  CKeys_2 keys(AccountDb());
  OpenForReading(keys, "KeyID=" + Id(keyId));
  return AnswerKeyCost(keys, keys.m_KeyCost);
}

int CServiceFileLib::GetFiles4Folder() {
  int32_t folderId = 0;
  GetNextParamLong(folderId);
  {
    CDirectories_2 folder(FileDb());
    OpenForReading(folder, "DirectoryID=" + Id(folderId));
    if (folder.IsEOF()) return qn::kResultNoFolderOrFile;
    if (folder.m_ReadKeyID >= 1 && !GetUser()->HasKeyID(folder.m_ReadKeyID))
      return qn::kResultNoFolderOrFile;
  }
  auto files = std::make_unique<CFiles_J_Files2Directories>(FileDb());
  OpenForReading(*files,
                 "(Files2Directories.FileID=Files.FileID) AND (DirectoryID=" + Id(folderId) + ")",
                 m_pSort);
  m_pRecordset = std::move(files);
  m_pColumns = Columns(-1, {{kColumnLong, "FileID"},
                            {kColumnString, "FileName"},
                            {kColumnDate, "LastModified"},
                            {kColumnLong, "FileSize"},
                            {kColumnString, "UploadedBy"},
                            {kColumnString, "ShortDescription"}});
  return StreamRecordset(&CServiceFileLib::SendFileRow);
}

bool CServiceFileLib::CheckFileFolderKey(int32_t fileId) {
  try {
    CFiles2Directories_2 link(FileDb());
    OpenForReading(link, "FileID=" + Id(fileId));
    if (link.IsEOF()) return false;
    CDirectories_2 folder(FileDb());
    OpenForReading(folder, "DirectoryID=" + Id(link.m_DirectoryID));
    if (folder.IsEOF()) return false;
    if (folder.m_ReadKeyID < 1) {
      m_nCost = -1;
      return true;
    }
    if (!GetUser()->HasKeyID(folder.m_ReadKeyID)) return false;
    m_nCost = GetUser()->GetKeyIDCost(folder.m_ReadKeyID);
    return true;
  } catch (const CDBException&) {
    return false;
  }
}

int CServiceFileLib::FileIdChecked(int32_t& fileId) {
  fileId = 0;
  GetNextParamLong(fileId);
  return CheckFileFolderKey(fileId) ? 0 : qn::kResultNoFolderOrFile;
}

int CServiceFileLib::GetFileDetails() {
  int32_t fileId;
  if (const int refused = FileIdChecked(fileId)) return refused;
  CFiles_2 file(FileDb());
  OpenForReading(file, "FileID=" + Id(fileId));
  m_pColumns = Columns(-1, {{kColumnString, "FileName"},
                            {kColumnDate, "LastModified"},
                            {kColumnLong, "FileSize"},
                            {kColumnString, "UploadedBy"},
                            {kColumnString, "ShortDescription"},
                            {kColumnDate, "DateUploaded"}});
  GetRequest()->SendData(m_pColumns->BuildPacket());
  if (!file.IsEOF()) {
    const int32_t modified = Date(file.m_LastModDate);
    const int32_t uploaded = Date(file.m_DateUploaded);
    SendRow({&file.m_FileName, &modified, &file.m_FileSize, &file.m_UploadedBy,
             &file.m_ShortDescription, &uploaded});
  }
  GetRequest()->EndRequest();
  return 0;
}

int CServiceFileLib::GetLongDescriptionForFile() {
  int32_t fileId;
  if (const int refused = FileIdChecked(fileId)) return refused;
  CFiles_2 file(FileDb());
  OpenForReading(file, "FileID=" + Id(fileId));
  m_pColumns = Columns(1, {{kColumnString, "m_Description"}});
  GetRequest()->SendData(m_pColumns->BuildPacket());
  if (!file.IsEOF()) SendRow({&file.m_LongDescription});
  GetRequest()->EndRequest();
  return 0;
}

int CServiceFileLib::GetKeywordsForFile() {
  int32_t fileId;
  if (const int refused = FileIdChecked(fileId)) return refused;
  auto keywords = std::make_unique<CKeywords_2>(FileDb());
  OpenForReading(*keywords, "FileID=" + Id(fileId));
  m_pRecordset = std::move(keywords);
  m_pColumns = Columns(-1, {{kColumnLong, "KeywordID"}, {kColumnString, "Keyword"}});
  return StreamRecordset(&CServiceFileLib::SendKeywordRow);
}

int CServiceFileLib::GetDownloadCountForFile() {
  int32_t fileId;
  if (const int refused = FileIdChecked(fileId)) return refused;
  const int32_t count = CountRows(FileDb(), "FileID", "Downloads", "FileID=" + Id(fileId));
  m_pColumns = Columns(1, {{kColumnLong, "CountofFileID"}});
  GetRequest()->SendData(m_pColumns->BuildPacket());
  SendRow({&count});
  GetRequest()->EndRequest();
  return 0;
}

// ---- folder tree -------------------------------------------------------------

int CServiceFileLib::GetFolderTree() {
  std::string path;
  GetNextParam(path);  // missing reads as empty
  m_pathParts.clear();
  m_bShowAll = path.empty();
  for (size_t start = 0; !m_bShowAll;) {
    const size_t slash = path.find('\\', start);
    m_pathParts.push_back(path.substr(start, slash == std::string::npos ? slash : slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  static const CFolderColumns kDirectories{"Directories", "DirectoryID", "ParentDirectory",
                                           "DirectoryName", "ReadKeyID", nullptr};
  // Below the top level, the order SQLite gives these rows unsorted. The
  // children of a folder whose id is -1 carry -1, as the top level's folders
  // do: they are that folder's level too.
  m_pFolders = std::make_unique<CFolderLevels>(FileDb(), kDirectories, CFolderLevels::kByName,
                                               CFolderLevels::kById, false);
  m_pFolders->Start();
  m_pColumns = Columns(-1, {{kColumnLong, "ParentDirectory"},
                            {kColumnString, "DirectoryName"},
                            {kColumnLong, "DirectoryID"},
                            {kColumnLong, "FolderKeyID"}});
  return StreamRows(*m_pColumns, RowsOf(m_pFolders, [this] { VisitFolder(); }));
}

void CServiceFileLib::VisitFolder() {
  const CFolderRow& folder = m_pFolders->Row();
  const bool visible = folder.parent == kTopLevelParent || folder.readKey == -1 ||
                       GetUser()->HasKeyID(folder.readKey);
  bool levelDone = false;
  if (visible) {
    const int32_t children = ChildrenParentId(folder.id, folder.parent);
    if (!m_bShowAll && strcasecmp(folder.name.c_str(), m_pathParts.front().c_str()) == 0) {
      // Only this folder's branch leads on.
      m_pathParts.pop_front();
      levelDone = true;
      if (m_pathParts.empty())
        m_bShowAll = true;
      else
        m_pFolders->Queue(children);
    }
    if (m_bShowAll) {
      SendRow({&folder.parent, &folder.name, &folder.id, &folder.readKey});
      m_pFolders->Queue(children);
    }
  }
  if (levelDone)
    m_pFolders->Close();
  else
    m_pFolders->MoveNext();
}

// ---- download ----------------------------------------------------------------

int CServiceFileLib::Download() {
  int32_t fileId = 0;
  std::string ignored;
  GetParam(0, ignored);
  GetNextParamLong(fileId);
  if (!CheckFileFolderKey(fileId)) return qn::kResultNoFolderOrFile;
  CUser* user = GetUser();
  if (m_nCost == -1) {
    if (!user->CanUseKey(kApp, kReceiveKey)) return qn::kResultNoFolderOrFile;
    m_nCost = user->GetKeyCost(kApp, kReceiveKey);
  }
  std::string path;
  {
    CFiles_2 file(FileDb());
    OpenForReading(file, "FileID=" + Id(fileId));
    if (file.IsEOF()) return qn::kResultServiceException;
    path = file.m_FileLocation + "\\" + file.m_FileName;
  }
  m_nFileId = fileId;
  if (!SendFile(path, false)) return qn::kResultServiceException;
  return 0;
}

void CServiceFileLib::OnSendFileQueued() {
  // Due once the whole file is on its way: a client that then cancels or
  // never pulls the end has had it.
  if (m_nCost > 0) GetUser()->DeductCredits(m_nCost);
  try {
    CDownloads_2 download(FileDb());
    download.m_strFilter = "DownloadID = 0";
    download.Open(CRecordset::snapshot, nullptr, CRecordset::appendOnly);
    download.AddNew();
    download.SetFieldNull(&download.m_DownloadID);
    download.SetFieldNull(&download.m_DateDownloaded);
    download.m_FileID = m_nFileId;
    download.m_DownloadedBy = GetUser()->GetUserID();
    download.SetFieldDirty(&download.m_FileID);
    download.SetFieldDirty(&download.m_DownloadedBy);
    download.Update();
  } catch (const CDBException&) {
    // The member has the file; a lost count does not take it back.
  }
}

// ---- upload ------------------------------------------------------------------

int CServiceFileLib::Upload() {
  auto param = [this](int index) {
    std::string text;
    GetParam(index, text);  // missing reads as empty
    return text;
  };
  m_strFileName = param(0);
  m_nFolderId = static_cast<int32_t>(std::atol(param(1).c_str()));
  m_strShortDescription = param(2);
  m_strLongDescription = param(3);
  m_keywords.clear();
  for (int i = 4; i < GetParamCount(); ++i) {
    std::string keyword;
    if (GetParam(i, keyword) != 0) break;
    m_keywords.push_back(std::move(keyword));
  }
  if (!IsBareFileName(m_strFileName)) return qn::kResultServiceException;

  std::string uploadPath;
  if (m_nFolderId < 0) {
    CUploadOptions_2 options(FileDb());
    OpenForReading(options, "");
    if (options.IsEOF()) return qn::kResultServiceException;
    uploadPath = options.m_UploadPath;
  } else {
    CDirectories_2 folder(FileDb());
    OpenForReading(folder, "DirectoryID=" + Id(m_nFolderId));
    if (folder.IsEOF()) return qn::kResultNoFolderOrFile;
    uploadPath = folder.m_UploadPath;
  }
  m_strTargetPath = uploadPath + "\\" + m_strFileName;
  // An upload never replaces a file; the name is checked again when the
  // data is complete.
  const std::string native = ToNativePath(m_strTargetPath);
  std::error_code ec;
  if (native.empty() || std::filesystem::exists(std::filesystem::symlink_status(native, ec)))
    return qn::kResultServiceException;
  if (!ReceiveFile(m_strTargetPath, ReceiveName::kKeepExisting))
    return qn::kResultServiceException;
  return 0;
}

void CServiceFileLib::OnReceiveFileDone() {
  try {
    AddUploadRows();
  } catch (const std::exception&) {
    // Neither the file nor a row of it stays; the client hears of it.
    RemoveReceivedFile();
    GetRequest()->FailRequest(qn::kResultServiceException);
    return;
  }
  GetRequest()->EndRequest();
}

namespace {

// Takes back the rows of an upload that could not be completed.
void RemoveFileRows(CDatabase* db, int32_t fileId) {
  for (const char* table : {"Keywords", "Files2Directories", "Files"}) {
    try {
      db->ExecuteSQL(std::string("DELETE FROM ") + table + " WHERE FileID=" + Id(fileId));
    } catch (const std::exception&) {
    }
  }
}

}  // namespace

void CServiceFileLib::AddUploadRows() {
  struct stat st;
  if (::stat(GetReceivedPath().c_str(), &st) != 0)
    throw std::runtime_error("the received file is gone");
  CDatabase* db = FileDb();
  bool autoApprove = false;
  bool addToFolder = false;
  {
    CUploadOptions_2 options(db);
    OpenForReading(options, "");
    if (options.IsEOF()) throw std::runtime_error("no UploadOptions row");
    autoApprove = options.m_AutoApprove != 0;
    addToFolder = options.m_AddToSuggestedFolder != 0;
  }
  const size_t dot = m_strFileName.rfind('.');
  const std::string extension =
      dot == std::string::npos ? m_strFileName : m_strFileName.substr(dot + 1);
  const std::time_t now = std::time(nullptr);

  int32_t fileId = 0;
  try {
    {
      CFiles_2 file(db);
      file.m_strFilter = "FileID = 0";
      file.Open(CRecordset::snapshot, nullptr, CRecordset::appendOnly);
      file.WantInsertedKey();
      file.AddNew();
      file.SetFieldNull(&file.m_FileID);
      // Every value is written, an empty text or a 0 as well.
      const auto set = [&file](auto& member, const auto& value) {
        member = value;
        file.SetFieldDirty(&member);
      };
      set(file.m_FileName, m_strFileName);
      set(file.m_FileExtension, extension);
      set(file.m_LastModDate, st.st_mtime);
      set(file.m_FileSize, static_cast<int32_t>(st.st_size));
      set(file.m_UploadedBy, GetUser()->GetUserID());
      set(file.m_FileLocation, m_strTargetPath.substr(0, m_strTargetPath.rfind('\\')));
      set(file.m_SuggFolder, m_nFolderId);
      set(file.m_ShortDescription, m_strShortDescription);
      set(file.m_LongDescription, m_strLongDescription);
      set(file.m_DateUploaded, now);
      if (autoApprove) {
        set(file.m_DateApproved, now);
      } else {
        file.SetFieldNull(&file.m_DateApproved);
      }
      file.Update();
      fileId = file.GetInsertedKey();
    }
    if (fileId == 0) {
      CFiles_2 added(db);
      OpenForReading(added, "FileName=" + SQLQuote(m_strFileName), "FileID DESC");
      if (added.IsEOF()) throw std::runtime_error("the new Files row is not found");
      fileId = added.m_FileID;
    }
    if (!m_keywords.empty()) {
      CKeywords_2 keyword(db);
      keyword.m_strFilter = "KeywordID = 0";
      keyword.Open(CRecordset::snapshot, nullptr, CRecordset::appendOnly);
      for (const std::string& text : m_keywords) {
        keyword.AddNew();
        keyword.SetFieldNull(&keyword.m_KeywordID);
        keyword.m_FileID = fileId;
        keyword.m_Keyword = text;
        keyword.SetFieldDirty(&keyword.m_FileID);
        keyword.SetFieldDirty(&keyword.m_Keyword);
        keyword.Update();
      }
    }
    // A link to a negative folder would hide the file for good: a file is
    // judged by its first link.
    if (addToFolder && m_nFolderId >= 0) {
      CFiles2Directories_2 link(db);
      link.m_strFilter = "FileID = 0";
      link.Open(CRecordset::snapshot, nullptr, CRecordset::appendOnly);
      link.AddNew();
      link.m_DirectoryID = m_nFolderId;
      link.m_FileID = fileId;
      link.SetFieldDirty(&link.m_DirectoryID);
      link.SetFieldDirty(&link.m_FileID);
      link.Update();
    }
  } catch (...) {
    if (fileId != 0) RemoveFileRows(db, fileId);
    throw;
  }
}
