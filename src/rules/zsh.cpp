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

constexpr std::array<PatternRule, 15> kZshRules = {{
    {"zmodload", "Loading zsh modules (can enable dangerous builtins)", any_of<"zmodload">, 55, RF::ZshModuleLoading},
    {"zsh_system_module", "zsh/system module (sysopen, sysread, syswrite)", any_of<"zsh/system">, 60, RF::ZshModuleLoading},
    {"zsh_zpty_module", "zsh/zpty module (pseudo-terminal execution)", any_of<"zsh/zpty", "zpty">, 55, RF::ZshModuleLoading},
    {"zsh_net_tcp", "zsh TCP networking module", any_of<"zsh/net/tcp", "ztcp">, 55, RF::ZshModuleLoading},
    {"zsh_net_socket", "zsh socket networking module", any_of<"zsh/net/socket", "zsocket">, 55, RF::ZshModuleLoading},
    {"zsh_mapfile", "zsh/mapfile (invisible file I/O via array)", any_of<"zsh/mapfile", "mapfile">, 45, RF::ZshModuleLoading},
    {"zsh_files_module", "zsh/files builtins (file operations bypassing PATH)", any_of<"zsh/files", "zf_rm", "zf_mv", "zf_chmod", "zf_chown", "zf_mkdir", "zf_rmdir", "zf_ln", "zf_chgrp">, 45, RF::ZshModuleLoading},
    {"emulate_eval", "emulate -c (eval equivalent in zsh)", all_of<"emulate", "-c">, 50, RF::CommandExecution},
    {"sysopen", "sysopen (direct file descriptor access)", any_of<"sysopen">, 50, RF::ZshModuleLoading},
    {"sysread_syswrite", "sysread/syswrite/sysseek (raw I/O)", any_of<"sysread", "syswrite", "sysseek">, 50, RF::ZshModuleLoading},
    {"glob_qualifier_exec", "Zsh glob qualifier with code execution", any_of<"(e:", "(+">, 55, RF::ZshGlobExecution},
    {"equals_expansion", "Zsh equals expansion (=cmd \u2192 /path/to/cmd)", needs_one_of<equals_word, "=">, 40, RF::ZshGlobExecution},
    {"always_block", "Zsh always block (try/always construct)", any_of<"always">, 30, RF::ShellInjection},
    {"precommand_noglob", "Zsh noglob precommand modifier", command_word<"noglob ">, 20, RF::ShellInjection},
    {"zsh_autoload", "Zsh autoload -U (loading functions)", all_of<"autoload", "-U">, 25, RF::ZshModuleLoading},
}};

}  // namespace

std::span<const PatternRule> zsh_rules() noexcept { return kZshRules; }

}  // namespace corvane::rules
