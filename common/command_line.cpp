#include "common/command_line.h"

namespace {
bool IsBlank(char c) { return c == ' ' || c == '\t'; }
}  // namespace

std::string JoinCommandLine(const std::vector<std::string>& args) {
  std::string line;
  for (const auto& arg : args) {
    if (!line.empty()) line += ' ';
    bool quote = arg.find_first_of(" \t") != std::string::npos;
    if (quote) line += '"';
    line += arg;
    if (quote) line += '"';
  }
  return line;
}

int GetCommandLineToken(const char*& cursor, size_t bufferSize, std::string* token) {
  if (token != nullptr) token->clear();
  int copied = 0;
  bool quoted = false;
  size_t scanned = 0;
  while (*cursor != '\0' && scanned < bufferSize) {
    char c = *cursor;
    if (!quoted && IsBlank(c)) break;
    ++cursor;
    ++scanned;
    if (c == '"') {
      quoted = !quoted;
      continue;
    }
    if (token != nullptr) token->push_back(c);
    ++copied;
  }
  while (IsBlank(*cursor)) ++cursor;
  return quoted ? -1 : copied;
}
