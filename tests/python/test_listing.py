"""The native suite's test names: the same on every run, and printable."""

import os
import re
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
TESTS = ROOT / os.environ.get("CORVANE_BUILD", "build") / "tests" / "corvane_tests"


def test_native_test_names_are_stable_and_printable():
    if not TESTS.is_file():
        pytest.skip("native suite not built")
    listings = [subprocess.run([str(TESTS), "--gtest_list_tests"], capture_output=True, check=True,
                               timeout=120, env=dict(os.environ, GTEST_SHUFFLE="0")).stdout for _ in range(2)]
    assert listings[0] == listings[1]
    text = listings[0].decode("utf-8")  # strict
    assert not re.search(r"[\x00-\x08\x0b-\x1f\x7f]", text)
    assert "-byte object <" not in text  # a parameter printed as raw bytes (pointers differ per run)
