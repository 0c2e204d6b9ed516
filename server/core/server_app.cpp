#include "server/core/server_app.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>

#include "common/registry.h"
#include "platform/automation/runtime.h"
#include "platform/main_loop.h"
#include "platform/memory_trim.h"
#include "platform/paths.h"
#include "server/core/api_log.h"
#include "server/core/monitor.h"
#include "server/core/server.h"

namespace {

// Connections are not to be capped by the descriptor limit: take all the
// system allows this process.
void RaiseOpenFileLimit() {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  if (limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace

void RequestServerStop() {
  asio::post(qn::MainLoop(), [] { qn::MainLoop().stop(); });
}

int RunServer(bool /*standAlone*/, CServer* (*create)(),
              const std::function<void(uint32_t error)>& started) {
  RaiseOpenFileLimit();
  // What the server writes holds members' data (uploads, photos, mail, logs):
  // its own account's only, whatever the starter's mask.
  ::umask(077);
  // A write past the file size limit is to fail the upload that made it, not
  // end the server.
  ::signal(SIGXFSZ, SIG_IGN);
  // Replies of large rows to many members would otherwise have the heap
  // shrink and grow again with every one; large queues that go give their
  // memory back (transport_tcp).
  qn::KeepFreedMemoryUpTo(8 * 1024 * 1024);
  qn::paths::EnsureDir(qn::paths::ProgramDir());

  asio::io_context& loop = qn::MainLoop();
  // Automation runs on the main loop; the Monitor object's class registers
  // before the server object exists and its listener opens.
  qn::automation::UseEventLoop(loop);
  StartMonitorAutomation();

  if (CQuillnetRegistry().ReadDWORD("Logging", "APILog", 0) != 0) {
    SetApiLogOn(true);
    WriteApiLog("# Quillnet Server started\r\n");
  }

  loop.restart();
  // Settings read per request or per connection are kept until the registry
  // changes.
  qn::reg::StartWatch(loop);
  std::unique_ptr<CServer> server(create != nullptr ? create() : new CServer());
  if (!server->Start()) {
    const uint32_t error = server->GetStartError();
    StopMonitorAutomation();
    server->Stop();
    qn::reg::StopWatch();
    if (started) started(error != 0 ? error : 1);
    return 1;
  }
  if (started) started(0);

  asio::signal_set signals(loop, SIGINT, SIGTERM);
  signals.async_wait([&loop](const asio::error_code& ec, int) {
    if (!ec) loop.stop();
  });
  auto work = asio::make_work_guard(loop);
  // A handler that lets an exception escape costs its own event only; the
  // loop goes on until it is stopped.
  while (!loop.stopped()) {
    try {
      loop.run();
    } catch (const std::exception& e) {
      WriteApiLog(std::string("# Exception in the main loop: ") + e.what() + "\r\n");
    } catch (...) {
      WriteApiLog("# Exception in the main loop\r\n");
    }
  }

  signals.cancel();
  // Clients of the Monitor object see the server gone even while they hold
  // objects; then the members go.
  StopMonitorAutomation();
  server->Stop();
  server.reset();
  qn::reg::StopWatch();
  // Handlers of closed sockets and timers still queued find nothing to do.
  work.reset();
  loop.restart();
  loop.poll();
  return 0;
}
