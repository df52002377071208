"""Rule files from the shell: `corvane init`, `corvane rules check`, and
the default pack at work through the agent hook."""
import json
import os
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
BUILD = ROOT / os.environ.get("CORVANE_BUILD", "build")
BIN = BUILD / "corvane"
PACK = ROOT / "rules" / "default.toml"


def run(*args, home, stdin=b"", cwd=None):
    env = {k: v for k, v in os.environ.items() if k != "NO_COLOR"}
    env["HOME"] = str(home)
    return subprocess.run([str(BIN), *args], input=stdin, capture_output=True, env=env, cwd=cwd, timeout=60)


@pytest.fixture
def home(tmp_path):
    h = tmp_path / "home"
    h.mkdir()
    return h


def test_init_installs_the_pack_and_refuses_to_overwrite(home):
    target = home / ".config" / "corvane" / "rules.toml"
    first = run("init", home=home)
    assert first.returncode == 0, first.stderr
    assert first.stdout.decode() == f"corvane: wrote the default rule pack to {target}\n"
    assert target.read_bytes() == PACK.read_bytes()

    target.write_text("# mine\n")
    again = run("init", home=home)
    assert again.returncode == 1
    assert b"already exists" in again.stderr and b"--force" in again.stderr
    assert target.read_text() == "# mine\n"  # untouched

    forced = run("init", "--force", home=home)
    assert forced.returncode == 0, forced.stderr
    assert target.read_bytes() == PACK.read_bytes()
    assert sorted(p.name for p in target.parent.iterdir()) == ["rules.toml"]  # no temporary left


def test_init_usage_errors(home):
    assert run("init", "tcsh", home=home).returncode == 64
    assert run("init", "--json", home=home).returncode == 64
    assert b"init [--force]" in run("init", "--help", home=home).stdout


BROKEN = """\
allow = ["git status", ""]
[[override]]
command = "terraform"
[[overrides]]
command = "terraform"
score = 1000
[[commands]]
name = "kubectl delete"
intent = "destroy"
"""


def test_rules_check_reports_with_line_and_column(home, tmp_path):
    f = tmp_path / "rules.toml"
    f.write_text(BROKEN)
    r = run("rules", "check", str(f), home=home)
    assert r.returncode == 1
    assert r.stdout.decode().splitlines() == [
        f'{f}:1:24: empty pattern matches nothing',
        f'{f}:2:3: unknown section "override" (did you mean "overrides"?); ignored',
        f'{f}:6:9: "score" = 1000 is outside 0..100; using 100',
        f'{f}:9:10: intent "destroy" is not one of read, write, delete, execute, network, process_control, '
        'privilege, package_install, git_mutation, env_modify, search, info; the command rule is not used',
    ]

    f.write_text("overrides = [\n")
    r = run("rules", "check", str(f), home=home)
    assert r.returncode == 1
    assert r.stdout.decode().startswith(f"{f}:1:") and "invalid TOML" in r.stdout.decode()

    r = run("rules", "check", str(tmp_path / "missing.toml"), home=home)
    assert r.returncode == 1 and b"cannot read" in r.stdout


def test_rules_check_defaults_to_the_files_read_here(home, tmp_path):
    project = tmp_path / "project"
    project.mkdir()
    r = run("rules", "check", home=home, cwd=project)
    assert r.returncode == 0 and b"no rule file" in r.stderr

    (project / ".corvane.toml").write_text('allow = ["make"]\n')
    r = run("rules", "check", home=home, cwd=project)
    assert r.returncode == 1
    assert r.stdout.decode() == "./.corvane.toml:1:10: a project file cannot allow anything; ignored\n"

    assert run("init", home=home).returncode == 0
    (project / ".corvane.toml").write_text('block = ["make deploy"]\n')
    r = run("rules", "check", home=home, cwd=project)
    assert r.returncode == 0, r.stdout


def test_default_pack_is_clean_and_every_row_is_used(home):
    r = run("rules", "check", str(PACK), home=home)
    assert (r.returncode, r.stdout) == (0, b"")


def hook(command, home, cwd):
    payload = json.dumps({"hook_event_name": "PreToolUse", "tool_name": "Bash",
                          "tool_input": {"command": command}, "cwd": str(cwd)})
    r = run("hook", "--agent", "claude", "--allow-safe", home=home, stdin=payload.encode())
    assert r.returncode == 0, r.stderr
    return json.loads(r.stdout)["hookSpecificOutput"]["permissionDecision"]


ROUTINE = ["git status", "git log --oneline -5", "git diff HEAD~1", "docker ps -a", "kubectl get pods",
           "npm ls", "pip list", "terraform plan", "gh pr list", "aws s3 ls", "git -C /tmp/x status",
           "git add src/main.c", "git commit -m 'fix'", "bash -lc 'ls -la'", "git grep -n TODO",
           "kubectl apply -f d.yaml --dry-run=client", "cat .claude/settings.json"]
STILL_ASKED = ["git push --force", "cat ~/.ssh/id_rsa", "git status > notes.txt", "kubectl get secret db -o yaml",
               "terraform destroy", "kubectl delete ns prod", "docker system prune -a --volumes",
               "git add -A", "git commit -am wip", "git log --output=/etc/cron.d/x", "git grep -O'sh -c id' x",
               "bash -lc 'rm -rf ~'", "sed -n '1e rm -rf ~' notes.txt"]
# The guard's own settings: quiet without the pack, asked about with it.
GUARD_FILES = ["echo '{}' > .claude/settings.json", "tee -a ~/.config/corvane/rules.toml"]


def test_the_pack_quiets_routine_commands_and_nothing_dangerous(home, tmp_path):
    work = tmp_path / "work"
    work.mkdir()
    before = {c: hook(c, home, work) for c in ROUTINE + STILL_ASKED}
    assert run("init", home=home).returncode == 0
    for c in ROUTINE:
        assert hook(c, home, work) == "allow", c
    for c in STILL_ASKED:
        assert hook(c, home, work) in ("ask", "deny"), c
        assert before[c] in ("ask", "deny"), c
    for c in GUARD_FILES:
        assert hook(c, home, work) in ("ask", "deny"), c
