// Refusing sizes the machine could never hold. With Linux overcommit an oversized allocation
// succeeds and the process dies when the pages are touched, so sizes are checked up front.
#pragma once

#include <new>

namespace quillon {

using ByteSize = unsigned __int128;  // wide enough that products of configuration values never wrap

// Physical memory of the machine in bytes; effectively unlimited when the system cannot tell.
ByteSize physical_memory_bytes();

// Throws std::bad_alloc (MemoryError in Python) when `bytes` exceeds physical memory.
inline void require_physical_memory(ByteSize bytes) {
  if (bytes > physical_memory_bytes()) throw std::bad_alloc();
}

}  // namespace quillon
