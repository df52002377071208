"""Verdicts that quoting cannot change, over the real-world corpus."""

import os
import re
from pathlib import Path

import pytest

import corvane

REPO = Path(__file__).resolve().parents[2]
CORPUS = Path(os.environ.get("CORVANE_CORPUS", REPO.parent / "shared" / "corpus" / "nl2bash.cm"))
CONTEXT = {"cwd": "/home/u/proj", "project_root": "/home/u/proj", "home_dir": "/home/u",
           "protected_paths": ["/home/u/.ssh"]}

# Quoted text whose unquoted spelling is the same single word to the shell:
# no white space, no character the shell treats specially, no tilde.
_PLAIN = re.compile(r"[A-Za-z0-9_./:@%+,=*?-]+")


def unquoted_spelling(line):
    """The line with plain quotes removed ('x' and "x" around a plain word),
    everything else as written; the line itself when it has none."""
    out, i, n = [], 0, len(line)
    while i < n:
        c = line[i]
        if c == "\\":
            out.append(line[i:i + 2])
            i += 2
        elif c in "'\"" and not (i > 0 and line[i - 1] == "$"):
            close = line.find(c, i + 1)
            if close < 0:
                return line
            body = line[i + 1:close]
            if c == '"' and "\\" in body:
                return line  # escapes inside double quotes: leave the line alone
            out.append(body if _PLAIN.fullmatch(body) else line[i:close + 1])
            i = close + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def verdict(r):
    return r["score"], r["level"], r["quick_decision"], r["risk_factors"]


@pytest.mark.parametrize("context", [None, CONTEXT], ids=["plain", "context"])
def test_quoted_and_unquoted_corpus_lines_agree(context):
    if not CORPUS.exists():
        pytest.skip(f"corpus not found at {CORPUS}")
    lines = [l for l in CORPUS.read_text(encoding="utf-8", errors="replace").split("\n") if l]
    pairs = [(l, u) for l in lines if (u := unquoted_spelling(l)) != l]
    assert len(pairs) > 1000
    quoted = corvane.classify_batch([q for q, _ in pairs], context)
    plain = corvane.classify_batch([u for _, u in pairs], context)
    differ = [(q, u, verdict(a), verdict(b))
              for (q, u), a, b in zip(pairs, quoted, plain) if verdict(a) != verdict(b)]
    assert not differ, "\n".join(f"{q!r}: {a} / {u!r}: {b}" for q, u, a, b in differ[:20]) + \
        f"\n({len(differ)} of {len(pairs)} lines)"
