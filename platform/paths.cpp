#include "platform/paths.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace qn::paths {

std::filesystem::path Root() {
  const char* env = std::getenv("QN_ROOT");
  if (env == nullptr || *env == '\0') return "/";
  return std::filesystem::path(env);
}

std::filesystem::path UnderRoot(std::string_view relative) {
  return Root() / std::filesystem::path(relative);
}

std::filesystem::path ConfigDir() { return UnderRoot("etc/quillnet"); }
std::filesystem::path ProgramDir() { return UnderRoot("var/lib/quillnet"); }
std::filesystem::path RunDir() { return UnderRoot("run/quillnet"); }

bool EnsureDir(const std::filesystem::path& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  return !ec && std::filesystem::is_directory(dir, ec);
}

std::string RootTag() {
  std::error_code ec;
  auto root = std::filesystem::weakly_canonical(Root(), ec);
  std::string text = ec ? Root().string() : root.string();
  if (text == "/" || text.empty()) return {};
  // FNV-1a: stable across runs and processes.
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ull;
  }
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
  return buf;
}

std::filesystem::path ExecutableDir() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  buf[n] = '\0';
  auto dir = std::filesystem::path(buf).parent_path().string();
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir;
}

}  // namespace qn::paths
