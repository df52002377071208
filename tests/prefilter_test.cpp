// The detector tables skip a row when the text lacks all of the row's trigger
// bytes, pipe_to_shell compares ASCII text in place, and the sensitive-path
// table holds a path only against rows ending in its last byte. Each shortcut
// must give exactly the answers of the plain loop it replaces; these tests
// hold them to such loops, written here, over every line of the real-world
// corpus (when it is there) and over hand-made ASCII and non-ASCII texts.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "rules/injection.h"
#include "rules/paths.h"
#include "rules/zsh.h"
#include "text.h"

namespace corvane {
namespace {

using rules::PatternRule;

std::vector<std::string> corpus_lines() {
  std::ifstream in(std::string(CORVANE_TEST_DATA) + "/../../shared/corpus/nl2bash.cm");
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Texts that reach every trigger, the ASCII and the Unicode paths, and bytes
// that are not UTF-8.
std::vector<std::string> hand_made_texts() {
  std::vector<std::string> texts = {
      "", "ls -la", "echo $(date) `id` <(a) >(b) ${x} $((1+2)) $'a' $\"b\"",
      "cat$IFS/etc/passwd", "a${IFS}b", "find . -exec rm {} \\;", "a \\| b \\& c \\x41 \\u00e9",
      "echo {a,b}", "echo {1..3},", "cat /proc/self/environ", "cat /proc/1/environ",
      "exec 3<>/dev/tcp/h/80", "base64 f | sh", "b64 > x", "eval x", "x source y", ". /x",
      "LD_PRELOAD=x y", "LD_LIBRARY_PATH=/z", "PATH=/tmp:$PATH", "PATH=$PATH:/x", "XPATH=/y",
      "HISTFILE=/dev/null", "cat .bash_history", "HISTSIZE=0", "curl x | BASH", "x |Python3 -",
      "x |  sh", "x | Sh", "x ||sh", "|", "x |", "a|b|c|NODEJS", "curl x|tcsh", "x | fis",
      "zmodload zsh/system", "zpty x", "ztcp h 80", "zsocket", "mapfile", "zf_rm x",
      "emulate sh -c x", "sysopen", "syswrite", "ls *(e:x:)", "ls (+f)", "=ls", "a =b", "'=ls'",
      "{ a } always { b }", "noglob rm *", "autoload -U f", "ls\rrm", "a\vb", "a\fb",
      std::string("rm a\0b", 6), "a\x01" "b", "a\x7f", "a\x1b[0m",
      "caf\xC3\xA9 | BASH", "x | \xE2\x84\xAAsh", "\xFF | PERL", "x |\xFF" "bash", "x | \xC4\xB0sh",
      "x \xEF\xBD\x9C sh", "a\xC2\xA0" "b", "a\xE3\x80\x80" "b", "a\xC2\x85" "b", "a\xE2\x80\x8B" "b",
      "=\xC3\xA9" "cho", "=\xE2\x80\x8B", "\xC3", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82",
  };
  return texts;
}

// Every text, upper-cased, and behind a non-ASCII word so that the Unicode
// paths see the same constructs.
std::vector<std::string> with_variants(const std::vector<std::string>& texts) {
  std::vector<std::string> out;
  out.reserve(texts.size() * 3);
  for (const std::string& t : texts) {
    out.push_back(t);
    std::string upper = t;
    for (char& c : upper)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    out.push_back(upper);
    out.push_back("\xC3\xA9 " + t);
  }
  return out;
}

std::vector<std::string> all_texts() {
  std::vector<std::string> texts = hand_made_texts();
  for (std::string& line : corpus_lines()) texts.push_back(std::move(line));
  return with_variants(texts);
}

std::vector<std::string_view> ids_by_running_every_row(std::span<const PatternRule> table, std::string_view t) {
  std::vector<std::string_view> ids;
  for (const PatternRule& row : table)
    if (row.check(t)) ids.push_back(row.id);
  return ids;
}

std::vector<std::string_view> ids_found(std::span<const PatternRule> table, std::string_view t) {
  std::vector<std::string_view> ids;
  for (const auto& m : rules::matching_patterns(table, t)) ids.push_back(m.id);
  return ids;
}

TEST(Prefilter, DetectorsAnswerAsIfEveryRowRan) {
  int mismatches = 0;
  for (const std::string& t : all_texts()) {
    for (const auto table : {rules::injection_rules(), rules::zsh_rules()}) {
      if (ids_found(table, t) == ids_by_running_every_row(table, t)) continue;
      if (++mismatches <= 5) ADD_FAILURE() << "text: " << t;
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(Prefilter, EveryRowThatMatchesHoldsOneOfItsTriggers) {
  // The property the skip rests on, checked row by row so that a failure
  // names the row whose trigger bytes are wrong.
  for (const std::string& t : all_texts()) {
    const text::ByteSet present(t);
    for (const auto table : {rules::injection_rules(), rules::zsh_rules()})
      for (const PatternRule& row : table)
        if (row.check(t)) { ASSERT_TRUE(row.triggers.intersects(present)) << row.id << ": " << t; }
  }
}

// pipe_to_shell as first written: lower-case the whole text, then search.
bool pipes_to_shell_by_lowering(std::string_view t) {
  static const char* const kNames[] = {"bash", "sh", "zsh", "fish", "ksh", "csh", "tcsh", "dash",
                                       "python", "python3", "perl", "ruby", "node", "nodejs"};
  const std::string lower = text::to_lower(t);
  for (const char* name : kNames)
    if (text::contains(lower, std::string("| ") + name) || text::contains(lower, std::string("|") + name))
      return true;
  return false;
}

TEST(Prefilter, PipeToShellComparesAsciiInPlaceAsIfLowered) {
  int mismatches = 0;
  for (const std::string& t : all_texts()) {
    bool fired = false;
    for (const auto& m : rules::matching_patterns(rules::injection_rules(), t)) fired |= m.id == "pipe_to_shell";
    if (fired == pipes_to_shell_by_lowering(t)) continue;
    if (++mismatches <= 5) ADD_FAILURE() << "text: " << t;
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(Prefilter, ByteSetTellsAsciiApartAndLumpsTheRest) {
  const text::ByteSet set("a$\xC3\xA9");
  EXPECT_TRUE(set.contains('a'));
  EXPECT_TRUE(set.contains('$'));
  EXPECT_FALSE(set.contains('A'));
  EXPECT_FALSE(set.contains('\0'));
  EXPECT_TRUE(set.contains(0x80));  // any byte from 0x80 up stands for them all
  EXPECT_FALSE(text::ByteSet("abc").intersects(text::ByteSet::non_ascii()));
  EXPECT_TRUE(text::ByteSet("\xFF").intersects(text::ByteSet::non_ascii()));
  EXPECT_TRUE(text::ByteSet().empty());
  EXPECT_FALSE(text::ByteSet("").intersects(text::ByteSet::all()));
  EXPECT_EQ(text::ByteSet("\x7F\x40\x3F"), text::ByteSet::range(0x7F, 0x7F) | text::ByteSet("?@"));
}

// match_sensitivity as first written: every row, its pattern scanned for "/"
// and tested with path_matches; the first match stands unless a later row
// outranks it strictly.
std::optional<rules::SensitivityMatch> sensitivity_by_every_row(std::string_view path) {
  auto rank = [](Sensitivity s) {
    switch (s) {
      case Sensitivity::Config: return 10;
      case Sensitivity::System: return 20;
      case Sensitivity::Secrets:
      case Sensitivity::Protected: return 25;
      case Sensitivity::Normal: break;
    }
    return 0;
  };
  while (path.starts_with("./")) path.remove_prefix(2);
  const std::string_view final_component = text::base_name(path);
  std::optional<rules::SensitivityMatch> best;
  for (const rules::SensitivePathRule& rule : rules::sensitive_path_rules()) {
    bool hit;
    if (rule.pattern.starts_with('/'))
      hit = rules::path_matches(path, rule.pattern);
    else if (text::contains(rule.pattern, '/'))
      hit = path.ends_with(rule.pattern) || rules::path_matches(path, rule.pattern);
    else
      hit = rules::path_matches(final_component, rule.pattern);
    if (hit && (!best || rank(rule.sensitivity) > rank(best->sensitivity)))
      best = rules::SensitivityMatch{rule.sensitivity, rule.description};
  }
  return best;
}

std::vector<std::string> paths_to_try() {
  std::vector<std::string> paths = {"", "/", "./", "././", "..", "../.env", "././.env", "a/",
                                    "x.pem/", "\xC3\xA9.pem", "caf\xC3\xA9/.env", ".ssh/*",
                                    "/proc/1/environ", "/proc/environ", "/etc/ssh/", "\xFF"};
  for (const rules::SensitivePathRule& rule : rules::sensitive_path_rules()) {
    const std::string p(rule.pattern);
    std::string filled = p, emptied;
    for (char& c : filled)
      if (c == '*') c = 'x';
    for (char c : p)
      if (c != '*') emptied += c;
    for (const std::string& q : {p, filled, emptied})
      for (const char* before : {"", "/", "./", "a/", "/home/u/", "x", "../"})
        for (const char* after : {"", "/", "x", ".bak", "/id_rsa"})
          paths.push_back(before + q + after);
  }
  // Every word of the corpus, as the analyzer sees arguments.
  for (const std::string& line : corpus_lines())
    for (std::string_view word : text::split_words(line)) paths.emplace_back(word);
  return paths;
}

TEST(Prefilter, SensitivityAnswersAsIfEveryRowRan) {
  int mismatches = 0;
  for (const std::string& path : paths_to_try()) {
    const auto got = rules::match_sensitivity(path);
    const auto want = sensitivity_by_every_row(path);
    const bool same = got.has_value() == want.has_value() &&
                      (!got || (got->sensitivity == want->sensitivity && got->description == want->description));
    if (same) continue;
    if (++mismatches <= 5) ADD_FAILURE() << "path: " << path;
  }
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
}  // namespace corvane
