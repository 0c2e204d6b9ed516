// The budget of all output queues together: which queues it closes, in what
// order, and which it never touches.
#include <gtest/gtest.h>

#include <vector>

#include "server/core/output_budget.h"

namespace {

using qn::QueueState;

// Small numbers of the transport's shape: limit 100, back down to 75;
// stalled after 1,000 ms; 10 bytes idle; 30 bytes are more than a resting
// producer leaves.
const qn::OutputBudget kBudget{100, 75, 1000, 10, 30};

size_t Sum(const std::vector<QueueState>& queues) {
  size_t total = 0;
  for (const QueueState& q : queues) total += q.bytes;
  return total;
}

TEST(OutputBudget, ClosesStalledQueuesThenTheLeastDrainingUntilWellBelowTheLimit) {
  struct Case {
    const char* what;
    std::vector<QueueState> queues;
    std::vector<int> closed;
  };
  const std::vector<Case> cases = {
      {"within the limit nothing goes", {{1, 60, 5000}, {2, 40, 5000}}, {}},
      {"a stalled queue goes before larger draining ones",
       {{1, 50, 0}, {2, 20, 2000}, {3, 31, 10}},
       {2, 3}},
      {"among stalled queues the largest first",
       {{1, 30, 1500}, {2, 40, 3000}, {3, 45, 1000}, {4, 25, 0}},
       {3, 2}},
      {"equal queues go by number", {{7, 35, 0}, {3, 35, 0}, {5, 35, 0}, {9, 35, 0}}, {3, 5}},
      {"past the backlog, the queue that drained longest ago goes before a larger one",
       {{1, 60, 0}, {2, 31, 400}, {3, 31, 20}},
       {2, 3}},
      {"draining queues a resting producer could leave stay, though the sum is over",
       {{1, 30, 0}, {2, 30, 999}, {3, 30, 0}, {4, 30, 0}},
       {}},
      {"stalled but idle queues stay", {{1, 10, 9000}, {2, 95, 0}}, {2}},
      {"what qualifies goes even if the target is out of reach", {{1, 40, 0}, {2, 30, 0}, {3, 30, 0}, {4, 30, 0}}, {1}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(qn::ChooseQueuesToClose(kBudget, c.queues, Sum(c.queues)), c.closed) << c.what;
  }
}

TEST(OutputBudget, AHundredQueuesThatNeverDrainAreClosedDownToTheTarget) {
  // A room's never-reading occupants, each past what a producer leaves, and
  // ten readers with a little queued.
  const qn::OutputBudget budget{32 << 20, 24 << 20, 1000, 64 << 10, 320 << 10};
  std::vector<QueueState> queues;
  for (int i = 0; i < 100; ++i) queues.push_back({i, 330 << 10, 50});
  for (int i = 100; i < 110; ++i) queues.push_back({i, 2 << 10, 0});
  const size_t total = Sum(queues);
  const std::vector<int> closed = qn::ChooseQueuesToClose(budget, queues, total);
  size_t left = total;
  for (int id : closed) {
    EXPECT_LT(id, 100) << "a reader was closed";
    left -= 330 << 10;
  }
  EXPECT_LE(left, budget.target);
  EXPECT_GT(left + (330 << 10), budget.target) << "more closed than needed";
}

}  // namespace
