#include <gtest/gtest.h>

#include "parser.h"

namespace corvane {
namespace {

std::vector<std::string> executables(const ParsedCommand& p) {
  std::vector<std::string> out;
  for (const auto& s : p.segments) out.push_back(s.executable.value_or("<none>"));
  return out;
}

bool has_warning(const ParsedCommand& p, WarningKind k) {
  for (const auto& w : p.warnings)
    if (w.kind == k) return true;
  return false;
}

using Ops = std::vector<Operator>;
using Names = std::vector<std::string>;

struct WalkCase {
  const char* line;
  Names executables;
  Ops operators;
};

// The line names the case, its newlines escaped: a test name must be the
// same on every run and printable (the default would dump the struct's
// bytes, pointers included).
void PrintTo(const WalkCase& c, std::ostream* os) {
  if (*c.line == '\0') *os << "(empty)";
  for (const char* p = c.line; *p != '\0'; ++p) {
    if (*p == '\n') {
      *os << "\\n";
    } else {
      *os << *p;
    }
  }
}

class Walk : public ::testing::TestWithParam<WalkCase> {};

TEST_P(Walk, SegmentsAndOperators) {
  const WalkCase& c = GetParam();
  ParsedCommand p = parse(c.line);
  EXPECT_EQ(executables(p), c.executables) << c.line;
  EXPECT_EQ(p.operators, c.operators) << c.line;
}

INSTANTIATE_TEST_SUITE_P(
    Parser, Walk,
    ::testing::Values(
        WalkCase{"", {"<none>"}, {}},
        WalkCase{"ls -la", {"ls"}, {}},
        WalkCase{"cat a | grep b && rm c", {"cat", "grep", "rm"}, {Operator::Pipe, Operator::And}},
        WalkCase{"x; cat f | nc h 80", {"x", "cat", "nc"}, {Operator::Sequence, Operator::Pipe}},
        WalkCase{"a & b", {"a", "b"}, {Operator::Sequence}},
        WalkCase{"a || b", {"a", "b"}, {Operator::Or}},
        WalkCase{"a |& b", {"a", "b"}, {Operator::Pipe}},
        WalkCase{"a && b &", {"a", "b"}, {Operator::And}},
        WalkCase{"if true; then rm -rf /; fi", {"<none>"}, {}},
        WalkCase{"echo $(rm -rf /)", {"echo"}, {}},
        WalkCase{"[[ $(id -u) -eq 0 ]]", {"id"}, {}},
        WalkCase{"a && [[ -f x ]]", {"a"}, {Operator::And}},
        WalkCase{"for ((i=0;i<3;i++)); do a; b; done", {"<none>", "a", "b"}, {}},
        WalkCase{"f() { rm -rf /; }", {"<none>"}, {}},
        WalkCase{"! rm x", {"<none>"}, {}},
        WalkCase{"a\nb | c", {"a", "b", "c"}, {Operator::Sequence, Operator::Pipe}},
        WalkCase{"A=1", {"<none>"}, {}},
        WalkCase{"echo hi > out.txt", {"echo"}, {}}));

TEST(Parser, EmptyLineHasOneEmptySegmentAndNoWarnings) {
  ParsedCommand p = parse("");
  ASSERT_EQ(p.segments.size(), 1u);
  EXPECT_EQ(p.segments[0], CommandSegment{});
  EXPECT_TRUE(p.operators.empty());
  EXPECT_TRUE(p.warnings.empty());
}

TEST(Parser, SubshellMergesFirstCommandOnly) {
  ParsedCommand p = parse("(cd /tmp && rm -rf x)");
  ASSERT_EQ(p.segments.size(), 1u);
  const CommandSegment& s = p.segments[0];
  EXPECT_TRUE(s.in_subshell);
  EXPECT_EQ(s.text, "(cd /tmp && rm -rf x)");
  EXPECT_EQ(s.executable, "cd");
  ASSERT_EQ(s.arguments.size(), 1u);
  EXPECT_EQ(s.arguments[0].text, "/tmp");
  EXPECT_TRUE(p.operators.empty());
}

TEST(Parser, OpaqueStatementKeepsWholeText) {
  ParsedCommand p = parse("if true; then rm -rf /; fi");
  ASSERT_EQ(p.segments.size(), 1u);
  EXPECT_EQ(p.segments[0].text, "if true; then rm -rf /; fi");
  EXPECT_FALSE(p.segments[0].executable);
}

TEST(Parser, ExportKeepsAssignment) {
  ParsedCommand p = parse("export A=$(curl x)");
  ASSERT_EQ(p.segments.size(), 1u);
  EXPECT_FALSE(p.segments[0].executable);
  ASSERT_EQ(p.segments[0].assignments.size(), 1u);
  EXPECT_EQ(p.segments[0].assignments[0], (Assignment{"A", "$(curl x)"}));
}

TEST(Parser, QuotingAndExpansion) {
  struct Case {
    const char* line;
    std::size_t index;
    const char* text;
    bool quoted;
    QuoteKind quote;
    std::optional<ExpansionKind> expansion;
  };
  const Case cases[] = {
      {"rm -rf \"/tmp/a b\"", 0, "-rf", false, QuoteKind::Unquoted, std::nullopt},
      {"rm -rf \"/tmp/a b\"", 1, "\"/tmp/a b\"", true, QuoteKind::Double, std::nullopt},
      {"echo '$(id)'", 0, "'$(id)'", true, QuoteKind::Single, ExpansionKind::CommandSubstitution},
      {"echo \"$HOME\"", 0, "\"$HOME\"", true, QuoteKind::Double, ExpansionKind::Variable},
      {"echo $ x", 0, "x", false, QuoteKind::Unquoted, std::nullopt},
      {"ls ~/src *.txt", 0, "~/src", false, QuoteKind::Unquoted, ExpansionKind::Tilde},
      {"ls ~/src *.txt", 1, "*.txt", false, QuoteKind::Unquoted, ExpansionKind::Glob},
      {"cp a{1,2} b", 0, "a{1,2}", false, QuoteKind::Unquoted, ExpansionKind::Brace},
      {"echo {}", 0, "{}", false, QuoteKind::Unquoted, std::nullopt},
      {"echo $'\\x41'", 0, "$'\\x41'", true, QuoteKind::AnsiC, ExpansionKind::Variable},
      {"echo a\"b\"'c'", 0, "a\"b\"'c'", true, QuoteKind::Single, std::nullopt},
      {"echo $((1+2))", 0, "$((1+2))", false, QuoteKind::Unquoted, ExpansionKind::Arithmetic},
      {"diff <(ls a) b", 0, "<(ls a)", false, QuoteKind::Unquoted, ExpansionKind::ProcessSubstitution},
      {"echo `id`", 0, "`id`", false, QuoteKind::Unquoted, ExpansionKind::CommandSubstitution},
      // The first expansion in the tree, in child order, depth first.
      {"echo \"$x$(id)\"", 0, "\"$x$(id)\"", true, QuoteKind::Double, ExpansionKind::Variable},
      {"echo \"$(id)$x\"", 0, "\"$(id)$x\"", true, QuoteKind::Double, ExpansionKind::CommandSubstitution},
      {"echo $(echo $x)", 0, "$(echo $x)", false, QuoteKind::Unquoted, ExpansionKind::CommandSubstitution},
      {"echo ${x}", 0, "${x}", false, QuoteKind::Unquoted, ExpansionKind::Variable},
      {"echo a$((1+2))", 0, "a$((1+2))", false, QuoteKind::Unquoted, ExpansionKind::Arithmetic},
      {"cat >(tee x)", 0, ">(tee x)", false, QuoteKind::Unquoted, ExpansionKind::ProcessSubstitution},
      // Tests on the raw text, quotes included, first match wins.
      {"echo 'a`b$((1'", 0, "'a`b$((1'", true, QuoteKind::Single, ExpansionKind::CommandSubstitution},
      {"echo '$((1))'", 0, "'$((1))'", true, QuoteKind::Single, ExpansionKind::Arithmetic},
      {"echo '${x}'", 0, "'${x}'", true, QuoteKind::Single, ExpansionKind::Variable},
      {"echo '$x'", 0, "'$x'", true, QuoteKind::Single, ExpansionKind::Variable},
      {"echo '*'", 0, "'*'", true, QuoteKind::Single, ExpansionKind::Glob},
      {"echo 'a?'", 0, "'a?'", true, QuoteKind::Single, ExpansionKind::Glob},
      {"echo '[a]'", 0, "'[a]'", true, QuoteKind::Single, ExpansionKind::Glob},
      {"echo '{a,b}'", 0, "'{a,b}'", true, QuoteKind::Single, ExpansionKind::Brace},
      {"echo '{a}'", 0, "'{a}'", true, QuoteKind::Single, std::nullopt},
      {"echo '~x'", 0, "'~x'", true, QuoteKind::Single, std::nullopt},
      {"ls ~", 0, "~", false, QuoteKind::Unquoted, ExpansionKind::Tilde},
      {"ls x~", 0, "x~", false, QuoteKind::Unquoted, std::nullopt},
      {"ls ~/*.txt", 0, "~/*.txt", false, QuoteKind::Unquoted, ExpansionKind::Tilde},
      // Concatenations: the last quoted part decides.
      {"echo \"a\"b", 0, "\"a\"b", true, QuoteKind::Double, std::nullopt},
      {"echo 'a'\"b\"", 0, "'a'\"b\"", true, QuoteKind::Double, std::nullopt},
      {"echo a$'b'", 0, "a$'b'", true, QuoteKind::AnsiC, ExpansionKind::Variable},
  };
  for (const Case& c : cases) {
    ParsedCommand p = parse(c.line);
    ASSERT_EQ(p.segments.size(), 1u) << c.line;
    ASSERT_GT(p.segments[0].arguments.size(), c.index) << c.line;
    const Argument& a = p.segments[0].arguments[c.index];
    EXPECT_EQ(a.text, c.text) << c.line;
    EXPECT_EQ(a.quoted, c.quoted) << c.line;
    EXPECT_EQ(a.quote, c.quote) << c.line;
    EXPECT_EQ(a.expansion, c.expansion) << c.line;
    EXPECT_EQ(a.has_expansion, c.expansion.has_value()) << c.line;
  }
}

TEST(Parser, AssignmentsPrefixCommand) {
  ParsedCommand p = parse("X=1 Y=2 make");
  ASSERT_EQ(p.segments.size(), 1u);
  EXPECT_EQ(p.segments[0].executable, "make");
  EXPECT_TRUE(p.segments[0].arguments.empty());
  EXPECT_EQ(p.segments[0].assignments, (std::vector<Assignment>{{"X", "1"}, {"Y", "2"}}));

  ParsedCommand empty = parse("A=");
  ASSERT_EQ(empty.segments[0].assignments.size(), 1u);
  EXPECT_EQ(empty.segments[0].assignments[0], (Assignment{"A", ""}));

  ParsedCommand sub = parse("arr[0]=v");
  ASSERT_EQ(sub.segments[0].assignments.size(), 1u);
  EXPECT_EQ(sub.segments[0].assignments[0], (Assignment{"arr[0]", "v"}));
}

TEST(Parser, Redirections) {
  ParsedCommand p = parse("cmd 2>&1 >> log");
  ASSERT_EQ(p.segments.size(), 1u);
  EXPECT_EQ(p.segments[0].redirections,
            (std::vector<Redirection>{{"1", 2u, RedirectKind::Output, true}, {"log", std::nullopt, RedirectKind::Append}}));

  ParsedCommand both = parse("cmd &>> log");
  ASSERT_EQ(both.segments[0].redirections.size(), 1u);
  EXPECT_EQ(both.segments[0].redirections[0].kind, RedirectKind::Output);

  ParsedCommand in = parse("sort < data");
  ASSERT_EQ(in.segments[0].redirections.size(), 1u);
  EXPECT_EQ(in.segments[0].redirections[0], (Redirection{"data", std::nullopt, RedirectKind::Input}));

  ParsedCommand here = parse("cat <<EOF\nhello\nEOF");
  ASSERT_GE(here.segments.size(), 1u);
  ASSERT_EQ(here.segments[0].redirections.size(), 1u);
  EXPECT_EQ(here.segments[0].redirections[0].kind, RedirectKind::Heredoc);
  EXPECT_EQ(here.segments[0].redirections[0].target.substr(0, 5), "<<EOF");

  ParsedCommand hs = parse("cat <<< word");
  ASSERT_EQ(hs.segments[0].redirections.size(), 1u);
  EXPECT_EQ(hs.segments[0].redirections[0], (Redirection{"<<< word", std::nullopt, RedirectKind::Herestring}));
}

TEST(Parser, ExecutableKeepsQuotesAndDirectory) {
  EXPECT_EQ(parse("'/bin/rm' x").segments[0].executable, "'/bin/rm'");
  EXPECT_EQ(parse("/usr/bin/env python").segments[0].executable, "/usr/bin/env");
}

TEST(Parser, Warnings) {
  EXPECT_TRUE(parse("a\tb\nc").warnings.empty());

  ParsedCommand esc = parse("echo \x1b[31m \x1b");
  ASSERT_FALSE(esc.warnings.empty());
  EXPECT_EQ(esc.warnings[0], (ParseWarning{WarningKind::ControlCharacters, "\x1b\x1b"}));

  ParsedCommand crlf = parse("ls\r\n");
  ASSERT_EQ(crlf.warnings.size(), 1u);
  EXPECT_EQ(crlf.warnings[0].kind, WarningKind::CarriageReturn);

  EXPECT_TRUE(has_warning(parse("echo \\; x"), WarningKind::EscapedOperator));
  EXPECT_TRUE(has_warning(parse("echo $'\\x41'"), WarningKind::AnsiCQuoting));

  ParsedCommand nbsp = parse("ls\xc2\xa0-la\xe3\x80\x80");
  ASSERT_FALSE(nbsp.warnings.empty());
  EXPECT_EQ(nbsp.warnings[0], (ParseWarning{WarningKind::UnicodeWhitespace, "\xc2\xa0\xe3\x80\x80"}));

  // Order: control, unicode space, carriage return, ANSI-C, escaped operator.
  ParsedCommand all = parse("\x01\xc2\xa0\r$'x' \\|");
  std::vector<WarningKind> kinds;
  for (const auto& w : all.warnings) kinds.push_back(w.kind);
  ASSERT_GE(kinds.size(), 5u);
  EXPECT_EQ(std::vector<WarningKind>(kinds.begin(), kinds.begin() + 5),
            (std::vector<WarningKind>{WarningKind::ControlCharacters, WarningKind::UnicodeWhitespace,
                                      WarningKind::CarriageReturn, WarningKind::AnsiCQuoting,
                                      WarningKind::EscapedOperator}));
}

TEST(Parser, SyntaxErrorStillYieldsSegments) {
  ParsedCommand p = parse("ls -la )");
  ASSERT_FALSE(p.warnings.empty());
  EXPECT_EQ(p.warnings.back(), (ParseWarning{WarningKind::ParseError, "parse tree contains error nodes"}));
  EXPECT_FALSE(p.segments.empty());

  ParsedCommand none = parse(")))");
  EXPECT_EQ(none.warnings.back().kind, WarningKind::ParseError);
  ASSERT_EQ(none.segments.size(), 1u);
}

TEST(Parser, InvalidUtf8NodeTextIsEmpty) {
  ParsedCommand p = parse("echo \xff\xfe");
  ASSERT_EQ(p.segments.size(), 1u);
  EXPECT_EQ(p.segments[0].text, "");
}

}  // namespace
}  // namespace corvane

namespace corvane {
namespace {

// Wide nodes are read through a tree cursor, narrow ones by index; both must
// give every child in order.
TEST(Parser, WideAndNarrowNodesGiveTheSameChildren) {
  for (int n : {3, 47, 48, 49, 200}) {
    std::string line = "echo";
    for (int i = 0; i < n; ++i) line += " a" + std::to_string(i) + (i % 7 == 0 ? "\"$x\"" : "");
    line += " > out";
    ParsedCommand p = parse(line);
    ASSERT_EQ(p.segments.size(), 1u) << n;
    const auto& args = p.segments[0].arguments;
    ASSERT_EQ(args.size(), static_cast<std::size_t>(n)) << n;
    for (int i = 0; i < n; ++i) {
      EXPECT_EQ(args[i].text.rfind("a" + std::to_string(i), 0), 0u) << n << " " << i;
      EXPECT_EQ(args[i].quoted, i % 7 == 0) << n << " " << i;
    }
    ASSERT_EQ(p.segments[0].redirections.size(), 1u);

    std::string pipeline = "a0";
    for (int i = 1; i < n; ++i) pipeline += " | a" + std::to_string(i);
    ParsedCommand pp = parse(pipeline);
    ASSERT_EQ(pp.segments.size(), static_cast<std::size_t>(n));
    EXPECT_EQ(pp.operators.size(), static_cast<std::size_t>(n - 1));
    EXPECT_EQ(pp.segments.back().executable, "a" + std::to_string(n - 1));
  }
}

}  // namespace
}  // namespace corvane
