#include "tools/dbsetup/core/connect_text.h"

#include <cctype>

#include "tools/dbsetup/core/installer_texts.h"

namespace qn::dbsetup {

namespace {

constexpr const char* kLocalHost = "localhost";
constexpr const char* kStandardPort = "5432";

bool HasControlCharacter(const std::string& text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
}

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

}  // namespace

std::string AttributeList(const char* format, const std::vector<std::string>& arguments) {
  std::string out;
  size_t next = 0;
  for (const char* p = format; *p; ++p) {
    if (*p == '%' && p[1] == 'c') {
      out += '\0';
      ++p;
    } else if (*p == '%' && p[1] == 's') {
      if (next < arguments.size()) out += arguments[next++];
      ++p;
    } else {
      out += *p;
    }
  }
  out += '\0';
  return out;
}

std::vector<std::pair<std::string, std::string>> ParseAttributeList(const std::string& list) {
  std::vector<std::pair<std::string, std::string>> attributes;
  size_t start = 0;
  while (start < list.size() && list[start] != '\0') {
    size_t end = list.find('\0', start);
    if (end == std::string::npos) end = list.size();
    const std::string item = list.substr(start, end - start);
    const size_t eq = item.find('=');
    if (eq == std::string::npos) attributes.emplace_back(item, std::string());
    else attributes.emplace_back(item.substr(0, eq), item.substr(eq + 1));
    start = end + 1;
  }
  return attributes;
}

std::string ConnectValue(const std::string& value) {
  const bool plain = value.find_first_of(";{}") == std::string::npos &&
                     (value.empty() || (value.front() != ' ' && value.back() != ' '));
  if (plain) return value;
  std::string quoted = "{";
  for (char c : value) {
    quoted += c;
    if (c == '}') quoted += '}';
  }
  return quoted + "}";
}

bool ParseServerName(const std::string& serverName, ServerAddress& out) {
  const std::string name = Trim(serverName);
  if (name == texts::kLocalServerName) {
    out = {kLocalHost, kStandardPort};
    return true;
  }
  std::string host = name, port = kStandardPort;
  const size_t comma = name.rfind(',');
  if (comma != std::string::npos) {
    host = Trim(name.substr(0, comma));
    port = Trim(name.substr(comma + 1));
    if (port.empty() || port.size() > 5) return false;
    for (char c : port)
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    const long number = std::stol(port);
    if (number < 1 || number > 65535) return false;
    port = std::to_string(number);
  }
  if (host.empty()) return false;
  out = {host, port};
  return true;
}

bool AcceptableSqlServerParams(const SqlServerParams& params) {
  for (const std::string* text : {&params.database, &params.loginId, &params.password, &params.serverName})
    if (HasControlCharacter(*text)) return false;
  ServerAddress address;
  return ParseServerName(params.serverName, address);
}

}  // namespace qn::dbsetup
