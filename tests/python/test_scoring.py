"""End-to-end scores through the module: context, detectors, arithmetic."""

import pytest

import corvane

APP = {"cwd": "/work/app", "project_root": "/work/app"}

CASES = [
    # delete 45 + irreversible 15, adjusted for where the path lies
    ("rm build/out.o", APP, 35),         # inside a build-output folder: -10 -15
    ("rm src/main.c", APP, 50),          # inside the project: -10
    ("rm /tmp/x", APP, 80),              # outside the project: +20
    ("cat /tmp/x", APP, 0),              # reading outside the project: no change (10 - 10)
    # home: +15 when the command runs from elsewhere, or names home itself
    ("cat /Users/me/notes", {"home_dir": "/Users/me", "cwd": "/tmp"}, 15),
    ("cat /Users/me/notes", {"home_dir": "/Users/me", "cwd": "/Users/me/proj"}, 0),
    # protected: +25 sensitivity and +25 adjustment
    ("cp a /srv/data/x", {"protected_paths": ["/srv/data"]}, 70),
    # no context at all: +5; an empty context: 0
    ("cat ./x", None, 5),
    ("cat ./x", {}, 0),
    # reversibility: cp -10, mv +5
    ("cp a ./b", None, 25),
    ("mv a ./b", None, 40),
    # detector on a strong base adds a quarter of the base: 65 + 40 / 4
    ("rm x $(id)", None, 75),
    # detector on a weak base replaces it: base -5, "$(" 40
    ("echo $(id)", None, 40),
    # sums above 100 are clamped
    ("rm -rf /", None, 100),
]


@pytest.mark.parametrize("command, context, score", CASES)
def test_score(command, context, score):
    assert corvane.classify(command, context)["score"] == score


def test_build_output_folder_lowers_only_inside_the_project():
    inside = corvane.classify("rm -rf dist/bundle.js", APP)["sub_commands"][0]["score"]
    elsewhere = corvane.classify("rm -rf /srv/dist/bundle.js", APP)["sub_commands"][0]["score"]
    assert inside < elsewhere
