#include "server/core/member_link.h"

#include "server/data/connection_pool.h"
#include "server/data/schema_recordsets.h"

void DeleteConnectionUser(CUser* /*user*/) {}

void WriteUserAuditTrail(CUser* /*user*/, const std::string& /*service*/,
                         const std::string& /*keyword*/, const std::string& /*description*/) {}

void AppendAnonymousAuditTrail(const std::string& service, const std::string& keyword,
                               const std::string& description) {
  try {
    CAuditTrail_2 audit(GetDatabase("DSN=Quillnet Server;DBQ=QNAUDIT.MDB", false));
    audit.m_strFilter = "AuditTrailID = 0";
    audit.Open(CRecordset::dynaset, nullptr, CRecordset::appendOnly);
    audit.AddNew();
    audit.m_UserID = "<User not yet logged on>";
    audit.m_ServiceName = service;
    audit.m_KeyWord = keyword;
    audit.m_Description = description;
    audit.Update();
    audit.Close();
  } catch (...) {
    // The audit trail never stops a request.
  }
}
