// The client side of an external service server's main object: "QuillnetInit"
// and "CreateService" by name, their IDs looked up once, and the one-way
// notification on dispatch ID 1. Calls never wait: an object of another
// process answers later, on the main loop.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/automation/dispatch.h"

class CServiceDriver {
 public:
  CServiceDriver() = default;
  explicit CServiceDriver(qn::automation::Ref<qn::automation::IDispatch> object)
      : m_object(std::move(object)) {}

  // The server object goes to the external server; `done` gets the call's
  // status (kException with its code and text) and the long it returned.
  void QuillnetInit(qn::automation::Ref<qn::automation::IDispatch> server,
                    std::function<void(const qn::automation::Outcome&, int32_t)> done);
  // A new service object for the service name; null with a failure.
  void CreateService(const std::string& name,
                     std::function<void(qn::automation::Status,
                                        qn::automation::Ref<qn::automation::IDispatch>)> done);
  // Dispatch ID 1 as a method with one long; nothing waits for it.
  void Notify(int32_t value);

  qn::automation::IDispatch* GetDispatch() const { return m_object.get(); }
  void Release() { m_object.reset(); }

 private:
  // Shared with the look-ups under way: an answer may come after the driver
  // has gone.
  struct CachedIds {
    std::optional<qn::automation::DispId> init;
    std::optional<qn::automation::DispId> create;
  };
  using Slot = std::optional<qn::automation::DispId> CachedIds::*;

  // The member by its cached ID (looked up on first use), as a method.
  void CallByName(const char* name, Slot slot, std::vector<qn::automation::Variant> args,
                  qn::automation::Completion done);

  qn::automation::Ref<qn::automation::IDispatch> m_object;
  std::shared_ptr<CachedIds> m_ids = std::make_shared<CachedIds>();
};
