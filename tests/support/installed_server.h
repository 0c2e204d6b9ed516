// End-to-end fixture of the real `qnsvr32` on a fresh member installation in
// either storage mode, with client sessions that call its services.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/member_install.h"
#include "support/protocol_client.h"
#include "support/server_process.h"

namespace qn::test {

// One client connection past its hello.
class Session {
 public:
  bool Open(uint16_t port, uint8_t flags = 0);
  // Sends a request; its ID.
  uint16_t Send(const std::string& service, const std::string& item,
                const std::vector<std::string>& params = {});
  // One request and its whole reply (an empty reply when none came).
  client::TableReply Call(const std::string& service, const std::string& item,
                          const std::vector<std::string>& params = {});
  // A file sent by the service base: the time row and the bytes after it;
  // nothing when the reply was a result code or not a file.
  struct File {
    uint32_t modified = 0;
    std::vector<uint8_t> bytes;
  };
  std::optional<File> Fetch(const std::string& service, const std::string& item,
                            const std::vector<std::string>& params = {});

  client::ProtocolClient client;
  uint16_t nextId = 1;
};

bool Ended(const client::TableReply& reply);
uint16_t Code(const client::TableReply& reply);

class InstalledServerTest : public ::testing::TestWithParam<StorageMode> {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Runs after the databases and the registry exist and before the server
  // starts: seed rows, registry values, files.
  virtual void BeforeStart() {}

  std::unique_ptr<Session> Connect(uint8_t flags = 0);
  // An account of its own (default key chain), logged on.
  std::unique_ptr<Session> Create(const std::string& userId);
  uint16_t port_ = 0;
  MemberInstall install_;
  ServerProcess server_;
};

// The program directory of the process's installation, with its trailing
// slash.
std::string InstalledProgramDir();

// Both storage modes, as the parameter's name.
std::string StorageModeParamName(const ::testing::TestParamInfo<StorageMode>& info);

}  // namespace qn::test
