#include "json.h"

#include <charconv>

namespace corvane {

void append_json_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t run = 0;  // start of the pending run of bytes copied verbatim
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') [[likely]] continue;
    out.append(text.data() + run, i - run);
    run = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        out += "\\u00";
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0xF]);
    }
  }
  out.append(text.data() + run, text.size() - run);
  out.push_back('"');
}

namespace {

// A tiny writer over a string. The result's shape is fixed and shallow, so
// nesting depth never depends on the input.
class Json {
 public:
  explicit Json(std::string& out) : out_(out) {}

  // Keys are the record's own field names: plain ASCII, never escaped.
  void key(std::string_view k) {
    comma();
    out_.push_back('"');
    out_.append(k);
    out_ += "\":";
    fresh_ = true;  // the value that follows needs no comma
  }
  void begin_object() { comma(); out_.push_back('{'); fresh_ = true; }
  void end_object() { out_.push_back('}'); fresh_ = false; }
  void begin_array() { comma(); out_.push_back('['); fresh_ = true; }
  void end_array() { out_.push_back(']'); fresh_ = false; }

  void string(std::string_view s) { comma(); append_json_string(out_, s); fresh_ = false; }
  void null() { comma(); out_ += "null"; fresh_ = false; }
  void integer(long long v) {
    comma();
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    (void)ec;
    out_.append(buf, end);
    fresh_ = false;
  }
  void optional_string(const std::optional<std::string>& s) {
    if (s) string(*s); else null();
  }
  // Spellings are plain lower-case ASCII, never escaped.
  template <typename E>
  void enum_value(E v) {
    comma();
    out_.push_back('"');
    out_.append(to_string(v));
    out_.push_back('"');
    fresh_ = false;
  }
  template <typename E>
  void enum_array(const std::vector<E>& values) {
    array(values, [](Json& j, E v) { j.enum_value(v); });
  }
  // An array of records, each written by `write(json, item)`.
  template <typename T, typename Write>
  void array(const std::vector<T>& items, Write&& write) {
    begin_array();
    for (const T& item : items) write(*this, item);
    end_array();
  }

 private:
  void comma() {
    if (!fresh_) out_.push_back(',');
    fresh_ = false;
  }
  std::string& out_;
  bool fresh_ = true;
};

void write_target(Json& j, const Target& t) {
  j.begin_object();
  j.key("path"); j.optional_string(t.path);
  j.key("scope"); j.enum_value(t.scope);
  j.key("sensitivity"); j.enum_value(t.sensitivity);
  j.end_object();
}

void write_flag(Json& j, const FlagAnalysis& f) {
  j.begin_object();
  j.key("flag"); j.string(f.flag);
  j.key("modifier"); j.integer(f.modifier);
  j.key("risk_factor"); j.enum_value(f.risk_factor);
  j.key("description"); j.string(f.description);
  j.end_object();
}

void write_analysis(Json& j, const CommandAnalysis& a) {
  j.begin_object();
  j.key("command"); j.string(a.command);
  j.key("executable"); j.optional_string(a.executable);
  j.key("intent"); j.enum_array(a.intent);
  j.key("targets"); j.array(a.targets, write_target);
  j.key("flags"); j.array(a.flags, write_flag);
  j.key("score"); j.integer(a.score);
  j.key("risk_factors"); j.enum_array(a.risk_factors);
  j.key("reversibility"); j.enum_value(a.reversibility);
  j.key("capabilities"); j.enum_array(a.capabilities);
  j.end_object();
}

void write_mapping(Json& j, const MitreMapping& m) {
  j.begin_object();
  j.key("technique_id"); j.string(m.technique_id);
  j.key("technique_name"); j.string(m.technique_name);
  j.key("tactic"); j.string(m.tactic);
  j.end_object();
}

// Tagged values: {"type":...} plus the payload key for the one kind that has it.
void write_source(Json& j, const TaintSource& s) {
  j.begin_object();
  j.key("type"); j.enum_value(s.type);
  if (s.type == TaintSourceType::SensitiveFile) { j.key("path"); j.string(s.path); }
  j.end_object();
}

void write_sink(Json& j, const TaintSink& s) {
  j.begin_object();
  j.key("type"); j.enum_value(s.type);
  if (s.type == TaintSinkType::FileWrite) { j.key("path"); j.string(s.path); }
  j.end_object();
}

// Plain propagators are bare strings; encoding is {"encoding":{"method":...}}.
void write_prop(Json& j, const TaintProp& p) {
  if (p.type != TaintPropType::Encoding) { j.enum_value(p.type); return; }
  j.begin_object();
  j.key("encoding");
  j.begin_object();
  j.key("method"); j.string(p.method);
  j.end_object();
  j.end_object();
}

void write_flow(Json& j, const TaintFlow& f) {
  j.begin_object();
  j.key("source"); write_source(j, f.source);
  j.key("propagators"); j.array(f.propagators, write_prop);
  j.key("sink"); write_sink(j, f.sink);
  j.key("escalation"); j.integer(f.escalation);
  j.key("escalation_reason"); j.string(f.escalation_reason);
  j.end_object();
}

void write_result(Json& j, const AnalysisResult& r) {
  j.begin_object();
  j.key("command"); j.string(r.command);
  j.key("score"); j.integer(r.score);
  j.key("level"); j.enum_value(r.level);
  j.key("quick_decision"); j.enum_value(r.quick_decision);
  j.key("reason"); j.string(r.reason);
  j.key("risk_factors"); j.enum_array(r.risk_factors);
  j.key("sub_commands"); j.array(r.sub_commands, write_analysis);
  j.key("pipeline_flow");
  if (r.pipeline_flow) {
    const PipelineFlow& p = *r.pipeline_flow;
    j.begin_object();
    j.key("flow_type"); j.enum_value(p.flow_type);
    j.key("taint_flows"); j.array(p.taint_flows, write_flow);
    j.key("composite_score"); j.integer(p.composite_score);
    j.end_object();
  } else {
    j.null();
  }
  j.key("mitre_mappings"); j.array(r.mitre_mappings, write_mapping);
  j.key("parse_confidence"); j.enum_value(r.parse_confidence);
  j.end_object();
}

}  // namespace

std::string to_json(const AnalysisResult& result) {
  std::string out;
  out.reserve(512 + 2 * result.command.size());
  Json j(out);
  write_result(j, result);
  return out;
}

std::string to_json(const std::vector<AnalysisResult>& results) {
  std::string out;
  Json j(out);
  j.array(results, write_result);
  return out;
}

}  // namespace corvane
