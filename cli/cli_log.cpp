// The hook's decision log; see cli_log.h for the line format.
#include "cli_log.h"

#include <fcntl.h>
#include <nettle/sha2.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>

#include "cli.h"

namespace corvane::cli {
namespace {

// UTC, RFC 3339 to the second: 2026-12-10T10:30:00Z.
std::string utc_now() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  ::gmtime_r(&now, &tm);
  std::array<char, 32> buffer{};
  const std::size_t n = std::strftime(buffer.data(), buffer.size(), "%Y-%m-%dT%H:%M:%SZ", &tm);
  return std::string(buffer.data(), n);
}

}  // namespace

std::string sha256_hex(std::string_view bytes) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, bytes.size(), reinterpret_cast<const std::uint8_t*>(bytes.data()));
  std::array<std::uint8_t, SHA256_DIGEST_SIZE> digest{};
  sha256_digest(&ctx, digest.size(), digest.data());
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(digest.size() * 2);
  for (const std::uint8_t b : digest) {
    hex.push_back(kHex[b >> 4]);
    hex.push_back(kHex[b & 0xF]);
  }
  return hex;
}

std::string_view first_word(std::string_view command) noexcept {
  constexpr std::string_view kBlanks = " \t\r\n";
  const std::size_t start = command.find_first_not_of(kBlanks);
  if (start == std::string_view::npos) return {};
  command.remove_prefix(start);
  return command.substr(0, command.find_first_of(kBlanks));
}

std::string format_log_line(const LogEntry& e, bool redact) {
  nlohmann::ordered_json line;
  line["time"] = utc_now();
  line["agent"] = e.agent;
  line["cwd"] = e.cwd ? nlohmann::ordered_json(*e.cwd) : nlohmann::ordered_json(nullptr);
  if (redact) {
    line["command_sha256"] = sha256_hex(e.command);
    line["program"] = first_word(e.command);
  } else {
    line["command"] = e.command;
  }
  line["score"] = e.score;
  line["level"] = e.level;
  line["decision"] = e.decision;
  line["reason"] = e.reason;
  // Commands may hold any bytes; the log stays valid UTF-8 JSON.
  return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

bool append_log_line(const std::string& path, std::string_view line, std::string& error) {
  // Commands can carry secrets: a new log is readable by its owner only.
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) {
    error = "cannot open log " + printable(path) + ": " + std::strerror(errno);
    return false;
  }
  ssize_t n;
  do {
    n = ::write(fd, line.data(), line.size());
  } while (n < 0 && errno == EINTR);
  const int write_errno = errno;
  const bool closed = ::close(fd) == 0;
  if (n < 0 || static_cast<std::size_t>(n) != line.size()) {
    error = "cannot write log " + printable(path) + ": " +
            (n < 0 ? std::strerror(write_errno) : "short write (disk full?)");
    return false;
  }
  if (!closed) {
    error = "cannot write log " + printable(path) + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace corvane::cli
