// Rows for the mail tests and bench: accounts with forwarding and aliases,
// the "Compose" key of "Mail", and letters in QNMAIL, written as SQL through
// an installation in the form each storage mode stores them.
#pragma once
#include <cstdint>
#include <string>

#include "support/member_install.h"

namespace qn::test {

class MailSeed {
 public:
  explicit MailSeed(MemberInstall& install) : install_(install) {}

  // The key "Compose" of "Mail" (key 6) in the default chain, at this cost;
  // accounts made afterwards and by CreateAccount hold it.
  void AddComposeKey(int32_t cost);
  // An account in the default chain, password "pw".
  void AddAccount(const std::string& userId, int32_t credits = 1000,
                  const std::string& homeEmail = "", const std::string& alias = "");
  void SetHomeEmail(const std::string& userId, const std::string& homeEmail);

  struct Letter {
    std::string recipient;
    std::string sender = "Sender";
    std::string subject = "Subject";
    std::string note = "Note";
    std::string fileTitle = "-";
    bool receipt = false;
    bool received = false;
  };
  // The new MessageID.
  int32_t AddLetter(const Letter& letter);
  // `count` unread letters to `recipient`, subjects "Letter 1" ..., in one
  // statement.
  void AddLetters(const std::string& recipient, int count, const std::string& note = "Note");

  // Rows of MessageStore matching the condition.
  long Messages(const std::string& where);
  long Unread(const std::string& recipient);
  std::string Query(const std::string& sql) { return install_.Query("QNMAIL", sql); }
  void Exec(const std::string& sql) { install_.Exec("QNMAIL", sql); }
  // Audit rows of the "Email" service matching the condition.
  long Audits(const std::string& where);
  // Inserts into MessageStore for this recipient fail from now on.
  void RefuseMailFor(const std::string& recipient);

 private:
  std::string Bool(bool value) const { return value ? install_.TrueLiteral() : "0"; }

  MemberInstall& install_;
};

}  // namespace qn::test
