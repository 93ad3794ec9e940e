"""orvik-can: the CAN codec of the orvik family."""

# The major version that pyproject.toml pins: the extension links that libarrow by its soname.
_NEEDS_PYARROW = "orvik_can needs pyarrow 22 for the Arrow C++ library: pip install 'pyarrow==22.*'"


def _load_arrow():
    # The extension links Arrow C++ from the pyarrow wheel. Loading that library first lets the
    # extension find it wherever pyarrow is installed (another site-packages, a system-site venv),
    # not only beside it. pyarrow itself is not imported: it refuses sub-interpreters, which would
    # hide the extension's own refusal.
    import ctypes
    import importlib.util
    import pathlib

    spec = importlib.util.find_spec("pyarrow")
    if spec is None or not spec.submodule_search_locations:
        raise ImportError(_NEEDS_PYARROW, name="pyarrow")
    for folder in spec.submodule_search_locations:
        names = sorted(pathlib.Path(folder).glob("libarrow.so.*"), key=lambda p: len(p.name))
        if names:
            ctypes.CDLL(str(names[0]))
            return


_load_arrow()
del _load_arrow

try:
    from orvik_can import _native  # noqa: E402,F401
except ImportError as error:
    # Another pyarrow major leaves the extension's libarrow soname unresolved.
    if "libarrow" in str(error):
        raise ImportError(_NEEDS_PYARROW, name="pyarrow") from error
    raise
from orvik_can._native import *  # noqa: E402,F401,F403
