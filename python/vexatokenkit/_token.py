"""A connected token: every operation of the library's VexaToken as a coroutine."""
from __future__ import annotations

import asyncio
from typing import Any, Callable, List, Optional, Set, TYPE_CHECKING, Union

from . import _errors
from ._errors import ConnectionLost, TokenError, error_from, own_error
from ._types import FileEntry, OpenMode, PairedDevice

if TYPE_CHECKING:
    from ._manager import TokenManager
    from ._vexatokenkit import Token as _NativeToken

BytesLike = Union[bytes, bytearray, memoryview]
#: Called as progress(bytes_done, bytes_total) after each chunk; total is None when unknown.
Progress = Callable[[int, Optional[int]], Any]

#: Bytes asked for by each read of ``read_file`` (the token may return fewer).
READ_CHUNK = 16384
#: Bytes handed over by each write of ``write_file`` (sent as pieces of 2048 bytes).
WRITE_CHUNK = 16384


class ConnectedToken:
    """A token connected by ``TokenManager.connect``; its operations are coroutines.

    Operations may run concurrently (``asyncio.gather``); the token answers them one at a time
    in the order issued, and each coroutine gets its own answer. A failure raises ``TokenError``
    (``TokenTimeout`` when the token does not answer in time, after which the link is dropped;
    ``ConnectionLost`` when the link goes down). Cancelling a coroutine abandons its operation:
    a late answer is ignored, a file read or write is cancelled in the library (what it had not
    sent yet is never sent), and later operations work as usual.
    """

    def __init__(self, manager: "TokenManager", native: "_NativeToken") -> None:
        self._manager = manager
        self._native = native
        self._pending: Set[asyncio.Future] = set()
        self._lost: Optional[str] = None  # why the connection ended
        self._closed = asyncio.Event()

    def __repr__(self) -> str:
        state = "connected" if self.is_connected else "disconnected"
        return f"<ConnectedToken {self.name!r} {self.identifier} {state}>"

    # ---- identity and state ------------------------------------------------------------------

    @property
    def name(self) -> str:
        return self._native.name

    @property
    def identifier(self) -> str:
        return self._native.identifier

    @property
    def is_connected(self) -> bool:
        return self._lost is None and self._native.is_connected

    @property
    def reply_timeout(self) -> float:
        """Seconds each command waits for its reply (default 30; 0: no limit)."""
        return self._native.reply_timeout

    @reply_timeout.setter
    def reply_timeout(self, seconds: float) -> None:
        self._native.reply_timeout = seconds

    async def wait_disconnected(self) -> None:
        """Returns once the connection has ended: the token switched off or went out of range,
        the link was lost or dropped after a reply time-out, or ``disconnect()``."""
        await self._closed.wait()

    async def disconnect(self) -> None:
        """Ends the connection and waits (a few seconds at most) until it is down."""
        await self._manager._disconnect(self)

    # ---- information, power, APDU ------------------------------------------------------------

    async def initialize(self) -> None:
        """Sets the token's clock to this host's time."""
        await self._call(self._native.initialize)

    async def serial(self) -> int:
        """The token's serial number."""
        return await self._call(self._native.get_serial)

    async def battery_level(self) -> float:
        """The battery level as a fraction (0.57 for 57 %)."""
        return await self._call(self._native.get_battery_level)

    async def firmware_version(self) -> Optional[str]:
        return await self._call(self._native.get_firmware_version)

    async def hardware_version(self) -> Optional[str]:
        return await self._call(self._native.get_hardware_version)

    async def power_off(self) -> None:
        """Switches the token off; it drops the link afterwards."""
        await self._call(self._native.power_off)

    async def secure_element_on(self) -> bytes:
        """Powers the secure element on and returns its ATR."""
        return await self._call(self._native.power_secure_element_on)

    async def secure_element_off(self) -> None:
        await self._call(self._native.power_secure_element_off)

    async def set_protocol(self, protocol: int) -> None:
        """Chooses the secure element's protocol (0: T=0, 1: T=1)."""
        await self._call(lambda done: self._native.set_communication_protocol(protocol, done))

    async def transmit_apdu(self, apdu: BytesLike) -> bytes:
        """Sends a command APDU to the secure element and returns the response APDU."""
        return await self._call(lambda done: self._native.transmit_apdu(apdu, done))

    # ---- files -------------------------------------------------------------------------------

    async def select_storage(self, storage: int) -> None:
        """Makes ``storage`` (0, 1, ...) the one later file operations work on."""
        await self._call(lambda done: self._native.select_storage(storage, done))

    async def list_files(self, path: str = "/") -> List[FileEntry]:
        """The entries of a directory, in the token's order."""
        entries = await self._call(lambda done: self._native.list_files(path, done))
        return [FileEntry.from_entry(entry) for entry in entries]

    async def open_file(self, path: str, mode: int = OpenMode.READ) -> int:
        """Opens a file and returns its handle."""
        return await self._call(lambda done: self._native.open_file(path, int(mode), done))

    async def close_file(self, handle: int) -> None:
        await self._call(lambda done: self._native.close_file(handle, done))

    async def read(self, handle: int, count: int = READ_CHUNK) -> bytes:
        """Up to ``count`` bytes (at most 65535) from the file's position; b"" at its end."""
        data = await self._call(lambda done: self._native.read_file(handle, count, done))
        return data or b""

    async def write(self, handle: int, data: BytesLike) -> None:
        """Writes ``data`` at the file's position (in pieces of 2048 bytes, one command each)."""
        await self._call(lambda done: self._native.write_file(handle, data, done))

    async def remove_file(self, path: str) -> None:
        await self._call(lambda done: self._native.remove_file(path, done))

    async def read_file(self, path: str, *, progress: Optional[Progress] = None, chunk_size: int = READ_CHUNK) -> bytes:
        """The whole file: opened, read chunk by chunk until its end, closed.

        ``progress(done, None)`` is called after each chunk (the size is not known beforehand).
        """
        handle = await self.open_file(path, OpenMode.READ)
        parts: List[bytes] = []
        done = 0
        try:
            while True:
                part = await self.read(handle, chunk_size)
                if not part:
                    break
                parts.append(part)
                done += len(part)
                if progress is not None:
                    progress(done, None)
        except BaseException:
            self._close_quietly(handle)
            raise
        await self.close_file(handle)
        return b"".join(parts)

    async def write_file(self, path: str, data: BytesLike, *, progress: Optional[Progress] = None,
                         chunk_size: int = WRITE_CHUNK) -> None:
        """Creates (or empties) the file and writes ``data`` into it, chunk by chunk, then closes it.

        ``progress(done, total)`` is called after each chunk.
        """
        view = memoryview(data).cast("B")
        handle = await self.open_file(path, OpenMode.WRITE)
        try:
            for offset in range(0, len(view), chunk_size):
                chunk = view[offset:offset + chunk_size]
                await self.write(handle, chunk)
                if progress is not None:
                    progress(offset + len(chunk), len(view))
        except BaseException:
            self._close_quietly(handle)
            raise
        await self.close_file(handle)

    # ---- variables and paired hosts ----------------------------------------------------------

    async def read_variable(self, name: str) -> Optional[str]:
        """The variable's value (None if it is not valid text); a missing one raises TokenError."""
        return await self._call(lambda done: self._native.read_variable(name, done))

    async def write_variable(self, name: str, value: str) -> None:
        await self._call(lambda done: self._native.write_variable(name, value, done))

    async def remove_variable(self, name: str) -> None:
        await self._call(lambda done: self._native.remove_variable(name, done))

    async def paired_devices(self) -> List[PairedDevice]:
        """The hosts the token is paired with, in the order of their variables."""
        entries = await self._call(self._native.get_paired_devices)
        return [PairedDevice.from_entry(entry) for entry in entries]

    async def remove_paired_device(self, variable: str) -> None:
        """Removes a paired host by its variable (``PairedDevice.variable``)."""
        await self._call(lambda done: self._native.remove_paired_device(variable, done))

    # ---- the one road of every operation -----------------------------------------------------

    async def _call(self, start: Callable[[Callable[[Any, Any], None]], Any]) -> Any:
        """Starts one library operation and waits for its answer.

        Every operation's future is made here. ``start(done)`` hands the operation to the library,
        which later calls ``done(value, error)`` on the event loop's thread exactly once, unless
        the link goes down first (the manager then fails every pending future).
        """
        if not self.is_connected:
            raise own_error(ConnectionLost, _errors.NOT_CONNECTED, self._lost or "The token is not connected.")
        future: asyncio.Future = asyncio.get_running_loop().create_future()

        def done(value: Any, error: Any) -> None:
            if future.done():  # cancelled, or failed by a lost link: the late answer is dropped
                return
            if error is not None:
                future.set_exception(self._failure(error))
            else:
                future.set_result(value)

        operation = start(done)
        self._pending.add(future)
        try:
            return await future
        except asyncio.CancelledError:
            self._abandon(operation)
            raise
        finally:
            self._pending.discard(future)

    def _failure(self, error: Any) -> TokenError:
        """The exception for a failed operation: a platform error that came with the link going
        down (a frame write that failed on a lost link, say) is a ConnectionLost too."""
        failure = error_from(error)
        if type(failure) is TokenError and not self._native.is_connected:
            return ConnectionLost(failure.domain, failure.code, failure.message)
        return failure

    def _abandon(self, operation: Any) -> None:
        """Cancels an abandoned operation in the library, when it names one (file reads and
        writes): its commands not sent yet are never sent, the command already on the link
        finishes, and the library's answer (the cancel code) is dropped by ``done`` above.
        ``operation`` is what the library's call returned for it."""
        if isinstance(operation, int) and operation and self.is_connected:
            self._native.cancel(operation)

    def _close_quietly(self, handle: int) -> None:
        """Closes a file after a failed or cancelled transfer, without waiting for the answer; it
        goes behind the transfer's commands still queued."""
        if self.is_connected:
            self._native.close_file(handle, lambda value, error: None)

    def _connection_lost(self, message: str) -> None:
        """The link went down: every waiting operation fails with ConnectionLost."""
        if self._lost is None:
            self._lost = message
        self._closed.set()
        for future in list(self._pending):
            if not future.done():
                future.set_exception(own_error(ConnectionLost, _errors.NOT_CONNECTED, message))
