// Automation classes in the registry store, as Windows keeps them under
// HKEY_CLASSES_ROOT: "<ProgID>\CLSID" names the class; "CLSID\{...}" holds
// "InprocServer32" (a shared library) or "LocalServer32" (a command line).
#pragma once
#include <filesystem>
#include <string>

#include "platform/automation/status.h"

namespace qn::automation {

struct ClassEntry {
  std::string clsid;    // canonical "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
  std::string inproc;   // library path, empty when none
  std::string local;    // command line, empty when none
};

// "{...}" in upper case, or empty when `text` is not a class identifier in
// braces.
std::string CanonicalClsid(const std::string& text);

// A ProgID or "{CLSID}" to its entry; kClassNotRegistered when unknown or
// registered without a server.
Status LookUpClass(const std::string& classText, ClassEntry* out);

// Writes "<progId>\CLSID", "CLSID\{...}\ProgID" and the server key; false
// when a write failed.
bool RegisterLocalServerClass(const std::string& progId, const std::string& clsid,
                              const std::string& commandLine);
bool RegisterInprocServerClass(const std::string& progId, const std::string& clsid,
                               const std::filesystem::path& library);

// The socket a running local server listens on for the class.
std::filesystem::path ClassSocketPath(const std::string& canonicalClsid);

}  // namespace qn::automation
