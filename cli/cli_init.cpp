// `corvane init`: sets corvane up. Without a word it installs the default rule
// pack as the user's rule file; a shell's name (`corvane init bash`) prints
// that shell's snippet instead. One positional word chooses what to set up.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "builtin_pack.h"
#include "cli.h"
#include "custom_rules.h"

namespace corvane::cli {
namespace {

constexpr std::string_view kSub = "init";

std::string errno_text(int err) { return std::strerror(err); }

// Creates every missing directory of `path` (not its last component).
bool make_parents(const std::string& path, std::string& error) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    const std::string dir = path.substr(0, slash);
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
      error = "cannot create " + dir + ": " + errno_text(errno);
      return false;
    }
  }
  return true;
}

// Writes `text` to `path` through a temporary file in the same directory and
// a rename, so that a reader never sees half a rule file. Without `replace`,
// the final link fails when the path exists (also if it appeared meanwhile).
bool write_file(const std::string& path, std::string_view text, bool replace, std::string& error) {
  std::string tmp = path + ".XXXXXX";
  const int fd = ::mkstemp(tmp.data());
  if (fd < 0) {
    error = "cannot create a file next to " + path + ": " + errno_text(errno);
    return false;
  }
  bool ok = true;
  for (std::string_view rest = text; ok && !rest.empty();) {
    const ssize_t n = ::write(fd, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else rest.remove_prefix(static_cast<std::size_t>(n));
  }
  if (ok && ::fchmod(fd, 0644) != 0) ok = false;
  if (ok && ::fsync(fd) != 0) ok = false;
  if (::close(fd) != 0) ok = false;
  if (!ok) error = "cannot write " + tmp + ": " + errno_text(errno);
  if (ok) {
    const int rc = replace ? ::rename(tmp.c_str(), path.c_str()) : ::link(tmp.c_str(), path.c_str());
    if (rc != 0) {
      error = errno == EEXIST ? path + " already exists (use --force to replace it)"
                              : "cannot write " + path + ": " + errno_text(errno);
      ok = false;
    }
  }
  if (!ok || !replace) ::unlink(tmp.c_str());
  return ok;
}

int install_pack(bool force) {
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') {
    report("HOME is not set, so there is no user rule file to write", kSub);
    return 1;
  }
  const std::string path = std::string(home) + (std::string_view(home).ends_with('/') ? "" : "/") +
                           ".config/corvane/rules.toml";
  struct stat st {};
  if (!force && ::lstat(path.c_str(), &st) == 0) {
    report(printable(path) + " already exists (use --force to replace it)", kSub);
    return 1;
  }
  std::string error;
  if (!make_parents(path, error) || !write_file(path, default_rule_pack(), force, error)) {
    report(printable(error), kSub);
    return error.ends_with("(use --force to replace it)") ? 1 : kExitIo;
  }
  if (!write_stdout("corvane: wrote the default rule pack to " + printable(path) + "\n") || !flush_stdout())
    return kExitIo;
  return 0;
}

}  // namespace

int run_init(std::span<const std::string_view> args) {
  Options options;
  if (auto done = parse_or_answer(Subcommand::Init, args, options)) return *done;
  if (options.commands.empty()) return install_pack(options.force);
  if (options.commands.size() > 1 || options.force)
    return usage_error(Subcommand::Init, "takes --force alone, or one shell: bash, zsh or fish");
  return print_shell_snippet(options.commands.front());
}

std::string_view default_rule_pack() noexcept { return builtin_pack_text(); }

}  // namespace corvane::cli
