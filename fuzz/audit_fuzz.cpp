// Fuzzes the readers of `corvane audit` on arbitrary files in every format
// (the first byte picks one, or detection) and the secret masking on
// whatever commands come out: reading must go on to the end, count lines
// consistently and never fail.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "audit.h"

using namespace corvane::cli::audit;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const Format forced = kFormatTable[data[0] % kFormatTable.size()].format;
  std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::FILE* file = ::fmemopen(body.data(), body.size(), "rb");
  if (file == nullptr) return 0;  // fmemopen refuses an empty buffer on some libcs
  {
    SourceReader reader(file, "fuzz", forced, 0);
    Entry e;
    std::uint64_t last_line = 0, commands = 0;
    while (reader.next(e)) {
      // Entries come in file order and from lines that were read.
      if (e.line < last_line || e.line == 0 || e.line > reader.stats().lines) __builtin_trap();
      last_line = e.line;
      ++commands;
      const std::string masked = mask_secrets(e.command);
      if (masked.size() > e.command.size() + 4 * (e.command.size() / 2 + 1)) __builtin_trap();
      if (e.time && *e.time < 0) __builtin_trap();
    }
    if (commands != reader.stats().commands) __builtin_trap();
  }
  std::fclose(file);
  return 0;
}
