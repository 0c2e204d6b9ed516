#include "server/services/external_services.h"

#include <strings.h>

#include <asio/executor_work_guard.hpp>
#include <chrono>
#include <cstdio>
#include <list>
#include <memory>
#include <vector>

#include "common/registry.h"
#include "platform/automation/runtime.h"
#include "platform/main_loop.h"
#include "server/core/server_dispatch.h"

using namespace qn::automation;

namespace {

constexpr uint32_t kDefaultTimeoutSeconds = 30;
constexpr uint32_t kMaxTimeoutSeconds = 24 * 3600;
// Value names and data longer than this do not fit the buffers the key is
// read with, and are not entries.
constexpr size_t kMaxEntryText = 199;

std::list<CServiceEntry> g_entries;
int g_timeoutMs = static_cast<int>(kDefaultTimeoutSeconds * 1000);

// One listed server on its way up.
struct Starting {
  CServiceEntry entry;
  bool settled = false;
  bool ok = false;
  std::string failure;
};

void Report(const Starting& s) {
  std::fprintf(stderr, "External service \"%s\" (%s) is left out: %s.\n", s.entry.name.c_str(),
               s.entry.classText.c_str(), s.failure.c_str());
}

void Settle(const std::shared_ptr<Starting>& s, bool ok, std::string failure) {
  if (s->settled) return;
  s->settled = true;
  s->ok = ok;
  s->failure = std::move(failure);
}

void Introduce(const std::shared_ptr<Starting>& s) {
  s->entry.driver.QuillnetInit(GetServerDispatch(), [s](const Outcome& o, int32_t result) {
    if (o.status == kException) {
      Settle(s, false, "QuillnetInit raised " + std::to_string(o.exception.code) + " " +
                           o.exception.description);
    } else if (o.status != kOk) {
      Settle(s, false, "QuillnetInit failed with " + StatusText(o.status));
    } else {
      s->entry.initResult = result;
      Settle(s, true, "");
    }
  });
}

// Serves the main loop (or, before it runs the runtime, the runtime's own
// reactor) until `done` or the deadline; false when the loop was stopped.
bool ServeUntil(const std::function<bool()>& done, Clock::time_point deadline) {
  if (GetReactor().CanBlock()) {
    Pump(done, deadline);
    return true;
  }
  asio::io_context& loop = qn::MainLoop();
  // Kept busy so that running short of work never marks the loop stopped.
  auto work = asio::make_work_guard(loop);
  while (!done() && Clock::now() < deadline) {
    loop.run_one_until(deadline);
    if (loop.stopped()) return false;
  }
  return true;
}

}  // namespace

const CNameLookup* CServiceEntry::FindItem(const std::string& item) const {
  const auto it = items.find(item);
  return it == items.end() ? nullptr : &it->second;
}

void CServiceEntry::RememberItem(const std::string& item, std::optional<DispId> id) {
  if (items.size() >= kMaxRememberedItems && items.count(item) == 0) return;
  CNameLookup& lookup = items[item];
  lookup.done = true;
  lookup.id = id;
}

int ExternalCallTimeoutMs() { return g_timeoutMs; }

void StartExternalServices() {
  uint32_t seconds = CQuillnetRegistry().ReadDWORD("General", "AutomationTimeout", kDefaultTimeoutSeconds);
  if (seconds == 0 || seconds > kMaxTimeoutSeconds) seconds = kDefaultTimeoutSeconds;
  g_timeoutMs = static_cast<int>(seconds * 1000);

  auto& store = qn::reg::Store::Default();
  qn::reg::KeyHandle key;
  const std::string path = std::string(kQuillnetKey) + "\\" + kServicesSection;
  if (store.OpenKey(qn::reg::KeyHandle::Root(qn::reg::Hive::LocalMachine), path, key) != qn::reg::kOk)
    return;
  std::vector<qn::reg::Value> values;
  if (store.QueryValues(key, values) != qn::reg::kOk) return;

  std::vector<std::shared_ptr<Starting>> starting;
  for (const qn::reg::Value& value : values) {
    if (value.type != qn::reg::kString && value.type != qn::reg::kExpandString) continue;
    auto s = std::make_shared<Starting>();
    s->entry.name = value.name;
    s->entry.classText = qn::reg::AsString(value);
    if (s->entry.name.size() > kMaxEntryText || s->entry.classText.size() > kMaxEntryText) continue;
    starting.push_back(s);
    CreateObjectAsync(
        s->entry.classText,
        [s](Status status, Ref<IDispatch> object) {
          if (s->settled) return;  // too late: left out already
          if (status != kOk || !object) {
            Settle(s, false, "its class cannot be created (" + StatusText(status) + ")");
            return;
          }
          SetCallTimeout(object.get(), g_timeoutMs);
          s->entry.driver = CServiceDriver(std::move(object));
          Introduce(s);
        },
        g_timeoutMs);
  }
  // Creation and introduction each have the time limit; a little more covers
  // the runtime's own timers.
  const auto deadline = Clock::now() + std::chrono::milliseconds(2 * g_timeoutMs + 1000);
  ServeUntil(
      [&] {
        for (const auto& s : starting)
          if (!s->settled) return false;
        return true;
      },
      deadline);
  for (const auto& s : starting) {
    if (!s->settled) Settle(s, false, "no answer in time");
    if (!s->ok) {
      Report(*s);
      s->entry.driver.Release();
      continue;
    }
    g_entries.push_back(std::move(s->entry));
  }
}

void StopExternalServices() { g_entries.clear(); }

CServiceEntry* FindExternalService(const std::string& service) {
  for (CServiceEntry& entry : g_entries)
    if (strcasecmp(entry.name.c_str(), service.c_str()) == 0) return &entry;
  return nullptr;
}
