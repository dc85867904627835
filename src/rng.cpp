#include "rng.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace quillon {
namespace {

using GetrandomFn = ssize_t (*)(void*, size_t, unsigned int);

struct EntropySource {
  GetrandomFn getrandom = nullptr;
  int urandom_fd = -1;
};

// Looked up once per process: getrandom if the C library has it and the kernel answers,
// otherwise /dev/urandom, opened after /dev/random has become readable (the pool is seeded).
const EntropySource& entropy_source() {
  static EntropySource source;
  static std::once_flag once;
  std::call_once(once, [] {
    auto fn = reinterpret_cast<GetrandomFn>(dlsym(RTLD_DEFAULT, "getrandom"));
    if (fn != nullptr) {
      const ssize_t probe = fn(nullptr, 0, 0);
      if (probe < 0 && (errno == ENOSYS || errno == EPERM)) fn = nullptr;
    }
    source.getrandom = fn;
    if (fn != nullptr) return;
    const int random_fd = open("/dev/random", O_RDONLY | O_CLOEXEC);
    if (random_fd >= 0) {
      pollfd pfd{random_fd, POLLIN, 0};
      while (poll(&pfd, 1, -1) < 0 && errno == EINTR) {
      }
      close(random_fd);
    }
    source.urandom_fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  });
  return source;
}

bool fill_entropy(unsigned char* buf, size_t len) {
  const EntropySource& src = entropy_source();
  size_t filled = 0;
  while (filled < len) {
    ssize_t got;
    if (src.getrandom != nullptr) {
      got = src.getrandom(buf + filled, len - filled, 0);
    } else {
      if (src.urandom_fd < 0) return false;
      got = read(src.urandom_fd, buf + filled, len - filled);
    }
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0 || static_cast<size_t>(got) > len - filled) return false;
    filled += static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

Xoshiro256PlusPlus Xoshiro256PlusPlus::from_entropy() {
  unsigned char bytes[32];
  if (!fill_entropy(bytes, sizeof bytes)) {
    internal_failure("unexpected failure from SysRng", __FILE__, __LINE__);
  }
  Xoshiro256PlusPlus g;
  bool all_zero = true;
  for (int i = 0; i < 4; ++i) {
    uint64_t w = 0;
    for (int b = 7; b >= 0; --b) w = (w << 8) | bytes[i * 8 + b];
    g.s[i] = w;
    all_zero = all_zero && w == 0;
  }
  return all_zero ? from_seed(0) : g;
}

}  // namespace quillon
