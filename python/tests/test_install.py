"""The one-command install into a virtual environment, and what the build backend makes."""
import os
import subprocess
import sys
import tarfile
import zipfile

import pytest

from conftest import SOURCE


def test_pip_installs_the_package_with_the_library_bundled(tmp_path, slides):
    venv = tmp_path / "venv"
    # The environment's pip is Debian's, reached through the system site-packages: the same
    # `pip install` without the seconds ensurepip takes.
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip",
                    str(venv)], check=True)
    python = str(venv / "bin" / "python")
    environment = dict(os.environ, PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1")
    subprocess.run([python, "-m", "pip", "install", "-q", SOURCE], check=True, env=environment,
                   cwd=tmp_path, timeout=120)
    del environment["TARN_LIBRARY"]
    environment.pop("PYTHONPATH", None)
    script = ("import tarnslide, tarnslide._capi as c; s = tarnslide.TarnSlide(%r); "
              "print(c.library_path()); print(s.read_region((0, 0), 1, (9, 9)).size)"
              % slides["jpeg"])
    result = subprocess.run([python, "-c", script], check=True, env=environment, cwd=tmp_path,
                            capture_output=True, text=True)
    library, size = result.stdout.split("\n")[:2]
    assert library.startswith(str(venv)) and library.endswith("libDecodeTarn.so.1")
    assert size == "(9, 9)"


@pytest.fixture
def backend(monkeypatch):
    monkeypatch.chdir(SOURCE)  # hooks run in the source tree
    monkeypatch.syspath_prepend(os.path.join(SOURCE, "backend"))
    import tarnslide_build
    return tarnslide_build


def test_backend_builds_a_pure_wheel_without_library_and_an_sdist(tmp_path, backend):
    name = backend.build_wheel(str(tmp_path), {"library": "none"})
    assert name.endswith("-py3-none-any.whl")
    with zipfile.ZipFile(tmp_path / name) as wheel:
        names = wheel.namelist()
        record = wheel.read(f"tarnslide-{backend._version()}.dist-info/RECORD").decode()
    assert {"tarnslide/lowlevel.py", "tarnslide/py.typed"} <= set(names)
    assert "tarnslide/libDecodeTarn.so.1" not in names
    assert all(line.split(",")[0] in names for line in record.splitlines())
    sdist = backend.build_sdist(str(tmp_path))
    with tarfile.open(tmp_path / sdist) as archive:
        members = archive.getnames()
    base = sdist[:-len(".tar.gz")]
    assert {f"{base}/pyproject.toml", f"{base}/PKG-INFO", f"{base}/tarnslide/__init__.py",
            f"{base}/backend/tarnslide_build.py"} <= set(members)


def test_cmake_install_puts_the_package_beside_the_installed_library(tmp_path, slides):
    build = os.path.dirname(os.environ["TARN_LIBRARY"])
    subprocess.run(["cmake", "--install", build, "--prefix", str(tmp_path)], check=True,
                   stdout=subprocess.DEVNULL)
    environment = {key: value for key, value in os.environ.items()
                   if key not in ("TARN_LIBRARY", "PYTHONPATH")}
    environment["PYTHONPATH"] = str(tmp_path / "lib" / "python3" / "dist-packages")
    script = ("import tarnslide, tarnslide._capi as c; "
              f"print(c.library_path(), tarnslide.TarnSlide({slides['odd']!r}).level_count)")
    result = subprocess.run([sys.executable, "-c", script], check=True, env=environment,
                            cwd=tmp_path, capture_output=True, text=True)
    library, levels = result.stdout.split()
    assert os.path.realpath(library).startswith(str(tmp_path)) and levels == "4"
