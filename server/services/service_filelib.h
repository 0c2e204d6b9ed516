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
#include <vector>

#include "server/core/service_base.h"
#include "server/data/folder_tree.h"

class CColumnTypes;
class CDatabase;
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
  int ProcessRequest() override;
  void OnSendFileQueued() override;
  void OnReceiveFileDone() override;

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
  // Streams the open recordset's rows, each sent by `sendRow`.
  int StreamRecordset(void (CServiceFileLib::*sendRow)());
  void SendFileRow();
  void SendKeywordRow();
  void SendRow(const std::vector<const void*>& values);
  // One KeyCost row from a Keys recordset (0 without a row), then the end.
  int AnswerKeyCost(CRecordset& keys, int32_t cost);
  // One row of the tree's current level: sent when visible, descended into
  // when on the path.
  void VisitFolder();
  // The Files, Keywords and link rows of a finished upload; throws on
  // failure, having taken back what it added.
  void AddUploadRows();

  std::unique_ptr<CColumnTypes> m_pColumns;
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
  std::deque<std::string> m_pathParts;
  bool m_bShowAll = false;
};
