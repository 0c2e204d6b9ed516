// Gives the allocator's free memory back to the system (glibc's malloc_trim):
// freed blocks in the middle of the heap otherwise stay with the process,
// so its size would follow its worst moment instead of its load.
#pragma once

namespace qn {

// True when some memory was given back.
bool TrimFreeMemory();

}  // namespace qn
