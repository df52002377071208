// The engine's working model of one simple command (internal).
//
// The analyzer builds one SimpleCommand per segment, once: the parsed words,
// the command rule row, the capabilities, the detector matches and the
// targets. Every later step reads this record instead of looking anything up
// again: the scorer, the ATT&CK mapping, the pipeline and the rule files. The
// CommandAnalysis of the result is its projection; the driver moves it out
// at the end.
//
// Words keep two spellings: `written` is the source text, shown in results;
// `value` is what matching sees.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "parser.h"
#include "rules/commands.h"
#include "rules/injection.h"
#include "text.h"
#include "types.h"

namespace corvane {

// One word of the command line: the executable or an argument.
struct Word {
  std::string written;  // as in the source, quotes included
  // After quote removal (see remove_quotes); the written text when the word
  // holds an expansion, whose value is unknown.
  std::string value;
  // Byte offset of `written` in the segment's text; npos when the word
  // cannot be placed there.
  std::size_t at = std::string_view::npos;
};

// A path the command acts on.
struct PathTarget {
  Target shown;          // path as written, with its scope and sensitivity
  std::string value;     // the path as matched (scope, sensitivity, context)
  bool written = false;  // the command writes this file
};

struct SimpleCommand {
  // The projection: command text, written executable, intent, targets,
  // flags, score, risk factors, reversibility, capabilities.
  CommandAnalysis analysis;

  // The executable word (when the segment has one) followed by the
  // arguments, in source order.
  std::vector<Word> words;
  bool has_executable = false;  // words.front() is the executable

  // Index in `words` of the program that actually runs: past the wrappers,
  // 0 when there is none. Meaningless when the segment has no executable.
  std::size_t program_word = 0;

  // Row of the program that runs, or null for an unknown command or none.
  const rules::CommandRule* rule = nullptr;

  // When a wrapper (sudo, env, timeout, ...) runs the program: the
  // projection judges the program it runs, and the wrapper's own judgement
  // of the whole segment (as if it were not looked through) is kept as the
  // floor of the score. `wrapper_rule` is the wrapper's row, if it has one.
  struct OwnJudgement {
    CommandAnalysis analysis;
    std::vector<PathTarget> targets;
  };
  std::optional<OwnJudgement> wrapper;
  const rules::CommandRule* wrapper_rule = nullptr;

  // Injection (and, for zsh, zsh) detector rows that matched the text, in
  // table order, and the highest of their weights (0 for none).
  std::vector<rules::PatternMatch> detections;
  std::uint8_t detector_weight = 0;

  // The targets behind analysis.targets, one for one (empty when the
  // analysis shows only the placeholder target).
  std::vector<PathTarget> targets;

  // The parsed pieces matching does not need as words.
  std::vector<Redirection> redirections;
  std::vector<Assignment> assignments;
  bool in_subshell = false;

  std::string_view text() const noexcept { return analysis.command; }

  // The lookup key of the program that runs (base name of its word as
  // matched); empty when the segment runs none.
  std::string_view program() const noexcept {
    return has_executable ? text::base_name(words[program_word].value) : std::string_view{};
  }

  // The words from the program that runs on: its name, then its arguments.
  std::span<const Word> program_words() const noexcept {
    if (!has_executable) return {};
    return std::span<const Word>(words).subspan(program_word);
  }

  // The arguments of the program that runs (every word when the segment
  // has no executable).
  std::span<const Word> arguments() const noexcept {
    if (!has_executable) return words;
    return std::span<const Word>(words).subspan(program_word + 1);
  }
};

}  // namespace corvane
