// The upgrade of version 1.0 databases: every area's old rows are read
// through the earlier schema and written into the current one, either into
// new per-area files or into the one open target database.
//
// Numbers the new database gives (keys, key chains, directories, files,
// mail, folders, messages, responses) come from each insert, and every
// reference to an old number goes through the map of old to new: link rows
// whose row is gone are dropped, other rows keep no reference (0). Nothing
// else is lost but text beyond 255 characters in short text columns.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "server/data/database.h"
#include "tools/dbsetup/core/installer_host.h"

namespace qn::dbsetup {

class OldRows;
class NewRows;

class CUpgrade {
 public:
  // `target` is the open one-database target (its transaction the
  // caller's), or null for new files of the request's extension, each
  // written in one transaction.
  CUpgrade(const UpgradeRequest& request, IUpgradeProgress& progress, CDatabase* target);
  ~CUpgrade();
  AttachmentMoves Run();

 private:
  using IdMap = std::unordered_map<int32_t, int32_t>;

  void Area(const char* stem, void (CUpgrade::*copy)());
  void CopyAccountArea();
  void CopyAuditArea();
  void CopyChatArea();
  void CopyDatabaseArea();
  void CopyFileArea();
  void CopyMailArea();
  void CopyMessageArea();
  void CopyAccounts();
  void CopyDirectories();
  void CopyFiles();
  void CopyFolders();

  long Count(const char* table, const char* column);
  // Keys needed by other rows: -1 and 0 (no key) stay, a key the upgrade
  // copied gets its new number, an unknown one 0 (a key nobody has).
  int32_t KeyRef(int32_t old) const;

  UpgradeRequest request_;
  IUpgradeProgress& progress_;
  CDatabase* target_;
  std::unique_ptr<CDatabase> oldDb_;
  std::unique_ptr<CDatabase> newFile_;
  CDatabase* old_ = nullptr;
  CDatabase* new_ = nullptr;
  IdMap keys_, chains_, directories_, files_, folders_, messages_;
  AttachmentMoves attachments_;
};

}  // namespace qn::dbsetup
