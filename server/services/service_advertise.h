// The "Advertise" module: a rotation of advertisements (client applications
// the member's client application manager is told to present), pushed to
// every logged-on member through CAM messages by a 5-second timer. The list
// and "Loop" are read from the registry once, at server start. The service
// itself has no requests.
#pragma once
#include "server/core/service_base.h"

namespace qn::ads {
class CRotation;
}

class CServiceAdvertise : public CServiceBase {
 public:
  bool IsAvailable() override { return true; }
  int ProcessRequest() override;

  static void InitModule();
  static void TermModule();
  // One tick of the timer (tests drive it).
  static void OnTimer();
};

// The running rotation; null when no advertisements are configured.
qn::ads::CRotation* GetAdRotation();
