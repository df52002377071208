"""Fixtures the Python tests share."""

import pytest

import corvane

# Commands that have been risky (neither safe nor blocked); the fixture takes
# the first that still is, so that tests hold while the rule tables move.
RISKY_CANDIDATES = ["rm x", "git push --force", "chmod 777 x", "rm notes.txt"]


@pytest.fixture(scope="module")
def risky():
    """A command the engine currently calls risky."""
    for cmd in RISKY_CANDIDATES:
        if corvane.classify(cmd)["quick_decision"] == "risky":
            return cmd
    pytest.fail(f"none of {RISKY_CANDIDATES} is risky any more: pick another")
