// Fuzzes the whole classification of arbitrary bytes, with a context built
// from the input's first bytes (no context, bash or zsh, odd paths).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "corvane.h"

namespace {

// Takes a short field off the front of the input: a length byte, then bytes.
std::string take(std::string_view& in) {
  if (in.empty()) return {};
  const std::size_t n = static_cast<unsigned char>(in.front()) % 16;
  in.remove_prefix(1);
  const std::string out(in.substr(0, n));
  in.remove_prefix(out.size());
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view in(reinterpret_cast<const char*>(data), size);
  if (in.empty()) return 0;
  const unsigned char mode = static_cast<unsigned char>(in.front());
  in.remove_prefix(1);

  corvane::ClassifyContext ctx;
  if (mode & 0x02) ctx.cwd = take(in);
  if (mode & 0x04) ctx.project_root = take(in);
  if (mode & 0x08) ctx.home_dir = take(in);
  if (mode & 0x10) ctx.protected_paths.push_back(take(in));
  ctx.shell = (mode & 0x20) ? corvane::ShellKind::Zsh : corvane::ShellKind::Bash;
  const corvane::ClassifyContext* c = (mode & 0x01) ? &ctx : nullptr;

  auto r = corvane::classify_inner(in, c, nullptr);
  if (!r.ok()) __builtin_trap();  // the engine must never fail on input
  const auto& result = r.value();
  if (result.score > 100 || result.sub_commands.empty()) __builtin_trap();
  const std::string json = corvane::to_json(result);
  if (json.empty() || json.front() != '{' || json.back() != '}') __builtin_trap();
  return 0;
}
