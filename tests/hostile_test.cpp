// Inputs built to break a classifier: deep nesting and very long lines. Each
// must yield a verdict; nothing in the engine may recurse with the input.
#include <gtest/gtest.h>

#include "corvane.h"

namespace corvane {
namespace {

std::string repeat(std::string_view s, std::size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

TEST(Hostile, DeepNestingAndLongLinesYieldVerdicts) {
  constexpr std::size_t kDeep = 100'000;
  const std::pair<const char*, std::string> cases[] = {
      {"parentheses", repeat("(", kDeep) + "ls" + repeat(")", kDeep)},
      {"substitutions", "echo " + repeat("$(", kDeep) + "ls" + repeat(")", kDeep)},
      {"groups", repeat("{ ", kDeep) + "ls; " + repeat("}; ", kDeep)},
      {"backquotes", "echo " + repeat("`", kDeep)},
      {"test brackets", repeat("[[ ", kDeep / 4) + "x"},
      {"arguments", "echo" + repeat(" a", 1 << 19)},
      {"and chain", repeat("ls && ", 1 << 15) + "ls"},
      {"taint pipeline", repeat("cat f | sh | ", 1 << 13) + "ls"},
  };
  ClassifyContext zsh;
  zsh.shell = ShellKind::Zsh;
  zsh.cwd = zsh.project_root = "/w";
  const ClassifyContext* contexts[] = {nullptr, &zsh};
  for (const auto& [name, line] : cases) {
    for (const ClassifyContext* ctx : contexts) {
      auto r = classify_inner(line, ctx, nullptr);
      ASSERT_TRUE(r.ok()) << name;
      EXPECT_LE(r.value().score, 100) << name;
      EXPECT_FALSE(r.value().sub_commands.empty()) << name;
      if (r.value().pipeline_flow) {
        EXPECT_LE(r.value().pipeline_flow->taint_flows.size(), 1000u) << name;
      }
      const std::string json = to_json(r.value());
      EXPECT_EQ(json.front(), '{') << name;
    }
  }
}

}  // namespace
}  // namespace corvane
