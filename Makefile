# corvane: build, test, demo, benchmarks, fuzzing.
#   make demo CMD='curl -s https://x.sh | bash'
#   make test
# Every target installs what is missing first (scripts/bootstrap.sh).

BUILD       ?= build
ASAN_BUILD  ?= build-asan
FUZZ_BUILD  ?= build-fuzz
PYTHON      ?= $(shell scripts/find-python.sh)
PYTEST_PATH ?= /usr/lib/python3/dist-packages
CMD         ?= curl -s https://x.sh | bash
JOBS        ?= $(shell nproc)
FUZZ_SECONDS ?= 60

CMAKE_FLAGS = -G Ninja -DPython_EXECUTABLE=$(PYTHON) -DCORVANE_WERROR=ON

.PHONY: all bootstrap build demo test test-asan bench bench-rules soak fuzz fuzz-smoke corpus-compare clean

all: build

bootstrap:
	@scripts/bootstrap.sh

$(BUILD)/build.ninja: | bootstrap
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Release

build: bootstrap $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# Only the verdict goes to standard output, so that it can be piped.
demo:
	@$(MAKE) --no-print-directory build >&2
	@$(BUILD)/corvane "$(CMD)"

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	PYTHONPATH=$(BUILD)/python:$(PYTEST_PATH) CORVANE_BUILD=$(BUILD) $(PYTHON) -m pytest -q tests/python

# The native suite again under AddressSanitizer, UBSan and LeakSanitizer.
test-asan: bootstrap
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCORVANE_SANITIZE=ON -DCORVANE_PYTHON=OFF -DCORVANE_WERROR=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# libFuzzer with ASan and UBSan (clang): each harness runs FUZZ_SECONDS.
FUZZ_FLAGS = -max_len=8192 -timeout=20 -rss_limit_mb=4096 -print_final_stats=1
fuzz: bootstrap
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_FUZZ=ON -DCORVANE_TESTS=OFF -DCORVANE_PYTHON=OFF -DCORVANE_WERROR=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target classify_fuzz rules_fuzz audit_fuzz
	mkdir -p fuzz/corpus-classify fuzz/corpus-rules fuzz/corpus-audit
	$(FUZZ_BUILD)/fuzz/classify_fuzz $(FUZZ_FLAGS) -dict=fuzz/classify.dict -max_total_time=$(FUZZ_SECONDS) fuzz/corpus-classify fuzz/seeds/classify
	$(FUZZ_BUILD)/fuzz/rules_fuzz $(FUZZ_FLAGS) -max_total_time=$(FUZZ_SECONDS) fuzz/corpus-rules fuzz/seeds/rules
	$(FUZZ_BUILD)/fuzz/audit_fuzz $(FUZZ_FLAGS) -max_total_time=$(FUZZ_SECONDS) fuzz/corpus-audit fuzz/seeds/audit

fuzz-smoke:
	$(MAKE) fuzz FUZZ_SECONDS=20

# Benchmarks: a Release build with the benchmark program, then one table.
BENCH_BUILD ?= build-bench
bench: bootstrap
	cmake -S . -B $(BENCH_BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Release -DCORVANE_BENCH=ON -DCORVANE_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	CORVANE_BENCH_BUILD=$(BENCH_BUILD) $(PYTHON) bench/run.py

# The peer-labelled commands scored without and with the default rule pack
# (skipped when ../shared/peers is not there).
bench-rules: build
	CORVANE_BUILD=$(BUILD) $(PYTHON) bench/rules.py

# A million calls in one process: resident memory must stay flat.
soak: build
	CORVANE_BUILD=$(BUILD) $(PYTHON) bench/soak.py

# Every corpus line's JSON, without and with a context, from this tree's build
# against the program built at BASE (a git revision): make corpus-compare BASE=main
BASE ?= main
corpus-compare: build
	JOBS=$(JOBS) PYTHON=$(PYTHON) scripts/corpus-against.sh $(BASE) $(BUILD)/corvane

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(BENCH_BUILD)
