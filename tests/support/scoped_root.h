// A fresh temporary directory as $QN_ROOT for the life of the object; the
// previous value comes back and the directory goes afterwards.
#pragma once
#include <optional>
#include <string>

namespace qn::test {

class ScopedRoot {
 public:
  explicit ScopedRoot(const std::string& prefix = "qn_root");
  ~ScopedRoot();
  ScopedRoot(const ScopedRoot&) = delete;
  ScopedRoot& operator=(const ScopedRoot&) = delete;
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
  std::optional<std::string> m_previous;
};

}  // namespace qn::test
