#include "support/message_seed.h"

#include <cstdlib>

#include "common/helpers.h"

namespace qn::test {

namespace {
std::string Number(int32_t n) { return std::to_string(n); }
}  // namespace

std::string MessageSeed::Timestamp(const std::string& date) const {
  // The per-area files hold times in the form their driver writes.
  if (install_.mode() == StorageMode::Access) return SQLQuote(date + ".000");
  return SQLQuote(date);
}

int32_t MessageSeed::LastId(const char* column, const char* table) {
  return static_cast<int32_t>(
      std::atol(Query(std::string("SELECT MAX(") + column + ") FROM " + table).c_str()));
}

int32_t MessageSeed::AddFolder(const std::string& name, int32_t parent, int32_t readKey,
                               int32_t writeKey) {
  Exec("INSERT INTO Folders (Folder, ParentID, Code, ReadKey, WriteKey) VALUES (" +
       SQLQuote(name) + ", " + Number(parent) + ", 0, " + Number(readKey) + ", " +
       Number(writeKey) + ")");
  return LastId("FolderID", "Folders");
}

int32_t MessageSeed::AddMessage(int32_t folder, const std::string& title,
                                const std::string& userId, const std::string& date,
                                const std::string& body) {
  Exec("INSERT INTO Messages (Title, Msg, UserID, FolderID, Date) VALUES (" + SQLQuote(title) +
       ", " + SQLQuote(body) + ", " + SQLQuote(userId) + ", " + Number(folder) + ", " +
       Timestamp(date) + ")");
  return LastId("MsgID", "Messages");
}

void MessageSeed::AddMessages(int32_t folder, int count, const std::string& title,
                              const std::string& userId) {
  Exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
       Number(count) + ") INSERT INTO Messages (Title, UserID, FolderID) SELECT " +
       SQLQuote(title) + " || i, " + SQLQuote(userId) + ", " + Number(folder) + " FROM n");
}

int32_t MessageSeed::AddResponse(int32_t message, int32_t folder, const std::string& title,
                                 const std::string& userId, const std::string& date,
                                 const std::string& body) {
  Exec("INSERT INTO Responses (Title, Response, UserID, OriginalMsgID, FolderID, Date) VALUES (" +
       SQLQuote(title) + ", " + SQLQuote(body) + ", " + SQLQuote(userId) + ", " +
       Number(message) + ", " + Number(folder) + ", " + Timestamp(date) + ")");
  return LastId("ResponseID", "Responses");
}

void MessageSeed::AddReading(const char* table, int32_t id, const std::string& userId,
                             const std::string& date) {
  const char* column = std::string(table) == "MsgRead" ? "MsgID" : "ResponseID";
  Exec(std::string("INSERT INTO ") + table + " (" + column + ", UserID, Date) VALUES (" +
       Number(id) + ", " + SQLQuote(userId) + ", " + Timestamp(date) + ")");
}

void MessageSeed::RefuseInsertsTitled(const std::string& title) {
  const std::string quoted = SQLQuote(title);
  if (install_.mode() == StorageMode::Access) {
    for (const char* table : {"Messages", "Responses"})
      Exec(std::string("CREATE TRIGGER refuse_") + table + " BEFORE INSERT ON " + table +
           " WHEN NEW.Title = " + quoted + " BEGIN SELECT RAISE(ABORT, 'refused'); END");
    return;
  }
  Exec("CREATE FUNCTION refuse_titled() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN IF "
       "NEW.Title = " + quoted + " THEN RAISE EXCEPTION 'refused'; END IF; RETURN NEW; END $$");
  for (const char* table : {"Messages", "Responses"})
    Exec(std::string("CREATE TRIGGER refuse_") + table + " BEFORE INSERT ON " + table +
         " FOR EACH ROW EXECUTE FUNCTION refuse_titled()");
}

}  // namespace qn::test
