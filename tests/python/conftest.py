"""Shared pytest set-up: the stand-in SDK on sys.path, paths to the corpus and the test tools."""

import os
import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
STANDIN_DIR = ROOT / "tests" / "standin"
CORPUS_DIR = ROOT.parent / "shared" / "corpus" / "opendbc" / "opendbc"
FIXTURES_DIR = ROOT / "tests" / "fixtures"
BUILD_DIR = pathlib.Path(os.environ.get("ORVIK_BUILD_DIR", ROOT / "build" / "cpp"))

# The stand-in trace SDK is importable as `orvik_sdk` from its source folder, never installed.
if str(STANDIN_DIR) not in sys.path:
    sys.path.insert(0, str(STANDIN_DIR))


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
