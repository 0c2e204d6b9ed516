#include "platform/automation/call_script.h"

#include <charconv>

namespace qn::automation::script {

namespace {

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      const char next = s[i + 1];
      const char* mapped = next == 't' ? "\t" : next == 'n' ? "\n" : next == 'r' ? "\r"
                         : next == '\\' ? "\\" : nullptr;
      if (mapped != nullptr) {
        out += mapped;
        ++i;
        continue;
      }
    }
    out += s[i];
  }
  return out;
}

std::string Escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
    }
  }
  return out;
}

template <class T>
bool Number(const std::string& text, T* out) {
  const char* b = text.data();
  const char* e = b + text.size();
  auto [p, ec] = std::from_chars(b, e, *out);
  return !text.empty() && ec == std::errc() && p == e;
}

bool ParseArgument(const std::string& field, Argument* out) {
  if (field == "sink") {
    out->kind = Argument::kSink;
    return true;
  }
  std::string body = field;
  if (!body.empty() && body[0] == '&') {
    out->kind = Argument::kByRef;
    body.erase(0, 1);
  }
  const size_t colon = body.find(':');
  if (colon == std::string::npos) return false;
  const std::string type = body.substr(0, colon);
  const std::string text = body.substr(colon + 1);
  if (type == "s") {
    out->value = Variant::Bstr(Unescape(text));
    return true;
  }
  if (type == "i4") {
    int32_t n = 0;
    if (!Number(text, &n)) return false;
    out->value = Variant::I4(n);
    return true;
  }
  if (out->kind == Argument::kByRef) return false;
  if (type == "i2") {
    int16_t n = 0;
    if (!Number(text, &n)) return false;
    out->value = Variant::I2(n);
    return true;
  }
  if (type == "b" && (text == "0" || text == "1")) {
    out->value = Variant::Bool(text == "1");
    return true;
  }
  return false;
}

}  // namespace

bool ParseCall(const std::string& line, CallLine* out) {
  *out = CallLine();
  const std::vector<std::string> fields = SplitTabs(line);
  const std::string& member = fields[0];
  if (member.empty()) return false;
  if (member[0] == '#') {
    if (!Number(member.substr(1), &out->id)) return false;
  } else {
    out->name = member;
  }
  for (size_t i = 1; i < fields.size(); ++i) {
    Argument a;
    if (!ParseArgument(fields[i], &a)) return false;
    out->args.push_back(std::move(a));
  }
  return true;
}

std::string Field(const Variant& v) {
  const Variant& value = v.Deref();
  if (value.IsArray()) {
    // Elements escaped one by one; the separators stay as they are.
    std::string text;
    const SafeArray& a = value.Array();
    const size_t row = a.Dims() >= 2 ? a.Bounds().back().count : 0;
    for (size_t i = 0; i < a.Size(); ++i) {
      if (i > 0) text += (row != 0 && i % row == 0) ? ";" : ",";
      text += Field(a.GetFlat(i));
    }
    return text;
  }
  return Escape(ToText(value));
}

std::string OkLine(const Variant& result, const std::vector<Variant>& byRef) {
  std::string line = "ok\t" + Field(result);
  for (const Variant& v : byRef) line += "\t" + Field(v);
  return line;
}

std::string ErrorLine(Status status, const ExcepInfo* exception) {
  std::string line = "error\t" + StatusText(status);
  if (status == kException && exception != nullptr)
    line += "\t" + std::to_string(exception->code) + "\t" + Escape(exception->description);
  return line;
}

std::string EventLine(DispId id, const std::vector<Variant>& args) {
  std::string line = "event\t" + std::to_string(id);
  for (const Variant& a : args) line += "\t" + Field(a);
  return line;
}

}  // namespace qn::automation::script
