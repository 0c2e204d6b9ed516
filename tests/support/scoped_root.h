// A private installation root for one test: a fresh temporary directory set
// as QN_ROOT for the object's life, removed afterwards.
#pragma once
#include <filesystem>
#include <optional>
#include <string>

namespace qn::test {

class ScopedRoot {
 public:
  ScopedRoot();
  ~ScopedRoot();
  ScopedRoot(const ScopedRoot&) = delete;
  ScopedRoot& operator=(const ScopedRoot&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The registry file of this root.
  std::filesystem::path RegistryFile() const;

 private:
  std::filesystem::path path_;
  std::optional<std::string> previous_;
};

}  // namespace qn::test
