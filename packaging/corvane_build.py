"""In-tree PEP 517 build backend for corvane, standard library only.

The engine is C++ built with CMake, so there is nothing for setuptools or a
build requirement to do: this backend configures and builds the CMake
targets into a build directory of its own (after scripts/bootstrap.sh, as
the Makefile does) and writes the wheel itself. That keeps
``python3.12 -m pip install .`` working without a package index.

The wheel holds:

* ``corvane.cpython-312-*.so``: the extension module, at the top level, so
  that ``import corvane`` is unchanged;
* ``corvane-stubs/__init__.pyi`` and ``corvane-stubs/py.typed``: the type
  stub as a stub-only package. A single-module distribution cannot carry
  ``py.typed`` (the marker belongs in a package directory), and type
  checkers look up ``<name>-stubs`` in site-packages before the module
  itself, so this is the layout they accept for a top-level extension;
* ``corvane`` in the wheel's scripts: the command-line program, for
  ``corvane check`` and ``corvane hook``.

Config settings (``pip install -C key=value``):

* ``build-dir``: the CMake build directory, relative to the source tree
  (default ``build-wheel``); reusing one makes rebuilds incremental.
* ``jobs``: parallel build jobs (default: CMake's choice).
"""

from __future__ import annotations

import base64
import hashlib
import io
import os
import re
import subprocess
import sys
import sysconfig
import tarfile
import time
import tomllib
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DEFAULT_BUILD_DIR = "build-wheel"
NAME = "corvane"
STUB_PACKAGE = "corvane-stubs"

# What an sdist leaves out: everything .gitignore names, tool caches and the
# history.
SDIST_EXCLUDED = re.compile(r"^(\.git|build[^/]*|node_modules|dist|fuzz/corpus-[^/]*)$"
                            r"|(^|/)(__pycache__|\.pytest_cache|\.mypy_cache)$|\.pyc$|\.egg-info$")


# ---------------------------------------------------------------------------
# Project facts

def _pyproject() -> dict:
    with open(ROOT / "pyproject.toml", "rb") as f:
        return tomllib.load(f)["project"]


def _version() -> str:
    """The version CMake's project() declares: one source for both builds."""
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    match = re.search(r"project\(\s*corvane\s+VERSION\s+([0-9][0-9A-Za-z.]*)", text)
    if not match:
        raise RuntimeError("corvane_build: no project(corvane VERSION ...) in CMakeLists.txt")
    return match.group(1)


def _metadata() -> str:
    project = _pyproject()
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {NAME}",
        f"Version: {_version()}",
        f"Summary: {project['description']}",
        f"Requires-Python: {project['requires-python']}",
    ]
    lines += [f"Classifier: {c}" for c in project.get("classifiers", [])]
    readme = project.get("readme")
    body = ""
    if readme:
        lines.append("Description-Content-Type: text/markdown")
        body = (ROOT / readme).read_text(encoding="utf-8")
    return "\n".join(lines) + "\n\n" + body


def _dist_info() -> str:
    return f"{NAME}-{_version()}.dist-info"


def _wheel_tag() -> str:
    """cp312-cp312-<platform>: the running interpreter, which CMake builds for."""
    interpreter = f"cp{sys.version_info.major}{sys.version_info.minor}"
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return f"{interpreter}-{interpreter}-{platform}"


# ---------------------------------------------------------------------------
# The CMake build

def _setting(config_settings: dict | None, key: str, default: str | None = None) -> str | None:
    value = (config_settings or {}).get(key, default)
    if isinstance(value, list):  # a setting given twice: the last one wins
        value = value[-1]
    return value


def _run(args: list[str]) -> None:
    print("corvane_build:", " ".join(args), file=sys.stderr, flush=True)
    subprocess.run(args, cwd=ROOT, check=True)


def _cmake_build(config_settings: dict | None) -> Path:
    """Configures and builds the module and the program; returns the build dir."""
    build_dir = ROOT / _setting(config_settings, "build-dir", DEFAULT_BUILD_DIR)
    _run(["bash", str(ROOT / "scripts" / "bootstrap.sh")])
    # In a virtual environment sys.executable is a link that goes away with
    # the environment; CMake only needs the interpreter's headers and ABI, so
    # give it the interpreter behind the link and keep the cache valid.
    python = os.path.realpath(sys.executable)
    _run(["cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja",
          "-DCMAKE_BUILD_TYPE=Release", f"-DPython_EXECUTABLE={python}",
          "-DCORVANE_PYTHON=ON", "-DCORVANE_TESTS=OFF"])
    build = ["cmake", "--build", str(build_dir), "--target", "corvane_python", "corvane_cli"]
    jobs = _setting(config_settings, "jobs")
    if jobs:
        build += ["-j", str(int(jobs))]
    _run(build)
    return build_dir


def _extension(build_dir: Path) -> Path:
    path = build_dir / "python" / (NAME + sysconfig.get_config_var("EXT_SUFFIX"))
    if not path.is_file():
        raise RuntimeError(f"corvane_build: the build did not produce {path}")
    return path


# ---------------------------------------------------------------------------
# Wheel writing

class _WheelWriter:
    """A zip with a RECORD of every member's sha256 and size."""

    def __init__(self, path: Path):
        self._zip = zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED)
        self._records: list[str] = []
        # Reproducible members: the timestamp is SOURCE_DATE_EPOCH when set.
        epoch = int(os.environ.get("SOURCE_DATE_EPOCH", "315532800"))
        self._date = time.gmtime(max(epoch, 315532800))[:6]

    def add(self, name: str, data: bytes, executable: bool = False) -> None:
        self._write(name, data, executable)
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        self._records.append(f"{name},sha256={digest},{len(data)}")

    def close(self, dist_info: str) -> None:
        """Writes RECORD, which lists itself without a hash, last."""
        record = f"{dist_info}/RECORD"
        self._records.append(f"{record},,")
        self._write(record, ("\n".join(self._records) + "\n").encode(), False)
        self._zip.close()

    def _write(self, name: str, data: bytes, executable: bool) -> None:
        info = zipfile.ZipInfo(name, date_time=self._date)
        info.external_attr = (0o100755 if executable else 0o100644) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        self._zip.writestr(info, data)


def _write_metadata_files(writer: _WheelWriter) -> None:
    dist_info = _dist_info()
    writer.add(f"{dist_info}/METADATA", _metadata().encode())
    writer.add(f"{dist_info}/WHEEL", (
        "Wheel-Version: 1.0\n"
        "Generator: corvane_build\n"
        "Root-Is-Purelib: false\n"
        f"Tag: {_wheel_tag()}\n").encode())


def _add_stubs(writer: _WheelWriter) -> None:
    writer.add(f"{STUB_PACKAGE}/__init__.pyi", (ROOT / "python" / "corvane.pyi").read_bytes())
    writer.add(f"{STUB_PACKAGE}/py.typed", (ROOT / "python" / "py.typed").read_bytes())


def _wheel_name() -> str:
    return f"{NAME}-{_version()}-{_wheel_tag()}.whl"


def _write_wheel(wheel_directory: str, build_dir: Path, editable: bool) -> str:
    name = _wheel_name()
    extension = _extension(build_dir)
    writer = _WheelWriter(Path(wheel_directory) / name)
    if editable:
        # The build directory's module is imported in place: after
        # `cmake --build BUILD_DIR` the next import sees the new engine.
        writer.add(f"{NAME}_editable.pth", f"{(build_dir / 'python').resolve()}\n".encode())
    else:
        writer.add(extension.name, extension.read_bytes(), executable=True)
    _add_stubs(writer)
    program = build_dir / NAME
    writer.add(f"{NAME}-{_version()}.data/scripts/{NAME}", program.read_bytes(), executable=True)
    _write_metadata_files(writer)
    writer.close(_dist_info())
    return name


# ---------------------------------------------------------------------------
# PEP 517 and PEP 660 hooks

def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    dist_info = Path(metadata_directory) / _dist_info()
    dist_info.mkdir(parents=True, exist_ok=True)
    (dist_info / "METADATA").write_text(_metadata(), encoding="utf-8")
    return dist_info.name


prepare_metadata_for_build_editable = prepare_metadata_for_build_wheel


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return _write_wheel(wheel_directory, _cmake_build(config_settings), editable=False)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    return _write_wheel(wheel_directory, _cmake_build(config_settings), editable=True)


def _sdist_files() -> list[Path]:
    """Every file of the source tree that .gitignore does not exclude."""
    files = []
    for directory, subdirs, names in os.walk(ROOT):
        rel_dir = Path(directory).relative_to(ROOT)
        subdirs[:] = sorted(d for d in subdirs if not SDIST_EXCLUDED.search((rel_dir / d).as_posix()))
        files += [rel_dir / n for n in sorted(names) if not SDIST_EXCLUDED.search((rel_dir / n).as_posix())]
    return files


def build_sdist(sdist_directory, config_settings=None):
    base = f"{NAME}-{_version()}"
    name = f"{base}.tar.gz"
    mtime = int(os.environ.get("SOURCE_DATE_EPOCH", "315532800"))

    def normalise(info: tarfile.TarInfo) -> tarfile.TarInfo:
        info.uid = info.gid = 0
        info.uname = info.gname = ""
        info.mtime = mtime
        return info

    with tarfile.open(Path(sdist_directory) / name, "w:gz", format=tarfile.PAX_FORMAT) as tar:
        for rel in _sdist_files():
            tar.add(ROOT / rel, arcname=f"{base}/{rel.as_posix()}", recursive=False, filter=normalise)
        pkg_info = _metadata().encode()
        info = normalise(tarfile.TarInfo(f"{base}/PKG-INFO"))
        info.size = len(pkg_info)
        info.mode = 0o644
        tar.addfile(info, io.BytesIO(pkg_info))
    return name


__all__ = [
    "build_editable", "build_sdist", "build_wheel", "get_requires_for_build_editable",
    "get_requires_for_build_sdist", "get_requires_for_build_wheel",
    "prepare_metadata_for_build_editable", "prepare_metadata_for_build_wheel",
]
