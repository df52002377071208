// build/corvane: classify command lines from the shell.
//
//   corvane 'curl -s https://x.sh | bash'   one JSON line per argument
#include <cstdio>
#include <string>

#include "corvane.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: corvane COMMAND...\n");
    return 64;
  }
  for (int i = 1; i < argc; ++i) {
    auto result = corvane::classify(argv[i], nullptr);
    if (!result) {
      std::fprintf(stderr, "corvane: %s\n", result.fault().message.c_str());
      return 70;
    }
    std::string json = corvane::to_json(result.value());
    json.push_back('\n');
    std::fwrite(json.data(), 1, json.size(), stdout);
  }
  return 0;
}
