#include "server/mail/service_email.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <exception>

#include "common/helpers.h"
#include "common/pulse.h"
#include "server/core/clock.h"
#include "server/core/request_context.h"
#include "server/core/request_packet.h"
#include "server/core/result_set.h"
#include "server/core/row_stream.h"
#include "server/core/service_factory.h"
#include "server/core/user.h"
#include "server/data/count_rows.h"
#include "server/data/database.h"
#include "server/data/schema_recordsets.h"
#include "server/mail/attachment_copy.h"
#include "server/mail/mail_texts.h"
#include "server/mail/smtp_gateway.h"
#include "server/services/service_utility.h"

QN_REGISTER_SERVICE(CServiceEmail);

namespace {

// Blocks of an attachment copy per pulse step (1 MiB).
constexpr int kCopyBlocksPerStep = 64;

std::string UnreadFilter(const std::string& me) {
  return "(RecipID=" + SQLQuote(me) + ") AND (Received=0)";
}

std::string MessageFilter(const char* column, const std::string& me, int32_t id) {
  return std::string("(") + column + "=" + SQLQuote(me) + ") AND (MessageID=" + std::to_string(id) + ")";
}

}  // namespace

struct CServiceEmail::Handler {
  const char* item;
  int (CServiceEmail::*run)();
};

// In this order, the first match wins.
const CServiceEmail::Handler CServiceEmail::kHandlers[] = {
    {"GetInternetDomain", &CServiceEmail::GetInternetDomain},
    {"Count", &CServiceEmail::Count},
    {"DeleteMail", &CServiceEmail::DeleteMail},
    {"DownloadAttachedFile", &CServiceEmail::DownloadAttachedFile},
    {"MailLtr", &CServiceEmail::MailLtr},
    {"GetMail", &CServiceEmail::GetMail},
    {"UploadAttachedFile", &CServiceEmail::UploadAttachedFile},
};

CServiceEmail::CServiceEmail() = default;

CServiceEmail::~CServiceEmail() {
  StopPulse();
  // A letter cut short never reaches the relay: what it was promised goes.
  ReleaseRelayPromise();
  // Copies cut short by a cancel or a lost connection go on without the
  // request: each message keeps its attachment, and its recipient hears of
  // it when it is there.
  CAttachmentCopies::FinishDetached(std::move(m_pCopies));
}

int CServiceEmail::ProcessRequest() {
  for (const Handler& handler : kHandlers) {
    if (strcasecmp(GetItem().c_str(), handler.item) != 0) continue;
    try {
      return (this->*handler.run)();
    } catch (const std::exception&) {
      // A listing's recordset goes with the service.
      StopPulse();
      return qn::kResultServiceException;
    }
  }
  return qn::kResultNoSuchRequest;
}

void CServiceEmail::StartPulse(StepMode mode) {
  m_nStepMode = mode;
  m_pPulse = new CPulse(&CServiceBase::PulseCallback, this);
}

void CServiceEmail::StopPulse() {
  CPulse::Stop(m_pPulse);
  m_pPulse = nullptr;
}

void CServiceEmail::ContinueRequest() {
  if (RestWhileBacklogged(m_pPulse)) return;
  try {
    switch (m_nStepMode) {
      case kModeDeliver:
        DeliverStep();
        break;
      case kModeCopy:
        CopyStep();
        break;
    }
  } catch (const std::exception&) {
    // Whatever failed would fail again at the next step; the client hears
    // that the request did not complete.
    StopPulse();
    GetRequest()->FailRequest(qn::kResultServiceException);
  }
}

// ---- single answers

int CServiceEmail::GetInternetDomain() {
  CSmtpGateway* gateway = GetGateway();
  const std::string domain =
      gateway != nullptr && gateway->IsRunning() != 0 ? gateway->GetInternetDomain() : std::string();
  m_pSchema = std::make_unique<CColumnTypes>(1, 1);
  m_pSchema->AddColumn(kColumnString, "InternetDomain");
  GetRequest()->SendData(m_pSchema->BuildPacket());
  CResultRow row(*m_pSchema);
  row.AddValue(&domain);
  GetRequest()->SendMoreData(row.BuildPacket());
  GetRequest()->EndRequest();
  return 0;
}

int CServiceEmail::Count() {
  const int32_t unread =
      CountRows(MailDatabase(), "MessageID", "MessageStore", UnreadFilter(GetUser()->GetUserID()));
  // The column is a short.
  const int16_t count = static_cast<int16_t>(std::clamp<int32_t>(unread, 0, 32767));
  m_pSchema = std::make_unique<CColumnTypes>(1, 1);
  m_pSchema->AddColumn(kColumnShort, "Count");
  GetRequest()->SendData(m_pSchema->BuildPacket());
  CResultRow row(*m_pSchema);
  row.AddValue(&count);
  GetRequest()->SendMoreData(row.BuildPacket());
  GetRequest()->EndRequest();
  return 0;
}

int CServiceEmail::DeleteMail() {
  const std::string& me = GetUser()->GetUserID();
  const int count = GetParamCount();
  for (int i = 0; i < count; ++i) {
    std::string text;
    int32_t id = 0;
    GetParam(i, text);
    if (!qn::mail::ParseMessageId(text, id)) continue;
    try {
      CMessageStore_2 message(MailDatabase());
      message.m_strFilter = MessageFilter("RecipID", me, id);
      message.Open(CRecordset::snapshot, nullptr, CRecordset::none);
      if (message.IsEOF()) continue;
      message.Delete();
      message.Close();
    } catch (const std::exception&) {
      continue;
    }
    // Only the member's own message takes its attachment with it.
    ::unlink(AttachmentPath(id).c_str());
  }
  GetRequest()->EndRequest();
  return 0;
}

// ---- attachments

int CServiceEmail::DownloadAttachedFile() {
  if (GetParamCount() != 1) return qn::kResultBadParameters;
  std::string text;
  int32_t id = 0;
  GetParam(0, text);
  if (!qn::mail::ParseMessageId(text, id)) return qn::kResultBadParameters;
  if (CountRows(MailDatabase(), "MessageID", "MessageStore",
                MessageFilter("RecipID", GetUser()->GetUserID(), id)) == 0)
    return qn::kResultBadParameters;
  m_strDownloadPath = AttachmentPath(id);
  // The file goes only once the send is complete: a cancelled or broken
  // download leaves it for the next try.
  if (!SendFile(m_strDownloadPath, false)) return qn::kResultBadParameters;
  return 0;
}

void CServiceEmail::OnSendFileDone() {
  ::unlink(m_strDownloadPath.c_str());
  GetRequest()->EndRequest();
}

int CServiceEmail::UploadAttachedFile() {
  const std::string& me = GetUser()->GetUserID();
  const int count = GetParamCount();
  m_uploadIds.clear();
  m_uploadRecipients.clear();
  for (int i = 0; i < count; ++i) {
    std::string text;
    int32_t id = 0;
    GetParam(i, text);
    if (!qn::mail::ParseMessageId(text, id)) return qn::kResultBadParameters;
    CMessageStore_2 message(MailDatabase());
    message.m_strFilter = MessageFilter("SenderID", me, id);
    message.Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly);
    if (message.IsEOF()) return qn::kResultBadParameters;
    m_uploadIds.push_back(id);
    m_uploadRecipients.push_back(message.m_RecipID);
  }
  ::mkdir((GetProgramDirectory() + "QNMAIL").c_str(), 0777);
  if (!ReceiveFile(AttachmentPath(m_uploadIds.front()))) return qn::kResultBadParameters;
  return 0;
}

void CServiceEmail::OnReceiveFileDone() {
  const std::string text = GetUser()->GetUserID() + " has just sent you an Email message!";
  // The copies read the file from this one opening: its own recipient may
  // take it (download or delete it) as soon as he is told.
  auto copies = std::make_unique<CAttachmentCopies>(text);
  copies->Open(AttachmentPath(m_uploadIds.front()));
  PostGlobalMsgToUserID(m_uploadRecipients.front(), text, 0);
  for (size_t i = 1; i < m_uploadIds.size(); ++i)
    copies->Add(AttachmentPath(m_uploadIds[i]), m_uploadRecipients[i]);
  m_uploadIds.clear();
  m_uploadRecipients.clear();
  if (copies->Done()) {
    GetRequest()->EndRequest();
    return;
  }
  m_pCopies = std::move(copies);
  StartPulse(kModeCopy);
}

void CServiceEmail::CopyStep() {
  if (!m_pCopies->Step(kCopyBlocksPerStep)) return;
  m_pCopies.reset();
  StopPulse();
  GetRequest()->EndRequest();
}

// ---- the listing

int CServiceEmail::GetMail() {
  auto listing = std::make_unique<CMessageStore_2>(MailDatabase());
  listing->m_strFilter = UnreadFilter(GetUser()->GetUserID());
  listing->m_strSort = "MessageID";
  listing->Open(CRecordset::forwardOnly, nullptr, CRecordset::readOnly);
  m_pSchema = std::make_unique<CColumnTypes>(6, -1);
  m_pSchema->AddColumn(kColumnLong, "MessageID");
  m_pSchema->AddColumn(kColumnString, "Subject");
  m_pSchema->AddColumn(kColumnString, "Note");
  m_pSchema->AddColumn(kColumnString, "SenderID");
  m_pSchema->AddColumn(kColumnDate, "DateSent");
  m_pSchema->AddColumn(kColumnString, "Filename");
  m_pListing = std::move(listing);
  m_listedIds.clear();
  m_receipts.clear();
  // A failed read ends the listing with 0x1306 and marks nothing read.
  CRowSource rows;
  rows.atEnd = [this] { return m_pListing->IsEOF(); };
  rows.sendRow = [this] { SendListRow(); };
  rows.finish = [this] { FinishListing(); };
  return StreamRows(*m_pSchema, std::move(rows));
}

void CServiceEmail::SendListRow() {
  CMessageStore_2& row = *m_pListing;
  // A row travels in one frame: a note too long beside the other texts is
  // cut to fit rather than the row lost.
  std::string note = row.m_Note;
  const size_t room = qn::mail::NoteRoomInRow(row.m_Subject, row.m_SenderID, row.m_FileTitle);
  if (note.size() > room) note.resize(room);
  const int32_t sent = static_cast<int32_t>(row.m_DateSent);
  CResultRow out(*m_pSchema);
  out.AddValue(&row.m_MessageID);
  out.AddValue(&row.m_Subject);
  out.AddValue(&note);
  out.AddValue(&row.m_SenderID);
  out.AddValue(&sent);
  out.AddValue(&row.m_FileTitle);
  GetRequest()->SendMoreData(out.BuildPacket());
  m_listedIds.push_back(row.m_MessageID);
  if (row.m_ReturnReceipt) m_receipts.push_back({row.m_SenderID, row.m_Subject, row.m_DateSent});
  row.MoveNext();
}

void CServiceEmail::FinishListing() {
  // The statement's cursor goes back before the marks are written.
  m_pListing.reset();
  const std::string me = GetUser()->GetUserID();
  // Only a listing that went out whole marks its mail read, all of it in
  // one statement.
  if (!m_listedIds.empty()) {
    CDatabase* db = MailDatabase();
    std::string ids;
    for (int32_t id : m_listedIds) {
      if (!ids.empty()) ids += ",";
      ids += std::to_string(id);
    }
    db->ExecuteSQL("UPDATE MessageStore SET Received=" + std::to_string(StoredTrue(db->Dialect())) +
                   " WHERE (RecipID=" + SQLQuote(me) + ") AND (MessageID IN (" + ids + "))");
  }
  const std::time_t now = GetClock().Now();
  for (const Receipt& receipt : m_receipts) {
    const std::string target = ResolveForwarding(receipt.sender);
    if (target.empty()) continue;
    std::string text = qn::mail::ReceiptText(me, receipt.subject, receipt.sent, now);
    if (strcasecmp(target.c_str(), receipt.sender.c_str()) != 0)
      text = qn::mail::ForwardNotice(receipt.sender) + text;
    AddMessage(me, target, "Delivery Return Receipt", text, "-");
  }
}
