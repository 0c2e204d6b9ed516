#include "support/mail_seed.h"

#include <cstdlib>

#include "common/helpers.h"

namespace qn::test {

void MailSeed::AddComposeKey(int32_t cost) {
  install_.ExecAccount(
      "INSERT INTO Keys (KeyID, AppName, KeyName, Description, KeyCost) VALUES (6, 'Mail', "
      "'Compose', 'Letters', " + std::to_string(cost) + ")");
  install_.ExecAccount("INSERT INTO Keys2Chains (KeyChainID, KeyID) VALUES (1, 6)");
}

void MailSeed::AddAccount(const std::string& userId, int32_t credits,
                          const std::string& homeEmail, const std::string& alias) {
  install_.ExecAccount(
      "INSERT INTO Accounts (UserID, Password, Credits, Dormant, RatePerHour, MaxTimeOnline, "
      "HomeEmail, InternetAlias) VALUES (" + SQLQuote(userId) + ", 'pw', " +
      std::to_string(credits) + ", 0, 0, -1, " + SQLQuote(homeEmail) + ", " + SQLQuote(alias) + ")");
  install_.ExecAccount("INSERT INTO UserID2KeyChain (UserID, KeyChainID) VALUES (" +
                       SQLQuote(userId) + ", 1)");
}

void MailSeed::SetHomeEmail(const std::string& userId, const std::string& homeEmail) {
  install_.ExecAccount("UPDATE Accounts SET HomeEmail=" + SQLQuote(homeEmail) +
                       " WHERE UserID=" + SQLQuote(userId));
}

int32_t MailSeed::AddLetter(const Letter& letter) {
  Exec("INSERT INTO MessageStore (RecipID, Subject, Note, SenderID, FileTitle, Received, "
       "ReturnReceipt) VALUES (" + SQLQuote(letter.recipient) + ", " + SQLQuote(letter.subject) +
       ", " + SQLQuote(letter.note) + ", " + SQLQuote(letter.sender) + ", " +
       SQLQuote(letter.fileTitle) + ", " + Bool(letter.received) + ", " + Bool(letter.receipt) + ")");
  return static_cast<int32_t>(std::atol(Query("SELECT MAX(MessageID) FROM MessageStore").c_str()));
}

void MailSeed::AddLetters(const std::string& recipient, int count, const std::string& note) {
  Exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
       std::to_string(count) + ") INSERT INTO MessageStore (RecipID, Subject, Note, SenderID) "
       "SELECT " + SQLQuote(recipient) + ", 'Letter ' || i, " + SQLQuote(note) + ", 'Sender' FROM n");
}

long MailSeed::Messages(const std::string& where) {
  return install_.Count("QNMAIL", "SELECT MessageID FROM MessageStore WHERE " + where);
}

long MailSeed::Unread(const std::string& recipient) {
  return Messages("RecipID=" + SQLQuote(recipient) + " AND Received=0");
}

long MailSeed::Audits(const std::string& where) {
  return install_.Count("QNAUDIT",
                        "SELECT AuditTrailID FROM AuditTrail WHERE ServiceName='Email' AND " + where);
}

void MailSeed::RefuseMailFor(const std::string& recipient) {
  const std::string quoted = SQLQuote(recipient);
  if (install_.mode() == StorageMode::Access) {
    Exec("CREATE TRIGGER refuse_mail BEFORE INSERT ON MessageStore WHEN NEW.RecipID = " + quoted +
         " BEGIN SELECT RAISE(ABORT, 'refused'); END");
    return;
  }
  Exec("CREATE FUNCTION refuse_mail() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN IF "
       "NEW.RecipID = " + quoted + " THEN RAISE EXCEPTION 'refused'; END IF; RETURN NEW; END $$");
  Exec("CREATE TRIGGER refuse_mail BEFORE INSERT ON MessageStore FOR EACH ROW EXECUTE FUNCTION "
       "refuse_mail()");
}

}  // namespace qn::test
