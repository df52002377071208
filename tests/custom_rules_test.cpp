#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <thread>

#include "builtin_pack.h"
#include "corvane.h"
#include "custom_rules.h"
#include "rule_patterns.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// ---------------------------------------------------------------------------
// Helpers

// A configuration as one line of text: each rule in list order, absent
// optionals as "~" (so an empty string and an absent one differ).
std::string describe(const RuleConfig& c) {
  auto opt = [](const std::optional<std::string>& s) { return s ? *s : std::string("~"); };
  std::string out;
  for (const AllowRule& a : c.allow) out += "allow(" + a.pattern + ";" + a.reason + ") ";
  for (const BlockRule& b : c.block)
    out += "block(" + b.pattern + ";" + b.reason + ";" + opt(b.mitre) + ") ";
  for (const CustomCommandRule& r : c.commands) {
    out += "command(" + r.name + ";" + r.intent + ";" + std::to_string(r.base_weight) + ";" +
           r.reversibility + ";" + opt(r.mitre) + ";[";
    for (const CustomFlagRule& f : r.dangerous_flags) {
      out += "flag(";
      for (std::size_t i = 0; i < f.flags.size(); ++i) out += (i ? "," : "") + f.flags[i];
      out += ";" + std::to_string(f.modifier) + ";" + f.description + ")";
    }
    out += "]) ";
  }
  for (const CustomPathRule& p : c.paths)
    out += "path(" + p.pattern + ";" + p.sensitivity + ";" + p.description + ") ";
  for (const ScoreOverride& o : c.overrides)
    out += "override(" + o.command + ";" + std::to_string(o.score) + ";" + opt(o.reason) + ") ";
  if (!out.empty()) out.pop_back();
  return out;
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = testing::TempDir() + "corvane-rules-XXXXXX";
    const char* made = ::mkdtemp(pattern.data());
    if (made == nullptr) ADD_FAILURE() << "mkdtemp failed";
    root_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string path(std::string_view rel = "") const { return rel.empty() ? root_ : root_ + "/" + std::string(rel); }

  // Writes a file, creating its directories.
  std::string write(std::string_view rel, std::string_view content) const {
    const std::string p = path(rel);
    fs::create_directories(fs::path(p).parent_path());
    std::ofstream(p, std::ios::binary) << content;
    return p;
  }

 private:
  std::string root_;
};

// Sets HOME for one test and puts the old value back.
class ScopedHome {
 public:
  ScopedHome() {
    if (const char* h = std::getenv("HOME")) saved_ = h;
  }
  ~ScopedHome() {
    if (saved_) ::setenv("HOME", saved_->c_str(), 1);
    else ::unsetenv("HOME");
  }
  ScopedHome(const ScopedHome&) = delete;
  ScopedHome& operator=(const ScopedHome&) = delete;
  void set(const std::string& value) { ::setenv("HOME", value.c_str(), 1); }
  void unset() { ::unsetenv("HOME"); }

 private:
  std::optional<std::string> saved_;
};

struct Load {
  std::optional<RuleConfig> config;
  std::string err;
};

Load load_file(const std::string& path) {
  CaptureStderr();
  Load l;
  l.config = RuleConfig::from_file(path);
  l.err = GetCapturedStderr();
  return l;
}

// The files found for a context, described, and the messages a call writes.
struct Found {
  std::string project;  // "none" when no project file was read
  std::string user;
  std::string err;
};

Found discover(const ClassifyContext* ctx) {
  CaptureStderr();
  const RuleSet set = discover_rules(ctx);
  report_rule_errors(set);
  Found f;
  f.err = GetCapturedStderr();
  f.project = set.project ? describe(*set.project) : "none";
  f.user = set.user ? describe(*set.user) : "none";
  return f;
}

std::string read_message(const std::string& path, std::string_view why) {
  return "corvane: failed to read " + path + ": " + std::string(why) + "\n";
}
std::string parse_message(const std::string& path) {
  return "corvane: failed to parse " + path + ": invalid TOML or rule format\n";
}

// ---------------------------------------------------------------------------
// Reading TOML text

struct TomlCase {
  const char* name;
  std::string toml;
  std::string expected;
};

void PrintTo(const TomlCase& c, std::ostream* os) { *os << c.name; }

class CustomRulesToml : public testing::TestWithParam<TomlCase> {};

TEST_P(CustomRulesToml, Reads) {
  const TomlCase& c = GetParam();
  const std::optional<RuleConfig> config = RuleConfig::from_toml(c.toml);
  ASSERT_TRUE(config.has_value()) << c.toml;
  EXPECT_EQ(describe(*config), c.expected) << c.toml;
}

const std::string kCmd = "commands = [{ name = \"d\", ";
const std::string kFlag = "commands = [{ name = \"d\", dangerous_flags = [{ flags = [\"-f\"], ";
const std::string kCmdDefaults = "command(d;execute;50;hard_to_reverse;~;[])";

INSTANTIATE_TEST_SUITE_P(
    CustomRules, CustomRulesToml,
    testing::Values(
        // allow
        TomlCase{"AllowString", R"(allow = ["rm -rf build"])", "allow(rm -rf build;Allowed by project rules)"},
        TomlCase{"AllowEmptyString", R"(allow = [""])", "allow(;Allowed by project rules)"},
        TomlCase{"AllowTable", R"(allow = [{ pattern = "p", reason = "r" }])", "allow(p;r)"},
        TomlCase{"AllowEmptyReason", R"(allow = [{ pattern = "p", reason = "" }])", "allow(p;)"},
        TomlCase{"AllowReasonWrongType", R"(allow = [{ pattern = "p", reason = 3 }])", "allow(p;Allowed by project rules)"},
        TomlCase{"AllowPatternEmpty", R"(allow = [{ pattern = "" }])", ""},
        TomlCase{"AllowPatternMissing", R"(allow = [{ reason = "r" }])", ""},
        TomlCase{"AllowPatternWrongType", R"(allow = [{ pattern = 1 }])", ""},
        TomlCase{"AllowOtherElements", R"(allow = [1, true, ["x"], 2.5])", ""},
        // block
        TomlCase{"BlockString", R"(block = ["curl"])", "block(curl;Blocked by project rules;~)"},
        TomlCase{"BlockTable", R"(block = [{ pattern = "p", reason = "r", mitre = "T1105" }])", "block(p;r;T1105)"},
        TomlCase{"BlockEmptyMitre", R"(block = [{ pattern = "p", mitre = "" }])", "block(p;Blocked by project rules;)"},
        TomlCase{"BlockWrongTypes", R"(block = [{ pattern = "p", reason = false, mitre = 7 }])", "block(p;Blocked by project rules;~)"},
        TomlCase{"BlockPatternEmptyOrMissing", R"(block = [{ pattern = "" }, { mitre = "T1" }, { pattern = [] }])", ""},
        // commands
        TomlCase{"CommandDefaults", R"(commands = [{ name = "d" }])", kCmdDefaults},
        TomlCase{"CommandAllKeys",
                 kCmd + R"(intent = "network", base_weight = 70, reversibility = "reversible", mitre = "T1", )"
                        R"(dangerous_flags = [{ flags = ["--prod"], modifier = 20, description = "prod" }] }])",
                 "command(d;network;70;reversible;T1;[flag(--prod;20;prod)])"},
        TomlCase{"CommandEmptyStrings", kCmd + R"(intent = "", reversibility = "", mitre = "" }])", "command(d;;50;;;[])"},
        TomlCase{"CommandWrongTypes",
                 kCmd + R"(intent = 1, base_weight = "70", reversibility = [], mitre = 2, dangerous_flags = "x" }])",
                 kCmdDefaults},
        TomlCase{"CommandNameMissingEmptyOrWrong", R"(commands = [{ name = "" }, { name = 5 }, "d", {}, { intent = "x" }])", ""},
        TomlCase{"BaseWeightClampedHigh", kCmd + "base_weight = 1000 }]", "command(d;execute;100;hard_to_reverse;~;[])"},
        TomlCase{"BaseWeightClampedBeforeNarrowing", kCmd + "base_weight = 256 }]", "command(d;execute;100;hard_to_reverse;~;[])"},
        TomlCase{"BaseWeightInt64Max", kCmd + "base_weight = 9223372036854775807 }]", "command(d;execute;100;hard_to_reverse;~;[])"},
        TomlCase{"BaseWeightClampedLow", kCmd + "base_weight = -3 }]", "command(d;execute;0;hard_to_reverse;~;[])"},
        TomlCase{"BaseWeightFloat", kCmd + "base_weight = 90.0 }]", kCmdDefaults},
        TomlCase{"BaseWeightBool", kCmd + "base_weight = true }]", kCmdDefaults},
        TomlCase{"BaseWeightDate", kCmd + "base_weight = 1979-05-27 }]", kCmdDefaults},
        TomlCase{"BaseWeightDateTime", kCmd + "base_weight = 1979-05-27T07:32:00Z }]", kCmdDefaults},
        // dangerous flags
        TomlCase{"FlagNonStringsDropped", kCmd + R"(dangerous_flags = [ { flags = ["-x", 3, "--y"] } ] }])",
                 "command(d;execute;50;hard_to_reverse;~;[flag(-x,--y;10;)])"},
        TomlCase{"FlagWithoutFlagsDropped",
                 kCmd + R"(dangerous_flags = [{ flags = [] }, { flags = [1] }, { modifier = 5 }, { flags = "-f" }, "-f"] }])",
                 kCmdDefaults},
        TomlCase{"FlagModifierClampedLow", kFlag + "modifier = -500 }] }]",
                 "command(d;execute;50;hard_to_reverse;~;[flag(-f;-100;)])"},
        TomlCase{"FlagModifierClampedHigh", kFlag + "modifier = 128 }] }]",
                 "command(d;execute;50;hard_to_reverse;~;[flag(-f;100;)])"},
        TomlCase{"FlagModifierWrongTypes", kFlag + R"(modifier = 2.5, description = 1 }, { flags = ["-g"], modifier = "5" }] }])",
                 "command(d;execute;50;hard_to_reverse;~;[flag(-f;10;)flag(-g;10;)])"},
        TomlCase{"FlagsAsArrayOfTables",
                 "[[commands]]\nname = \"d\"\n[[commands.dangerous_flags]]\nflags = [\"-a\"]\n"
                 "[[commands.dangerous_flags]]\nflags = [\"-b\"]\nmodifier = -7\ndescription = \"b\"\n",
                 "command(d;execute;50;hard_to_reverse;~;[flag(-a;10;)flag(-b;-7;b)])"},
        // paths
        TomlCase{"PathDefaults", R"(paths = [{ pattern = "~/.kube" }])", "path(~/.kube;normal;Custom path rule)"},
        TomlCase{"PathAllKeys", R"(paths = [{ pattern = "p", sensitivity = "secrets", description = "" }])", "path(p;secrets;)"},
        TomlCase{"PathWrongTypes", R"(paths = [{ pattern = "p", sensitivity = 1, description = true }])", "path(p;normal;Custom path rule)"},
        TomlCase{"PathSkipped", R"(paths = ["p", { pattern = "" }, { sensitivity = "x" }, {}])", ""},
        // overrides
        TomlCase{"OverrideListExample",
                 R"(overrides = [ { command = "terraform", score = 85 }, { command = "", score = 99 }, "ls", { score = 10 } ])",
                 "override(terraform;85;~)"},
        TomlCase{"OverrideNegativeScore", "[[overrides]]\ncommand = \"make\"\nscore = -5\n", "override(make;0;~)"},
        TomlCase{"OverrideStringScore", "[[overrides]]\ncommand = \"make\"\nscore = \"90\"\n", "override(make;0;~)"},
        TomlCase{"OverrideFloatScore", R"(overrides = [{ command = "x", score = 90.0 }])", "override(x;0;~)"},
        TomlCase{"OverrideBoolScore", R"(overrides = [{ command = "x", score = true }])", "override(x;0;~)"},
        TomlCase{"OverrideMissingScore", R"(overrides = [{ command = "x", reason = "" }])", "override(x;0;)"},
        TomlCase{"OverrideClamped", R"(overrides = [{ command = "a", score = 1000 }, { command = "b", score = 300 }])",
                 "override(a;100;~) override(b;100;~)"},
        TomlCase{"OverrideReason", R"(overrides = [{ command = "x", score = 5, reason = "why" }, { command = "y", reason = 1 }])",
                 "override(x;5;why) override(y;0;~)"},
        // sections
        TomlCase{"EmptyDocument", "", ""},
        TomlCase{"SectionsOfWrongType", "allow = \"x\"\nblock = 1\ncommands = {}\noverrides = { command = \"x\" }\n[paths]\npattern = \"p\"\n", ""},
        TomlCase{"UnknownKeysIgnored",
                 "version = 2\n[extra]\nx = 1\n[[overrides]]\ncommand = \"x\"\nscore = 5\nextra = true\n",
                 "override(x;5;~)"},
        TomlCase{"FileOrderKept", R"(overrides = [{ command = "b" }, { command = "a" }])", "override(b;0;~) override(a;0;~)"},
        TomlCase{"InlineAndTableArraysAlike",
                 "allow = [\"a\"]\n[[paths]]\npattern = \"p1\"\n[[paths]]\npattern = \"p2\"\n[[allow_not]]\n",
                 "allow(a;Allowed by project rules) path(p1;normal;Custom path rule) path(p2;normal;Custom path rule)"},
        TomlCase{"AllSectionsTogether",
                 "block = [\"b\"]\nallow = [\"a\"]\n[[overrides]]\ncommand = \"o\"\n[[paths]]\npattern = \"p\"\n"
                 "[[commands]]\nname = \"c\"\n",
                 "allow(a;Allowed by project rules) block(b;Blocked by project rules;~) "
                 "command(c;execute;50;hard_to_reverse;~;[]) path(p;normal;Custom path rule) override(o;0;~)"}),
    [](const testing::TestParamInfo<TomlCase>& info) { return std::string(info.param.name); });

TEST(CustomRulesTomlInvalid, NotValidTomlYieldsNothing) {
  const std::string cases[] = {
      "overrides = [",
      "overrides = [{ command = \"x\" ]",
      "a = 1\na = 2",                       // duplicate key
      "a = 1\n\"a\" = 2",                   // the same key, quoted
      "[t]\n[t]",                           // duplicate table
      "x = { a = 1, a = 2 }",               // duplicate key in an inline table
      "overrides = []\noverrides = []",     // duplicate section
      "[[overrides]]\n[overrides]",         // array of tables redefined as a table
      "a.b = 1\na.b = 2",                   // duplicate dotted key
      "allow = [\"\xff\"]",                 // not UTF-8
      std::string("allow = [\"a\0b\"]", sizeof("allow = [\"a\0b\"]") - 1),  // NUL
      "score = 99999999999999999999",       // integer out of range
  };
  for (const std::string& text : cases) EXPECT_FALSE(RuleConfig::from_toml(text).has_value()) << text;
}

// The parser recurses once per key component, so a megabyte of dots would
// overflow the stack if it reached the parser.
TEST(CustomRulesTomlInvalid, AbsurdlyDeepKeysYieldNothing) {
  std::string dotted = "a";
  std::string header = "[a";
  for (int i = 0; i < 500000; ++i) {
    dotted += ".a";
    header += ".a";
  }
  dotted += " = 1\n";
  header += "]\n";
  EXPECT_FALSE(RuleConfig::from_toml(dotted).has_value());
  EXPECT_FALSE(RuleConfig::from_toml(header).has_value());
  std::string arrays = "x = " + std::string(100000, '[') + std::string(100000, ']');
  EXPECT_FALSE(RuleConfig::from_toml(arrays).has_value());
}

TEST(CustomRulesTomlInvalid, DotsAndBracketsInStringsAndCommentsDoNotCountAsDepth) {
  const std::string dots(2000, '.');
  const std::string brackets(2000, '[');
  const std::string text = "# " + dots + brackets + "\n"
                           "allow = [\"" + dots + "\", '" + brackets + "', \"\\\"" + dots + "\",\n"
                           "  \"\"\"" + dots + "\n" + brackets + "\"\"\"\"\", '''" + dots + "''']\n"
                           "a.b.c.d.e.f.g.h = [[[[[[[[{ i.j.k = 1.5 }]]]]]]]]\n";
  const std::optional<RuleConfig> config = RuleConfig::from_toml(text);
  ASSERT_TRUE(config.has_value());
  ASSERT_EQ(config->allow.size(), 5u);
  EXPECT_EQ(config->allow[0].pattern, dots);
  EXPECT_EQ(config->allow[1].pattern, brackets);
  EXPECT_EQ(config->allow[2].pattern, "\"" + dots);
  EXPECT_EQ(config->allow[3].pattern, dots + "\n" + brackets + "\"\"");
  EXPECT_EQ(config->allow[4].pattern, dots);
}

// ---------------------------------------------------------------------------
// Loading a file

TEST(CustomRulesFile, ValidFileLoadsSilently) {
  TempDir dir;
  const std::string path = dir.write("r.toml", "[[overrides]]\ncommand = \"x\"\nscore = 40\n");
  const Load l = load_file(path);
  ASSERT_TRUE(l.config.has_value());
  EXPECT_EQ(describe(*l.config), "override(x;40;~)");
  EXPECT_EQ(l.err, "");
}

TEST(CustomRulesFile, ParseFailureMessage) {
  TempDir dir;
  const std::string path = dir.write("r.toml", "overrides = [\n");
  const Load l = load_file(path);
  EXPECT_FALSE(l.config.has_value());
  EXPECT_EQ(l.err, parse_message(path));
}

TEST(CustomRulesFile, SizeLimitIsInclusive) {
  TempDir dir;
  const std::string head = "allow = [\"x\"]\n#";
  std::string body = head + std::string(kMaxRuleFileBytes - head.size() - 1, 'c') + "\n";
  ASSERT_EQ(body.size(), kMaxRuleFileBytes);
  const std::string at_limit = dir.write("limit.toml", body);
  const Load ok = load_file(at_limit);
  ASSERT_TRUE(ok.config.has_value()) << ok.err;
  EXPECT_EQ(ok.config->allow.size(), 1u);
  EXPECT_EQ(ok.err, "");

  const std::string over = dir.write("over.toml", body + "\n");
  const Load bad = load_file(over);
  EXPECT_FALSE(bad.config.has_value());
  EXPECT_EQ(bad.err, read_message(over, "file is larger than 1 MiB"));
}

struct HostileCase {
  const char* name;
  // Creates the entry in `dir` and returns its path.
  std::string (*make)(const TempDir& dir);
  const char* why;
};

// Runs from_file on a thread of its own, so that a reader that blocks or never
// finishes fails the test instead of hanging it.
std::optional<Load> load_within_seconds(const std::string& path, int seconds) {
  auto result = std::make_shared<std::promise<Load>>();
  std::future<Load> done = result->get_future();
  std::thread([result, path] {
    Load l;
    l.config = RuleConfig::from_file(path);
    result->set_value(std::move(l));
  }).detach();
  if (done.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) return std::nullopt;
  return done.get();
}

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

class CustomRulesHostile : public testing::TestWithParam<HostileCase> {};

TEST_P(CustomRulesHostile, RefusedPromptlyWithReadMessage) {
  const HostileCase& c = GetParam();
  TempDir dir;
  const std::string path = c.make(dir);
  CaptureStderr();
  std::optional<Load> l = load_within_seconds(path, 10);
  if (!l) {
    // Let a reader stuck opening a FIFO go before failing.
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) ::close(fd);
  }
  const std::string err = GetCapturedStderr();
  ASSERT_TRUE(l.has_value()) << "from_file did not return";
  EXPECT_FALSE(l->config.has_value());
  EXPECT_EQ(err, read_message(path, c.why));
}

INSTANTIATE_TEST_SUITE_P(
    CustomRules, CustomRulesHostile,
    testing::Values(
        HostileCase{"Fifo", [](const TempDir& d) {
                      const std::string p = d.path("fifo.toml");
                      EXPECT_EQ(::mkfifo(p.c_str(), 0600), 0);
                      return p;
                    }, "not a regular file"},
        HostileCase{"SymlinkToDevZero", [](const TempDir& d) {
                      const std::string p = d.path("zero.toml");
                      fs::create_symlink("/dev/zero", p);
                      return p;
                    }, "not a regular file"},
        HostileCase{"TwoMebibytes", [](const TempDir& d) {
                      return d.write("big.toml", "# " + std::string(2 << 20, 'x') + "\n");
                    }, "file is larger than 1 MiB"},
        HostileCase{"Directory", [](const TempDir& d) {
                      const std::string p = d.path("dir.toml");
                      fs::create_directory(p);
                      return p;
                    }, "Is a directory"},
        HostileCase{"Missing", [](const TempDir& d) { return d.path("missing.toml"); },
                    "No such file or directory"},
        HostileCase{"DanglingSymlink", [](const TempDir& d) {
                      const std::string p = d.path("dangling.toml");
                      fs::create_symlink(d.path("nowhere"), p);
                      return p;
                    }, "No such file or directory"},
        HostileCase{"InvalidUtf8", [](const TempDir& d) {
                      return d.write("bad.toml", "allow = [\"\xc3\x28\"]\n");
                    }, "stream did not contain valid UTF-8"}),
    [](const testing::TestParamInfo<HostileCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Discovery

class CustomRulesDiscover : public testing::Test {
 protected:
  void SetUp() override {
    home.set(dir.path("home"));
    ctx.project_root = dir.path("project");
    ctx.cwd = dir.path("cwd");
  }
  std::string project_file(std::string_view content) { return dir.write("project/.corvane.toml", content); }
  std::string cwd_file(std::string_view content) { return dir.write("cwd/.corvane.toml", content); }
  std::string home_file(std::string_view content) {
    return dir.write("home/.config/corvane/rules.toml", content);
  }
  static std::string override_of(std::string_view command) {
    return "[[overrides]]\ncommand = \"" + std::string(command) + "\"\nscore = 70\n";
  }

  TempDir dir;
  ScopedHome home;
  ClassifyContext ctx;
};

TEST_F(CustomRulesDiscover, UserFileAlwaysReadFirstProjectCandidateOnTop) {
  home_file(override_of("home"));
  cwd_file(override_of("cwd"));
  project_file(override_of("project"));

  Found f = discover(&ctx);
  EXPECT_EQ(f.project, "override(project;70;~)");
  EXPECT_EQ(f.user, "override(home;70;~)");

  fs::remove(dir.path("project/.corvane.toml"));
  f = discover(&ctx);
  EXPECT_EQ(f.project, "override(cwd;70;~)");
  EXPECT_EQ(f.user, "override(home;70;~)");

  fs::remove(dir.path("cwd/.corvane.toml"));
  f = discover(&ctx);
  EXPECT_EQ(f.project, "none");
  EXPECT_EQ(f.user, "override(home;70;~)");

  fs::remove(dir.path("home/.config/corvane/rules.toml"));
  f = discover(&ctx);
  EXPECT_EQ(f.project, "none");
  EXPECT_EQ(f.user, "none");
  EXPECT_EQ(f.err, "");
}

TEST_F(CustomRulesDiscover, WithoutContextOnlyHomeCounts) {
  project_file(override_of("project"));
  home_file(override_of("home"));
  const Found f = discover(nullptr);
  EXPECT_EQ(f.project, "none");
  EXPECT_EQ(f.user, "override(home;70;~)");
}

TEST_F(CustomRulesDiscover, ContextHomeDirIsNotUsed) {
  dir.write("other/.config/corvane/rules.toml", override_of("other"));
  ctx.home_dir = dir.path("other");
  const Found f = discover(&ctx);
  EXPECT_EQ(f.project, "none");
  EXPECT_EQ(f.user, "none");
}

// An empty project file used to replace the user's file; now both are read.
TEST_F(CustomRulesDiscover, ProjectFileDoesNotHideUserFile) {
  project_file("");
  home_file(override_of("home"));
  const Found f = discover(&ctx);
  EXPECT_EQ(f.project, "");
  EXPECT_EQ(f.user, "override(home;70;~)");
}

TEST_F(CustomRulesDiscover, BrokenProjectFileReportedOncePerCallUserFileStillRead) {
  const std::string path = project_file("overrides = [\n");
  cwd_file(override_of("cwd"));  // shadowed even though the project file is broken
  home_file(override_of("home"));
  for (int call = 0; call < 2; ++call) {
    const Found f = discover(&ctx);
    EXPECT_EQ(f.project, "none");
    EXPECT_EQ(f.user, "override(home;70;~)");
    EXPECT_EQ(f.err, parse_message(path));
  }
}

TEST_F(CustomRulesDiscover, BothFilesBrokenBothReportedProjectFirst) {
  const std::string project = project_file("overrides = [\n");
  const std::string user = home_file("x = ");
  const Found f = discover(&ctx);
  EXPECT_EQ(f.err, parse_message(project) + parse_message(user));
}

TEST_F(CustomRulesDiscover, DirectoryNamedLikeTheFileIsReadFailure) {
  fs::create_directories(dir.path("cwd/.corvane.toml"));
  home_file(override_of("home"));
  const Found f = discover(&ctx);
  EXPECT_EQ(f.project, "none");
  EXPECT_EQ(f.user, "override(home;70;~)");
  EXPECT_EQ(f.err, read_message(dir.path("cwd/.corvane.toml"), "Is a directory"));
}

TEST_F(CustomRulesDiscover, DanglingSymlinkShadowsCwdFile) {
  fs::create_directories(dir.path("project"));
  fs::create_symlink(dir.path("nowhere"), dir.path("project/.corvane.toml"));
  cwd_file(override_of("cwd"));
  const Found f = discover(&ctx);
  EXPECT_EQ(f.project, "none");
  EXPECT_EQ(f.err, read_message(dir.path("project/.corvane.toml"), "No such file or directory"));
}

TEST_F(CustomRulesDiscover, JoinsWithOneSeparator) {
  const std::string path = project_file("x = [\n");
  ctx.project_root = dir.path("project") + "/";
  EXPECT_EQ(discover(&ctx).err, parse_message(path));
}

TEST_F(CustomRulesDiscover, EmptyProjectRootIsRelativeToWorkingDirectory) {
  dir.write("project/.corvane.toml", "x = [\n");
  const fs::path saved = fs::current_path();
  fs::current_path(dir.path("project"));
  ctx.project_root = "";
  const Found f = discover(&ctx);
  fs::current_path(saved);
  EXPECT_EQ(f.project, "none");
  EXPECT_EQ(f.err, parse_message(".corvane.toml"));
}

TEST_F(CustomRulesDiscover, HomeUnsetOrNotUtf8IsLeftOut) {
  const std::string odd = dir.path("h\xff");
  dir.write("h\xff/.config/corvane/rules.toml", override_of("odd"));
  home.set(odd);
  Found f = discover(nullptr);
  EXPECT_EQ(f.user, "none");
  EXPECT_EQ(f.err, "");

  home.unset();
  f = discover(nullptr);
  EXPECT_EQ(f.user, "none");
  EXPECT_EQ(f.err, "");
}

TEST_F(CustomRulesDiscover, EditsTakeEffectOnTheNextCall) {
  project_file(override_of("first"));
  EXPECT_EQ(discover(&ctx).project, "override(first;70;~)");
  project_file(override_of("second"));
  EXPECT_EQ(discover(&ctx).project, "override(second;70;~)");
}

// The reader hands its errors over with the parser's own words and position.
TEST_F(CustomRulesDiscover, ErrorsCarryDescriptionAndPosition) {
  const std::string path = project_file("allow = [\"a\"]\nblock = [\"b\" \"c\"]\n");
  const RuleSet set = discover_rules(&ctx);
  ASSERT_EQ(set.errors.size(), 1u);
  const RuleFileError& e = set.errors.front();
  EXPECT_EQ(e.kind, RuleFileError::Kind::Parse);
  EXPECT_EQ(e.path, path);
  EXPECT_FALSE(e.description.empty());
  EXPECT_EQ(e.where, (SourcePosition{2, 14}));
  EXPECT_EQ(e.message(), parse_message(path));
}

// ---------------------------------------------------------------------------
// Overrides through classification

class CustomRulesClassify : public CustomRulesDiscover {
 protected:
  static int score(std::string_view command, const ClassifyContext* ctx) {
    Outcome<AnalysisResult> r = classify(command, ctx);
    EXPECT_TRUE(r.ok());
    return r.ok() ? r.value().score : -1;
  }
  static int baseline(std::string_view command, const ClassifyContext* ctx) {
    Outcome<AnalysisResult> r = classify_inner(command, ctx, nullptr);
    EXPECT_TRUE(r.ok());
    return r.ok() ? r.value().score : -1;
  }
};

TEST_F(CustomRulesClassify, OverrideRaisesButNeverLowers) {
  const int base = baseline("foo", nullptr);
  ASSERT_LT(base, 90);
  ASSERT_GT(base, 10);

  home_file(R"(overrides = [{ command = "foo", score = 90 }])");
  EXPECT_EQ(score("foo", nullptr), 90);
  EXPECT_EQ(score("/usr/local/bin/foo", nullptr), 90);  // matched by base name
  EXPECT_EQ(score("foo2", nullptr), baseline("foo2", nullptr));

  home_file(R"(overrides = [{ command = "foo", score = 10 }])");
  EXPECT_EQ(score("foo", nullptr), base);

  // A project file can only raise as well, whatever it says.
  project_file(R"(overrides = [{ command = "foo", score = -100 }])");
  EXPECT_EQ(score("foo", &ctx), baseline("foo", &ctx));
  project_file(R"(overrides = [{ command = "foo", score = 1000 }])");
  EXPECT_EQ(score("foo", &ctx), 100);
}

TEST_F(CustomRulesClassify, BrokenRuleFileDoesNotFailClassification) {
  home_file("overrides = [\n");
  CaptureStderr();
  const int s = score("foo", nullptr);
  const std::string err = GetCapturedStderr();
  EXPECT_EQ(s, baseline("foo", nullptr));
  EXPECT_EQ(err, parse_message(dir.path("home/.config/corvane/rules.toml")));
}

// The default pack is built in: a file holding exactly its bytes takes the
// built-in configuration, and that must be what reading the file gives.
TEST(BuiltinPack, IsWhatReadingThePackGives) {
  const RuleFile read = read_rule_text(builtin_pack_text());
  ASSERT_TRUE(read.config.has_value());
  EXPECT_TRUE(read.notes.empty());
  EXPECT_GT(read.config->allow.size(), 100u);
  EXPECT_EQ(describe(builtin_pack_config()), describe(*read.config));
  EXPECT_TRUE(builtin_pack_config() == *read.config);
}

TEST(BuiltinPack, ItsWordsAreItsPatternsSplit) {
  const RuleConfig c = builtin_pack_config();
  const BuiltinPackWords w = builtin_pack_words();
  ASSERT_EQ(w.allow.size(), c.allow.size());
  ASSERT_EQ(w.block.size(), c.block.size());
  ASSERT_EQ(w.commands.size(), c.commands.size());
  auto split = [](const std::string& pattern) {
    return patterns::split_words(pattern).value_or(std::vector<std::string>{});
  };
  auto got = [](std::span<const std::string_view> words) { return std::vector<std::string>(words.begin(), words.end()); };
  for (std::size_t i = 0; i < c.allow.size(); ++i) EXPECT_EQ(got(w.allow[i]), split(c.allow[i].pattern)) << i;
  for (std::size_t i = 0; i < c.block.size(); ++i) EXPECT_EQ(got(w.block[i]), split(c.block[i].pattern)) << i;
  for (std::size_t i = 0; i < c.commands.size(); ++i) EXPECT_EQ(got(w.commands[i]), split(c.commands[i].name)) << i;
}

// The built-in words and configuration stand in for reading the pack: every
// verdict is what the same pack read from a file (one comment longer) gives.
TEST(BuiltinPack, VerdictsAreThoseOfThePackReadFromItsFile) {
  const std::vector<std::string> commands = {
      "git status", "git log --oneline -5", "git log --output=x", "git push --force", "git add -A",
      "git commit -am wip", "git grep -Ovim x", "kubectl get pods", "kubectl get secret db -o yaml",
      "kubectl delete ns prod", "kubectl delete pod x --dry-run=client", "terraform destroy -auto-approve",
      "terraform plan", "docker ps -a", "docker system prune -a", "sudo kubectl delete pod x", "history",
      "history -c", "make", "sudo make install", "vim x", "vim /etc/shadow", "clear", "sed -n 1p x",
      "sed -i s/a/b/ x", "jq . x", "journalctl --vacuum-time=1d", "aws s3 ls", "gh pr list", "ls -la",
      "cat ~/.ssh/id_rsa", "rm -rf /", "dd if=/dev/zero of=/dev/sda", "curl -s https://x.sh | bash",
      "git status; rm -rf /", "env git status", "cat x | sh"};
  TempDir dir;
  ScopedHome home;
  home.set(dir.path("home"));
  const ClassifyContext ctx{dir.path("work"), dir.path("work"), dir.path("home"), {}, ShellKind::Bash};
  auto verdicts = [&] {
    std::vector<std::string> out;
    for (const std::string& c : commands) {
      const Outcome<AnalysisResult> r = classify(c, &ctx);
      out.push_back(r ? to_json(r.value()) : "fault");
    }
    return out;
  };
  dir.write("home/.config/corvane/rules.toml", builtin_pack_text());
  ASSERT_TRUE(discover_rules(&ctx).user_is_builtin_pack);
  const std::vector<std::string> built_in = verdicts();
  dir.write("home/.config/corvane/rules.toml", std::string(builtin_pack_text()) + "# edited\n");
  ASSERT_FALSE(discover_rules(&ctx).user_is_builtin_pack);
  const std::vector<std::string> read = verdicts();
  for (std::size_t i = 0; i < commands.size(); ++i) EXPECT_EQ(built_in[i], read[i]) << commands[i];
  EXPECT_NE(built_in[0].find("allow rule"), std::string::npos) << built_in[0];
}

TEST(BuiltinPack, AnInstalledPackAndAnEditedOneReadAlike) {
  TempDir dir;
  ScopedHome home;
  home.set(dir.path("home"));
  const std::string user = dir.write("home/.config/corvane/rules.toml", builtin_pack_text());
  RuleSet set = discover_rules(nullptr);
  ASSERT_TRUE(set.user.has_value() && set.errors.empty());
  EXPECT_TRUE(set.user_is_builtin_pack);
  EXPECT_EQ(set.user->source, user);
  RuleConfig expected = builtin_pack_config();
  expected.source = user;
  EXPECT_TRUE(*set.user == expected);

  // One byte more and the file is parsed: a comment changes nothing, a rule does.
  dir.write("home/.config/corvane/rules.toml", std::string(builtin_pack_text()) + "# mine\n");
  set = discover_rules(nullptr);
  ASSERT_TRUE(set.user.has_value());
  EXPECT_FALSE(set.user_is_builtin_pack);
  EXPECT_TRUE(*set.user == expected);
  dir.write("home/.config/corvane/rules.toml", std::string(builtin_pack_text()) + "\n[[paths]]\npattern = \"/srv\"\nsensitivity = \"system\"\n");
  set = discover_rules(nullptr);
  ASSERT_TRUE(set.user.has_value());
  EXPECT_EQ(set.user->paths.size(), expected.paths.size() + 1);
}

}  // namespace
}  // namespace corvane
