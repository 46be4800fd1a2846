#include "tests/support/failing_new.h"

#include <atomic>
#include <cstdlib>
#include <new>

#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
#include <malloc.h>
#endif

namespace {

std::atomic<size_t> fail_from{0};

void* acquire(size_t size) {
  const size_t limit = fail_from.load();
  if (limit != 0 && size >= limit) throw std::bad_alloc();
  if (void* block = std::malloc(size != 0 ? size : 1)) return block;
  throw std::bad_alloc();
}

void release(void* block) {
  std::free(block);
}

}  // namespace

void fail_allocations_from(size_t bytes) {
  fail_from = bytes;
}

size_t heap_bytes_held() {
#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
  return mallinfo2().uordblks;
#else
  return 0;  // the sanitized build's leak check stands in for this count
#endif
}

bool heap_bytes_known() {
#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
  return true;
#else
  return false;
#endif
}

// Every form the code uses, the ones that do not throw included, so that all memory is
// taken and given back by the same pair.
void* operator new(size_t size) {
  return acquire(size);
}
void* operator new[](size_t size) {
  return acquire(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  try {
    return acquire(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* block) noexcept {
  release(block);
}
void operator delete[](void* block) noexcept {
  release(block);
}
void operator delete(void* block, size_t) noexcept {
  release(block);
}
void operator delete[](void* block, size_t) noexcept {
  release(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
  release(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
  release(block);
}
