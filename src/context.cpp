#include "context.h"

#include <array>

#include "rules/path_prefixes.h"

namespace corvane {
namespace {

using rules::kBuildOutputPrefixes;
using rules::kSystemPrefixes;

bool changes_files(Intent intent) { return intent == Intent::Write || intent == Intent::Delete; }

template <std::size_t N>
bool starts_with_any(std::string_view s, const std::array<std::string_view, N>& prefixes) {
  for (std::string_view p : prefixes)
    if (s.starts_with(p)) return true;
  return false;
}

std::string_view strip_leading_dot_slash(std::string_view p) {
  while (p.starts_with("./")) p.remove_prefix(2);
  return p;
}

// The path a relative target refers to, still purely textual: the working
// directory (or the project root when no working directory is known) joined
// in front. Paths starting with "/" or "~" are taken as they are; "~" is
// never expanded.
std::string absolute_path(const std::string& p, const ClassifyContext& ctx) {
  if (!p.empty() && (p.front() == '/' || p.front() == '~')) return p;
  const std::optional<std::string>& base = ctx.cwd ? ctx.cwd : ctx.project_root;
  if (!base || base->empty()) return p;
  std::string joined = normalize_path(*base);
  joined += '/';
  joined += strip_leading_dot_slash(p);
  return normalize_path(joined);
}

}  // namespace

std::string normalize_path(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  // Collapsing every run of "/" to one in a single pass gives the same text
  // as replacing "//" until none is left, in linear time.
  std::string out;
  out.reserve(path.size());
  for (char c : path)
    if (c != '/' || out.empty() || out.back() != '/') out.push_back(c);
  return out;
}

TargetScope resolve_scope(std::string_view path, const ClassifyContext* ctx) {
  const std::string n = normalize_path(path);
  if (n == "/") return TargetScope::Root;
  if (ctx != nullptr && ctx->home_dir) {
    const std::string h = normalize_path(*ctx->home_dir);
    // Only the home directory itself; paths below it are single files.
    if (n == h || n == h + "/") return TargetScope::Home;
  }
  if (n == "~" || n == "~/") return TargetScope::Home;
  if (starts_with_any(n, kSystemPrefixes)) return TargetScope::System;
  return TargetScope::SingleFile;
}

std::int16_t context_adjustment(std::string_view path, Intent intent, const ClassifyContext* ctx) {
  // Without any context the location is unknown, which is itself a small risk.
  if (ctx == nullptr) return 5;
  const std::string full = absolute_path(normalize_path(path), *ctx);
  int sum = 0;

  if (ctx->project_root) {
    const std::string r = normalize_path(*ctx->project_root);
    if (!full.starts_with(r)) {
      if (changes_files(intent)) sum += 20;
    } else {
      if (changes_files(intent)) sum -= 10;
      std::string_view rest = std::string_view(full).substr(r.size());
      while (rest.starts_with('/')) rest.remove_prefix(1);
      // Regenerated output is cheap to lose, whatever the command does to it.
      if (starts_with_any(rest, kBuildOutputPrefixes)) sum -= 15;
    }
  }

  // Touching home from outside it, or the home directory itself, counts.
  if (ctx->home_dir && ctx->cwd) {
    const std::string h = normalize_path(*ctx->home_dir);
    if (full.starts_with(h) && (!ctx->cwd->starts_with(h) || full == h)) sum += 15;
  }

  for (const std::string& p : ctx->protected_paths) {
    if (full.find(p) != std::string::npos) {
      sum += 25;
      break;
    }
  }
  return static_cast<std::int16_t>(sum);
}

}  // namespace corvane
