#include "scoped_root.h"

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace qn::test {

ScopedRoot::ScopedRoot(const std::string& prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "_XXXXXX")).string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  m_path = buffer.data();
  if (const char* old = getenv("QN_ROOT")) m_previous = old;
  setenv("QN_ROOT", m_path.c_str(), 1);
}

ScopedRoot::~ScopedRoot() {
  if (m_previous)
    setenv("QN_ROOT", m_previous->c_str(), 1);
  else
    unsetenv("QN_ROOT");
  std::error_code ec;
  std::filesystem::remove_all(m_path, ec);
}

}  // namespace qn::test
