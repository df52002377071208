#include "parser.h"

#include <tree_sitter/api.h>

#include <charconv>
#include <deque>
#include <limits>
#include <memory>
#include <new>

#include "text.h"
#include "tree_sitter_memory.h"

extern "C" const TSLanguage* tree_sitter_bash(void);

namespace corvane {
namespace {

// ---------------------------------------------------------------------------
// Owned tree-sitter objects

struct ParserDelete { void operator()(TSParser* p) const noexcept { ts_parser_delete(p); } };
struct TreeDelete { void operator()(TSTree* t) const noexcept { ts_tree_delete(t); } };
using ParserPtr = std::unique_ptr<TSParser, ParserDelete>;
using TreePtr = std::unique_ptr<TSTree, TreeDelete>;

class Cursor {
 public:
  explicit Cursor(TSNode root) : cursor_(ts_tree_cursor_new(root)) {}
  ~Cursor() { ts_tree_cursor_delete(&cursor_); }
  Cursor(const Cursor&) = delete;
  Cursor& operator=(const Cursor&) = delete;
  TSTreeCursor* get() noexcept { return &cursor_; }

 private:
  TSTreeCursor cursor_;
};

// ---------------------------------------------------------------------------
// Raw-text warnings

void scan_warnings(std::string_view s, std::vector<ParseWarning>& out) {
  std::string control;
  std::string unicode_space;
  bool carriage_return = false, ansi_c = false, escaped_operator = false;
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      if ((b <= 0x08) || b == 0x0B || b == 0x0C || (b >= 0x0E && b <= 0x1F) || b == 0x7F)
        control.push_back(static_cast<char>(b));
      if (b == '\r') carriage_return = true;
      if (i + 1 < s.size()) {
        const char next = s[i + 1];
        if (b == '$' && next == '\'') ansi_c = true;
        if (b == '\\' && (next == ';' || next == '|' || next == '&')) escaped_operator = true;
      }
      ++i;
      continue;
    }
    text::Utf8Char c = text::decode_utf8(s, i);
    if (c.valid && text::is_white_space(c.cp)) unicode_space.append(s.substr(i, c.len));
    i += c.len;
  }
  if (!control.empty()) out.push_back({WarningKind::ControlCharacters, std::move(control)});
  if (!unicode_space.empty())
    out.push_back({WarningKind::UnicodeWhitespace, std::move(unicode_space)});
  if (carriage_return) out.push_back({WarningKind::CarriageReturn, {}});
  if (ansi_c) out.push_back({WarningKind::AnsiCQuoting, {}});
  if (escaped_operator) out.push_back({WarningKind::EscapedOperator, {}});
}

// ---------------------------------------------------------------------------
// Tree access

struct Child {
  TSNode node;
  bool named;
};

class Tree {
 public:
  // Up to this many children, indexed access beats the cursor.
  static constexpr std::uint32_t kIndexedChildren = 48;

  explicit Tree(std::string_view input)
      : input_(input), input_valid_(text::is_valid_utf8(input)) {}

  std::string_view kind(TSNode n) const noexcept { return ts_node_type(n); }

  // The node's source text; empty when that text is not valid UTF-8.
  std::string text(TSNode n) const {
    const std::size_t start = ts_node_start_byte(n), end = ts_node_end_byte(n);
    if (start > end || end > input_.size()) return {};
    std::string_view slice = input_.substr(start, end - start);
    if (input_valid_) {
      // A slice of valid UTF-8 is valid unless it cuts a character.
      auto continuation = [&](std::size_t i) {
        return i < input_.size() && (static_cast<unsigned char>(input_[i]) & 0xC0) == 0x80;
      };
      if (!continuation(start) && !continuation(end)) return std::string(slice);
    }
    return text::is_valid_utf8(slice) ? std::string(slice) : std::string();
  }

  // All children in order. Indexed access walks from the first child on
  // every call, so it is quadratic in the child count, but it is much cheaper
  // per step than a tree cursor; wide nodes (long argument lists, long
  // pipelines) go through the cursor to stay linear.
  void children(TSNode n, std::vector<Child>& out) {
    out.clear();
    const std::uint32_t count = ts_node_child_count(n);
    if (count == 0) return;  // leaves are most nodes
    if (count <= kIndexedChildren) {
      for (std::uint32_t i = 0; i < count; ++i) {
        TSNode child = ts_node_child(n, i);
        out.push_back({child, ts_node_is_named(child)});
      }
      return;
    }
    TSTreeCursor* c = cursor_at(n);
    if (!ts_tree_cursor_goto_first_child(c)) return;
    do {
      TSNode child = ts_tree_cursor_current_node(c);
      out.push_back({child, ts_node_is_named(child)});
    } while (ts_tree_cursor_goto_next_sibling(c));
  }

  void named_children(TSNode n, std::vector<TSNode>& out) {
    out.clear();
    const std::uint32_t count = ts_node_named_child_count(n);
    if (count == 0) return;
    if (count <= kIndexedChildren) {
      for (std::uint32_t i = 0; i < count; ++i) out.push_back(ts_node_named_child(n, i));
      return;
    }
    TSTreeCursor* c = cursor_at(n);
    if (!ts_tree_cursor_goto_first_child(c)) return;
    do {
      TSNode child = ts_tree_cursor_current_node(c);
      if (ts_node_is_named(child)) out.push_back(child);
    } while (ts_tree_cursor_goto_next_sibling(c));
  }

  // Scratch space for searches below one node, reused across the walk.
  std::vector<TSNode> search_stack;
  std::vector<TSNode> search_kids;

  // A node's child list held in a pooled vector, so that extracting a command
  // does not allocate a fresh list per node. Lists nest only as deep as the
  // extraction functions call each other (a handful), never with the input.
  template <typename T>
  class Pooled {
   public:
    template <typename Fill>
    Pooled(std::deque<std::vector<T>>& pool, std::size_t& depth, Fill&& fill) : depth_(depth) {
      if (depth_ == pool.size()) pool.emplace_back();  // deque: references stay valid
      list_ = &pool[depth_++];
      fill(*list_);
    }
    ~Pooled() { --depth_; }
    Pooled(const Pooled&) = delete;
    Pooled& operator=(const Pooled&) = delete;
    const std::vector<T>& operator*() const noexcept { return *list_; }
    const std::vector<T>* operator->() const noexcept { return list_; }

   private:
    std::size_t& depth_;
    std::vector<T>* list_;
  };

  Pooled<Child> children_of(TSNode n) {
    return {child_pool_, child_depth_, [&](std::vector<Child>& v) { children(n, v); }};
  }
  Pooled<TSNode> named_children_of(TSNode n) {
    return {named_pool_, named_depth_, [&](std::vector<TSNode>& v) { named_children(n, v); }};
  }

 private:
  // The cursor for wide nodes, made on first use: most lines have none.
  TSTreeCursor* cursor_at(TSNode n) {
    if (!cursor_) cursor_.emplace(n);
    TSTreeCursor* c = cursor_->get();
    ts_tree_cursor_reset(c, n);
    return c;
  }

  std::string_view input_;
  bool input_valid_;
  std::optional<Cursor> cursor_;
  std::deque<std::vector<Child>> child_pool_;
  std::deque<std::vector<TSNode>> named_pool_;
  std::size_t child_depth_ = 0;
  std::size_t named_depth_ = 0;
};

// ---------------------------------------------------------------------------
// Extraction of one command node

std::optional<ExpansionKind> expansion_of_kind(std::string_view kind) {
  if (kind == "simple_expansion" || kind == "expansion") return ExpansionKind::Variable;
  if (kind == "command_substitution") return ExpansionKind::CommandSubstitution;
  if (kind == "arithmetic_expansion") return ExpansionKind::Arithmetic;
  if (kind == "process_substitution") return ExpansionKind::ProcessSubstitution;
  return std::nullopt;
}

// The first expansion node at or below `n`, depth first in child order.
std::optional<ExpansionKind> detect_expansion_from_children(Tree& tree, TSNode n) {
  if (auto k = expansion_of_kind(tree.kind(n))) return k;
  if (ts_node_named_child_count(n) == 0) return std::nullopt;  // a plain word
  std::vector<TSNode>& stack = tree.search_stack;
  std::vector<TSNode>& kids = tree.search_kids;
  stack.assign(1, n);
  while (!stack.empty()) {
    TSNode cur = stack.back();
    stack.pop_back();
    if (auto k = expansion_of_kind(tree.kind(cur))) return k;
    tree.named_children(cur, kids);
    for (auto it = kids.rbegin(); it != kids.rend(); ++it) stack.push_back(*it);
  }
  return std::nullopt;
}

// Fallback when the tree shows no expansion: tests on the raw text, quotes
// included, first match wins. One pass notes which characters occur.
std::optional<ExpansionKind> expansion_from_text(std::string_view t) {
  bool backquote = false, dollar = false, star_or_question = false, bracket = false;
  bool open_brace = false, close_brace = false, comma = false;
  bool dollar_paren = false, dollar_paren2 = false, dollar_brace = false;
  for (std::size_t i = 0; i < t.size(); ++i) {
    switch (t[i]) {
      case '`': backquote = true; break;
      case '$':
        dollar = true;
        if (i + 1 < t.size() && t[i + 1] == '(') {
          dollar_paren = true;
          if (i + 2 < t.size() && t[i + 2] == '(') dollar_paren2 = true;
        }
        if (i + 1 < t.size() && t[i + 1] == '{') dollar_brace = true;
        break;
      case '*': case '?': star_or_question = true; break;
      case '[': bracket = true; break;
      case '{': open_brace = true; break;
      case '}': close_brace = true; break;
      case ',': comma = true; break;
      default: break;
    }
  }
  if (backquote) return ExpansionKind::CommandSubstitution;
  if (dollar_paren2) return ExpansionKind::Arithmetic;
  if (dollar_paren) return ExpansionKind::CommandSubstitution;
  if (dollar_brace) return ExpansionKind::Variable;
  if (dollar && t.size() > 1) return ExpansionKind::Variable;
  if (t.starts_with('~')) return ExpansionKind::Tilde;
  if (star_or_question || bracket) return ExpansionKind::Glob;
  if (open_brace && close_brace && comma) return ExpansionKind::Brace;
  return std::nullopt;
}

// Quoting of a string-like node kind; nothing for kinds that are not quoted.
std::optional<QuoteKind> quote_of_kind(std::string_view kind) {
  if (kind == "string" || kind == "translated_string") return QuoteKind::Double;
  if (kind == "raw_string") return QuoteKind::Single;
  if (kind == "ansi_c_string") return QuoteKind::AnsiC;
  return std::nullopt;
}

Argument make_argument(Tree& tree, TSNode n) {
  Argument arg;
  arg.text = tree.text(n);
  arg.start = ts_node_start_byte(n);
  const std::string_view kind = tree.kind(n);
  if (auto q = quote_of_kind(kind)) {
    arg.quoted = true;
    arg.quote = *q;
  } else if (kind == "heredoc_body") {
    arg.quoted = true;
    arg.quote = QuoteKind::Heredoc;
  } else if (kind == "concatenation") {
    // The last quoted part decides.
    const auto parts = tree.named_children_of(n);
    for (TSNode part : *parts) {
      if (auto q = quote_of_kind(tree.kind(part))) {
        arg.quoted = true;
        arg.quote = *q;
      }
    }
  }
  arg.expansion = detect_expansion_from_children(tree, n);
  if (!arg.expansion) arg.expansion = expansion_from_text(arg.text);
  arg.has_expansion = arg.expansion.has_value();
  return arg;
}

// An unsigned 32-bit decimal number, one leading "+" allowed.
std::optional<std::uint32_t> parse_descriptor(std::string_view t) {
  if (t.starts_with('+')) t.remove_prefix(1);
  if (t.empty()) return std::nullopt;
  std::uint32_t value = 0;
  auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), value, 10);
  if (ec != std::errc() || end != t.data() + t.size()) return std::nullopt;
  return value;
}

std::optional<Redirection> extract_redirection(Tree& tree, TSNode n) {
  const std::string_view kind = tree.kind(n);
  if (kind == "heredoc_redirect") return Redirection{tree.text(n), std::nullopt, RedirectKind::Heredoc};
  if (kind == "herestring_redirect")
    return Redirection{tree.text(n), std::nullopt, RedirectKind::Herestring};
  if (kind != "file_redirect") return std::nullopt;

  Redirection r{std::string(), std::nullopt, RedirectKind::Output};
  const auto kids = tree.children_of(n);
  for (const Child& c : *kids) {
    const std::string_view k = tree.kind(c.node);
    if (!c.named) {
      if (k == "<" || k == "<&") r.kind = RedirectKind::Input;
      else if (k == ">" || k == "&>" || k == ">&" || k == "&>>") r.kind = RedirectKind::Output;
      else if (k == ">>") r.kind = RedirectKind::Append;
      if (k == "<&" || k == ">&" || k == "<&-" || k == ">&-") r.ampersand = true;
    } else if (k == "file_descriptor") {
      r.fd = parse_descriptor(tree.text(c.node));
    } else {
      r.target = tree.text(c.node);
    }
  }
  return r;
}

bool is_redirect_kind(std::string_view k) {
  return k == "file_redirect" || k == "heredoc_redirect" || k == "herestring_redirect";
}

std::optional<Assignment> extract_assignment(Tree& tree, TSNode n) {
  if (tree.kind(n) != "variable_assignment") return std::nullopt;
  Assignment a;
  const auto kids = tree.named_children_of(n);
  for (TSNode c : *kids) {
    if (tree.kind(c) == "variable_name") a.name = tree.text(c);
    else a.value = tree.text(c);
  }
  if (!a.name.empty()) return a;
  // Subscripted names (arr[0]=v) have no variable_name child: split the text.
  const std::string whole = tree.text(n);
  const auto eq = whole.find('=');
  if (eq == std::string::npos || eq == 0) return std::nullopt;
  return Assignment{whole.substr(0, eq), whole.substr(eq + 1)};
}

CommandSegment fresh_segment(std::string text, std::size_t start = 0) {
  CommandSegment s;
  s.text = std::move(text);
  s.start = start;
  return s;
}

CommandSegment fresh_segment(Tree& tree, TSNode n) {
  return fresh_segment(tree.text(n), ts_node_start_byte(n));
}

CommandSegment extract_command(Tree& tree, TSNode n) {
  CommandSegment seg = fresh_segment(tree, n);
  const auto kids = tree.children_of(n);
  seg.arguments.reserve(kids->size());
  for (const Child& c : *kids) {
    const std::string_view k = tree.kind(c.node);
    if (k == "command_name") {
      seg.executable = tree.text(c.node);
      seg.executable_start = ts_node_start_byte(c.node);
    } else if (is_redirect_kind(k)) {
      if (auto r = extract_redirection(tree, c.node)) seg.redirections.push_back(std::move(*r));
    } else if (k == "variable_assignment") {
      if (auto a = extract_assignment(tree, c.node)) seg.assignments.push_back(std::move(*a));
    } else if (c.named) {
      seg.arguments.push_back(make_argument(tree, c.node));
    }
  }
  return seg;
}

CommandSegment extract_redirected_statement(Tree& tree, TSNode n) {
  CommandSegment seg = fresh_segment(tree, n);
  const auto kids = tree.children_of(n);
  for (const Child& c : *kids) {
    const std::string_view k = tree.kind(c.node);
    if (k == "command") {
      CommandSegment piece = extract_command(tree, c.node);
      seg.executable = std::move(piece.executable);
      seg.executable_start = piece.executable_start;
      seg.arguments = std::move(piece.arguments);
      seg.assignments = std::move(piece.assignments);
      for (auto& r : piece.redirections) seg.redirections.push_back(std::move(r));
    } else if (k == "pipeline") {
      seg.text = tree.text(c.node);
      seg.start = ts_node_start_byte(c.node);
    } else if (is_redirect_kind(k)) {
      if (auto r = extract_redirection(tree, c.node)) seg.redirections.push_back(std::move(*r));
    }
  }
  return seg;
}

// A piece of a subshell: a command or redirected statement, or the first
// command of a list or pipeline.
CommandSegment extract_any_command(Tree& tree, TSNode n) {
  // A list's first eligible child may itself be a pipeline; that is the only
  // descent, so this loop runs at most twice.
  for (;;) {
    const std::string_view k = tree.kind(n);
    if (k == "command") return extract_command(tree, n);
    if (k == "redirected_statement") return extract_redirected_statement(tree, n);
    std::vector<TSNode> kids;
    if (k == "list") {
      tree.named_children(n, kids);
      const TSNode* found = nullptr;
      for (const TSNode& c : kids) {
        const std::string_view ck = tree.kind(c);
        if (ck == "redirected_statement" || ck == "pipeline" || ck == "command") {
          found = &c;
          break;
        }
      }
      if (found == nullptr) return fresh_segment(tree, n);
      n = *found;
      continue;
    }
    if (k == "pipeline") {
      tree.named_children(n, kids);
      for (TSNode c : kids)
        if (tree.kind(c) == "command") return extract_command(tree, c);
      return fresh_segment(tree, n);
    }
    return fresh_segment(tree, n);
  }
}

CommandSegment merge_subshell(Tree& tree, TSNode n) {
  CommandSegment seg = fresh_segment(tree, n);
  seg.in_subshell = true;
  const auto kids = tree.named_children_of(n);
  for (TSNode c : *kids) {
    const std::string_view k = tree.kind(c);
    if (k != "list" && k != "command" && k != "pipeline" && k != "redirected_statement") continue;
    CommandSegment piece = extract_any_command(tree, c);
    if (!seg.executable) {
      seg.executable = std::move(piece.executable);
      seg.executable_start = piece.executable_start;
    }
    for (auto& a : piece.arguments) seg.arguments.push_back(std::move(a));
    for (auto& r : piece.redirections) seg.redirections.push_back(std::move(r));
    for (auto& a : piece.assignments) seg.assignments.push_back(std::move(a));
  }
  return seg;
}

bool is_opaque_kind(std::string_view k) {
  return k == "if_statement" || k == "for_statement" || k == "while_statement" ||
         k == "case_statement" || k == "compound_statement" || k == "negated_command" ||
         k == "function_definition";
}

std::optional<Operator> list_operator(std::string_view token) {
  if (token == "&&") return Operator::And;
  if (token == "||") return Operator::Or;
  if (token == ";") return Operator::Sequence;
  if (token == "&") return Operator::Background;
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// Statement walk. An explicit work stack instead of recursion, so that deeply
// nested input cannot exhaust the native stack.

struct Task {
  enum class Type : std::uint8_t {
    Visit,       // walk `node`
    AppendOp,    // append `op`
    BeginChild,  // remember segment and operator counts before a program child
    EndChild,    // after it: a Sequence goes before the operators it added
  };
  Type type;
  TSNode node;
  Operator op;
};

void walk_program(Tree& tree, TSNode root, std::vector<CommandSegment>& segments,
                  std::vector<Operator>& operators) {
  struct Mark {
    std::size_t segments, operators;
  };
  std::vector<Task> stack{{Task::Type::Visit, root, Operator::Pipe}};
  std::vector<Mark> marks;
  std::vector<Child> kids;

  auto push_reversed = [&](auto&& each) {
    // Children are pushed last first so that they are taken in source order.
    for (auto it = kids.rbegin(); it != kids.rend(); ++it) each(*it);
  };

  while (!stack.empty()) {
    Task task = stack.back();
    stack.pop_back();
    switch (task.type) {
      case Task::Type::AppendOp:
        operators.push_back(task.op);
        continue;
      case Task::Type::BeginChild:
        marks.push_back({segments.size(), operators.size()});
        continue;
      case Task::Type::EndChild: {
        Mark m = marks.back();
        marks.pop_back();
        if (m.segments != 0 && segments.size() > m.segments)
          operators.insert(operators.begin() + static_cast<std::ptrdiff_t>(m.operators),
                           Operator::Sequence);
        continue;
      }
      case Task::Type::Visit:
        break;
    }

    const TSNode n = task.node;
    const std::string_view k = tree.kind(n);
    if (k == "program") {
      tree.children(n, kids);
      std::erase_if(kids, [](const Child& c) { return !c.named; });
      for (std::size_t i = kids.size(); i-- > 0;) {
        if (i == 0) {
          stack.push_back({Task::Type::Visit, kids[i].node, Operator::Pipe});
        } else {
          stack.push_back({Task::Type::EndChild, kids[i].node, Operator::Pipe});
          stack.push_back({Task::Type::Visit, kids[i].node, Operator::Pipe});
          stack.push_back({Task::Type::BeginChild, kids[i].node, Operator::Pipe});
        }
      }
    } else if (k == "list") {
      tree.children(n, kids);
      push_reversed([&](const Child& c) {
        if (auto op = c.named ? std::nullopt : list_operator(tree.kind(c.node)))
          stack.push_back({Task::Type::AppendOp, c.node, *op});
        else
          stack.push_back({Task::Type::Visit, c.node, Operator::Pipe});
      });
    } else if (k == "pipeline") {
      tree.children(n, kids);
      push_reversed([&](const Child& c) {
        const std::string_view ck = tree.kind(c.node);
        if (!c.named && (ck == "|" || ck == "|&"))
          stack.push_back({Task::Type::AppendOp, c.node, Operator::Pipe});
        else if (c.named)
          stack.push_back({Task::Type::Visit, c.node, Operator::Pipe});
      });
    } else if (k == "command") {
      segments.push_back(extract_command(tree, n));
    } else if (k == "redirected_statement") {
      segments.push_back(extract_redirected_statement(tree, n));
    } else if (k == "variable_assignment") {
      CommandSegment seg = fresh_segment(tree, n);
      if (auto a = extract_assignment(tree, n)) seg.assignments.push_back(std::move(*a));
      segments.push_back(std::move(seg));
    } else if (k == "subshell") {
      segments.push_back(merge_subshell(tree, n));
    } else if (is_opaque_kind(k)) {
      segments.push_back(fresh_segment(tree, n));
    } else {
      // Everything else (errors, test expressions, substitutions, loop
      // bodies, ...) is walked through: commands inside become segments.
      tree.children(n, kids);
      push_reversed([&](const Child& c) {
        if (c.named) stack.push_back({Task::Type::Visit, c.node, Operator::Pipe});
      });
    }
  }
}

// The whole line for tree-sitter, in one piece.
const char* read_whole(void* payload, std::uint32_t byte, TSPoint, std::uint32_t* length) {
  const std::string_view& s = *static_cast<const std::string_view*>(payload);
  if (byte >= s.size()) {
    *length = 0;
    return "";
  }
  *length = static_cast<std::uint32_t>(s.size() - byte);
  return s.data() + byte;
}

// Parses and walks with the parser and tree alive; both are released when it
// returns, inside the caller's memory scope.
void parse_and_walk(std::string_view command, ts_memory::CallScope& memory, ParsedCommand& out) {
  ParserPtr parser(ts_parser_new());
  if (!parser || !ts_parser_set_language(parser.get(), tree_sitter_bash()))
    throw GrammarError{"failed to set tree-sitter-bash language"};

  TreePtr tree;
  if (command.size() <= std::numeric_limits<std::uint32_t>::max()) {
    const TSInput input{&command, read_whole, TSInputEncodingUTF8, nullptr};
    const TSParseOptions options{&memory, &ts_memory::CallScope::cancel_when_exhausted};
    tree.reset(ts_parser_parse_with_options(parser.get(), nullptr, input, options));
  }
  if (memory.exhausted()) return;
  if (!tree) {
    out.warnings.push_back({WarningKind::ParseError, "tree-sitter parse returned None"});
    out.segments.push_back(fresh_segment(std::string(command)));
    return;
  }

  const TSNode root = ts_tree_root_node(tree.get());
  if (ts_node_has_error(root))
    out.warnings.push_back({WarningKind::ParseError, "parse tree contains error nodes"});

  Tree walker(command);
  walk_program(walker, root, out.segments, out.operators);
  if (out.segments.empty()) out.segments.push_back(fresh_segment(std::string()));
}

}  // namespace

ParsedCommand parse(std::string_view command) {
  ParsedCommand out;
  scan_warnings(command, out.warnings);
  // Outlives every tree-sitter object of the call; a call that ran out of
  // memory has a truncated or missing tree and reports that instead.
  ts_memory::CallScope memory(command.size());
  parse_and_walk(command, memory, out);
  if (memory.exhausted()) throw std::bad_alloc();
  return out;
}

}  // namespace corvane
