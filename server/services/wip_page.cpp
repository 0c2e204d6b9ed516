#include "server/services/wip_page.h"


#include <cctype>
#include <cmath>
#include <cstdlib>
#include <unordered_map>

namespace qn::wip {

namespace {

constexpr std::string_view kFormHeader = "[Form]\r\n";
constexpr std::string_view kKeyTag = "=SEC:";

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// The end of the line holding `pos`: the index of its LF, or the text's end.
size_t LineEnd(std::string_view text, size_t pos) {
  const size_t lf = text.find('\n', pos);
  return lf == std::string_view::npos ? text.size() : lf;
}

// A section name from `start` up to a backquote or the line's end.
std::string SectionNameAt(std::string_view text, size_t start) {
  if (start >= text.size()) return {};
  size_t end = start;
  while (end < text.size() && text[end] != '`' && text[end] != '\r' && text[end] != '\n') ++end;
  return std::string(text.substr(start, end - start));
}

// The text as lines for section removal: each line's content (without its
// line break) and its break ("\r\n", "\n" or none). Removed lines are skipped
// through two "next alive" chains, so every removal costs about the lines it
// removes, however long the page or the chain of sections.
class PageLines {
 public:
  explicit PageLines(const std::string& text) {
    size_t pos = 0;
    while (pos < text.size()) {
      const size_t lf = text.find('\n', pos);
      Line line;
      if (lf == std::string::npos) {
        line.content = std::string_view(text).substr(pos);
        pos = text.size();
      } else {
        line.content = std::string_view(text).substr(pos, lf - pos);
        line.breakText = "\n";
        if (!line.content.empty() && line.content.back() == '\r') {
          line.content.remove_suffix(1);
          line.breakText = "\r\n";
        }
        pos = lf + 1;
      }
      if (StartsSection(line.content)) headers_[line.content].lines.push_back(lines_.size());
      lines_.push_back(line);
    }
    next_.resize(lines_.size() + 1);
    prev_.resize(lines_.size() + 1);
    for (size_t i = 0; i <= lines_.size(); ++i) next_[i] = prev_[i] = i;
  }

  // Removes the named section and those its lines name, depth first.
  void Remove(std::vector<std::string> stack) {
    while (!stack.empty()) {
      const std::string name = std::move(stack.back());
      stack.pop_back();
      const size_t header = FindHeader("[" + name + "]");
      if (header == kNone) continue;
      size_t line = NextAlive(header + 1);
      while (line < lines_.size() && !StartsSection(lines_[line].content)) {
        const std::string_view content = lines_[line].content;
        if (content.size() > 3 && content[3] == '=') {
          // Each name taken goes with its line: the stack holds at most as
          // many names as the page has lines.
          std::string named = SectionName(content);
          if (!named.empty()) stack.push_back(std::move(named));
        }
        Kill(line);
        line = NextAlive(line + 1);
      }
      if (line >= lines_.size()) {
        // The last section: the text ends before the line break above it.
        const size_t before = PrevAlive(header);
        if (before != kNone) lines_[before].breakText = "";
      }
      Kill(header);
    }
  }

  std::string Text() const {
    std::string out;
    for (size_t i = 0; i < lines_.size(); ++i) {
      if (!lines_[i].alive) continue;
      out.append(lines_[i].content);
      out.append(lines_[i].breakText);
    }
    return out;
  }

 private:
  static constexpr size_t kNone = static_cast<size_t>(-1);
  struct Line {
    std::string_view content;
    std::string_view breakText;
    bool alive = true;
  };

  // From its eighth character up to a backquote or the line's end.
  static std::string SectionName(std::string_view content) {
    if (content.size() <= 7) return {};
    const std::string_view rest = content.substr(7);
    return std::string(rest.substr(0, rest.find_first_of("`\r")));
  }
  static bool StartsSection(std::string_view content) { return !content.empty() && content.front() == '['; }
  // The first live header line "[name]" ending in CR LF. A line that is gone
  // or has lost its CR LF never comes back, so each is passed over once.
  size_t FindHeader(const std::string& header) {
    const auto found = headers_.find(header);
    if (found == headers_.end()) return kNone;
    Headers& same = found->second;
    while (same.next < same.lines.size()) {
      const Line& line = lines_[same.lines[same.next]];
      if (line.alive && line.breakText == "\r\n") return same.lines[same.next];
      ++same.next;
    }
    return kNone;
  }
  void Kill(size_t index) {
    lines_[index].alive = false;
    next_[index] = index + 1;
    prev_[index + 1] = index;
  }
  // The first live line at or after `index`; lines_.size() when none.
  size_t NextAlive(size_t index) {
    size_t root = index;
    while (next_[root] != root) root = next_[root];
    while (next_[index] != root) {
      const size_t up = next_[index];
      next_[index] = root;
      index = up;
    }
    return root;
  }
  // The last live line before `index`; kNone when none. prev_[k] == k means
  // line k - 1 is alive (or k is 0); otherwise it leads further back.
  size_t PrevAlive(size_t index) {
    size_t root = index;
    while (prev_[root] != root) root = prev_[root];
    while (prev_[index] != root) {
      const size_t up = prev_[index];
      prev_[index] = root;
      index = up;
    }
    return root == 0 ? kNone : root - 1;
  }

  // The lines holding one header text, and the first that may still match.
  struct Headers {
    std::vector<size_t> lines;
    size_t next = 0;
  };

  std::vector<Line> lines_;
  std::unordered_map<std::string_view, Headers> headers_;
  std::vector<size_t> next_;
  std::vector<size_t> prev_;
};

// Removes each named section, then those its lines name: the last name on
// the stack first.
void RemoveSections(std::string& text, std::vector<std::string> stack) {
  if (stack.empty()) return;
  PageLines lines(text);
  lines.Remove(std::move(stack));
  text = lines.Text();
}

bool HoldsKey(const std::vector<std::string>& memberKeys, std::string_view key) {
  for (const std::string& held : memberKeys)
    if (held == key) return true;
  return false;
}

}  // namespace

std::optional<std::string> ReadProfileValue(std::string_view text, std::string_view section,
                                            std::string_view name) {
  bool inSection = false;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = LineEnd(text, pos);
    const std::string_view line = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    if (!line.empty() && line.front() == '[') {
      const size_t close = line.find(']');
      inSection = SameText(Trim(line.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1)),
                           section);
      continue;
    }
    if (!inSection) continue;
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    if (SameText(Trim(line.substr(0, equals)), name)) return std::string(Trim(line.substr(equals + 1)));
  }
  return std::nullopt;
}

Startup ReadStartupSettings(std::string_view page) {
  Startup startup;
  const auto w = ReadProfileValue(page, "Startup", "W");
  startup.isPage = w.has_value() && std::atoi(w->c_str()) != 65535;
  const auto secType = ReadProfileValue(page, "Startup", "SecType");
  startup.isProtected = secType.has_value() && std::atoi(secType->c_str()) == 0;
  if (startup.isProtected) startup.neededKey = ReadProfileValue(page, "Startup", "SEC").value_or("");
  startup.version = ReadProfileValue(page, "Startup", "V").value_or("");
  return startup;
}

bool IsPageAllowed(const Startup& startup, const std::vector<std::string>& memberKeys) {
  if (!startup.isPage) return false;
  if (startup.neededKey.empty()) return true;
  for (const std::string& held : memberKeys)
    if (SameText(held, startup.neededKey)) return true;
  return false;
}

std::optional<std::string> FilterFormSections(const std::string& page, const Startup& startup,
                                              const std::vector<std::string>& memberKeys) {
  if (!startup.isProtected) return page;
  if (std::fabs(std::atof(startup.version.c_str()) - 1.1) > 1.2e-7) return std::nullopt;
  const size_t form = page.find(kFormHeader);
  if (form == std::string::npos) return page;

  // One pass: `out` holds the copy up to `cur` in the page; what lies
  // between is cut.
  std::string out;
  out.reserve(page.size());
  size_t cur = form + kFormHeader.size();
  out.append(page, 0, cur);
  std::vector<std::string> removals;
  for (size_t tag = page.find(kKeyTag, cur); tag != std::string::npos; tag = page.find(kKeyTag, cur)) {
    const size_t keyStart = tag + kKeyTag.size();
    const size_t comma = page.find(',', keyStart);
    // Without a comma anywhere after it, the key is the two characters after
    // the colon.
    const size_t keyEnd = comma != std::string::npos ? comma : std::min(keyStart + 2, page.size());
    const std::string_view key = std::string_view(page).substr(keyStart, keyEnd - keyStart);
    if (HoldsKey(memberKeys, key)) {
      // The entry stays without "SEC:", the key and its comma: the line goes
      // on with the three characters and the section name.
      out.append(page, cur, tag + 1 - cur);
      cur = comma != std::string::npos ? comma + 1 : keyEnd;
      continue;
    }
    const size_t nameStart = (comma != std::string::npos ? comma + 1 : keyEnd) + 3;
    std::string section = SectionNameAt(page, std::min(nameStart, LineEnd(page, keyEnd)));
    if (!section.empty()) removals.push_back(std::move(section));
    // The whole entry line goes with its line break; its start may already
    // be in the copy.
    const size_t lf = page.rfind('\n', tag);
    if (lf != std::string::npos && lf >= cur) {
      out.append(page, cur, lf + 1 - cur);
    } else {
      out.erase(out.rfind('\n') + 1);  // the form's header line ends in one
    }
    cur = std::min(LineEnd(page, tag) + 1, page.size());
  }
  out.append(page, cur, std::string::npos);
  RemoveSections(out, std::move(removals));
  return out;
}

void RemoveSection(std::string& text, const std::string& name) { RemoveSections(text, {name}); }

bool NamesResource(std::string_view copy, std::string_view resource) {
  return Upper(copy).find(Upper(resource) + "\r") != std::string::npos;
}

bool IsNameInsideFolder(std::string_view name) {
  if (name.empty() || name.front() == '\\' || name.front() == '/') return false;
  if (name.size() >= 2 && name[1] == ':') return false;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = name.size();
    if (name.substr(start, end - start) == "..") return false;
    start = end + 1;
  }
  return true;
}

}  // namespace qn::wip
