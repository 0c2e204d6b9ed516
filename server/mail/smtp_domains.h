// The mail domains the SMTP server takes mail for: the primary domain (once
// known), the local host's name, and the additional domains as configured.
#pragma once
#include <string>
#include <vector>

namespace qn::smtp {

// "AdditionalDomainNames": entries in turn, blanks and tabs before each
// skipped, each running to the next comma, blank or tab (which is skipped)
// or the end. The list ends at its first empty entry, so a blank before a
// comma ends it there.
std::vector<std::string> ParseAdditionalDomains(const std::string& text);

class Domains {
 public:
  Domains(std::string primary, const std::string& additional)
      : m_strPrimary(std::move(primary)), m_additional(ParseAdditionalDomains(additional)) {}

  // Without regard to case: the primary domain (not before it is known), the
  // host name, or an additional domain.
  bool IsLocal(const std::string& domain) const;

  const std::string& Primary() const { return m_strPrimary; }
  void SetPrimary(const std::string& primary) { m_strPrimary = primary; }
  const std::string& HostName() const { return m_strHostName; }
  void SetHostName(const std::string& host) { m_strHostName = host; }
  const std::vector<std::string>& Additional() const { return m_additional; }

 private:
  std::string m_strPrimary;
  std::string m_strHostName;
  std::vector<std::string> m_additional;
};

}  // namespace qn::smtp
