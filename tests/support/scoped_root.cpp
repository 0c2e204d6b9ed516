#include "scoped_root.h"

#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace qn::test {

ScopedRoot::ScopedRoot() {
  std::string pattern = (std::filesystem::temp_directory_path() / "qnroot-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
  if (const char* old = std::getenv("QN_ROOT")) previous_ = old;
  ::setenv("QN_ROOT", path_.c_str(), 1);
}

ScopedRoot::~ScopedRoot() {
  if (previous_)
    ::setenv("QN_ROOT", previous_->c_str(), 1);
  else
    ::unsetenv("QN_ROOT");
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::filesystem::path ScopedRoot::RegistryFile() const {
  return path_ / "etc/quillnet/registry.reg";
}

const std::filesystem::path& ProcessRoot(const char* prefix) {
  // What is removed at exit is the directory made here, whatever QN_ROOT
  // names by then.
  static std::string made;
  static const std::filesystem::path root = [prefix] {
    std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    setenv("QN_ROOT", pattern.c_str(), 1);
    std::filesystem::create_directories(std::filesystem::path(pattern) / "var/lib/quillnet");
    made = pattern;
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(made, ec);
    });
    return std::filesystem::path(pattern);
  }();
  return root;
}

}  // namespace qn::test
