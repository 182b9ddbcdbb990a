"""Scanning for tokens and connecting them."""
from __future__ import annotations

import asyncio
import os
from typing import Any, Callable, Dict, List, Optional, TYPE_CHECKING

from . import _errors, _vexatokenkit
from ._errors import BluetoothUnavailable, ConnectionLost, NotPaired, TokenNotFound, TokenTimeout, error_from, own_error
from ._token import ConnectedToken

if TYPE_CHECKING:
    from ._vexatokenkit import SimulatedRadio

# Outcomes of one connection attempt, as the library reports them.
_CONNECTED, _NOT_PAIRED, _FAILED = 0, 1, 2
#: How long a disconnection is waited for before it is taken as done.
DISCONNECT_WAIT = 5.0


class Token:
    """A token heard by a scan: pass it to ``TokenManager.connect``."""

    def __init__(self, native: Any) -> None:
        self._native = native

    @property
    def name(self) -> str:
        """The advertised name ("Unknown" without one)."""
        return self._native.name

    @property
    def identifier(self) -> str:
        """The platform's identifier: the Bluetooth address on BlueZ."""
        return self._native.identifier

    @property
    def rssi(self) -> int:
        """The last signal strength heard, in dBm."""
        return self._native.rssi

    def __repr__(self) -> str:
        return f"<Token {self.name!r} {self.identifier} rssi={self.rssi}>"


class TokenManager:
    """Finds tokens and connects them; use it as ``async with TokenManager() as manager``.

    ``backend``: ``"auto"`` (the environment variable VEXATOKENKIT_BACKEND if set, else BlueZ when
    the system bus has BlueZ with an adapter, else the simulated radio), ``"bluez"`` or ``"sim"``
    (the simulated radio of ``vexatokenkit.testing``).
    ``adapter`` ("hci1") and ``bus_address`` (a D-Bus address instead of the system bus) apply to
    BlueZ; ``radio`` to the simulation. The library's work runs on the event loop that enters
    the manager; use one event loop at a time.
    """

    def __init__(self, backend: str = "auto", *, adapter: Optional[str] = None, bus_address: Optional[str] = None,
                 radio: Optional["SimulatedRadio"] = None) -> None:
        if backend not in ("auto", "sim", "bluez"):
            raise ValueError(f'unknown backend "{backend}" (use "auto", "sim" or "bluez")')
        self._backend = backend
        self._adapter = adapter or ""
        self._bus_address = bus_address or ""
        self._radio = radio
        self._native: Any = None
        self._found: Dict[Any, Token] = {}
        self._scan_changed: Optional[asyncio.Event] = None
        self._not_ready: Optional[str] = None
        self._connections: Dict[Any, ConnectedToken] = {}
        self._disconnect_waiters: Dict[Any, List[asyncio.Future]] = {}

    async def __aenter__(self) -> "TokenManager":
        await self.open()
        return self

    async def __aexit__(self, *exc_info: Any) -> None:
        await self.close()

    async def open(self) -> None:
        """Starts the manager on the running event loop (``async with`` does this)."""
        loop = asyncio.get_running_loop()
        _vexatokenkit.bind_loop(loop)
        backend = self._backend
        if backend == "auto" and os.environ.get("VEXATOKENKIT_BACKEND") in ("sim", "bluez"):
            backend = os.environ["VEXATOKENKIT_BACKEND"]
        if backend == "auto":  # the look at the bus may take a moment: not on the loop
            available = await loop.run_in_executor(None, _vexatokenkit.bluez_available, self._adapter, self._bus_address)
            backend = "bluez" if available else "sim"
        self._native = _vexatokenkit.Manager(backend, self._adapter, self._bus_address, self._radio)
        self._native.set_handlers(self._discovered, self._disconnected, self._bluetooth_not_ready)

    async def close(self) -> None:
        """Disconnects the tokens this manager connected and stops it."""
        if self._native is None:
            return
        for connection in list(self._connections.values()):
            await connection.disconnect()
        self._native.close()
        self._native = None

    @property
    def backend(self) -> str:
        """The backend in use: "sim" or "bluez" ("auto" until the manager is entered)."""
        return self._native.backend if self._native is not None else self._backend

    # ---- scanning ----------------------------------------------------------------------------

    async def scan(self, timeout: float = 5.0) -> List[Token]:
        """Every token heard within ``timeout`` seconds, in the order heard."""
        return await self._scan(lambda found: None, timeout) or list(self._found.values())

    async def find(self, name: Optional[str] = None, *, identifier: Optional[str] = None, timeout: float = 5.0) -> Token:
        """The first token heard with this name and/or identifier (any token when neither is
        given); raises ``TokenNotFound`` when none is heard within ``timeout`` seconds."""
        def match(found: List[Token]) -> Optional[List[Token]]:
            for token in found:
                if (name is None or token.name == name) and (identifier is None or token.identifier == identifier):
                    return [token]
            return None

        result = await self._scan(match, timeout)
        if not result:
            wanted = " and ".join(f"{k} {v!r}" for k, v in (("name", name), ("identifier", identifier)) if v is not None)
            raise own_error(TokenNotFound, _errors.NOT_FOUND, f"No token{' with ' + wanted if wanted else ''} was found within {timeout:g} s.")
        return result[0]

    async def _scan(self, match: Callable[[List[Token]], Optional[List[Token]]], timeout: float) -> Optional[List[Token]]:
        native = self._require_open()
        loop = asyncio.get_running_loop()
        deadline = loop.time() + timeout
        self._found = {}
        self._not_ready = None
        self._scan_changed = changed = asyncio.Event()
        native.start_scanning()
        try:
            while True:
                if self._not_ready is not None:
                    raise own_error(BluetoothUnavailable, _errors.BLUETOOTH_UNAVAILABLE, f"Bluetooth is not available: {self._not_ready}")
                result = match(list(self._found.values()))
                remaining = deadline - loop.time()
                if result is not None or remaining <= 0:
                    return result
                changed.clear()
                try:
                    await asyncio.wait_for(changed.wait(), remaining)
                except asyncio.TimeoutError:
                    pass
        finally:
            self._scan_changed = None
            if self._native is not None:
                self._native.stop_scanning()

    # ---- connecting --------------------------------------------------------------------------

    def connect(self, token: Token, *, key: Optional[str] = None, password: Optional[str] = None, timeout: float = 30.0,
                reply_timeout: Optional[float] = None, sync_mode: int = 0) -> "_Connection":
        """Connects the token and agrees the session key; use as ``async with manager.connect(...)
        as t`` (disconnects at the end) or ``t = await manager.connect(...)``.

        ``key``: the token's key as the library's key store keeps it (a text of 32 or more
        characters is the key itself; a shorter one is a password, turned into a key with the
        token's name). ``password``: always turned into a key that way. Neither: no key, plain
        text (only tokens without a key accept that). Raises ``NotPaired`` when the token rejects
        the key, ``TokenTimeout`` after ``timeout`` seconds, ``TokenError`` when the attempt fails.
        ``reply_timeout`` sets the seconds each command waits for its answer (default 30).
        """
        if key is not None and password is not None:
            raise ValueError("give a key or a password, not both")
        return _Connection(self._connect(token, key, password, timeout, reply_timeout, sync_mode))

    async def _connect(self, token: Token, key: Optional[str], password: Optional[str], timeout: float,
                       reply_timeout: Optional[float], sync_mode: int) -> ConnectedToken:
        manager = self._require_open()
        native = token._native
        if not native.can_connect:
            raise own_error(ConnectionLost, _errors.NOT_CONNECTED, "This token's connection has ended; scan again to connect it again.")
        if password is not None:
            native.set_password(password)
        elif key is not None:
            native.set_key(key)
        else:
            native.reset_key()
        if reply_timeout is not None:
            native.reply_timeout = reply_timeout
        attempt: asyncio.Future = asyncio.get_running_loop().create_future()

        def done(outcome: int, error: Any) -> None:
            if not attempt.done():
                attempt.set_result((outcome, error))

        manager.connect(native, sync_mode, done)
        try:
            outcome, error = await asyncio.wait_for(attempt, timeout)
        except asyncio.TimeoutError:
            await self._drop(native)
            raise own_error(TokenTimeout, _errors.TIMED_OUT, f"The token did not connect within {timeout:g} s.") from None
        except asyncio.CancelledError:
            manager.disconnect(native)
            raise
        if outcome == _FAILED:
            raise error_from(error)
        if outcome == _NOT_PAIRED:
            await self._drop(native)
            raise own_error(NotPaired, _errors.NOT_PAIRED, "The token rejected the session key (wrong key, or this host is not paired).")
        connection = ConnectedToken(self, native)
        self._connections[native] = connection
        return connection

    async def _disconnect(self, connection: ConnectedToken) -> None:
        native = connection._native
        if self._connections.pop(native, None) is None:
            return
        connection._connection_lost("The token was disconnected.")
        await self._drop(native)

    async def _drop(self, native: Any) -> None:
        """Asks for the disconnection and waits (bounded) until it is reported."""
        if self._native is None or not native.is_connected:
            return
        waiter: asyncio.Future = asyncio.get_running_loop().create_future()
        self._disconnect_waiters.setdefault(native, []).append(waiter)
        self._native.disconnect(native)
        try:
            await asyncio.wait_for(waiter, DISCONNECT_WAIT)
        except asyncio.TimeoutError:
            pass

    def _require_open(self) -> Any:
        if self._native is None:
            raise RuntimeError("the TokenManager is not open: use it with 'async with'")
        return self._native

    # ---- events from the library (on the event loop's thread) -------------------------------

    def _discovered(self, tokens: List[Any]) -> None:
        for native in tokens:
            if native not in self._found:
                self._found[native] = Token(native)
        if self._scan_changed is not None:
            self._scan_changed.set()

    def _disconnected(self, native: Any) -> None:
        connection = self._connections.pop(native, None)
        if connection is not None:
            connection._connection_lost("The connection to the token was lost.")
        for waiter in self._disconnect_waiters.pop(native, []):
            if not waiter.done():
                waiter.set_result(None)

    def _bluetooth_not_ready(self, reason: str) -> None:
        self._not_ready = reason or "Bluetooth is off."
        if self._scan_changed is not None:
            self._scan_changed.set()


class _Connection:
    """What ``TokenManager.connect`` returns: awaitable, or an async context manager."""

    def __init__(self, connecting: Any) -> None:
        self._connecting = connecting
        self._token: Optional[ConnectedToken] = None

    def __await__(self) -> Any:
        return self._connecting.__await__()

    async def __aenter__(self) -> ConnectedToken:
        self._token = await self._connecting
        return self._token

    async def __aexit__(self, *exc_info: Any) -> None:
        if self._token is not None:
            await self._token.disconnect()
