#include "rules/zsh.h"

#include <array>

#include "text.h"

namespace corvane::rules {
namespace {

using text::contains_all;
using text::contains_any;
using text::starts_or_follows_space;

// "=cmd" as a word of its own expands to the command's full path. The word
// must start with "=" followed by a letter (any script), so "a=b", "==" and
// "=1" do not count; quotes are not removed, so "'=ls'" does not either.
bool equals_word(std::string_view t) {
  if (!text::contains(t, '=')) return false;
  for (std::string_view word : text::split_words(t)) {
    if (word.size() < 2 || word.front() != '=') continue;
    const text::Utf8Char c = text::decode_utf8(word, 1);
    if (c.valid && text::is_alphabetic(c.cp)) return true;
  }
  return false;
}

using RF = RiskFactor;

// The last column: bytes of which every text the row matches holds one.
consteval text::ByteSet on(std::string_view bytes) { return text::ByteSet(bytes); }

constexpr std::array<PatternRule, 15> kZshRules = {{
    {"zmodload", "Loading zsh modules (can enable dangerous builtins)", contains_any<"zmodload">, 55, RF::ZshModuleLoading, on("z")},
    {"zsh_system_module", "zsh/system module (sysopen, sysread, syswrite)", contains_any<"zsh/system">, 60, RF::ZshModuleLoading, on("z")},
    {"zsh_zpty_module", "zsh/zpty module (pseudo-terminal execution)", contains_any<"zsh/zpty", "zpty">, 55, RF::ZshModuleLoading, on("z")},
    {"zsh_net_tcp", "zsh TCP networking module", contains_any<"zsh/net/tcp", "ztcp">, 55, RF::ZshModuleLoading, on("z")},
    {"zsh_net_socket", "zsh socket networking module", contains_any<"zsh/net/socket", "zsocket">, 55, RF::ZshModuleLoading, on("z")},
    {"zsh_mapfile", "zsh/mapfile (invisible file I/O via array)", contains_any<"zsh/mapfile", "mapfile">, 45, RF::ZshModuleLoading, on("m")},
    {"zsh_files_module", "zsh/files builtins (file operations bypassing PATH)", contains_any<"zsh/files", "zf_rm", "zf_mv", "zf_chmod", "zf_chown", "zf_mkdir", "zf_rmdir", "zf_ln", "zf_chgrp">, 45, RF::ZshModuleLoading, on("z")},
    {"emulate_eval", "emulate -c (eval equivalent in zsh)", contains_all<"emulate", "-c">, 50, RF::CommandExecution, on("u")},
    {"sysopen", "sysopen (direct file descriptor access)", contains_any<"sysopen">, 50, RF::ZshModuleLoading, on("y")},
    {"sysread_syswrite", "sysread/syswrite/sysseek (raw I/O)", contains_any<"sysread", "syswrite", "sysseek">, 50, RF::ZshModuleLoading, on("y")},
    {"glob_qualifier_exec", "Zsh glob qualifier with code execution", contains_any<"(e:", "(+">, 55, RF::ZshGlobExecution, on("(")},
    {"equals_expansion", "Zsh equals expansion (=cmd \u2192 /path/to/cmd)", equals_word, 40, RF::ZshGlobExecution, on("=")},
    {"always_block", "Zsh always block (try/always construct)", contains_any<"always">, 30, RF::ShellInjection, on("w")},
    {"precommand_noglob", "Zsh noglob precommand modifier", starts_or_follows_space<"noglob ">, 20, RF::ShellInjection, on("b")},
    {"zsh_autoload", "Zsh autoload -U (loading functions)", contains_all<"autoload", "-U">, 25, RF::ZshModuleLoading, on("U")},
}};

}  // namespace

std::span<const PatternRule> zsh_rules() noexcept { return kZshRules; }

}  // namespace corvane::rules
