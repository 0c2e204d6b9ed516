#include "common/drive_paths.h"

#include "platform/registry_store.h"

std::optional<std::string> CDosDeviceMap::Target(const std::string& device) const {
  auto& store = qn::reg::Store::Default();
  qn::reg::KeyHandle key;
  if (store.OpenKey(qn::reg::KeyHandle::Root(qn::reg::Hive::LocalMachine), kDosDevicesKey, key) !=
      qn::reg::kOk)
    return std::nullopt;
  qn::reg::Value value;
  if (store.QueryValue(key, device, value) != qn::reg::kOk) return std::nullopt;
  if (value.type != qn::reg::kString && value.type != qn::reg::kExpandString) return std::nullopt;
  return qn::reg::AsString(value);
}

int DriveType(const std::string& root) { return qn::path::DriveType(CDosDeviceMap(), root); }

std::string ToNativePath(const std::string& systemPath) {
  const std::string native = qn::path::ToNativePath(CDosDeviceMap(), systemPath);
  if (native.empty()) return native;
  return qn::path::FindExistingNoCase(native);
}
