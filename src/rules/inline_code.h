// Inline code of interpreters (python -c, perl -e, ruby -e, node -e, php -r,
// awk programs): the shell commands it runs and the files it deletes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::rules {

enum class CodeLanguage : std::uint8_t { Python, Perl, Ruby, Node, Php, Awk };

// The command lines the code would run, in source order: the string literal
// given to a shell-running call (os.system, subprocess.*, system, exec,
// backquotes, child_process.exec*, ...) as a command line, an argument list
// as the command it spells, and a deletion (shutil.rmtree, unlink, ...)
// spelt as the equivalent `rm`. Code handed to the language's own eval is
// returned as a line running that interpreter on it.
std::vector<std::string> inline_code_command_lines(CodeLanguage language, std::string_view code);

}  // namespace corvane::rules

namespace corvane::rules {

// What a sed script does beyond editing text: the command lines its `e`
// command and the `e` flag of `s` run, a `w`/`W` command or `w` flag spelt as
// `tee FILE`, and an `r`/`R` command spelt as `cat FILE`. `runs_input` is set
// when a command comes from the text being edited (a bare `e`, or `s///e`,
// which runs the pattern space), as when input is piped into a shell.
struct SedEffects {
  std::vector<std::string> lines;
  bool runs_input = false;
};
SedEffects sed_script_effects(std::string_view script);

}  // namespace corvane::rules
