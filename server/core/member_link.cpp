#include "server/core/member_link.h"

#include "server/core/user.h"

void DeleteConnectionUser(CUser* user) { delete user; }

void WriteUserAuditTrail(CUser* user, const std::string& service, const std::string& keyword,
                         const std::string& description) {
  user->WriteAuditTrail(service, keyword, description);
}

void AppendAnonymousAuditTrail(const std::string& service, const std::string& keyword,
                               const std::string& description) {
  AppendAuditTrail("<User not yet logged on>", service, keyword, description);
}
