#include "server/core/member_link.h"

void DeleteConnectionUser(CUser* /*user*/) {}

void WriteUserAuditTrail(CUser* /*user*/, const std::string& /*service*/,
                         const std::string& /*keyword*/, const std::string& /*description*/) {}

void AppendAnonymousAuditTrail(const std::string& /*service*/, const std::string& /*keyword*/,
                               const std::string& /*description*/) {}
