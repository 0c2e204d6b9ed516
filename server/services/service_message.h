// The "Message" service: the tree of message folders, the messages of a
// folder, the responses to a message and who has read each, and the posting,
// editing and deletion of messages and responses. Everything lives in the
// database QNRMSG. Lists go out through the service base's row stream from
// an open forward-only recordset, never gathered in memory; the folder tree
// is read whole when it is small (see CFolderLevels).
#pragma once
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "server/core/service_base.h"

class CColumnTypes;
class CDatabase;
class CFolderLevels;
class CFolders_2;
class CRecordset;

namespace qn {
inline constexpr uint16_t kResultNoFolderAccess = 0x1307;
}  // namespace qn

class CServiceMessage : public CServiceBase {
 public:
  // Sets the module's connect string; run by the module chain at start.
  static void InitModule();

  CServiceMessage();
  ~CServiceMessage() override;

  bool IsAvailable() override { return true; }
  int ProcessRequest() override;

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
  // The folder exists and the member may read it.
  bool MayReadFolder(int32_t folderId);
  // 0 when the member may write in the folder; 0x1304 when it does not
  // exist, 0x1307 without its key.
  int WriteRefusal(int32_t folderId, const char* format = "FolderID=%ld");
  // GetMessage and GetResponse: the row by its id, the read rule of its
  // folder, a reading recorded, then the body.
  template <class Row, class Reading>
  int ReadOne(const char* idFilter, const char* noReading, std::string Row::*body,
              int32_t Row::*rowId, int32_t Reading::*readingId);
  // Header and read lists: an empty list ends at once, without a schema;
  // otherwise the schema and the rows go out as a stream.
  int StartListWalk(WalkKind kind, std::unique_ptr<CRecordset> walk);
  // The eight header lists: kWalkMessageHeaders or kWalkResponseHeaders.
  int GetHeaders(WalkKind kind, HeaderOrder order);
  // The single-row replies of GetMessage and GetResponse.
  int SendBody(const std::string& body);
  // One row of the tree's current level: sent when readable, descended into
  // when on the path.
  void VisitFolder();
  // Sends the list's current row and moves to the next.
  void SendListRow();
  void SendRow(const std::vector<const void*>& values);

  static CDatabase* Database();
  // The filter text of one id: only numbers formatted from integers reach
  // the SQL.
  static std::string FormatId(const char* format, int32_t id);
  // Opens `folder` on the folder's row; false when there is none.
  static bool FindFolder(int32_t folderId, CFolders_2& folder,
                         const char* format = "FolderID=%ld");

  std::unique_ptr<CColumnTypes> m_pSchema;
  int32_t m_nWalkKind = kWalkFolders;
  std::unique_ptr<CRecordset> m_pWalk;
  std::unique_ptr<CFolderLevels> m_pFolders;
  bool m_bWholeTree = false;
  std::deque<std::string> m_path;
};
