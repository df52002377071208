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
      {"/sbin", nullptr, TargetScope::System},
      {"//proc//1/environ", nullptr, TargetScope::System},
      // Whole components only: a system directory's name is not a prefix.
      {"/variable", nullptr, TargetScope::SingleFile},
      {"/systems", nullptr, TargetScope::SingleFile},
      {"/system/app", nullptr, TargetScope::System},
      {"/sysroot", nullptr, TargetScope::System},
      {"/bootstrap", nullptr, TargetScope::SingleFile},
      {"/etcetera", nullptr, TargetScope::SingleFile},
      {"/etc/", nullptr, TargetScope::System},
      {"/lib64", nullptr, TargetScope::System},
      {"/lib32/x", nullptr, TargetScope::System},
      {"/libx32", nullptr, TargetScope::System},
      {"/usr/lib64", nullptr, TargetScope::System},
      // A wildcard counts when the text before it names a system directory.
      {"/lib*/ld-linux.so.2", nullptr, TargetScope::System},
      {"/usr?", nullptr, TargetScope::System},
      {"/li*", nullptr, TargetScope::SingleFile},
      {"/*", nullptr, TargetScope::SingleFile},
      {"/tmp/lib*", nullptr, TargetScope::SingleFile},
      // "." and ".." are resolved before the checks.
      {"/.", nullptr, TargetScope::Root},
      {"/..", nullptr, TargetScope::Root},
      {"/tmp/..", nullptr, TargetScope::Root},
      {"/tmp/../etc/x", nullptr, TargetScope::System},
      {"/etc/../tmp", nullptr, TargetScope::SingleFile},
      {"~/.", nullptr, TargetScope::Home},
      {"~/..", nullptr, TargetScope::SingleFile},
      {"/Users/me/docs/..", &home, TargetScope::Home},
      {"~/docs/..", &home, TargetScope::Home},
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

TEST(PathContext, RelativePathsResolveAgainstTheWorkingDirectory) {
  ClassifyContext app;
  app.cwd = "/srv/app";
  app.project_root = "/srv/app";
  ClassifyContext in_home;
  in_home.cwd = "/Users/me/proj";
  in_home.home_dir = "/Users/me";
  ClassifyContext in_etc;
  in_etc.cwd = "/etc";
  ClassifyContext root_only;  // the project root is no base for the scope
  root_only.project_root = "/srv/app";

  struct Case {
    std::string_view path;
    const ClassifyContext* ctx;
    TargetScope expected;
  };
  const Case cases[] = {
      {"../../..", &app, TargetScope::Root},
      {"./../..//", &app, TargetScope::Root},
      {"src", &app, TargetScope::SingleFile},
      {"..", &in_home, TargetScope::Home},
      {"../..", &in_home, TargetScope::SingleFile},
      {".", &in_home, TargetScope::SingleFile},
      {"passwd", &in_etc, TargetScope::System},
      {"../tmp", &in_etc, TargetScope::SingleFile},
      {"../../..", &root_only, TargetScope::SingleFile},
      {"../../..", nullptr, TargetScope::SingleFile},
  };
  for (const Case& c : cases) EXPECT_EQ(resolve_scope(c.path, c.ctx), c.expected) << c.path;
}

TEST(PathContext, LexicalNormalForm) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"", ""},
      {"/", "/"},
      {"//a//b/", "/a/b"},
      {"/..", "/"},
      {"/a/../../b", "/b"},
      {"a/./b/.", "a/b"},
      {"a/..", "."},
      {"./", "."},
      {"../a/../..", "../.."},
      {"a/../../b", "../b"},
      {"~", "~"},
      {"~/a/..", "~"},
      {"~/..", "~/.."},      // where "~" is, is not known from the text
      {"~u/x/../..", "~u/.."},
      {"$d/..", "$d/.."},
      {"a/$(pwd)/../b", "a/$(pwd)/../b"},
      {"`d`/..", "`d`/.."},
      {"/x/$d/..", "/x/$d/.."},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(normalize_lexically(in), out) << in;
  EXPECT_EQ(normalize_lexically("/" + std::string(100000, '.') + "/x"), "/" + std::string(100000, '.') + "/x");
  std::string climb;
  for (int i = 0; i < 50000; ++i) climb += "a/../";
  EXPECT_EQ(normalize_lexically(climb), ".");
}

TEST(PathContext, WithinMatchesWholeComponents) {
  EXPECT_TRUE(within("/srv/app", "/srv/app"));
  EXPECT_TRUE(within("/srv/app/x", "/srv/app"));
  EXPECT_FALSE(within("/srv/app2", "/srv/app"));
  EXPECT_FALSE(within("/srv", "/srv/app"));
  EXPECT_TRUE(within("/x", "/"));
  EXPECT_FALSE(within("x", "/"));
  EXPECT_TRUE(within("x", ""));
}

TEST(PathContext, ProtectedPathsNameWholeComponents) {
  ClassifyContext ctx;
  ctx.home_dir = "/Users/me";
  ctx.protected_paths = {"/srv/data", "keys", "~/.ssh/", "/opt/a/../b"};
  struct Case {
    std::string_view resolved;
    bool expected;
  };
  const Case cases[] = {
      {"/srv/data", true},     {"/srv/data/x", true},    {"/backup/srv/data/x", true},
      {"/srv/database", false}, {"/srv/dat", false},      {"keys", true},
      {"/a/keys/b", true},     {"/a/keys.txt", false},   {"/a/monkeys", false},
      {"/Users/me/.ssh", true}, {"/Users/me/.ssh/id", true}, {"/Users/me/.sshx", false},
      {"/opt/b/x", true},      {"/opt/a/x", false},
  };
  for (const Case& c : cases) EXPECT_EQ(is_protected(c.resolved, ctx), c.expected) << c.resolved;

  ClassifyContext everything;  // an empty entry is in every path
  everything.protected_paths = {""};
  EXPECT_TRUE(is_protected("/x", everything));
  ClassifyContext top;
  top.protected_paths = {"/"};
  EXPECT_TRUE(is_protected("/x", top));
  EXPECT_FALSE(is_protected("x", top));
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
      // Leaving the project through "..", or a sibling sharing its name's
      // start, is outside it.
      {"../other/x", Intent::Write, &in_project, 20},
      {"/work/app2/x", Intent::Write, &in_project, 20},
      {"src/../../app/x", Intent::Write, &in_project, -10},
      {"/work/app/../app/build/x", Intent::Delete, &in_project, -25},
      {"src/../build/x", Intent::Delete, &in_project, -25},
      {"..", Intent::Delete, &root_only, 20},
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
      // "~" is the home directory when the context names one.
      {"~/x", Intent::Read, &home_outside, 15},
      {"~", Intent::Read, &home_inside, 15},
      {"~/x", Intent::Read, &home_inside, 0},
      {"/Users/me2/x", Intent::Read, &home_outside, 0},
      {"..", Intent::Read, &home_inside, 15},
      {"~/notes.txt", Intent::Write, &home_project, 20},
      // Protected paths count once.
      {"/srv/data/x", Intent::Read, &guarded, 25},
      {"data/x", Intent::Read, &guarded, 25},
      {"data.txt", Intent::Read, &guarded, 0},
      {"/srv/data/../x", Intent::Read, &guarded, 0},
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
