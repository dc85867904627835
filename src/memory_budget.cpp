#include "memory_budget.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string>

namespace quillon {
namespace {

// Below this, a reservation is not worth a look at /proc: the process could not tell it apart
// from its ordinary allocations.
constexpr ByteSize kAlwaysGranted = ByteSize{16} << 20;

ByteSize physical_memory_bytes() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return ~ByteSize{0};
  return static_cast<ByteSize>(pages) * static_cast<ByteSize>(page_size);
}

// The "MemAvailable:" line of /proc/meminfo in bytes, or 0 when it cannot be read.
ByteSize meminfo_available_bytes() {
  const int fd = ::open("/proc/meminfo", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char buf[4096];
  size_t used = 0;
  while (used < sizeof(buf) - 1) {
    const ssize_t n = ::read(fd, buf + used, sizeof(buf) - 1 - used);
    if (n <= 0) break;
    used += static_cast<size_t>(n);
  }
  ::close(fd);
  const std::string_view text(buf, used);
  constexpr std::string_view kKey = "MemAvailable:";
  const size_t at = text.find(kKey);
  if (at == std::string_view::npos) return 0;
  size_t pos = at + kKey.size();
  while (pos < text.size() && text[pos] == ' ') ++pos;
  uint64_t kib = 0;
  const auto res = std::from_chars(text.data() + pos, text.data() + text.size(), kib);
  if (res.ec != std::errc()) return 0;
  return static_cast<ByteSize>(kib) * 1024;
}

void append_decimal(std::string& out, ByteSize v) {
  char digits[40];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + static_cast<int>(v % 10));
    v /= 10;
  } while (v != 0);
  while (n > 0) out.push_back(digits[--n]);
}

}  // namespace

ByteSize available_memory_bytes() {
  const ByteSize available = meminfo_available_bytes();
  return available != 0 ? available : physical_memory_bytes();
}

MemoryRefused::MemoryRefused(std::string_view what, ByteSize asked, ByteSize available) noexcept
    : message_{} {
  try {
    std::string text = "not enough memory for ";
    text.append(what);
    text += ": ";
    // A size that did not fit in 64 bits was saturated by the caller.
    if (asked >= ByteSize{1} << 64) {
      text += "over 18446744073709551615";
    } else {
      append_decimal(text, asked);
    }
    text += " bytes asked, ";
    append_decimal(text, available);
    text += " bytes available";
    const size_t n = std::min(text.size(), sizeof(message_) - 1);
    std::memcpy(message_, text.data(), n);
    message_[n] = '\0';
  } catch (...) {
    constexpr std::string_view kFallback = "not enough memory";
    std::memcpy(message_, kFallback.data(), kFallback.size());
  }
}

void require_memory(ByteSize bytes, std::string_view what) {
  if (bytes <= kAlwaysGranted) return;
  const ByteSize available = available_memory_bytes();
  if (bytes > available) throw MemoryRefused(what, bytes, available);
}

}  // namespace quillon
