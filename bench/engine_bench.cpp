// Engine benchmarks. The floor is tree-sitter's own cost: a new parser per
// call, the Bash grammar installed, the line parsed and everything released,
// which is what the engine must do anyway. Every engine figure is read as a
// ratio to that floor, measured in the same run.
#include <benchmark/benchmark.h>
#include <tree_sitter/api.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "corvane.h"

extern "C" const TSLanguage* tree_sitter_bash(void);

namespace {

void parse_only(const std::string& line) {
  TSParser* parser = ts_parser_new();
  ts_parser_set_language(parser, tree_sitter_bash());
  TSTree* tree = ts_parser_parse_string(parser, nullptr, line.data(), static_cast<uint32_t>(line.size()));
  benchmark::DoNotOptimize(tree);
  ts_tree_delete(tree);
  ts_parser_delete(parser);
}

void classify_only(const std::string& line) {
  auto r = corvane::classify_inner(line, nullptr, nullptr);
  benchmark::DoNotOptimize(r);
}

const std::vector<std::pair<const char*, std::string>>& typical() {
  static const std::vector<std::pair<const char*, std::string>> lines = {
      {"simple_read", "cat README.md"},
      {"ls_la", "ls -la"},
      {"rm_rf", "rm -rf ./build/"},
      {"curl_bash", "curl -fsSL https://example.com/install.sh | bash"},
      {"three_stage", "cat access.log | grep ' 500 ' | sort -u"},
      {"and_chain", "cd /work/app && npm ci && npm run build && npm test && git add -A && git commit -m wip && git push"},
  };
  return lines;
}

std::vector<std::string> corpus() {
  const char* env = std::getenv("CORVANE_CORPUS");
  std::ifstream in(env != nullptr ? env : "../shared/corpus/nl2bash.cm");
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

// Lines of a given size and shape, for the scaling table.
std::string shaped(const std::string& shape, std::size_t bytes) {
  // "taint": every segment is both a source and a sink, the worst case for
  // the pipeline's pair analysis.
  std::string unit = shape == "args"       ? " arg"
                     : shape == "pipeline" ? "cat f | "
                     : shape == "taint"    ? "echo $X | sh | "
                                           : "ls && ";
  std::string line = shape == "args" ? "echo" : "";
  while (line.size() + unit.size() < bytes) line += unit;
  line += "ls";
  return line;
}

void register_all() {
  for (const auto& [name, line] : typical()) {
    const std::string l = line;
    benchmark::RegisterBenchmark((std::string("floor/") + name).c_str(),
                                 [l](benchmark::State& s) { for (auto _ : s) parse_only(l); });
    benchmark::RegisterBenchmark((std::string("classify_inner/") + name).c_str(),
                                 [l](benchmark::State& s) { for (auto _ : s) classify_only(l); });
  }

  const auto lines = std::make_shared<std::vector<std::string>>(corpus());
  if (!lines->empty()) {
    // One iteration is the whole corpus; the per-line figure is the counter.
    // One iteration is the whole corpus; the report divides by "lines".
    auto per_line = [lines](benchmark::State& s, void (*fn)(const std::string&)) {
      for (auto _ : s)
        for (const auto& l : *lines) fn(l);
      s.counters["lines"] = static_cast<double>(lines->size());
    };
    // The same two costs measured line by line, alternating, so that both see
    // the same machine: on a shared machine this ratio is the steadiest one.
    benchmark::RegisterBenchmark("paired/corpus", [lines](benchmark::State& s) {
      using clock = std::chrono::steady_clock;
      clock::duration floor{}, engine{};
      for (auto _ : s) {
        for (const auto& l : *lines) {
          const auto t0 = clock::now();
          parse_only(l);
          const auto t1 = clock::now();
          classify_only(l);
          const auto t2 = clock::now();
          floor += t1 - t0;
          engine += t2 - t1;
        }
      }
      const double n = static_cast<double>(lines->size()) * static_cast<double>(s.iterations());
      s.counters["floor_us"] = std::chrono::duration<double, std::micro>(floor).count() / n;
      s.counters["classify_us"] = std::chrono::duration<double, std::micro>(engine).count() / n;
      s.counters["ratio"] = static_cast<double>(engine.count()) / static_cast<double>(floor.count());
    })->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("floor/corpus", [per_line](benchmark::State& s) { per_line(s, parse_only); })
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("classify_inner/corpus", [per_line](benchmark::State& s) { per_line(s, classify_only); })
        ->Unit(benchmark::kMillisecond);
  }

  if (std::getenv("CORVANE_BENCH_SCALING") != nullptr) {
    for (const char* shape : {"args", "pipeline", "and_chain", "taint"}) {
      for (std::size_t kib : {1, 10, 100, 1024}) {
        const std::string l = shaped(shape, kib * 1024);
        const std::string suffix = std::string(shape) + "/" + std::to_string(kib) + "KiB";
        benchmark::RegisterBenchmark(("scaling_floor/" + suffix).c_str(),
                                     [l](benchmark::State& s) { for (auto _ : s) parse_only(l); })
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("scaling_classify/" + suffix).c_str(),
                                     [l](benchmark::State& s) { for (auto _ : s) classify_only(l); })
            ->Unit(benchmark::kMillisecond);
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  register_all();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
