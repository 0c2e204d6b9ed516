// The requests of the "Message" service that change the message database:
// posting messages and responses, editing and deleting one's own messages.
// Each ends in the dispatcher; refusals change nothing.
#include <exception>

#include "common/helpers.h"
#include "server/core/request_context.h"
#include "server/core/request_packet.h"
#include "server/core/user.h"
#include "server/data/connection_pool.h"
#include "server/data/schema_recordsets.h"
#include "server/services/service_message.h"

namespace {

// The member's own message: only its author may change it.
std::string AuthorFilter(const char* idFormat, int32_t msgId, const char* userColumn,
                         const std::string& userId) {
  char text[64];
  std::snprintf(text, sizeof text, idFormat, static_cast<long>(msgId));
  return "(" + std::string(text) + ") AND (" + userColumn + "=" + SQLQuote(userId) + ")";
}

}  // namespace

int CServiceMessage::WriteRefusal(int32_t folderId, const char* format) {
  CFolders_2 folder(Database());
  if (!FindFolder(folderId, folder, format)) return qn::kResultBadParameters;
  if (!MayUseKey(folder.m_WriteKey)) return qn::kResultNoFolderAccess;
  return 0;
}

int CServiceMessage::PostMessage() {
  if (GetParamCount() != 3) return qn::kResultBadParameters;
  std::string title, body;
  int32_t folderId = 0;
  GetNextParam(title);
  GetNextParam(body);
  GetNextParamLong(folderId);
  if (const int refused = WriteRefusal(folderId)) return refused;
  {
    // A failed insert reaches the dispatcher: the member hears of it and no
    // audit entry claims a message that was never stored.
    CMessages_2 message(Database());
    message.m_strFilter = "MsgID = 0";
    message.Open(CRecordset::snapshot, nullptr, CRecordset::appendOnly);
    message.AddNew();
    message.m_Title = title;
    message.m_Msg = body;
    message.m_UserID = GetUser()->GetUserID();
    message.m_FolderID = folderId;
    message.SetFieldDirty(&message.m_Title);
    message.SetFieldDirty(&message.m_Msg);
    message.SetFieldDirty(&message.m_UserID);
    message.SetFieldDirty(&message.m_FolderID);
    message.Update();
  }
  PostAudit("PostMessage", FormatId("Posted a response to folder %ld", folderId));
  GetRequest()->EndRequest();
  return 0;
}

int CServiceMessage::PostResponse() {
  if (GetParamCount() != 4) return qn::kResultBadParameters;
  std::string title, body;
  int32_t folderId = 0, msgId = 0;
  GetNextParam(title);
  GetNextParam(body);
  GetNextParamLong(folderId);
  GetNextParamLong(msgId);
  if (const int refused = WriteRefusal(folderId)) return refused;
  {
    CMessages_2 message(Database());
    message.m_strFilter = FormatId("MsgID=%ld", msgId);
    try {
      message.Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly);
    } catch (const std::exception&) {
      return qn::kResultBadParameters;
    }
    if (message.IsEOF()) return qn::kResultBadParameters;
    // A response lives in the folder of the message it answers.
    if (message.m_FolderID != folderId) return qn::kResultBadParameters;
  }
  {
    CResponses_2 response(Database());
    response.m_strFilter = "ResponseID = 0";
    response.Open(CRecordset::snapshot, nullptr, CRecordset::appendOnly);
    response.AddNew();
    response.m_Title = title;
    response.m_Response = body;
    response.m_UserID = GetUser()->GetUserID();
    response.m_FolderID = folderId;
    response.m_OriginalMsgID = msgId;
    response.SetFieldDirty(&response.m_Title);
    response.SetFieldDirty(&response.m_Response);
    response.SetFieldDirty(&response.m_UserID);
    response.SetFieldDirty(&response.m_FolderID);
    response.SetFieldDirty(&response.m_OriginalMsgID);
    response.Update();
  }
  PostAudit("PostResponse", FormatId("Posted a response to folder %ld", folderId));
  GetRequest()->EndRequest();
  return 0;
}

int CServiceMessage::UpdateMessage() {
  if (GetParamCount() != 3) return qn::kResultBadParameters;
  std::string title, body;
  int32_t msgId = 0;
  GetNextParam(title);
  GetNextParam(body);
  GetNextParamLong(msgId);
  CMessages_2 message(Database());
  message.m_strFilter = AuthorFilter("MsgID=%ld", msgId, "UserID", GetUser()->GetUserID());
  message.Open(CRecordset::useDefaultType, nullptr, CRecordset::none);
  if (message.IsEOF()) return qn::kResultBadParameters;
  if (const int refused = WriteRefusal(message.m_FolderID)) return refused;
  message.Edit();
  message.m_Title = title;
  message.m_Msg = body;
  message.Update();
  message.Close();
  PostAudit("UpdateMessage", FormatId("Updated message #%ld", msgId));
  GetRequest()->EndRequest();
  return 0;
}

int CServiceMessage::DeleteMessage() {
  if (GetParamCount() != 1) return qn::kResultBadParameters;
  int32_t msgId = 0;
  GetNextParamLong(msgId);
  CDatabase* db = Database();
  CMessages_2 message(db);
  message.m_strFilter =
      AuthorFilter("Messages.MsgID=%ld", msgId, "Messages.UserID", GetUser()->GetUserID());
  message.Open(CRecordset::useDefaultType, nullptr, CRecordset::none);
  if (message.IsEOF()) return qn::kResultBadParameters;
  if (const int refused = WriteRefusal(message.m_FolderID, "Folders.FolderID=%ld")) return refused;
  // The message row goes last, so a failure part way orphans nothing.
  const std::string id = FormatId("%ld", message.m_MsgID);
  db->ExecuteSQL(
      "DELETE FROM ResponseRead WHERE ResponseRead.ResponseID IN (SELECT Responses.ResponseID "
      "FROM Responses WHERE Responses.OriginalMsgID=" + id + ")");
  db->ExecuteSQL("DELETE FROM Responses WHERE OriginalMsgID=" + id);
  db->ExecuteSQL("DELETE FROM MsgRead WHERE MsgID=" + id);
  message.Delete();
  message.Close();
  GetRequest()->EndRequest();
  return 0;
}
