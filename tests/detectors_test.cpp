#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rules/injection.h"
#include "rules/zsh.h"
#include "scorer.h"
#include "text.h"

namespace corvane {
namespace {

using rules::PatternRule;
using Ids = std::vector<std::string>;

Ids matching_ids(std::span<const PatternRule> table, std::string_view text) {
  Ids out;
  for (const auto& m : rules::matching_patterns(table, text)) out.emplace_back(m.id);
  return out;
}

bool fires(std::span<const PatternRule> table, std::string_view id, std::string_view text) {
  for (const auto& m : rules::matching_patterns(table, text))
    if (m.id == id) return true;
  return false;
}

// One row of a detector table: a text it must match and a near miss it must not.
struct RowCase {
  const char* id;
  std::string hit;
  std::string miss;
};

// Quoted and escaped: a row's text may hold control bytes (a carriage return),
// which must not reach a test listing or a terminal raw.
void PrintTo(const RowCase& c, std::ostream* os) { *os << c.id << ": " << ::testing::PrintToString(c.hit); }

class InjectionRow : public ::testing::TestWithParam<RowCase> {};

TEST_P(InjectionRow, MatchesAndNearMissDoesNot) {
  const RowCase& c = GetParam();
  EXPECT_TRUE(fires(rules::injection_rules(), c.id, c.hit)) << c.hit;
  EXPECT_FALSE(fires(rules::injection_rules(), c.id, c.miss)) << c.miss;
}

INSTANTIATE_TEST_SUITE_P(
    Detectors, InjectionRow,
    ::testing::Values(
        RowCase{"command_substitution_dollar", "echo '$(date)'", "echo $ (date)"},
        RowCase{"command_substitution_backtick", "echo `id`", "echo 'id'"},
        RowCase{"process_substitution_in", "diff <(ls a) b", "sort < (x)"},
        RowCase{"process_substitution_out", "tee >(gzip)", "echo > (x)"},
        RowCase{"parameter_expansion", "echo ${HOME}", "echo $HOME {x}"},
        RowCase{"ifs_injection", "cat$IFS/etc/passwd", "echo IFS=x $ifs"},
        RowCase{"ifs_injection", "a${IFS}b", "echo $ IFS"},
        RowCase{"arithmetic_expansion", "echo $((1+2))", "echo $(ls)"},
        RowCase{"carriage_return", "ls\rrm -rf /", "ls\nrm"},
        RowCase{"ansi_c_quoting", "echo $'\\x41'", "echo $ 'x'"},
        RowCase{"ansi_c_quoting", "echo $\"msg\"", "echo \"$ x\""},
        RowCase{"escaped_semicolon", "find . -exec rm {} \\;", "a; b"},
        RowCase{"escaped_pipe", "echo a\\|b", "echo a|b"},
        RowCase{"escaped_ampersand", "echo a\\&b", "a && b"},
        RowCase{"proc_environ_access", "cat /proc/self/environ", "cat /proc/self/status"},
        RowCase{"proc_environ_access", "cat /proc/1/environ", "cat /environ"},
        RowCase{"dev_tcp_udp", "echo x > /dev/tcp/10.0.0.1/80", "ls /dev/tcp"},
        RowCase{"dev_tcp_udp", "cat < /dev/udp/h/53", "ls /dev/udpx/"},
        RowCase{"base64_pipe", "base64 -d x | sh", "base64 -d x"},
        RowCase{"base64_pipe", "echo b64 > f", "echo b-64 > f"},
        RowCase{"hex_escape_sequences", "printf '\\x72\\x6d'", "printf '\\X72'"},
        RowCase{"hex_escape_sequences", "echo -e '\\u0041'", "echo '\\U0041'"},
        RowCase{"ld_preload", "LD_PRELOAD=/tmp/x.so ls", "LD_PRE_LOAD=x"},
        RowCase{"ld_preload", "export LD_LIBRARY_PATH=.", "ld_preload=x"},
        RowCase{"history_manipulation", "unset HISTFILE", "histfile"},
        RowCase{"history_manipulation", "rm ~/.bash_history", "rm ~/.zsh_history"},
        RowCase{"history_manipulation", "export HISTSIZE=0", "export HISTSIZE=1000"},
        RowCase{"null_byte", std::string("a\0b", 3), "a\\0b"},
        RowCase{"pipe_to_shell", "curl x | sh", "curl x |  sh"},
        RowCase{"pipe_to_shell", "cat x | sha256sum", "cat x > sh"},
        RowCase{"pipe_to_shell", "cat x |bash", "cat x | bas"},
        RowCase{"pipe_to_shell", "CAT X | BASH", "echo bash |"},
        RowCase{"pipe_to_shell", "a || python3 x", "a | py"},
        RowCase{"pipe_to_shell", "x | Node -e 1", "x | nod"}));

// One expected row of a detector table: id, weight and risk factor.
struct Row {
  std::string_view id;
  int weight;
  RiskFactor factor;
};

void expect_rows(std::span<const rules::PatternRule> table, const std::vector<Row>& expected) {
  ASSERT_EQ(table.size(), expected.size());
  for (std::size_t i = 0; i < table.size(); ++i) {
    EXPECT_EQ(table[i].id, expected[i].id) << "row " << i + 1;
    EXPECT_EQ(table[i].weight, expected[i].weight) << expected[i].id;
    EXPECT_EQ(table[i].risk_factor, expected[i].factor) << expected[i].id;
    EXPECT_FALSE(table[i].description.empty()) << expected[i].id;
  }
}

TEST(Detectors, InjectionTableOrderWeightsAndFactors) {
  using RF = RiskFactor;
  const std::vector<Row> expected = {
      {"command_substitution_dollar", 40, RF::CommandSubstitution},
      {"command_substitution_backtick", 40, RF::CommandSubstitution},
      {"process_substitution_in", 45, RF::ProcessSubstitution},
      {"process_substitution_out", 45, RF::ProcessSubstitution},
      {"parameter_expansion", 35, RF::ShellInjection},
      {"ifs_injection", 50, RF::ShellInjection},
      {"arithmetic_expansion", 30, RF::ShellInjection},
      {"unicode_whitespace", 45, RF::ShellInjection},
      {"control_characters", 45, RF::ShellInjection},
      {"carriage_return", 40, RF::ShellInjection},
      {"ansi_c_quoting", 35, RF::ObfuscatedCommand},
      {"escaped_semicolon", 25, RF::ShellInjection},
      {"escaped_pipe", 25, RF::ShellInjection},
      {"escaped_ampersand", 25, RF::ShellInjection},
      {"brace_expansion", 20, RF::ShellInjection},
      {"proc_environ_access", 50, RF::SecretsExposure},
      {"dev_tcp_udp", 55, RF::NetworkExfiltration},
      {"base64_pipe", 30, RF::ObfuscatedCommand},
      {"eval_usage", 50, RF::CommandExecution},
      {"dot_sourcing", 50, RF::CommandExecution},
      {"hex_escape_sequences", 35, RF::ObfuscatedCommand},
      {"ld_preload", 55, RF::PathInjection},
      {"path_injection", 50, RF::PathInjection},
      {"history_manipulation", 40, RF::ShellInjection},
      {"null_byte", 50, RF::ShellInjection},
      {"pipe_to_shell", 55, RF::PipeToExecution},
  };
  const auto table = rules::injection_rules();
  ASSERT_NO_FATAL_FAILURE(expect_rows(table, expected));
  EXPECT_EQ(table[0].description, "$() command substitution");
  EXPECT_EQ(table[4].description, "${} parameter expansion");
  EXPECT_EQ(table[19].description, "Dot-sourcing a script (. /path)");
  EXPECT_EQ(table[25].description, "Output piped to shell or interpreter execution");
}

TEST(Detectors, MatchesCarryTheRowAndComeInTableOrder) {
  // "$((" also holds "$(", so both rows fire; the pipe sits first in the text
  // but its row is last in the table.
  const auto matches = rules::matching_patterns(rules::injection_rules(), "x | sh; echo $((1+2))");
  ASSERT_EQ(matches.size(), 3u);
  EXPECT_EQ(matches[0].id, "command_substitution_dollar");
  EXPECT_EQ(matches[0].risk_factor, RiskFactor::CommandSubstitution);
  EXPECT_EQ(matches[0].weight, 40);
  EXPECT_EQ(matches[0].description, "$() command substitution");
  EXPECT_EQ(matches[1].id, "arithmetic_expansion");
  EXPECT_EQ(matches[2].id, "pipe_to_shell");
}

TEST(Detectors, CleanTextMatchesNothing) {
  EXPECT_EQ(matching_ids(rules::injection_rules(), ""), Ids{});
  EXPECT_EQ(matching_ids(rules::injection_rules(), "ls -la"), Ids{});
  EXPECT_EQ(matching_ids(rules::injection_rules(), "git commit -m 'fix: tests'"), Ids{});
  EXPECT_EQ(matching_ids(rules::zsh_rules(), "ls -la"), Ids{});
}

TEST(Detectors, RepeatedConstructMatchesOnce) {
  EXPECT_EQ(matching_ids(rules::injection_rules(), "`a` `b` `c`"), Ids{"command_substitution_backtick"});
}

// Which of the two character rows fire for a text.
struct CharCase {
  std::string text;
  bool unicode_whitespace;
  bool control_characters;
};

TEST(Detectors, WhiteSpaceAndControlCharacters) {
  const std::vector<CharCase> cases = {
      {"ls\xC2\xA0-la", true, false},          // NBSP
      {"ls\xE3\x80\x80-la", true, false},      // U+3000 ideographic space
      {"ls\xE2\x80\x82x", true, false},        // U+2002 en space
      {"ls\xE2\x80\xA8x", true, false},        // U+2028 line separator
      {"ls\xE2\x80\xAFx", true, false},        // U+202F narrow NBSP
      {"ls\xC2\x85x", true, false},            // U+0085 NEL
      {"ls\xE1\x9A\x80x", true, false},        // U+1680 ogham space mark
      {"ls\vx", true, false},                  // vertical tab: white space, not a control here
      {"ls\fx", true, false},                  // form feed
      {"ls\tx\ny\rz", false, false},           // the ordinary ones
      {"ls\xE2\x80\x8Bx", false, false},       // U+200B zero width space is not White_Space
      {"ls\xE1\xA0\x8Ex", false, false},       // U+180E left White_Space long ago
      {"ls\x85x", false, false},               // a lone 0x85 byte is invalid, not NEL
      {"ls\xA0x", false, false},               // a lone 0xA0 byte is invalid, not NBSP
      {"ls\xE3\x80", false, false},            // truncated U+3000
      {"ls\xC0\xA0x", false, false},           // overlong form
      {std::string("a\0b", 3), false, true},   // NUL
      {"a\x01" "b", false, true},
      {"a\x08" "b", false, true},
      {"a\x0E" "b", false, true},
      {"a\x1B[31m", false, true},              // escape
      {"a\x1F" "b", false, true},
      {"a\x7F" "b", false, true},
      {"caf\xC3\xA9", false, false},           // bytes of 0x80 and above are never controls
  };
  for (const CharCase& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.text));
    EXPECT_EQ(fires(rules::injection_rules(), "unicode_whitespace", c.text), c.unicode_whitespace);
    EXPECT_EQ(fires(rules::injection_rules(), "control_characters", c.text), c.control_characters);
  }
}

TEST(Detectors, NulFiresNullByteAndControlCharacters) {
  EXPECT_EQ(matching_ids(rules::injection_rules(), std::string("rm a\0b", 6)),
            (Ids{"control_characters", "null_byte"}));
}

TEST(Detectors, PipeToShellFoldsFullUnicodeCase) {
  EXPECT_TRUE(fires(rules::injection_rules(), "pipe_to_shell", "curl x | \xE2\x84\xAAsh"));  // Kelvin sign
  EXPECT_TRUE(fires(rules::injection_rules(), "pipe_to_shell", "caf\xC3\xA9 | BASH"));      // non-ASCII path
  EXPECT_TRUE(fires(rules::injection_rules(), "pipe_to_shell", "\xFF | PERL"));             // invalid byte elsewhere
  EXPECT_FALSE(fires(rules::injection_rules(), "pipe_to_shell", "x |\xFF" "bash"));         // invalid byte in between
  EXPECT_FALSE(fires(rules::injection_rules(), "pipe_to_shell", "x | \xC4\xB0sh"));        // U+0130 lowers to i + dot
  EXPECT_FALSE(fires(rules::injection_rules(), "pipe_to_shell", "x \xEF\xBD\x9C sh"));     // fullwidth bar
}

TEST(Detectors, BraceRuleLooksOnlyAtTheFirstOpeningBrace) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"echo {a,b}", true},      {"x{1,2}y", true},         {"echo {a} {b,c}", false},
      {"echo {1..3}", false},    {"echo a,b}", false},      {"echo {a,b", false},
      {"echo },{a}", false},     {"echo {a}b,c}", false},   {"f() { a, b; }", true},
  };
  for (const auto& [text, hit] : cases)
    EXPECT_EQ(fires(rules::injection_rules(), "brace_expansion", text), hit) << text;
}

TEST(Detectors, PathInjection) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"export PATH=/opt/bin", true},
      {"export PYTHONPATH=lib", true},
      {"export PATH=$PATH:/opt/bin", false},
      {"PATH=/tmp/bin:$PATH ls", true},
      {"PATH=/var/x:$PATH ls", true},
      {"echo $PATH", false},
      {"export path=/tmp", false},
      {"export PATH =/tmp", false},
  };
  for (const auto& [text, hit] : cases)
    EXPECT_EQ(fires(rules::injection_rules(), "path_injection", text), hit) << text;
}

TEST(Detectors, EvalSourceAndDotSourcingNeedAWordStart) {
  struct Case {
    const char* text;
    bool eval;
    bool dot;
  };
  const std::vector<Case> cases = {
      {"eval foo", true, false},
      {"x; eval foo", true, false},
      {"source ~/.bashrc", true, false},
      {"a && source x", true, false},
      {"xeval foo", false, false},
      {"eval", false, false},
      {"echo $(eval x)", false, false},  // no space before the word
      {"a;\teval x", false, false},
      {"echo evaluate", false, false},
      {"resource x", false, false},
      {". /etc/profile", false, true},
      {"a && . /x", false, true},
      {". ./x", false, false},
      {"./x", false, false},
      {"ls -a. /x", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(fires(rules::injection_rules(), "eval_usage", c.text), c.eval) << c.text;
    EXPECT_EQ(fires(rules::injection_rules(), "dot_sourcing", c.text), c.dot) << c.text;
  }
}

// ---------------------------------------------------------------------------
// Zsh table

class ZshRow : public ::testing::TestWithParam<RowCase> {};

TEST_P(ZshRow, MatchesAndNearMissDoesNot) {
  const RowCase& c = GetParam();
  EXPECT_TRUE(fires(rules::zsh_rules(), c.id, c.hit)) << c.hit;
  EXPECT_FALSE(fires(rules::zsh_rules(), c.id, c.miss)) << c.miss;
}

INSTANTIATE_TEST_SUITE_P(
    Detectors, ZshRow,
    ::testing::Values(
        RowCase{"zmodload", "zmodload zsh/net/tcp", "zmod load"},
        RowCase{"zsh_system_module", "zmodload zsh/system", "zmodload zsh/sys"},
        RowCase{"zsh_zpty_module", "zpty -b w cmd", "z pty"},
        RowCase{"zsh_net_tcp", "ztcp host 80", "zsh/net/tc"},
        RowCase{"zsh_net_tcp", "zmodload zsh/net/tcp", "tcp"},
        RowCase{"zsh_net_socket", "zsocket /tmp/s", "socket"},
        RowCase{"zsh_mapfile", "mapfile -t lines", "map file"},
        RowCase{"zsh_files_module", "zf_rm -rf x", "rm -rf x"},
        RowCase{"zsh_files_module", "zf_chgrp g f", "zf_ch"},
        RowCase{"emulate_eval", "emulate sh -c 'cmd'", "emulate sh"},
        RowCase{"emulate_eval", "-c x; emulate", "emulate -C"},
        RowCase{"sysopen", "sysopen -r -u 3 f", "sys open"},
        RowCase{"sysread_syswrite", "syswrite -o 1 x", "sysre"},
        RowCase{"sysread_syswrite", "sysseek 0", "sys seek"},
        RowCase{"glob_qualifier_exec", "print -l *(e:'[[ -d $REPLY ]]':)", "print -l *(.)"},
        RowCase{"glob_qualifier_exec", "ls *(+func)", "ls *(-)"},
        RowCase{"equals_expansion", "echo =ls", "a=b"},
        RowCase{"always_block", "git describe --always", "alway"},
        RowCase{"precommand_noglob", "noglob rm *", "echo noglob"},
        RowCase{"precommand_noglob", "x; noglob rm *", "xnoglob rm"},
        RowCase{"zsh_autoload", "autoload -U compinit", "autoload compinit"},
        RowCase{"zsh_autoload", "-U; autoload", "autoload -u x"}));

TEST(Detectors, ZshTableOrderWeightsAndFactors) {
  using RF = RiskFactor;
  const std::vector<Row> expected = {
      {"zmodload", 55, RF::ZshModuleLoading},
      {"zsh_system_module", 60, RF::ZshModuleLoading},
      {"zsh_zpty_module", 55, RF::ZshModuleLoading},
      {"zsh_net_tcp", 55, RF::ZshModuleLoading},
      {"zsh_net_socket", 55, RF::ZshModuleLoading},
      {"zsh_mapfile", 45, RF::ZshModuleLoading},
      {"zsh_files_module", 45, RF::ZshModuleLoading},
      {"emulate_eval", 50, RF::CommandExecution},
      {"sysopen", 50, RF::ZshModuleLoading},
      {"sysread_syswrite", 50, RF::ZshModuleLoading},
      {"glob_qualifier_exec", 55, RF::ZshGlobExecution},
      {"equals_expansion", 40, RF::ZshGlobExecution},
      {"always_block", 30, RF::ShellInjection},
      {"precommand_noglob", 20, RF::ShellInjection},
      {"zsh_autoload", 25, RF::ZshModuleLoading},
  };
  const auto table = rules::zsh_rules();
  ASSERT_NO_FATAL_FAILURE(expect_rows(table, expected));
  EXPECT_EQ(table[11].description, "Zsh equals expansion (=cmd \xE2\x86\x92 /path/to/cmd)");
  EXPECT_EQ(table[14].description, "Zsh autoload -U (loading functions)");
}

TEST(Detectors, ZshModuleLinesMatchSeveralRows) {
  EXPECT_EQ(matching_ids(rules::zsh_rules(), "zmodload zsh/net/tcp"), (Ids{"zmodload", "zsh_net_tcp"}));
  EXPECT_EQ(matching_ids(rules::zsh_rules(), "zmodload zsh/system"), (Ids{"zmodload", "zsh_system_module"}));
}

TEST(Detectors, EqualsWordRule) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"echo =ls", true},
      {"=python3 x.py", true},
      {"echo\t=ls", true},
      {"echo\xC2\xA0=ls", true},          // NBSP separates words
      {"echo\xE3\x80\x80=ls", true},      // so does U+3000
      {"echo\v=ls", true},
      {"echo =\xC3\xA9t\xC3\xA9", true},  // =été: Unicode letter
      {"echo =\xCE\xA9", true},           // Greek capital omega
      {"echo =\xE4\xB8\xAD", true},       // CJK ideograph is Alphabetic
      {"a=b", false},
      {"x == y", false},
      {"echo =1", false},
      {"echo '=ls'", false},              // quotes are not removed
      {"echo =", false},
      {"echo =_x", false},
      {"echo =\xFF" "ab", false},         // invalid byte after "=" is no letter
      {"echo =\xC3", false},              // truncated letter
      {"echo\xA0=ls", false},             // a lone 0xA0 byte does not split words
      {"echo\xE2\x80\x8B=ls", false},     // nor does a zero width space
      {"echo =\xE2\x80\x83ls", false},    // "=" then em space: a one-byte word
  };
  for (const auto& [text, hit] : cases)
    EXPECT_EQ(fires(rules::zsh_rules(), "equals_expansion", text), hit)
        << ::testing::PrintToString(text);
}

// ---------------------------------------------------------------------------
// Text helpers behind the Unicode rows

TEST(Text, ToLowerIsFullAndKeepsInvalidBytes) {
  EXPECT_EQ(text::to_lower("CURL X | BASH"), "curl x | bash");
  EXPECT_EQ(text::to_lower("\xE2\x84\xAA"), "k");                                 // Kelvin sign
  EXPECT_EQ(text::to_lower("\xC4\xB0"), "i\xCC\x87");                             // U+0130, root locale
  EXPECT_EQ(text::to_lower("\xC3\x80" "B"), "\xC3\xA0" "b");                      // ÀB
  EXPECT_EQ(text::to_lower("\xCE\x91\xCE\xA3"), "\xCE\xB1\xCF\x82");              // final sigma
  EXPECT_EQ(text::to_lower("A\xFF\xC3\x80\x80Z"), "a\xFF\xC3\xA0\x80z");          // invalid bytes stay
  EXPECT_EQ(text::to_lower("\xE3\x80"), "\xE3\x80");                              // truncated sequence
  EXPECT_EQ(text::to_lower(std::string("A\0B", 3)), std::string("a\0b", 3));
  EXPECT_EQ(text::to_lower(std::string("\xC3\x80\0B", 4)), std::string("\xC3\xA0\0b", 4));
  EXPECT_EQ(text::to_lower(""), "");
}

TEST(Text, SplitWordsAtUnicodeWhiteSpaceRuns) {
  using Words = std::vector<std::string_view>;
  EXPECT_EQ(text::split_words("  a \t\xC2\xA0 b\xE3\x80\x80" "c  "), (Words{"a", "b", "c"}));
  EXPECT_EQ(text::split_words("a\xFF b\xE2\x80\x8B" "c"), (Words{"a\xFF", "b\xE2\x80\x8B" "c"}));
  EXPECT_EQ(text::split_words(" \xE2\x80\xA9 "), Words{});
}

// ---------------------------------------------------------------------------
// Through the scorer: highest detector weight, quarter bonus, zsh only for zsh

CommandAnalysis unknown_command(std::string text) {
  CommandAnalysis a;
  a.command = std::move(text);
  a.intent = {Intent::Execute};
  a.targets = {Target{}};
  a.reversibility = Reversibility::HardToReverse;
  return a;
}

std::uint8_t score_of(std::string text, const ClassifyContext* ctx) {
  CommandAnalysis a = unknown_command(std::move(text));
  score_command(a, ctx);
  return a.score;
}

TEST(Detectors, ScorerTakesHighestWeightWithQuarterBonus) {
  // Base without context: execute 50 + hard_to_reverse 5 + no-context 5 = 60.
  EXPECT_EQ(score_of("frob x", nullptr), 60);
  EXPECT_EQ(score_of("frob $(date)", nullptr), 60 + 40 / 4);               // detector 40
  EXPECT_EQ(score_of("frob $(date) | sh", nullptr), 60 + 55 / 4);          // highest weight 55
  EXPECT_EQ(score_of("frob {a,b}", nullptr), 60);                          // weight 20: no bonus
}

TEST(Detectors, ZshRowsScoreOnlyForZsh) {
  ClassifyContext bash;
  ClassifyContext zsh;
  zsh.shell = ShellKind::Zsh;
  // Base with a context and no target path: 50 + 5 + 0 = 55.
  EXPECT_EQ(score_of("zmodload zsh/system", nullptr), 60);
  EXPECT_EQ(score_of("zmodload zsh/system", &bash), 55);
  EXPECT_EQ(score_of("zmodload zsh/system", &zsh), 60 + 55 / 4);
  // Injection rows count under zsh as well; the highest weight of both wins.
  EXPECT_EQ(score_of("noglob x | sh", &zsh), 55 + 55 / 4);
}

}  // namespace
}  // namespace corvane
