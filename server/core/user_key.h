// One key a member holds: the right to an application feature and what each
// use of it costs.
#pragma once
#include <cstdint>
#include <string>

class CUserKey {
 public:
  // Both names are kept in upper case: services look keys up by names their
  // clients spell freely.
  CUserKey(int32_t keyId, const std::string& appName, const std::string& keyName, int32_t cost);

  int32_t m_nKeyID;
  std::string m_strAppName;
  std::string m_strKeyName;
  int32_t m_nCost;
};
