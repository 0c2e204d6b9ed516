// Rows of the message database QNRMSG for tests and benches: folders,
// messages, responses and readings written as SQL through an installation,
// in the form each storage mode stores them.
#pragma once
#include <cstdint>
#include <string>

#include "support/member_install.h"

namespace qn::test {

class MessageSeed {
 public:
  explicit MessageSeed(MemberInstall& install) : install_(install) {}

  // A folder under `parent` (-1: top level); its FolderID. A key of -1 needs
  // no key.
  int32_t AddFolder(const std::string& name, int32_t parent, int32_t readKey = -1,
                    int32_t writeKey = -1);
  // `date` is "YYYY-MM-DD HH:MM:SS" in local time. The new MsgID.
  int32_t AddMessage(int32_t folder, const std::string& title, const std::string& userId,
                     const std::string& date, const std::string& body = "");
  // `count` messages titled `title` followed by their number, in one
  // statement, dated by the database.
  void AddMessages(int32_t folder, int count, const std::string& title, const std::string& userId);
  // The new ResponseID.
  int32_t AddResponse(int32_t message, int32_t folder, const std::string& title,
                      const std::string& userId, const std::string& date,
                      const std::string& body = "");
  // A reading of a message ("MsgRead") or response ("ResponseRead").
  void AddReading(const char* table, int32_t id, const std::string& userId,
                  const std::string& date);
  // Inserts into Messages and Responses with this title fail from now on.
  void RefuseInsertsTitled(const std::string& title);

  // The local time as the mode's timestamp literal.
  std::string Timestamp(const std::string& date) const;
  void Exec(const std::string& sql) { install_.Exec("QNRMSG", sql); }
  std::string Query(const std::string& sql) { return install_.Query("QNRMSG", sql); }
  long Count(const std::string& sql) { return install_.Count("QNRMSG", sql); }

 private:
  int32_t LastId(const char* column, const char* table);

  MemberInstall& install_;
};

}  // namespace qn::test
