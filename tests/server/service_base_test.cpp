#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core_fakes.h"
#include "server/core/request_context.h"
#include "server/core/request_packet.h"
#include "server/core/server.h"
#include "server/core/service_factory.h"
#include "support/scoped_root.h"
#include "support/server_process.h"

QN_REGISTER_SERVICE(CServiceUnitProbe);

namespace {

class CServiceUnitOff : public CServiceBase {
 public:
  bool IsAvailable() override { return false; }
  int ProcessRequest() override { return 0; }
};

}  // namespace

QN_REGISTER_SERVICE(CServiceUnitOff);

// Runs one request with the given parameters through a server object and
// lets the probe service look at them.
class ServiceParamsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CTransportBase::SetServer(&server);
    connection = new FakeConnection();
    server.AddConnection(connection);
    connection->SetHandshakeState(CTransportBase::kNormal);
  }
  void TearDown() override {
    delete connection;
    CTransportBase::SetServer(nullptr);
    CServiceUnitProbe::onProcess = nullptr;
  }
  void Run(const std::string& params, std::function<void(CServiceUnitProbe&)> check) {
    CServiceUnitProbe::onProcess = [&](CServiceUnitProbe& s) {
      check(s);
      return 0;
    };
    auto bytes = qn::EncodeRequestPacket({1, "UnitProbe", "x", params});
    bool ended = false;
    server.RoutePacket(connection, new CByteBlock(bytes.data(), static_cast<int32_t>(bytes.size())), ended);
  }

  qn::test::ScopedRoot root;
  CServer server;
  FakeConnection* connection = nullptr;
};

TEST_F(ServiceParamsTest, TwoParameters) {
  Run("a\x01" "b", [](CServiceUnitProbe& s) {
    std::string p;
    EXPECT_EQ(s.GetParamCount(), 2);
    EXPECT_EQ(s.GetParam(0, p), 0);
    EXPECT_EQ(p, "a");
    EXPECT_EQ(s.GetParam(1, p), 0);
    EXPECT_EQ(p, "b");
    EXPECT_EQ(s.GetParam(2, p), qn::kResultMissing);
  });
}

TEST_F(ServiceParamsTest, TrailingSeparatorAndEmptyString) {
  Run("a\x01", [](CServiceUnitProbe& s) {
    std::string p;
    EXPECT_EQ(s.GetParamCount(), 2);
    EXPECT_EQ(s.GetParam(1, p), qn::kResultMissing);
  });
  Run("", [](CServiceUnitProbe& s) {
    std::string p;
    EXPECT_EQ(s.GetParamCount(), 1);
    EXPECT_EQ(s.GetParam(0, p), qn::kResultMissing);
  });
}

TEST_F(ServiceParamsTest, NextParamWalksAndReadsNumbersAsAtol) {
  Run("12x\x01x\x01-7", [](CServiceUnitProbe& s) {
    int32_t n = -1;
    EXPECT_EQ(s.GetNextParamLong(n), 0);
    EXPECT_EQ(n, 12);
    EXPECT_EQ(s.GetNextParamLong(n), 0);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(s.GetNextParamLong(n), 0);
    EXPECT_EQ(n, -7);
    EXPECT_EQ(s.GetNextParamLong(n), qn::kResultMissing);
  });
}

TEST(ServiceFactory, NamesCompareWithoutCaseAndUnavailableMeansNone) {
  qn::test::ScopedRoot root;
  std::unique_ptr<CServiceBase> probe(CreateByName("UNITPROBE"));
  ASSERT_NE(probe, nullptr);
  EXPECT_EQ(probe->GetClassName(), "CServiceUnitProbe");
  EXPECT_EQ(CreateByName("UnitOff"), nullptr);
}

TEST(ServiceFactory, NamesReachTheirServicesAndUnknownOnesTheExternalServices) {
  qn::test::ScopedRoot root;
  for (const auto& [name, className] :
       std::vector<std::pair<std::string, std::string>>{{"chat", "CServiceChat"},
                                                        {"ACCOUNT", "CServiceAccount"},
                                                        {"NoSuchService", "CServiceOLE"},
                                                        {"", "CServiceOLE"},
                                                        {"Service", "CServiceOLE"}}) {
    std::unique_ptr<CServiceBase> service(CreateByName(name));
    ASSERT_NE(service, nullptr) << name;
    EXPECT_EQ(service->GetClassName(), className) << name;
  }
  // A class that bears the name but is not available is the answer: the
  // external services are not tried.
  EXPECT_EQ(CreateByName("unitoff"), nullptr);
}

// Drive X: is a network drive (a letter mapped to a share); the drive
// connection names where it leads.
TEST(ServicePaths, RemoteDriveGoesThroughItsDriveConnection) {
  qn::test::ScopedRoot root;
  const std::string rootPath = std::filesystem::path(root.path()).string();
  qn::test::WriteRegistry(
      rootPath,
      {{"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\DOS Devices",
        {qn::test::StringLine("X:", "\\\\srv\\share")}},
       {"Drive Connections", {qn::test::StringLine("X:", "\\\\srv\\share")}}});
  CServiceUnitProbe service;
  EXPECT_EQ(service.ResolvePath("X:\\dir\\a.txt"), "\\\\?\\UNC\\srv\\share\\dir\\a.txt");
  // Fixed drives and paths without a drive letter stay as they are.
  EXPECT_EQ(service.ResolvePath("C:\\dir\\a.txt"), "C:\\dir\\a.txt");
  EXPECT_EQ(service.ResolvePath("/var/lib/quillnet/a.txt"), "/var/lib/quillnet/a.txt");
}

TEST(ServicePaths, RemoteDriveWithoutConnectionStaysAsGiven) {
  qn::test::ScopedRoot root;
  qn::test::WriteRegistry(
      std::filesystem::path(root.path()).string(),
      {{"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\DOS Devices",
        {qn::test::StringLine("Y:", "\\\\srv\\share")}}});
  CServiceUnitProbe service;
  EXPECT_EQ(service.ResolvePath("Y:\\a.txt"), "Y:\\a.txt");
}
