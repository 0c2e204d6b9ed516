// Bytes made for one request go out as a file exactly as a file on disk
// does: the schema's row count, the time row, 768-byte rows, the end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core_fakes.h"
#include "platform/main_loop.h"
#include "server/core/request_packet.h"
#include "server/core/result_set.h"
#include "server/core/server.h"
#include "server/core/service_factory.h"
#include "server/core/user.h"
#include "support/scoped_root.h"

namespace {

class CServiceBytesProbe : public CServiceBase {
 public:
  bool IsAvailable() override { return true; }
  int ProcessRequest() override { return SendFileBytes(next, 0x01020304) ? 0 : 0x1306; }
  static inline std::string next;
};

}  // namespace

QN_REGISTER_SERVICE(CServiceBytesProbe);

namespace {

TEST(SendFileBytes, SentAsAFileOfThatSizeAndTime) {
  qn::test::ScopedRoot root;
  CServer server;
  CTransportBase::SetServer(&server);
  auto* connection = new FakeConnection();
  server.AddConnection(connection);
  connection->SetHandshakeState(CTransportBase::kNormal);
  connection->SetUser(new CUser());  // past logon; never listed, so no logoff

  std::string big(5000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31);
  for (const std::string& bytes : {std::string(), std::string(768, 'a'), std::string(769, 'b'), big}) {
    CServiceBytesProbe::next = bytes;
    connection->sent.clear();
    const auto request = qn::EncodeRequestPacket({9, "BytesProbe", "x", ""});
    bool ended = false;
    server.RoutePacket(connection, new CByteBlock(request.data(), static_cast<int32_t>(request.size())), ended);
    qn::MainLoop().restart();
    while (qn::MainLoop().poll() != 0) qn::MainLoop().restart();

    const auto& sent = connection->sent;
    ASSERT_GE(sent.size(), 3u);
    auto schema = qn::DecodeSchema(sent[0].data() + 3, sent[0].size() - 3);
    ASSERT_TRUE(schema.has_value());
    EXPECT_EQ(schema->rowCount, static_cast<int32_t>(1 + (bytes.size() + 767) / 768)) << bytes.size();
    EXPECT_EQ(sent[1], qn::EncodeIdPacket(4, 9, std::vector<uint8_t>{4, 0, 4, 3, 2, 1}.data(), 6));
    std::string received;
    for (size_t i = 2; i + 1 < sent.size(); ++i) {
      ASSERT_EQ(sent[i][0], qn::kPacketMoreData);
      EXPECT_LE(sent[i].size() - 5, 768u);
      received.append(sent[i].begin() + 5, sent[i].end());
    }
    EXPECT_EQ(received, bytes);
    EXPECT_EQ(sent.size(), 3 + (bytes.size() + 767) / 768);
    EXPECT_EQ(sent.back(), qn::EncodeEndPacket(9));
  }
  delete connection;
  CTransportBase::SetServer(nullptr);
}

}  // namespace
