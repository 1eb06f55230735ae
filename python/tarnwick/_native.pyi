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
    def write_file(self, path: str, data: _Bytes, mode: int) -> None:
        """Write one byte string into the simulated filesystem."""
    def read_file(self, path: str) -> bytes:
        """Read one simulated file as exact bytes."""
    def mkdir(self, path: str, parents: bool) -> None:
        """Create a directory in the simulated filesystem."""
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
