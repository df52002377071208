"""corvane init bash|zsh|fish: the snippets in real interactive shells under a pseudo-terminal.

Each shell gets the snippet, then lines whose verdicts are safe, caution,
danger and blocked. `rm` and `git` are shell functions that only print what
they were asked to do, so a line that slips through does no harm and shows.
"""

import os
import pty
import re
import select
import shutil
import signal
import subprocess
import time
from pathlib import Path

import pytest

import corvane

ROOT = Path(__file__).resolve().parents[2]
BIN = ROOT / os.environ.get("CORVANE_BUILD", "build") / "corvane"

DANGER = "git push --force"
BLOCKED = "rm -rf /"
CAUTION_CANDIDATES = ["git status", "git add x", "git commit -m wip", "touch notes.txt", "cp a b"]

FAKES = {
    "bash": "rm() { echo \"RAN rm $*\"; }; git() { echo \"RAN git $*\"; }; vim() { echo \"RAN vim $*\"; }",
    "zsh": "rm() { echo \"RAN rm $*\"; }; git() { echo \"RAN git $*\"; }; vim() { echo \"RAN vim $*\"; }",
    "fish": "function rm; echo RAN rm $argv; end; function git; echo RAN git $argv; end; "
            "function vim; echo RAN vim $argv; end",
}
START = {
    "bash": ["bash", "--norc", "--noprofile", "-i"],
    "zsh": ["zsh", "-f", "-i"],
    "fish": ["fish", "--no-config", "-i"],
}
PS1 = "PROMPT> "
HOOK_LINE = {
    "bash": f'eval "$({BIN} init bash)"',
    "zsh": f'eval "$({BIN} init zsh)"',
    "fish": f"{BIN} init fish | source",
}


class Shell:
    def __init__(self, kind, work, home, env=None):
        self.kind = kind
        full_env = {k: v for k, v in os.environ.items() if not k.startswith("CORVANE_")}
        full_env.update(HOME=str(home), TERM="dumb", PS1=PS1, HISTFILE=str(home / "history"),
                        PROMPT_COMMAND="", fish_greeting="", XDG_CONFIG_HOME=str(home / ".config"),
                        XDG_DATA_HOME=str(home / ".local/share"))
        full_env.update(env or {})
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.chdir(work)
            os.execvpe(START[kind][0], START[kind], full_env)
        self.out = b""
        # The prompt is set in two pieces, so that the echo of the typed line never looks like one.
        if kind == "fish":
            self.line("function fish_prompt; echo -n PROM; echo -n 'PT> '; end")
        elif kind == "zsh":
            self.line("PS1='PROM''PT> '")
        self.prompt()
        self.line(FAKES[kind])
        self.prompt()
        self.line(HOOK_LINE[kind])
        self.prompt()

    def _read_some(self, wait):
        """Appends what the shell wrote within `wait` seconds; a shell that exited fails the test."""
        ready, _, _ = select.select([self.fd], [], [], wait)
        if ready:
            try:
                chunk = os.read(self.fd, 65536)
            except OSError:
                chunk = b""
            assert chunk, f"{self.kind} exited: {self.out[-2000:]!r}"
            self.out += chunk

    def read_until(self, pattern, timeout=20):
        regex = re.compile(pattern)
        deadline = time.time() + timeout
        while True:
            m = regex.search(self.out)
            if m:
                seen, self.out = self.out[:m.end()], self.out[m.end():]
                return seen
            left = deadline - time.time()
            assert left > 0, f"{self.kind}: no {pattern!r} in {self.out[-2000:]!r}"
            self._read_some(min(left, 0.2))

    def prompt(self, kept=b"", timeout=20):
        """Output up to a prompt that nothing follows (but the line kept in the buffer, if any):
        line editors redraw the prompt as they go."""
        end = re.compile(rb"PROMPT> " + re.escape(kept) + rb"(\x1b\[\?2004h)?$")
        deadline = time.time() + timeout
        while True:
            if end.search(self.out):
                ready, _, _ = select.select([self.fd], [], [], 0.2)
                if not ready:
                    seen, self.out = self.out, b""
                    return seen
            left = deadline - time.time()
            assert left > 0, f"{self.kind}: no prompt in {self.out[-2000:]!r}"
            self._read_some(min(left, 0.1))

    def line(self, text):
        os.write(self.fd, text.encode() + b"\r")

    def run(self, text, answers=(), refused=False):
        """Types a line (and the answers to its questions); returns all output up to the next prompt."""
        self.line(text)
        seen = b""
        for answer in answers:
            seen += self.read_until(rb"(\[y/N\] |Type yes to run it anyway: )")
            os.write(self.fd, answer.encode() + b"\r")
        # zsh and fish keep a refused line in the buffer; clear it for the next one.
        keeps = refused and self.kind in ("zsh", "fish")
        seen += self.prompt(kept=text.encode() if keeps else b"")
        if keeps:
            os.write(self.fd, b"\x15")  # ^U, then the editor redraws in its own way
            self.quiet()
        return seen.decode(errors="replace")

    def quiet(self, period=0.3):
        """Drops output until the shell has said nothing for a while."""
        while True:
            ready, _, _ = select.select([self.fd], [], [], period)
            if not ready:
                self.out = b""
                return
            self.out += os.read(self.fd, 65536)

    def close(self):
        try:
            os.kill(self.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        os.waitpid(self.pid, 0)
        os.close(self.fd)


def installed(kind):
    return shutil.which(START[kind][0]) is not None


SHELLS = [pytest.param(k, marks=pytest.mark.skipif(not installed(k), reason=f"{k} is not installed"))
          for k in ("bash", "zsh", "fish")]


@pytest.fixture
def place(tmp_path):
    work = tmp_path / "app"
    (work / ".git").mkdir(parents=True)
    home = tmp_path / "home"
    home.mkdir()
    return work, home


def verdict(command, work, home):
    return corvane.classify(command, {"cwd": str(work), "project_root": str(work), "home_dir": str(home)})


def caution_command(work, home):
    for command in CAUTION_CANDIDATES:
        r = verdict(command, work, home)
        if r["level"] == "caution" and r["quick_decision"] != "blocked":
            return command
    pytest.skip(f"none of {CAUTION_CANDIDATES} is at level caution any more")


@pytest.fixture
def shell_factory(place):
    shells = []

    def make(kind, env=None):
        s = Shell(kind, *place, env=env)
        shells.append(s)
        return s

    yield make
    for s in shells:
        s.close()


@pytest.mark.parametrize("kind", SHELLS)
def test_safe_runs_caution_notes_danger_asks_blocked_wants_yes(kind, place, shell_factory):
    work, home = place
    assert verdict(DANGER, work, home)["level"] == "danger"
    assert verdict(BLOCKED, work, home)["quick_decision"] == "blocked"
    caution = caution_command(work, home)
    sh = shell_factory(kind)

    out = sh.run("echo hello-safe")
    assert "hello-safe" in out and "corvane" not in out

    out = sh.run(caution)
    assert "RAN " + caution in out
    assert re.search(r"corvane: risky \(score \d+, caution\)", out)

    out = sh.run(DANGER, answers=["n"], refused=True)
    assert "(score" in out and "danger)" in out and "RAN" not in out and "corvane: not run" in out
    out = sh.run(DANGER, answers=["y"])
    assert "RAN git push --force" in out

    out = sh.run(BLOCKED, answers=["y"], refused=True)
    assert "blocked (score" in out and "RAN" not in out and "corvane: not run" in out
    out = sh.run(BLOCKED, answers=["yes"])
    assert "RAN rm -rf /" in out

    out = sh.run("CORVANE_DISABLE=1 " + BLOCKED)
    assert "RAN rm -rf /" in out and "corvane:" not in out


@pytest.mark.parametrize("kind", SHELLS)
def test_disable_and_the_question_threshold(kind, place, shell_factory):
    work, home = place
    caution = caution_command(work, home)
    sh = shell_factory(kind, env={"CORVANE_DISABLE": "1"})
    assert "RAN rm -rf /" in sh.run(BLOCKED)

    sh = shell_factory(kind, env={"CORVANE_ASK_AT": "critical"})
    out = sh.run(DANGER)
    assert "RAN git push --force" in out and "danger)" in out
    sh = shell_factory(kind, env={"CORVANE_ASK_AT": "caution"})
    out = sh.run(caution, answers=["n"], refused=True)
    assert "caution)" in out and "RAN" not in out


@pytest.mark.skipif(not installed("bash"), reason="bash is not installed")
def test_bash_refuses_the_whole_line_and_checks_lines_kept_out_of_the_history(place, shell_factory):
    sh = shell_factory("bash", env={"HISTCONTROL": "ignoreboth", "HISTIGNORE": "echo x*"})
    out = sh.run(f"echo before; {BLOCKED}; echo after", answers=["n"])
    assert "before" not in out.replace("echo before", "") and "after" not in out.replace("echo after", "")
    # A line with a leading space never reaches the history (ignorespace), and is checked all the same.
    out = sh.run(f" echo hidden; {BLOCKED}", answers=["n"])
    assert "RAN" not in out and "hidden\r\n" not in out
    out = sh.run("CORVANE_DISABLE=1 history")
    assert "echo hidden" not in out
    # HISTIGNORE keeps a line out as well: then each command is checked as it comes.
    out = sh.run(f"echo x-ignored; {BLOCKED}", answers=["n"])
    assert "x-ignored\r\n" in out and "RAN" not in out
    out = sh.run("echo after-all")
    assert "after-all\r\n" in out


# What a person types all day; `exit` comes last, as it ends the shell.
ROUTINE = ["clear", "history", "make", "vim x", "mkdir x", "git status", "cd /tmp"]


@pytest.mark.parametrize("kind", SHELLS)
def test_routine_lines_run_without_a_word_with_the_default_pack(kind, place, shell_factory):
    work, home = place
    assert subprocess.run([str(BIN), "init"], env=dict(os.environ, HOME=str(home)),
                          capture_output=True).returncode == 0
    sh = shell_factory(kind, env={"PAGER": "cat"})  # fish's history pages its output
    outs = {line: sh.run(line) for line in ROUTINE}
    for line, out in outs.items():
        assert not re.search(r"corvane: (risky|blocked|not run)|\[y/N\]|Type yes", out), (line, out)
    assert "RAN vim x" in outs["vim x"] and (work / "x").is_dir()
    sh.line("exit")
    rest = b""
    while True:
        ready, _, _ = select.select([sh.fd], [], [], 20)
        assert ready, f"{kind} did not exit: {rest[-2000:]!r}"
        try:
            chunk = os.read(sh.fd, 65536)
        except OSError:
            break
        if not chunk:
            break
        rest += chunk
    assert not re.search(rb"corvane: |\[y/N\]", rest), rest
