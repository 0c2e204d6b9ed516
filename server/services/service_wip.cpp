#include "server/services/service_wip.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "common/crc32.h"
#include "common/drive_paths.h"
#include "common/helpers.h"
#include "common/module_registration.h"
#include "common/registry.h"
#include "server/core/request_context.h"
#include "server/core/request_packet.h"
#include "server/core/result_set.h"
#include "server/core/service_factory.h"
#include "server/core/user.h"
#include "server/services/wip_page.h"

QN_REGISTER_SERVICE(CServiceWIP);

namespace {

bool g_bAuditViews = false;

const CModuleRegistration s_wipModule(&CServiceWIP::InitModule, nullptr);

struct WipRequest {
  const char* item;
  int params;  // exactly this many, or -1 for any
  int (CServiceWIP::*handler)();
};

// The whole regular file behind a system path; false when there is none.
bool ReadWholeFile(const std::string& systemPath, std::string& text) {
  const std::string native = ToNativePath(systemPath);
  if (native.empty()) return false;
  const int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  text.clear();
  char buffer[65536];
  while (ok) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    text.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return ok;
}

}  // namespace

bool IsWipAuditOn() { return g_bAuditViews; }

void CServiceWIP::InitModule() {
  g_bAuditViews = CQuillnetRegistry().ReadDWORD("WIP Server", "AuditDownloads", 0) == 1;
}

int CServiceWIP::ProcessRequest() {
  static const WipRequest kRequests[] = {
      {"GetPageCRC", -1, &CServiceWIP::GetPageCRC},
      {"GetPage", -1, &CServiceWIP::GetPage},
      {"GetResource", 2, &CServiceWIP::GetResource},
      {"GetResourceTimestamp", 2, &CServiceWIP::GetResourceTimestamp},
  };
  for (const WipRequest& request : kRequests) {
    if (strcasecmp(GetItem().c_str(), request.item) != 0) continue;
    if (request.params >= 0 && GetParamCount() != request.params) return qn::kResultBadParameters;
    return (this->*request.handler)();
  }
  return qn::kResultNoSuchRequest;
}

std::vector<std::string> CServiceWIP::MemberWipKeys() const {
  std::vector<std::string> keys;
  const CUser* user = GetUser();
  if (user == nullptr) return keys;
  for (const CUserKey& key : user->GetKeys())
    if (key.m_strAppName == "WIP" && user->GetCredits() >= key.m_nCost) keys.push_back(key.m_strKeyName);
  return keys;
}

int CServiceWIP::MakeUserPage(std::string& copy) {
  std::string name;
  // Pages lie in "WIP\" and nowhere else.
  if (GetParam(0, name) != 0 || !qn::wip::IsNameInsideFolder(name)) return qn::kResultBadParameters;
  std::string page;
  if (!ReadWholeFile(GetProgramDirectory() + "WIP\\" + name, page)) return qn::kResultBadParameters;
  const qn::wip::Startup startup = qn::wip::ReadStartupSettings(page);
  const std::vector<std::string> keys = MemberWipKeys();
  if (!qn::wip::IsPageAllowed(startup, keys)) return qn::kResultBadParameters;
  auto filtered = qn::wip::FilterFormSections(page, startup, keys);
  if (!filtered) return qn::kResultBadParameters;
  m_strName = name;
  copy = std::move(*filtered);
  return 0;
}

// The copy's CRC needs no file of its own: it is taken over the text.
int CServiceWIP::GetPageCRC() {
  std::string copy;
  if (const int refused = MakeUserPage(copy)) return refused;
  CColumnTypes schema(1, 1);
  schema.AddColumn(kColumnLong, "CRC");
  GetRequest()->SendData(schema.BuildPacket());
  CResultRow row(schema);
  const int32_t crc = static_cast<int32_t>(ComputeCrc32(copy.size(), copy.data()));
  row.AddValue(&crc);
  GetRequest()->SendMoreData(row.BuildPacket());
  if (g_bAuditViews) PostAudit("View", "Viewed Menu \"" + m_strName + "\"");
  GetRequest()->EndRequest();
  return 0;
}

int CServiceWIP::GetPage() {
  std::string copy;
  if (const int refused = MakeUserPage(copy)) return refused;
  // The copy goes from memory, stamped with the time it was made.
  return SendFileBytes(std::move(copy), static_cast<uint32_t>(std::time(nullptr))) ? 0
                                                                                  : qn::kResultServiceException;
}

int CServiceWIP::FindResource(std::string& path) {
  std::string resource;
  if (GetParam(1, resource) != 0 || !qn::wip::IsNameInsideFolder(resource)) return qn::kResultBadParameters;
  std::string copy;
  if (const int refused = MakeUserPage(copy)) return refused;
  if (!qn::wip::NamesResource(copy, resource)) return qn::kResultBadParameters;
  m_strName = resource;
  path = GetProgramDirectory() + "WIP\\RESOURCE\\" + resource;
  return 0;
}

int CServiceWIP::GetResource() {
  std::string path;
  if (const int refused = FindResource(path)) return refused;
  return SendFile(path, false) ? 0 : qn::kResultServiceException;
}

int CServiceWIP::GetResourceTimestamp() {
  std::string path;
  if (const int refused = FindResource(path)) return refused;
  const std::string native = ToNativePath(path);
  struct stat st;
  if (native.empty() || ::stat(native.c_str(), &st) != 0) return qn::kResultServiceException;
  CColumnTypes schema(1, 1);
  schema.AddColumn(kColumnDate, "Stamp");
  GetRequest()->SendData(schema.BuildPacket());
  CResultRow row(schema);
  const int32_t modified = static_cast<int32_t>(st.st_mtime);
  row.AddValue(&modified);
  GetRequest()->SendMoreData(row.BuildPacket());
  GetRequest()->EndRequest();
  return 0;
}
