#include "helper_thread.hpp"

#include <cstdlib>
#include <cstring>
#include <system_error>

namespace quillon {

namespace {

// A row's half takes microseconds, so a waiter spins about that long before it sleeps.
constexpr int kSpins = 2000;

inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Waits until `value` no longer holds `old`.
void wait_change(const std::atomic<uint32_t>& value, uint32_t old) {
  for (int i = 0; i < kSpins; ++i) {
    if (value.load(std::memory_order_acquire) != old) return;
    relax();
  }
  while (value.load(std::memory_order_acquire) == old) value.wait(old, std::memory_order_acquire);
}

bool helper_allowed() {
  const char* setting = std::getenv("QUILLON_BATCH_THREADS");
  return setting == nullptr || std::strcmp(setting, "1") != 0;
}

}  // namespace

bool batch_helper_wanted(size_t rows, size_t parts) {
  // Starting a thread costs tens of microseconds: worth it from a few rows on.
  constexpr size_t kMinRows = 16;
  static const bool allowed = helper_allowed() && std::thread::hardware_concurrency() >= 2;
  return allowed && rows >= kMinRows && parts >= 2;
}

HelperThread::~HelperThread() {
  if (!thread_.joinable()) return;
  stop_.store(true, std::memory_order_relaxed);
  posted_.fetch_add(1, std::memory_order_release);
  posted_.notify_one();
  thread_.join();
}

bool HelperThread::start() {
  try {
    thread_ = std::thread([this] { loop(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

uint32_t HelperThread::post() {
  const uint32_t generation = posted_.fetch_add(1, std::memory_order_release) + 1;
  posted_.notify_one();
  return generation;
}

bool HelperThread::claim(uint32_t generation) {
  uint32_t expected = generation - 1;
  return claimed_.compare_exchange_strong(expected, generation, std::memory_order_acq_rel);
}

void HelperThread::wait_done(uint32_t generation) {
  uint32_t seen = done_.load(std::memory_order_acquire);
  while (seen != generation) {
    wait_change(done_, seen);
    seen = done_.load(std::memory_order_acquire);
  }
}

void HelperThread::loop() {
  uint32_t seen = 0;
  for (;;) {
    wait_change(posted_, seen);
    seen = posted_.load(std::memory_order_acquire);
    if (stop_.load(std::memory_order_relaxed)) return;
    if (!claim(seen)) continue;
    try {
      fn_(context_, 1);
    } catch (...) {
      helper_error_ = std::current_exception();
    }
    done_.store(seen, std::memory_order_release);
    done_.notify_one();
  }
}

}  // namespace quillon
