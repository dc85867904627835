// A second thread that a batch can hand half of each row's work to. The caller posts a job and
// runs its own half; then, if the helper has not taken the other half yet (it sleeps, or the
// machine is busy), the caller runs that half too, so a batch never waits on a thread that is not
// running. Between rows the helper spins briefly, then sleeps. Nothing here touches Python:
// batches run with the interpreter lock released.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <thread>

namespace quillon {

// Whether a batch of `rows` rows, whose rows split into `parts` independent parts of work, should
// take a helper thread: the machine has a second hardware thread and the environment variable
// QUILLON_BATCH_THREADS does not say 1.
bool batch_helper_wanted(size_t rows, size_t parts);

class HelperThread {
 public:
  HelperThread() = default;
  HelperThread(const HelperThread&) = delete;
  HelperThread& operator=(const HelperThread&) = delete;
  ~HelperThread();

  // Starts the thread; false when the system refuses one (the batch then runs alone).
  bool start();

  // Runs job.run(0) on the caller's thread and job.run(1) on the helper's (or the caller's, after
  // its own, when the helper has not taken it), and returns when both are done. The two may run
  // at the same time. An exception of either half is rethrown here, the caller's first. Returns
  // whether the helper ran its half.
  template <class Job>
  bool run_pair(Job& job) {
    fn_ = [](void* context, int part) { static_cast<Job*>(context)->run(part); };
    context_ = &job;
    const uint32_t generation = post();
    std::exception_ptr error;
    try {
      job.run(0);
    } catch (...) {
      error = std::current_exception();
    }
    // The second half is claimed even after a failure, so that it cannot start once the job is
    // gone.
    const bool mine = claim(generation);
    if (mine) {
      if (!error) {
        try {
          job.run(1);
        } catch (...) {
          error = std::current_exception();
        }
      }
    } else {
      wait_done(generation);
      if (!error) error = helper_error_;
      helper_error_ = nullptr;
    }
    if (error) std::rethrow_exception(error);
    return !mine;
  }

 private:
  uint32_t post();
  // Takes the posted half of `generation` for the calling thread; false when already taken.
  bool claim(uint32_t generation);
  void wait_done(uint32_t generation);
  void loop();

  std::thread thread_;
  void (*fn_)(void*, int) = nullptr;
  void* context_ = nullptr;
  std::atomic<bool> stop_{false};
  std::exception_ptr helper_error_;
  // Generations: the caller raises posted_ to hand over a job; whoever takes its second half
  // raises claimed_ to it; the helper, when it ran that half, copies it to done_.
  std::atomic<uint32_t> posted_{0};
  std::atomic<uint32_t> claimed_{0};
  std::atomic<uint32_t> done_{0};
};

}  // namespace quillon
