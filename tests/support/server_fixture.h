// A fixture that runs the test build of the server in a private root on a
// free port, and hands out protocol clients to it.
#pragma once
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "support/protocol_client.h"
#include "support/scoped_root.h"
#include "support/server_process.h"

namespace qn::test {

class ServerFixture : public ::testing::Test {
 protected:
  // The packet of the test build that marks a connection as logged on.
  static constexpr uint8_t kMarkLoggedOn = 0x7F;

  void TearDown() override;

  // Writes the registry (Port under General added) and starts the program.
  void StartServer(RegistrySections sections = {}, const std::string& program = "qnsvr32_test");
  // Stops the server with SIGTERM and expects a clean exit.
  void StopServer();

  qn::client::ProtocolClient Connect();
  // Connected and past the hello (accepted).
  qn::client::ProtocolClient Greeted(uint8_t flags = 0);
  // Greeted, then marked as logged on.
  qn::client::ProtocolClient LoggedOn(uint8_t flags = 0);
  // A fresh client still gets through hello and a request: the server is up.
  void ExpectServerServes();

  std::string RootPath() const { return std::filesystem::path(root.path()).string(); }
  std::string ProgramDir() const { return RootPath() + "/var/lib/quillnet/"; }

  ScopedRoot root;
  uint16_t port = 0;
  ServerProcess server;
  bool stopped = false;
};

}  // namespace qn::test
