"""The PEP 517 build backend of tarnslide, in plain Python so that installing needs no download.

    pip install ./python            (inside a virtual environment)

builds a wheel of the package. When a built libDecodeTarn.so.1 is found (the TARN_LIBRARY path,
else ../build/ beside these sources) the wheel bundles it, with the libtarnexport.so.1 built
beside it (tarnslide.convert), and is tagged for this platform;
otherwise the package uses the system's library. `--config-settings library=PATH` names another
library and `library=none` bundles none. Editable installs (`pip install -e`) and sdists work too.
"""
from __future__ import annotations

import base64
import hashlib
import io
import os
import re
import sysconfig
import tarfile
import time
import zipfile

try:
    import tomllib
except ImportError:  # Python before 3.11: the few fields needed, read plainly
    tomllib = None

NAME = "tarnslide"
SONAME = "libDecodeTarn.so.1"
# The export library (tarnslide.convert), bundled beside the library when it is found with it.
EXPORT_SONAME = "libtarnexport.so.1"


def _root() -> str:
    # PEP 517 runs every hook in the root of the source tree.
    return os.getcwd()


def _version() -> str:
    with open(os.path.join(_root(), NAME, "_version.py"), encoding="utf-8") as file:
        return re.search(r'__version__\s*=\s*"([^"]+)"', file.read()).group(1)


def _project() -> dict:
    with open(os.path.join(_root(), "pyproject.toml"), "rb") as file:
        text = file.read()
    if tomllib is not None:
        return tomllib.loads(text.decode("utf-8"))["project"]
    section = text.decode("utf-8").split("[project]", 1)[1].split("\n[", 1)[0]
    project = {key: value for key, value in re.findall(r'^(\w[\w-]*)\s*=\s*"([^"]*)"', section,
                                                       re.M)}
    project["dependencies"] = re.findall(r'"([^"]+)"', re.search(
        r"^dependencies\s*=\s*\[([^\]]*)\]", section, re.M).group(1))
    return project


def _metadata() -> str:
    project = _project()
    lines = ["Metadata-Version: 2.1", f"Name: {NAME}", f"Version: {_version()}",
             f"Summary: {project.get('description', '')}"]
    if "requires-python" in project:
        lines.append(f"Requires-Python: {project['requires-python']}")
    lines += [f"Requires-Dist: {dependency}" for dependency in project.get("dependencies", [])]
    for extra, dependencies in project.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        lines += [f'Requires-Dist: {dependency}; extra == "{extra}"'
                  for dependency in dependencies]
    return "\n".join(lines) + "\n"


def _library(config_settings) -> str | None:
    """The built library to bundle, or None."""
    chosen = (config_settings or {}).get("library")
    if chosen == "none":
        return None
    for candidate in (chosen, os.environ.get("TARN_LIBRARY"),
                      os.path.join(_root(), os.pardir, "build", SONAME)):
        if candidate and os.path.isfile(candidate):
            return os.path.realpath(candidate)
    if chosen:
        raise FileNotFoundError(f"no library at {chosen!r}")
    return None


def _export_library(library: str) -> str | None:
    """The export library built or installed with `library`, or None: TARN_EXPORT_LIBRARY,
    else beside it (an installed tree) or in its export/ folder (a build tree)."""
    folder = os.path.dirname(library)
    for candidate in (os.environ.get("TARN_EXPORT_LIBRARY"), os.path.join(folder, EXPORT_SONAME),
                      os.path.join(folder, "export", EXPORT_SONAME)):
        if candidate and os.path.isfile(candidate):
            return os.path.realpath(candidate)
    return None


def _package_files() -> list:
    """(name in the archive, path) of every module of the package, and its py.typed marker."""
    files = []
    package = os.path.join(_root(), NAME)
    for name in sorted(os.listdir(package)):
        if name.endswith(".py") or name == "py.typed":
            files.append((f"{NAME}/{name}", os.path.join(package, name)))
    return files


def _dist_info() -> str:
    return f"{NAME}-{_version()}.dist-info"


class _Wheel:
    """A wheel being written, with its RECORD."""

    def __init__(self, directory: str, tag: str):
        self.name = f"{NAME}-{_version()}-{tag}.whl"
        self.archive = zipfile.ZipFile(os.path.join(directory, self.name), "w",
                                       zipfile.ZIP_DEFLATED)
        self.records = []

    def add(self, name: str, data: bytes, executable: bool = False) -> None:
        info = zipfile.ZipInfo(name, date_time=time.localtime(time.time())[:6])
        info.external_attr = (0o755 if executable else 0o644) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        self.archive.writestr(info, data)
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
        self.records.append(f"{name},sha256={digest.decode('ascii')},{len(data)}")

    def finish(self, purelib: bool, tag: str) -> str:
        info = _dist_info()
        self.add(f"{info}/METADATA", _metadata().encode("utf-8"))
        self.add(f"{info}/WHEEL", (
            f"Wheel-Version: 1.0\nGenerator: {NAME}_build\n"
            f"Root-Is-Purelib: {'true' if purelib else 'false'}\nTag: {tag}\n").encode("ascii"))
        self.add(f"{info}/top_level.txt", f"{NAME}\n".encode("ascii"))
        self.records.append(f"{info}/RECORD,,")
        self.archive.writestr(f"{info}/RECORD", "\n".join(self.records) + "\n")
        self.archive.close()
        return self.name


def _read(path: str) -> bytes:
    with open(path, "rb") as file:
        return file.read()


# ---- PEP 517 hooks ----

def get_requires_for_build_wheel(config_settings=None) -> list:
    return []


def get_requires_for_build_sdist(config_settings=None) -> list:
    return []


def get_requires_for_build_editable(config_settings=None) -> list:
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None) -> str:
    info = os.path.join(metadata_directory, _dist_info())
    os.makedirs(info, exist_ok=True)
    with open(os.path.join(info, "METADATA"), "w", encoding="utf-8") as file:
        file.write(_metadata())
    return _dist_info()


prepare_metadata_for_build_editable = prepare_metadata_for_build_wheel


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None) -> str:
    library = _library(config_settings)
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    tag = f"py3-none-{platform}" if library else "py3-none-any"
    wheel = _Wheel(wheel_directory, tag)
    for name, path in _package_files():
        wheel.add(name, _read(path))
    if library:
        wheel.add(f"{NAME}/{SONAME}", _read(library), executable=True)
        export = _export_library(library)
        if export:
            wheel.add(f"{NAME}/{EXPORT_SONAME}", _read(export), executable=True)
    return wheel.finish(purelib=library is None, tag=tag)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None) -> str:
    # The sources stay where they are; a .pth file puts their folder on the path.
    tag = "py3-none-any"
    wheel = _Wheel(wheel_directory, tag)
    wheel.add(f"_{NAME}_editable.pth", (os.path.abspath(_root()) + "\n").encode("utf-8"))
    return wheel.finish(purelib=True, tag=tag)


def build_sdist(sdist_directory, config_settings=None) -> str:
    base = f"{NAME}-{_version()}"
    name = f"{base}.tar.gz"
    files = [("pyproject.toml", os.path.join(_root(), "pyproject.toml")),
             ("backend/tarnslide_build.py", os.path.abspath(__file__))] + _package_files()
    with tarfile.open(os.path.join(sdist_directory, name), "w:gz",
                      format=tarfile.PAX_FORMAT) as archive:
        def add(member: str, data: bytes) -> None:
            info = tarfile.TarInfo(f"{base}/{member}")
            info.size, info.mtime, info.mode = len(data), int(time.time()), 0o644
            archive.addfile(info, io.BytesIO(data))

        add("PKG-INFO", _metadata().encode("utf-8"))
        for member, path in files:
            add(member, _read(path))
    return name
