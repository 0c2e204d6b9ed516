// Gives the allocator's free memory back to the system (glibc's malloc_trim):
// freed blocks in the middle of the heap otherwise stay with the process,
// so its size would follow its worst moment instead of its load.
#pragma once
#include <cstddef>

namespace qn {

// True when some memory was given back.
bool TrimFreeMemory();
// Lets the allocator keep up to `bytes` free at the top of its heap instead
// of giving each freed stretch back at once (and taking it again, page by
// page, for the next reply): what goes back then goes by TrimFreeMemory.
void KeepFreedMemoryUpTo(size_t bytes);

}  // namespace qn
