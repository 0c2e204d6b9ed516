// A connection without a socket that keeps what the server sends it, and a
// service whose behaviour each test sets, for driving the server object and
// request contexts directly.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "common/byte_block.h"
#include "server/core/service_base.h"
#include "server/core/transport_base.h"

class FakeConnection : public CTransportBase {
 public:
  bool IsAvailable() override { return true; }
  std::string GetDescription() override { return "fake"; }
  void Shutdown() override {}
  void Send(CByteBlock* payload, int32_t) override {
    sent.emplace_back(payload->data, payload->data + payload->length);
    delete payload;
  }
  void Disconnect() override { disconnected = true; }
  std::vector<std::vector<uint8_t>> sent;
  bool disconnected = false;
};

class CServiceUnitProbe : public CServiceBase {
 public:
  bool IsAvailable() override { return true; }
  int ProcessRequest() override { return onProcess ? onProcess(*this) : 0; }
  int OnMoreParams() override { return onMoreParams ? onMoreParams(*this) : CServiceBase::OnMoreParams(); }
  ~CServiceUnitProbe() override { ++destroyed; }

  static inline std::function<int(CServiceUnitProbe&)> onProcess;
  static inline std::function<int(CServiceUnitProbe&)> onMoreParams;
  static inline int destroyed = 0;
};
