"""tarnwick: a whole simulated Unix-like machine inside the host Python process.

The machine itself lives in the extension module ``tarnwick._native``::

    from tarnwick import NativeEnvironment

    env = NativeEnvironment(10**6, 1 << 26, 1 << 26, 1 << 20)
    metadata, out, err = env.run("echo hi", b"")
"""

from . import _native
from ._native import NativeEnvironment, PackageConflictError, SimulationError

__all__ = ["NativeEnvironment", "PackageConflictError", "SimulationError", "_native"]
