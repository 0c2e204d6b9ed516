// The "WIP" service: WIP pages and their resources for members' clients,
// each member getting a copy of a page without the form entries and sections
// of WIP keys the member does not hold. Reachable before logon.
#pragma once
#include <string>
#include <vector>

#include "server/core/service_base.h"

class CServiceWIP : public CServiceBase {
 public:
  bool IsAvailable() override { return true; }
  int ProcessRequest() override;

  // Module start: reads "AuditDownloads" under "WIP Server".
  static void InitModule();

 private:
  int GetPageCRC();
  int GetPage();
  int GetResource();
  int GetResourceTimestamp();

  // The member's copy of the page; a result code when the member may not
  // have one (0x1304 in every case).
  int MakeUserPage(std::string& copy);
  // The resource named by the second parameter, checked against the member's
  // copy of the page; its path as the system names it.
  int FindResource(std::string& path);
  // Names of the member's affordable WIP keys; none before logon.
  std::vector<std::string> MemberWipKeys() const;

  // The page or resource being sent.
  std::string m_strName;
};

// Whether page views are audited (tests).
bool IsWipAuditOn();
