#include "platform/automation/class_registry.h"

#include <cctype>

#include "platform/paths.h"
#include "platform/registry_store.h"

namespace qn::automation {

namespace {

std::string DefaultValue(const std::string& path) {
  auto& store = qn::reg::Store::Default();
  qn::reg::KeyHandle key;
  if (store.OpenKey(qn::reg::KeyHandle::Root(qn::reg::Hive::ClassesRoot), path, key) !=
      qn::reg::kOk)
    return "";
  qn::reg::Value value;
  if (store.QueryValue(key, "", value) != qn::reg::kOk) return "";
  if (value.type != qn::reg::kString && value.type != qn::reg::kExpandString) return "";
  return qn::reg::AsString(value);
}

bool WriteDefault(const std::string& path, const std::string& text) {
  auto& store = qn::reg::Store::Default();
  qn::reg::KeyHandle key;
  if (store.CreateKey(qn::reg::KeyHandle::Root(qn::reg::Hive::ClassesRoot), path, key) !=
      qn::reg::kOk)
    return false;
  return store.SetValue(key, qn::reg::MakeString("", text)) == qn::reg::kOk;
}

bool RegisterClass(const std::string& progId, const std::string& clsid, const char* serverKey,
                   const std::string& server) {
  const std::string id = CanonicalClsid(clsid);
  if (id.empty() || progId.empty()) return false;
  bool ok = WriteDefault(progId, progId);
  ok = WriteDefault(progId + "\\CLSID", id) && ok;
  ok = WriteDefault("CLSID\\" + id, progId) && ok;
  ok = WriteDefault("CLSID\\" + id + "\\ProgID", progId) && ok;
  return WriteDefault("CLSID\\" + id + "\\" + serverKey, server) && ok;
}

}  // namespace

std::string CanonicalClsid(const std::string& text) {
  // {8-4-4-4-12}
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return "";
  std::string out = text;
  for (size_t i = 1; i < 37; ++i) {
    const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
    const unsigned char c = static_cast<unsigned char>(out[i]);
    if (dash ? c != '-' : !std::isxdigit(c)) return "";
    out[i] = static_cast<char>(std::toupper(c));
  }
  return out;
}

Status LookUpClass(const std::string& classText, ClassEntry* out) {
  std::string clsid = CanonicalClsid(classText);
  if (clsid.empty()) {
    // A ProgID never holds a backslash: it would name another key.
    if (classText.empty() || classText.find('\\') != std::string::npos)
      return kClassNotRegistered;
    clsid = CanonicalClsid(DefaultValue(classText + "\\CLSID"));
    if (clsid.empty()) return kClassNotRegistered;
  }
  out->clsid = clsid;
  out->inproc = DefaultValue("CLSID\\" + clsid + "\\InprocServer32");
  out->local = DefaultValue("CLSID\\" + clsid + "\\LocalServer32");
  return kOk;
}

bool RegisterLocalServerClass(const std::string& progId, const std::string& clsid,
                              const std::string& commandLine) {
  return RegisterClass(progId, clsid, "LocalServer32", commandLine);
}

bool RegisterInprocServerClass(const std::string& progId, const std::string& clsid,
                               const std::filesystem::path& library) {
  return RegisterClass(progId, clsid, "InprocServer32", library.string());
}

std::filesystem::path ClassSocketPath(const std::string& canonicalClsid) {
  return qn::paths::RunDir() / (canonicalClsid + ".sock");
}

}  // namespace qn::automation
