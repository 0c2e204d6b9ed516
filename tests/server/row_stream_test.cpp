// The service base's row stream, driven through a server object and a fake
// connection, one loop turn at a time: what leaves in the request's own turn
// and in each pulse step, the end, rests on a backlogged connection, cancels
// and drops at every step, and steps that cannot be read.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "core_fakes.h"
#include "platform/main_loop.h"
#include "server/core/request_context.h"
#include "server/core/request_packet.h"
#include "server/core/result_set.h"
#include "server/core/row_stream.h"
#include "server/core/server.h"
#include "server/core/service_factory.h"
#include "server/core/user.h"
#include "support/scoped_root.h"

namespace {

// A list of `levels[i]` rows per level (one level: a flat list) whose row n
// holds n. `failAt` throws when that row is read; `openLists` counts the
// lists whose rows are held, as a service holds an open recordset.
struct RowPlan {
  std::vector<int> levels{0};
  int failAt = -1;
  uint16_t failureCode = 0;  // 0: the default
};

class CServiceRowProbe : public CServiceBase {
 public:
  static inline RowPlan plan;
  static inline int openLists = 0;
  static inline int finished = 0;

  bool IsAvailable() override { return true; }
  ~CServiceRowProbe() override { Release(); }

  int ProcessRequest() override {
    m_levels = plan.levels;
    m_bHeld = true;
    ++openLists;
    m_schema.AddColumn(kColumnLong, "N");
    CRowSource rows;
    rows.atEnd = [this] { return m_nInLevel >= m_levels[m_nLevel]; };
    rows.sendRow = [this] {
      if (m_nNext == plan.failAt) throw std::runtime_error("the read failed");
      CResultRow row(m_schema);
      row.AddValue(&m_nNext);
      GetRequest()->SendMoreData(row.BuildPacket());
      ++m_nNext;
      ++m_nInLevel;
    };
    if (m_levels.size() > 1) {
      rows.nextLevel = [this] {
        if (m_nLevel + 1 >= m_levels.size()) return false;
        ++m_nLevel;
        m_nInLevel = 0;
        return true;
      };
    }
    rows.finish = [this] {
      ++finished;
      Release();
    };
    if (plan.failureCode != 0) rows.failureCode = [](const std::exception&) { return plan.failureCode; };
    return StreamRows(m_schema, std::move(rows));
  }

 private:
  void Release() {
    if (m_bHeld) --openLists;
    m_bHeld = false;
  }

  CColumnTypes m_schema{1, -1};
  std::vector<int> m_levels;
  size_t m_nLevel = 0;
  int m_nInLevel = 0;
  int32_t m_nNext = 0;
  bool m_bHeld = false;
};

class BackloggedConnection : public FakeConnection {
 public:
  bool IsOutputBacklogged() const override { return backlogged; }
  bool backlogged = false;
};

}  // namespace

QN_REGISTER_SERVICE(CServiceRowProbe);

namespace {

constexpr uint16_t kId = 7;
constexpr size_t kStep = CRowStream::kUnitsPerStep;

class RowStream : public ::testing::Test {
 protected:
  void SetUp() override {
    DrainLoop();
    CTransportBase::SetServer(&server);
    connection = new BackloggedConnection();
    server.AddConnection(connection);
    connection->SetHandshakeState(CTransportBase::kNormal);
    connection->SetUser(new CUser());  // past logon; never listed, so no logoff
    CServiceRowProbe::plan = {};
    CServiceRowProbe::openLists = 0;
    CServiceRowProbe::finished = 0;
  }
  void TearDown() override {
    server.RemoveConnection(connection);
    DrainLoop();
    delete connection;
    CTransportBase::SetServer(nullptr);
  }
  static void DrainLoop() {
    qn::MainLoop().restart();
    while (qn::MainLoop().poll() != 0) qn::MainLoop().restart();
  }
  // One turn of the loop: a pulse step, or nothing when none is due.
  static bool Turn() {
    qn::MainLoop().restart();
    return qn::MainLoop().poll_one() != 0;
  }
  void Route(const std::vector<uint8_t>& bytes) {
    bool ended = false;
    server.RoutePacket(connection, new CByteBlock(bytes.data(), static_cast<int32_t>(bytes.size())), ended);
  }
  void Request() { Route(qn::EncodeRequestPacket({kId, "RowProbe", "List", ""})); }
  // Packets sent since the last call.
  std::vector<std::vector<uint8_t>> Sent() {
    auto sent = std::move(connection->sent);
    connection->sent.clear();
    return sent;
  }
  // Packets of the type among `packets`.
  static size_t Count(const std::vector<std::vector<uint8_t>>& packets, uint8_t type) {
    size_t n = 0;
    for (const auto& p : packets) n += p[0] == type;
    return n;
  }

  CServer server;
  BackloggedConnection* connection = nullptr;
  qn::test::ScopedRoot root;
};

TEST_F(RowStream, FirstShareInTheOwnTurnThenAShareAStepEveryRowInOrderAndTheEnd) {
  for (int size : {0, 1, 32, 33, 20000}) {
    SCOPED_TRACE(size);
    CServiceRowProbe::plan.levels = {size};
    Request();
    std::vector<std::vector<uint8_t>> all = Sent();
    // The schema and the first share; a list that fits it ends at once.
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all[0][0], qn::kPacketSchema);
    EXPECT_EQ(Count(all, qn::kPacketMoreData), std::min<size_t>(size, kStep));
    EXPECT_EQ(Count(all, qn::kPacketEnd), size <= static_cast<int>(kStep) ? 1u : 0u);
    size_t steps = 0;
    while (Turn()) {
      const auto step = Sent();
      EXPECT_LE(Count(step, qn::kPacketMoreData), kStep);
      all.insert(all.end(), step.begin(), step.end());
      ++steps;
    }
    // The last share's end leaves with it, not a step later.
    EXPECT_EQ(steps, size <= static_cast<int>(kStep) ? 0u : (size - 1) / kStep);
    ASSERT_EQ(all.size(), static_cast<size_t>(size) + 2);
    const auto schema = qn::DecodeSchema(all[0].data() + 3, all[0].size() - 3);
    ASSERT_TRUE(schema.has_value());
    for (int n = 0; n < size; ++n) {
      const auto& packet = all[static_cast<size_t>(n) + 1];
      ASSERT_EQ(packet[0], qn::kPacketMoreData);
      const auto row = qn::DecodeRow(schema->columns, packet.data() + 3, packet.size() - 3);
      ASSERT_TRUE(row.has_value());
      ASSERT_EQ(std::get<int32_t>((*row)[0]), n);
    }
    EXPECT_EQ(all.back(), qn::EncodeEndPacket(kId));
    EXPECT_EQ(CServiceRowProbe::openLists, 0);
    EXPECT_EQ(CServiceRowProbe::finished, 1);
    CServiceRowProbe::finished = 0;
  }
}

TEST_F(RowStream, LevelsAndEmptyLevelsCountAsStepsShareAndTheWalkEnds) {
  // 40 empty levels, then one of 50 rows, then 3 empty ones.
  std::vector<int> levels(41, 0);
  levels.push_back(50);
  levels.insert(levels.end(), 3, 0);
  CServiceRowProbe::plan.levels = levels;
  Request();
  // The own turn opens levels only: no row yet, and the walk goes on.
  auto sent = Sent();
  EXPECT_EQ(sent.size(), 1u);
  size_t rows = 0;
  bool ended = false;
  while (Turn()) {
    sent = Sent();
    EXPECT_LE(Count(sent, qn::kPacketMoreData), kStep);
    rows += Count(sent, qn::kPacketMoreData);
    ended |= Count(sent, qn::kPacketEnd) == 1;
  }
  EXPECT_EQ(rows, 50u);
  EXPECT_TRUE(ended);
  EXPECT_EQ(CServiceRowProbe::openLists, 0);
}

TEST_F(RowStream, ABackloggedConnectionStopsTheShareAndRestsTheStreamUntilDrained) {
  CServiceRowProbe::plan.levels = {100};
  connection->backlogged = true;
  Request();
  // A step ends as soon as the queue is backlogged: one row after the schema.
  EXPECT_EQ(Count(Sent(), qn::kPacketMoreData), 1u);
  // The pulse rests: no row, and no further step is due.
  EXPECT_TRUE(Turn());
  EXPECT_TRUE(Sent().empty());
  EXPECT_FALSE(Turn());
  // A drain notice without room changes nothing.
  connection->OnOutputDrained();
  EXPECT_TRUE(Turn());
  EXPECT_TRUE(Sent().empty());
  connection->backlogged = false;
  connection->OnOutputDrained();
  size_t rows = 0;
  while (Turn()) {
    const auto sent = Sent();
    rows += Count(sent, qn::kPacketMoreData);
    if (!sent.empty() && sent.back() == qn::EncodeEndPacket(kId)) break;
  }
  EXPECT_EQ(rows, 99u);
  EXPECT_EQ(CServiceRowProbe::openLists, 0);
  EXPECT_EQ(CServiceRowProbe::finished, 1);
}

TEST_F(RowStream, ACancelOrALostConnectionAtAnyStepReleasesTheListAndSendsNothingMore) {
  // 200 rows: the own turn and six pulse steps.
  for (const bool drop : {false, true}) {
    for (int steps = 0; steps <= 5; ++steps) {
      SCOPED_TRACE(std::string(drop ? "drop" : "cancel") + " after step " + std::to_string(steps));
      CServiceRowProbe::plan.levels = {200};
      Request();
      for (int i = 0; i < steps; ++i) ASSERT_TRUE(Turn());
      ASSERT_EQ(CServiceRowProbe::openLists, 1);
      Sent();
      if (drop)
        server.RemoveConnection(connection);
      else
        Route(qn::EncodeCancelPacket(kId));
      EXPECT_EQ(CServiceRowProbe::openLists, 0);
      EXPECT_EQ(CServiceRowProbe::finished, 0);
      DrainLoop();
      EXPECT_TRUE(Sent().empty());
      if (drop) {
        ASSERT_TRUE(server.AddConnection(connection));
        connection->SetHandshakeState(CTransportBase::kNormal);
      }
    }
  }
}

TEST_F(RowStream, AStepThatCannotBeReadEndsTheListWithItsCode) {
  struct Case {
    int failAt;
    uint16_t code;  // 0: the default, 0x1306
    size_t rowsBefore;
  };
  // In the own turn (the first row, a later one) and in a pulse step.
  for (const Case& c : {Case{0, 0, 0}, Case{10, 0, 10}, Case{40, 0, 40}, Case{5, 0x1503, 5},
                        Case{70, 0x1503, 70}}) {
    SCOPED_TRACE(c.failAt);
    CServiceRowProbe::plan = {{100}, c.failAt, c.code};
    Request();
    std::vector<std::vector<uint8_t>> all = Sent();
    while (Turn()) {
      const auto step = Sent();
      all.insert(all.end(), step.begin(), step.end());
    }
    EXPECT_EQ(all.front()[0], qn::kPacketSchema);
    EXPECT_EQ(Count(all, qn::kPacketMoreData), c.rowsBefore);
    EXPECT_EQ(Count(all, qn::kPacketEnd), 0u);
    EXPECT_EQ(all.back(), qn::EncodeResultPacket(kId, c.code != 0 ? c.code : 0x1306));
    EXPECT_EQ(CServiceRowProbe::openLists, 0);
    EXPECT_EQ(CServiceRowProbe::finished, 0);
  }
}

}  // namespace
