// Fuzzes the rule-file reader on arbitrary text, the lint's reading of the
// same text, and classification with whatever rules came out of it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "corvane.h"
#include "custom_rules.h"

namespace {

// A few command shapes that reach every kind of rule: prefixes, globs,
// wrappers, paths, pipelines.
constexpr std::string_view kCommands[] = {
    "git push origin main --force", "sudo terraform destroy -auto-approve", "cat ~/.kube/config | base64",
    "kubectl delete ns prod --all", "'rm' -rf \"/srv/app/dist\"", "aws s3 rm s3://b/ --recursive",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto config = corvane::RuleConfig::from_toml(text);
  if (config) {
    for (const auto& o : config->overrides)
      if (o.score > 100 || o.command.empty()) __builtin_trap();
    for (const auto& c : config->commands) {
      if (c.base_weight > 100) __builtin_trap();
      for (const auto& f : c.dangerous_flags)
        if (f.modifier < -100 || f.modifier > 100 || f.flags.empty()) __builtin_trap();
    }
  }
  // The lint reads exactly what classification reads, and fails exactly when
  // it does.
  const corvane::RuleFile linted = corvane::read_rule_text(text, "fuzz.toml", size % 2 == 0);
  if (linted.config.has_value() != config.has_value()) __builtin_trap();
  if (!config) return 0;
  if (linted.config->allow.size() != config->allow.size() || linted.config->commands.size() != config->commands.size())
    __builtin_trap();

  corvane::RuleSet set;
  set.user = *config;
  set.project = std::move(*config);
  corvane::ClassifyContext ctx;
  ctx.cwd = "/srv/app";
  ctx.project_root = "/srv/app";
  ctx.home_dir = "/home/u";
  for (std::string_view c : kCommands) {
    auto r = corvane::classify_inner(c, &ctx, set);
    if (!r.ok() || r.value().score > 100) __builtin_trap();
  }
  return 0;
}
