// Allocation functions for the tree-sitter runtime and the Bash grammar,
// installed at compile time (-Dts_malloc=... in CMakeLists.txt), and the
// per-call scope that accounts for them (tree_sitter_memory.h).
//
// Why this shape. tree-sitter's own defaults abort the process when memory
// runs out, and its C code has no path for a failed allocation: every
// caller writes through the pointer it gets. Throwing through the C frames
// instead (an earlier design) unwinds out of half-done operations: blocks
// already taken leak, reference counts stay wrong, and a release that
// allocates while a noexcept deleter runs reaches std::terminate. So these
// functions never fail and never throw. Instead:
//   - Every tree-sitter allocation of a parse call is counted against the
//     call's budget. Passing it, or a request the heap refuses, marks the
//     call exhausted.
//   - A refused request is served from the call's reserve, a block set
//     aside when the call starts, so tree-sitter keeps a consistent state.
//   - The parse runs with a progress callback that asks tree-sitter to stop
//     once the call is exhausted. tree-sitter polls it every hundred parse
//     operations, at points where its structures are whole, and then
//     unwinds normally: everything it holds is released by the ordinary
//     delete functions, which may themselves be served from the reserve.
//   - When the parser and tree are gone, parse() reports out of memory (a
//     std::bad_alloc on the C++ side, which the entry points turn into the
//     OutOfMemory fault).
// The reserve is sized for what a parse can take between the first refusal
// and tree-sitter's next poll, plus the release; it grows with the input,
// since tree-sitter's largest single blocks (a node's child list, the
// release stack) grow with the number of words. Should the reserve still
// run dry, there is nothing left to give tree-sitter: the process stops, as
// tree-sitter's own allocator would.
#include "tree_sitter_alloc.h"

#include <malloc.h>
#include <tree_sitter/api.h>

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "tree_sitter_memory.h"

namespace corvane::ts_memory {
namespace {

// Hazard: the scope of the parse call running on this thread, reached by
// the C allocation functions, which take no context. Set and cleared only
// by CallScope, which parse() holds for exactly the life of its parser and
// tree; tree-sitter objects must never outlive it or cross threads.
thread_local CallScope* active_scope = nullptr;

// Test hooks (tree_sitter_memory.h); the plan stays empty outside tests.
thread_local testing::FailurePlan failure_plan;
thread_local testing::Stats test_stats;

// Budget of one call: a fixed allowance plus an allowance per input byte,
// far above what any line takes (tree-sitter holds at most a few hundred
// bytes per input byte, in the widest lines).
constexpr std::size_t kBudgetBase = std::size_t{256} << 20;
constexpr std::size_t kBudgetPerInputByte = 2048;

// Reserve of one call (see above): a fixed part for the bookkeeping of the
// remaining parse steps and the release, plus room per input byte for one
// copy of the largest list tree-sitter may be growing.
constexpr std::size_t kReserveBase = std::size_t{256} << 10;
constexpr std::size_t kReservePerInputByte = 32;

// Reserve blocks carry their capacity in a header before them.
constexpr std::size_t kHeader = alignof(std::max_align_t);
constexpr std::size_t kMinBlock = 16;

std::size_t saturating_sum(std::size_t a, std::size_t b) noexcept {
  return a > SIZE_MAX - b ? SIZE_MAX : a + b;
}

std::size_t saturating_product(std::size_t a, std::size_t b) noexcept {
  return b != 0 && a > SIZE_MAX / b ? SIZE_MAX : a * b;
}

[[noreturn]] void out_of_everything(std::size_t size) noexcept {
  std::fprintf(stderr, "corvane: tree-sitter needs %zu more bytes and none are left\n", size);
  std::abort();
}

std::size_t block_size(void* block) noexcept { return malloc_usable_size(block); }

}  // namespace

CallScope::CallScope(std::size_t input_size)
    : budget_(saturating_sum(kBudgetBase, saturating_product(kBudgetPerInputByte, input_size))),
      reserve_size_(saturating_sum(kReserveBase, saturating_product(kReservePerInputByte, input_size))) {
  assert(active_scope == nullptr && "parse calls do not nest");
  if (failure_plan.budget != 0) budget_ = failure_plan.budget;
  reserve_ = static_cast<std::byte*>(std::malloc(reserve_size_));
  if (reserve_ == nullptr) throw std::bad_alloc();
  active_scope = this;
}

CallScope::~CallScope() {
  active_scope = nullptr;
  test_stats.peak_bytes = std::max(test_stats.peak_bytes, peak_);
  test_stats.reserve_bytes = std::max(test_stats.reserve_bytes, reserve_used_);
  test_stats.exhausted_calls += exhausted_ ? 1 : 0;
  // A reserve block still held would be a tree-sitter object that outlived
  // its call: keep the reserve alive rather than leave it dangling (the
  // sanitizer build then reports the leak).
  assert(reserve_blocks_ == 0 && "tree-sitter memory outlived its parse call");
  if (reserve_blocks_ == 0) std::free(reserve_);
}

bool CallScope::cancel_when_exhausted(TSParseState* state) noexcept {
  return static_cast<const CallScope*>(state->payload)->exhausted_;
}

bool CallScope::refuse_next() noexcept {
  const std::size_t n = ++test_stats.requests;
  const testing::FailurePlan& plan = failure_plan;
  if (plan.fail_at == 0) return false;
  return n == plan.fail_at || (plan.persistent && n > plan.fail_at);
}

bool CallScope::in_reserve(const void* block) const noexcept {
  const auto* p = static_cast<const std::byte*>(block);
  return p >= reserve_ && p < reserve_ + reserve_size_;
}

void* CallScope::from_reserve(std::size_t size) noexcept {
  exhausted_ = true;
  // Blocks come in power-of-two sizes from 16 bytes, each class with its own
  // list of released blocks: tree-sitter keeps releasing and retaking blocks
  // of the same few sizes while it runs to its next poll.
  const std::size_t capacity = std::bit_ceil(std::max(size, kMinBlock));
  if (capacity < size) out_of_everything(size);
  const auto cls = static_cast<std::size_t>(std::countr_zero(capacity));
  std::byte* block = free_lists_[cls];
  if (block != nullptr) {
    std::memcpy(&free_lists_[cls], block, sizeof(std::byte*));
  } else {
    if (capacity > reserve_size_ - reserve_used_ || reserve_size_ - reserve_used_ - capacity < kHeader)
      out_of_everything(size);
    std::byte* header = reserve_ + reserve_used_;
    std::memcpy(header, &capacity, sizeof capacity);
    reserve_used_ += kHeader + capacity;
    block = header + kHeader;
  }
  ++reserve_blocks_;
  return block;
}

std::size_t CallScope::reserve_capacity(const void* block) noexcept {
  std::size_t capacity = 0;
  std::memcpy(&capacity, static_cast<const std::byte*>(block) - kHeader, sizeof capacity);
  return capacity;
}

void* CallScope::allocate(std::size_t size) noexcept {
  size = std::max<std::size_t>(size, 1);
  void* p = refuse_next() ? nullptr : std::malloc(size);
  if (p == nullptr) return from_reserve(size);
  live_ += block_size(p);
  peak_ = std::max(peak_, live_);
  if (live_ > budget_) exhausted_ = true;
  return p;
}

void* CallScope::reallocate(void* block, std::size_t size) noexcept {
  if (block == nullptr) return allocate(size);
  size = std::max<std::size_t>(size, 1);
  if (in_reserve(block)) {
    // A reserve block that is large enough stays; a larger one is taken
    // from the heap if it gives again, else from the reserve.
    const std::size_t old = reserve_capacity(block);
    if (size <= old) return block;
    void* p = allocate(size);
    std::memcpy(p, block, old);
    release(block);
    return p;
  }
  const std::size_t old = block_size(block);
  void* p = refuse_next() ? nullptr : std::realloc(block, size);
  if (p == nullptr) {
    // `block` is still valid: move it into the reserve.
    p = from_reserve(size);
    std::memcpy(p, block, std::min(old, size));
    release(block);
    return p;
  }
  live_ = live_ - std::min(live_, old) + block_size(p);
  peak_ = std::max(peak_, live_);
  if (live_ > budget_) exhausted_ = true;
  return p;
}

void CallScope::release(void* block) noexcept {
  if (block == nullptr) return;
  if (in_reserve(block)) {
    // Back on its class's list; the reserve goes as a whole with the scope.
    auto* b = static_cast<std::byte*>(block);
    const auto cls = static_cast<std::size_t>(std::countr_zero(reserve_capacity(block)));
    std::memcpy(b, &free_lists_[cls], sizeof(std::byte*));
    free_lists_[cls] = b;
    --reserve_blocks_;
    return;
  }
  live_ -= std::min(live_, block_size(block));
  std::free(block);
}

namespace testing {

void set_failure_plan(FailurePlan plan) noexcept {
  failure_plan = plan;
  test_stats = {};
}

Stats stats() noexcept { return test_stats; }

}  // namespace testing
}  // namespace corvane::ts_memory

using corvane::ts_memory::active_scope;

extern "C" {

// Outside a parse call (the benchmarks' direct parser use) the heap is used
// as is, and a refusal stops the process as tree-sitter's default would.
void* corvane_ts_malloc(std::size_t size) {
  if (active_scope != nullptr) return active_scope->allocate(size);
  void* p = std::malloc(std::max<std::size_t>(size, 1));
  if (p == nullptr) corvane::ts_memory::out_of_everything(size);
  return p;
}

void* corvane_ts_calloc(std::size_t count, std::size_t size) {
  if (size != 0 && count > SIZE_MAX / size) corvane::ts_memory::out_of_everything(SIZE_MAX);
  void* p = corvane_ts_malloc(count * size);
  std::memset(p, 0, std::max<std::size_t>(count * size, 1));
  return p;
}

void* corvane_ts_realloc(void* buffer, std::size_t size) {
  if (active_scope != nullptr) return active_scope->reallocate(buffer, size);
  void* p = std::realloc(buffer, std::max<std::size_t>(size, 1));
  if (p == nullptr) corvane::ts_memory::out_of_everything(size);
  return p;
}

void corvane_ts_free(void* buffer) {
  if (active_scope != nullptr) active_scope->release(buffer);
  else std::free(buffer);
}

}  // extern "C"
