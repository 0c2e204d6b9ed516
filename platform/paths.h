// Where an installation's files live: every machine-wide path is prefixed by
// $QN_ROOT (default "/"), so a whole installation can run in a private
// directory without privileges.
#pragma once
#include <filesystem>
#include <string>
#include <string_view>

namespace qn::paths {

// The installation root: $QN_ROOT, or "/" when unset or empty.
std::filesystem::path Root();

// Root() joined with a path relative to it ("etc/quillnet/registry.reg").
std::filesystem::path UnderRoot(std::string_view relative);

std::filesystem::path ConfigDir();   // etc/quillnet
std::filesystem::path ProgramDir();  // var/lib/quillnet: databases, logs, files
std::filesystem::path RunDir();      // run/quillnet: run-time state

// Creates the directory and its parents; false when that fails.
bool EnsureDir(const std::filesystem::path& dir);

// A short stable tag of the root for names that live outside it (shared
// memory): empty for the default root "/".
std::string RootTag();

// Directory of the running executable, with a trailing slash.
std::filesystem::path ExecutableDir();

}  // namespace qn::paths
