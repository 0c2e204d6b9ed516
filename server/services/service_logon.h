// The "Logon" service: checks a member's user ID and password, or creates a
// new account, and gives the connection its member.
#pragma once
#include <cstdint>
#include <string>

#include "server/core/service_base.h"

struct CLogonRead;

namespace qn {
inline constexpr uint16_t kResultDormant = 0x1308;
inline constexpr uint16_t kResultNoCredits = 0x1309;
inline constexpr uint16_t kResultWrongPassword = 0x130A;
inline constexpr uint16_t kResultNoAccount = 0x130B;
inline constexpr uint16_t kResultAccountExists = 0x130C;
inline constexpr uint16_t kResultAlreadyLoggedOn = 0x1406;
}  // namespace qn

class CServiceLogon : public CServiceBase {
 public:
  bool IsAvailable() override { return true; }
  int ProcessRequest() override;
  // The password of Logon and CreateAccount.
  bool IsSecretParam(int index) const override { return index == 1; }

 private:
  int Logon();
  int CreateAccount();
  // The checks both requests start with; 0 when they pass.
  int CheckCanLogOn(std::string& userId, std::string& password);
  // Creates the member, binds it to the connection and ends the request;
  // with `read`, from the row (and keys) read already.
  void LogOnMember(const std::string& userId, CLogonRead* read = nullptr);
  // Adds the account row and its default key chains; on a failure removes
  // what it added and throws.
  void AddAccountRows(const std::string& userId, const std::string& password);
};
