// What the output queues of all connections may hold together. Each queue has
// its own limit, but members create their own accounts: a hundred members who
// enter a busy room and never read would each cost that limit. Past the
// budget, queues are closed until the sum is well below it again: first those
// that stopped draining, largest first, then those holding more than any
// producer that rests on a full queue leaves, the one that drained longest
// ago first. Queues of members who read stay.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qn {

struct OutputBudget {
  // The sum that starts a round of closing, and the sum it closes down to.
  size_t limit = 0;
  size_t target = 0;
  // A queue that took no bytes for this long is no longer draining; one that
  // holds no more than `idleBytes` is not worth closing.
  int64_t stallMs = 0;
  size_t idleBytes = 0;
  // More than a resting producer leaves queued: only pushes from other
  // members, or replies made in one go, put a queue above it.
  size_t backlogBytes = 0;
};

struct QueueState {
  int id = 0;
  size_t bytes = 0;
  // Since the socket last took bytes while output waited; 0 for an empty
  // queue.
  int64_t stalledMs = 0;
};

// The queues to close, in order, for a sum of `total` queued bytes: none
// while it is within the limit. May not reach the target when too few
// queues qualify.
std::vector<int> ChooseQueuesToClose(const OutputBudget& budget, std::vector<QueueState> queues,
                                     size_t total);

}  // namespace qn
