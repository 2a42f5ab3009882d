#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include <tavrino/kinematics/internal_error.hpp>

namespace tavrino::python {

// The lock that guards the model of one Python object. The interpreter lock is
// held by every caller, so in practice the lock is never contended; the futex
// path exists so that the model stays consistent whatever the threading of the
// host. Not re-entrant.
//
// State word: 0 unlocked, 1 locked with nobody waiting, 2 locked and somebody
// may be waiting (so the releaser must wake one thread).
//
// Poisoning: a holder that ends in an internal error leaves the model in an
// unknown state, so the flag is set and never cleared; with_lock refuses every
// later holder.
class ObjectLock {
 public:
  ObjectLock() noexcept = default;
  ObjectLock(const ObjectLock&) = delete;
  ObjectLock& operator=(const ObjectLock&) = delete;

  void lock() noexcept {
    std::uint32_t expected = 0;
    if (!state_.compare_exchange_strong(expected, 1, std::memory_order_seq_cst)) lock_contended();
  }

  void unlock() noexcept {
    if (state_.exchange(0, std::memory_order_seq_cst) == 2) wake_one();
  }

  // Both only while holding the lock.
  bool poisoned() const noexcept { return poisoned_.load(std::memory_order_relaxed); }
  void poison() noexcept { poisoned_.store(true, std::memory_order_relaxed); }

  // For tests and diagnostics only: the raw state word.
  std::uint32_t state() const noexcept { return state_.load(std::memory_order_seq_cst); }

 private:
  void lock_contended() noexcept;
  void wake_one() noexcept;

  std::atomic<std::uint32_t> state_{0};
  std::atomic<bool> poisoned_{false};
};

// Runs `body` holding `lock` and returns what it returns.
//
// A poisoned lock is released again (it stays poisoned) and the call ends with
// the poisoned-lock internal error before `body` runs. An exception leaving
// `body` releases the lock and poisons it, except std::bad_alloc: running out
// of C++ heap leaves the model as it was (appending a branch has the strong
// guarantee, result buffers are not part of the model), so it is reported as
// an ordinary memory error and the object stays usable.
template <class Body>
decltype(auto) with_lock(ObjectLock& lock, Body&& body) {
  using Result = std::invoke_result_t<Body&&>;
  lock.lock();
  if (lock.poisoned()) {
    lock.unlock();
    throw InternalError(kPoisonedLockMessage);
  }
  try {
    if constexpr (std::is_void_v<Result>) {
      std::forward<Body>(body)();
      lock.unlock();
    } else {
      Result result = std::forward<Body>(body)();
      lock.unlock();
      return result;
    }
  } catch (const std::bad_alloc&) {
    lock.unlock();
    throw;
  } catch (...) {
    lock.poison();
    lock.unlock();
    throw;
  }
}

}  // namespace tavrino::python
