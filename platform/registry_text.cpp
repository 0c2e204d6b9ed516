#include "platform/registry_text.h"

#include <cstdio>

namespace qn::reg::text {

namespace {

constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kLocalMachine = "HKEY_LOCAL_MACHINE";
constexpr std::string_view kClassesRoot = "HKEY_CLASSES_ROOT";
constexpr std::string_view kClassesPath = "SOFTWARE\\Classes";

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

bool StartsWithFold(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualFold(s.substr(0, prefix.size()), prefix);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = Lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// A quoted text starting at s[pos] == '"'; only \\ and \" are escapes, any
// other backslash stands for itself.
bool ParseQuoted(std::string_view s, size_t& pos, std::string& out) {
  ++pos;
  while (pos < s.size()) {
    const char c = s[pos];
    if (c == '\\' && pos + 1 < s.size() && (s[pos + 1] == '\\' || s[pos + 1] == '"')) {
      out += s[pos + 1];
      pos += 2;
      continue;
    }
    if (c == '"') {
      ++pos;
      return true;
    }
    out += c;
    ++pos;
  }
  return false;
}

bool ParseHexBytes(std::string_view s, std::vector<uint8_t>& out) {
  size_t i = 0;
  auto skip = [&] {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  };
  skip();
  while (i < s.size()) {
    int hi = HexDigit(s[i]);
    if (hi < 0) return false;
    ++i;
    int byte = hi;
    if (i < s.size() && HexDigit(s[i]) >= 0) byte = hi * 16 + HexDigit(s[i++]);
    out.push_back(static_cast<uint8_t>(byte));
    skip();
    if (i == s.size()) break;
    if (s[i] != ',') return false;
    ++i;
    skip();
  }
  return true;
}

void AppendUtf8(std::vector<uint8_t>& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<uint8_t>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<uint8_t>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<uint8_t>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<uint8_t>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<uint8_t>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<uint8_t>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<uint8_t>(0x80 | (cp & 0x3F)));
  }
}

std::vector<uint8_t> Utf16ToUtf8(const std::vector<uint8_t>& in) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < in.size(); i += 2) {
    uint32_t unit = in[i] | (in[i + 1] << 8);
    if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < in.size()) {
      uint32_t low = in[i + 2] | (in[i + 3] << 8);
      if (low >= 0xDC00 && low < 0xE000) {
        AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
        continue;
      }
    }
    if (unit >= 0xD800 && unit < 0xE000) unit = 0xFFFD;
    AppendUtf8(out, unit);
  }
  return out;
}

bool ParseData(std::string_view s, bool utf16, Value& v) {
  s = TrimRight(TrimLeft(s));
  if (!s.empty() && s.front() == '"') {
    size_t pos = 0;
    std::string text;
    if (!ParseQuoted(s, pos, text) || pos != s.size()) return false;
    v.type = kString;
    v.data.assign(text.begin(), text.end());
    v.data.push_back(0);
    return true;
  }
  if (StartsWithFold(s, "dword:")) {
    std::string_view digits = s.substr(6);
    if (digits.empty() || digits.size() > 8) return false;
    uint32_t n = 0;
    for (char c : digits) {
      int d = HexDigit(c);
      if (d < 0) return false;
      n = n * 16 + static_cast<uint32_t>(d);
    }
    v = MakeDword(v.name, n);
    return true;
  }
  uint32_t type = kBinary;
  std::string_view bytes;
  if (StartsWithFold(s, "hex:")) {
    bytes = s.substr(4);
  } else if (StartsWithFold(s, "hex(")) {
    size_t close = s.find(')');
    if (close == std::string_view::npos || close == 4 || close > 12 || close + 1 >= s.size() ||
        s[close + 1] != ':')
      return false;
    uint32_t n = 0;
    for (char c : s.substr(4, close - 4)) {
      int d = HexDigit(c);
      if (d < 0) return false;
      n = n * 16 + static_cast<uint32_t>(d);
    }
    type = n;
    bytes = s.substr(close + 2);
  } else {
    return false;
  }
  std::vector<uint8_t> data;
  if (!ParseHexBytes(bytes, data)) return false;
  if (utf16 && (type == kExpandString || type == kMultiString) && data.size() % 2 == 0)
    data = Utf16ToUtf8(data);
  v.type = type;
  v.data = std::move(data);
  return true;
}

bool ParseValueLine(std::string_view line, bool utf16, Value& v) {
  size_t pos = 0;
  v.name.clear();
  if (line.empty()) return false;
  if (line[0] == '@') {
    pos = 1;
  } else if (line[0] == '"') {
    if (!ParseQuoted(line, pos, v.name)) return false;
  } else {
    return false;
  }
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  if (pos >= line.size() || line[pos] != '=') return false;
  return ParseData(line.substr(pos + 1), utf16, v);
}

// "HKEY_LOCAL_MACHINE\a\b" to "a\b"; false for a hive not served here or an
// empty path component.
bool ParseKeyPath(std::string_view inner, std::string& path) {
  size_t slash = inner.find('\\');
  std::string_view hive = inner.substr(0, slash);
  std::string_view rest = slash == std::string_view::npos ? std::string_view() : inner.substr(slash + 1);
  while (!rest.empty() && rest.back() == '\\') rest.remove_suffix(1);
  if (rest.find("\\\\") != std::string_view::npos || (!rest.empty() && rest.front() == '\\'))
    return false;
  if (EqualFold(hive, kLocalMachine)) {
    path = rest;
  } else if (EqualFold(hive, kClassesRoot)) {
    path = kClassesPath;
    if (!rest.empty()) path.append("\\").append(rest);
  } else {
    return false;
  }
  return true;
}

void AppendQuoted(std::string& out, std::string_view text) {
  out += '"';
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
}

bool PlainString(const Value& v) {
  if (v.data.empty() || v.data.back() != 0) return false;
  for (size_t i = 0; i + 1 < v.data.size(); ++i) {
    uint8_t c = v.data[i];
    if (c == 0 || c == '\r' || c == '\n') return false;
  }
  return true;
}

void AppendValue(std::string& out, const Value& v) {
  std::string line;
  if (v.name.empty())
    line = "@";
  else
    AppendQuoted(line, v.name);
  line += '=';
  if (v.type == kString && PlainString(v)) {
    AppendQuoted(line, std::string_view(reinterpret_cast<const char*>(v.data.data()), v.data.size() - 1));
    out += line;
    out += '\n';
    return;
  }
  if (v.type == kDword && v.data.size() == 4) {
    char buf[16];
    uint32_t n = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (static_cast<uint32_t>(v.data[3]) << 24);
    std::snprintf(buf, sizeof buf, "dword:%08x", n);
    out += line;
    out += buf;
    out += '\n';
    return;
  }
  if (v.type == kBinary) {
    line += "hex:";
  } else {
    char buf[24];
    std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
    line += buf;
  }
  // Lines of about 80 columns, continued by a trailing backslash, as the
  // export format writes them.
  bool any_on_line = false;
  for (size_t i = 0; i < v.data.size(); ++i) {
    char piece[4];
    std::snprintf(piece, sizeof piece, "%02x", v.data[i]);
    std::string item = piece;
    if (i + 1 < v.data.size()) item += ',';
    if (any_on_line && line.size() + item.size() > 77) {
      out += line;
      out += "\\\n";
      line = "  ";
    }
    line += item;
    any_on_line = true;
  }
  out += line;
  out += '\n';
}

}  // namespace

std::string Fold(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = Lower(c);
  return out;
}

bool EqualFold(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

size_t Document::Find(std::string_view path) const {
  auto it = index_.find(Fold(path));
  return it == index_.end() ? std::string::npos : it->second;
}

void Document::Reindex() {
  index_.clear();
  for (size_t i = 0; i < keys.size(); ++i)
    if (!keys[i].foreign) index_.emplace(Fold(keys[i].path), i);
}

bool Parse(std::string_view text, Document& doc, std::string& error) {
  doc = Document();
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::vector<std::string_view> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  size_t first = 0;
  while (first < lines.size() && TrimLeft(TrimRight(lines[first])).empty()) ++first;
  if (first == lines.size()) return true;  // an empty file is an empty registry
  const std::string_view header = TrimLeft(TrimRight(lines[first]));
  const bool utf16 = header == kHeader5;
  if (header != kHeader4 && !utf16) {
    error = "the first line is neither REGEDIT4 nor \"Windows Registry Editor Version 5.00\"";
    return false;
  }

  std::unordered_map<std::string, size_t> index;
  std::string pending;
  size_t current = std::string::npos;
  for (size_t i = first + 1; i < lines.size(); ++i) {
    const std::string_view line = TrimRight(lines[i]);
    const std::string_view t = TrimLeft(line);
    if (t.empty()) continue;
    if (t.front() == ';') {
      pending.append(line).append("\n");
      continue;
    }
    if (t.front() == '[' && t.back() == ']' && t.size() >= 2) {
      const std::string_view inner = t.substr(1, t.size() - 2);
      Key key;
      if (!ParseKeyPath(inner, key.path)) {
        key.foreign = true;
        key.path = inner;
      } else if (auto it = index.find(Fold(key.path)); it != index.end()) {
        // A key written twice is one key; its later values win.
        current = it->second;
        continue;
      }
      key.lead = std::move(pending);
      pending.clear();
      doc.keys.push_back(std::move(key));
      current = doc.keys.size() - 1;
      if (!doc.keys.back().foreign) index.emplace(Fold(doc.keys.back().path), current);
      continue;
    }
    std::string logical(t);
    std::string physical(line);
    physical += '\n';
    while (!logical.empty() && logical.back() == '\\' && i + 1 < lines.size()) {
      logical.pop_back();
      ++i;
      logical.append(TrimLeft(TrimRight(lines[i])));
      physical.append(TrimRight(lines[i])).append("\n");
    }
    Value v;
    if (current == std::string::npos || !ParseValueLine(logical, utf16, v)) {
      pending += physical;
      continue;
    }
    auto& values = doc.keys[current].values;
    bool replaced = false;
    for (auto& e : values) {
      if (EqualFold(e.value.name, v.name)) {
        v.name = e.value.name;
        e.value = std::move(v);
        e.lead += pending;
        replaced = true;
        break;
      }
    }
    if (!replaced) values.push_back(Entry{std::move(v), pending});
    pending.clear();
  }
  doc.tail = std::move(pending);
  doc.Reindex();
  return true;
}

std::string Format(const Document& doc) {
  std::string out(kHeader4);
  out += '\n';
  for (const auto& key : doc.keys) {
    out += '\n';
    out += key.lead;
    out += '[';
    if (key.foreign) {
      out += key.path;
    } else {
      out += kLocalMachine;
      if (!key.path.empty()) out.append("\\").append(key.path);
    }
    out += "]\n";
    for (const auto& e : key.values) {
      out += e.lead;
      AppendValue(out, e.value);
    }
  }
  if (!doc.tail.empty()) {
    out += '\n';
    out += doc.tail;
  }
  return out;
}

}  // namespace qn::reg::text
