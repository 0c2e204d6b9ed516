// Windows paths on a Linux file system.
//
// A system path ("C:\dir\file", "\\server\share\dir", "\\?\UNC\server\share",
// "\\?\C:\dir") becomes a Linux path: backslashes become slashes, and the
// drive letter or the share names a directory through a device map. A letter
// without an entry maps to $QN_ROOT; a letter whose entry names a share is a
// remote drive. A path that starts with "/" is already a Linux path (the
// program directory is one) and only has its backslashes turned.
//
// Below a drive or share root, "." and ".." are resolved as Windows resolves
// them: ".." at the root stays at the root, so no system path leaves the
// directory its root maps to.
#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace qn::path {

// GetDriveType's numbers. A CD-ROM drive never occurs here.
inline constexpr int kDriveUnknown = 0;
inline constexpr int kDriveNoRootDir = 1;
inline constexpr int kDriveFixed = 3;
inline constexpr int kDriveRemote = 4;

// What a drive ("C:") or a share ("\\server\share") leads to: a directory
// (absolute, or relative to $QN_ROOT), or for a drive also a share.
class DeviceMap {
 public:
  virtual ~DeviceMap() = default;
  // The entry for a device name, compared without regard to case; nullopt
  // when there is none.
  virtual std::optional<std::string> Target(const std::string& device) const = 0;
};

// Type of a root: "C:\" (or "C:"), "\\server\share\"; a Linux path or the
// root of the current drive ("\") is fixed. kDriveNoRootDir for a root that
// leads nowhere or is not a root.
int DriveType(const DeviceMap& devices, std::string_view root);

// The Linux path of a system path; empty when it leads nowhere (an unmapped
// share, a device name, a zero byte in the path).
std::string ToNativePath(const DeviceMap& devices, std::string_view systemPath);

// The Linux path of an existing file found without regard to case: each
// component matches exactly when it can, else the first entry of its
// directory that differs only in ASCII case. From the first component that
// matches nothing, the rest is kept as given (so the result also serves to
// create a file in an existing directory).
std::string FindExistingNoCase(const std::string& path);

}  // namespace qn::path
