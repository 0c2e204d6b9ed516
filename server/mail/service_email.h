// The "Email" service: a member's mail in the mail store (table MessageStore
// of QNMAIL) -- counting, listing and deleting it, posting letters to members
// and, through the SMTP gateway, to Internet addresses, following members'
// forwarding -- and the attachment files under "QNMAIL" in the program
// directory. Letters go out one recipient per pulse step, listings through
// the service base's row stream.
#pragma once
#include <cstdint>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "server/core/service_base.h"
#include "server/mail/smtp_gateway.h"

class CAttachmentCopies;
class CColumnTypes;
class CDatabase;
class CMessageStore_2;
class CPulse;
class CUser;

namespace qn {
inline constexpr uint16_t kResultMailKeyRefused = 0x1307;
}  // namespace qn

class CServiceEmail : public CServiceBase {
 public:
  // Module start: the connect strings, the "SMTP" settings and, when a relay
  // is configured, the gateway. Module stop: the gateway goes.
  static void InitModule();
  static void TermModule();
  // The gateway while one exists.
  static CSmtpGateway* GetGateway();

  static CDatabase* MailDatabase();
  static CDatabase* AccountDatabase();

  // Stores one message ("RR:" at the start of the subject, in any case, asks
  // for a return receipt and is taken off; an empty file title is "-");
  // its MessageID, or -1 when the store refused it.
  static int32_t AddMessage(const std::string& sender, const std::string& recipient,
                            const std::string& subject, const std::string& note,
                            const std::string& fileTitle);
  // Where mail for a member ID ends up after its forwarding: a member ID, an
  // Internet address, or empty when the first ID has no account.
  static std::string ResolveForwarding(const std::string& id);
  // The same when the account row of `id` was read already and gave `home`
  // (its HomeEmail): the walk starts from it without reading that row again.
  static std::string ResolveForwarding(const std::string& id, const std::string& home);
  // The attachment file of a message.
  static std::string AttachmentPath(int32_t messageId);

  CServiceEmail();
  ~CServiceEmail() override;

  bool IsAvailable() override { return true; }
  int ProcessRequest() override;
  void ContinueRequest() override;
  void OnSendFileDone() override;
  void OnReceiveFileDone() override;

  enum StepMode { kModeDeliver = 0, kModeCopy };

 private:
  struct Handler;
  static const Handler kHandlers[];

  int GetInternetDomain();
  int Count();
  int DeleteMail();
  int DownloadAttachedFile();
  int MailLtr();
  int GetMail();
  int UploadAttachedFile();

  // One recipient of the letter; after the last, the relay and the end.
  void DeliverStep();
  void DeliverTo(const std::string& recipient);
  // Hands the letter's Internet recipients to the gateway.
  void RelayLetter();
  // What relaying the letter to `target` will queue; `account` is the
  // member whose forwarding led there, named in the attachment notice.
  RelayLoad MeasureRelayTo(CSmtpGateway& gateway, CUser& user, const std::string& target,
                           const std::string& account) const;
  // Gives back the room the gateway promised this letter.
  void ReleaseRelayPromise();
  void SendLetterRow(int32_t messageId, const std::string& userId);
  // One row of the listing.
  void SendListRow();
  // Once every row is out: the marks and the receipts.
  void FinishListing();
  // One share of the attachment copies; the request ends after the last.
  void CopyStep();
  void StartPulse(StepMode mode);
  void StopPulse();

  int m_nStepMode = kModeDeliver;
  CPulse* m_pPulse = nullptr;
  std::unique_ptr<CColumnTypes> m_pSchema;

  // MailLtr.
  std::deque<std::string> m_pendingRecipients;
  std::string m_strSubject, m_strNote, m_strFileTitle;
  std::vector<std::string> m_internetRecipients;
  // Internet address -> the member whose forwarding led there.
  std::map<std::string, std::string> m_forwardedFrom;
  // The room the gateway promised the Internet recipients taken so far.
  RelayLoad m_relayPromise;

  // GetMail: rows already sent, marked read once the listing is complete.
  std::unique_ptr<CMessageStore_2> m_pListing;
  std::vector<int32_t> m_listedIds;
  struct Receipt {
    std::string sender;
    std::string subject;
    std::time_t sent;
  };
  std::vector<Receipt> m_receipts;

  // UploadAttachedFile: the messages sharing the file, with their recipients.
  std::deque<int32_t> m_uploadIds;
  std::deque<std::string> m_uploadRecipients;
  std::unique_ptr<CAttachmentCopies> m_pCopies;

  // DownloadAttachedFile.
  std::string m_strDownloadPath;
};
