#include "server/services/service_advertise.h"

#include <asio/steady_timer.hpp>
#include <chrono>
#include <list>
#include <memory>

#include "common/module_registration.h"
#include "common/registry.h"
#include "platform/main_loop.h"
#include "server/core/request_packet.h"
#include "server/core/service_factory.h"
#include "server/core/user.h"
#include "server/services/ad_rotation.h"
#include "server/services/service_cam.h"

QN_REGISTER_SERVICE(CServiceAdvertise);

namespace {

std::unique_ptr<qn::ads::CRotation> g_pRotation;
std::unique_ptr<asio::steady_timer> g_pTimer;

const CModuleRegistration s_advertiseModule(&CServiceAdvertise::InitModule, &CServiceAdvertise::TermModule);

void OnLogonHook(CUser* user, bool logon) {
  if (!g_pRotation) return;
  if (logon)
    g_pRotation->OnLogon(user);
  else
    g_pRotation->OnLogoff(user);
}

void ArmTimer() {
  g_pTimer->expires_after(std::chrono::seconds(qn::ads::kTickSeconds));
  g_pTimer->async_wait([](const asio::error_code& ec) {
    if (ec || !g_pTimer) return;
    CServiceAdvertise::OnTimer();
    if (g_pTimer) ArmTimer();
  });
}

}  // namespace

int CServiceAdvertise::ProcessRequest() { return qn::kResultNoSuchRequest; }

void CServiceAdvertise::InitModule() {
  std::list<std::string> entries;
  CAdvertiseMultiReg().ReadList(entries);
  std::vector<qn::ads::Advertisement> ads = qn::ads::ParseAdvertisements(entries);
  // Without advertisements nothing runs for the life of the server.
  if (ads.empty()) return;
  const bool loop = CQuillnetRegistry().ReadDWORD("Advertise", "Loop", 0) != 0;
  g_pRotation = std::make_unique<qn::ads::CRotation>(std::move(ads), loop);
  AddLogonHook(&OnLogonHook);
  g_pTimer = std::make_unique<asio::steady_timer>(qn::MainLoop());
  ArmTimer();
}

void CServiceAdvertise::TermModule() {
  g_pTimer.reset();
  if (g_pRotation) RemoveLogonHook(&OnLogonHook);
  g_pRotation.reset();
}

void CServiceAdvertise::OnTimer() {
  if (!g_pRotation) return;
  g_pRotation->Tick([](CUser* user, const qn::ads::Advertisement& ad) {
    return SendCAMMessageToUser(user, ad.app, ad.vendor, 0);
  });
}

qn::ads::CRotation* GetAdRotation() { return g_pRotation.get(); }
