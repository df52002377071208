"""Fixtures and helpers the Python tests share."""

import os

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


def read_terminal(master):
    """Everything written to a pseudo-terminal until the child closes it."""
    chunks = []
    while True:
        try:
            data = os.read(master, 65536)
        except OSError:  # EIO once the child has closed the terminal
            break
        if not data:
            break
        chunks.append(data)
    return b"".join(chunks)
