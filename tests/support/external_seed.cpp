#include "support/external_seed.h"

#include <sys/wait.h>

#include <cstdlib>

#include "common/registry.h"
#include "platform/automation/class_registry.h"

namespace qn::test {

namespace {

struct ServiceLine {
  const char* name;
  const char* classText;
};

// In registry order: entries that cannot start sit between those that can.
constexpr ServiceLine kServices[] = {
    {kNoClassService, "No.Such.Class"},
    {kLocalService, kTestLocalProgId},
    {kBadInitService, kTestBadInitProgId},
    {kInprocService, kTestInprocClsid},
    {kFailingService, kTestFailingProgId},
};

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

}  // namespace

bool InstallTestPlugin() {
  const std::string command = Quoted(QN_BIN_DIR "/qntestsvc") + " -RegServer";
  const int status = std::system(command.c_str());
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
  if (!qn::automation::RegisterLocalServerClass(kTestFailingProgId, kTestFailingClsid, "/bin/false"))
    return false;
  CQuillnetRegistry registry;
  for (const ServiceLine& s : kServices)
    if (!registry.WriteString("Services", s.name, s.classText)) return false;
  return true;
}

void AddTestPluginSections(RegistrySections& sections) {
  const std::string classes = "HKEY_CLASSES_ROOT\\";
  auto add = [&](const char* progId, const char* clsid, const char* serverKey, const std::string& server) {
    sections[classes + progId + "\\CLSID"].push_back("@=\"" + std::string(clsid) + "\"");
    sections[classes + "CLSID\\" + clsid + "\\" + serverKey].push_back("@" + StringLine("", server).substr(2));
  };
  add(kTestLocalProgId, kTestLocalClsid, "LocalServer32", Quoted(QN_BIN_DIR "/qntestsvc"));
  add(kTestInprocProgId, kTestInprocClsid, "InprocServer32", QN_BIN_DIR "/libqntestsvc.so");
  add(kTestBadInitProgId, kTestBadInitClsid, "InprocServer32", QN_BIN_DIR "/libqntestsvc.so");
  add(kTestFailingProgId, kTestFailingClsid, "LocalServer32", "/bin/false");
  for (const ServiceLine& s : kServices) sections["Services"].push_back(StringLine(s.name, s.classText));
}

}  // namespace qn::test
