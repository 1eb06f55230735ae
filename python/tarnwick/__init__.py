"""tarnwick: a whole simulated Unix-like machine inside the host Python process.

The machine itself lives in the extension module ``tarnwick._native``::

    from tarnwick import NativeEnvironment

    env = NativeEnvironment(10**6, 1 << 26, 1 << 26, 1 << 20)
    metadata, out, err = env.run("echo hi", b"")

A ``NativeContainer`` runs long actions step by step for an agent host: ``start_execute``, then
``poll_action`` until the view's state is complete, answering the tool calls that programs post to
``http://tools.tarnwick/tools`` with ``respond_tool_call``, and ``read_action_output``.
"""

from . import _native
from ._native import NativeContainer, NativeEnvironment, PackageConflictError, SimulationError

__all__ = ["NativeContainer", "NativeEnvironment", "PackageConflictError", "SimulationError", "_native"]
