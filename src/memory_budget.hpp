// Refusing sizes the machine cannot hold now. With Linux overcommit an oversized allocation
// succeeds and the process dies when the pages are touched, so sizes are checked up front.
#pragma once

#include <cstddef>
#include <new>
#include <string_view>

namespace quillon {

using ByteSize = unsigned __int128;  // wide enough that products of configuration values never wrap

// Memory the system can still hand out: MemAvailable from /proc/meminfo, else the machine's
// physical memory; effectively unlimited when neither can be read.
ByteSize available_memory_bytes();

// A refused reservation (MemoryError in Python) whose message names what asked and how much.
class MemoryRefused : public std::bad_alloc {
 public:
  MemoryRefused(std::string_view what, ByteSize asked, ByteSize available) noexcept;
  const char* what() const noexcept override { return message_; }

 private:
  char message_[256];
};

// Throws MemoryRefused, naming `what` (the parameters behind the size, such as
// "capacity=256, num_trees=50"), when `bytes` exceeds the memory available. A size of 2^64 or more
// stands for any size too large to count. Sizes below a few megabytes are always granted without
// asking the system.
void require_memory(ByteSize bytes, std::string_view what);

}  // namespace quillon
