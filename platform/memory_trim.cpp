#include "platform/memory_trim.h"

#include <malloc.h>

namespace qn {

bool TrimFreeMemory() { return ::malloc_trim(0) != 0; }

}  // namespace qn
