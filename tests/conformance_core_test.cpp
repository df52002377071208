// Behaviour of the classification core end to end and piece by piece: the
// driver's verdicts and JSON, the ATT&CK catalogue, the statement walk and
// command extraction on real syntax trees, the segment analyzer, the
// sensitive-path table and the context adjustment as the scorer sees it.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "analyzer.h"
#include "corvane.h"
#include "rules/techniques.h"
#include "parser.h"
#include "rules/paths.h"
#include "scorer.h"
#include "test_support.h"

namespace corvane {
namespace {

using testing_support::run;

// The analysis of segment `index` of a line, as the driver makes it (unscored).
CommandAnalysis analyze(std::string_view line, const ClassifyContext* ctx = nullptr,
                        std::size_t index = 0) {
  ParsedCommand p = parse(line);
  EXPECT_LT(index, p.segments.size()) << line;
  if (index >= p.segments.size()) return {};
  return analyze_segment(p.segments[index], ctx, shell_of(ctx), p.warnings);
}

std::vector<std::string> executables(const ParsedCommand& p) {
  std::vector<std::string> out;
  for (const auto& s : p.segments) out.push_back(s.executable.value_or("<none>"));
  return out;
}

std::vector<WarningKind> warning_kinds(const ParsedCommand& p) {
  std::vector<WarningKind> out;
  for (const auto& w : p.warnings) out.push_back(w.kind);
  return out;
}

// ---------------------------------------------------------------------------
// Driver

TEST(ConformanceCore, ExactJsonOfRootDeletionAndOfTheEmptyLine) {
  EXPECT_EQ(to_json(run("rm -rf /")),
            "{\"command\":\"rm -rf /\",\"score\":100,\"level\":\"critical\",\"quick_decision\":\"blocked\","
            "\"reason\":\"File deletion: targeting filesystem root, recursive deletion\","
            "\"risk_factors\":[\"recursive_delete\"],\"sub_commands\":[{\"command\":\"rm -rf /\","
            "\"executable\":\"rm\",\"intent\":[\"delete\"],\"targets\":[{\"path\":\"/\",\"scope\":\"root\","
            "\"sensitivity\":\"normal\"}],\"flags\":[{\"flag\":\"-rf\",\"modifier\":30,"
            "\"risk_factor\":\"recursive_delete\",\"description\":\"Recursive forced deletion without prompts\"}],"
            "\"score\":100,\"risk_factors\":[\"recursive_delete\"],\"reversibility\":\"irreversible\","
            "\"capabilities\":[]}],\"pipeline_flow\":null,\"mitre_mappings\":[{\"technique_id\":\"T1485\","
            "\"technique_name\":\"MITRE ATT&CK T1485\",\"tactic\":\"Unknown\"}],\"parse_confidence\":\"full\"}");

  EXPECT_EQ(to_json(run("")),
            "{\"command\":\"\",\"score\":60,\"level\":\"danger\",\"quick_decision\":\"risky\","
            "\"reason\":\"Code execution\",\"risk_factors\":[],\"sub_commands\":[{\"command\":\"\","
            "\"executable\":null,\"intent\":[\"execute\"],\"targets\":[{\"path\":null,\"scope\":\"none\","
            "\"sensitivity\":\"normal\"}],\"flags\":[],\"score\":60,\"risk_factors\":[],"
            "\"reversibility\":\"hard_to_reverse\",\"capabilities\":[]}],\"pipeline_flow\":null,"
            "\"mitre_mappings\":[],\"parse_confidence\":\"full\"}");
}

TEST(ConformanceCore, EndToEndScoresAndReasons) {
  ClassifyContext guarded;
  guarded.protected_paths = {"/srv/data"};
  struct Case {
    const char* line;
    const ClassifyContext* ctx;
    int score;
    const char* reason;
  };
  const Case cases[] = {
      // privilege 55 + root 40 + no context 5 + hard to reverse 5, clamped.
      {"sudo rm -rf /", nullptr, 100, "File deletion: targeting filesystem root, recursive deletion, privilege escalation"},
      // read 10 + system 25 + system 20 + 5 - 10.
      {"cat /etc/shadow", nullptr, 50,
       "File read: targeting system path /etc/shadow, accessing system file (/etc/shadow)"},
      {"cat .env", nullptr, 30, "File read: accessing secrets (.env)"},
      {"ls ~", nullptr, 25, "Information command: targeting home directory"},
      // No path: the no-context bonus still applies once.
      {"chmod u+s f", nullptr, 95, "Privilege operation: privilege escalation"},
      {"git push --force", nullptr, 75, "Git mutation: git history destruction"},
      // A weak base does not stack with the detector.
      {"echo $(id)", nullptr, 40, "Information command"},
      {"vim notes.txt", nullptr, 60, "Code execution"},
      // write 30 + protected 25 + protected adjustment 25 - 10.
      {"cp a /srv/data/x", &guarded, 70, "File write: accessing protected path (/srv/data/x)"},
  };
  for (const Case& c : cases) {
    AnalysisResult r = run(c.line, c.ctx);
    EXPECT_EQ(r.score, c.score) << c.line;
    EXPECT_EQ(r.reason, c.reason) << c.line;
  }
}

TEST(ConformanceCore, CommandWithQuotesBackslashAndTabRoundTripsInJson) {
  const std::string line = "echo \"a\\b\"\tc";
  const std::string json = to_json(run(line));
  EXPECT_EQ(json.rfind("{\"command\":\"echo \\\"a\\\\b\\\"\\tc\",", 0), 0u) << json;
}

TEST(ConformanceCore, SegmentReasonsAreJoinedWithABarWhateverTheOperator) {
  for (const char* line : {"ls; pwd", "ls || pwd", "ls & pwd", "ls\npwd"})
    EXPECT_EQ(run(line).reason, "Information command | Information command") << line;
}

TEST(ConformanceCore, ParseConfidence) {
  // A syntax error and one segment with an executable: partial.
  EXPECT_EQ(run("ls (").parse_confidence, ParseConfidence::Partial);
  // A clean line is full whatever its other warnings.
  EXPECT_EQ(run("echo \x01 $'x' \\;").parse_confidence, ParseConfidence::Full);
  // Several segments with an error: partial even if none has an executable.
  AnalysisResult two = run("A=1; B=2 )");
  ASSERT_EQ(two.sub_commands.size(), 2u);
  EXPECT_EQ(two.parse_confidence, ParseConfidence::Partial);
  // One segment without an executable: fallback.
  EXPECT_EQ(run("A=1 )").parse_confidence, ParseConfidence::Fallback);
}

TEST(ConformanceCore, LineScoreIsTheHighestSegmentScore) {
  AnalysisResult r = run("ls; rm -rf /tmp/x; cat /etc/passwd");
  ASSERT_EQ(r.sub_commands.size(), 3u);
  int highest = 0;
  for (const auto& a : r.sub_commands) highest = std::max<int>(highest, a.score);
  ASSERT_TRUE(r.pipeline_flow);
  EXPECT_EQ(r.score, std::max<int>(highest, r.pipeline_flow->composite_score));
  // rm: delete 45 + single file 0 + normal 0 + flag 30 + no context 5 + irreversible 15.
  EXPECT_EQ(r.sub_commands[1].score, 95);
  // cat: read 10 + system 25 + system 20 + no context 5 + reversible -10.
  EXPECT_EQ(r.sub_commands[2].score, 50);
}

TEST(ConformanceCore, MappingsSkipCommandsWithoutTechniqueAndUnknownCommands) {
  AnalysisResult r = run("ls; foo; git push -f; docker run x; ssh h; scp a h:b; crontab -l; rsync a b");
  std::vector<MitreMapping> expected = {
      {"T1610", "Deploy Container", "Execution"},
      {"T1021.004", "Remote Services: SSH", "Lateral Movement"},
      {"T1053.003", "Scheduled Task/Job: Cron", "Execution"},
      {"T1105", "Ingress Tool Transfer", "Command and Control"},
  };
  EXPECT_EQ(r.mitre_mappings, expected);
}

TEST(ConformanceCore, ExecutableWithADirectoryIsMappedByItsBaseName) {
  AnalysisResult r = run("/usr/bin/sudo x; ./bin/sudo y");
  ASSERT_EQ(r.mitre_mappings.size(), 1u);
  EXPECT_EQ(r.mitre_mappings[0], (MitreMapping{"T1548.003", "MITRE ATT&CK T1548.003", "Unknown"}));
}

// ---------------------------------------------------------------------------
// ATT&CK catalogue

TEST(ConformanceCore, EveryCatalogueTechnique) {
  struct Row {
    const char* id;
    const char* name;
    const char* tactic;
  };
  const Row rows[] = {
      {"T1059.004", "Command and Scripting Interpreter: Unix Shell", "Execution"},
      {"T1070.004", "Indicator Removal: File Deletion", "Defense Evasion"},
      {"T1204.002", "User Execution: Malicious File", "Execution"},
      {"T1132.001", "Data Encoding: Standard Encoding", "Defense Evasion"},
      {"T1074.001", "Data Staged: Local Data Staging", "Collection"},
      {"T1027.010", "Obfuscated Files: Command Obfuscation", "Defense Evasion"},
      {"T1548.001", "Abuse Elevation: Setuid and Setgid", "Privilege Escalation"},
      {"T1222.002", "File and Directory Permissions Modification: Linux", "Privilege Escalation"},
      {"T1021.004", "Remote Services: SSH", "Lateral Movement"},
      {"T1053.003", "Scheduled Task/Job: Cron", "Execution"},
      {"T1562.001", "Impair Defenses: Disable or Modify Tools", "Defense Evasion"},
      {"T1105", "Ingress Tool Transfer", "Command and Control"},
      {"T1041", "Exfiltration Over C2 Channel", "Exfiltration"},
      {"T1048", "Exfiltration Over Alternative Protocol", "Exfiltration"},
      {"T1027", "Obfuscated Files or Information", "Defense Evasion"},
      {"T1098", "Account Manipulation", "Persistence"},
      {"T1195", "Supply Chain Compromise", "Supply Chain Compromise"},
      {"T1610", "Deploy Container", "Execution"},
      {"T1543", "Create or Modify System Process", "Persistence"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(get_mitre_name(r.id), r.name) << r.id;
    EXPECT_EQ(get_mitre_tactic(r.id), r.tactic) << r.id;
  }
  // Whole ids only: no trimming, prefixes or sub-techniques.
  for (const char* id : {"T1059", "T1105 ", " T1105", "T1105.001", "T10", "T1222"}) {
    EXPECT_EQ(get_mitre_name(id), std::string("MITRE ATT&CK ") + id) << id;
    EXPECT_EQ(get_mitre_tactic(id), "Unknown") << id;
  }
}

// ---------------------------------------------------------------------------
// Statement walk

struct WalkCase {
  const char* line;
  std::vector<std::string> executables;
  std::vector<Operator> operators;
};

TEST(ConformanceCore, WalkOfCompoundStatements) {
  using enum Operator;
  const WalkCase cases[] = {
      {"while true; do rm x; done", {"<none>"}, {}},
      {"case $x in a) rm y;; esac", {"<none>"}, {}},
      {"{ rm -rf /; }", {"<none>"}, {}},
      {"(a) | b", {"a", "b"}, {Pipe}},
      {"a; (b x; c y)", {"a", "b"}, {Sequence}},
      {"a && [[ -f x ]]; b", {"a", "b"}, {And, Sequence}},
      {"a | b > f", {"<none>"}, {}},
      {"a > f | b", {"a", "b"}, {Pipe}},
      {"a | b <<< x && c", {"a", "b", "c"}, {Pipe, And}},
      {"A=1 B=2", {"<none>", "<none>"}, {}},
      {"# only a comment", {"<none>"}, {}},
      {"a # comment\nb", {"a", "b"}, {Sequence}},
      {"x=$(rm -rf /) y", {"y"}, {}},
  };
  for (const WalkCase& c : cases) {
    ParsedCommand p = parse(c.line);
    EXPECT_EQ(executables(p), c.executables) << c.line;
    EXPECT_EQ(p.operators, c.operators) << c.line;
  }
}

TEST(ConformanceCore, LineWithoutCommandsGetsOneEmptySegment) {
  for (const char* line : {"# only a comment", ")))", "   "}) {
    ParsedCommand p = parse(line);
    ASSERT_EQ(p.segments.size(), 1u) << line;
    EXPECT_EQ(p.segments[0], CommandSegment{}) << line;
    EXPECT_TRUE(p.operators.empty()) << line;
  }
}

TEST(ConformanceCore, SubshellTakesEveryPieceButOnlyTheFirstExecutable) {
  ParsedCommand p = parse("(a x; b y)");
  ASSERT_EQ(p.segments.size(), 1u);
  const CommandSegment& s = p.segments[0];
  EXPECT_TRUE(s.in_subshell);
  EXPECT_EQ(s.executable, "a");
  ASSERT_EQ(s.arguments.size(), 2u);
  EXPECT_EQ(s.arguments[0].text, "x");
  EXPECT_EQ(s.arguments[1].text, "y");
  EXPECT_TRUE(p.operators.empty());

  // A pipeline piece contributes its first command only.
  ParsedCommand piped = parse("(cat f | nc h 80)");
  ASSERT_EQ(piped.segments.size(), 1u);
  EXPECT_EQ(piped.segments[0].executable, "cat");
  ASSERT_EQ(piped.segments[0].arguments.size(), 1u);
  EXPECT_EQ(piped.segments[0].arguments[0].text, "f");

  // A redirected piece brings its redirections.
  ParsedCommand redirected = parse("(echo hi > f)");
  ASSERT_EQ(redirected.segments.size(), 1u);
  EXPECT_EQ(redirected.segments[0].executable, "echo");
  EXPECT_EQ(redirected.segments[0].redirections,
            (std::vector<Redirection>{{"f", std::nullopt, RedirectKind::Output}}));

  // In a list of lists only a direct command child is a candidate: the
  // nested "a && b" list is passed over for "c".
  ParsedCommand nested = parse("(a && b || c)");
  ASSERT_EQ(nested.segments.size(), 1u);
  EXPECT_EQ(nested.segments[0].executable, "c");
}

TEST(ConformanceCore, RedirectedStatementsKeepTheirWholeText) {
  ParsedCommand simple = parse("echo hi > out.txt");
  ASSERT_EQ(simple.segments.size(), 1u);
  EXPECT_EQ(simple.segments[0].text, "echo hi > out.txt");
  EXPECT_EQ(simple.segments[0].executable, "echo");

  // A redirected pipeline is one segment with the pipeline's text and no
  // executable.
  ParsedCommand piped = parse("a | b > f");
  ASSERT_EQ(piped.segments.size(), 1u);
  EXPECT_EQ(piped.segments[0].text, "a | b");
  EXPECT_FALSE(piped.segments[0].executable);
  EXPECT_TRUE(piped.segments[0].arguments.empty());
  EXPECT_EQ(piped.segments[0].redirections,
            (std::vector<Redirection>{{"f", std::nullopt, RedirectKind::Output}}));

  // A redirected subshell keeps only its text and redirections.
  ParsedCommand sub = parse("(rm x) > f");
  ASSERT_EQ(sub.segments.size(), 1u);
  EXPECT_EQ(sub.segments[0].text, "(rm x) > f");
  EXPECT_FALSE(sub.segments[0].executable);
  EXPECT_FALSE(sub.segments[0].in_subshell);
  EXPECT_TRUE(sub.segments[0].arguments.empty());
  EXPECT_EQ(sub.segments[0].redirections.size(), 1u);

  // Assignment prefixes come from the inner command.
  ParsedCommand prefixed = parse("X=1 cmd a > f");
  ASSERT_EQ(prefixed.segments.size(), 1u);
  EXPECT_EQ(prefixed.segments[0].executable, "cmd");
  EXPECT_EQ(prefixed.segments[0].assignments, (std::vector<Assignment>{{"X", "1"}}));
  ASSERT_EQ(prefixed.segments[0].arguments.size(), 1u);
  EXPECT_EQ(prefixed.segments[0].arguments[0].text, "a");
}

TEST(ConformanceCore, RawTextWarnings) {
  using enum WarningKind;
  // Every control byte but tab, line feed and carriage return, in order.
  ParsedCommand ctl = parse("echo \x01 \x08 \x0b \x0c \x0e \x1f \x7f \x01");
  EXPECT_EQ(ctl.warnings, (std::vector<ParseWarning>{{ControlCharacters, "\x01\x08\x0b\x0c\x0e\x1f\x7f\x01"}}));

  ParsedCommand nul = parse(std::string("echo a\0b", 8));
  ASSERT_FALSE(nul.warnings.empty());
  EXPECT_EQ(nul.warnings[0], (ParseWarning{ControlCharacters, std::string(1, '\0')}));

  // White space characters beyond ASCII; zero-width and byte-order marks are
  // not white space.
  ParsedCommand ws = parse("a\u0085b\u1680c\u2000d\u200ae\u2028f\u2029g\u202fh\u205fi\u3000j");
  ASSERT_FALSE(ws.warnings.empty());
  EXPECT_EQ(ws.warnings[0], (ParseWarning{UnicodeWhitespace,
                                          "\u0085\u1680\u2000\u200a\u2028\u2029\u202f\u205f\u3000"}));
  EXPECT_TRUE(parse("a\u200bb\ufeffc\u180ed").warnings.empty());

  EXPECT_EQ(warning_kinds(parse("ls\r\n")), (std::vector<WarningKind>{CarriageReturn}));
  EXPECT_EQ(warning_kinds(parse("echo a \\& b")), (std::vector<WarningKind>{EscapedOperator}));
  EXPECT_EQ(warning_kinds(parse("echo a \\| b")), (std::vector<WarningKind>{EscapedOperator}));
  // A double-quoted locale string is not ANSI-C quoting.
  EXPECT_TRUE(parse("echo $\"hi\"").warnings.empty());
  EXPECT_EQ(warning_kinds(parse("echo $'a' $'b'")), (std::vector<WarningKind>{AnsiCQuoting}));

  ParsedCommand bad = parse("echo \"unterminated");
  ASSERT_FALSE(bad.warnings.empty());
  EXPECT_EQ(bad.warnings.back(), (ParseWarning{ParseError, "parse tree contains error nodes"}));
}

// ---------------------------------------------------------------------------
// Command extraction

TEST(ConformanceCore, RedirectionKindsAndDescriptors) {
  auto redirs = [](std::string_view line) {
    ParsedCommand p = parse(line);
    EXPECT_EQ(p.segments.size(), 1u) << line;
    return p.segments.empty() ? std::vector<Redirection>{} : p.segments[0].redirections;
  };
  using R = std::vector<Redirection>;
  EXPECT_EQ(redirs("cat <&3"), (R{{"3", std::nullopt, RedirectKind::Input, true}}));
  EXPECT_EQ(redirs("cat >| f"), (R{{"f", std::nullopt, RedirectKind::Output}}));
  EXPECT_EQ(redirs("cat 2> err"), (R{{"err", 2u, RedirectKind::Output}}));
  EXPECT_EQ(redirs("cat 3>> log"), (R{{"log", 3u, RedirectKind::Append}}));
  EXPECT_EQ(redirs("cat &> all"), (R{{"all", std::nullopt, RedirectKind::Output}}));
  EXPECT_EQ(redirs("cat 2>&-"), (R{{"", 2u, RedirectKind::Output, true}}));
  EXPECT_EQ(redirs("cat <<EOF\nhello\nEOF"), (R{{"<<EOF\nhello\nEOF", std::nullopt, RedirectKind::Heredoc}}));
}

// ---------------------------------------------------------------------------
// Segment analyzer

TEST(ConformanceCore, AnalyzerCommandIntentFlagsAndCapabilities) {
  using enum BinaryCapability;
  struct Case {
    const char* line;
    Intent intent;
    Reversibility reversibility;
    std::vector<std::string> flags;
    std::vector<BinaryCapability> capabilities;
  };
  const Case cases[] = {
      {"rm -rf /tmp/x", Intent::Delete, Reversibility::Irreversible, {"-rf"}, {}},
      {"/bin/rm -fr x", Intent::Delete, Reversibility::Irreversible, {"-fr"}, {}},
      {"foo --bar", Intent::Execute, Reversibility::HardToReverse, {}, {}},
      {"npx foo", Intent::Execute, Reversibility::HardToReverse, {}, {}},
      {"RM -rf x", Intent::Execute, Reversibility::HardToReverse, {}, {}},
      {"A=1", Intent::Execute, Reversibility::HardToReverse, {}, {}},
      {"vim notes.txt", Intent::Execute, Reversibility::HardToReverse, {}, {Shell, FileRead, FileWrite}},
      {"/usr/bin/vim x", Intent::Execute, Reversibility::HardToReverse, {}, {Shell, FileRead, FileWrite}},
      {"find . -name x", Intent::Search, Reversibility::Reversible, {}, {Command, Shell}},
      {"find . -delete", Intent::Search, Reversibility::Reversible, {"-delete"}, {Command, Shell}},
      // A wrapper is looked through: judged as the command it runs.
      {"sudo rm -rf /", Intent::Delete, Reversibility::Irreversible, {"-rf"}, {}},
      {"echo git push -f", Intent::Info, Reversibility::Reversible, {}, {}},
      {"npm run build", Intent::PackageInstall, Reversibility::HardToReverse, {"run"}, {}},
      {"curl -o out http://x", Intent::Network, Reversibility::HardToReverse, {"-o"}, {Download, Upload, FileRead}},
      {"ld.so --preload x", Intent::Execute, Reversibility::HardToReverse, {}, {LibraryLoad, Command}},
      {"python3.12 x", Intent::Execute, Reversibility::HardToReverse, {}, {}},
      {"if true; then rm -rf /; fi", Intent::Execute, Reversibility::HardToReverse, {}, {}},
  };
  for (const Case& c : cases) {
    const CommandAnalysis a = analyze(c.line);
    EXPECT_EQ(a.intent, std::vector<Intent>{c.intent}) << c.line;
    EXPECT_EQ(a.reversibility, c.reversibility) << c.line;
    std::vector<std::string> flags;
    for (const auto& f : a.flags) flags.push_back(f.flag);
    EXPECT_EQ(flags, c.flags) << c.line;
    EXPECT_EQ(a.capabilities, c.capabilities) << c.line;
    EXPECT_EQ(a.score, 0) << c.line;
    EXPECT_EQ(a.command, parse(c.line).segments[0].text) << c.line;
  }
}

TEST(ConformanceCore, AnalyzerCopiesTheFlagRule) {
  const CommandAnalysis a = analyze("git push --force-with-lease");
  EXPECT_EQ(a.flags, (std::vector<FlagAnalysis>{{"push", 15, RiskFactor::GitHistoryDestruction,
                                                  "Force push with lease, safer but still rewrites history"}}));
  const CommandAnalysis d = analyze("docker run --privileged -v /:/host img");
  EXPECT_EQ(d.flags, (std::vector<FlagAnalysis>{
                         {"run", 35, RiskFactor::PrivilegeEscalation, "Privileged container has full host access"},
                         {"run", 40, RiskFactor::PrivilegeEscalation, "Mounts entire host filesystem into container"}}));
}

TEST(ConformanceCore, AnalyzerTargets) {
  using enum TargetScope;
  constexpr auto Normal = Sensitivity::Normal;
  constexpr auto Secrets = Sensitivity::Secrets;
  constexpr auto Protected = Sensitivity::Protected;
  constexpr auto SystemFile = Sensitivity::System;
  using T = std::vector<Target>;
  const Target none{std::nullopt, None, Normal};
  ClassifyContext guarded;
  guarded.protected_paths = {"/srv/data"};
  struct Case {
    const char* line;
    const ClassifyContext* ctx;
    T targets;
  };
  const Case cases[] = {
      {"foo --bar", nullptr, {none}},
      {"A=1", nullptr, {none}},
      {"cat README.md", nullptr, {none}},
      {"cat secrets.env", nullptr, {none}},
      {"cat ./README.md", nullptr, {{"./README.md", SingleFile, Normal}}},
      {"cat .env", nullptr, {{".env", SingleFile, Secrets}}},
      {"cat ~/.ssh/id_rsa", nullptr, {{"~/.ssh/id_rsa", SingleFile, Secrets}}},
      {"echo hi > out.txt", nullptr, {{"out.txt", SingleFile, Normal}}},
      {"rm -rf /", nullptr, {{"/", Root, Normal}}},
      {"ls *", nullptr, {{"*", SingleFile, Normal}}},
      {"ls *.txt", nullptr, {none}},
      {"cat /etc/passwd", nullptr, {{"/etc/passwd", System, SystemFile}}},
      {"ls ~", nullptr, {{"~", Home, Normal}}},
      // Every operand of a command that acts on files names one, with a
      // "/" or without.
      {"cp a src/b", nullptr, {{"a", SingleFile, Normal}, {"src/b", SingleFile, Normal}}},
      {"cp -t/tmp x", nullptr, {{"x", SingleFile, Normal}}},
      {"cat --file=/etc/passwd", nullptr, {none}},
      // Matching sees the word after quote removal; the path shows as written.
      {"cat \"/etc/passwd\"", nullptr, {{"\"/etc/passwd\"", System, SystemFile}}},
      // Arguments first, then redirections, each in order.
      {"> out cat /etc/hosts ./b", nullptr,
       {{"/etc/hosts", System, SystemFile}, {"./b", SingleFile, Normal}, {"out", SingleFile, Normal}}},
      // Words after a redirection's target belong to it; the last one is the target.
      {"cat > out /etc/hosts ./b", nullptr, {{"./b", SingleFile, Normal}}},
      // Every non-empty redirection target counts, descriptors included.
      {"ls 2>&1", nullptr, {{"1", SingleFile, Normal}}},
      {"ls 2>&-", nullptr, {none}},
      {"cp a /srv/data/x", &guarded, {{"a", SingleFile, Normal}, {"/srv/data/x", SingleFile, Protected}}},
      {"cat /srv/data/.env", &guarded, {{"/srv/data/.env", SingleFile, Protected}}},
      {"cat /srv/data/.env", nullptr, {{"/srv/data/.env", SingleFile, Secrets}}},
      {"sudo rm -rf /", nullptr, {{"/", Root, Normal}}},
  };
  for (const Case& c : cases) EXPECT_EQ(analyze(c.line, c.ctx).targets, c.targets) << c.line;
}

TEST(ConformanceCore, AnalyzerHomeScopeFollowsTheContext) {
  ClassifyContext ctx;
  ctx.home_dir = "/Users/me";
  EXPECT_EQ(analyze("ls /Users/me/", &ctx).targets,
            (std::vector<Target>{{"/Users/me/", TargetScope::Home, Sensitivity::Normal}}));
  EXPECT_EQ(analyze("ls /Users/me/", nullptr).targets,
            (std::vector<Target>{{"/Users/me/", TargetScope::SingleFile, Sensitivity::Normal}}));
}

TEST(ConformanceCore, AnalyzerRiskFactorOrder) {
  using enum RiskFactor;
  using F = std::vector<RiskFactor>;
  // Flags first with repeats, then detectors in table order without repeats.
  EXPECT_EQ(analyze("rm -rf --no-preserve-root / ${y} $(x)").risk_factors,
            (F{RecursiveDelete, RecursiveDelete, CommandSubstitution, ShellInjection}));
  // A detector does not repeat a factor that a flag already raised.
  EXPECT_EQ(analyze("curl -d x http://h/dev/tcp/ ").risk_factors, (F{NetworkExfiltration}));
  // Two detectors of the same factor add it once.
  EXPECT_EQ(analyze("echo $'\\x41'").risk_factors, (F{ObfuscatedCommand}));
}

TEST(ConformanceCore, LineWarningsReachEverySegment) {
  using enum RiskFactor;
  using F = std::vector<RiskFactor>;
  // A control character elsewhere in the line marks the clean segment too.
  ParsedCommand p = parse("ls; echo a\x01" "b");
  ASSERT_EQ(p.segments.size(), 2u);
  EXPECT_EQ(p.segments[0].text, "ls");
  EXPECT_EQ(analyze_segment(p.segments[0], nullptr, ShellKind::Bash, p.warnings).risk_factors, (F{ShellInjection}));

  ParsedCommand ws = parse("ls; echo a\u00a0b");
  ASSERT_EQ(ws.segments.size(), 2u);
  EXPECT_EQ(analyze_segment(ws.segments[0], nullptr, ShellKind::Bash, ws.warnings).risk_factors, (F{ShellInjection}));

  ParsedCommand ansi = parse("ls; echo $'a'");
  ASSERT_EQ(ansi.segments.size(), 2u);
  EXPECT_EQ(analyze_segment(ansi.segments[0], nullptr, ShellKind::Bash, ansi.warnings).risk_factors,
            (F{ObfuscatedCommand}));

  // Escaped operators, carriage returns and parse errors add nothing of
  // their own to a clean segment.
  for (const char* line : {"ls; echo \\;", "ls; echo a\rb", "ls; echo )"}) {
    ParsedCommand q = parse(line);
    ASSERT_GE(q.segments.size(), 1u) << line;
    ASSERT_EQ(q.segments[0].text, "ls") << line;
    EXPECT_TRUE(analyze_segment(q.segments[0], nullptr, ShellKind::Bash, q.warnings).risk_factors.empty()) << line;
  }
}

TEST(ConformanceCore, ZshDetectorsOnlyForZsh) {
  ClassifyContext zsh;
  zsh.shell = ShellKind::Zsh;
  ClassifyContext bash;
  EXPECT_TRUE(analyze("zmodload zsh/system").risk_factors.empty());
  EXPECT_TRUE(analyze("zmodload zsh/system", &bash).risk_factors.empty());
  EXPECT_EQ(analyze("zmodload zsh/system", &zsh).risk_factors,
            std::vector<RiskFactor>{RiskFactor::ZshModuleLoading});
  // Injection factors come before zsh factors.
  EXPECT_EQ(analyze("zmodload $(x)", &zsh).risk_factors,
            (std::vector<RiskFactor>{RiskFactor::CommandSubstitution, RiskFactor::ZshModuleLoading}));
}

// ---------------------------------------------------------------------------
// Scores under a context

TEST(ConformanceCore, ContextAdjustsSegmentScores) {
  ClassifyContext app;
  app.project_root = "/work/app";
  app.cwd = "/work/app";
  struct Case {
    const char* line;
    int score;
  };
  const Case cases[] = {
      // delete 45 + irreversible 15 - 10 inside the project - 15 build output.
      {"rm build/out.o", 35},
      {"rm src/main.c", 50},
      // write 30 + reversible -10 + 20 outside the project.
      {"cp a /tmp/x", 40},
      // read 10 + reversible -10, inside the project.
      {"cat src/main.c", 0},
      // The highest adjustment among the targets counts.
      {"rm build/x /tmp/y", 80},
      // A bare operand of rm is a file inside the project.
      {"rm x", 50},
      // Targets without a path: no adjustment with a context.
      {"rm $x", 60},
  };
  for (const Case& c : cases) {
    AnalysisResult r = run(c.line, &app);
    ASSERT_EQ(r.sub_commands.size(), 1u) << c.line;
    EXPECT_EQ(r.sub_commands[0].score, c.score) << c.line;
  }
}

// ---------------------------------------------------------------------------
// Sensitive path table

TEST(ConformanceCore, EverySensitivePathRowReportsItsDescription) {
  using enum Sensitivity;
  struct Case {
    const char* path;
    Sensitivity sensitivity;
    const char* description;
  };
  const Case cases[] = {
      {".env", Secrets, "Environment secrets"},
      {".env.local", Secrets, "Environment secrets variant"},
      {"~/.ssh", Secrets, "SSH directory"},
      {".ssh/known_hosts", Secrets, "SSH keys and config"},
      {"/home/u/.aws/credentials", Secrets, "AWS credentials"},
      {"/home/u/.aws/config", Config, "AWS config"},
      {".gnupg/pubring.kbx", Secrets, "GPG keys"},
      {"credentials.json", Secrets, "Service credentials"},
      {"a.pem", Secrets, "TLS/SSH private key"},
      {"a.key", Secrets, "Private key file"},
      {"a.p12", Secrets, "PKCS12 certificate store"},
      {"a.pfx", Secrets, "PKCS12 certificate"},
      {"~/.netrc", Secrets, "FTP/HTTP credentials"},
      {"~/.npmrc", Secrets, "npm auth tokens"},
      {"~/.pypirc", Secrets, "PyPI credentials"},
      {"~/.docker/config.json", Secrets, "Docker registry credentials"},
      {"~/.kube/config", Secrets, "Kubernetes credentials"},
      {".gcloud/x", Secrets, "GCloud credentials"},
      {"id_rsa", Secrets, "RSA private key"},
      {"keys/id_ed25519", Secrets, "Ed25519 private key"},
      {"id_ecdsa", Secrets, "ECDSA private key"},
      {"a.secret", Secrets, "Secret file"},
      {"a.secrets", Secrets, "Secrets file"},
      {"/srv/.htpasswd", Secrets, "HTTP Basic auth passwords"},
      {"token.json", Secrets, "OAuth token"},
      {"/etc/passwd", System, "User accounts"},
      {"/etc/shadow", System, "Password hashes"},
      {"/etc/sudoers", System, "Sudo configuration"},
      {"/etc/hosts", System, "Host resolution"},
      {"/etc/resolv.conf", System, "DNS configuration"},
      {"/etc/crontab", System, "System cron jobs"},
      {"/etc/ssh/sshd_config", System, "SSH server config"},
      {"/proc/self/environ", System, "Process environment"},
      {"~/.gitconfig", Config, "Git config"},
      {"repo/.git/config", Config, "Repo git config"},
      {"~/.bashrc", Config, "Bash startup"},
      {"~/.bash_profile", Config, "Bash login"},
      {"~/.zshrc", Config, "Zsh startup"},
      {"~/.zprofile", Config, "Zsh login"},
      {"~/.profile", Config, "Shell profile"},
      {"~/.vimrc", Config, "Vim config"},
      {".claude/settings.json", Config, "Claude Code config"},
      {".cursor/x", Config, "Cursor config"},
      {".vscode/settings.json", Config, "VS Code config"},
      {".config/x", Config, "XDG config"},
      {"Makefile", Config, "Build configuration"},
      {"docker/Dockerfile", Config, "Container build"},
      {"docker-compose.yml", Config, "Container orchestration"},
      {".terraform/x", Secrets, "Terraform state (may contain secrets)"},
      {"infra/terraform.tfstate", Secrets, "Terraform state file"},
      // Patterns with a "/" but no leading "/" are suffixes or start at the
      // path's beginning; absolute patterns never match relative spellings.
      {"/x/.kube/config", Secrets, "Kubernetes credentials"},
  };
  for (const Case& c : cases) {
    const auto m = rules::match_sensitivity(c.path);
    ASSERT_TRUE(m.has_value()) << c.path;
    EXPECT_EQ(m->sensitivity, c.sensitivity) << c.path;
    EXPECT_EQ(m->description, c.description) << c.path;
  }
  for (const char* path : {"~/.config/x", "~/.vscode/settings.json", "etc/shadow", "./etc/hosts",
                           "a.pem.orig", "id_rsa2", "DOCKERFILE", "x.env", "/proc/self/environment"})
    EXPECT_FALSE(rules::match_sensitivity(path).has_value()) << path;
}

}  // namespace
}  // namespace corvane
