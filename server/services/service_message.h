// The "Message" service: the tree of message folders, the messages of a
// folder, the responses to a message and who has read each, and the posting,
// editing and deletion of messages and responses. Everything lives in the
// database QNRMSG. Lists go out one row per pulse step from an open
// forward-only recordset, never gathered in memory.
#pragma once
#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "server/core/service_base.h"

class CColumnTypes;
class CDatabase;
class CFolders_2;
class CPulse;
class CRecordset;

namespace qn {
inline constexpr uint16_t kResultNoFolderAccess = 0x1307;
}  // namespace qn

// The folder path of GetMessageFolders split at each backslash; empty
// components are kept ("a\\\b" is "a", "", "b").
std::vector<std::string> SplitFolderPath(const std::string& path);

// The window of the dated header lists: the from and to texts as automation
// DATE numbers, each replaced by its default when it does not convert (1
// January 1980 00:00:00, 30 December 2035 23:59:59); the to date then moved
// on by a day less one second, so a day given as the to date is covered.
struct HeaderDateWindow {
  std::time_t from;
  std::time_t to;
};
HeaderDateWindow HeaderDates(const std::string& fromText, const std::string& toText);

class CServiceMessage : public CServiceBase {
 public:
  // The module's connect string; registered with the module chain.
  static void InitModule();
  static const std::string& ConnectString();

  CServiceMessage();
  ~CServiceMessage() override;

  bool IsAvailable() override { return true; }
  int ProcessRequest() override;
  // One step of the running walk.
  void ContinueRequest() override;

  enum WalkKind {
    kWalkFolders = 0,
    kWalkMessageHeaders = 1,
    kWalkResponseHeaders = 2,
    kWalkMessageReaders = 3,
    kWalkResponseReaders = 4,
  };

  // The eight header lists: which rows, in which order.
  enum HeaderOrder { kByDateOnly, kByAuthor, kByDate, kByTitle };

 private:
  struct Handler;
  static const Handler kHandlers[];

  int GetMessageFolders();
  int GetMessage();
  int GetResponse();
  int GetMessageUserReadList();
  int GetResponseUserReadList();
  int PostMessage();
  int PostResponse();
  int UpdateMessage();
  int DeleteMessage();

  // Reading rule and writing rule of a folder's key.
  bool MayUseKey(int32_t keyId) const;
  // Sends the schema, keeps `walk` and starts the pulse.
  int StartWalk(WalkKind kind, std::unique_ptr<CRecordset> walk);
  // Header and read lists: an empty list ends at once, without a schema.
  int StartListWalk(WalkKind kind, std::unique_ptr<CRecordset> walk);
  // The eight header lists: kWalkMessageHeaders or kWalkResponseHeaders.
  int GetHeaders(WalkKind kind, HeaderOrder order);
  // The single-row replies of GetMessage and GetResponse.
  int SendBody(const std::string& body);
  // One row or one folder level of the walk; false when the walk is done.
  bool FolderStep();
  bool ListStep();
  // Stops the pulse and frees the recordset; the request goes on.
  void StopWalk();
  void SendRow(const std::vector<const void*>& values);

  static CDatabase* Database();
  // The filter text of one id: only numbers formatted from integers reach
  // the SQL.
  static std::string FormatId(const char* format, int32_t id);
  // Opens `folder` on the folder's row; false when there is none.
  static bool FindFolder(int32_t folderId, CFolders_2& folder,
                         const char* format = "FolderID=%ld");

  // Rows and folder levels one pulse step may take.
  static constexpr int kUnitsPerStep = 32;

  CPulse* m_pPulse = nullptr;
  std::unique_ptr<CColumnTypes> m_pSchema;
  int32_t m_nWalkKind = kWalkFolders;
  std::unique_ptr<CRecordset> m_pWalk;
  std::deque<int32_t> m_folderQueue;
  bool m_bWholeTree = false;
  std::deque<std::string> m_path;
};
