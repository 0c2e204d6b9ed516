#include "tools/dbsetup/core/local_host.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <utility>

#include "common/registry.h"
#include "common/service_verbs.h"
#include "platform/paths.h"
#include "platform/profile_file.h"
#include "platform/registry_store.h"
#include "tools/dbsetup/core/installer_texts.h"

namespace qn::dbsetup {

namespace {

[[noreturn]] void Fail(const std::string& path, int error) {
  throw FileError(path + ": " + std::strerror(error));
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

}  // namespace

bool LocalFileSystem::Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

void LocalFileSystem::Copy(const std::string& from, const std::string& to) {
  Descriptor in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) Fail(from, errno);
  Descriptor out(::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (out.get() < 0) Fail(to, errno);
  char block[32768];
  for (;;) {
    const ssize_t n = ::read(in.get(), block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail(from, errno);
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(out.get(), block + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) Fail(to, errno);
      done += w;
    }
  }
  if (::fsync(out.get()) != 0) Fail(to, errno);
  if (::close(out.release()) != 0) Fail(to, errno);
}

void LocalFileSystem::Rename(const std::string& from, const std::string& to, bool noReplace) {
  if (!noReplace) {
    if (::rename(from.c_str(), to.c_str()) != 0) Fail(from, errno);
    return;
  }
  if (::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
  if (errno != EINVAL && errno != ENOSYS) Fail(errno == EEXIST ? to : from, errno);
  // A file system without RENAME_NOREPLACE: a hard link claims the name.
  if (::link(from.c_str(), to.c_str()) != 0) Fail(errno == EEXIST ? to : from, errno);
  if (::unlink(from.c_str()) != 0) Fail(from, errno);
}

void LocalFileSystem::Remove(const std::string& path) {
  if (::unlink(path.c_str()) != 0) Fail(path, errno);
}

std::optional<std::string> LocalFileSystem::Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream text;
  text << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return text.str();
}

int LocalFileSystem::OpenedByOther(const std::vector<std::string>& paths, std::string& which) {
  std::map<std::pair<dev_t, ino_t>, const std::string*> wanted;
  for (const std::string& path : paths) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) wanted[{st.st_dev, st.st_ino}] = &path;
  }
  if (wanted.empty()) return 0;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return 0;
  const pid_t self = ::getpid();
  int holder = 0;
  while (holder == 0) {
    dirent* entry = ::readdir(proc);
    if (entry == nullptr) break;
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (*end != '\0' || pid <= 0 || pid == self) continue;
    const std::string fdDir = std::string("/proc/") + entry->d_name + "/fd";
    DIR* fds = ::opendir(fdDir.c_str());
    if (fds == nullptr) continue;  // gone, or another user's
    while (dirent* fd = ::readdir(fds)) {
      if (fd->d_name[0] == '.') continue;
      struct stat st {};
      if (::stat((fdDir + "/" + fd->d_name).c_str(), &st) != 0) continue;
      auto found = wanted.find({st.st_dev, st.st_ino});
      if (found != wanted.end()) {
        holder = static_cast<int>(pid);
        which = *found->second;
        break;
      }
    }
    ::closedir(fds);
  }
  ::closedir(proc);
  return holder;
}

bool LocalFileSystem::IsDatabaseFile(const std::string& path) {
  static const char kHeader[16] = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f', 'o', 'r', 'm', 'a', 't', ' ', '3', '\0'};
  std::ifstream in(path, std::ios::binary);
  char header[16] = {0};
  if (!in.read(header, sizeof header)) return false;
  return std::memcmp(header, kHeader, sizeof header) == 0;
}

std::optional<std::string> LocalSettings::ReadRegistry(const std::string& section, const std::string& name) {
  CQuillnetRegistry registry;
  const qn::reg::KeyHandle key = registry.OpenSection(section);
  qn::reg::Value value;
  if (!key || qn::reg::Store::Default().QueryValue(key, name, value) != qn::reg::kOk) return std::nullopt;
  return qn::reg::AsString(value);
}

void LocalSettings::WriteRegistry(const std::string& section, const std::string& name,
                                  const std::optional<std::string>& value, bool secret) {
  CQuillnetRegistry registry;
  const std::string file = (qn::paths::ConfigDir() / "registry.reg").string();
  // The store keeps the file's permissions when it rewrites it, so a file
  // that will hold a password is closed to others before it does.
  if (secret) ::chmod(file.c_str(), 0600);
  registry.WriteString(section, name.c_str(), value ? value->c_str() : nullptr);
  if (secret) ::chmod(file.c_str(), 0600);
}

std::optional<std::string> LocalSettings::ReadProfile(const std::string& file, const std::string& section,
                                                      const std::string& key) {
  return qn::profile::ReadString(file, section, key);
}

void LocalSettings::WriteProfile(const std::string& file, const std::string& section, const std::string& key,
                                 const std::optional<std::string>& value, bool secret) {
  qn::profile::WriteString(file, section, key, value, secret);
}

bool LocalServiceControl::StartServiceIfNecessary(const std::string& name) {
  return ::StartServiceIfNecessary(name);
}

namespace {

std::string PreparedProgramDir() {
  LocalOdbcAdmin::Prepare();
  qn::paths::EnsureDir(qn::paths::ProgramDir());
  return qn::paths::ProgramDir().string() + "/";
}

}  // namespace

LocalInstallation::LocalInstallation() : programDir(PreparedProgramDir()), databases(programDir) {}

InstallerHost LocalInstallation::Host(IInstallerView* view) {
  InstallerHost host;
  host.view = view;
  host.odbc = &odbc;
  host.settings = &settings;
  host.files = &files;
  host.databases = &databases;
  host.services = &services;
  host.programDir = programDir;
  host.serverIniFile = (qn::paths::ConfigDir() / texts::kServerIniFile).string();
  return host;
}

}  // namespace qn::dbsetup
