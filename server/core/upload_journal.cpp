#include "server/core/upload_journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <unordered_set>

#include "platform/paths.h"

namespace {

// One record a line: '+' and the path when the file is made, '-' and the
// path when it has gone or taken its name. A path holding a line break
// cannot be written (the server makes no such names).
std::string JournalPath() { return (qn::paths::ProgramDir() / "uploads.journal").string(); }

int g_fd = -1;
std::unordered_set<std::string> g_open;

void Append(char mark, const std::string& path) {
  if (g_fd < 0) g_fd = ::open(JournalPath().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (g_fd < 0) return;
  const std::string line = mark + path + "\n";
  // One write: a kill leaves a whole line or a cut one, never two mixed.
  [[maybe_unused]] const ssize_t n = ::write(g_fd, line.data(), line.size());
}

}  // namespace

void JournalUploadFile(const std::string& path) {
  if (path.empty() || path.find('\n') != std::string::npos || !g_open.insert(path).second) return;
  Append('+', path);
}

void ForgetUploadFile(const std::string& path) {
  if (g_open.erase(path) == 0) return;
  // Nothing is being written: the journal starts afresh.
  if (g_open.empty() && g_fd >= 0 && ::ftruncate(g_fd, 0) == 0) return;
  Append('-', path);
}

void RemoveLeftoverUploadFiles() {
  const std::string journal = JournalPath();
  std::ifstream in(journal, std::ios::binary);
  if (!in) return;
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  for (const std::string& path : qn::OpenUploadFiles(text)) ::unlink(path.c_str());
  if (g_fd >= 0) ::close(g_fd);
  g_fd = -1;
  g_open.clear();
  ::unlink(journal.c_str());
}

namespace qn {

std::vector<std::string> OpenUploadFiles(std::string_view journal) {
  std::vector<std::string> open;
  size_t at = 0;
  for (size_t end; (end = journal.find('\n', at)) != std::string_view::npos; at = end + 1) {
    const std::string_view line = journal.substr(at, end - at);
    if (line.size() < 2) continue;
    const std::string path(line.substr(1));
    if (line[0] == '+') {
      open.push_back(path);
    } else if (line[0] == '-') {
      const auto it = std::find(open.begin(), open.end(), path);
      if (it != open.end()) open.erase(it);
    }
  }
  return open;
}

}  // namespace qn
