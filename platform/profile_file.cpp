#include "platform/profile_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <vector>

namespace qn::profile {

namespace {

std::string_view Trim(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// "[name]" (blanks around allowed): the name; nullopt for any other line.
std::optional<std::string_view> SectionOf(std::string_view line) {
  const std::string_view t = Trim(line);
  if (t.size() < 2 || t.front() != '[') return std::nullopt;
  const size_t close = t.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return Trim(t.substr(1, close - 1));
}

// "key=value": true with both parts trimmed.
bool KeyOf(std::string_view line, std::string_view& key, std::string_view& value) {
  const std::string_view t = Trim(line);
  if (t.empty() || t.front() == ';') return false;
  const size_t eq = t.find('=');
  if (eq == std::string_view::npos) return false;
  key = Trim(t.substr(0, eq));
  value = Trim(t.substr(eq + 1));
  return true;
}

bool Writable(std::string_view text) { return text.find_first_of("\r\n") == std::string_view::npos; }

}  // namespace

std::optional<std::string> Lookup(std::string_view text, std::string_view section, std::string_view key) {
  bool inSection = false;
  for (std::string_view line : Lines(text)) {
    if (auto name = SectionOf(line)) {
      inSection = SameName(*name, Trim(section));
      continue;
    }
    std::string_view k, v;
    if (inSection && KeyOf(line, k, v) && SameName(k, Trim(key))) return std::string(v);
  }
  return std::nullopt;
}

std::string WithValue(std::string_view text, std::string_view section, std::string_view key,
                      const std::optional<std::string>& value) {
  const std::string_view s = Trim(section), k = Trim(key);
  if (!Writable(s) || !Writable(k) || s.find(']') != std::string_view::npos ||
      k.find('=') != std::string_view::npos || k.empty() || (!k.empty() && k.front() == ';') ||
      k.front() == '[' || (value && !Writable(*value)))
    return std::string(text);
  const std::string entry = value ? std::string(k) + "=" + *value : std::string();

  std::string out;
  bool inSection = false, sectionSeen = false, done = false;
  const auto lines = Lines(text);
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (auto name = SectionOf(line)) {
      // Leaving our section without having met the key: it goes last in it.
      if (inSection && !done && value) {
        out += entry + "\n";
        done = true;
      }
      inSection = SameName(*name, s);
      sectionSeen = sectionSeen || inSection;
    } else {
      std::string_view lk, lv;
      if (inSection && KeyOf(line, lk, lv) && SameName(lk, k)) {
        if (!done && value) out += entry + "\n";
        done = true;
        continue;  // every other copy of the key goes
      }
    }
    out += line;
    out += '\n';
  }
  if (inSection && !done && value) {
    out += entry + "\n";
    done = true;
  }
  if (!sectionSeen && value) {
    if (!out.empty() && out != "\n") out += "\n";
    out += "[" + std::string(s) + "]\n" + entry + "\n";
  }
  return out;
}

std::optional<std::string> ReadString(const std::filesystem::path& file, std::string_view section,
                                      std::string_view key) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream text;
  text << in.rdbuf();
  return Lookup(text.str(), section, key);
}

bool WriteString(const std::filesystem::path& file, std::string_view section, std::string_view key,
                 const std::optional<std::string>& value, bool ownerOnly) {
  std::string before;
  mode_t mode = ownerOnly ? 0600 : 0644;
  struct stat st {};
  if (::stat(file.c_str(), &st) == 0) {
    mode = st.st_mode & 07777;
    if (ownerOnly) mode &= 0700;
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    before = text.str();
  } else if (errno != ENOENT) {
    return false;
  }
  const std::string after = WithValue(before, section, key, value);
  const std::string temporary = file.string() + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, mode) == 0;
  size_t written = 0;
  while (ok && written < after.size()) {
    const ssize_t n = ::write(fd, after.data() + written, after.size() - written);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) written += static_cast<size_t>(n);
  }
  ok = ::fsync(fd) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(temporary.c_str(), file.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace qn::profile
