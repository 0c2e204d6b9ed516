// qnsvr32_test: the server with the test service and a test-only way to
// mark a connection as logged on: after the hello, a packet whose first
// byte is 0x7F gives the connection a member marker.
#include <cstdio>
#include <cstring>

#include "common/byte_block.h"
#include "server/core/server.h"
#include "server/core/server_app.h"
#include "server/core/transport_base.h"
#include "server/core/user.h"

namespace {

constexpr uint8_t kMarkLoggedOn = 0x7F;

class CTestServer : public CServer {
 public:
  void RoutePacket(CTransportBase* connection, CByteBlock* packet, bool& ended) override {
    if (connection->GetHandshakeState() == CTransportBase::kNormal && packet->length >= 1 &&
        packet->data[0] == kMarkLoggedOn) {
      // A member object that never logged on: the core only asks whether a
      // member is there, and the connection deletes it with itself.
      if (connection->GetUser() == nullptr) connection->SetUser(new CUser());
      delete packet;
      return;
    }
    CServer::RoutePacket(connection, packet, ended);
  }
};

CServer* CreateTestServer() { return new CTestServer(); }

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "-sa") == 0 || std::strcmp(argv[1], "/sa") == 0))
    return RunServer(true, &CreateTestServer);
  std::fprintf(stderr, "The Quillnet NT Server must be started as an NT Service.\n");
  return 1;
}
