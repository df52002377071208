// Result model of a classification: every record and enumeration the engine
// returns, and the context a caller may pass in.
//
// Records are plain values. They own all their strings, never point into the
// input or the rule tables, and can outlive every other object of a call.
// Enumerations are one byte; their declaration order is significant (several
// weight tables are indexed by it) and each has exactly one spelling table.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// ---------------------------------------------------------------------------
// Enumerations

enum class Intent : std::uint8_t {
  Read, Write, Delete, Execute, Network, ProcessControl, Privilege,
  PackageInstall, GitMutation, EnvModify, Search, Info,
};

// "system" sits before "home" and "root": the order is the scope weight order.
enum class TargetScope : std::uint8_t {
  None, SingleFile, Directory, DirectoryRecursive, System, Home, Root,
};

enum class Sensitivity : std::uint8_t { Normal, Config, System, Secrets, Protected };

enum class RiskFactor : std::uint8_t {
  RecursiveDelete, ForceFlag, BroadScope, SecretsExposure, NetworkExfiltration,
  PipeToExecution, CommandSubstitution, ProcessSubstitution, UntrustedExecution,
  PrivilegeEscalation, PathInjection, GitHistoryDestruction,
  EscapesProjectBoundary, ShellInjection, ZshModuleLoading, ZshGlobExecution,
  ObfuscatedCommand, ObfuscatedExfiltration, CommandExecution,
  Write,  // a flag that writes files; spelled "write" like Intent::Write
  NestingLimit,  // command text nested too deep or too long to be looked into
};

enum class BinaryCapability : std::uint8_t {
  Shell, Command, ReverseShell, BindShell, FileRead, FileWrite, Upload,
  Download, LibraryLoad, PrivilegeEscalation,
};

enum class FlowType : std::uint8_t { Pipe, And, Or, Sequence, Mixed };
enum class RiskLevel : std::uint8_t { Safe, Caution, Danger, Critical };
enum class QuickDecision : std::uint8_t { Safe, Risky, Blocked };
enum class Reversibility : std::uint8_t { Reversible, HardToReverse, Irreversible };
enum class ParseConfidence : std::uint8_t { Full, Partial, Fallback };

// Kinds of the three tagged values of a taint flow.
enum class TaintSourceType : std::uint8_t { SensitiveFile, EnvironmentVar, CommandOutput, Stdin };
enum class TaintPropType : std::uint8_t { Passthrough, Encoding, Filtering, Aggregation };
enum class TaintSinkType : std::uint8_t { NetworkSend, FileWrite, Execution, Display };

// JSON spellings, one table per enumeration.
std::string_view to_string(Intent v) noexcept;
std::string_view to_string(TargetScope v) noexcept;
std::string_view to_string(Sensitivity v) noexcept;
std::string_view to_string(RiskFactor v) noexcept;
std::string_view to_string(BinaryCapability v) noexcept;
std::string_view to_string(FlowType v) noexcept;
std::string_view to_string(RiskLevel v) noexcept;
std::string_view to_string(QuickDecision v) noexcept;
std::string_view to_string(Reversibility v) noexcept;
std::string_view to_string(ParseConfidence v) noexcept;
std::string_view to_string(TaintSourceType v) noexcept;
std::string_view to_string(TaintPropType v) noexcept;
std::string_view to_string(TaintSinkType v) noexcept;

// ---------------------------------------------------------------------------
// Records. Fields are in declaration order, which is also the JSON key order.

struct Target {
  std::optional<std::string> path;  // null when the target names no path
  TargetScope scope = TargetScope::None;
  Sensitivity sensitivity = Sensitivity::Normal;
  bool operator==(const Target&) const = default;
};

struct FlagAnalysis {
  std::string flag;  // first token of the matched rule, e.g. "push"
  std::int8_t modifier = 0;
  RiskFactor risk_factor = RiskFactor::RecursiveDelete;
  std::string description;
  bool operator==(const FlagAnalysis&) const = default;
};

struct CommandAnalysis {
  std::string command;
  std::optional<std::string> executable;
  std::vector<Intent> intent;
  std::vector<Target> targets;
  std::vector<FlagAnalysis> flags;
  std::uint8_t score = 0;
  std::vector<RiskFactor> risk_factors;
  Reversibility reversibility = Reversibility::Reversible;
  std::vector<BinaryCapability> capabilities;
  bool operator==(const CommandAnalysis&) const = default;
};

struct MitreMapping {
  std::string technique_id;
  std::string technique_name;
  std::string tactic;
  bool operator==(const MitreMapping&) const = default;
};

// A kind plus, for sensitive_file, the path read.
struct TaintSource {
  TaintSourceType type = TaintSourceType::Stdin;
  std::string path;  // only meaningful for SensitiveFile
  bool operator==(const TaintSource&) const = default;
};

// A kind plus, for encoding, the method name.
struct TaintProp {
  TaintPropType type = TaintPropType::Passthrough;
  std::string method;  // only meaningful for Encoding
  bool operator==(const TaintProp&) const = default;
};

// A kind plus, for file_write, the path written.
struct TaintSink {
  TaintSinkType type = TaintSinkType::Execution;
  std::string path;  // only meaningful for FileWrite
  bool operator==(const TaintSink&) const = default;
};

struct TaintFlow {
  TaintSource source;
  std::vector<TaintProp> propagators;
  TaintSink sink;
  std::uint8_t escalation = 0;
  std::string escalation_reason;
  bool operator==(const TaintFlow&) const = default;
};

struct PipelineFlow {
  FlowType flow_type = FlowType::Pipe;
  std::vector<TaintFlow> taint_flows;
  std::uint8_t composite_score = 0;
  bool operator==(const PipelineFlow&) const = default;
};

struct AnalysisResult {
  std::string command;
  std::uint8_t score = 0;
  RiskLevel level = RiskLevel::Safe;
  QuickDecision quick_decision = QuickDecision::Safe;
  std::string reason;
  std::vector<RiskFactor> risk_factors;
  std::vector<CommandAnalysis> sub_commands;
  std::optional<PipelineFlow> pipeline_flow;
  std::vector<MitreMapping> mitre_mappings;
  ParseConfidence parse_confidence = ParseConfidence::Full;
  bool operator==(const AnalysisResult&) const = default;
};

// ---------------------------------------------------------------------------
// Caller context

enum class ShellKind : std::uint8_t { Bash, Zsh };

// What the caller knows about where the command would run. Entry points take
// it as optional (a null pointer), and "no context" is different from a
// context with every field at its default.
struct ClassifyContext {
  std::optional<std::string> cwd;
  std::optional<std::string> project_root;
  std::optional<std::string> home_dir;
  std::vector<std::string> protected_paths;
  ShellKind shell = ShellKind::Bash;
};

}  // namespace corvane
