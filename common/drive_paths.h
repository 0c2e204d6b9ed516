// The system's paths on this machine: drive letters and shares map to
// directories through the values of the DOS Devices key (value "C:" or
// "\\server\share", data a directory or, for a letter, a share).
#pragma once
#include <optional>
#include <string>

#include "platform/path_layer.h"

inline constexpr const char* kDosDevicesKey =
    "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\DOS Devices";

// The device map of the registry, read on every lookup.
class CDosDeviceMap : public qn::path::DeviceMap {
 public:
  std::optional<std::string> Target(const std::string& device) const override;
};

// GetDriveType of a root ("C:\", "\\server\share\").
int DriveType(const std::string& root);

// The Linux path of a system path, with an existing file found without
// regard to case; empty when the path leads nowhere.
std::string ToNativePath(const std::string& systemPath);
