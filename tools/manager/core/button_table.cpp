#include "tools/manager/core/button_table.h"

#include "tools/manager/core/manager_texts.h"

namespace qn::manager {

namespace {

using namespace texts;
using enum ButtonAction;
using enum ButtonTest;

// In the order the window creates them (the tab order).
constexpr ButtonEntry kButtons[] = {
    {kCmdStartStop, 2, 2, 30, 30, kTipStartStop, "startstop", true, StartStop, nullptr, nullptr, None, nullptr},
    {kCmdMonitor, 32, 2, 30, 30, kTipMonitor, "monitor", true, Launch, "qnsvrmon", nullptr, Program, kFailMonitor},
    {kCmdPerfMon, 62, 2, 30, 30, kTipPerfMon, "perfmon", true, Launch, "gnome-system-monitor", nullptr, None,
     kFailPerfMon},
    {kCmdEvents, 92, 2, 30, 30, kTipEvents, "events", false, Launch, "gnome-logs", nullptr, None, kFailEvents},
    {kCmdAdmin, 122, 2, 30, 30, kTipAdmin, "admin", true, Launch, "qnadmin", nullptr, Program, kFailAdmin},
    {kCmdCam, 152, 2, 30, 30, kTipCam, "cam", true, Launch, "qncam", nullptr, Program, kFailCam},
    {kCmdDbAdmin, 182, 2, 30, 30, kTipDbAdmin, "dbadmin", true, Launch, "qndbadm", nullptr, Program, kFailDbAdmin},
    {kCmdFileLib, 212, 2, 30, 30, kTipFileLib, "filelib", true, Launch, "qnfladm", nullptr, Program, kFailFileLib},
    {kCmdForum, 242, 2, 30, 30, kTipForum, "forum", true, Launch, "qnmsgadm", nullptr, Program, kFailForum},
    {kCmdExit, 272, 2, 30, 60, kTipExit, "exit", false, Exit, nullptr, nullptr, None, nullptr},
    {kCmdConnector, 2, 32, 30, 30, kTipConnector, "connector", false, Connector, nullptr, nullptr, None,
     kFailConnector},
    // The web server's and the WIP builders' programs belong to other
    // makers: none by default, so these stay disabled until configured.
    {kCmdWebManager, 32, 32, 30, 30, kTipWebManager, "webmanager", true, Launch, nullptr, nullptr, Program,
     kFailWebManager},
    {kCmdWebConfig, 62, 32, 30, 30, kTipWebConfig, "webconfig", true, Launch, nullptr, nullptr, Program,
     kFailWebConfig},
    {kCmdWipMenus, 92, 32, 30, 30, kTipWipMenus, "wipmenus", true, Launch, nullptr, nullptr, Program, kFailWipMenus},
    {kCmdWipVector, 122, 32, 30, 30, kTipWipVector, "wipvector", true, Launch, nullptr, nullptr, Program,
     kFailWipVector},
    {kCmdCompact, 152, 32, 30, 30, kTipCompact, "compact", true, Launch, "qnoptimz", nullptr, Compact, kFailCompact},
    {kCmdConfig, 182, 32, 30, 30, kTipConfig, "config", true, Launch, "qnconfig", nullptr, Program, kFailConfig},
    {kCmdSdkHelp, 212, 32, 30, 30, kTipSdkHelp, "sdkhelp", true, LaunchUnchecked, "xdg-open", "qnsdk.hlp", DataFile,
     nullptr},
    {kCmdHelp, 242, 32, 30, 30, kTipHelp, "help", true, LaunchUnchecked, "xdg-open", "qnsvrhlp.hlp", DataFile,
     nullptr},
};

}  // namespace

std::span<const ButtonEntry> Buttons() { return kButtons; }

const ButtonEntry* FindButton(int command) {
  for (const ButtonEntry& button : kButtons)
    if (button.command == command) return &button;
  return nullptr;
}

}  // namespace qn::manager
