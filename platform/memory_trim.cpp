#include "platform/memory_trim.h"

#include <malloc.h>

namespace qn {

bool TrimFreeMemory() { return ::malloc_trim(0) != 0; }

// A fixed threshold also ends glibc's own adjustment of it and of the size
// above which blocks are mapped apart, which otherwise follows the largest
// block freed so far.
void KeepFreedMemoryUpTo(size_t bytes) { ::mallopt(M_TRIM_THRESHOLD, static_cast<int>(bytes)); }

}  // namespace qn
