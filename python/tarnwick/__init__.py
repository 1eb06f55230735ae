"""tarnwick: a whole simulated Unix-like machine inside the host Python process.

The machine itself lives in the extension module ``tarnwick._native``.
"""

from . import _native  # noqa: F401

__all__ = ["_native"]
