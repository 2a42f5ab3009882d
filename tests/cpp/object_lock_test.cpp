#include "python/object_lock.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <tavrino/kinematics/internal_error.hpp>

namespace tavrino::python {
namespace {

using namespace std::chrono_literals;

void expect_poisoned_refusal(ObjectLock& lock) {
  bool ran = false;
  try {
    with_lock(lock, [&] { ran = true; });
    FAIL() << "a poisoned lock let a holder in";
  } catch (const InternalError& error) {
    EXPECT_EQ(error.message(), kPoisonedLockMessage);
  }
  EXPECT_FALSE(ran);
  EXPECT_EQ(lock.state(), 0u) << "the refusal must release the lock";
}

TEST(ObjectLock, PassesTheBodyResultAndReleases) {
  ObjectLock lock;
  auto owned = with_lock(lock, [] { return std::make_unique<int>(7); });
  ASSERT_TRUE(owned);
  EXPECT_EQ(*owned, 7);
  int& ref_target = *owned;
  with_lock(lock, [&] { ref_target = 8; });
  EXPECT_EQ(*owned, 8);
  EXPECT_EQ(lock.state(), 0u);
  EXPECT_FALSE(lock.poisoned());
}

TEST(ObjectLock, InternalErrorPoisonsForGood) {
  ObjectLock lock;
  EXPECT_THROW(with_lock(lock, [] { throw InternalError("broken precondition"); }), InternalError);
  EXPECT_TRUE(lock.poisoned());
  EXPECT_EQ(lock.state(), 0u);
  for (int i = 0; i < 3; ++i) expect_poisoned_refusal(lock);
}

TEST(ObjectLock, AnyExceptionButBadAllocPoisons) {
  ObjectLock other;
  EXPECT_THROW(with_lock(other, [] { throw std::runtime_error("x"); }), std::runtime_error);
  expect_poisoned_refusal(other);

  ObjectLock memory;
  EXPECT_THROW(with_lock(memory, []() -> int { throw std::bad_alloc(); }), std::bad_alloc);
  EXPECT_FALSE(memory.poisoned());
  EXPECT_EQ(memory.state(), 0u);
  EXPECT_EQ(with_lock(memory, [] { return 3; }), 3);
}

// Each worker does a non-atomic read-modify-write of shared counters under the
// lock, with a pause inside so that others pile up on the futex path. Any
// overlap of holders loses increments or shows two holders at once.
TEST(ObjectLock, ExcludesConcurrentHoldersUnderContention) {
  ObjectLock lock;
  long counter = 0;
  std::atomic<int> inside{0};
  std::atomic<bool> overlap{false};
  constexpr int kThreads = 6;
  constexpr int kRounds = 2000;
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        with_lock(lock, [&] {
          if (inside.fetch_add(1) != 0) overlap = true;
          const long seen = counter;
          if ((i + t) % 97 == 0) std::this_thread::sleep_for(50us);
          counter = seen + 1;
          inside.fetch_sub(1);
        });
      }
    });
  }
  for (auto& worker : workers) worker.join();
  EXPECT_FALSE(overlap);
  EXPECT_EQ(counter, long{kThreads} * kRounds);
  EXPECT_EQ(lock.state(), 0u);
}

// A waiter sleeping on the futex must be woken by the release, and must then see
// the holder's poisoning.
TEST(ObjectLock, WaiterIsWokenAndSeesPoison) {
  ObjectLock lock;
  std::atomic<bool> holding{false};
  std::thread holder([&] {
    try {
      with_lock(lock, [&] {
        holding = true;
        std::this_thread::sleep_for(50ms);
        throw InternalError("failed while holding");
      });
    } catch (const InternalError&) {
    }
  });
  while (!holding) std::this_thread::yield();
  std::thread waiter([&] {
    // Arrives while the lock is held, so it spins, then sleeps in state 2.
    expect_poisoned_refusal(lock);
  });
  holder.join();
  waiter.join();
  EXPECT_TRUE(lock.poisoned());
  EXPECT_EQ(lock.state(), 0u);
}

TEST(ObjectLock, SleepingWaiterMarksTheStateContended) {
  ObjectLock lock;
  lock.lock();
  EXPECT_EQ(lock.state(), 1u);
  std::atomic<bool> acquired{false};
  std::thread waiter([&] {
    lock.lock();
    acquired = true;
    lock.unlock();
  });
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (lock.state() != 2u && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(lock.state(), 2u);
  EXPECT_FALSE(acquired);
  lock.unlock();
  waiter.join();
  EXPECT_TRUE(acquired);
  EXPECT_EQ(lock.state(), 0u);
}

}  // namespace
}  // namespace tavrino::python
