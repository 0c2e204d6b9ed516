// The "Account" service: a member's own account, profile, billing data, keys
// and credits, the members online, searches by name and user ID, other
// members' descriptions and photos. Lists go out through the service base's
// row stream; one-row answers in the request's own turn.
#pragma once
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "server/core/service_base.h"
#include "server/core/user_key.h"

class CAccounts_2;
class CColumnTypes;

namespace qn {
inline constexpr uint16_t kResultAliasTaken = 0x1600;
inline constexpr uint16_t kResultNoMailGateway = 0x1601;
}  // namespace qn

// Whether the SMTP gateway runs; the mail module installs its probe. Without
// one, Internet addresses are refused.
void SetSmtpGatewayProbe(bool (*probe)());

// The photo file of a member: USRPHOTS/ under the program directory, named by
// the checksum of "Personal Photo of " + the user ID.
std::string UserPhotoPath(const std::string& userId);

class CServiceAccount : public CServiceBase {
 public:
  CServiceAccount();
  ~CServiceAccount() override;

  bool IsAvailable() override { return true; }
  int ProcessRequest() override;
  // The password of SetPassword and of SetProfileInfo.
  bool IsSecretParam(int index) const override;

 private:
  struct Handler;
  static const Handler kHandlers[];

  int FindByFirstName();
  int FindByLastName();
  int FindByUserID();
  int Search(const std::string& filter, const std::string& sort);
  int GetAccountInfo();
  int GetBillingInfo();
  int GetKeys();
  int GetKeysForApp();
  int GetProfileInfo();
  int GetUserDescription();
  int GetUserID();
  int GetCredits();
  int GetUsersOnline();
  int SetBillingInfo();
  int SetPassword();
  int SetProfileInfo();
  int SetUserDescription();
  int SetUserPhoto();
  int GetUserPhoto();
  int GetHomeEmailAddress();
  int SetHomeEmailAddress();
  int GetInternetAlias();
  int SetInternetAlias();

  // The member's keys, all or those of one application (`appFilter`).
  int StreamKeys(const std::string* appFilter);
  void SendRow(const std::vector<const void*>& values);
  // The schema, its one row and the end.
  int SendSingleRow(const std::vector<const void*>& values);
  // The parameters in order; false when their count is not `count`.
  bool TakeParams(int count, std::vector<std::string>& out);

  std::unique_ptr<CColumnTypes> m_pSchema;
  std::list<CUserKey>::const_iterator m_nextKey;
  std::unique_ptr<CAccounts_2> m_pSearch;
  std::string m_strAppFilter;
  std::vector<std::string> m_online;
  size_t m_nOnlineNext = 0;
};
