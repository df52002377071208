#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "rules/capabilities.h"
#include "rules/commands.h"
#include "rules/paths.h"
#include "text.h"

namespace corvane::rules {
namespace {

// ---------------------------------------------------------------------------
// Command rule table

struct RowCase {
  std::string_view name;
  Intent intent;
  Reversibility reversibility;
  std::string_view technique;
  std::size_t flag_rules;
};

TEST(CommandTable, RowsKeepTheirFieldsAndOrder) {
  const auto rules = command_rules();
  ASSERT_EQ(rules.size(), 157u);
  EXPECT_EQ(rules.front().name, "ls");
  EXPECT_EQ(rules.back().name, "gunzip");

  const RowCase cases[] = {
      {"ls", Intent::Info, Reversibility::Reversible, "", 0},
      {"gunzip", Intent::Write, Reversibility::Reversible, "", 0},
      {"gzip", Intent::Write, Reversibility::Reversible, "T1560", 0},
      {"whoami", Intent::Info, Reversibility::Reversible, "T1033", 0},
      {"find", Intent::Search, Reversibility::Reversible, "T1083", 3},
      {"mv", Intent::Write, Reversibility::HardToReverse, "", 0},
      {"sed", Intent::Write, Reversibility::HardToReverse, "", 1},
      {"rm", Intent::Delete, Reversibility::Irreversible, "T1485", 4},
      {"python3", Intent::Execute, Reversibility::HardToReverse, "T1059.006", 0},
      {"curl", Intent::Network, Reversibility::HardToReverse, "T1071", 7},
      {"scp", Intent::Network, Reversibility::HardToReverse, "T1021.004", 0},
      {"host", Intent::Network, Reversibility::Reversible, "T1018", 0},
      {"kill", Intent::ProcessControl, Reversibility::Irreversible, "T1489", 0},
      {"userdel", Intent::Privilege, Reversibility::Irreversible, "T1531", 0},
      {"go", Intent::PackageInstall, Reversibility::HardToReverse, "T1195.002", 0},
      {"git", Intent::GitMutation, Reversibility::HardToReverse, "", 8},
      {"typeset", Intent::EnvModify, Reversibility::HardToReverse, "", 0},
      {"docker", Intent::Execute, Reversibility::HardToReverse, "T1610", 2},
      {"kubectl", Intent::Execute, Reversibility::HardToReverse, "T1609", 2},
      {"dd", Intent::Write, Reversibility::Irreversible, "T1561", 0},
      {"crontab", Intent::Write, Reversibility::HardToReverse, "T1053.003", 0},
      {"at", Intent::Execute, Reversibility::HardToReverse, "T1053.002", 0},
      {"systemctl", Intent::ProcessControl, Reversibility::HardToReverse, "T1543.002", 0},
      {"iptables", Intent::Privilege, Reversibility::HardToReverse, "T1562.004", 0},
      {"openssl", Intent::Network, Reversibility::Reversible, "T1573", 0},
      {"gpg", Intent::Read, Reversibility::Reversible, "", 0},
  };
  for (const RowCase& c : cases) {
    const CommandRule* r = lookup_command(c.name);
    ASSERT_NE(r, nullptr) << c.name;
    EXPECT_EQ(r->name, c.name);
    EXPECT_EQ(r->intent, c.intent) << c.name;
    EXPECT_EQ(r->reversibility, c.reversibility) << c.name;
    EXPECT_EQ(r->technique, c.technique) << c.name;
    EXPECT_EQ(r->flag_rules.size(), c.flag_rules) << c.name;
  }

  std::size_t with_flags = 0;
  for (const CommandRule& r : rules) with_flags += r.flag_rules.empty() ? 0 : 1;
  EXPECT_EQ(with_flags, 12u);
}

TEST(CommandTable, LookupUsesTheFinalPathComponentExactly) {
  const std::pair<std::string_view, std::optional<std::string_view>> cases[] = {
      {"/usr/bin/rm", "rm"}, {"./bin/rm", "rm"},    {"rm", "rm"},
      {"sudo", "sudo"},      {"apt-get", "apt-get"}, {"bin/", std::nullopt},
      {"", std::nullopt},    {"RM", std::nullopt},   {"python3.12", std::nullopt},
      {"npx", std::nullopt}, {"rm ", std::nullopt},  {"/usr/bin/", std::nullopt},
  };
  for (const auto& [exe, name] : cases) {
    const CommandRule* r = lookup_command(exe);
    if (name) {
      ASSERT_NE(r, nullptr) << exe;
      EXPECT_EQ(r->name, *name) << exe;
    } else {
      EXPECT_EQ(r, nullptr) << exe;
    }
  }
}

// Flag matching, with the executable taken from the segment's first word.
std::vector<FlagAnalysis> flags_of(std::string_view segment) {
  const auto words = text::split_words(segment);
  if (words.empty()) return {};
  const CommandRule* r = lookup_command(words.front());
  return r == nullptr ? std::vector<FlagAnalysis>{} : match_flag_rules(*r, segment);
}

using FlagList = std::vector<std::pair<std::string, int>>;

struct FlagCase {
  std::string_view segment;
  FlagList expected;  // flag text and modifier, in order
};

TEST(FlagRules, MatchWordsAsTyped) {
  const FlagCase cases[] = {
      {"rm -rf /tmp/x", {{"-rf", 30}}},
      {"rm -rf --no-preserve-root /", {{"-rf", 30}, {"--no-preserve-root", 50}}},
      {"rm -r -f x", {}},
      {"rm -Rf x", {}},
      {"rm -rfv x", {}},
      {"rm --force --recursive x", {{"--recursive", 30}}},
      {"rm --recursive x", {}},
      {"/bin/rm -fr x", {{"-fr", 30}}},
      {"rm\u00a0-rf\u2003x", {{"-rf", 30}}},  // Unicode white space separates words
      {"git push origin main --force", {{"push", 30}}},
      {"git push --force-with-lease", {{"push", 15}}},
      {"git push --force -f", {{"push", 30}, {"push", 30}}},
      {"git push --force=yes", {{"push", 30}}},
      {"git --force", {}},
      {"git reset --hard HEAD~1", {{"reset", 25}}},
      {"git clean -fxd", {{"clean", 30}}},
      {"git checkout -- .", {{"checkout", 20}}},
      {"git checkout -- src", {}},
      {"git branch -D old", {{"branch", 15}}},
      {"git commit -m 'push -f'", {}},
      {"git commit -m 'fix push -f handling'", {{"push", 30}}},
      {"docker run --privileged -v /:/host img", {{"run", 35}, {"run", 40}}},
      {"docker run -v /:/hostx img", {}},
      {"curl --data=@notes.txt https://x", {{"--data", 10}}},
      {"curl -XPOST https://x", {}},
      {"curl -X POST -d @f -o out https://x", {{"-X", 15}, {"-d", 10}, {"-o", 10}}},
      {"curl -X PUT -X DELETE -T f https://x", {{"-X", 15}, {"-X", 15}, {"-T", 15}}},
      {"curl -x POST https://x", {}},
      {"wget --post-file=/etc/hosts http://x", {{"--post-file", 20}}},
      {"ssh -R 8080:localhost:80 -L 1:h:2 host", {{"-R", 25}, {"-L", 15}}},
      {"chmod u+s f", {{"u+s", 30}}},
      {"chmod +s f", {{"+s", 30}}},
      {"chmod 0777 f", {}},
      {"chmod 777 g+s f", {{"777", 20}, {"g+s", 25}}},
      {"npm run build", {{"run", 15}}},
      {"npm exec foo && npm publish", {{"publish", 20}, {"exec", 20}}},
      {"kubectl exec pod -- ls", {{"exec", 20}}},
      {"find . -name x -delete", {{"-delete", 35}}},
      {"find . -execdir rm {} ;", {{"-execdir", 30}}},
      {"sed -i s/a/b/ f", {{"-i", 10}}},
      {"sed -i.bak s/a/b/ f", {}},
      // tar's token ends in "=": a word that begins with it carries the
      // command to run, so it matches as well as the bare token does.
      {"tar -cf a.tar --checkpoint=1 --checkpoint-action=exec=sh x.sh",
       {{"--checkpoint-action=exec=", 40}}},
      {"tar --checkpoint-action=exec=", {{"--checkpoint-action=exec=", 40}}},
      {"tar --checkpoint-action=exec==x", {{"--checkpoint-action=exec=", 40}}},
      {"tar --checkpoint-action=echo", {}},
      {"tar --checkpoint-action=exec", {}},
      // Only the segment's own command is consulted.
      {"echo git push -f", {}},
      {"sudo rm -rf /", {}},
      {"npx foo --force", {}},
  };
  for (const FlagCase& c : cases) {
    FlagList got;
    for (const FlagAnalysis& f : flags_of(c.segment)) got.emplace_back(f.flag, f.modifier);
    EXPECT_EQ(got, c.expected) << c.segment;
  }
}

TEST(FlagRules, CopyTheRuleIntoTheRecord) {
  EXPECT_EQ(flags_of("rm -rf /tmp/x"),
            (std::vector<FlagAnalysis>{{"-rf", 30, RiskFactor::RecursiveDelete,
                                        "Recursive forced deletion without prompts"}}));
  EXPECT_EQ(flags_of("sed -i s/a/b/ f"),
            (std::vector<FlagAnalysis>{
                {"-i", 10, RiskFactor::Write, "In-place edit modifies the original file"}}));
  EXPECT_EQ(flags_of("npm run x"),
            (std::vector<FlagAnalysis>{{"run", 15, RiskFactor::CommandExecution,
                                        "Runs an arbitrary script defined in package.json"}}));
  EXPECT_EQ(flags_of("docker run -v /:/host img"),
            (std::vector<FlagAnalysis>{{"run", 40, RiskFactor::PrivilegeEscalation,
                                        "Mounts entire host filesystem into container"}}));
}

// ---------------------------------------------------------------------------
// Binary capability table

using Caps = std::vector<BinaryCapability>;

TEST(CapabilityTable, LooksUpByFinalComponentInRowOrder) {
  using enum BinaryCapability;
  const auto table = capability_table();
  ASSERT_EQ(table.size(), 62u);
  EXPECT_EQ(table.front().binary, "vim");
  EXPECT_EQ(table.back().binary, "ld.so");

  const std::pair<std::string_view, Caps> cases[] = {
      {"/usr/bin/vim", {Shell, FileRead, FileWrite}},
      {"find", {Command, Shell}},
      {"emacs", {Shell, FileRead, FileWrite, Command}},
      {"socat", {ReverseShell, BindShell, Upload, Download, Shell}},
      {"python", {Shell, Command, ReverseShell, FileRead, FileWrite, Download}},
      {"rsync", {Upload, Download, Command}},
      {"docker", {Shell, PrivilegeEscalation, FileRead, FileWrite}},
      {"pkexec", {PrivilegeEscalation, Command}},
      {"ld.so", {LibraryLoad, Command}},
      {"./ld.so", {LibraryLoad, Command}},
      {"cat", {}},
      {"rm", {}},
      {"sudo", {}},
      {"bash", {}},
      {"cargo", {}},
      {"Vim", {}},
      {"python3.12", {}},
      {"", {}},
      {"vim/", {}},
  };
  for (const auto& [exe, expected] : cases) EXPECT_EQ(lookup_capabilities(exe), expected) << exe;
}

// ---------------------------------------------------------------------------
// Sensitive path rules

TEST(SensitivePaths, PatternMatching) {
  struct Case {
    std::string_view subject, pattern;
    bool expected;
  };
  const Case cases[] = {
      // No wildcard: equal, or a "/"-separated suffix.
      {".env", ".env", true},
      {"x/.env", ".env", true},
      {"a.env", ".env", false},
      {".env/x", ".env", false},
      // "?" without "*": one character each, byte lengths equal.
      {"abc", "a?c", true},
      {"ac", "a?c", false},
      {"a\u00e9c", "a?c", false},
      {"\u00e9", "??", false},
      {"x\u00e9", "x??", false},
      {"\u00e9x", "\u00e9?", true},
      {"\xff", "?", true},
      {"\xc3" "a", "??", true},
      {"a?", "a?", true},
      // "*": anchored head and tail, middle parts in order, no overlap.
      {"anything", "*", true},
      {"", "*", true},
      {"ab", "a*b", true},
      {"a", "a*b", false},
      {"aba", "ab*ba", false},
      {"abba", "ab*ba", true},
      {"a1x2y3b", "a*x*y*b", true},
      {"a1y2x3b", "a*x*y*b", false},
      {"axxb", "a*x*x*b", true},
      {"axb", "a*x*x*b", false},
      {"a?zb", "a*?*b", true},
      {"azb", "a*?*b", false},
      {"/proc/1234/environ", "/proc/*/environ", true},
      {"/proc/environ", "/proc/*/environ", false},
      {"key.pem.bak", "*.pem", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(path_matches(c.subject, c.pattern), c.expected) << c.subject << " ~ " << c.pattern;
}

TEST(SensitivePaths, TableBoundaries) {
  const auto rules = sensitive_path_rules();
  ASSERT_EQ(rules.size(), 51u);
  EXPECT_EQ(rules.front().pattern, ".env");
  EXPECT_EQ(rules[32].pattern, "/proc/*/environ");
  EXPECT_EQ(rules.back().pattern, "terraform.tfstate");
  EXPECT_EQ(rules.back().sensitivity, Sensitivity::Secrets);
}

TEST(SensitivePaths, BestRankedRuleWins) {
  struct Case {
    std::string_view path;
    std::optional<Sensitivity> sensitivity;
    std::string_view description;
  };
  constexpr auto kSecrets = Sensitivity::Secrets;
  constexpr auto kSystem = Sensitivity::System;
  constexpr auto kConfig = Sensitivity::Config;
  const Case cases[] = {
      {".env", kSecrets, "Environment secrets"},
      {"./.env", kSecrets, "Environment secrets"},
      {"././.env", kSecrets, "Environment secrets"},
      {"config/.env", kSecrets, "Environment secrets"},
      {"/srv/app/.env", kSecrets, "Environment secrets"},
      {"../.env", kSecrets, "Environment secrets"},
      {".env.local", kSecrets, "Environment secrets variant"},
      {".envrc", std::nullopt, ""},
      {"env", std::nullopt, ""},
      {"~/.ssh/id_rsa", kSecrets, "RSA private key"},
      {"~/.ssh/id_rsa.pub", std::nullopt, ""},
      {"~/.ssh/config", std::nullopt, ""},
      {".ssh/config", kSecrets, "SSH keys and config"},
      {"./.ssh/config", kSecrets, "SSH keys and config"},
      {"~/.ssh/*", kSecrets, "SSH keys and config"},
      {"~/.ssh", kSecrets, "SSH directory"},
      {".ssh/id_rsa", kSecrets, "SSH keys and config"},  // equal rank: earlier row stays
      {"/home/u/.aws/credentials", kSecrets, "AWS credentials"},
      {"/home/u/.aws/config", kConfig, "AWS config"},
      {"server.key", kSecrets, "Private key file"},
      {"cert.pem", kSecrets, "TLS/SSH private key"},
      {"app.secrets", kSecrets, "Secrets file"},
      {"key.pem.bak", std::nullopt, ""},
      {"/etc/passwd", kSystem, "User accounts"},
      {"etc/passwd", std::nullopt, ""},
      {"/etc/ssh/sshd_config", kSystem, "SSH server config"},
      {"/proc/1234/environ", kSystem, "Process environment"},
      {"/proc/self/environ", kSystem, "Process environment"},
      {"project/.git/config", kConfig, "Repo git config"},
      {"Makefile", kConfig, "Build configuration"},
      {"src/Makefile", kConfig, "Build configuration"},
      {"makefile", std::nullopt, ""},
      {".config/terraform.tfstate", kSecrets, "Terraform state file"},  // config row first
      {"/etc/ssh/.aws/config", kSystem, "SSH server config"},          // config row first
      {".config/id_rsa", kSecrets, "RSA private key"},                 // secrets row first
      {".terraform/x", kSecrets, "Terraform state (may contain secrets)"},
      {"", std::nullopt, ""},
  };
  for (const Case& c : cases) {
    const auto m = match_sensitivity(c.path);
    ASSERT_EQ(m.has_value(), c.sensitivity.has_value()) << c.path;
    if (!m) continue;
    EXPECT_EQ(m->sensitivity, *c.sensitivity) << c.path;
    EXPECT_EQ(m->description, c.description) << c.path;
  }
}

}  // namespace
}  // namespace corvane::rules
