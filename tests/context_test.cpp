#include <gtest/gtest.h>

#include <string>

#include "context.h"

namespace corvane {
namespace {

TEST(PathContext, NormalizeDropsTrailingSlashesAndCollapsesRuns) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"//usr///bin/", "/usr/bin"}, {"/", "/"},       {"//", "/"},         {"///", "/"},
      {"a//", "a"},                 {"", ""},         {"./a", "./a"},      {"../a", "../a"},
      {"~/a/", "~/a"},              {"a/./b", "a/./b"}, {"a//b//c", "a/b/c"}, {"~", "~"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(normalize_path(in), out) << in;

  // A long run of slashes collapses in one pass.
  EXPECT_EQ(normalize_path(std::string(200000, '/') + "x" + std::string(200000, '/')), "/x");
}

TEST(PathContext, ScopeOfAPath) {
  ClassifyContext home;
  home.home_dir = "/Users/me";
  ClassifyContext home_slash;
  home_slash.home_dir = "/Users/me//";
  const ClassifyContext bare;

  struct Case {
    std::string_view path;
    const ClassifyContext* ctx;
    TargetScope expected;
  };
  const Case cases[] = {
      {"/", nullptr, TargetScope::Root},
      {"//", nullptr, TargetScope::Root},
      {"~", nullptr, TargetScope::Home},
      {"~/", nullptr, TargetScope::Home},
      {"~", &bare, TargetScope::Home},
      {"~/.ssh", nullptr, TargetScope::SingleFile},
      {"/Users/me/", &home, TargetScope::Home},
      {"/Users/me", &home, TargetScope::Home},
      {"/Users/me", &home_slash, TargetScope::Home},
      {"/Users/me/docs", &home, TargetScope::SingleFile},
      {"/Users/me/", nullptr, TargetScope::SingleFile},
      {"/Users/me", &bare, TargetScope::SingleFile},
      {"/etc", nullptr, TargetScope::System},
      {"/etc/passwd", nullptr, TargetScope::System},
      {"/usr", nullptr, TargetScope::System},
      {"/variable", nullptr, TargetScope::System},
      {"/system", nullptr, TargetScope::System},
      {"/sbin", nullptr, TargetScope::System},
      {"/bootstrap", nullptr, TargetScope::System},
      {"//proc//1/environ", nullptr, TargetScope::System},
      {"/et", nullptr, TargetScope::SingleFile},
      {"/sbi", nullptr, TargetScope::SingleFile},
      {"etc/passwd", nullptr, TargetScope::SingleFile},
      {"/tmp/x", nullptr, TargetScope::SingleFile},
      {"/home/u/x", nullptr, TargetScope::SingleFile},
      {"*", nullptr, TargetScope::SingleFile},
      {"", nullptr, TargetScope::SingleFile},
  };
  for (const Case& c : cases) EXPECT_EQ(resolve_scope(c.path, c.ctx), c.expected) << c.path;
}

ClassifyContext make(std::optional<std::string> project_root, std::optional<std::string> cwd,
                     std::optional<std::string> home_dir = std::nullopt,
                     std::vector<std::string> protected_paths = {}) {
  ClassifyContext c;
  c.project_root = std::move(project_root);
  c.cwd = std::move(cwd);
  c.home_dir = std::move(home_dir);
  c.protected_paths = std::move(protected_paths);
  return c;
}

TEST(PathContext, NoContextAddsFive) {
  EXPECT_EQ(context_adjustment("x", Intent::Read, nullptr), 5);
  EXPECT_EQ(context_adjustment("/", Intent::Delete, nullptr), 5);
  EXPECT_EQ(context_adjustment("", Intent::Info, nullptr), 5);
}

TEST(PathContext, Adjustment) {
  const ClassifyContext in_project = make("/work/app", "/work/app");
  const ClassifyContext root_only = make("/work/app", std::nullopt);
  const ClassifyContext empty_cwd = make("/work/app", "");
  const ClassifyContext home_outside = make(std::nullopt, "/tmp", "/Users/me");
  const ClassifyContext home_inside = make(std::nullopt, "/Users/me/proj", "/Users/me");
  const ClassifyContext home_no_cwd = make(std::nullopt, std::nullopt, "/Users/me");
  const ClassifyContext home_project = make("/Users/me/proj", std::nullopt);
  const ClassifyContext guarded = make(std::nullopt, "/w", std::nullopt, {"/srv/data", "data"});
  const ClassifyContext worst = make("/p", "/tmp", "/Users/me", {"secret"});
  const ClassifyContext empty = make(std::nullopt, std::nullopt);

  struct Case {
    std::string_view path;
    Intent intent;
    const ClassifyContext* ctx;
    int expected;
  };
  const Case cases[] = {
      // Project boundary and build output.
      {"build/out.o", Intent::Delete, &in_project, -25},
      {"src/main.c", Intent::Delete, &in_project, -10},
      {"src/main.c", Intent::Read, &in_project, 0},
      {"/tmp/x", Intent::Write, &in_project, 20},
      {"/tmp/x", Intent::Read, &in_project, 0},
      {"output/x", Intent::Read, &in_project, -15},
      {"distribution", Intent::Execute, &in_project, -15},
      {"./node_modules/.bin/x", Intent::Write, &in_project, -25},
      {"/work/app/.cache", Intent::Delete, &in_project, -25},
      {"../other/x", Intent::Write, &in_project, -10},
      {"/work/app2/x", Intent::Write, &in_project, -10},
      {"", Intent::Write, &in_project, -10},
      {"./dist/bundle.js", Intent::Write, &root_only, -25},
      {"././dist//bundle.js", Intent::Write, &root_only, -25},
      {"x", Intent::Write, &empty_cwd, 20},  // an empty cwd is not a base
      // Home.
      {"/Users/me/x", Intent::Read, &home_outside, 15},
      {"/Users/me", Intent::Read, &home_outside, 15},
      {"x", Intent::Read, &home_outside, 0},
      {"/Users/me/x", Intent::Read, &home_inside, 0},
      {"/Users/me", Intent::Read, &home_inside, 15},
      {"/Users/me/", Intent::Read, &home_inside, 15},
      {"notes", Intent::Read, &home_inside, 0},
      {"/Users/me/x", Intent::Read, &home_no_cwd, 0},
      {"~/x", Intent::Read, &home_outside, 0},
      {"~/notes.txt", Intent::Write, &home_project, 20},
      // Protected paths count once.
      {"/srv/data/x", Intent::Read, &guarded, 25},
      {"data.txt", Intent::Read, &guarded, 25},
      {"/opt/x", Intent::Read, &guarded, 0},
      // Everything at once, and nothing at all.
      {"/Users/me/secret", Intent::Write, &worst, 60},
      {"x", Intent::Delete, &empty, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(context_adjustment(c.path, c.intent, c.ctx), c.expected) << c.path;
}

}  // namespace
}  // namespace corvane
