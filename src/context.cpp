#include "context.h"

#include <algorithm>
#include <array>
#include <span>
#include <vector>

#include "rules/path_prefixes.h"

namespace corvane {
namespace {

using rules::kBuildOutputPrefixes;
using rules::kSystemDirectories;

bool changes_files(Intent intent) { return intent == Intent::Write || intent == Intent::Delete; }

bool starts_with_any(std::string_view s, std::span<const std::string_view> prefixes) {
  return std::any_of(prefixes.begin(), prefixes.end(), [&](std::string_view p) { return s.starts_with(p); });
}

// A component whose place the text does not tell: a ".." after it cannot
// take it back.
bool opaque(std::string_view component, bool first_of_relative) {
  if (component == "..") return true;
  if (first_of_relative && component.starts_with('~')) return true;
  return component.find_first_of("$`") != std::string_view::npos;
}

// Whether `entry` (lexical normal form) names whole components of `path`
// somewhere. Hazard: the repeated search is quadratic in the worst case, as
// a plain substring search is; entries come from the caller and are short.
bool names_components(std::string_view path, std::string_view entry) {
  if (entry.empty()) return true;  // the empty text is in every path
  if (entry == "/") return path.starts_with('/');
  for (std::size_t at = path.find(entry); at != std::string_view::npos; at = path.find(entry, at + 1)) {
    const std::size_t end = at + entry.size();
    const bool starts = at == 0 || entry.front() == '/' || path[at - 1] == '/';
    const bool ends = end == path.size() || path[end] == '/';
    if (starts && ends) return true;
  }
  return false;
}

// Whether the path is a system directory or lies below one. A first
// component holding a wildcard counts when the text before the wildcard
// already starts with a system directory's name: "/lib*" may be "/lib" or
// "/lib64".
bool in_system_directory(std::string_view path) {
  for (std::string_view dir : kSystemDirectories)
    if (within(path, dir)) return true;
  const std::string_view first = path.substr(0, path.find('/', 1));
  const std::size_t wildcard = first.find_first_of("*?[");
  if (!path.starts_with('/') || wildcard == std::string_view::npos) return false;
  return starts_with_any(first.substr(0, wildcard), kSystemDirectories);
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

std::string normalize_lexically(std::string_view path) {
  if (path.empty()) return {};
  const bool absolute = path.front() == '/';
  std::vector<std::string_view> kept;
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const std::string_view c = path.substr(0, slash);
    path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
    if (c.empty() || c == ".") continue;
    if (c == "..") {
      if (!kept.empty() && !opaque(kept.back(), !absolute && kept.size() == 1)) {
        kept.pop_back();
        continue;
      }
      if (absolute && kept.empty()) continue;  // "/.." is "/"
    }
    kept.push_back(c);
  }
  std::string out;
  if (absolute) out.push_back('/');
  for (std::size_t i = 0; i < kept.size(); ++i) {
    if (i != 0) out.push_back('/');
    out.append(kept[i]);
  }
  if (out.empty()) out.push_back('.');
  return out;
}

bool within(std::string_view path, std::string_view dir) noexcept {
  if (dir.empty()) return true;
  if (dir == "/") return path.starts_with('/');
  return path.starts_with(dir) && (path.size() == dir.size() || path[dir.size()] == '/');
}

std::string resolve_path(std::string_view path, const ClassifyContext* ctx, PathBase base) {
  std::string full;
  const bool has_home = ctx != nullptr && ctx->home_dir && !ctx->home_dir->empty();
  if (has_home && (path == "~" || path.starts_with("~/"))) {
    full = *ctx->home_dir;
    full.append(path.substr(1));
  } else if (path.starts_with('/') || path.starts_with('~')) {
    full = path;
  } else {
    const std::optional<std::string>* dir = nullptr;
    if (ctx != nullptr && base == PathBase::Cwd) dir = &ctx->cwd;
    if (ctx != nullptr && base == PathBase::CwdOrProjectRoot) dir = ctx->cwd ? &ctx->cwd : &ctx->project_root;
    if (dir != nullptr && *dir && !(*dir)->empty()) {
      full = **dir;
      full.push_back('/');
    }
    full.append(path);
  }
  return normalize_lexically(full);
}

bool is_protected(std::string_view resolved, const ClassifyContext& ctx) {
  return std::any_of(ctx.protected_paths.begin(), ctx.protected_paths.end(), [&](const std::string& p) {
    return names_components(resolved, resolve_path(p, &ctx, PathBase::None));
  });
}

TargetScope resolve_scope(std::string_view path, const ClassifyContext* ctx) {
  const std::string n = resolve_path(path, ctx, PathBase::Cwd);
  if (n == "/") return TargetScope::Root;
  // Only the home directory itself; paths below it are single files.
  if (ctx != nullptr && ctx->home_dir && n == normalize_lexically(*ctx->home_dir)) return TargetScope::Home;
  if (n == "~") return TargetScope::Home;
  if (in_system_directory(n)) return TargetScope::System;
  return TargetScope::SingleFile;
}

std::int16_t context_adjustment(std::string_view path, Intent intent, const ClassifyContext* ctx) {
  // Without any context the location is unknown, which is itself a small risk.
  if (ctx == nullptr) return 5;
  const std::string full = resolve_path(path, ctx, PathBase::CwdOrProjectRoot);
  int sum = 0;

  if (ctx->project_root) {
    const std::string r = normalize_lexically(*ctx->project_root);
    if (!within(full, r)) {
      if (changes_files(intent)) sum += 20;
    } else {
      if (changes_files(intent)) sum -= 10;
      std::string_view rest = std::string_view(full).substr(r == "/" ? 0 : r.size());
      while (rest.starts_with('/')) rest.remove_prefix(1);
      // Regenerated output is cheap to lose, whatever the command does to it.
      if (starts_with_any(rest, kBuildOutputPrefixes)) sum -= 15;
    }
  }

  // Touching home from outside it, or the home directory itself, counts.
  if (ctx->home_dir && ctx->cwd) {
    const std::string h = normalize_lexically(*ctx->home_dir);
    if (within(full, h) && (!within(normalize_lexically(*ctx->cwd), h) || full == h)) sum += 15;
  }

  if (is_protected(full, *ctx)) sum += 25;
  return static_cast<std::int16_t>(sum);
}

}  // namespace corvane
