"""Installing the repository with pip, offline, into a fresh virtual environment.

The install builds the engine with CMake through the in-tree backend
(packaging/corvane_build.py). It uses a build directory next to the test
build, "<CORVANE_BUILD>-wheel", so that later runs are incremental and
ccache serves the first one; even so the first run can take a minute.
"""

import ast
import base64
import hashlib
import importlib.util
import json
import os
import re
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
WHEEL_BUILD = Path(str(ROOT / os.environ.get("CORVANE_BUILD", "build")) + "-wheel")
VERSION = re.search(r"project\(corvane VERSION (\S+)", (ROOT / "CMakeLists.txt").read_text()).group(1)
FUNCTIONS = ["classify", "risk_score", "risk_level", "classify_batch"]


def python312() -> str:
    if sys.version_info[:2] == (3, 12):
        return sys.executable
    found = subprocess.run([str(ROOT / "scripts" / "find-python.sh")], capture_output=True, text=True)
    if found.returncode != 0:
        pytest.skip("no CPython 3.12 interpreter")
    return found.stdout.strip()


def clean_env() -> dict:
    """The environment without anything that would let the venv see other
    packages (make test sets PYTHONPATH to the build's module) or reach pip
    configuration."""
    return {k: v for k, v in os.environ.items()
            if k not in ("PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV") and not k.startswith("PIP_")}


def run(args, **kw):
    p = subprocess.run([str(a) for a in args], capture_output=True, text=True, env=clean_env(), **kw)
    assert p.returncode == 0, f"{args} failed:\n{p.stdout}\n{p.stderr}"
    return p.stdout


@pytest.fixture(scope="module")
def venv(tmp_path_factory):
    path = tmp_path_factory.mktemp("venv")
    run([python312(), "-m", "venv", path])
    python = path / "bin" / "python"
    run([python, "-m", "pip", "--isolated", "--disable-pip-version-check", "install", "--no-index",
         "--no-build-isolation", "-C", f"build-dir={WHEEL_BUILD}", "-C", "jobs=2", ROOT])
    return path


def venv_python(venv, code):
    return json.loads(run([venv / "bin" / "python", "-c", code], cwd=venv))


@pytest.fixture(scope="module")
def backend():
    spec = importlib.util.spec_from_file_location("corvane_build", ROOT / "packaging" / "corvane_build.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_installed_module_imports_from_the_venv_and_classifies(venv):
    got = venv_python(venv, (
        "import corvane, json, sysconfig\n"
        "r = corvane.classify('ls')\n"
        "print(json.dumps({'file': corvane.__file__, 'platlib': sysconfig.get_paths()['platlib'],"
        " 'score': r['score'], 'decision': r['quick_decision'],"
        " 'batch': len(corvane.classify_batch(['ls', 'rm -rf /']))}))"))
    assert Path(got["file"]).parent == Path(got["platlib"])
    assert (got["score"], got["decision"], got["batch"]) == (0, "safe", 2)


def test_stub_package_and_marker_are_installed_and_match_the_module(venv):
    got = venv_python(venv, (
        "import corvane, inspect, json, sysconfig\n"
        f"print(json.dumps({{'platlib': sysconfig.get_paths()['platlib'], 'params': {{n: "
        f"list(inspect.signature(getattr(corvane, n)).parameters) for n in {FUNCTIONS!r}}}}}))"))
    stubs = Path(got["platlib"]) / "corvane-stubs"
    assert (stubs / "__init__.pyi").read_bytes() == (ROOT / "python" / "corvane.pyi").read_bytes()
    assert (stubs / "py.typed").is_file()
    # The stub declares the module's functions with the module's parameters.
    tree = ast.parse((stubs / "__init__.pyi").read_text())
    declared = {f.name: [a.arg for a in f.args.args] for f in tree.body if isinstance(f, ast.FunctionDef)}
    assert declared == got["params"]


def test_installed_program_runs(venv):
    program = venv / "bin" / "corvane"
    assert run([program, "--version"]) == f"corvane {VERSION}\n"
    assert subprocess.run([program, "check", "rm -rf /"], capture_output=True).returncode == 2


def test_wheel_is_complete_and_its_record_is_true(backend, tmp_path):
    name = backend.build_wheel(str(tmp_path), {"build-dir": str(WHEEL_BUILD), "jobs": "2"})
    tag = f"cp312-cp312-{backend.sysconfig.get_platform().replace('-', '_').replace('.', '_')}"
    assert name == f"corvane-{VERSION}-{tag}.whl"
    dist_info = f"corvane-{VERSION}.dist-info"
    with zipfile.ZipFile(tmp_path / name) as whl:
        names = set(whl.namelist())
        extension = [n for n in names if n.startswith("corvane.cpython-312-") and n.endswith(".so")]
        assert len(extension) == 1
        assert {"corvane-stubs/__init__.pyi", "corvane-stubs/py.typed",
                f"corvane-{VERSION}.data/scripts/corvane", f"{dist_info}/METADATA",
                f"{dist_info}/WHEEL", f"{dist_info}/RECORD"} <= names
        wheel = whl.read(f"{dist_info}/WHEEL").decode()
        assert "Root-Is-Purelib: false\n" in wheel and f"Tag: {tag}\n" in wheel
        assert f"\nVersion: {VERSION}\n" in whl.read(f"{dist_info}/METADATA").decode()
        record = [line.split(",") for line in whl.read(f"{dist_info}/RECORD").decode().splitlines()]
        assert {r[0] for r in record} == names
        for path, digest, size in record:
            if path == f"{dist_info}/RECORD":
                assert (digest, size) == ("", "")
                continue
            data = whl.read(path)
            expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            assert (digest, int(size)) == (f"sha256={expected}", len(data)), path


def test_editable_wheel_points_at_the_build_directory(backend, tmp_path):
    name = backend.build_editable(str(tmp_path), {"build-dir": str(WHEEL_BUILD), "jobs": "2"})
    with zipfile.ZipFile(tmp_path / name) as whl:
        assert not [n for n in whl.namelist() if n.endswith(".so")]
        pth = whl.read("corvane_editable.pth").decode().strip()
    assert Path(pth) == (WHEEL_BUILD / "python").resolve()
    assert list(Path(pth).glob("corvane.cpython-312-*.so"))


def test_sdist_holds_the_sources_and_nothing_built(backend, tmp_path):
    name = backend.build_sdist(str(tmp_path))
    assert name == f"corvane-{VERSION}.tar.gz"
    with tarfile.open(tmp_path / name) as tar:
        members = {m.name.split("/", 1)[1] for m in tar.getmembers() if "/" in m.name}
    assert {"PKG-INFO", "pyproject.toml", "CMakeLists.txt", "packaging/corvane_build.py",
            "python/corvane.pyi", "python/py.typed", "src/corvane.h", "scripts/bootstrap.sh",
            "cli/corvane_cli.cpp", "package-lock.json"} <= members
    top = {m.split("/", 1)[0] for m in members}
    assert not {t for t in top if t.startswith("build") or t in ("node_modules", ".git", "dist")}
    assert not [m for m in members if "__pycache__" in m or m.endswith(".pyc") or "_cache/" in m]
