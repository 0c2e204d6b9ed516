// The server's SMTP gateway: inbound recipients are members' Internet
// aliases, and inbound mail is stored in the mail store for them (or relayed
// on when a member forwards to an Internet address).
#pragma once
#include <string>
#include <vector>

#include "server/mail/smtp_gateway.h"

class CMailGateway : public CSmtpGateway {
 public:
  explicit CMailGateway(const SmtpGatewayConfig& config);

  bool VerifyRecipient(const std::string& name) override;
  bool DeliverMessage(const std::vector<std::string>& recipients, const std::string& sender,
                      const std::string& subject, const std::string& body,
                      std::string& errorText) override;

  // Inbound mail keeps this much of the subject and of the body.
  static constexpr size_t kSubjectChars = 50;
  static constexpr size_t kNoteChars = 32650;

  // The member ID whose alias is `alias` (without regard to case): among
  // the logged-on members the last one listed, else the account row's; empty
  // when nobody has it. An empty alias names nobody. Throws CDBException.
  static std::string FindMemberByAlias(const std::string& alias);
};
