#include "rules/capabilities.h"

#include <algorithm>
#include <array>

#include "text.h"

namespace corvane::rules {
namespace {

using enum BinaryCapability;

// A row's abilities, in the order they are reported.
template <BinaryCapability... Cs>
constexpr std::array<BinaryCapability, sizeof...(Cs)> caps = {Cs...};

constexpr CapabilityEntry kCapabilities[] = {
    {"vim", caps<Shell, FileRead, FileWrite>},
    {"vi", caps<Shell, FileRead, FileWrite>},
    {"nano", caps<Shell, FileRead, FileWrite>},
    {"emacs", caps<Shell, FileRead, FileWrite, Command>},
    {"less", caps<Shell, FileRead>},
    {"more", caps<Shell, FileRead>},
    {"man", caps<Shell>},
    {"ftp", caps<Shell, Upload, Download>},
    {"gdb", caps<Shell, Command, FileRead, FileWrite>},
    {"nmap", caps<Shell, Command>},
    {"awk", caps<Shell, Command, FileRead>},
    {"gawk", caps<Shell, Command, FileRead>},
    {"find", caps<Command, Shell>},
    {"xargs", caps<Command>},
    {"tar", caps<Command, FileRead, FileWrite>},
    {"zip", caps<Command, FileRead>},
    {"expect", caps<Shell, Command>},
    {"strace", caps<Command>},
    {"ltrace", caps<Command>},
    {"nice", caps<Command>},
    {"time", caps<Command>},
    {"timeout", caps<Command>},
    {"watch", caps<Command>},
    {"env", caps<Command>},
    {"crontab", caps<Command>},
    {"at", caps<Command>},
    {"curl", caps<Download, Upload, FileRead>},
    {"wget", caps<Download, FileWrite>},
    {"dd", caps<FileRead, FileWrite>},
    {"base64", caps<FileRead>},
    {"xxd", caps<FileRead, FileWrite>},
    {"od", caps<FileRead>},
    {"hexdump", caps<FileRead>},
    {"strings", caps<FileRead>},
    {"diff", caps<FileRead>},
    {"head", caps<FileRead>},
    {"tail", caps<FileRead>},
    {"sort", caps<FileRead>},
    {"tee", caps<FileWrite>},
    {"cp", caps<FileWrite>},
    {"mv", caps<FileWrite>},
    {"install", caps<FileWrite>},
    {"sed", caps<FileRead, FileWrite>},
    {"ssh", caps<Shell, Command, Upload, Download>},
    {"scp", caps<Upload, Download>},
    {"nc", caps<ReverseShell, BindShell, Upload, Download>},
    {"ncat", caps<ReverseShell, BindShell, Upload, Download>},
    {"socat", caps<ReverseShell, BindShell, Upload, Download, Shell>},
    {"rsync", caps<Upload, Download, Command>},
    {"openssl", caps<ReverseShell, FileRead, FileWrite>},
    {"telnet", caps<ReverseShell>},
    {"python", caps<Shell, Command, ReverseShell, FileRead, FileWrite, Download>},
    {"python3", caps<Shell, Command, ReverseShell, FileRead, FileWrite, Download>},
    {"perl", caps<Shell, Command, ReverseShell, FileRead, FileWrite>},
    {"ruby", caps<Shell, Command, ReverseShell, FileRead, FileWrite>},
    {"php", caps<Shell, Command, ReverseShell, FileRead, FileWrite>},
    {"node", caps<Shell, Command, ReverseShell, FileRead, FileWrite>},
    {"lua", caps<Shell, Command, FileRead>},
    {"docker", caps<Shell, PrivilegeEscalation, FileRead, FileWrite>},
    {"pkexec", caps<PrivilegeEscalation, Command>},
    {"doas", caps<PrivilegeEscalation, Command>},
    {"ld.so", caps<LibraryLoad, Command>},
};

static_assert(std::size(kCapabilities) == 62);

// Lookup stops at the first equal name, and a row lists each ability once.
consteval bool rows_well_formed() {
  for (std::size_t i = 0; i < std::size(kCapabilities); ++i) {
    const auto& list = kCapabilities[i].capabilities;
    if (list.empty()) return false;
    for (std::size_t a = 0; a < list.size(); ++a)
      for (std::size_t b = a + 1; b < list.size(); ++b)
        if (list[a] == list[b]) return false;
    for (std::size_t j = i + 1; j < std::size(kCapabilities); ++j)
      if (kCapabilities[i].binary == kCapabilities[j].binary) return false;
  }
  return true;
}
static_assert(rows_well_formed());

// Row indices in name order, for a binary search; names are unique.
constexpr auto kByName = [] {
  std::array<std::uint8_t, std::size(kCapabilities)> order{};
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint8_t>(i);
  std::sort(order.begin(), order.end(), [](std::uint8_t a, std::uint8_t b) {
    return kCapabilities[a].binary < kCapabilities[b].binary;
  });
  return order;
}();

}  // namespace

std::span<const CapabilityEntry> capability_table() noexcept { return kCapabilities; }

std::vector<BinaryCapability> lookup_capabilities(std::string_view executable) {
  const std::string_view key = text::base_name(executable);
  const auto it = std::lower_bound(kByName.begin(), kByName.end(), key, [](std::uint8_t row, std::string_view k) {
    return kCapabilities[row].binary < k;
  });
  if (it == kByName.end() || kCapabilities[*it].binary != key) return {};
  const CapabilityEntry& e = kCapabilities[*it];
  return {e.capabilities.begin(), e.capabilities.end()};
}

}  // namespace corvane::rules
