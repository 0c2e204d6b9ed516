#include "support/server_service.h"

#include <chrono>
#include <filesystem>

#include "common/service_verbs.h"
#include "platform/service_control.h"
#include "support/protocol_client.h"
#include "support/server_process.h"
#include "support/service_helpers.h"

namespace qn::test {

namespace {
constexpr const char* kServer = "QuillnetServer";
}

ServerService::~ServerService() { svctest::KillServiceProcess(kServer); }

bool ServerService::Install(std::string* error) {
  port_ = FindFreePort();
  if (!install_.Create(StorageMode::Access, port_, error)) return false;
  install_.SeedAccountDefaults(1000, 0, -1);
  for (const char* id : {"Max", "Ann"}) {
    // No rate and no per-call limit: a test may keep a member online for
    // minutes.
    install_.ExecAccount(std::string("INSERT INTO Accounts (UserID, Password, Credits, RatePerHour, "
                                     "MaxTimeOnline, FirstName, LastName) VALUES ('") +
                         id + "', 'pw', 1000, 0, -1, 'First" + id + "', 'Last" + id + "')");
  }
  const std::string program = std::filesystem::canonical(QN_BIN_DIR "/qnsvr32").string();
  const svctest::RunResult run = svctest::RunProgram({program, "-install"}, std::chrono::seconds(30));
  if (run.exitCode != 0) {
    *error = "qnsvr32 -install: " + run.output;
    return false;
  }
  return true;
}

bool ServerService::Start() {
  if (!StartService(kServer)) return false;
  return svctest::WaitUntil([this] { return Greets(1000); }, std::chrono::seconds(15));
}

pid_t ServerService::Pid() const {
  svc::ServiceStatus status;
  if (svc::QueryServiceStatus(kServer, status) != svc::kOk) return 0;
  return status.processId;
}

uint32_t ServerService::State() const {
  svc::ServiceStatus status;
  if (svc::QueryServiceStatus(kServer, status) != svc::kOk) return 0;
  return status.currentState;
}

bool ServerService::Greets(int timeoutMs) const {
  client::ProtocolClient client;
  if (!client.Connect(port_, timeoutMs)) return false;
  const auto answer = client.Hello(0, 9.99f, timeoutMs);
  return answer.has_value() && *answer == client::Bytes{1, 0};
}

}  // namespace qn::test
