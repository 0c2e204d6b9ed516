// The file library of a member installation: its keys in QNACCOUN, folders,
// files on disk under the root (drive "C:" leads there) with their rows and
// links, keywords and the upload options in QNFILE.
#pragma once
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "support/member_install.h"

namespace qn::test {

struct SeedFolder {
  int32_t id;
  std::string name;
  int32_t parent;  // -1 top level; 0 below any top-level folder
  int32_t readKey;
  std::string uploadPath;  // a system path ("C:\lib\docs")
};

struct SeedFile {
  int32_t id;
  std::string name;
  std::string location;  // a system path ("C:\lib\docs")
  std::string contents;
  std::time_t modified;
  std::string uploadedBy;
  std::string shortDescription;
  std::string longDescription;
  std::time_t uploaded;
};

class FileLibrarySeed {
 public:
  // Starts with an empty library directory under the root.
  explicit FileLibrarySeed(MemberInstall& install);

  // The Linux path of a system path on drive "C:".
  static std::filesystem::path OnDisk(const std::string& systemPath);

  // A key of application "File Library"; in the default key chain "Members"
  // (every new account's) when `inDefaultChain`.
  void AddKey(int32_t keyId, const std::string& keyName, int32_t cost, bool inDefaultChain);
  void GiveKey(const std::string& userId, int32_t keyId);
  void AddFolder(const SeedFolder& folder);
  // The file on disk (time set) and its row, linked to `folders` in order;
  // the extension is the text after the last dot.
  void AddFile(const SeedFile& file, const std::vector<int32_t>& folders);
  void AddKeyword(int32_t fileId, const std::string& keyword);
  void SetUploadOptions(bool autoApprove, bool addToFolder, const std::string& uploadPath);

  // A text literal with its quotes doubled.
  static std::string Quote(const std::string& text);
  // A timestamp literal of the local time both databases read.
  static std::string Timestamp(std::time_t time);

 private:
  MemberInstall& install_;
};

}  // namespace qn::test
