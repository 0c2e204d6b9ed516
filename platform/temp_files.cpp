#include "platform/temp_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace qn {

std::string TempDirectory() {
  const char* env = std::getenv("TMPDIR");
  std::string dir = env != nullptr && *env != '\0' ? env : "/tmp";
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

int CreateTempFile(const std::string& prefix, std::string& path) {
  std::string pattern = TempDirectory() + "/" + prefix + "XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  // mkstemp: O_EXCL, mode 0600, a random name.
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) {
    path.clear();
    return -1;
  }
  path.assign(name.data());
  return fd;
}

std::string WriteTempFile(const std::string& prefix, const std::string& bytes) {
  std::string path;
  const int fd = CreateTempFile(prefix, path);
  if (fd < 0) return {};
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const bool closed = ::close(fd) == 0;
  if (done != bytes.size() || !closed) {
    ::unlink(path.c_str());
    return {};
  }
  return path;
}

}  // namespace qn
