// `corvane mcp`: a Model Context Protocol server over standard input and
// output, so that an agent can ask before it runs a command.
//
// One JSON-RPC 2.0 message per line in each direction. It answers
// initialize, ping, tools/list and tools/call for the one tool
// classify_command, and takes notifications without a word. Nothing a client
// sends ends the session: malformed lines get -32700, requests that are not
// requests -32600, unknown methods -32601, bad tool arguments a result with
// isError. The session ends when standard input does.
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "cli.h"
#include "corvane.h"

namespace corvane::cli {
namespace {

using json = nlohmann::ordered_json;

constexpr std::string_view kSub = "mcp";
constexpr std::string_view kToolName = "classify_command";
// Newest first; a client asking for another gets the newest.
constexpr std::array<std::string_view, 4> kProtocolVersions{"2025-11-25", "2025-06-18", "2025-03-26",
                                                            "2024-11-05"};
// Longer lines are refused unread; a command is refused past the hook's limit.
constexpr std::size_t kMaxLineBytes = std::size_t{8} << 20;
constexpr std::size_t kMaxCommandBytes = std::size_t{1} << 20;

enum ErrorCode : int {
  kParseError = -32700,
  kInvalidRequest = -32600,
  kMethodNotFound = -32601,
  kInvalidParams = -32602,
  kInternalError = -32603,
};

std::string dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

json error_reply(const json& id, int code, std::string message) {
  return {{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", std::move(message)}}}};
}

json result_reply(const json& id, json result) {
  return {{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}};
}

json enum_schema(std::initializer_list<std::string_view> values) {
  json list = json::array();
  for (std::string_view v : values) list.push_back(v);
  return {{"type", "string"}, {"enum", std::move(list)}};
}

json tool_description() {
  const json str = {{"type", "string"}};
  json input = {
      {"type", "object"},
      {"properties",
       {{"command", {{"type", "string"}, {"description", "The shell command line, as it would be run"}}},
        {"cwd", {{"type", "string"}, {"description", "Directory the command would run in"}}},
        {"project_root", {{"type", "string"}, {"description", "Root of the project it belongs to"}}},
        {"shell", enum_schema({"bash", "zsh"})}}},
      {"required", {"command"}},
      {"additionalProperties", false}};
  json output = {
      {"type", "object"},
      {"properties",
       {{"command", str},
        {"score", {{"type", "integer"}, {"minimum", 0}, {"maximum", 100}}},
        {"level", enum_schema({"safe", "caution", "danger", "critical"})},
        {"quick_decision", enum_schema({"safe", "risky", "blocked"})},
        {"reason", str},
        {"risk_factors", {{"type", "array"}, {"items", str}}},
        {"sub_commands", {{"type", "array"}, {"items", {{"type", "object"}}}}},
        {"pipeline_flow", {{"type", {"object", "null"}}}},
        {"mitre_mappings", {{"type", "array"}, {"items", {{"type", "object"}}}}},
        {"parse_confidence", enum_schema({"full", "partial", "fallback"})}}},
      {"required", {"command", "score", "level", "quick_decision", "reason"}}};
  return {{"name", kToolName},
          {"title", "Classify a shell command"},
          {"description",
           "How dangerous a shell command line is, judged without running it: score 0-100, level, "
           "quick decision (safe, risky, blocked), reason and the details behind them."},
          {"inputSchema", std::move(input)},
          {"outputSchema", std::move(output)},
          {"annotations", {{"readOnlyHint", true}, {"idempotentHint", true}, {"openWorldHint", false}}}};
}

json tool_error(std::string message) {
  return {{"content", {{{"type", "text"}, {"text", std::move(message)}}}}, {"isError", true}};
}

// An optional string argument; false with `error` set when it is not one.
bool string_argument(const json& args, const char* key, std::optional<std::string>& out, std::string& error) {
  const auto it = args.find(key);
  if (it == args.end() || it->is_null()) return true;
  if (!it->is_string()) {
    error = std::string("argument \"") + key + "\" must be a string";
    return false;
  }
  out = it->get<std::string>();
  return true;
}

json call_tool(const json& params) {
  const auto args_it = params.find("arguments");
  const json args = args_it == params.end() || args_it->is_null() ? json::object() : *args_it;
  if (!args.is_object()) return tool_error("arguments must be an object");
  for (const auto& [key, value] : args.items()) {
    if (key != "command" && key != "cwd" && key != "project_root" && key != "shell") {
      return tool_error("unknown argument \"" + printable(key) + "\"");
    }
  }
  std::string error;
  std::optional<std::string> command, cwd, root, shell;
  if (!string_argument(args, "command", command, error) || !string_argument(args, "cwd", cwd, error) ||
      !string_argument(args, "project_root", root, error) || !string_argument(args, "shell", shell, error)) {
    return tool_error(error);
  }
  if (!command) return tool_error("argument \"command\" is required");
  if (command->size() > kMaxCommandBytes) return tool_error("the command is over the 1 MiB limit");
  ClassifyContext ctx;
  ctx.cwd = cwd;
  ctx.project_root = root;
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') ctx.home_dir = home;
  if (shell && *shell == "zsh") {
    ctx.shell = ShellKind::Zsh;
  } else if (shell && *shell != "bash") {
    return tool_error("argument \"shell\" must be \"bash\" or \"zsh\"");
  }
  const Outcome<AnalysisResult> outcome = corvane::classify(*command, &ctx);
  if (!outcome) return tool_error("corvane could not classify the command: " + outcome.fault().message);
  const AnalysisResult& r = outcome.value();
  json verdict = json::parse(valid_utf8(to_json(r)), nullptr, false);
  if (verdict.is_discarded()) return tool_error("corvane produced an unreadable verdict");
  std::string decision(to_string(r.quick_decision));
  for (char& c : decision) c = static_cast<char>(c - 'a' + 'A');
  const std::string summary = decision + " score " + std::to_string(r.score) + " (" +
                              std::string(to_string(r.level)) + "): " + printable(r.reason);
  return {{"content", {{{"type", "text"}, {"text", summary}}}},
          {"structuredContent", std::move(verdict)},
          {"isError", false}};
}

// The answer to one line, or nothing for a notification.
std::optional<json> handle(std::string_view line) {
  json message = json::parse(line, nullptr, false);
  if (message.is_discarded()) return error_reply(nullptr, kParseError, "Parse error: not a JSON value");
  if (!message.is_object()) {
    return error_reply(nullptr, kInvalidRequest, "Invalid Request: expected one JSON-RPC object per line");
  }
  const auto id_it = message.find("id");
  const bool is_request = id_it != message.end();
  const json id = is_request ? *id_it : json(nullptr);
  if (is_request && !id.is_string() && !id.is_number() && !id.is_null()) {
    return error_reply(nullptr, kInvalidRequest, "Invalid Request: id must be a string or a number");
  }
  const auto version = message.find("jsonrpc");
  const auto method_it = message.find("method");
  if (version == message.end() || *version != "2.0" || method_it == message.end() || !method_it->is_string()) {
    // A response from the client, or something that is no message at all.
    if (!is_request || message.contains("result") || message.contains("error")) return std::nullopt;
    return error_reply(id, kInvalidRequest, "Invalid Request: needs \"jsonrpc\": \"2.0\" and a method");
  }
  const std::string& method = method_it->get_ref<const std::string&>();
  if (!is_request) return std::nullopt;  // notifications/initialized, cancelled, ...
  const auto params_it = message.find("params");
  const json params = params_it == message.end() || params_it->is_null() ? json::object() : *params_it;
  if (!params.is_object()) return error_reply(id, kInvalidParams, "Invalid params: expected an object");

  if (method == "initialize") {
    std::string_view chosen = kProtocolVersions.front();
    const auto asked = params.find("protocolVersion");
    if (asked != params.end() && asked->is_string()) {
      for (std::string_view v : kProtocolVersions) {
        if (v == asked->get_ref<const std::string&>()) chosen = v;
      }
    }
    return result_reply(id, {{"protocolVersion", chosen},
                             {"capabilities", {{"tools", json::object()}}},
                             {"serverInfo", {{"name", "corvane"}, {"version", corvane::version()}}},
                             {"instructions",
                              "Call classify_command with a shell command line before running it; "
                              "do not run commands it calls blocked, and ask the user about risky ones."}});
  }
  if (method == "ping") return result_reply(id, json::object());
  if (method == "tools/list") return result_reply(id, {{"tools", {tool_description()}}});
  if (method == "tools/call") {
    const auto name = params.find("name");
    if (name == params.end() || !name->is_string()) return error_reply(id, kInvalidParams, "Invalid params: no tool name");
    if (*name != kToolName) {
      return error_reply(id, kInvalidParams, "Unknown tool: " + printable(name->get_ref<const std::string&>()));
    }
    return result_reply(id, call_tool(params));
  }
  return error_reply(id, kMethodNotFound, "Method not found: " + printable(method));
}

bool send(const json& reply) {
  std::string text = dump(reply);
  text.push_back('\n');
  return write_stdout(text) && flush_stdout();
}

// Lines of standard input, read as they arrive (a client waits for each
// answer before it sends more). Lines over kMaxLineBytes are skipped whole.
class LineReader {
 public:
  enum class Status : unsigned char { Line, TooLong, End };

  Status next(std::string& line) {
    for (;;) {
      const std::size_t nl = buffer_.find('\n', scanned_);
      if (nl != std::string::npos) {
        const bool was_skipping = skipping_;
        skipping_ = false;
        line.assign(buffer_, 0, nl);
        buffer_.erase(0, nl + 1);
        scanned_ = 0;
        if (was_skipping) return Status::TooLong;
        return Status::Line;
      }
      if (buffer_.size() > kMaxLineBytes) {
        skipping_ = true;
        buffer_.clear();
      }
      scanned_ = buffer_.size();
      if (eof_) {
        if (buffer_.empty() && !skipping_) return Status::End;
        line = std::move(buffer_);
        buffer_.clear();
        scanned_ = 0;
        const bool was_skipping = skipping_;
        skipping_ = false;
        return was_skipping ? Status::TooLong : Status::Line;
      }
      std::array<char, 64 * 1024> chunk;
      const ssize_t n = ::read(STDIN_FILENO, chunk.data(), chunk.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        eof_ = true;
        continue;
      }
      buffer_.append(chunk.data(), static_cast<std::size_t>(n));
    }
  }

 private:
  std::string buffer_;
  std::size_t scanned_ = 0;
  bool skipping_ = false;
  bool eof_ = false;
};

bool blank(std::string_view line) { return line.find_first_not_of(" \t\r") == std::string_view::npos; }

}  // namespace

int run_mcp(std::span<const std::string_view> args) {
  Options options;
  if (auto done = parse_or_answer(Subcommand::Mcp, args, options)) return *done;
  if (!options.commands.empty()) return usage_error(Subcommand::Mcp, "takes no arguments");
  // A client that goes away must not kill us in the middle of a write.
  std::signal(SIGPIPE, SIG_IGN);
  LineReader reader;
  std::string line;
  for (;;) {
    const LineReader::Status status = reader.next(line);
    if (status == LineReader::Status::End) return 0;
    std::optional<json> reply;
    if (status == LineReader::Status::TooLong) {
      reply = error_reply(nullptr, kParseError, "Parse error: line longer than 8 MiB");
    } else if (blank(line)) {
      continue;
    } else {
      try {
        reply = handle(line);
      } catch (const std::exception& e) {
        // Out of memory, or a JSON value too odd to convert: this request
        // fails, the session goes on.
        reply = error_reply(nullptr, kInternalError, std::string("Internal error: ") + printable(e.what()));
      }
    }
    if (reply && !send(*reply)) {
      report("cannot write standard output", kSub);
      return kExitIo;
    }
  }
}

}  // namespace corvane::cli
