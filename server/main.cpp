// qnsvr32: the Quillnet server. Installs itself, carries out the service
// verbs, or runs: as a service when started by the service control stand-in,
// stand-alone with "-sa" or "/sa".
#include <string>
#include <vector>

#include "common/command_line.h"
#include "common/event_log_source.h"
#include "common/message_box.h"
#include "platform/service_control.h"
#include "server/core/server_app.h"
#include "server/core/server_service.h"
#include "server/core/tcp_listener.h"

int main(int argc, char** argv) {
  const std::string commandLine = JoinCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  int verbExit = 0;
  if (RunServiceCommandLine(commandLine, &verbExit)) return verbExit;

  bool eventLogOpen = false;
  CEventLogSource eventLog(kServerEventSource, 0, eventLogOpen);

  // Started to serve an automation client: the Monitor object lives only in
  // a server that runs, so such a start ends here.
  if (AsksForAutomationStart(commandLine)) return 1;

  const bool standAlone = commandLine == "-sa" || commandLine == "/sa";
  // A mistaken start from a prompt ends before it touches the listener or the
  // shared counter block of a server that may be running.
  if (!standAlone && !qn::svc::StartedByServiceControl()) {
    ShowMessageLine("", kNotAServiceMessage);
    return 1;
  }

  // The Monitor object's class object registers in RunServer, once
  // automation runs on the main loop and before the listener opens.

  CServiceThread serviceThread;
  serviceThread.Start(!standAlone, ServerControl{&RequestServerStop, &SetAcceptConnections});
  int result = RunServer(standAlone, nullptr,
                         [&serviceThread](uint32_t error) { serviceThread.ServerStarted(error); });
  serviceThread.Finish();
  return serviceThread.NotAService() ? 1 : result;
}
