#include "server/core/output_budget.h"

#include <algorithm>

namespace qn {

std::vector<int> ChooseQueuesToClose(const OutputBudget& budget, std::vector<QueueState> queues,
                                     size_t total) {
  std::vector<int> chosen;
  if (total <= budget.limit) return chosen;
  const auto stalled = [&](const QueueState& q) {
    return q.stalledMs >= budget.stallMs && q.bytes > budget.idleBytes;
  };
  const auto qualifies = [&](const QueueState& q) { return stalled(q) || q.bytes > budget.backlogBytes; };
  queues.erase(std::remove_if(queues.begin(), queues.end(), [&](const QueueState& q) { return !qualifies(q); }),
               queues.end());
  // Stalled queues, largest first; then the rest, the one that drained
  // longest ago first: a member who reads, if behind, goes last.
  std::sort(queues.begin(), queues.end(), [&](const QueueState& a, const QueueState& b) {
    const bool aStalled = stalled(a), bStalled = stalled(b);
    if (aStalled != bStalled) return aStalled;
    if (!aStalled && a.stalledMs != b.stalledMs) return a.stalledMs > b.stalledMs;
    if (a.bytes != b.bytes) return a.bytes > b.bytes;
    return a.id < b.id;
  });
  for (const QueueState& q : queues) {
    if (total <= budget.target) break;
    chosen.push_back(q.id);
    total -= std::min(total, q.bytes);
  }
  return chosen;
}

}  // namespace qn
