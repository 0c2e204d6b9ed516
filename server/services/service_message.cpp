#include "server/services/service_message.h"

#include <strings.h>

#include <cstdio>
#include <ctime>
#include <exception>

#include "common/helpers.h"
#include "common/module_registration.h"
#include "server/core/request_context.h"
#include "server/core/request_packet.h"
#include "server/core/result_set.h"
#include "server/core/row_stream.h"
#include "server/core/service_factory.h"
#include "server/core/user.h"
#include "server/data/connection_pool.h"
#include "server/data/folder_tree.h"
#include "server/data/schema_recordsets.h"

QN_REGISTER_SERVICE(CServiceMessage);

namespace {

std::string g_connect;

const CModuleRegistration g_messageModule(&CServiceMessage::InitModule, nullptr);

// Bodies are not fetched for header lists: the column is selected as an
// empty text, in a form both databases take.
constexpr const char* kMessageHeadersSql =
    "SELECT Title, '' AS Msg, UserID, MsgID, FolderID, Date, LastRead FROM Messages";
constexpr const char* kResponseHeadersSql =
    "SELECT Title, '' AS Response, UserID, ResponseID, OriginalMsgID, Date, FolderID, ParentID "
    "FROM Responses";

std::time_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  return std::mktime(&local);
}

struct HeaderDateWindow {
  std::time_t from;
  std::time_t to;
};

// The path split at each backslash, empty components kept.
std::vector<std::string> SplitFolderPath(const std::string& path) {
  std::vector<std::string> components;
  size_t start = 0;
  for (;;) {
    const size_t slash = path.find('\\', start);
    if (slash == std::string::npos) break;
    components.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  components.push_back(path.substr(start));
  return components;
}

// The window of the dated header lists from the from and to texts (automation
// DATE numbers); a date that does not convert takes its default. The to date
// is moved on by a day less one second, so a day given as the to date is
// covered.
HeaderDateWindow HeaderDates(const std::string& fromText, const std::string& toText) {
  HeaderDateWindow window{};
  if (!DateStringToCTime(fromText, window.from)) window.from = LocalTime(1980, 1, 1, 0, 0, 0);
  if (!DateStringToCTime(toText, window.to)) window.to = LocalTime(2035, 12, 30, 23, 59, 59);
  window.to += 86399;
  return window;
}

}  // namespace

std::string CServiceMessage::FormatId(const char* format, int32_t id) {
  char text[128];
  std::snprintf(text, sizeof text, format, static_cast<long>(id));
  return text;
}

void CServiceMessage::InitModule() { g_connect = "DSN=Quillnet Server;DBQ=QNRMSG.MDB"; }

CDatabase* CServiceMessage::Database() { return GetDatabase(g_connect, false); }

struct CServiceMessage::Handler {
  const char* item;
  int (*run)(CServiceMessage&);
};

// In this order, the first match wins.
const CServiceMessage::Handler CServiceMessage::kHandlers[] = {
    {"GetMessageFolders", [](CServiceMessage& s) { return s.GetMessageFolders(); }},
    {"DeleteMessage", [](CServiceMessage& s) { return s.DeleteMessage(); }},
    {"GetMessage", [](CServiceMessage& s) { return s.GetMessage(); }},
    {"GetMessageHeaders",
     [](CServiceMessage& s) { return s.GetHeaders(kWalkMessageHeaders, kByDateOnly); }},
    {"GetMessageHeadersByAuthor",
     [](CServiceMessage& s) { return s.GetHeaders(kWalkMessageHeaders, kByAuthor); }},
    {"GetMessageHeadersByDate",
     [](CServiceMessage& s) { return s.GetHeaders(kWalkMessageHeaders, kByDate); }},
    {"GetMessageHeadersByTitle",
     [](CServiceMessage& s) { return s.GetHeaders(kWalkMessageHeaders, kByTitle); }},
    {"GetResponseHeaders",
     [](CServiceMessage& s) { return s.GetHeaders(kWalkResponseHeaders, kByDateOnly); }},
    {"GetResponseHeadersByAuthor",
     [](CServiceMessage& s) { return s.GetHeaders(kWalkResponseHeaders, kByAuthor); }},
    {"GetResponseHeadersByDate",
     [](CServiceMessage& s) { return s.GetHeaders(kWalkResponseHeaders, kByDate); }},
    {"GetResponseHeadersByTitle",
     [](CServiceMessage& s) { return s.GetHeaders(kWalkResponseHeaders, kByTitle); }},
    {"GetMessageUserReadList", [](CServiceMessage& s) { return s.GetMessageUserReadList(); }},
    {"GetResponseUserReadList", [](CServiceMessage& s) { return s.GetResponseUserReadList(); }},
    {"GetResponse", [](CServiceMessage& s) { return s.GetResponse(); }},
    {"PostMessage", [](CServiceMessage& s) { return s.PostMessage(); }},
    {"PostResponse", [](CServiceMessage& s) { return s.PostResponse(); }},
    {"UpdateMessage", [](CServiceMessage& s) { return s.UpdateMessage(); }},
};

CServiceMessage::CServiceMessage() = default;

CServiceMessage::~CServiceMessage() = default;

int CServiceMessage::ProcessRequest() {
  for (const Handler& handler : kHandlers) {
    if (strcasecmp(GetItem().c_str(), handler.item) != 0) continue;
    try {
      return handler.run(*this);
    } catch (const std::exception&) {
      // Recordsets of the request close with their owners, and a walk's with
      // the service.
      return qn::kResultServiceException;
    }
  }
  return qn::kResultNoSuchRequest;
}

bool CServiceMessage::MayUseKey(int32_t keyId) const {
  if (keyId == -1) return true;
  const CUser* user = GetUser();
  return user != nullptr && user->HasKeyID(keyId);
}

void CServiceMessage::SendRow(const std::vector<const void*>& values) {
  CResultRow row(*m_pSchema);
  for (const void* value : values) row.AddValue(value);
  GetRequest()->SendMoreData(row.BuildPacket());
}

int CServiceMessage::StartListWalk(WalkKind kind, std::unique_ptr<CRecordset> walk) {
  if (walk->IsEOF()) {
    walk.reset();
    GetRequest()->EndRequest();
    return 0;
  }
  const bool headers = kind == kWalkMessageHeaders || kind == kWalkResponseHeaders;
  m_pSchema = std::make_unique<CColumnTypes>(headers ? 4 : 2, -1);
  if (headers) {
    m_pSchema->AddColumn(kColumnString, "Title");
    m_pSchema->AddColumn(kColumnDate, "Date");
    m_pSchema->AddColumn(kColumnString, "UserID");
    m_pSchema->AddColumn(kColumnLong, "MsgID");
  } else {
    m_pSchema->AddColumn(kColumnDate, "Date");
    m_pSchema->AddColumn(kColumnString, "UserID");
  }
  m_nWalkKind = kind;
  m_pWalk = std::move(walk);
  // A failed read ends the list with 0x1306: a list cut short must not look
  // complete.
  return StreamRows(*m_pSchema, RowsOf(m_pWalk, [this] { SendListRow(); }));
}

// ---- folder tree

int CServiceMessage::GetMessageFolders() {
  m_path.clear();
  std::string path;
  GetNextParam(path);
  m_bWholeTree = path.empty();
  if (!m_bWholeTree) {
    for (std::string& component : SplitFolderPath(path)) m_path.push_back(std::move(component));
  }
  static const CFolderColumns kFolders{"Folders", "FolderID", "ParentID",
                                       "Folder",  "ReadKey",  "WriteKey"};
  m_pFolders = std::make_unique<CFolderLevels>(Database(), kFolders);
  m_pFolders->Start();

  m_pSchema = std::make_unique<CColumnTypes>(4, -1);
  m_pSchema->AddColumn(kColumnLong, "ParentID");
  m_pSchema->AddColumn(kColumnString, "Folder");
  m_pSchema->AddColumn(kColumnLong, "FolderID");
  m_pSchema->AddColumn(kColumnBool, "WriteKey");
  return StreamRows(*m_pSchema, RowsOf(m_pFolders, [this] { VisitFolder(); }));
}

void CServiceMessage::VisitFolder() {
  const CFolderRow& folder = m_pFolders->Row();
  bool levelDone = false;
  // A folder the member may not read hides everything below it.
  if (MayUseKey(folder.readKey)) {
    if (!m_bWholeTree && strcasecmp(folder.name.c_str(), m_path.front().c_str()) == 0) {
      m_path.pop_front();
      if (m_path.empty()) m_bWholeTree = true;
      else m_pFolders->Queue(folder.id);
      levelDone = true;
    }
    if (m_bWholeTree) {
      const int32_t writable = MayUseKey(folder.writeKey) ? TRUE : FALSE;
      SendRow({&folder.parent, &folder.name, &folder.id, &writable});
      m_pFolders->Queue(folder.id);
    }
  }
  if (levelDone)
    m_pFolders->Close();
  else
    m_pFolders->MoveNext();
}

// ---- single messages and responses

int CServiceMessage::SendBody(const std::string& body) {
  m_pSchema = std::make_unique<CColumnTypes>(1, 1);
  m_pSchema->AddColumn(kColumnString, "Msg");
  GetRequest()->SendData(m_pSchema->BuildPacket());
  SendRow({&body});
  GetRequest()->EndRequest();
  return 0;
}

bool CServiceMessage::FindFolder(int32_t folderId, CFolders_2& folder, const char* format) {
  folder.m_strFilter = FormatId(format, folderId);
  folder.Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly);
  return !folder.IsEOF();
}

bool CServiceMessage::MayReadFolder(int32_t folderId) {
  // A row whose folder is gone is in no folder the member may read.
  CFolders_2 folder(Database());
  return FindFolder(folderId, folder) && MayUseKey(folder.m_ReadKey);
}

template <class Row, class Reading>
int CServiceMessage::ReadOne(const char* idFilter, const char* noReading,
                             std::string Row::*body, int32_t Row::*rowId,
                             int32_t Reading::*readingId) {
  if (GetParamCount() != 1) return qn::kResultBadParameters;
  int32_t id = 0;
  GetNextParamLong(id);
  Row row(Database());
  row.m_strFilter = FormatId(idFilter, id);
  row.Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly);
  if (row.IsEOF()) return qn::kResultBadParameters;
  if (!MayReadFolder(row.m_FolderID)) return qn::kResultNoFolderAccess;
  const std::string text = row.*body;
  id = row.*rowId;
  row.Close();
  Reading reading(Database());
  reading.m_strFilter = noReading;
  reading.Open(CRecordset::snapshot, nullptr, CRecordset::appendOnly);
  reading.AddNew();
  reading.*readingId = id;
  reading.m_UserID = GetUser()->GetUserID();
  reading.SetFieldDirty(&(reading.*readingId));
  reading.SetFieldDirty(&reading.m_UserID);
  reading.Update();
  reading.Close();
  return SendBody(text);
}

int CServiceMessage::GetMessage() {
  return ReadOne<CMessages_2, CMsgRead_2>("MsgID=%ld", "MsgID = 0", &CMessages_2::m_Msg,
                                          &CMessages_2::m_MsgID, &CMsgRead_2::m_MsgID);
}

int CServiceMessage::GetResponse() {
  return ReadOne<CResponses_2, CResponseRead_2>("ResponseID=%ld", "ResponseID = 0",
                                                &CResponses_2::m_Response,
                                                &CResponses_2::m_ResponseID,
                                                &CResponseRead_2::m_ResponseID);
}

// ---- header and read lists

int CServiceMessage::GetHeaders(WalkKind kind, HeaderOrder order) {
  if (GetParamCount() > 3) return qn::kResultBadParameters;
  int32_t id = 0;
  std::string fromText, toText;
  GetNextParamLong(id);
  GetNextParam(fromText);
  GetNextParam(toText);
  const HeaderDateWindow window = HeaderDates(fromText, toText);

  int32_t folderId = id;
  if (kind == kWalkResponseHeaders) {
    CMessages_2 message(Database());
    message.m_strFilter = FormatId("MsgID=%ld", id);
    message.Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly);
    if (message.IsEOF()) return qn::kResultNoFolderAccess;
    folderId = message.m_FolderID;
  }
  if (!MayReadFolder(folderId)) return qn::kResultNoFolderAccess;

  const bool messages = kind == kWalkMessageHeaders;
  std::string filter = FormatId(messages ? "FolderID=%ld" : "OriginalMsgID=%ld", id);
  if (order != kByDateOnly) {
    filter = "(" + filter + ") AND (Date>=" + FormatODBCTimestamp(window.from) +
             ") AND (Date<" + FormatODBCTimestamp(window.to) + ")";
  }
  static const char* const kSorts[] = {"Date DESC", "UserID, Date DESC", "Date DESC",
                                       "Title, Date DESC"};
  std::unique_ptr<CRecordset> list;
  if (messages) list = std::make_unique<CMessages_2>(Database());
  else list = std::make_unique<CResponses_2>(Database());
  list->m_strFilter = filter;
  list->m_strSort = kSorts[order];
  list->Open(CRecordset::forwardOnly, messages ? kMessageHeadersSql : kResponseHeadersSql,
             CRecordset::readOnly);
  return StartListWalk(kind, std::move(list));
}

int CServiceMessage::GetMessageUserReadList() {
  if (GetParamCount() != 1) return qn::kResultBadParameters;
  int32_t msgId = 0;
  GetNextParamLong(msgId);
  {
    CMessages_2 message(Database());
    message.m_strFilter = FormatId("MsgID=%ld", msgId);
    message.Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly);
    if (message.IsEOF()) return qn::kResultNoFolderAccess;
    if (!MayReadFolder(message.m_FolderID)) return qn::kResultNoFolderAccess;
  }
  auto list = std::make_unique<CMsgRead_2>(Database());
  list->m_strFilter = FormatId("MsgID=%ld", msgId);
  list->m_strSort = "Date DESC";
  list->Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly);
  return StartListWalk(kWalkMessageReaders, std::move(list));
}

int CServiceMessage::GetResponseUserReadList() {
  if (GetParamCount() != 1) return qn::kResultBadParameters;
  int32_t responseId = 0;
  GetNextParamLong(responseId);
  {
    CResponses_2 response(Database());
    response.m_strFilter = FormatId("ResponseID=%ld", responseId);
    response.Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly);
    if (response.IsEOF()) return qn::kResultNoFolderAccess;
    CMessages_2 message(Database());
    message.m_strFilter = FormatId("MsgID=%ld", response.m_OriginalMsgID);
    message.Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly);
    if (message.IsEOF()) return qn::kResultNoFolderAccess;
    if (!MayReadFolder(message.m_FolderID)) return qn::kResultNoFolderAccess;
  }
  auto list = std::make_unique<CResponseRead_2>(Database());
  list->m_strFilter = FormatId("ResponseID=%ld", responseId);
  list->m_strSort = "Date DESC";
  list->Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly);
  return StartListWalk(kWalkResponseReaders, std::move(list));
}

void CServiceMessage::SendListRow() {
  CRecordset* list = m_pWalk.get();
  switch (m_nWalkKind) {
    case kWalkMessageHeaders: {
      auto* rows = static_cast<CMessages_2*>(list);
      const int32_t date = static_cast<int32_t>(rows->m_Date);
      SendRow({&rows->m_Title, &date, &rows->m_UserID, &rows->m_MsgID});
      break;
    }
    case kWalkResponseHeaders: {
      auto* rows = static_cast<CResponses_2*>(list);
      const int32_t date = static_cast<int32_t>(rows->m_Date);
      SendRow({&rows->m_Title, &date, &rows->m_UserID, &rows->m_ResponseID});
      break;
    }
    case kWalkMessageReaders: {
      auto* rows = static_cast<CMsgRead_2*>(list);
      const int32_t date = static_cast<int32_t>(rows->m_Date);
      SendRow({&date, &rows->m_UserID});
      break;
    }
    case kWalkResponseReaders: {
      auto* rows = static_cast<CResponseRead_2*>(list);
      const int32_t date = static_cast<int32_t>(rows->m_Date);
      SendRow({&date, &rows->m_UserID});
      break;
    }
  }
  list->MoveNext();
}
