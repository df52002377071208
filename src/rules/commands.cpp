#include "rules/commands.h"

#include <algorithm>
#include <array>

#include "text.h"

namespace corvane::rules {
namespace {

using I = Intent;
using R = Reversibility;
using F = RiskFactor;

// Dangerous flags and sub-commands, per command, in matching order. The first
// token of a rule is the flag text reported for it.

constexpr FlagRule kFindFlags[] = {
    {{"-exec"}, 30, F::CommandExecution, "Executes a command for each matched file"},
    {{"-execdir"}, 30, F::CommandExecution, "Executes a command in the directory of each matched file"},
    {{"-delete"}, 35, F::RecursiveDelete, "Deletes matched files"},
};

constexpr FlagRule kSedFlags[] = {
    {{"-i"}, 10, F::Write, "In-place edit modifies the original file"},
};

constexpr FlagRule kTarFlags[] = {
    {{"--checkpoint-action=exec="}, 40, F::CommandExecution, "Executes arbitrary command via checkpoint action"},
};

constexpr FlagRule kRmFlags[] = {
    {{"-rf"}, 30, F::RecursiveDelete, "Recursive forced deletion without prompts"},
    {{"-fr"}, 30, F::RecursiveDelete, "Recursive forced deletion without prompts"},
    {{"--recursive", "--force"}, 30, F::RecursiveDelete, "Recursive forced deletion without prompts"},
    {{"--no-preserve-root"}, 50, F::RecursiveDelete, "Allows deletion of the root filesystem"},
};

constexpr FlagRule kCurlFlags[] = {
    {{"-X", "POST"}, 15, F::NetworkExfiltration, "HTTP POST can exfiltrate data"},
    {{"-X", "PUT"}, 15, F::NetworkExfiltration, "HTTP PUT can upload data"},
    {{"-X", "DELETE"}, 15, F::NetworkExfiltration, "HTTP DELETE can destroy remote resources"},
    {{"-d"}, 10, F::NetworkExfiltration, "Sends data in request body"},
    {{"--data"}, 10, F::NetworkExfiltration, "Sends data in request body"},
    {{"-T"}, 15, F::NetworkExfiltration, "Uploads a file to a remote server"},
    {{"-o"}, 10, F::Write, "Writes response to a file"},
};

constexpr FlagRule kWgetFlags[] = {
    {{"--post-file"}, 20, F::NetworkExfiltration, "Posts file content to a remote server"},
    {{"--post-data"}, 15, F::NetworkExfiltration, "Posts data to a remote server"},
};

constexpr FlagRule kSshFlags[] = {
    {{"-R"}, 25, F::NetworkExfiltration, "Creates a reverse tunnel exposing local services"},
    {{"-L"}, 15, F::NetworkExfiltration, "Creates a local forward tunnel"},
};

constexpr FlagRule kChmodFlags[] = {
    {{"777"}, 20, F::PrivilegeEscalation, "World-readable/writable/executable permissions"},
    {{"+s"}, 30, F::PrivilegeEscalation, "Sets the setuid/setgid bit"},
    {{"u+s"}, 30, F::PrivilegeEscalation, "Sets the setuid bit for the owner"},
    {{"g+s"}, 25, F::PrivilegeEscalation, "Sets the setgid bit for the group"},
};

constexpr FlagRule kNpmFlags[] = {
    {{"publish"}, 20, F::NetworkExfiltration, "Publishes a package to the npm registry"},
    {{"run"}, 15, F::CommandExecution, "Runs an arbitrary script defined in package.json"},
    {{"exec"}, 20, F::UntrustedExecution, "Executes a package binary, potentially downloading it first"},
};

constexpr FlagRule kGitFlags[] = {
    {{"push", "--force"}, 30, F::GitHistoryDestruction, "Force push overwrites remote branch history"},
    {{"push", "-f"}, 30, F::GitHistoryDestruction, "Force push overwrites remote branch history"},
    {{"push", "--force-with-lease"}, 15, F::GitHistoryDestruction, "Force push with lease, safer but still rewrites history"},
    {{"reset", "--hard"}, 25, F::GitHistoryDestruction, "Hard reset discards all uncommitted changes"},
    {{"clean", "-fd"}, 25, F::GitHistoryDestruction, "Removes untracked files and directories"},
    {{"clean", "-fxd"}, 30, F::GitHistoryDestruction, "Removes all untracked and ignored files and directories"},
    {{"checkout", "--", "."}, 20, F::GitHistoryDestruction, "Discards all uncommitted changes in working directory"},
    {{"branch", "-D"}, 15, F::GitHistoryDestruction, "Force deletes a branch regardless of merge status"},
};

constexpr FlagRule kDockerFlags[] = {
    {{"run", "--privileged"}, 35, F::PrivilegeEscalation, "Privileged container has full host access"},
    {{"run", "-v", "/:/host"}, 40, F::PrivilegeEscalation, "Mounts entire host filesystem into container"},
};

constexpr FlagRule kKubectlFlags[] = {
    {{"delete"}, 25, F::RecursiveDelete, "Deletes Kubernetes resources"},
    {{"exec"}, 20, F::CommandExecution, "Executes a command inside a running pod"},
};

// One row per command name, grouped as commands that behave alike.
constexpr CommandRule kCommands[] = {
    {"ls", I::Info, R::Reversible, "", {}},
    {"pwd", I::Info, R::Reversible, "", {}},
    {"whoami", I::Info, R::Reversible, "T1033", {}},
    {"hostname", I::Info, R::Reversible, "T1082", {}},
    {"uname", I::Info, R::Reversible, "T1082", {}},
    {"date", I::Info, R::Reversible, "", {}},
    {"uptime", I::Info, R::Reversible, "", {}},
    {"id", I::Info, R::Reversible, "T1033", {}},
    {"groups", I::Info, R::Reversible, "T1069", {}},
    {"printenv", I::Info, R::Reversible, "", {}},
    {"echo", I::Info, R::Reversible, "", {}},
    {"printf", I::Info, R::Reversible, "", {}},
    {"true", I::Info, R::Reversible, "", {}},
    {"false", I::Info, R::Reversible, "", {}},
    {"test", I::Info, R::Reversible, "", {}},
    {"which", I::Info, R::Reversible, "", {}},
    {"type", I::Info, R::Reversible, "", {}},
    {"file", I::Info, R::Reversible, "", {}},
    {"wc", I::Info, R::Reversible, "", {}},
    {"du", I::Info, R::Reversible, "", {}},
    {"df", I::Info, R::Reversible, "", {}},
    {"find", I::Search, R::Reversible, "T1083", kFindFlags},
    {"grep", I::Search, R::Reversible, "", {}},
    {"rg", I::Search, R::Reversible, "", {}},
    {"fd", I::Search, R::Reversible, "", {}},
    {"ag", I::Search, R::Reversible, "", {}},
    {"locate", I::Search, R::Reversible, "T1083", {}},
    {"whereis", I::Search, R::Reversible, "", {}},
    {"cat", I::Read, R::Reversible, "T1005", {}},
    {"head", I::Read, R::Reversible, "", {}},
    {"tail", I::Read, R::Reversible, "", {}},
    {"less", I::Read, R::Reversible, "", {}},
    {"more", I::Read, R::Reversible, "", {}},
    {"bat", I::Read, R::Reversible, "", {}},
    {"xxd", I::Read, R::Reversible, "", {}},
    {"base64", I::Read, R::Reversible, "T1140", {}},
    {"strings", I::Read, R::Reversible, "", {}},
    {"hexdump", I::Read, R::Reversible, "", {}},
    {"od", I::Read, R::Reversible, "", {}},
    {"cp", I::Write, R::Reversible, "", {}},
    {"mv", I::Write, R::HardToReverse, "", {}},
    {"tee", I::Write, R::Reversible, "", {}},
    {"touch", I::Write, R::Reversible, "", {}},
    {"mkdir", I::Write, R::Reversible, "", {}},
    {"ln", I::Write, R::Reversible, "", {}},
    {"install", I::Write, R::Reversible, "", {}},
    {"patch", I::Write, R::Reversible, "", {}},
    {"sed", I::Write, R::HardToReverse, "", kSedFlags},
    {"awk", I::Write, R::Reversible, "", {}},
    {"tar", I::Write, R::Reversible, "T1560", kTarFlags},
    {"rm", I::Delete, R::Irreversible, "T1485", kRmFlags},
    {"rmdir", I::Delete, R::Irreversible, "", {}},
    {"unlink", I::Delete, R::Irreversible, "", {}},
    {"shred", I::Delete, R::Irreversible, "T1485", {}},
    {"bash", I::Execute, R::HardToReverse, "T1059.004", {}},
    {"sh", I::Execute, R::HardToReverse, "T1059.004", {}},
    {"zsh", I::Execute, R::HardToReverse, "T1059.004", {}},
    {"fish", I::Execute, R::HardToReverse, "T1059.004", {}},
    {"dash", I::Execute, R::HardToReverse, "T1059.004", {}},
    {"eval", I::Execute, R::HardToReverse, "T1059.004", {}},
    {"exec", I::Execute, R::HardToReverse, "T1059.004", {}},
    {"source", I::Execute, R::HardToReverse, "T1059.004", {}},
    {"python", I::Execute, R::HardToReverse, "T1059.006", {}},
    {"python3", I::Execute, R::HardToReverse, "T1059.006", {}},
    {"node", I::Execute, R::HardToReverse, "T1059.007", {}},
    {"deno", I::Execute, R::HardToReverse, "T1059.007", {}},
    {"bun", I::Execute, R::HardToReverse, "T1059.007", {}},
    {"ruby", I::Execute, R::HardToReverse, "T1059", {}},
    {"perl", I::Execute, R::HardToReverse, "T1059", {}},
    {"php", I::Execute, R::HardToReverse, "T1059", {}},
    {"lua", I::Execute, R::HardToReverse, "T1059", {}},
    {"java", I::Execute, R::HardToReverse, "T1059", {}},
    {"curl", I::Network, R::HardToReverse, "T1071", kCurlFlags},
    {"wget", I::Network, R::HardToReverse, "T1071", kWgetFlags},
    {"ssh", I::Network, R::HardToReverse, "T1021.004", kSshFlags},
    {"scp", I::Network, R::HardToReverse, "T1021.004", {}},
    {"rsync", I::Network, R::HardToReverse, "T1105", {}},
    {"nc", I::Network, R::HardToReverse, "T1095", {}},
    {"ncat", I::Network, R::HardToReverse, "T1095", {}},
    {"socat", I::Network, R::HardToReverse, "T1095", {}},
    {"telnet", I::Network, R::HardToReverse, "T1095", {}},
    {"ftp", I::Network, R::HardToReverse, "T1071", {}},
    {"sftp", I::Network, R::HardToReverse, "T1071", {}},
    {"ping", I::Network, R::Reversible, "T1018", {}},
    {"dig", I::Network, R::Reversible, "T1018", {}},
    {"nslookup", I::Network, R::Reversible, "T1018", {}},
    {"host", I::Network, R::Reversible, "T1018", {}},
    {"kill", I::ProcessControl, R::Irreversible, "T1489", {}},
    {"killall", I::ProcessControl, R::Irreversible, "T1489", {}},
    {"pkill", I::ProcessControl, R::Irreversible, "T1489", {}},
    {"nohup", I::ProcessControl, R::HardToReverse, "", {}},
    {"disown", I::ProcessControl, R::HardToReverse, "", {}},
    {"bg", I::ProcessControl, R::Reversible, "", {}},
    {"fg", I::ProcessControl, R::Reversible, "", {}},
    {"jobs", I::ProcessControl, R::Reversible, "", {}},
    {"nice", I::ProcessControl, R::Reversible, "", {}},
    {"renice", I::ProcessControl, R::Reversible, "", {}},
    {"timeout", I::ProcessControl, R::Reversible, "", {}},
    {"sudo", I::Privilege, R::HardToReverse, "T1548.003", {}},
    {"su", I::Privilege, R::HardToReverse, "T1548.003", {}},
    {"chmod", I::Privilege, R::HardToReverse, "T1222", kChmodFlags},
    {"chown", I::Privilege, R::HardToReverse, "T1222", {}},
    {"chgrp", I::Privilege, R::HardToReverse, "T1222", {}},
    {"chroot", I::Privilege, R::HardToReverse, "T1548", {}},
    {"passwd", I::Privilege, R::HardToReverse, "T1098", {}},
    {"useradd", I::Privilege, R::HardToReverse, "T1136", {}},
    {"userdel", I::Privilege, R::Irreversible, "T1531", {}},
    {"visudo", I::Privilege, R::HardToReverse, "T1548.003", {}},
    {"npm", I::PackageInstall, R::HardToReverse, "T1195.002", kNpmFlags},
    {"yarn", I::PackageInstall, R::HardToReverse, "T1195.002", {}},
    {"pnpm", I::PackageInstall, R::HardToReverse, "T1195.002", {}},
    {"pip", I::PackageInstall, R::HardToReverse, "T1195.002", {}},
    {"pip3", I::PackageInstall, R::HardToReverse, "T1195.002", {}},
    {"cargo", I::PackageInstall, R::HardToReverse, "T1195.002", {}},
    {"apt", I::PackageInstall, R::HardToReverse, "T1195.002", {}},
    {"apt-get", I::PackageInstall, R::HardToReverse, "T1195.002", {}},
    {"brew", I::PackageInstall, R::HardToReverse, "T1195.002", {}},
    {"gem", I::PackageInstall, R::HardToReverse, "T1195.002", {}},
    {"go", I::PackageInstall, R::HardToReverse, "T1195.002", {}},
    {"git", I::GitMutation, R::HardToReverse, "", kGitFlags},
    {"export", I::EnvModify, R::HardToReverse, "", {}},
    {"unset", I::EnvModify, R::HardToReverse, "", {}},
    {"set", I::EnvModify, R::HardToReverse, "", {}},
    {"env", I::EnvModify, R::HardToReverse, "", {}},
    {"alias", I::EnvModify, R::HardToReverse, "", {}},
    {"declare", I::EnvModify, R::HardToReverse, "", {}},
    {"typeset", I::EnvModify, R::HardToReverse, "", {}},
    {"docker", I::Execute, R::HardToReverse, "T1610", kDockerFlags},
    {"kubectl", I::Execute, R::HardToReverse, "T1609", kKubectlFlags},
    {"xargs", I::Execute, R::HardToReverse, "", {}},
    {"dd", I::Write, R::Irreversible, "T1561", {}},
    {"crontab", I::Write, R::HardToReverse, "T1053.003", {}},
    {"at", I::Execute, R::HardToReverse, "T1053.002", {}},
    {"sort", I::Info, R::Reversible, "", {}},
    {"uniq", I::Info, R::Reversible, "", {}},
    {"cut", I::Info, R::Reversible, "", {}},
    {"tr", I::Info, R::Reversible, "", {}},
    {"diff", I::Info, R::Reversible, "", {}},
    {"ps", I::Info, R::Reversible, "T1057", {}},
    {"top", I::Info, R::Reversible, "T1057", {}},
    {"htop", I::Info, R::Reversible, "T1057", {}},
    {"lsof", I::Info, R::Reversible, "T1057", {}},
    {"netstat", I::Info, R::Reversible, "T1049", {}},
    {"ss", I::Info, R::Reversible, "T1049", {}},
    {"ifconfig", I::Info, R::Reversible, "T1016", {}},
    {"ip", I::Info, R::Reversible, "T1016", {}},
    {"mount", I::Privilege, R::HardToReverse, "", {}},
    {"umount", I::Privilege, R::HardToReverse, "", {}},
    {"systemctl", I::ProcessControl, R::HardToReverse, "T1543.002", {}},
    {"service", I::ProcessControl, R::HardToReverse, "T1543.002", {}},
    {"iptables", I::Privilege, R::HardToReverse, "T1562.004", {}},
    {"openssl", I::Network, R::Reversible, "T1573", {}},
    {"gpg", I::Read, R::Reversible, "", {}},
    {"zip", I::Write, R::Reversible, "T1560", {}},
    {"unzip", I::Write, R::Reversible, "", {}},
    {"gzip", I::Write, R::Reversible, "T1560", {}},
    {"gunzip", I::Write, R::Reversible, "", {}},
};

static_assert(std::size(kCommands) == 157);

// Names must be unique: lookup stops at the first equal row.
consteval bool names_unique() {
  for (std::size_t i = 0; i < std::size(kCommands); ++i)
    for (std::size_t j = i + 1; j < std::size(kCommands); ++j)
      if (kCommands[i].name == kCommands[j].name) return false;
  return true;
}
static_assert(names_unique());

// Row indices in name order, for a binary search. Names are unique, so the row
// found is the one a scan in table order would find.
constexpr auto kByName = [] {
  std::array<std::uint8_t, std::size(kCommands)> order{};
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint8_t>(i);
  std::sort(order.begin(), order.end(),
            [](std::uint8_t a, std::uint8_t b) { return kCommands[a].name < kCommands[b].name; });
  return order;
}();

// A token is present when a word equals it or is the token's "name=value"
// spelling (`--data=@f` presents "--data"). A token that already ends in "="
// (tar's "--checkpoint-action=exec=") would otherwise only match itself or a
// doubled "=="; the dangerous spelling carries the command right after the
// "=", as in `--checkpoint-action=exec=sh x.sh`, so such a token is present
// whenever a word begins with it.
bool token_present(std::span<const std::string_view> words, std::string_view token) {
  const bool open_value = token.ends_with('=');
  for (std::string_view w : words) {
    if (!w.starts_with(token)) continue;
    if (w.size() == token.size() || open_value || w[token.size()] == '=') return true;
  }
  return false;
}

}  // namespace

std::span<const CommandRule> command_rules() noexcept { return kCommands; }

const CommandRule* lookup_command(std::string_view executable) noexcept {
  const std::string_view key = text::base_name(executable);
  const auto it = std::lower_bound(kByName.begin(), kByName.end(), key,
                                   [](std::uint8_t row, std::string_view k) { return kCommands[row].name < k; });
  if (it == kByName.end() || kCommands[*it].name != key) return nullptr;
  return &kCommands[*it];
}

std::vector<FlagAnalysis> match_flag_rules(const CommandRule& rule, std::string_view segment_text) {
  if (rule.flag_rules.empty()) return {};
  // Quotes stay part of their words and nothing is expanded: the flag rules
  // look at the text as typed.
  return match_flag_rules(rule, text::split_words(segment_text));
}

std::vector<FlagAnalysis> match_flag_rules(const CommandRule& rule,
                                           std::span<const std::string_view> words) {
  std::vector<FlagAnalysis> flags;
  for (const FlagRule& fr : rule.flag_rules) {
    bool all = true;
    for (std::size_t t = 0; t < fr.token_count() && all; ++t) all = token_present(words, fr.tokens[t]);
    if (all)
      flags.push_back({std::string(fr.tokens[0]), fr.modifier, fr.risk_factor, std::string(fr.description)});
  }
  return flags;
}

}  // namespace corvane::rules
