// `corvane hook`: the pre-tool-use hook convention of coding agents.
//
// The agent runs the hook before every tool call and writes the call as one
// JSON object on standard input:
//
//   {"tool_name": "Bash", "tool_input": {"command": "rm -rf build"},
//    "cwd": "/work/app", "project_dir": "/work/app", ...}
//
// For a Bash call the command is classified with `cwd` and the project root
// (`project_root`, else `project_dir`) as context, and the verdict goes back as
//
//   {"hookSpecificOutput": {"hookEventName": "PreToolUse",
//    "permissionDecision": "allow"|"ask"|"deny", "permissionDecisionReason": "..."}}
//
// Any other tool, or a call without a command, gets no output at all: the
// agent then applies its own permission rules. A payload that cannot be
// understood is an error (exit status 1), never an allow.
#include <cstdlib>
#include <new>
#include <nlohmann/json.hpp>

#include "cli.h"
#include "corvane.h"

namespace corvane::cli {
namespace {

using nlohmann::json;

constexpr std::string_view kSub = "hook";
constexpr int kExitHookError = 1;

// What the hook needs from the payload.
struct HookCall {
  bool applies = false;  // a Bash call with a command
  std::string command;
  std::optional<std::string> cwd;
  std::optional<std::string> project_root;
};

// An optional string member: absent and null give nothing; any other type
// is an error, because a payload we misread must not pass as a safe one.
bool optional_string(const json& object, const char* key, std::optional<std::string>& out,
                     std::string& error) {
  const auto it = object.find(key);
  if (it == object.end() || it->is_null()) return true;
  if (!it->is_string()) {
    error = std::string("payload field \"") + key + "\" is a " + it->type_name() + ", not a string";
    return false;
  }
  out = it->get<std::string>();
  return true;
}

bool read_call(const json& payload, HookCall& call, std::string& error) {
  if (!payload.is_object()) {
    error = std::string("expected a JSON object on standard input, got ") + payload.type_name();
    return false;
  }
  std::optional<std::string> tool_name;
  if (!optional_string(payload, "tool_name", tool_name, error)) return false;
  if (!tool_name) {
    error = "payload has no \"tool_name\"";
    return false;
  }
  if (*tool_name != "Bash") return true;

  const auto input = payload.find("tool_input");
  if (input == payload.end() || input->is_null()) return true;
  if (!input->is_object()) {
    error = std::string("payload field \"tool_input\" is a ") + input->type_name() + ", not an object";
    return false;
  }
  std::optional<std::string> command;
  if (!optional_string(*input, "command", command, error)) return false;
  if (!optional_string(payload, "cwd", call.cwd, error)) return false;
  std::optional<std::string> project_root, project_dir;
  if (!optional_string(payload, "project_root", project_root, error)) return false;
  if (!optional_string(payload, "project_dir", project_dir, error)) return false;
  call.project_root = project_root ? project_root : project_dir;
  if (!command) return true;
  call.applies = true;
  call.command = std::move(*command);
  return true;
}

// The payload gives where the command runs; options given to the hook (for
// instance --protect in the agent's settings) win over it. The home directory
// is this process's HOME unless --home says otherwise.
ClassifyContext context_for(const HookCall& call, const ContextOptions& options) {
  ContextOptions merged = options;
  if (!merged.cwd) merged.cwd = call.cwd;
  if (!merged.project_root) merged.project_root = call.project_root;
  if (!merged.home_dir) {
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') merged.home_dir = home;
  }
  return merged.to_context();
}

std::string_view permission_for(QuickDecision d) noexcept {
  switch (d) {
    case QuickDecision::Safe: return "allow";
    case QuickDecision::Risky: return "ask";
    case QuickDecision::Blocked: return "deny";
  }
  return "deny";
}

std::string decision_json(const AnalysisResult& r) {
  std::string reason = "corvane: ";
  reason.append(to_string(r.quick_decision)).append(" (score ").append(std::to_string(r.score));
  reason.append(", ").append(to_string(r.level)).append("): ").append(r.reason);
  const nlohmann::ordered_json out = {
      {"hookSpecificOutput",
       {{"hookEventName", "PreToolUse"},
        {"permissionDecision", permission_for(r.quick_decision)},
        {"permissionDecisionReason", reason}}}};
  // The reason quotes the command, which need not be valid UTF-8.
  return out.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

int fail(std::string_view message) {
  report(message, kSub);
  return kExitHookError;
}

std::optional<json> parse_payload(const std::string& text, std::string& error) {
  try {
    return json::parse(text);
  } catch (const json::exception& e) {
    // The message quotes the offending input, which may hold anything.
    error = "malformed JSON on standard input: " + printable(e.what());
    return std::nullopt;
  }
}

}  // namespace

int run_hook(std::span<const std::string_view> args) {
  Options options;
  std::string error;
  if (!parse_options(Subcommand::Hook, args, options, error)) {
    report(error + " (try 'corvane --help')", kSub);
    return kExitUsage;
  }
  if (options.help) return write_stdout(help_text(Subcommand::Hook)) ? 0 : kExitIo;
  if (!options.commands.empty()) {
    report("takes no commands; it reads the tool call as JSON on standard input", kSub);
    return kExitUsage;
  }

  const std::optional<std::string> text = read_stdin(error);
  if (!text) return fail(error);
  const std::optional<json> payload = parse_payload(*text, error);
  if (!payload) return fail(error);
  HookCall call;
  if (!read_call(*payload, call, error)) return fail(error);
  if (!call.applies) return 0;

  const ClassifyContext ctx = context_for(call, options.context);
  const Outcome<AnalysisResult> result = corvane::classify(call.command, &ctx);
  if (!result) return fail(result.fault().message);
  if (!write_stdout(decision_json(result.value())) || !flush_stdout()) {
    return fail("cannot write standard output");
  }
  return 0;
}

}  // namespace corvane::cli
