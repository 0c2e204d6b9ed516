// Where the core meets the member module (CUser) and the audit trail. The
// member module fills in the bodies that take a CUser; until it lands nothing
// can create a member.
#pragma once
#include <string>

class CUser;

// Deletes the member a connection owns (the member logs off).
void DeleteConnectionUser(CUser* user);

// The member's audit-trail entry.
void WriteUserAuditTrail(CUser* user, const std::string& service, const std::string& keyword,
                         const std::string& description);

// An AuditTrail row for a request before logon: UserID "<User not yet logged
// on>", the service, keyword and description; database failures swallowed.
void AppendAnonymousAuditTrail(const std::string& service, const std::string& keyword,
                               const std::string& description);
