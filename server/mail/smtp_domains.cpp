#include "server/mail/smtp_domains.h"

#include <strings.h>

namespace qn::smtp {

namespace {

bool SameName(const std::string& a, const std::string& b) {
  return !a.empty() && a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

}  // namespace

std::vector<std::string> ParseAdditionalDomains(const std::string& text) {
  std::vector<std::string> domains;
  size_t at = 0;
  for (;;) {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
    const size_t end = text.find_first_of(", \t", at);
    const size_t stop = end == std::string::npos ? text.size() : end;
    if (stop == at) break;
    domains.push_back(text.substr(at, stop - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return domains;
}

bool Domains::IsLocal(const std::string& domain) const {
  if (domain.empty()) return false;
  if (SameName(m_strPrimary, domain) || SameName(m_strHostName, domain)) return true;
  for (const std::string& entry : m_additional)
    if (SameName(entry, domain)) return true;
  return false;
}

}  // namespace qn::smtp
