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

CMAKE_FLAGS = -G Ninja -DPython_EXECUTABLE=$(PYTHON)

.PHONY: all bootstrap build demo test test-native test-python test-asan bench fuzz fuzz-smoke corpus clean

all: build

bootstrap:
	@scripts/bootstrap.sh

$(BUILD)/build.ninja: | bootstrap
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Release

build: bootstrap $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	@$(BUILD)/corvane "$(CMD)"

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	PYTHONPATH=$(BUILD)/python:$(PYTEST_PATH) CORVANE_BUILD=$(BUILD) $(PYTHON) -m pytest -q tests/python

test-asan: bootstrap
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Debug -DCORVANE_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
