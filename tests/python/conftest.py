"""Shared pytest set-up: the stand-in SDK on sys.path, paths to the corpus and the test tools,
and what a run against a sanitized module needs."""

import ctypes
import os
import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
# A sanitized run (make asan, make tsan) uses the stand-in built beside the sanitized module.
STANDIN_DIR = pathlib.Path(os.environ.get("ORVIK_STANDIN_DIR", ROOT / "tests" / "standin"))
CORPUS_DIR = ROOT.parent / "shared" / "corpus" / "opendbc" / "opendbc"
FIXTURES_DIR = ROOT / "tests" / "fixtures"
BUILD_DIR = pathlib.Path(os.environ.get("ORVIK_BUILD_DIR", ROOT / "build" / "cpp"))

# The stand-in trace SDK is importable as `orvik_sdk` from its folder, never installed.
if str(STANDIN_DIR) not in sys.path:
    sys.path.insert(0, str(STANDIN_DIR))

# "address" or "thread" when the module under test is built with that sanitizer, whose runtime
# every interpreter of the run has preloaded (scripts/sanitized_pytest.sh).
SANITIZER = os.environ.get("ORVIK_SANITIZER", "")

if SANITIZER == "address":
    # numpy leaks objects when it is imported. No suppression can name numpy: the interpreter has
    # no frame pointers, so the stacks the leak check records end in its allocator.
    _lsan = ctypes.CDLL(None)
    _lsan.__lsan_disable()
    try:
        import numpy  # noqa: F401
    finally:
        _lsan.__lsan_enable()


def unsanitized(reason, *sanitizers):
    """Skips a test under the named sanitizers (under any when none is named), saying why."""
    return pytest.mark.skipif(SANITIZER != "" and (not sanitizers or SANITIZER in sanitizers),
                              reason=f"under the {SANITIZER} sanitizer: {reason}")


def without_sanitizer():
    """The environment for a program that is not ours (a compiler): no sanitizer runtime."""
    env = dict(os.environ)
    if SANITIZER:
        env.pop("LD_PRELOAD", None)
    return env


def without_exit_leak_checks():
    """The environment for a child interpreter that exits leaving memory or threads behind, on
    purpose or by the interpreter's own doing (threads it ends at exit, a sub-interpreter): the
    sanitizer's check of what is left at exit is off."""
    env = dict(os.environ)
    option = {"address": ("ASAN_OPTIONS", "detect_leaks=0"),
              "thread": ("TSAN_OPTIONS", "report_thread_leaks=0")}.get(SANITIZER)
    if option:
        name, value = option
        env[name] = f"{env.get(name, '')}:{value}"
    return env


def corpus_files():
    """Every DBC of the shared corpus, or an empty list when the folder is absent."""
    if not CORPUS_DIR.is_dir():
        return []
    return sorted(CORPUS_DIR.rglob("*.dbc"))


@pytest.fixture(scope="session")
def tool():
    """Path of a test-only C++ tool built into <build>/tools."""

    def find(name):
        path = BUILD_DIR / "tools" / name
        if not path.exists():
            pytest.fail(f"test tool {path} is missing: build the C++ tree first (make build)")
        return path

    return find
