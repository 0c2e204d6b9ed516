#include "server/core/server_install.h"

#include <vector>

#include "common/command_line.h"
#include "common/event_log_source.h"
#include "common/install_helpers.h"
#include "common/registry.h"
#include "common/service_verbs.h"
#include "platform/automation/class_registry.h"
#include "platform/paths.h"
#include "platform/registry_store.h"
#include "platform/service_control.h"
#include "server/core/monitor.h"
#include "server/core/server_service.h"

namespace {

constexpr const char* kMonitorAppId = kMonitorClsid;

// Failed writes at install are not reported.
void WriteString(qn::reg::Hive hive, const std::string& path, const std::string& name,
                 const std::string& text) {
  auto& store = qn::reg::Store::Default();
  qn::reg::KeyHandle key;
  if (store.CreateKey(qn::reg::KeyHandle::Root(hive), path, key) != qn::reg::kOk) return;
  store.SetValue(key, qn::reg::MakeString(name, text));
}

}  // namespace

void RegisterServerInstallation() {
  // The Monitor object's class: started as the program beside this one.
  qn::automation::RegisterLocalServerClass(
      kMonitorProgId, kMonitorClsid, "\"" + (qn::paths::ExecutableDir() / "qnsvr32").string() + "\"");
  for (const auto& s : kEventLogSources) InstallEventLogSource(s.source, s.messageFile);
  for (const char* section : {"Logging", "Monitor", "Manager"}) {
    WriteRegistryMultiString(std::string(kQuillnetKey) + "\\" + section, "Logging",
                             kDefaultLoggingConfiguration);
  }
}

void InstallServerService(const std::string& commandLine, const std::string& programPath) {
  // The first three tokens are read and not used further.
  const char* cursor = commandLine.c_str();
  for (int i = 0; i < 3; ++i) GetCommandLineToken(cursor, 200, nullptr);

  std::vector<std::string> dependencies{"EventLog"};
  if (IsOdbcTypeMsSql()) dependencies.push_back("MSSQLServer");
  InstallService(kServerServiceName, kServerDisplayName, dependencies, qn::svc::kDemandStart,
                 programPath);

  const std::string appIdKey = std::string("APPID\\") + kMonitorAppId;
  WriteString(HKEY_CLASSES_ROOT, appIdKey, "", "QuillnetServer.Monitor");
  WriteString(HKEY_CLASSES_ROOT, appIdKey, "LocalService", kServerServiceName);
  WriteString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\AppID\\QNSVR32.EXE", "",
              "QuillnetServer.Monitor");
  WriteString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\AppID\\QNSVR32.EXE", "AppID",
              kMonitorAppId);
  WriteString(HKEY_CLASSES_ROOT, std::string("CLSID\\") + kMonitorAppId, "AppID",
              kMonitorAppId);
}
