#include "testkit/work_budget.h"

#include <cstdlib>
#include <new>

#include "store/store_testing.h"

namespace {
std::uint64_t g_allocated = 0;
}

void* operator new(std::size_t size) {
  g_allocated += size;
  if (void* block = std::malloc(size != 0 ? size : 1)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
// Every form that pairs with the plain delete is replaced, so that no block
// is taken from one allocator and given back to another.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  g_allocated += size;
  return std::malloc(size != 0 ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

namespace work_budget {

std::uint64_t AllocatedBytes() { return g_allocated; }
std::uint64_t Work() { return store::StoreSteps() + g_allocated; }

}  // namespace work_budget
