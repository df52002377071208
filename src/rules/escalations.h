// Taint escalation rules: which source-to-sink flows across a pipeline are
// worth how much, and why.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "enum_table.h"

namespace corvane::rules {

enum class TaintSourceKind : std::uint8_t { SensitiveFile, EnvironmentVar, AnyRead, NetworkDownload };
enum class TaintSinkKind : std::uint8_t { NetworkSend, Execution, FileWrite };
enum class EncodingRequirement : std::uint8_t { Required, Any };

struct EscalationRule {
  std::string_view name;
  std::string_view description;
  std::uint8_t bonus;
  TaintSourceKind source;  // AnyRead covers every source kind
  TaintSinkKind sink;
  EncodingRequirement encoding;
};

std::span<const EscalationRule> escalation_rules() noexcept;

// The matching rule with the highest bonus (the later row on ties), or null.
const EscalationRule* find_taint_escalation(TaintSourceKind source, TaintSinkKind sink,
                                            bool has_encoding) noexcept;

}  // namespace corvane::rules
