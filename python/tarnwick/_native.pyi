"""Type stub of the extension module tarnwick._native."""

from collections.abc import Sequence
from typing import final

_Bytes = bytes | bytearray | Sequence[int]

class SimulationError(Exception):
    """An adapter or simulator operation could not be completed."""

class PackageConflictError(SimulationError):
    """A package destination conflicts with existing virtual content."""

@final
class NativeEnvironment:
    """One persistent simulated machine owned by Python."""

    def __new__(
        cls, cpu: int, memory: int, disk: int, output: int, real_time: bool = False
    ) -> NativeEnvironment: ...
    def run(self, source: str, stdin: _Bytes) -> tuple[str, bytes, bytes]:
        """Execute one shell action and return JSON metadata plus byte-preserving output streams."""
    def create_shell(self) -> int:
        """Create an idle shell with its own process state over the shared virtual machine."""
    def run_shell(self, pid: int, source: str, stdin: _Bytes) -> tuple[str, bytes, bytes]:
        """Execute one action in a selected persistent shell session."""
    def run_python(self, source: str, argv: Sequence[str], stdin: _Bytes) -> tuple[str, bytes, bytes]:
        """Execute Python source directly without passing it through the shell parser."""
    def write_file(self, path: str, data: _Bytes, mode: int) -> None:
        """Write one byte string into the simulated filesystem."""
    def read_file(self, path: str) -> bytes:
        """Read one simulated file as exact bytes."""
    def mkdir(self, path: str, parents: bool) -> None:
        """Create a directory in the simulated filesystem."""
    def mount(self, host_root: str, destination_root: str) -> str:
        """Import one explicitly selected trusted host tree into the simulated filesystem."""
    def mount_package_tree(
        self,
        host_root: str,
        destination_root: str = "/",
        replace_builtin_tools: Sequence[str] = [],
    ) -> None:
        """Import a verified package staging tree exactly, including its `.venv` directory."""
    def route_http(
        self,
        pattern: str,
        method: str | None,
        status: int,
        headers: Sequence[tuple[str, str]],
        body: _Bytes,
    ) -> None:
        """Register one static response in the simulated HTTP broker."""
    @property
    def terminated(self) -> bool: ...

@final
class NativeContainer:
    """In-process host control for a machine granted the virtual tool endpoint.

    Programs inside post tool calls to ``http://tools.tarnwick/tools`` (a POST of
    ``{"tool": name, "arguments": {...}}``); each call is listed once in the ``tool_calls`` of a
    ``poll_action`` view and answered with ``respond_tool_call``. Action methods return one
    compact JSON reply (kind "action" or "action_output"); byte payloads are base64.
    """

    def __new__(
        cls, cpu: int, memory: int, disk: int, output: int, real_time: bool
    ) -> NativeContainer: ...
    def write_file(self, path: str, data: _Bytes, mode: int) -> None:
        """Write one file in the container; relative paths start at /work."""
    def read_file(self, path: str) -> bytes:
        """Read one file of the container as exact bytes."""
    def mkdir(self, path: str, mode: int) -> None:
        """Create a directory and its missing parents in the container."""
    def snapshot_workspace(self) -> str: ...
    def start_execute(self, source: str, stdin: _Bytes) -> str:
        """Start one shell action; it runs when polled."""
    def poll_action(self, action_id: int) -> str:
        """Run an action for a bounded slice of work and return its view."""
    def respond_tool_call(
        self, request_id: int, result_json: str | None, error: str | None
    ) -> None:
        """Answer one reported tool call with an object result or an error text."""
    def read_action_output(self, action_id: int) -> str:
        """Return the output an action produced since the last read."""
    def cancel_action(self, action_id: int) -> None:
        """Interrupt a running action and let it finish."""
    def drop_action(self, action_id: int) -> None:
        """Forget a completed action."""
    def display_frame(self, action_id: int) -> tuple[int, int, int, bytes] | None:
        """The last frame a guest presented, or None."""
    def inject_key(self, action_id: int, code: int, pressed: bool) -> None:
        """Queue one key event for the foreground action."""
    def clock_mode(self) -> str:
        """The container's clock: "virtual" or "real_time"."""
