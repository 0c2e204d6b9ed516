// The "FileLib" service: the members' file library. Folders form a tree and
// may be guarded by a key; members list a folder's files in ten orders, read
// a file's details, description, keywords and download count, download files
// for credits and upload files with a description and keywords. The rows are
// in QNFILE, key costs in QNACCOUN; the files stay on disk under their
// folder's upload path with the names their uploaders gave them.
#pragma once
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "server/core/service_base.h"
#include "server/data/folder_tree.h"

class CColumnTypes;
class CDatabase;
class CPulse;
class CRecordset;

namespace qn {
// Folder or file missing, or not open to this member.
inline constexpr uint16_t kResultNoFolderOrFile = 0x1307;
}  // namespace qn

// A name an upload may take in its folder: not empty, "." or "..", and
// without "\", "/", ":" or control characters, so that it names a file in
// that folder and nowhere else.
bool IsBareFileName(const std::string& name);

class CServiceFileLib : public CServiceBase {
 public:
  CServiceFileLib();
  ~CServiceFileLib() override;

  bool IsAvailable() override;
  void ContinueRequest() override;
  int ProcessRequest() override;
  void OnSendFileQueued() override;
  void OnReceiveFileDone() override;

  // The continuation's multi-row answers.
  enum Step { kFileList = 1, kFolderTree = 3, kKeywords = 5 };

 private:
  struct Item;
  static const Item kItems[];

  int GetSendCredit();
  int GetFiles4Folder();
  int GetFileDetails();
  int GetFolderTree();
  int GetLongDescriptionForFile();
  int GetKeywordsForFile();
  int GetDownloadCountForFile();
  int Download();
  int Upload();
  int GetKeyCost();

  // The folder of the file's first link is open to the member; sets `cost`
  // (-1 when the folder needs no key). False on any database failure.
  bool CheckFileFolderKey(int32_t fileId);
  // The file id of a one-parameter request, after the folder check: 0 and
  // the id, or the refusal.
  int FileIdChecked(int32_t& fileId);
  // Sends the schema and starts the continuation over the open recordset.
  int StartRows(Step step);
  void SendRow(const std::vector<const void*>& values);
  // One KeyCost row from a Keys recordset (0 without a row), then the end.
  int AnswerKeyCost(CRecordset& keys, int32_t cost);
  void StopRows();
  // One row sent, or one folder level opened; false when the answer is
  // complete.
  bool StepOnce();
  // Sends one step's rows; false once the request has ended.
  bool SendStep();
  // One visited row of the tree: true when it was sent.
  bool VisitFolder();
  // The next queued folder's children as the current level; false when the
  // walk is over.
  bool OpenNextLevel();
  // The Files, Keywords and link rows of a finished upload; throws on
  // failure, having taken back what it added.
  void AddUploadRows();

  // Rows and folder levels one pulse step may take.
  static constexpr int kUnitsPerStep = 32;

  std::unique_ptr<CColumnTypes> m_pColumns;
  CPulse* m_pPulse = nullptr;
  Step m_nStep = kFileList;
  // The file list's order, from the item.
  const char* m_pSort = nullptr;
  std::unique_ptr<CRecordset> m_pRecordset;
  // Download: credits due once the last row is queued; -1 while the file's
  // folder needs no key.
  int32_t m_nCost = -1;
  int32_t m_nFileId = 0;
  // Upload.
  std::string m_strFileName;
  std::string m_strShortDescription;
  std::string m_strLongDescription;
  std::vector<std::string> m_keywords;
  std::string m_strTargetPath;
  int32_t m_nFolderId = -1;
  // Folder tree.
  std::unique_ptr<CFolderLevels> m_pFolders;
  std::deque<int32_t> m_folderQueue;
  std::unordered_set<int32_t> m_expanded;
  std::deque<std::string> m_pathParts;
  bool m_bShowAll = false;
  bool m_bSkipRest = false;
};
