#include "rule_effects.h"

#include <algorithm>
#include <cstdlib>

#include "analyzer.h"
#include "builtin_pack.h"
#include "rule_patterns.h"
#include "scorer.h"
#include "text.h"

namespace corvane {
namespace {

// The word as the shell would pass it when it holds only plain quoting;
// the text as written when it holds an expansion the shell would perform
// (a variable, a substitution, `$'...'`) or does not close a quote.
std::string unquote(std::string_view w) {
  std::string out;
  out.reserve(w.size());
  for (std::size_t i = 0; i < w.size(); ++i) {
    const char c = w[i];
    if (c == '\\') {
      if (i + 1 < w.size()) out.push_back(w[++i]);
      continue;
    }
    if (c == '\'') {
      const std::size_t end = w.find('\'', i + 1);
      if (end == std::string_view::npos) return std::string(w);
      out.append(w.substr(i + 1, end - i - 1));
      i = end;
      continue;
    }
    if (c == '"') {
      std::size_t j = i + 1;
      for (; j < w.size() && w[j] != '"'; ++j) {
        if (w[j] == '$' || w[j] == '`') return std::string(w);
        if (w[j] == '\\' && j + 1 < w.size() &&
            (w[j + 1] == '"' || w[j + 1] == '\\' || w[j + 1] == '$' || w[j + 1] == '`')) {
          out.push_back(w[++j]);
          continue;
        }
        out.push_back(w[j]);
      }
      if (j == w.size()) return std::string(w);
      i = j;
      continue;
    }
    if (c == '$' || c == '`') return std::string(w);
    out.push_back(c);
  }
  return out;
}

// Redirect targets that are not files, or where writing loses nothing.
bool harmless_target(std::string_view t) {
  if (t == "/dev/null" || t == "/dev/stdout" || t == "/dev/stderr" || t == "-") return true;
  if (t.starts_with("/dev/fd/")) return true;
  // A descriptor duplication (`2>&1`, `>&2`) keeps only the number.
  return !t.empty() && std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A flag token is present when a word equals it or is its "name=value" form;
// a token ending in "*" is present when a word starts with the rest, for
// options that take their value attached (`-O<pager>`).
bool token_present(std::span<const std::string_view> words, std::string_view token) {
  if (token.size() > 1 && token.back() == '*') {
    const std::string_view stem = token.substr(0, token.size() - 1);
    return std::any_of(words.begin(), words.end(), [&](std::string_view w) { return w.starts_with(stem); });
  }
  for (std::string_view w : words) {
    if (!w.starts_with(token)) continue;
    if (w.size() == token.size() || w[token.size()] == '=') return true;
  }
  return false;
}

// The risk factor a custom dangerous flag raises, by what the command does.
RiskFactor flag_factor(Intent intent) {
  switch (intent) {
    case Intent::Delete: return RiskFactor::RecursiveDelete;
    case Intent::Network: return RiskFactor::NetworkExfiltration;
    case Intent::GitMutation: return RiskFactor::GitHistoryDestruction;
    case Intent::Privilege: return RiskFactor::PrivilegeEscalation;
    case Intent::Write: return RiskFactor::Write;
    default: return RiskFactor::CommandExecution;
  }
}

// " (KIND rule "PATTERN" in SOURCE)", appended to a rule's reason.
std::string rule_label(std::string_view kind, std::string_view pattern, std::string_view source) {
  std::string label;
  label.append(" (").append(kind).append(" rule \"").append(pattern).append("\"");
  if (!source.empty()) label.append(" in ").append(source);
  label.push_back(')');
  return label;
}

// The path a target names, absolute where the context allows, normalised.
std::string absolute_target(std::string_view path, const ClassifyContext* ctx,
                            const std::optional<std::string>& home) {
  std::string full;
  if (path == "~" || path.starts_with("~/")) {
    if (!home) return patterns::normalize(path);
    full = *home + "/" + std::string(path.substr(1));
  } else if (path.starts_with('/')) {
    full = path;
  } else {
    const std::optional<std::string>* base = nullptr;
    if (ctx != nullptr) base = ctx->cwd ? &ctx->cwd : &ctx->project_root;
    if (base == nullptr || !*base || (*base)->empty()) return patterns::normalize(path);
    full = **base + "/" + std::string(path);
  }
  return patterns::normalize(full);
}

// What the rules need to know of a command beyond its analysis.
struct Facts {
  // The program's base name, then its arguments, as matched. Empty when the
  // segment runs no program.
  std::vector<std::string_view> words;
  std::vector<std::string> owned;  // unquoted words the model does not hold
  // Base name of the executable the segment names, when a wrapper such as
  // sudo runs words[0]; equal to words[0] otherwise.
  std::string_view outer_name;
  bool substitution = false;  // command or process substitution
  bool writes_file = false;   // a redirect or the command itself writes a file
  bool environment = false;   // sets a variable that could change what runs
};

// Variables that change only how output looks. Any other assignment in
// front of a command (or through env) can change what it runs
// (GIT_SSH_COMMAND, PAGER, LD_PRELOAD, PATH ...), so an allow does not
// vouch for it.
bool harmless_variable(std::string_view name) {
  constexpr std::string_view kNames[] = {"LANG", "LANGUAGE", "TZ", "TERM", "NO_COLOR", "FORCE_COLOR",
                                         "CLICOLOR", "COLUMNS", "LINES"};
  if (name.starts_with("LC_")) return true;
  return std::find(std::begin(kNames), std::end(kNames), name) != std::end(kNames);
}

Facts facts_of(const SimpleCommand& cmd) {
  Facts f;
  const std::string_view text = cmd.text();
  f.substitution = text::contains(text, "$(") || text::contains(text, '`') || text::contains(text, "<(") ||
                   text::contains(text, ">(");
  for (const Redirection& r : cmd.redirections)
    if ((r.kind == RedirectKind::Output || r.kind == RedirectKind::Append) && !harmless_target(unquote(r.target)))
      f.writes_file = true;
  for (const PathTarget& t : cmd.targets)
    if (t.written) f.writes_file = true;
  for (const Assignment& a : cmd.assignments)
    if (!harmless_variable(a.name)) f.environment = true;
  // Assignments a wrapper such as env makes stand before the program's word.
  for (std::size_t i = 1; cmd.has_executable && i < cmd.program_word && i < cmd.words.size(); ++i) {
    const std::string_view w = cmd.words[i].value;
    const std::size_t eq = w.find('=');
    if (eq != std::string_view::npos && eq > 0 && !w.starts_with('-') && !harmless_variable(w.substr(0, eq)))
      f.environment = true;
  }
  if (!cmd.has_executable) return f;
  // A word whose matched value is still its written text may hold quoting
  // that the model leaves in place; rules see it removed.
  auto value_of = [&](const Word& w) -> std::string_view {
    if (w.value != w.written) return w.value;
    std::string plain = unquote(w.value);
    if (plain == w.value) return w.value;
    f.owned.push_back(std::move(plain));
    return f.owned.back();
  };
  const std::span<const Word> words = cmd.program_words();
  f.owned.reserve(words.size() + 1);  // views into it must stay valid
  f.words.reserve(words.size());
  f.words.push_back(text::base_name(value_of(words.front())));
  for (const Word& w : words.subspan(1)) f.words.push_back(value_of(w));
  f.outer_name = text::base_name(value_of(cmd.words.front()));
  return f;
}

// Nothing in the command that an allow rule must not hide.
bool clean(const SimpleCommand& cmd, const Facts& facts) {
  const CommandAnalysis& a = cmd.analysis;
  if (facts.substitution || facts.writes_file || facts.environment || cmd.detector_weight > 0) return false;
  if (!a.flags.empty() || !a.risk_factors.empty()) return false;
  return std::all_of(a.targets.begin(), a.targets.end(),
                     [](const Target& t) { return t.sensitivity == Sensitivity::Normal; });
}

}  // namespace

CompiledRules::CompiledRules(const RuleSet& set, const ClassifyContext* ctx) {
  if (ctx != nullptr && ctx->home_dir && !ctx->home_dir->empty()) {
    home_ = patterns::normalize(*ctx->home_dir);
  } else if (const char* h = std::getenv("HOME"); h != nullptr && *h != '\0' && text::is_valid_utf8(h)) {
    home_ = patterns::normalize(h);
  }
  auto add = [&](const RuleConfig& config, bool trusted, bool builtin) {
    Layer layer{&config, trusted, {}, {}, {}, {}};
    // The built-in pack's words are built in; a configuration that does not
    // have the pack's shape (a caller changed it) is split like any other.
    const BuiltinPackWords pack = builtin ? builtin_pack_words() : BuiltinPackWords{};
    builtin = builtin && pack.allow.size() == config.allow.size() && pack.block.size() == config.block.size() &&
              pack.commands.size() == config.commands.size();
    auto split = [&](const std::string& text) -> Words {
      std::optional<std::vector<std::string>> words = patterns::split_words(text);
      if (!words) return {};
      auto& s = *splits_.emplace_back(std::make_unique<Split>(Split{std::move(*words), {}}));
      s.views.assign(s.words.begin(), s.words.end());
      return s.views;
    };
    // Each call compiles every rule once (a pack holds hundreds): no regrowth.
    layer.allow.reserve(trusted ? config.allow.size() : 0);
    layer.block.reserve(config.block.size());
    layer.commands.reserve(config.commands.size());
    layer.paths.reserve(config.paths.size());
    // Only the user's file may allow.
    if (trusted) {
      for (std::size_t i = 0; i < config.allow.size(); ++i)
        layer.allow.push_back({builtin ? pack.allow[i] : split(config.allow[i].pattern), i});
    }
    for (std::size_t i = 0; i < config.block.size(); ++i)
      layer.block.push_back({builtin ? pack.block[i] : split(config.block[i].pattern), i});
    for (std::size_t i = 0; i < config.commands.size(); ++i) {
      const CustomCommandRule& c = config.commands[i];
      const std::optional<Intent> intent = parse_intent(c.intent);
      const std::optional<Reversibility> rev = parse_reversibility(c.reversibility);
      if (intent && rev) layer.commands.push_back({builtin ? pack.commands[i] : split(c.name), &c, *intent, *rev});
    }
    for (const CustomPathRule& p : config.paths)
      if (const std::optional<Sensitivity> s = parse_sensitivity(p.sensitivity)) layer.paths.push_back({&p, *s});
    layers_.push_back(std::move(layer));
  };
  if (set.user) add(*set.user, true, set.user_is_builtin_pack);
  if (set.project) add(*set.project, false, set.project_is_builtin_pack);
}

const CompiledRules::Command* CompiledRules::longest_command(std::span<const std::string_view> words,
                                                             bool trusted) const {
  const Command* best = nullptr;
  for (const Layer& layer : layers_) {
    if (layer.trusted != trusted) continue;
    for (const Command& c : layer.commands)
      if ((best == nullptr || c.words.size() > best->words.size()) && patterns::command_matches(c.words, words))
        best = &c;
  }
  return best;
}

RuleEffect CompiledRules::apply(SimpleCommand& cmd, const ClassifyContext* ctx) const {
  RuleEffect effect;
  CommandAnalysis& a = cmd.analysis;
  const Facts facts = facts_of(cmd);

  // Custom paths: the more sensitive of the built-in and the custom rating.
  for (std::size_t i = 0; i < cmd.targets.size(); ++i) {
    PathTarget& t = cmd.targets[i];
    const std::string full = absolute_target(t.value, ctx, home_);
    for (const Layer& layer : layers_) {
      for (const Path& p : layer.paths) {
        if (p.sensitivity <= t.shown.sensitivity || !patterns::path_matches(p.rule->pattern, full, home_)) continue;
        t.shown.sensitivity = p.sensitivity;
        if (i < a.targets.size()) a.targets[i].sensitivity = p.sensitivity;
      }
    }
  }

  // A custom command takes the place of the built-in row: its intent,
  // reversibility and flags, and its base weight in the score.
  const std::size_t builtin_flags = a.flags.size();
  auto with_command = [&](CommandAnalysis& x, const Command& c) {
    x.intent = {c.intent};
    x.reversibility = c.reversibility;
    std::vector<RiskFactor> factors(x.risk_factors.begin() + static_cast<std::ptrdiff_t>(builtin_flags),
                                    x.risk_factors.end());
    x.flags.clear();
    std::vector<RiskFactor> flag_factors;
    for (const CustomFlagRule& f : c.rule->dangerous_flags) {
      const bool all = std::all_of(f.flags.begin(), f.flags.end(),
                                   [&](const std::string& token) { return token_present(facts.words, token); });
      if (!all) continue;
      x.flags.push_back({f.flags.front(), f.modifier, flag_factor(c.intent), f.description});
      // A flag that lowers the score (a dry run) is no risk factor, and two
      // flags of one kind name their factor once.
      const RiskFactor factor = flag_factor(c.intent);
      if (f.modifier > 0 && std::find(flag_factors.begin(), flag_factors.end(), factor) == flag_factors.end())
        flag_factors.push_back(factor);
    }
    flag_factors.insert(flag_factors.end(), factors.begin(), factors.end());
    x.risk_factors = std::move(flag_factors);
    score_simple_command(cmd, x, ctx, c.rule->base_weight);
  };
  auto techniques_of = [](const Command& c) {
    return c.rule->mitre && !c.rule->mitre->empty() ? std::vector<std::string>{*c.rule->mitre}
                                                    : std::vector<std::string>{};
  };

  const CommandAnalysis builtin = a;
  const Command* mine = facts.words.empty() ? nullptr : longest_command(facts.words, true);
  if (mine != nullptr) {
    with_command(a, *mine);
    effect.techniques = techniques_of(*mine);
  } else {
    score_simple_command(cmd, a, ctx);
  }
  bool project_raised = false;
  if (const Command* theirs = facts.words.empty() ? nullptr : longest_command(facts.words, false)) {
    CommandAnalysis b = builtin;
    with_command(b, *theirs);
    if (b.score > a.score) {
      a = std::move(b);
      effect.techniques = techniques_of(*theirs);
      project_raised = true;
    }
  }

  // Block rules of either file, the user's first; then allow rules of the
  // user's file, unless something the allow must not hide is present.
  const BlockRule* blocked = nullptr;
  std::string_view blocked_in;
  for (const Layer& layer : layers_) {
    for (const Pattern& p : layer.block) {
      if (blocked == nullptr && patterns::command_matches(p.words, facts.words)) {
        blocked = &layer.config->block[p.index];
        blocked_in = layer.config->source;
      }
    }
  }
  if (blocked != nullptr) {
    a.score = 100;
    effect.reason = blocked->reason + rule_label("block", blocked->pattern, blocked_in);
    if (blocked->mitre && !blocked->mitre->empty()) effect.extra_techniques.push_back(*blocked->mitre);
    return effect;
  }
  if (!project_raised && clean(cmd, facts)) {
    for (const Layer& layer : layers_) {
      // An allow must be more specific (have more words) than the custom
      // command rule that matched: `kubectl get secret` under `kubectl get`
      // is the user's more precise word on it.
      const std::size_t specific = mine != nullptr ? mine->words.size() : 0;
      const auto hit = std::find_if(layer.allow.begin(), layer.allow.end(), [&](const Pattern& p) {
        return p.words.size() > specific && patterns::command_matches(p.words, facts.words);
      });
      if (hit == layer.allow.end()) continue;
      const AllowRule& rule = layer.config->allow[hit->index];
      a.score = 0;
      effect.reason = rule.reason + rule_label("allow", rule.pattern, layer.config->source);
      break;
    }
  }

  // Score overrides of either file, by the program's base name and, through
  // a wrapper, the base name of the program it runs; the highest wins.
  if (!facts.words.empty()) {
    const ScoreOverride* raised = nullptr;
    for (const Layer& layer : layers_) {
      for (const std::string_view name : {facts.outer_name, facts.words.front()}) {
        const auto& list = layer.config->overrides;
        const auto o = std::find_if(list.begin(), list.end(), [&](const ScoreOverride& x) { return x.command == name; });
        if (o == list.end() || o->score <= a.score) continue;
        a.score = o->score;
        raised = &*o;
      }
    }
    if (raised != nullptr) {
      std::string reason = generate_reason(a);
      if (raised->reason && !raised->reason->empty()) reason += " (override: " + *raised->reason + ")";
      effect.reason = std::move(reason);
    }
  }
  return effect;
}

}  // namespace corvane
