// `corvane hook`: the pre-execution hook of coding agents.
//
// An agent runs the hook before a tool call and writes the call as one JSON
// object on standard input. Each agent has its own shape for that object and
// its own way of reading the answer, so the hook first tells which agent it
// is talking to (from the payload's shape, or --agent), then reads the
// command out of the payload and answers in that agent's form:
//
//   agent     payload (shell call)                          answer
//   claude    tool_name Bash|PowerShell, tool_input.command  hookSpecificOutput.permissionDecision
//   codex     the same, plus turn_id                         the same, deny only
//   factory   tool_name Execute                              as claude
//   gemini    BeforeTool, tool_name run_shell_command        {"decision": ..., "reason": ...}
//   copilot   {toolName, toolArgs} or Claude's shape         flat {"permissionDecision": ...}
//   cursor    beforeShellExecution, top-level command        {"permission": ..., messages}
//   windsurf  pre_run_command, tool_info.command_line        exit 2 and stderr to block
//   cline     preToolUse.{toolName, parameters.command}      {"cancel": true, "errorMessage": ...}
//   amp       {"cmd": ...}                                   exit 0 allow, 1 ask, 2 reject
//
// A safe command gets no decision unless --allow-safe, so the agent's own
// permission rules still apply; a risky one is asked about where the agent can
// ask and denied where it cannot; a blocked one is denied. Other tools and
// other events get no answer at all. Anything that goes wrong fails closed: a
// deny in the agent's form, or exit status 2 with the reason on standard
// error (which every one of these agents takes as a block) when the agent
// cannot be told.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "cli.h"
#include "cli_log.h"
#include "corvane.h"
#include "enum_table.h"

namespace corvane::cli {
namespace {

using nlohmann::json;
using ordered = nlohmann::ordered_json;

constexpr std::string_view kSub = "hook";
constexpr int kExitHookError = 1;  // --fail-open: the agent's own error path
constexpr int kExitDeny = 2;       // a block for every agent above

// The payload is read whole, but no agent sends megabytes for one tool call:
// past these the call is denied without being parsed or classified.
constexpr std::size_t kMaxPayloadBytes = std::size_t{8} << 20;
constexpr std::size_t kMaxCommandBytes = std::size_t{1} << 20;
// What the agent is shown is at most this long.
constexpr std::size_t kMaxReasonBytes = 1024;
constexpr std::size_t kCommandExcerptBytes = 120;

enum class Agent : unsigned char { Claude, Codex, Gemini, Copilot, Cursor, Windsurf, Cline, Factory, Amp };
enum class Decision : unsigned char { None, Allow, Ask, Deny };

struct AgentRow {
  Agent agent;
  std::string_view name;
  bool can_ask;             // has an "ask the user" answer
  bool can_allow;           // has a plain "allow" answer
  const char* project_env;  // where it names the project root, if anywhere
};

// clang-format off
constexpr std::array<AgentRow, kEnumSize<Agent>> kAgents{{
  {Agent::Claude,   "claude",   true,  true,  "CLAUDE_PROJECT_DIR"},
  {Agent::Codex,    "codex",    false, false, nullptr},
  {Agent::Gemini,   "gemini",   true,  true,  "GEMINI_PROJECT_DIR"},
  {Agent::Copilot,  "copilot",  true,  true,  nullptr},
  {Agent::Cursor,   "cursor",   true,  true,  "CURSOR_PROJECT_DIR"},
  {Agent::Windsurf, "windsurf", false, false, nullptr},
  {Agent::Cline,    "cline",    false, false, nullptr},
  {Agent::Factory,  "factory",  true,  true,  "FACTORY_PROJECT_DIR"},
  {Agent::Amp,      "amp",      true,  true,  nullptr},
}};
// clang-format on
static_assert([] {
  for (std::size_t i = 0; i < kAgents.size(); ++i) {
    if (ordinal(kAgents[i].agent) != i) return false;
  }
  return true;
}());

const AgentRow& row_for(Agent a) noexcept { return kAgents[ordinal(a)]; }

std::optional<Agent> agent_named(std::string_view name) noexcept {
  for (const AgentRow& row : kAgents) {
    if (row.name == name) return row.agent;
  }
  return std::nullopt;
}

std::string_view decision_name(Decision d) noexcept {
  switch (d) {
    case Decision::None: return "none";
    case Decision::Allow: return "allow";
    case Decision::Ask: return "ask";
    case Decision::Deny: return "deny";
  }
  return "deny";
}

// Names under which the agents above run a shell command, and the events
// that come before one. A payload without an event name was sent to a hook
// registered for the pre-execution event, so it counts as one.
// clang-format off
constexpr std::array<std::string_view, 8> kShellTools{
  "Bash", "PowerShell", "bash", "powershell", "run_shell_command", "Execute", "execute_command", "Shell",
};
constexpr std::array<std::string_view, 5> kBeforeEvents{
  "PreToolUse", "preToolUse", "BeforeTool", "beforeShellExecution", "pre_run_command",
};
// clang-format on

bool listed(std::string_view name, std::span<const std::string_view> names) noexcept {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// A payload this hook could not read or refuses to read.
struct Unreadable {
  std::string message;
};

// What the hook takes from the payload.
struct Call {
  Agent agent = Agent::Claude;
  bool applies = false;  // a shell call, before it runs, with a command
  std::string command;
  std::optional<std::string> cwd;
  std::optional<std::string> project_root;
};

// Payload readers. An absent or null member gives nothing; a member of the
// wrong type is an error, because a payload we misread must not pass.
class Reader {
 public:
  explicit Reader(std::string& error) : error_(error) {}

  bool string(const json& object, const char* key, std::optional<std::string>& out) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) return true;
    if (!it->is_string()) return wrong_type(key, *it, "a string");
    out = it->get<std::string>();
    return true;
  }

  // An object member; nullptr when absent or null.
  bool object(const json& parent, const char* key, const json*& out) {
    out = nullptr;
    const auto it = parent.find(key);
    if (it == parent.end() || it->is_null()) return true;
    if (!it->is_object()) return wrong_type(key, *it, "an object");
    out = &*it;
    return true;
  }

  // The first string of an array member such as workspace_roots.
  bool first_string(const json& object, const char* key, std::optional<std::string>& out) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) return true;
    if (!it->is_array()) return wrong_type(key, *it, "an array");
    if (!it->empty() && it->front().is_string()) out = it->front().get<std::string>();
    return true;
  }

  bool fail(std::string message) {
    error_ = std::move(message);
    return false;
  }

 private:
  bool wrong_type(const char* key, const json& value, const char* wanted) {
    return fail(std::string("payload field \"") + key + "\" is a " + value.type_name() + ", not " + wanted);
  }
  std::string& error_;
};

bool has(const json& object, const char* key) { return object.contains(key); }

// A member's text when it is a string, else nothing.
std::string_view string_member(const json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return {};
  return it->get_ref<const std::string&>();
}

std::string_view string_member_env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string_view() : std::string_view(value);
}

// Which agent sent this payload, from the members only it sends.
std::optional<Agent> detect(const json& p) {
  if (has(p, "tool_info") || has(p, "agent_action_name")) return Agent::Windsurf;
  if (has(p, "preToolUse") || has(p, "hookName") || has(p, "clineVersion")) return Agent::Cline;
  if (has(p, "toolName") || has(p, "toolArgs")) return Agent::Copilot;
  const auto event = p.find("hook_event_name");
  const std::string_view event_name = string_member(p, "hook_event_name");
  if (has(p, "tool_name")) {
    const std::string_view tool_name = string_member(p, "tool_name");
    if (event_name == "BeforeTool" || event_name == "AfterTool" || tool_name == "run_shell_command") {
      return Agent::Gemini;
    }
    if (tool_name == "Execute") return Agent::Factory;
    if (has(p, "cursor_version") || has(p, "conversation_id")) return Agent::Cursor;
    if (has(p, "turn_id")) return Agent::Codex;
    if (has(p, "timestamp")) return Agent::Copilot;  // its Claude-style form adds one
    return Agent::Claude;
  }
  if (has(p, "command") || event_name == "beforeShellExecution" || has(p, "cursor_version")) return Agent::Cursor;
  if (has(p, "cmd")) return Agent::Amp;
  if (event != p.end()) return Agent::Claude;  // an event without a tool, such as SessionStart
  if (string_member_env("AGENT") == "amp") return Agent::Amp;
  return std::nullopt;
}

// Reads the shell call out of a payload of any of the shapes above; the
// agent only decides the answer's form. Returns false with `error` set when a
// member has the wrong type.
bool read_call(const json& p, Call& call, std::string& error) {
  Reader r(error);
  std::optional<std::string> event, tool, command;
  if (call.agent == Agent::Amp) {
    // Amp names the tool in the environment and sends only its parameters.
    if (const char* name = std::getenv("AGENT_TOOL_NAME"); name != nullptr && *name != '\0' &&
                                                             std::string_view(name) != "Bash") {
      return true;
    }
  }
  if (has(p, "tool_info") || has(p, "agent_action_name")) {  // Windsurf
    const json* info = nullptr;
    if (!r.string(p, "agent_action_name", event) || !r.object(p, "tool_info", info)) return false;
    if (info != nullptr && (!r.string(*info, "command_line", command) || !r.string(*info, "cwd", call.cwd))) {
      return false;
    }
  } else if (has(p, "preToolUse") || has(p, "hookName") || has(p, "clineVersion")) {  // Cline
    const json* pre = nullptr;
    const json* params = nullptr;
    if (!r.string(p, "hookName", event) || !r.object(p, "preToolUse", pre)) return false;
    if (pre != nullptr && (!r.string(*pre, "toolName", tool) || !r.object(*pre, "parameters", params))) return false;
    if (params != nullptr && !r.string(*params, "command", command)) return false;
    if (!r.first_string(p, "workspaceRoots", call.project_root)) return false;
    call.cwd = call.project_root;
    if (pre == nullptr) tool = "";  // not a tool call at all
  } else if (has(p, "toolName") || has(p, "toolArgs")) {  // Copilot, camelCase
    if (!r.string(p, "hook_event_name", event) || !r.string(p, "toolName", tool)) return false;
    if (!r.string(p, "cwd", call.cwd)) return false;
    if (has(p, "toolResult")) return true;  // postToolUse: the call has run
    const auto args = p.find("toolArgs");
    if (args != p.end() && !args->is_null()) {
      // An object, or (older releases) the same object encoded as a string.
      json decoded;
      const json* object = &*args;
      if (args->is_string()) {
        decoded = json::parse(args->get_ref<const std::string&>(), nullptr, false);
        if (decoded.is_discarded()) return r.fail("payload field \"toolArgs\" is a string that is not JSON");
        object = &decoded;
      }
      if (!object->is_object()) {
        return r.fail(std::string("payload field \"toolArgs\" is a ") + object->type_name() + ", not an object");
      }
      if (!r.string(*object, "command", command)) return false;
    }
  } else if (has(p, "tool_name")) {  // Claude, Codex, Gemini, Factory, Copilot's other form
    const json* input = nullptr;
    if (!r.string(p, "hook_event_name", event) || !r.string(p, "tool_name", tool)) return false;
    if (!r.object(p, "tool_input", input) || !r.string(p, "cwd", call.cwd)) return false;
    if (input != nullptr && !r.string(*input, "command", command)) return false;
    std::optional<std::string> project_root, project_dir;
    if (!r.string(p, "project_root", project_root) || !r.string(p, "project_dir", project_dir)) return false;
    call.project_root = project_root ? project_root : project_dir;
    if (!call.project_root && !r.first_string(p, "workspace_roots", call.project_root)) return false;
    if (!tool) return r.fail("payload field \"tool_name\" is null, not a string");
  } else if (has(p, "cmd")) {  // Amp
    if (!r.string(p, "cmd", command) || !r.string(p, "cwd", call.cwd)) return false;
  } else if (has(p, "command") || has(p, "hook_event_name")) {  // Cursor
    if (!r.string(p, "hook_event_name", event) || !r.string(p, "command", command)) return false;
    if (!r.string(p, "cwd", call.cwd) || !r.first_string(p, "workspace_roots", call.project_root)) return false;
  } else {
    return r.fail("payload is not a tool call of any known agent (try --agent)");
  }
  if (event && !listed(*event, kBeforeEvents)) return true;  // an event after the fact
  if (tool && !listed(*tool, kShellTools)) return true;       // some other tool
  if (!command) return true;
  call.applies = true;
  call.command = std::move(*command);
  return true;
}

std::optional<std::string> env(const char* name) {
  if (name == nullptr) return std::nullopt;
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

bool holds_git(const std::string& dir) {
  struct stat st {};
  return ::stat((dir + "/.git").c_str(), &st) == 0;
}

// Where the command runs, from the payload and the agent's environment; the
// hook's own options win over both. The home directory is this process's
// HOME unless --home says otherwise.
ContextOptions context_for(const Call& call, const ContextOptions& options) {
  ContextOptions merged = options;
  std::optional<std::string> cwd = call.cwd;
  if (!cwd && call.agent == Agent::Amp) {
    // Amp names no directory: its delegate runs in the thread's workspace.
    std::array<char, 4096> buffer;
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) cwd = std::string(buffer.data());
  }
  std::optional<std::string> root = call.project_root;
  if (!root) root = env(row_for(call.agent).project_env);
  if (!root && (call.agent == Agent::Gemini || call.agent == Agent::Cursor)) root = env("CLAUDE_PROJECT_DIR");
  if (!root && cwd && holds_git(*cwd)) root = cwd;
  if (!merged.cwd) merged.cwd = cwd;
  if (!merged.project_root) merged.project_root = root;
  if (!merged.home_dir) merged.home_dir = env("HOME");
  return merged;
}

Decision decide(const AgentRow& agent, QuickDecision verdict, const Options& options) {
  switch (verdict) {
    case QuickDecision::Blocked: return Decision::Deny;
    case QuickDecision::Risky:
      switch (options.risky) {
        case RiskyAnswer::Deny: return Decision::Deny;
        case RiskyAnswer::Allow: break;
        case RiskyAnswer::Ask: return agent.can_ask ? Decision::Ask : Decision::Deny;
      }
      [[fallthrough]];
    case QuickDecision::Safe:
      if (agent.agent == Agent::Amp) return Decision::Allow;  // exit 0 is its allow
      return options.allow_safe && agent.can_allow ? Decision::Allow : Decision::None;
  }
  return Decision::Deny;
}

// The reason the agent sees: the verdict and the engine's reason, made safe
// to show and never longer than kMaxReasonBytes.
std::string reason_for(const AnalysisResult& r) {
  std::string reason = "corvane: ";
  reason.append(to_string(r.quick_decision)).append(" (score ").append(std::to_string(r.score));
  reason.append(", ").append(to_string(r.level)).append("): ").append(printable(r.reason));
  return shortened(reason, kMaxReasonBytes);
}

std::string dump(const ordered& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n"; }

// One answer in the agent's form: what goes to standard output, what goes to
// standard error, and the exit status.
struct Answer {
  std::string out;
  std::string err;
  int status = 0;
};

Answer answer(Agent agent, Decision d, const std::string& reason) {
  Answer a;
  if (d == Decision::None) return a;
  const std::string_view name = decision_name(d);
  switch (agent) {
    case Agent::Claude:
    case Agent::Codex:
    case Agent::Factory:
      a.out = dump({{"hookSpecificOutput",
                     {{"hookEventName", "PreToolUse"},
                      {"permissionDecision", name},
                      {"permissionDecisionReason", reason}}}});
      break;
    case Agent::Gemini: a.out = dump({{"decision", name}, {"reason", reason}}); break;
    case Agent::Copilot: a.out = dump({{"permissionDecision", name}, {"permissionDecisionReason", reason}}); break;
    case Agent::Cursor:
      // Releases have read both spellings of the message fields.
      a.out = dump({{"permission", name},
                    {"user_message", reason},
                    {"agent_message", reason},
                    {"userMessage", reason},
                    {"agentMessage", reason}});
      break;
    case Agent::Cline:
      if (d == Decision::Deny) a.out = dump({{"cancel", true}, {"errorMessage", reason}});
      break;
    case Agent::Windsurf:
      if (d == Decision::Deny) {
        a.err = reason + "\n";
        a.status = kExitDeny;
      }
      break;
    case Agent::Amp:
      if (d != Decision::Allow) {
        a.err = reason + "\n";
        a.status = d == Decision::Ask ? 1 : kExitDeny;
      }
      break;
  }
  return a;
}

int deliver(const Answer& a) {
  if (!a.err.empty()) std::fwrite(a.err.data(), 1, a.err.size(), stderr);
  if (!a.out.empty() && (!write_stdout(a.out) || !flush_stdout())) {
    report("cannot write standard output", kSub);
    return kExitDeny;
  }
  return a.status;
}

// A payload that cannot be read, or a fault while judging it: deny in the
// agent's form when the agent is known, else exit 2 with the reason on
// standard error. --fail-open makes it exit 1 with nothing on standard
// output, which most agents take as "no decision".
int fail_closed(std::optional<Agent> agent, const Options& options, const std::string& message) {
  report(message, kSub);
  if (options.fail_open) return kExitHookError;
  if (!agent) return kExitDeny;
  const std::string reason = shortened("corvane: denied, the hook could not judge this call: " + printable(message),
                                       kMaxReasonBytes);
  Answer a = answer(*agent, Decision::Deny, reason);
  a.err.clear();  // already reported
  if (a.status == 0) return deliver(a);
  return a.status;
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

// Reads standard input, but never more than kMaxPayloadBytes and a byte.
std::optional<std::string> read_payload(std::string& error) {
  std::string text;
  std::array<char, 64 * 1024> chunk;
  for (;;) {
    const std::size_t want = std::min(chunk.size(), kMaxPayloadBytes + 1 - text.size());
    const std::size_t n = std::fread(chunk.data(), 1, want, stdin);
    text.append(chunk.data(), n);
    if (text.size() > kMaxPayloadBytes) {
      error = "payload is larger than " + std::to_string(kMaxPayloadBytes >> 20) + " MiB";
      return std::nullopt;
    }
    if (n < want) break;
  }
  if (std::ferror(stdin)) {
    error = "cannot read standard input";
    return std::nullopt;
  }
  return text;
}

void log_decision(const Options& options, Agent agent, const ContextOptions& ctx, const std::string& command,
                  int score, std::string_view level, Decision d, const std::string& reason) {
  std::optional<std::string> path = options.log;
  if (!path) path = env("CORVANE_LOG");
  if (!path) return;
  LogEntry entry{row_for(agent).name, ctx.cwd, command, score, level, decision_name(d), reason};
  std::string error;
  if (!append_log_line(*path, format_log_line(entry, options.log_redact), error)) report(error, kSub);
}

}  // namespace

bool is_agent_name(std::string_view name) noexcept { return agent_named(name).has_value(); }

std::string_view agent_names() noexcept {
  return "claude, codex, gemini, copilot, cursor, windsurf, cline, factory or amp";
}

int run_hook(std::span<const std::string_view> args) {
  Options options;
  if (auto done = parse_or_answer(Subcommand::Hook, args, options)) return *done;
  if (!options.commands.empty())
    return usage_error(Subcommand::Hook, "takes no commands; it reads the tool call as JSON on standard input");
  const std::optional<Agent> forced = options.agent ? agent_named(*options.agent) : std::nullopt;

  std::string error;
  const std::optional<std::string> text = read_payload(error);
  if (!text) {
    // Too large or unreadable: deny whatever --fail-open says, since a
    // payload of many megabytes is what an attack on the hook would send.
    Options strict = options;
    strict.fail_open = false;
    return fail_closed(forced, strict, error);
  }
  std::optional<json> payload = parse_payload(*text, error);
  if (!payload) return fail_closed(forced, options, error);
  if (!payload->is_object()) {
    return fail_closed(forced, options,
                       std::string("expected a JSON object on standard input, got ") + payload->type_name());
  }
  const std::optional<Agent> agent = forced ? forced : detect(*payload);
  if (!agent) return fail_closed(agent, options, "payload is not a tool call of any known agent (try --agent)");
  Call call;
  call.agent = *agent;
  if (!read_call(*payload, call, error)) return fail_closed(agent, options, error);
  payload.reset();
  if (!call.applies) return 0;

  const AgentRow& row = row_for(*agent);
  const ContextOptions ctx = context_for(call, options.context);
  if (call.command.size() > kMaxCommandBytes) {
    // Far longer than any command a person or an agent writes: judging it
    // would take seconds and gigabytes, and that is what it may be for.
    const std::string reason = "corvane: blocked: a command of " + std::to_string(call.command.size()) +
                               " bytes is over the 1 MiB limit: " +
                               printable(shortened(call.command, kCommandExcerptBytes));
    call.command = shortened(call.command, kCommandExcerptBytes);
    log_decision(options, *agent, ctx, call.command, 100, "critical", Decision::Deny, reason);
    return deliver(answer(*agent, Decision::Deny, reason));
  }

  const ClassifyContext context = ctx.to_context();
  const Outcome<AnalysisResult> result = corvane::classify(call.command, &context);
  if (!result) return fail_closed(agent, options, result.fault().message);
  const AnalysisResult& r = result.value();
  const Decision d = decide(row, r.quick_decision, options);
  const std::string reason = reason_for(r);
  log_decision(options, *agent, ctx, call.command, r.score, to_string(r.level), d, reason);
  return deliver(answer(*agent, d, reason));
}

}  // namespace corvane::cli
