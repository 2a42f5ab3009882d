#include "python/object_lock.hpp"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tavrino::python {

namespace {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "the futex works on the state word itself");

// How often a contended acquirer looks at the state before it goes to sleep. A
// holder runs a closed-form solve or one solver step, a few microseconds at most.
constexpr int kSpinLimit = 100;

std::uint32_t* futex_word(std::atomic<std::uint32_t>& state) {
  return reinterpret_cast<std::uint32_t*>(&state);
}

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace

void ObjectLock::lock_contended() noexcept {
  // Spin while the holder works alone: a wake-up costs more than a short wait.
  std::uint32_t observed = state_.load(std::memory_order_relaxed);
  for (int spin = 0; observed == 1 && spin < kSpinLimit; ++spin) {
    cpu_relax();
    observed = state_.load(std::memory_order_relaxed);
  }
  if (observed == 0) {
    std::uint32_t expected = 0;
    if (state_.compare_exchange_strong(expected, 1, std::memory_order_seq_cst)) return;
  }
  // Announce a waiter (state 2) and sleep until the state changes. Holding the
  // lock in state 2 costs the next release one wake-up it might not need, but
  // never loses one.
  while (state_.exchange(2, std::memory_order_seq_cst) != 0) {
    // Returns at once if the state is no longer 2; spurious returns just loop.
    syscall(SYS_futex, futex_word(state_), FUTEX_WAIT_PRIVATE, 2u, nullptr, nullptr, 0);
  }
}

void ObjectLock::wake_one() noexcept {
  syscall(SYS_futex, futex_word(state_), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

}  // namespace tavrino::python
