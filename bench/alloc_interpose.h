// The C library's allocator entry points, standing in for it and
// forwarding to its own implementation after calling `count_allocation()`,
// which the including file defines. glibc routes its internal allocations
// (stdio buffers, syslog) through these symbols too.
#pragma once

#include <malloc.h>

#include <cerrno>
#include <cstddef>

// The C library's own names, which only a stand-in for its allocator uses;
// definitions in a header, since each preloaded or linked program that counts
// its allocations includes this once.
// NOLINTBEGIN(bugprone-reserved-identifier,misc-definitions-in-headers)
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* pointer);
}

void count_allocation();

#define NORVASK_INTERPOSE extern "C" __attribute__((visibility("default")))

NORVASK_INTERPOSE void* malloc(std::size_t size) {
  count_allocation();
  return __libc_malloc(size);
}
NORVASK_INTERPOSE void* calloc(std::size_t n, std::size_t size) {
  count_allocation();
  return __libc_calloc(n, size);
}
NORVASK_INTERPOSE void* realloc(void* pointer, std::size_t size) {
  count_allocation();
  return __libc_realloc(pointer, size);
}
NORVASK_INTERPOSE void free(void* pointer) { __libc_free(pointer); }
NORVASK_INTERPOSE void* memalign(std::size_t alignment, std::size_t size) {
  count_allocation();
  return __libc_memalign(alignment, size);
}
NORVASK_INTERPOSE void* aligned_alloc(std::size_t alignment, std::size_t size) {
  count_allocation();
  return __libc_memalign(alignment, size);
}
NORVASK_INTERPOSE int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
  count_allocation();
  void* pointer = __libc_memalign(alignment, size);
  if (!pointer) return ENOMEM;
  *out = pointer;
  return 0;
}
// NOLINTEND(bugprone-reserved-identifier,misc-definitions-in-headers)
