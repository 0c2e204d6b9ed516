// Temporary files (the stand-in for GetTempPath and GetTempFileName): in
// $TMPDIR when set, else /tmp; created exclusively under an unpredictable
// name, readable and writable by the owner only.
#pragma once
#include <string>

namespace qn {

// The temporary directory, with no trailing slash.
std::string TempDirectory();

// Creates an empty file named `prefix` plus random characters and opens it
// for writing; its path goes into `path`. The open descriptor, or -1 (and
// `path` empty) when no file could be made.
int CreateTempFile(const std::string& prefix, std::string& path);

// Writes `bytes` into a new temporary file; its path, or empty on failure
// (then nothing is left behind).
std::string WriteTempFile(const std::string& prefix, const std::string& bytes);

}  // namespace qn
