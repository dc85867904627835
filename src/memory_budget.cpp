#include "memory_budget.hpp"

#include <unistd.h>

namespace quillon {

ByteSize physical_memory_bytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return ~ByteSize{0};
  return static_cast<ByteSize>(pages) * static_cast<ByteSize>(page_size);
}

}  // namespace quillon
