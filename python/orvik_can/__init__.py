"""orvik-can: the CAN codec of the orvik family."""

from orvik_can import _native  # noqa: F401
from orvik_can._native import *  # noqa: F401,F403
