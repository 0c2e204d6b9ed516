#include "support/filelib_seed.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>

namespace fs = std::filesystem;

namespace qn::test {

namespace {

std::string Extension(const std::string& name) {
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(dot + 1);
}

}  // namespace

FileLibrarySeed::FileLibrarySeed(MemberInstall& install) : install_(install) {
  fs::remove_all(MemberInstall::Root() / "lib");
  fs::create_directories(MemberInstall::Root() / "lib");
}

fs::path FileLibrarySeed::OnDisk(const std::string& systemPath) {
  std::string relative = systemPath.substr(systemPath.find('\\') + 1);
  for (char& c : relative)
    if (c == '\\') c = '/';
  return MemberInstall::Root() / relative;
}

std::string FileLibrarySeed::Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    quoted += c;
    if (c == '\'') quoted += '\'';
  }
  return quoted + "'";
}

std::string FileLibrarySeed::Timestamp(std::time_t time) {
  std::tm local{};
  localtime_r(&time, &local);
  char text[32];
  std::strftime(text, sizeof text, "'%Y-%m-%d %H:%M:%S'", &local);
  return text;
}

void FileLibrarySeed::AddKey(int32_t keyId, const std::string& keyName, int32_t cost,
                             bool inDefaultChain) {
  const std::string id = std::to_string(keyId);
  install_.Exec("QNACCOUN", "INSERT INTO Keys (KeyID, AppName, KeyName, Description, KeyCost) VALUES (" +
                                id + ", 'File Library', " + Quote(keyName) + ", '', " +
                                std::to_string(cost) + ")");
  if (inDefaultChain)
    install_.Exec("QNACCOUN", "INSERT INTO Keys2Chains (KeyChainID, KeyID) VALUES (1, " + id + ")");
}

void FileLibrarySeed::GiveKey(const std::string& userId, int32_t keyId) {
  install_.Exec("QNACCOUN", "INSERT INTO UserID2Keys (UserID, KeyID) VALUES (" + Quote(userId) +
                                ", " + std::to_string(keyId) + ")");
}

void FileLibrarySeed::AddFolder(const SeedFolder& f) {
  install_.Exec("QNFILE",
                "INSERT INTO Directories (DirectoryID, DirectoryName, ParentDirectory, ReadKeyID, "
                "UploadPath, WriteKeyID) VALUES (" +
                    std::to_string(f.id) + ", " + Quote(f.name) + ", " + std::to_string(f.parent) +
                    ", " + std::to_string(f.readKey) + ", " + Quote(f.uploadPath) + ", 0)");
  fs::create_directories(OnDisk(f.uploadPath));
}

void FileLibrarySeed::AddFile(const SeedFile& f, const std::vector<int32_t>& folders) {
  const fs::path disk = OnDisk(f.location + "\\" + f.name);
  fs::create_directories(disk.parent_path());
  std::ofstream(disk, std::ios::binary) << f.contents;
  const struct timespec times[2] = {{f.modified, 0}, {f.modified, 0}};
  ::utimensat(AT_FDCWD, disk.c_str(), times, 0);
  install_.Exec("QNFILE",
                "INSERT INTO Files (FileID, FileName, FileExtension, FileSize, LastModDate, "
                "UploadedBy, FileLocation, SuggFolder, ShortDescription, LongDescription, "
                "DateUploaded) VALUES (" +
                    std::to_string(f.id) + ", " + Quote(f.name) + ", " + Quote(Extension(f.name)) +
                    ", " + std::to_string(f.contents.size()) + ", " + Timestamp(f.modified) + ", " +
                    Quote(f.uploadedBy) + ", " + Quote(f.location) + ", 0, " +
                    Quote(f.shortDescription) + ", " + Quote(f.longDescription) + ", " +
                    Timestamp(f.uploaded) + ")");
  // Rows the server adds later are numbered past the given ids.
  if (install_.mode() == StorageMode::Postgres)
    install_.Query("QNFILE",
                   "SELECT setval(pg_get_serial_sequence('files', 'fileid'), (SELECT MAX(FileID) "
                   "FROM Files))");
  for (int32_t folder : folders)
    install_.Exec("QNFILE", "INSERT INTO Files2Directories (DirectoryID, FileID) VALUES (" +
                                std::to_string(folder) + ", " + std::to_string(f.id) + ")");
}

void FileLibrarySeed::AddKeyword(int32_t fileId, const std::string& keyword) {
  install_.Exec("QNFILE", "INSERT INTO Keywords (FileID, Keyword) VALUES (" +
                              std::to_string(fileId) + ", " + Quote(keyword) + ")");
}

void FileLibrarySeed::SetUploadOptions(bool autoApprove, bool addToFolder,
                                       const std::string& uploadPath) {
  const std::string t = install_.TrueLiteral();
  install_.Exec("QNFILE", "DELETE FROM UploadOptions");
  install_.Exec("QNFILE", "INSERT INTO UploadOptions (AutoApprove, AddToSuggestedFolder, UploadPath) "
                          "VALUES (" +
                              (autoApprove ? t : std::string("0")) + ", " +
                              (addToFolder ? t : std::string("0")) + ", " + Quote(uploadPath) + ")");
  fs::create_directories(OnDisk(uploadPath));
}

}  // namespace qn::test
