#pragma once

// Counts the heap allocations that a piece of code makes, for the tests of the
// calls that promise to allocate nothing. It replaces the global allocation
// functions of the whole test program, so include it in exactly one source file.
//
// Every operator new is counted, and so are malloc and its relatives (glibc
// allows the program to replace them; the replacements forward to glibc's own
// allocator), so that an allocation that bypasses operator new counts as well.
// AddressSanitizer replaces malloc itself; under it only operator new is counted.

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define TTK_TEST_COUNTS_MALLOC 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TTK_TEST_COUNTS_MALLOC 0
#endif
#endif
#ifndef TTK_TEST_COUNTS_MALLOC
#define TTK_TEST_COUNTS_MALLOC 1
#endif

namespace tavrino_test {

inline std::atomic<bool> allocations_armed{false};
inline std::atomic<long> allocations_seen{0};

inline void note_allocation() noexcept {
  if (allocations_armed.load(std::memory_order_relaxed)) {
    allocations_seen.fetch_add(1, std::memory_order_relaxed);
  }
}

// The number of allocations that `code` makes.
template <class Code>
long count_allocations(Code&& code) {
  allocations_seen = 0;
  allocations_armed = true;
  code();
  allocations_armed = false;
  return allocations_seen.load();
}

}  // namespace tavrino_test

#if TTK_TEST_COUNTS_MALLOC
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void* __libc_valloc(std::size_t size);
void* __libc_pvalloc(std::size_t size);
void __libc_free(void* pointer);

void* malloc(std::size_t size) noexcept {
  tavrino_test::note_allocation();
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) noexcept {
  tavrino_test::note_allocation();
  return __libc_calloc(count, size);
}
void* realloc(void* pointer, std::size_t size) noexcept {
  tavrino_test::note_allocation();
  return __libc_realloc(pointer, size);
}
void* memalign(std::size_t alignment, std::size_t size) noexcept {
  tavrino_test::note_allocation();
  return __libc_memalign(alignment, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
  tavrino_test::note_allocation();
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) noexcept {
  tavrino_test::note_allocation();
  *out = __libc_memalign(alignment, size);
  return *out || size == 0 ? 0 : 12;  // ENOMEM
}
void* valloc(std::size_t size) noexcept {
  tavrino_test::note_allocation();
  return __libc_valloc(size);
}
void* pvalloc(std::size_t size) noexcept {
  tavrino_test::note_allocation();
  return __libc_pvalloc(size);
}
void free(void* pointer) noexcept { __libc_free(pointer); }
}
#endif

void* operator new(std::size_t size) {
  tavrino_test::note_allocation();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  tavrino_test::note_allocation();
  const std::size_t align = static_cast<std::size_t>(alignment);
  const std::size_t rounded = (size + align - 1) / align * align;
  if (void* p = std::aligned_alloc(align, rounded == 0 ? align : rounded)) return p;
  throw std::bad_alloc();
}
// Not inlined: GCC would otherwise see free() meet a pointer from operator new
// at the call site and warn about a mismatch that is none here.
[[gnu::noinline]] void operator delete(void* pointer) noexcept { std::free(pointer); }
[[gnu::noinline]] void operator delete(void* pointer, std::size_t) noexcept { std::free(pointer); }
[[gnu::noinline]] void operator delete(void* pointer, std::align_val_t) noexcept { std::free(pointer); }
[[gnu::noinline]] void operator delete(void* pointer, std::size_t, std::align_val_t) noexcept {
  std::free(pointer);
}
