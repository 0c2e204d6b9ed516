#include "server/core/user_key.h"

#include <cctype>

namespace {
std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}
}  // namespace

CUserKey::CUserKey(int32_t keyId, const std::string& appName, const std::string& keyName,
                   int32_t cost)
    : m_nKeyID(keyId), m_strAppName(Upper(appName)), m_strKeyName(Upper(keyName)), m_nCost(cost) {}
