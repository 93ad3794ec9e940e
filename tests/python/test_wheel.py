"""The package builds into one abi3 wheel that installs and imports in a fresh environment."""

import importlib.util
import os
import pathlib
import subprocess
import sys
import textwrap
import zipfile

import pytest

from conftest import unsanitized

ROOT = pathlib.Path(__file__).resolve().parents[2]


def run(cmd, **kwargs):
    env = {**os.environ, "CMAKE_BUILD_PARALLEL_LEVEL": os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")}
    proc = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=900, **kwargs)
    assert proc.returncode == 0, f"{cmd}\n{proc.stdout}\n{proc.stderr}"
    return proc


@pytest.mark.slow
@unsanitized("builds and imports the release wheel, so nothing sanitized runs")
def test_wheel_builds_installs_and_imports(tmp_path):
    wheels = tmp_path / "wheels"
    run([sys.executable, "-m", "pip", "wheel", str(ROOT), "--no-build-isolation", "--no-deps",
         "--disable-pip-version-check", "-w", str(wheels)])
    built = list(wheels.iterdir())
    assert len(built) == 1, built
    wheel = built[0]
    assert wheel.name.startswith("orvik_can-0.1.0-cp311-abi3-"), wheel.name
    assert wheel.suffix == ".whl"
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        assert "orvik_can/__init__.py" in names
        assert "orvik_can/_native.abi3.so" in names
        (wheel_so := tmp_path / "_native.abi3.so").write_bytes(
            archive.read("orvik_can/_native.abi3.so"))
    # A stable-ABI module takes its Python symbols from the interpreter, never from libpython.
    needed = run(["readelf", "-d", str(wheel_so)]).stdout
    assert "libpython" not in needed
    # It exports its init function and nothing else. Any other symbol is interposable: its own
    # functions would be called through the PLT and never inlined, and a template static of
    # Boost's (a GNU unique symbol above all) would be shared with any other module that has one.
    symbols = run(["readelf", "--dyn-syms", "-W", str(wheel_so)]).stdout.splitlines()
    entries = [f for f in map(str.split, symbols) if len(f) >= 8 and f[0][:-1].isdigit()]
    defined = [f[7] for f in entries if f[6] != "UND"]
    assert defined == ["PyInit__native"], defined[:5]

    venv = tmp_path / "venv"
    run([sys.executable, "-m", "venv", str(venv)])
    python = venv / "bin" / "python"
    # --ignore-installed: the same version may sit beside the pyarrow added below.
    run([str(python), "-m", "pip", "install", "--no-deps", "--no-index", "--ignore-installed",
         "--disable-pip-version-check", str(wheel)])
    # Without pyarrow the import names it, rather than the Arrow library the loader missed.
    missing = subprocess.run([str(python), "-c", "import orvik_can"], capture_output=True,
                             text=True, cwd=tmp_path)
    assert "ImportError: orvik_can needs pyarrow 22" in missing.stderr, missing.stderr

    # Then the fresh environment sees this one's pyarrow, after its own packages (a venv made
    # from a venv would see only the base interpreter's).
    site = run([str(python), "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"])
    pyarrow_dir = pathlib.Path(importlib.util.find_spec("pyarrow").origin).parents[1]
    (pathlib.Path(site.stdout.strip()) / "outer.pth").write_text(f"{pyarrow_dir}\n")
    probe = textwrap.dedent(
        """
        import sys
        import orvik_can, orvik_can._native as n
        assert n.__file__.startswith(sys.prefix), n.__file__
        assert n.__file__.endswith(".abi3.so"), n.__file__
        assert orvik_can.Message is n.Message
        print(repr(n.Message(0x123, [1, 0xAB], is_extended_id=True, is_fd=True)))
        """
    )
    out = run([str(python), "-c", probe], cwd=tmp_path).stdout
    assert out.strip() == "Message(id=0x123, dlc=2, data=[01 ab], ext, fd)"
