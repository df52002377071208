// tree-sitter's memory for one parse call: a budget, a reserve for when the
// heap says no, and the flag that stops the parse at its next safe point.
// See tree_sitter_alloc.cpp for why it works this way.
#pragma once

#include <array>
#include <cstddef>

struct TSParseState;

namespace corvane::ts_memory {

// The tree-sitter memory of one parse call on this thread. While it lives,
// every tree-sitter allocation on the thread is counted against its budget;
// every tree-sitter object made in it must be released before it ends.
class CallScope {
 public:
  // Throws std::bad_alloc when the reserve cannot be set aside, before any
  // tree-sitter object exists.
  explicit CallScope(std::size_t input_size);
  ~CallScope();
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

  // True once the budget was passed or the heap refused a request: the
  // parse is to stop, and the call reports out of memory.
  bool exhausted() const noexcept { return exhausted_; }

  // For TSParseOptions::progress_callback, with the scope as payload: asks
  // tree-sitter to stop once the scope is exhausted.
  static bool cancel_when_exhausted(TSParseState* state) noexcept;

  // Allocation entry points behind corvane_ts_malloc and friends.
  void* allocate(std::size_t size) noexcept;
  void* reallocate(void* block, std::size_t size) noexcept;
  void release(void* block) noexcept;

 private:
  void* from_reserve(std::size_t size) noexcept;
  static std::size_t reserve_capacity(const void* block) noexcept;
  bool in_reserve(const void* block) const noexcept;
  bool refuse_next() noexcept;  // the test hook: fail this request?

  std::size_t budget_;
  std::size_t live_ = 0;  // heap bytes held by tree-sitter now
  std::size_t peak_ = 0;
  bool exhausted_ = false;
  std::byte* reserve_;
  std::size_t reserve_size_;
  std::size_t reserve_used_ = 0;
  std::size_t reserve_blocks_ = 0;  // reserve blocks not yet released
  std::array<std::byte*, 64> free_lists_{};  // released reserve blocks, by log2 of their size
};

// Test hooks, for the allocation-failure sweep only.
namespace testing {

// Starts counting the tree-sitter requests (allocations and reallocations)
// made on this thread, across calls. With `fail_at` non-zero, the
// fail_at-th request from now is refused as if by the heap and, when
// `persistent`, every one after it.
// With `budget` non-zero, every call has that budget instead of its own.
struct FailurePlan {
  std::size_t fail_at = 0;
  bool persistent = true;
  std::size_t budget = 0;
};
void set_failure_plan(FailurePlan plan) noexcept;

// Since the plan was set, on this thread.
struct Stats {
  std::size_t requests = 0;
  std::size_t peak_bytes = 0;     // the most one call held at once
  std::size_t reserve_bytes = 0;  // the most one call took from its reserve
  std::size_t exhausted_calls = 0;
};
Stats stats() noexcept;

}  // namespace testing
}  // namespace corvane::ts_memory
