// The connection's output queue: frames back to back, partial writes from the
// head, whole frames counted once each, the memory a backlog of small rows
// costs, and a frame given in two parts (a header and its body).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/core/output_queue.h"

namespace {

std::string Drain(qn::OutputQueue& queue, size_t step, std::vector<uint32_t>* frames) {
  std::string written;
  while (!queue.Empty()) {
    std::vector<qn::OutputQueue::Run> runs;
    queue.Gather(runs, 3);
    size_t budget = step;
    size_t taken = 0;
    for (const auto& run : runs) {
      const size_t n = std::min(budget, run.length);
      written.append(reinterpret_cast<const char*>(run.data), n);
      budget -= n;
      taken += n;
      if (n < run.length) break;
    }
    queue.Consume(taken, [](void* c, uint32_t bytes) { static_cast<std::vector<uint32_t>*>(c)->push_back(bytes); },
                  frames);
  }
  return written;
}

TEST(OutputQueue, PartialWritesKeepEveryByteInOrderAndCountWholeFrames) {
  for (size_t step : {1u, 7u, 100u, 5000u, 1000000u}) {
    qn::OutputQueue queue;
    std::string expected;
    std::vector<uint32_t> lengths;
    for (int i = 0; i < 300; ++i) {
      const std::string payload(static_cast<size_t>(i * 37 % 3000), static_cast<char>('a' + i % 26));
      queue.PushFrame(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
      expected += static_cast<char>(payload.size() & 0xFF);
      expected += static_cast<char>(payload.size() >> 8);
      expected += payload;
      lengths.push_back(static_cast<uint32_t>(payload.size() + 2));
    }
    EXPECT_EQ(queue.Packets(), 300u);
    EXPECT_EQ(queue.Bytes(), expected.size());
    std::vector<uint32_t> counted;
    EXPECT_EQ(Drain(queue, step, &counted), expected) << "step " << step;
    EXPECT_EQ(counted, lengths) << "step " << step;
    EXPECT_EQ(queue.HeldBytes(), 0u);
    EXPECT_EQ(queue.Packets(), 0u);
  }
}

TEST(OutputQueue, ABacklogOfSmallRowsCostsLittleMoreThanItsBytes) {
  qn::OutputQueue queue;
  const std::vector<uint8_t> row(77, 'x');
  for (int i = 0; i < 200000; ++i) queue.PushFrame(row.data(), row.size());
  EXPECT_EQ(queue.Bytes(), 200000u * 79);
  // Chunks plus the 4-byte frame length kept per row.
  EXPECT_LT(queue.HeldBytes() + 4 * queue.Packets(), queue.Bytes() * 11 / 10);
  std::vector<uint32_t> counted;
  Drain(queue, 65536, &counted);
  EXPECT_EQ(counted.size(), 200000u);
}

TEST(OutputQueue, AFramePushedInTwoPartsIsTheFrameOfBoth) {
  const std::string head = "\x04\x07\x00";
  const std::string body = "row bytes";
  struct Case {
    std::string head, body;
  };
  for (const Case& c : {Case{head, body}, Case{head, ""}, Case{"", body}, Case{"", ""}}) {
    qn::OutputQueue parts, whole;
    parts.PushFrame(reinterpret_cast<const uint8_t*>(c.head.data()), c.head.size(),
                    reinterpret_cast<const uint8_t*>(c.body.data()), c.body.size());
    const std::string joined = c.head + c.body;
    whole.PushFrame(reinterpret_cast<const uint8_t*>(joined.data()), joined.size());
    EXPECT_EQ(parts.Bytes(), whole.Bytes());
    std::vector<uint32_t> partsFrames, wholeFrames;
    EXPECT_EQ(Drain(parts, 1000000, &partsFrames), Drain(whole, 1000000, &wholeFrames))
        << c.head.size() << "+" << c.body.size();
    EXPECT_EQ(partsFrames, wholeFrames);
  }
}

}  // namespace
