// Allocation failures in the middle of an exchange: the code comes back as -499 and
// every socket the exchange opened is closed on the way out. A binary of its own, since
// it replaces the global operator new.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "net/http.h"
#include "tests/support/loopback_server.h"

namespace {

// While non-zero, every allocation of at least this many bytes fails.
std::atomic<size_t> fail_from{0};

void* acquire(size_t size) {
  size_t limit = fail_from.load();
  if (limit != 0 && size >= limit) throw std::bad_alloc();
  if (void* block = std::malloc(size != 0 ? size : 1)) return block;
  throw std::bad_alloc();
}

void release(void* block) {
  std::free(block);
}

}  // namespace

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

namespace {

TEST(AllocationFailure, BodyBufferFailingClosesTheConnection) {
  const int before = open_descriptor_count();
  int code = 0;
  {
    // The body buffer is the exchange's one large allocation.
    LoopbackServer server({{http_ok(std::string(60000, 'x'))}});
    HttpGetRequest* request = nullptr;
    ASSERT_EQ(http_get_new("127.0.0.1", "d.xml", server.port(), &request), 0);
    std::string body;
    int status = 0;
    fail_from = 50000;
    code = http_get(request, &body, &status);
    fail_from = 0;
    http_get_free(request);
    EXPECT_EQ(status, 200);
    EXPECT_TRUE(body.empty());
  }  // the server's own descriptors are closed here
  EXPECT_EQ(code, -499);
  EXPECT_EQ(open_descriptor_count(), before);
}

}  // namespace
