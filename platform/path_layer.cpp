#include "platform/path_layer.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/paths.h"

namespace qn::path {
namespace {

namespace fs = std::filesystem;

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}

bool IsDriveLetter(std::string_view p) {
  return p.size() >= 2 && p[1] == ':' && AsciiLower(p[0]) >= 'a' && AsciiLower(p[0]) <= 'z';
}

struct Parsed {
  enum Kind { kInvalid, kNative, kDrive, kShare, kRooted, kRelative } kind = kInvalid;
  std::string device;     // "C:" or "\\server\share"
  std::string_view rest;  // below the root
};

// "server\share\rest" (the two leading separators already taken).
Parsed ParseShare(std::string_view p) {
  const size_t serverEnd = std::find_if(p.begin(), p.end(), IsSeparator) - p.begin();
  if (serverEnd == 0 || serverEnd == p.size()) return {};
  const std::string_view afterServer = p.substr(serverEnd + 1);
  const size_t shareEnd =
      std::find_if(afterServer.begin(), afterServer.end(), IsSeparator) - afterServer.begin();
  if (shareEnd == 0) return {};
  Parsed out;
  out.kind = Parsed::kShare;
  out.device = "\\\\" + std::string(p.substr(0, serverEnd)) + "\\" +
               std::string(afterServer.substr(0, shareEnd));
  out.rest = afterServer.substr(shareEnd);
  return out;
}

Parsed Parse(std::string_view p) {
  if (p.find('\0') != std::string_view::npos) return {};
  if (p.empty()) return {Parsed::kRelative, {}, p};
  if (p[0] == '/') return {Parsed::kNative, {}, p};
  if (p.size() >= 2 && IsSeparator(p[0]) && IsSeparator(p[1])) {
    // The long-path and device prefixes: "\\?\C:\...", "\\?\UNC\server\share".
    if (p.size() >= 4 && (p[2] == '?' || p[2] == '.') && IsSeparator(p[3])) {
      const std::string_view inner = p.substr(4);
      if (inner.size() > 4 && EqualNoCase(inner.substr(0, 3), "UNC") && IsSeparator(inner[3]))
        return ParseShare(inner.substr(4));
      if (IsDriveLetter(inner)) return Parse(inner);
      return {};
    }
    return ParseShare(p.substr(2));
  }
  if (IsSeparator(p[0])) return {Parsed::kRooted, {}, p.substr(1)};
  if (IsDriveLetter(p)) {
    Parsed out;
    out.kind = Parsed::kDrive;
    out.device = {static_cast<char>(p[0] >= 'a' ? p[0] - 32 : p[0]), ':'};
    out.rest = p.substr(2);
    return out;
  }
  return {Parsed::kRelative, {}, p};
}

// An entry's directory: absolute as written, relative under $QN_ROOT.
std::string TargetDirectory(const std::string& target) {
  std::string dir = target;
  std::replace(dir.begin(), dir.end(), '\\', '/');
  if (!dir.empty() && dir[0] == '/') return dir;
  return paths::UnderRoot(dir).string();
}

struct Device {
  std::string dir;
  bool remote = false;
};

// The components below a root, with "." dropped and ".." stopping at the root.
std::string JoinBelowRoot(std::string dir, std::string_view rest) {
  std::vector<std::string_view> parts;
  size_t at = 0;
  while (at <= rest.size()) {
    size_t end = at;
    while (end < rest.size() && !IsSeparator(rest[end])) ++end;
    const std::string_view part = rest.substr(at, end - at);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    at = end + 1;
  }
  for (std::string_view part : parts) {
    if (dir.empty() || dir.back() != '/') dir += '/';
    dir += part;
  }
  return dir;
}

// A share's entry must be a directory: shares do not chain.
std::optional<Device> ResolveShare(const DeviceMap& devices, const std::string& share) {
  auto target = devices.Target(share);
  if (!target || Parse(*target).kind == Parsed::kShare) return std::nullopt;
  return Device{TargetDirectory(*target), true};
}

std::optional<Device> ResolveDevice(const DeviceMap& devices, const Parsed& p) {
  switch (p.kind) {
    case Parsed::kRooted:
      return Device{paths::Root().string(), false};
    case Parsed::kShare:
      return ResolveShare(devices, p.device);
    case Parsed::kDrive: {
      auto target = devices.Target(p.device);
      if (!target) return Device{paths::Root().string(), false};
      const Parsed share = Parse(*target);
      if (share.kind == Parsed::kShare) {
        auto device = ResolveShare(devices, share.device);
        if (!device) return std::nullopt;
        // A letter may name a directory inside a share.
        device->dir = JoinBelowRoot(device->dir, share.rest);
        return device;
      }
      return Device{TargetDirectory(*target), false};
    }
    default:
      return std::nullopt;
  }
}

bool MapsToShare(const DeviceMap& devices, const std::string& drive) {
  auto target = devices.Target(drive);
  return target && Parse(*target).kind == Parsed::kShare;
}

}  // namespace

int DriveType(const DeviceMap& devices, std::string_view root) {
  const Parsed p = Parse(root);
  switch (p.kind) {
    case Parsed::kNative:
      return kDriveFixed;
    case Parsed::kRooted:
      return p.rest.find_first_not_of("\\/") == std::string_view::npos ? kDriveFixed
                                                                       : kDriveNoRootDir;
    case Parsed::kDrive:
    case Parsed::kShare: {
      if (p.rest.find_first_not_of("\\/") != std::string_view::npos) return kDriveNoRootDir;
      // A letter connected to a share is remote whether or not the share
      // answers, as a disconnected network drive is.
      if (p.kind == Parsed::kDrive && MapsToShare(devices, p.device)) return kDriveRemote;
      auto device = ResolveDevice(devices, p);
      std::error_code ec;
      if (!device || !fs::is_directory(device->dir, ec)) return kDriveNoRootDir;
      return device->remote ? kDriveRemote : kDriveFixed;
    }
    default:
      return kDriveNoRootDir;
  }
}

std::string ToNativePath(const DeviceMap& devices, std::string_view systemPath) {
  const Parsed p = Parse(systemPath);
  switch (p.kind) {
    case Parsed::kNative:
    case Parsed::kRelative: {
      std::string out(p.rest);
      std::replace(out.begin(), out.end(), '\\', '/');
      return out;
    }
    case Parsed::kDrive:
    case Parsed::kShare:
    case Parsed::kRooted: {
      auto device = ResolveDevice(devices, p);
      if (!device) return {};
      return JoinBelowRoot(device->dir, p.rest);
    }
    default:
      return {};
  }
}

std::string FindExistingNoCase(const std::string& path) {
  std::error_code ec;
  if (path.empty() || fs::exists(fs::symlink_status(path, ec))) return path;

  std::vector<std::string> parts;
  size_t at = 0;
  while (at <= path.size()) {
    size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    if (end > at) parts.push_back(path.substr(at, end - at));
    at = end + 1;
  }
  const bool absolute = path[0] == '/';
  std::string found = absolute ? "/" : "";
  size_t i = 0;
  for (; i < parts.size(); ++i) {
    const std::string& part = parts[i];
    const fs::path directory = found.empty() ? fs::path(".") : fs::path(found);
    std::string match;
    if (part == "." || part == ".." || fs::exists(fs::symlink_status(directory / part, ec))) {
      match = part;
    } else {
      // The smallest of several candidates, so the choice does not depend on
      // the directory's order.
      for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (EqualNoCase(name, part) && (match.empty() || name < match)) match = name;
      }
      ec.clear();
    }
    if (match.empty()) break;
    if (!found.empty() && found.back() != '/') found += '/';
    found += match;
  }
  for (; i < parts.size(); ++i) {
    if (!found.empty() && found.back() != '/') found += '/';
    found += parts[i];
  }
  if (path.back() == '/' && found.back() != '/') found += '/';
  return found;
}

}  // namespace qn::path
