#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "pipeline.h"
#include "rules/escalations.h"

namespace corvane {
namespace {

using rules::TaintSinkKind;
using rules::TaintSourceKind;

// ---------------------------------------------------------------------------
// Escalation table

TEST(EscalationTable, ChoiceForEverySourceSinkAndEncoding) {
  using enum TaintSourceKind;
  using enum TaintSinkKind;
  struct Case {
    TaintSourceKind source;
    TaintSinkKind sink;
    bool encoded;
    std::string_view rule;
    int bonus;
  };
  const Case cases[] = {
      {SensitiveFile, NetworkSend, false, "sensitive_file_to_network", 30},
      {SensitiveFile, NetworkSend, true, "sensitive_file_encoded_to_network", 40},
      {SensitiveFile, Execution, false, "sensitive_file_to_execution", 35},
      {SensitiveFile, Execution, true, "sensitive_file_to_execution", 35},
      {SensitiveFile, FileWrite, false, "sensitive_file_to_file_write", 20},
      {SensitiveFile, FileWrite, true, "sensitive_file_encoded_to_file_write", 25},
      {EnvironmentVar, NetworkSend, false, "env_var_to_network", 30},
      {EnvironmentVar, NetworkSend, true, "env_var_encoded_to_network", 35},
      {EnvironmentVar, Execution, false, "any_to_execution", 35},
      {EnvironmentVar, Execution, true, "any_to_execution", 35},
      {EnvironmentVar, FileWrite, false, "any_read_to_file_write", 10},
      {EnvironmentVar, FileWrite, true, "any_read_to_file_write", 10},
      {AnyRead, NetworkSend, false, "any_read_to_network", 20},
      {AnyRead, NetworkSend, true, "any_read_encoded_to_network", 30},
      {AnyRead, Execution, false, "any_to_execution", 35},
      {AnyRead, Execution, true, "any_to_execution", 35},
      {AnyRead, FileWrite, false, "any_read_to_file_write", 10},
      {AnyRead, FileWrite, true, "any_read_to_file_write", 10},
      {NetworkDownload, NetworkSend, false, "any_read_to_network", 20},
      {NetworkDownload, NetworkSend, true, "any_read_encoded_to_network", 30},
      {NetworkDownload, Execution, false, "network_download_to_execution", 35},
      {NetworkDownload, Execution, true, "network_download_encoded_to_execution", 40},
      {NetworkDownload, FileWrite, false, "network_download_to_file_write", 15},
      {NetworkDownload, FileWrite, true, "network_download_to_file_write", 15},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.rule << " encoded=" << c.encoded);
    const rules::EscalationRule* rule = rules::find_taint_escalation(c.source, c.sink, c.encoded);
    ASSERT_NE(rule, nullptr);
    EXPECT_EQ(rule->name, c.rule);
    EXPECT_EQ(rule->bonus, c.bonus);
  }
}

TEST(EscalationTable, FifteenRowsInOrderWithTheirDescriptions) {
  const auto table = rules::escalation_rules();
  ASSERT_EQ(table.size(), 15u);
  EXPECT_EQ(table.front().name, "sensitive_file_to_network");
  EXPECT_EQ(table.back().name, "sensitive_file_to_execution");
  EXPECT_EQ(table[2].description, "Remote content piped to execution (curl|bash pattern)");
  EXPECT_EQ(table[8].description, "Environment variable content executed");
  const auto max_bonus = std::max_element(table.begin(), table.end(), [](auto& a, auto& b) {
                           return a.bonus < b.bonus;
                         })->bonus;
  EXPECT_EQ(max_bonus, 40);
}

// ---------------------------------------------------------------------------
// Fixtures: analyses as the segment analyzer would build them.

CommandAnalysis seg(std::string command, std::optional<std::string> exe, std::vector<Intent> intent,
                    std::uint8_t score = 0) {
  CommandAnalysis a;
  a.command = std::move(command);
  a.executable = std::move(exe);
  a.intent = std::move(intent);
  a.targets = {{std::nullopt, TargetScope::None, Sensitivity::Normal}};
  a.score = score;
  return a;
}

CommandAnalysis with_target(CommandAnalysis a, std::optional<std::string> path,
                            Sensitivity s = Sensitivity::Normal) {
  a.targets = {{std::move(path), TargetScope::SingleFile, s}};
  return a;
}

CommandAnalysis secret_read() {
  return with_target(seg("cat ~/.ssh/id_rsa", "cat", {Intent::Read}, 35), "~/.ssh/id_rsa",
                     Sensitivity::Secrets);
}
CommandAnalysis env_dump() { return seg("env", "env", {Intent::EnvModify}, 40); }
CommandAnalysis download() { return seg("curl -s h", "curl", {Intent::Network}, 40); }
CommandAnalysis listing() { return seg("ls", "ls", {Intent::Info}); }
CommandAnalysis shell() { return seg("bash", "bash", {Intent::Execute}, 50); }
CommandAnalysis netcat() { return seg("nc h 80", "nc", {Intent::Network}, 40); }
CommandAnalysis tee(std::string path) {
  return with_target(seg("tee " + path, "tee", {Intent::Write}, 30), path);
}
CommandAnalysis encoder(std::string exe = "base64") {
  std::string cmd = exe;
  return seg(cmd, std::move(exe), {Intent::Read}, 10);
}
// Neither a source nor a sink: data only passes through.
CommandAnalysis neutral() { return seg("sort", "sort", {}); }
// curl sending data out: a network sink through its flag, and no download.
CommandAnalysis upload() {
  CommandAnalysis a = seg("curl -T - h", "curl", {Intent::Network}, 45);
  a.flags = {{"-T", 15, RiskFactor::NetworkExfiltration, "upload"}};
  a.risk_factors = {RiskFactor::NetworkExfiltration};
  return a;
}

PipelineFlow run(const std::vector<CommandAnalysis>& segs, std::vector<Operator> ops) {
  auto flow = analyze_pipeline(segs, ops);
  EXPECT_TRUE(flow.has_value());
  return flow.value_or(PipelineFlow{});
}

PipelineFlow run_piped(const std::vector<CommandAnalysis>& segs) {
  return run(segs, std::vector<Operator>(segs.size() - 1, Operator::Pipe));
}

const TaintProp kPassthrough{TaintPropType::Passthrough, ""};
const TaintProp kEncoded{TaintPropType::Encoding, "base64"};

// ---------------------------------------------------------------------------
// Source and sink kinds, with and without something in between

TEST(Pipeline, EverySourceKindIntoEverySinkKind) {
  struct Case {
    CommandAnalysis source;
    TaintSource expected_source;
    CommandAnalysis sink;
    TaintSink expected_sink;
    int bonus;
    std::string_view reason;
    int encoded_bonus;
    std::string_view encoded_reason;
  };
  const TaintSource secret{TaintSourceType::SensitiveFile, "~/.ssh/id_rsa"};
  const TaintSource env{TaintSourceType::EnvironmentVar, ""};
  const TaintSource output{TaintSourceType::CommandOutput, ""};
  const TaintSource in{TaintSourceType::Stdin, ""};
  const TaintSink send{TaintSinkType::NetworkSend, ""};
  const TaintSink exec{TaintSinkType::Execution, ""};
  const TaintSink write{TaintSinkType::FileWrite, "out.txt"};
  const Case cases[] = {
      {secret_read(), secret, netcat(), send, 30, "Sensitive file content sent to network", 40,
       "Sensitive data encoded then exfiltrated"},
      {secret_read(), secret, shell(), exec, 35, "Sensitive file content executed as commands", 35,
       "Sensitive file content executed as commands"},
      {secret_read(), secret, tee("out.txt"), write, 20, "Sensitive data copied to new location", 25,
       "Sensitive data encoded and written to file"},
      {env_dump(), env, netcat(), send, 30, "Environment variables exfiltrated to network", 35,
       "Environment variables encoded then exfiltrated"},
      {env_dump(), env, shell(), exec, 35, "Data piped to shell execution", 35,
       "Data piped to shell execution"},
      {env_dump(), env, tee("out.txt"), write, 10, "Data read and written to new location", 10,
       "Data read and written to new location"},
      {listing(), in, netcat(), send, 20, "Local data sent to network", 30,
       "Data encoded then exfiltrated"},
      {listing(), in, shell(), exec, 35, "Data piped to shell execution", 35,
       "Data piped to shell execution"},
      {listing(), in, tee("out.txt"), write, 10, "Data read and written to new location", 10,
       "Data read and written to new location"},
      {download(), output, netcat(), send, 20, "Local data sent to network", 30,
       "Data encoded then exfiltrated"},
      {download(), output, shell(), exec, 35,
       "Remote content piped to execution (curl|bash pattern)", 40,
       "Remote content decoded then executed"},
      {download(), output, tee("out.txt"), write, 15, "Remote content written to file", 15,
       "Remote content written to file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.source.command << " -> " << c.sink.command);
    const int highest = std::max(c.source.score, c.sink.score);
    {
      const PipelineFlow p = run_piped({c.source, c.sink});
      ASSERT_EQ(p.taint_flows.size(), 1u);
      const TaintFlow& f = p.taint_flows[0];
      EXPECT_EQ(f.source, c.expected_source);
      EXPECT_TRUE(f.propagators.empty());
      EXPECT_EQ(f.sink, c.expected_sink);
      EXPECT_EQ(f.escalation, c.bonus);
      EXPECT_EQ(f.escalation_reason, c.reason);
      EXPECT_EQ(p.composite_score, std::min(100, highest + c.bonus));
    }
    {
      const PipelineFlow p = run_piped({c.source, neutral(), c.sink});
      ASSERT_EQ(p.taint_flows.size(), 1u);
      EXPECT_EQ(p.taint_flows[0].propagators, std::vector<TaintProp>{kPassthrough});
      EXPECT_EQ(p.taint_flows[0].escalation, c.bonus);
      EXPECT_EQ(p.taint_flows[0].escalation_reason, c.reason);
    }
    {
      // The encoder is a read source of its own; the pair (source, sink) comes first.
      const PipelineFlow p = run_piped({c.source, encoder(), c.sink});
      ASSERT_EQ(p.taint_flows.size(), 2u);
      const TaintFlow& f = p.taint_flows[0];
      EXPECT_EQ(f.source, c.expected_source);
      EXPECT_EQ(f.propagators, std::vector<TaintProp>{kEncoded});
      EXPECT_EQ(f.sink, c.expected_sink);
      EXPECT_EQ(f.escalation, c.encoded_bonus);
      EXPECT_EQ(f.escalation_reason, c.encoded_reason);
      EXPECT_EQ(p.taint_flows[1].source.type, TaintSourceType::Stdin);
      EXPECT_TRUE(p.taint_flows[1].propagators.empty());
    }
  }
}

TEST(Pipeline, FewerThanTwoSegmentsGiveNoFlow) {
  EXPECT_FALSE(analyze_pipeline(std::vector<CommandAnalysis>{}, {}).has_value());
  EXPECT_FALSE(analyze_pipeline(std::vector<CommandAnalysis>{listing()}, {}).has_value());
}

TEST(Pipeline, FlowTypeFromOperators) {
  using enum Operator;
  struct Case {
    std::vector<Operator> ops;
    FlowType expected;
  };
  const Case cases[] = {
      {{}, FlowType::Pipe},
      {{Pipe, Pipe}, FlowType::Pipe},
      {{And}, FlowType::And},
      {{Or}, FlowType::Or},
      {{Sequence}, FlowType::Sequence},
      {{Background}, FlowType::Sequence},
      {{Background, Background}, FlowType::Sequence},
      {{Pipe, Background}, FlowType::Pipe},
      {{Or, Background, Or}, FlowType::Or},
      {{Pipe, And}, FlowType::Mixed},
      {{And, Or}, FlowType::Mixed},
      {{Sequence, Background, Pipe}, FlowType::Mixed},
  };
  for (const Case& c : cases) {
    const std::vector<CommandAnalysis> segs(std::max<std::size_t>(2, c.ops.size() + 1), listing());
    EXPECT_EQ(run(segs, c.ops).flow_type, c.expected) << ::testing::PrintToString(c.ops);
  }
}

TEST(Pipeline, OnlyTheOperatorDirectlyBeforeTheSinkCounts) {
  {
    // a && b | c: (a, c) is examined although a and b are joined by "&&".
    const PipelineFlow p = run({env_dump(), listing(), shell()}, {Operator::And, Operator::Pipe});
    EXPECT_EQ(p.flow_type, FlowType::Mixed);
    ASSERT_EQ(p.taint_flows.size(), 2u);
    EXPECT_EQ(p.taint_flows[0].source.type, TaintSourceType::EnvironmentVar);
    EXPECT_EQ(p.taint_flows[0].propagators, std::vector<TaintProp>{kPassthrough});
    EXPECT_EQ(p.taint_flows[1].source.type, TaintSourceType::Stdin);
  }
  {
    // a | b && c: c never receives anything.
    const PipelineFlow p = run({env_dump(), netcat(), shell()}, {Operator::Pipe, Operator::And});
    ASSERT_EQ(p.taint_flows.size(), 1u);
    EXPECT_EQ(p.taint_flows[0].sink.type, TaintSinkType::NetworkSend);
    EXPECT_EQ(p.composite_score, 50 + 30);
  }
  {
    // cat a && rm b: no flow at all; the composite is the highest segment score.
    const PipelineFlow p = run({secret_read(), seg("rm b", "rm", {Intent::Delete}, 55)},
                               {Operator::And});
    EXPECT_EQ(p.flow_type, FlowType::And);
    EXPECT_TRUE(p.taint_flows.empty());
    EXPECT_EQ(p.composite_score, 55);
  }
}

TEST(Pipeline, MissingOperatorsCountAsPipes) {
  {
    const PipelineFlow p = run({listing(), shell()}, {});
    EXPECT_EQ(p.flow_type, FlowType::Pipe);
    ASSERT_EQ(p.taint_flows.size(), 1u);
  }
  {
    // Operator list shorter than the line: the third segment counts as piped.
    const PipelineFlow p = run({listing(), shell(), tee("o")}, {Operator::Sequence});
    ASSERT_EQ(p.taint_flows.size(), 1u);
    EXPECT_EQ(p.taint_flows[0].sink.type, TaintSinkType::FileWrite);
    EXPECT_EQ(p.taint_flows[0].propagators, std::vector<TaintProp>{kPassthrough});
  }
}

TEST(Pipeline, EncodersAreRecognisedByBaseNameOnlyBetweenSourceAndSink) {
  // Any encoder reports the method "base64", also through a directory part.
  EXPECT_EQ(run_piped({secret_read(), encoder("/usr/bin/gzip"), netcat()}).taint_flows[0].propagators,
            std::vector<TaintProp>{kEncoded});
  EXPECT_EQ(run_piped({secret_read(), encoder("xz"), netcat()}).taint_flows[0].escalation, 40);
  // Not an encoder: a name that merely starts like one.
  EXPECT_EQ(run_piped({secret_read(), encoder("gzipper"), netcat()}).taint_flows[0].propagators,
            std::vector<TaintProp>{kPassthrough});
  // An encoder before the source or after the sink does not encode the pair.
  const PipelineFlow p = run_piped({encoder(), secret_read(), netcat(), encoder()});
  ASSERT_EQ(p.taint_flows.size(), 2u);
  EXPECT_EQ(p.taint_flows[1].source.type, TaintSourceType::SensitiveFile);
  EXPECT_TRUE(p.taint_flows[1].propagators.empty());
  EXPECT_EQ(p.taint_flows[1].escalation, 30);
}

TEST(Pipeline, SourceClassificationOrder) {
  auto source_of = [](CommandAnalysis a) -> std::optional<TaintSourceType> {
    const PipelineFlow p = run_piped({std::move(a), shell()});
    if (p.taint_flows.empty()) return std::nullopt;
    return p.taint_flows[0].source.type;
  };
  using enum TaintSourceType;
  // A sensitive read wins over a "$" in the text.
  EXPECT_EQ(source_of(with_target(seg("cat $HOME/.aws/credentials", "cat", {Intent::Read}),
                                  "$HOME/.aws/credentials", Sensitivity::Secrets)),
            SensitiveFile);
  EXPECT_EQ(source_of(with_target(seg("cat /etc/shadow", "cat", {Intent::Read}), "/etc/shadow",
                                  Sensitivity::System)),
            SensitiveFile);
  EXPECT_EQ(source_of(with_target(seg("cat p", "cat", {Intent::Read}), "p", Sensitivity::Protected)),
            SensitiveFile);
  // Config files are not sensitive sources, only reads.
  EXPECT_EQ(source_of(with_target(seg("cat ~/.bashrc", "cat", {Intent::Read}), "~/.bashrc",
                                  Sensitivity::Config)),
            Stdin);
  // A sensitive target without a read goes on to the next rules.
  EXPECT_EQ(source_of(with_target(seg("cp ~/.ssh/id_rsa x", "cp", {Intent::Write}),
                                  "~/.ssh/id_rsa", Sensitivity::Secrets)),
            std::nullopt);
  EXPECT_EQ(source_of(with_target(seg("grep k ~/.ssh/id_rsa", "grep", {Intent::Search}),
                                  "~/.ssh/id_rsa", Sensitivity::Secrets)),
            Stdin);
  EXPECT_EQ(source_of(seg("echo $HOME", "echo", {})), EnvironmentVar);
  EXPECT_EQ(source_of(seg("printenv", "printenv", {Intent::Info})), EnvironmentVar);
  EXPECT_EQ(source_of(seg("env", "env", {Intent::EnvModify})), EnvironmentVar);
  EXPECT_EQ(source_of(seg("wget -O- h", "/usr/bin/wget", {Intent::Network})), CommandOutput);
  EXPECT_EQ(source_of(seg("fetch h", "fetch", {Intent::Network})), CommandOutput);
  // Not a downloader by name, or a downloader that is sending data out.
  EXPECT_EQ(source_of(seg("curlx h", "curlx", {Intent::Network})), std::nullopt);
  EXPECT_EQ(source_of(upload()), std::nullopt);
  EXPECT_EQ(source_of(seg("curl h", std::nullopt, {Intent::Network})), std::nullopt);
  EXPECT_EQ(source_of(seg("grep x", "grep", {Intent::Search})), Stdin);
  EXPECT_EQ(source_of(seg("rm x", "rm", {Intent::Delete})), std::nullopt);
}

TEST(Pipeline, SinkClassificationOrder) {
  auto sink_of = [](CommandAnalysis a) -> std::optional<TaintSinkType> {
    const PipelineFlow p = run_piped({listing(), std::move(a)});
    if (p.taint_flows.empty()) return std::nullopt;
    return p.taint_flows[0].sink.type;
  };
  using enum TaintSinkType;
  EXPECT_EQ(sink_of(seg("bash", "bash", {Intent::Execute, Intent::Network})), Execution);
  EXPECT_EQ(sink_of(upload()), NetworkSend);
  for (const char* exe : {"nc", "ncat", "socat", "/bin/telnet"})
    EXPECT_EQ(sink_of(seg("x", exe, {Intent::Network})), NetworkSend) << exe;
  // A network segment that is neither: a write if it also writes, else nothing.
  EXPECT_EQ(sink_of(seg("curl -o f h", "curl", {Intent::Network, Intent::Write})), FileWrite);
  EXPECT_EQ(sink_of(seg("curl h", "curl", {Intent::Network})), std::nullopt);
  EXPECT_EQ(sink_of(seg("nc", std::nullopt, {Intent::Network})), std::nullopt);
  EXPECT_EQ(sink_of(seg("wc -l", "wc", {Intent::Info})), std::nullopt);
}

TEST(Pipeline, PathsComeFromTheFirstTargetThatHasOne) {
  CommandAnalysis source = secret_read();
  source.targets = {{std::nullopt, TargetScope::None, Sensitivity::Normal},
                    {"notes.txt", TargetScope::SingleFile, Sensitivity::Normal},
                    {"~/.ssh/id_rsa", TargetScope::SingleFile, Sensitivity::Secrets}};
  CommandAnalysis sink = tee("a");
  sink.targets = {{std::nullopt, TargetScope::None, Sensitivity::Normal},
                  {"b", TargetScope::SingleFile, Sensitivity::Normal},
                  {"c", TargetScope::SingleFile, Sensitivity::Normal}};
  PipelineFlow p = run_piped({source, sink});
  ASSERT_EQ(p.taint_flows.size(), 1u);
  EXPECT_EQ(p.taint_flows[0].source, (TaintSource{TaintSourceType::SensitiveFile, "notes.txt"}));
  EXPECT_EQ(p.taint_flows[0].sink, (TaintSink{TaintSinkType::FileWrite, "b"}));

  source.targets = {{std::nullopt, TargetScope::None, Sensitivity::Secrets}};
  sink.targets = {{std::nullopt, TargetScope::None, Sensitivity::Normal}};
  p = run_piped({source, sink});
  ASSERT_EQ(p.taint_flows.size(), 1u);
  EXPECT_EQ(p.taint_flows[0].source, (TaintSource{TaintSourceType::SensitiveFile, ""}));
  EXPECT_EQ(p.taint_flows[0].sink, (TaintSink{TaintSinkType::FileWrite, ""}));
}

TEST(Pipeline, CompositeScore) {
  // Highest segment score plus the highest escalation of all flows.
  EXPECT_EQ(run_piped({seg("ls", "ls", {Intent::Info}, 30), tee("o"), shell()}).composite_score,
            50 + 35);
  // Capped at 100.
  EXPECT_EQ(run_piped({seg("ls", "ls", {Intent::Info}, 90), shell()}).composite_score, 100);
  // Without flows: the highest segment score.
  EXPECT_EQ(run_piped({listing(), seg("wc -l", "wc", {Intent::Info}, 12)}).composite_score, 12);
  EXPECT_EQ(run({seg("a", "a", {}, 100), seg("b", "b", {}, 7)}, {Operator::And}).composite_score,
            100);
}

// ---------------------------------------------------------------------------
// Whole lines

TEST(Pipeline, CurlPipedToBash) {
  const PipelineFlow p = run_piped({download(), shell()});
  EXPECT_EQ(p.flow_type, FlowType::Pipe);
  ASSERT_EQ(p.taint_flows.size(), 1u);
  EXPECT_EQ(p.taint_flows[0],
            (TaintFlow{{TaintSourceType::CommandOutput, ""}, {}, {TaintSinkType::Execution, ""}, 35,
                       "Remote content piped to execution (curl|bash pattern)"}));
  EXPECT_EQ(p.composite_score, 85);
}

TEST(Pipeline, EnvironmentToNetcat) {
  const PipelineFlow p = run_piped({env_dump(), netcat()});
  ASSERT_EQ(p.taint_flows.size(), 1u);
  EXPECT_EQ(p.taint_flows[0],
            (TaintFlow{{TaintSourceType::EnvironmentVar, ""}, {}, {TaintSinkType::NetworkSend, ""},
                       30, "Environment variables exfiltrated to network"}));
  EXPECT_EQ(p.composite_score, 70);
}

TEST(Pipeline, SecretEncodedThenUploaded) {
  const PipelineFlow p = run_piped({secret_read(), encoder(), upload()});
  ASSERT_EQ(p.taint_flows.size(), 2u);
  EXPECT_EQ(p.taint_flows[0],
            (TaintFlow{{TaintSourceType::SensitiveFile, "~/.ssh/id_rsa"}, {kEncoded},
                       {TaintSinkType::NetworkSend, ""}, 40,
                       "Sensitive data encoded then exfiltrated"}));
  EXPECT_EQ(p.taint_flows[1],
            (TaintFlow{{TaintSourceType::Stdin, ""}, {}, {TaintSinkType::NetworkSend, ""}, 20,
                       "Local data sent to network"}));
  EXPECT_EQ(p.composite_score, 45 + 40);
}

// ---------------------------------------------------------------------------
// Flow cap

TEST(Pipeline, RecordsTheFirstThousandFlowsButScoresThemAll) {
  // ls, then 1100 file writes, then an encoded download into a shell: the
  // first 1000 flows are ls into the writes; the 40-point download pair comes
  // far beyond the cap but must still count.
  std::vector<CommandAnalysis> segs{listing()};
  for (int k = 0; k < 1100; ++k) segs.push_back(tee("out" + std::to_string(k)));
  segs.push_back(download());
  segs.push_back(encoder());
  segs.push_back(shell());
  const PipelineFlow p = run_piped(segs);
  ASSERT_EQ(p.taint_flows.size(), kMaxTaintFlows);
  EXPECT_TRUE(p.taint_flows[0].propagators.empty());
  for (std::size_t k = 0; k < kMaxTaintFlows; ++k) {
    const TaintFlow& f = p.taint_flows[k];
    ASSERT_EQ(f.source.type, TaintSourceType::Stdin) << k;
    ASSERT_EQ(f.sink, (TaintSink{TaintSinkType::FileWrite, "out" + std::to_string(k)})) << k;
    ASSERT_EQ(f.escalation, 10) << k;
    if (k > 0) {
      ASSERT_EQ(f.propagators, std::vector<TaintProp>{kPassthrough}) << k;
    }
  }
  EXPECT_EQ(p.composite_score, 50 + 40);

  // Without the encoder the best pair is a 35-point one into the shell.
  segs.erase(segs.end() - 2);
  EXPECT_EQ(run_piped(segs).composite_score, 50 + 35);
}

// ---------------------------------------------------------------------------
// Differential check against the pair-by-pair reading of the rules

std::optional<TaintSourceType> ref_source_type(rules::TaintSourceKind k) {
  switch (k) {
    case TaintSourceKind::SensitiveFile: return TaintSourceType::SensitiveFile;
    case TaintSourceKind::EnvironmentVar: return TaintSourceType::EnvironmentVar;
    case TaintSourceKind::NetworkDownload: return TaintSourceType::CommandOutput;
    case TaintSourceKind::AnyRead: return TaintSourceType::Stdin;
  }
  return std::nullopt;
}

// Every pair examined and every in-between segment rescanned, no cap.
PipelineFlow reference(const std::vector<CommandAnalysis>& segs, const std::vector<Operator>& ops,
                       const std::vector<std::optional<TaintSourceKind>>& sources,
                       const std::vector<std::optional<TaintSinkKind>>& sinks,
                       const std::vector<bool>& encoders) {
  PipelineFlow out = run(segs, ops);  // flow type only
  out.taint_flows.clear();
  int m = 0, best = -1;
  for (const auto& s : segs) m = std::max<int>(m, s.score);
  for (std::size_t i = 0; i + 1 < segs.size(); ++i) {
    for (std::size_t j = i + 1; j < segs.size(); ++j) {
      if (j - 1 < ops.size() && ops[j - 1] != Operator::Pipe) continue;
      if (!sinks[j] || !sources[i]) continue;
      bool enc = false;
      for (std::size_t k = i + 1; k < j; ++k) enc = enc || encoders[k];
      const auto* rule = rules::find_taint_escalation(*sources[i], *sinks[j], enc);
      if (rule == nullptr) continue;
      TaintFlow f;
      f.source.type = *ref_source_type(*sources[i]);
      if (*sources[i] == TaintSourceKind::SensitiveFile) f.source.path = "~/.ssh/id_rsa";
      if (enc) f.propagators = {kEncoded};
      else if (j > i + 1) f.propagators = {kPassthrough};
      f.sink.type = *sinks[j] == TaintSinkKind::Execution   ? TaintSinkType::Execution
                    : *sinks[j] == TaintSinkKind::FileWrite ? TaintSinkType::FileWrite
                                                            : TaintSinkType::NetworkSend;
      if (*sinks[j] == TaintSinkKind::FileWrite) f.sink.path = "out.txt";
      f.escalation = rule->bonus;
      f.escalation_reason = std::string(rule->description);
      best = std::max<int>(best, rule->bonus);
      out.taint_flows.push_back(f);
    }
  }
  out.composite_score = static_cast<std::uint8_t>(best < 0 ? m : std::min(100, m + best));
  return out;
}

struct Kind {
  CommandAnalysis analysis;
  std::optional<TaintSourceKind> source;
  std::optional<TaintSinkKind> sink;
  bool encoder;
};

std::vector<Kind> kinds() {
  using enum TaintSourceKind;
  using enum TaintSinkKind;
  return {
      {secret_read(), SensitiveFile, std::nullopt, false},
      {env_dump(), EnvironmentVar, std::nullopt, false},
      {download(), NetworkDownload, std::nullopt, false},
      {listing(), AnyRead, std::nullopt, false},
      {shell(), std::nullopt, Execution, false},
      {netcat(), std::nullopt, NetworkSend, false},
      {tee("out.txt"), std::nullopt, FileWrite, false},
      {encoder(), AnyRead, std::nullopt, true},
      {seg("echo $X", "echo", {Intent::Execute}, 20), EnvironmentVar, Execution, false},
  };
}

void check_against_reference(const std::vector<Kind>& table, const std::vector<std::size_t>& pick,
                             const std::vector<Operator>& ops) {
  std::vector<CommandAnalysis> segs;
  std::vector<std::optional<TaintSourceKind>> sources;
  std::vector<std::optional<TaintSinkKind>> sinks;
  std::vector<bool> encoders;
  for (std::size_t p : pick) {
    segs.push_back(table[p].analysis);
    sources.push_back(table[p].source);
    sinks.push_back(table[p].sink);
    encoders.push_back(table[p].encoder);
  }
  ASSERT_EQ(run(segs, ops), reference(segs, ops, sources, sinks, encoders))
      << testing::PrintToString(pick) << " ops " << testing::PrintToString(ops);
}

TEST(Pipeline, MatchesPairByPairReadingOnAllShortLines) {
  const auto table = kinds();
  for (std::size_t n = 2; n <= 4; ++n) {
    std::vector<std::size_t> pick(n, 0);
    for (;;) {
      // Every mix of "|" and "&&", with the full operator list and one entry short.
      for (std::size_t mask = 0; mask < (1u << (n - 1)); ++mask) {
        std::vector<Operator> ops;
        for (std::size_t k = 0; k + 1 < n; ++k)
          ops.push_back((mask >> k) & 1 ? Operator::And : Operator::Pipe);
        check_against_reference(table, pick, ops);
        ops.pop_back();
        check_against_reference(table, pick, ops);
      }
      std::size_t d = 0;
      while (d < n && ++pick[d] == table.size()) pick[d++] = 0;
      if (d == n) break;
    }
  }
}

TEST(Pipeline, MatchesPairByPairReadingOnLongRandomLines) {
  const auto table = kinds();
  std::mt19937 rng(12345);
  for (int trial = 0; trial < 200; ++trial) {
    const std::size_t n = 2 + rng() % 40;
    std::vector<std::size_t> pick(n);
    for (auto& p : pick) p = rng() % table.size();
    std::vector<Operator> ops(n - 1);
    for (auto& op : ops) op = rng() % 4 == 0 ? Operator::Sequence : Operator::Pipe;
    check_against_reference(table, pick, ops);
  }
}

}  // namespace
}  // namespace corvane
