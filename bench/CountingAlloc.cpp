#include "bench/CountingAlloc.h"

#include <malloc.h>

#include <cstdlib>
#include <new>

namespace velmor::bench {
namespace {

thread_local std::uint64_t t_allocations = 0;
thread_local std::int64_t t_live = 0;

void* Take(std::size_t n, std::size_t align, bool nothrow) {
  if (n == 0) n = 1;
  void* p =
      align > alignof(std::max_align_t) ? std::aligned_alloc(align, (n + align - 1) / align * align) : std::malloc(n);
  if (p == nullptr) {
    if (nothrow) return nullptr;
    throw std::bad_alloc();
  }
  ++t_allocations;
  t_live += static_cast<std::int64_t>(malloc_usable_size(p));
  return p;
}

void Give(void* p) {
  if (p == nullptr) return;
  t_live -= static_cast<std::int64_t>(malloc_usable_size(p));
  std::free(p);
}

}  // namespace

HeapCount ThreadHeap() { return {t_allocations, t_live}; }

}  // namespace velmor::bench

using velmor::bench::Give;
using velmor::bench::Take;

void* operator new(std::size_t n) { return Take(n, 0, false); }
void* operator new[](std::size_t n) { return Take(n, 0, false); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return Take(n, 0, true); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return Take(n, 0, true); }
void* operator new(std::size_t n, std::align_val_t a) { return Take(n, static_cast<std::size_t>(a), false); }
void* operator new[](std::size_t n, std::align_val_t a) { return Take(n, static_cast<std::size_t>(a), false); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return Take(n, static_cast<std::size_t>(a), true);
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return Take(n, static_cast<std::size_t>(a), true);
}
void operator delete(void* p) noexcept { Give(p); }
void operator delete[](void* p) noexcept { Give(p); }
void operator delete(void* p, std::size_t) noexcept { Give(p); }
void operator delete[](void* p, std::size_t) noexcept { Give(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Give(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Give(p); }
void operator delete(void* p, std::align_val_t) noexcept { Give(p); }
void operator delete[](void* p, std::align_val_t) noexcept { Give(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { Give(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { Give(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { Give(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { Give(p); }
