// The readable summary of build/corvane.
//
//   BLOCKED  score 100 (critical)  rm -rf /
//     reason      File deletion: targeting filesystem root, recursive deletion
//     factors     recursive_delete
//     segment 1   score 100  rm -rf /
//                 delete; irreversible
//                 target / (root, normal)
//     technique   T1485 MITRE ATT&CK T1485 (Unknown)
//
// Every string taken from the command goes through printable(): the text
// being judged is hostile by assumption and must not be able to drive the
// terminal or hide part of itself.
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "cli.h"
#include "text.h"

namespace corvane::cli {
namespace {

// Code points that render as nothing or reorder the text around them.
bool is_invisible(char32_t cp) noexcept {
  return (cp >= 0x80 && cp <= 0x9F)          // C1 controls
         || (cp >= 0x200B && cp <= 0x200F)   // zero-width characters, LRM, RLM
         || (cp >= 0x2028 && cp <= 0x202E)   // line/paragraph separators, embeddings
         || (cp >= 0x2060 && cp <= 0x2069)   // word joiner, isolates
         || cp == 0xFEFF;                    // zero-width no-break space
}

void append_hex(std::string& out, std::string_view prefix, unsigned value, int digits,
                std::string_view suffix = {}) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.append(prefix);
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out.push_back(kHex[(value >> shift) & 0xF]);
  out.append(suffix);
}

// ANSI styles; empty strings when colour is off.
struct Palette {
  std::string_view bold, dim, reset, safe, risky, blocked;

  static Palette make(bool colour) {
    if (!colour) return {};
    return {"\x1b[1m", "\x1b[2m", "\x1b[0m", "\x1b[1;32m", "\x1b[1;33m", "\x1b[1;31m"};
  }
  std::string_view for_decision(QuickDecision d) const noexcept {
    switch (d) {
      case QuickDecision::Safe: return safe;
      case QuickDecision::Risky: return risky;
      case QuickDecision::Blocked: return blocked;
    }
    return blocked;
  }
};

constexpr std::size_t kLabelWidth = 12;

class Summary {
 public:
  explicit Summary(bool colour) : p_(Palette::make(colour)) {}

  // One labelled line, or a continuation line when `label` is empty.
  void line(std::string_view label, std::string_view text) {
    out_.append("  ").append(p_.dim).append(label).append(p_.reset);
    out_.append(kLabelWidth - std::min(label.size(), kLabelWidth - 1), ' ');
    out_.append(text).push_back('\n');
  }
  void header(const AnalysisResult& r) {
    std::string decision(to_string(r.quick_decision));
    for (char& c : decision) c = static_cast<char>(c - 'a' + 'A');
    out_.append(p_.for_decision(r.quick_decision)).append(decision).append(p_.reset);
    out_.append("  ").append(p_.bold).append("score ").append(std::to_string(r.score));
    out_.append(p_.reset).append(" (").append(to_string(r.level)).append(")  ");
    out_.append(printable(r.command)).push_back('\n');
  }
  std::string take() { return std::move(out_); }

 private:
  Palette p_;
  std::string out_;
};

template <typename T, typename Fn>
std::string join(const std::vector<T>& items, std::string_view sep, Fn&& fn) {
  std::string s;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) s.append(sep);
    s.append(fn(items[i]));
  }
  return s;
}

std::string enum_list(const auto& values) {
  return join(values, ", ", [](auto v) { return std::string(to_string(v)); });
}

std::string describe_target(const Target& t) {
  std::string s = t.path ? printable(*t.path) : std::string("(no path)");
  s.append(" (").append(to_string(t.scope)).append(", ").append(to_string(t.sensitivity)).append(")");
  return s;
}

std::string describe_flag(const FlagAnalysis& f) {
  std::string s = printable(f.flag);
  s.append(f.modifier < 0 ? " " : " +").append(std::to_string(f.modifier));
  s.append(" ").append(to_string(f.risk_factor));
  if (!f.description.empty()) s.append(": ").append(printable(f.description));
  return s;
}

// The engine's placeholder for a segment that names nothing.
bool is_placeholder(const Target& t) noexcept {
  return !t.path && t.scope == TargetScope::None && t.sensitivity == Sensitivity::Normal;
}

void render_segment(Summary& out, std::size_t index, const CommandAnalysis& c) {
  out.line("segment " + std::to_string(index),
           "score " + std::to_string(c.score) + "  " + printable(c.command));
  std::string what = enum_list(c.intent);
  what.append(what.empty() ? "" : "; ").append(to_string(c.reversibility));
  out.line("", what);
  for (const Target& t : c.targets) {
    if (!is_placeholder(t)) out.line("", "target " + describe_target(t));
  }
  for (const FlagAnalysis& f : c.flags) out.line("", "flag " + describe_flag(f));
  if (!c.capabilities.empty()) out.line("", "capabilities " + enum_list(c.capabilities));
}

std::string describe_source(const TaintSource& s) {
  std::string text(to_string(s.type));
  if (s.type == TaintSourceType::SensitiveFile) text.append(" ").append(printable(s.path));
  return text;
}

std::string describe_prop(const TaintProp& p) {
  std::string text(to_string(p.type));
  if (p.type == TaintPropType::Encoding) text.append(" ").append(printable(p.method));
  return text;
}

std::string describe_sink(const TaintSink& s) {
  std::string text(to_string(s.type));
  if (s.type == TaintSinkType::FileWrite) text.append(" ").append(printable(s.path));
  return text;
}

void render_flow(Summary& out, const PipelineFlow& flow) {
  out.line("flow", std::string(to_string(flow.flow_type)) + ", composite score " +
                       std::to_string(flow.composite_score));
  for (const TaintFlow& t : flow.taint_flows) {
    std::string s = describe_source(t.source);
    for (const TaintProp& p : t.propagators) s.append(" -> ").append(describe_prop(p));
    s.append(" -> ").append(describe_sink(t.sink));
    s.append(", escalation ").append(std::to_string(t.escalation));
    if (!t.escalation_reason.empty()) s.append(": ").append(printable(t.escalation_reason));
    out.line("", s);
  }
}

}  // namespace

std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7F) {
      switch (byte) {
        case '\n': out.append("\\n"); break;
        case '\r': out.append("\\r"); break;
        case '\t': out.append("\\t"); break;
        default: append_hex(out, "\\x", byte, 2);
      }
      ++i;
      continue;
    }
    if (byte < 0x80) {
      out.push_back(static_cast<char>(byte));
      ++i;
      continue;
    }
    const text::Utf8Char c = text::decode_utf8(text, i);
    if (!c.valid) {
      append_hex(out, "\\x", byte, 2);
    } else if (is_invisible(c.cp)) {
      append_hex(out, "\\u{", static_cast<unsigned>(c.cp), 4, "}");
    } else {
      out.append(text.substr(i, c.len));
    }
    i += c.len;
  }
  return out;
}

std::string valid_utf8(std::string_view text) {
  if (text::is_valid_utf8(text)) return std::string(text);
  std::string out;
  out.reserve(text.size() + 16);
  for (std::size_t i = 0; i < text.size();) {
    const text::Utf8Char c = text::decode_utf8(text, i);
    if (c.valid) {
      out.append(text.substr(i, c.len));
    } else {
      out.append("\xEF\xBF\xBD");  // U+FFFD REPLACEMENT CHARACTER
    }
    i += c.len == 0 ? 1 : c.len;
  }
  return out;
}

std::string shortened(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  constexpr std::string_view kMark = "...";
  std::size_t cut = limit > kMark.size() ? limit - kMark.size() : 0;
  // Back up to the first byte of a character.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  std::string out(text.substr(0, cut));
  out.append(kMark);
  return out;
}

bool use_colour() {
  const char* no_colour = std::getenv("NO_COLOR");
  if (no_colour != nullptr && *no_colour != '\0') return false;
  return ::isatty(STDOUT_FILENO) == 1;
}

std::string render_verdict_line(const AnalysisResult& r, bool colour) {
  Summary out(colour);
  out.header(r);
  return out.take();
}

std::string render_labelled_line(std::string_view label, std::string_view text, bool colour) {
  Summary out(colour);
  out.line(label, text);
  return out.take();
}

std::string render_summary(const AnalysisResult& r, bool colour) {
  Summary out(colour);
  out.header(r);
  out.line("reason", printable(r.reason));
  if (!r.risk_factors.empty()) out.line("factors", enum_list(r.risk_factors));
  for (std::size_t i = 0; i < r.sub_commands.size(); ++i) render_segment(out, i + 1, r.sub_commands[i]);
  if (r.pipeline_flow) render_flow(out, *r.pipeline_flow);
  for (const MitreMapping& m : r.mitre_mappings) {
    out.line("technique", m.technique_id + " " + printable(m.technique_name) + " (" + printable(m.tactic) + ")");
  }
  if (r.parse_confidence != ParseConfidence::Full) out.line("parse", to_string(r.parse_confidence));
  return out.take();
}

}  // namespace corvane::cli
