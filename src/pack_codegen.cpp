// corvane_pack_codegen RULES.toml OUT.cpp: a build step. Reads the default
// rule pack with the engine's own reader and writes a C++ unit defining
// builtin_pack_text() and builtin_pack_config() (see builtin_pack.h). A pack
// that does not read cleanly fails the build, with the reader's notes.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>

#include "builtin_pack.h"
#include "custom_rules.h"
#include "rule_patterns.h"

namespace corvane {

// This program is what makes the real definitions, so it reads every file
// the slow way: nothing is built in yet.
std::string_view builtin_pack_text() noexcept { return {}; }
RuleConfig builtin_pack_config() { return {}; }
BuiltinPackWords builtin_pack_words() noexcept { return {}; }

}  // namespace corvane

namespace {

using corvane::RuleConfig;

// A C++ string literal holding exactly `s`: printable ASCII as it is, every
// other byte as a three-digit octal escape (which cannot swallow a following
// digit the way a hex escape would).
std::string literal(std::string_view s) {
  std::string out = "\"";
  for (const char c : s) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (b >= 0x20 && b < 0x7f) {
      out.push_back(c);
    } else {
      char esc[5];
      std::snprintf(esc, sizeof esc, "\\%03o", b);
      out += esc;
    }
  }
  return out + "\"";
}

std::string optional_literal(const std::optional<std::string>& s) {
  return s ? "std::optional<std::string>{" + literal(*s) + "}" : "std::nullopt";
}

// The pack's text as one literal, a source line per line of the file.
std::string text_literal(std::string_view text) {
  std::string out;
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    const std::size_t n = nl == std::string_view::npos ? text.size() : nl + 1;
    out += "    " + literal(text.substr(0, n)) + "\n";
    text.remove_prefix(n);
  }
  return out.empty() ? "    \"\"\n" : out;
}

std::string config_body(const RuleConfig& c) {
  std::ostringstream o;
  o << "  RuleConfig c;\n";
  o << "  c.allow.reserve(" << c.allow.size() << ");\n";
  o << "  c.block.reserve(" << c.block.size() << ");\n";
  o << "  c.commands.reserve(" << c.commands.size() << ");\n";
  o << "  c.paths.reserve(" << c.paths.size() << ");\n";
  o << "  c.overrides.reserve(" << c.overrides.size() << ");\n";
  for (const auto& r : c.allow) o << "  c.allow.push_back({" << literal(r.pattern) << ", " << literal(r.reason) << "});\n";
  for (const auto& r : c.block) {
    o << "  c.block.push_back({" << literal(r.pattern) << ", " << literal(r.reason) << ", "
      << optional_literal(r.mitre) << "});\n";
  }
  for (const auto& r : c.commands) {
    o << "  c.commands.push_back({" << literal(r.name) << ", " << literal(r.intent) << ", "
      << static_cast<int>(r.base_weight) << ", " << literal(r.reversibility) << ", " << optional_literal(r.mitre)
      << ", {";
    for (const auto& f : r.dangerous_flags) {
      o << "\n      {{";
      for (std::size_t i = 0; i < f.flags.size(); ++i) o << (i ? ", " : "") << literal(f.flags[i]);
      o << "}, " << static_cast<int>(f.modifier) << ", " << literal(f.description) << "},";
    }
    o << "}});\n";
  }
  for (const auto& r : c.paths) {
    o << "  c.paths.push_back({" << literal(r.pattern) << ", " << literal(r.sensitivity) << ", "
      << literal(r.description) << "});\n";
  }
  for (const auto& r : c.overrides) {
    o << "  c.overrides.push_back({" << literal(r.command) << ", " << static_cast<int>(r.score) << ", "
      << optional_literal(r.reason) << "});\n";
  }
  o << "  return c;\n";
  return o.str();
}

// The split words of every allow, block and command-name pattern: one table
// of words and, per list, a span of them for each pattern.
std::string words_tables(const RuleConfig& c) {
  std::ostringstream words;
  std::ostringstream lists;
  std::size_t at = 0;
  auto list = [&](const char* name, const auto& rules, auto pattern_of) {
    if (rules.empty()) return;
    lists << "constexpr std::span<const std::string_view> " << name << "[] = {\n";
    for (const auto& rule : rules) {
      const std::vector<std::string> split = corvane::patterns::split_words(pattern_of(rule)).value_or(
          std::vector<std::string>{});
      for (const std::string& w : split) words << "    " << literal(w) << ",\n";
      lists << "    {kWords + " << at << ", " << split.size() << "},\n";
      at += split.size();
    }
    lists << "};\n";
  };
  list("kAllow", c.allow, [](const auto& r) { return r.pattern; });
  list("kBlock", c.block, [](const auto& r) { return r.pattern; });
  list("kCommands", c.commands, [](const auto& r) { return r.name; });
  return "constexpr std::string_view kWords[] = {\n" + words.str() + "    \"\",  // never a pattern's\n};\n" +
         lists.str();
}

std::string words_result(const RuleConfig& c) {
  auto span = [](const char* name, bool empty) { return empty ? std::string("{}") : std::string(name); };
  return "  return {" + span("kAllow", c.allow.empty()) + ", " + span("kBlock", c.block.empty()) + ", " +
         span("kCommands", c.commands.empty()) + "};\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: corvane_pack_codegen RULES.toml OUT.cpp\n");
    return 64;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) {
    std::fprintf(stderr, "corvane_pack_codegen: cannot read %s\n", argv[1]);
    return 1;
  }
  const corvane::RuleFile file = corvane::read_rule_text(text, argv[1]);
  // Notes do not stop the build (`corvane rules check rules/default.toml`
  // and the tests hold the pack to that); an error does.
  for (const corvane::RuleNote& n : file.notes) {
    std::fprintf(stderr, "%s:%u:%u: warning: %s\n", argv[1], n.where.line, n.where.column, n.message.c_str());
  }
  if (file.error) {
    std::fprintf(stderr, "%s:%u:%u: error: %s\n", argv[1], file.error->where.line, file.error->where.column,
                 file.error->description.c_str());
    return 1;
  }
  std::ostringstream out;
  out << "// Generated by corvane_pack_codegen from rules/default.toml; edit that file instead.\n"
         "#include \"builtin_pack.h\"\n\n"
         "namespace corvane {\n\n"
         "std::string_view builtin_pack_text() noexcept {\n"
         "  static constexpr char kText[] =\n"
      << text_literal(text)
      << "  ;\n"
         "  return {kText, sizeof kText - 1};\n"
         "}\n\n"
         "RuleConfig builtin_pack_config() {\n"
      << config_body(*file.config)
      << "}\n\n"
         "namespace {\n\n"
      << words_tables(*file.config)
      << "\n}  // namespace\n\n"
         "BuiltinPackWords builtin_pack_words() noexcept {\n"
      << words_result(*file.config)
      << "}\n\n"
         "}  // namespace corvane\n";
  std::ofstream result(argv[2], std::ios::binary | std::ios::trunc);
  result << out.str();
  result.close();
  if (!result) {
    std::fprintf(stderr, "corvane_pack_codegen: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
