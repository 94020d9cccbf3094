// Counts heap allocations made in the benchmark process.
#include <atomic>
#include <cstdint>

#include "bench/alloc_interpose.h"
#include "bench/board.h"

namespace {
std::atomic<std::uint64_t> allocations{0};
}  // namespace

std::uint64_t heap_allocations() { return allocations.load(std::memory_order_relaxed); }

void count_allocation() { allocations.fetch_add(1, std::memory_order_relaxed); }
