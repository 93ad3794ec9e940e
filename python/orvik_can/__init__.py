"""orvik-can: the CAN codec of the orvik family."""

# The extension links Arrow C++ from the pyarrow wheel. Importing pyarrow first loads that library
# into the process, so the extension finds it wherever pyarrow is installed (another site-packages,
# a system-site venv), not only beside it.
import pyarrow  # noqa: F401

from orvik_can import _native  # noqa: F401
from orvik_can._native import *  # noqa: F401,F403
