// The server's SMTP gateway: inbound recipients are members' Internet
// aliases, and inbound mail is stored in the mail store for them (or relayed
// on when a member forwards to an Internet address).
#pragma once
#include <ctime>
#include <string>
#include <vector>

#include "server/data/statement_cache.h"

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

  // Who FindMemberByAlias found and, when it read the account row for it,
  // the row's HomeEmail (the first step of the member's forwarding).
  struct AliasOwner {
    std::string member;
    bool homeRead = false;
    std::string home;
  };
  static AliasOwner FindAliasOwner(const std::string& alias);

  // How long what RCPT found stands in for a look-up at delivery, and how
  // many recipients are kept.
  static constexpr std::time_t kCarriedSeconds = 30;
  static constexpr size_t kCarriedRecipients = 1024;

 private:
  // What RCPT found, by upper-cased name: every transaction's delivery
  // follows its own RCPTs, which refresh these, so the delivery of a message
  // looks nothing up again.
  struct Carried {
    AliasOwner owner;
    std::time_t at = 0;
  };
  AliasOwner OwnerAtDelivery(const std::string& name);
  LruCache<Carried> m_carried{kCarriedRecipients};
};
