"""A virtual token on the simulated radio, to test token scripts without hardware.

A ``VirtualToken`` speaks the token protocol (session key and AES, clock, serial number, battery,
versions, a secure element answering SELECT and GET CHALLENGE, storages with files, variables and
paired hosts) on the simulated radio that ``TokenManager(backend="sim")`` uses (and "auto" without
a BlueZ adapter). Fault switches make it misbehave on purpose. A pytest fixture::

    import pytest
    from vexatokenkit.testing import Command, VirtualToken

    @pytest.fixture
    def token():
        with VirtualToken(name="Token A", key="1234", files={"/hello.txt": b"hi"}) as t:
            yield t                     # in range until the test ends

    async def test_serial_fails(token):
        token.reply_status(Command.SERIAL, 7, times=1)   # the next serial-number read fails
        ...

Create, change and inspect virtual tokens on the thread that runs the event loop (or before it
runs). Link timing is zero unless set with ``radio().set_link_timing(...)`` (seconds, real time).
"""
from __future__ import annotations

import enum
from typing import Any, Dict, Mapping, Optional

from . import _vexatokenkit
from ._vexatokenkit import SimulatedRadio


class Command(enum.IntEnum):
    """Command codes of the token protocol, for the fault switches."""

    SET_TIME = 0x10
    APDU = 0x15
    FIRMWARE_VERSION = 0x20
    HARDWARE_VERSION = 0x25
    SERIAL = 0x30
    BATTERY = 0x35
    POWER_OFF = 0x40
    SECURE_ELEMENT_ON = 0x45
    SECURE_ELEMENT_OFF = 0x50
    PROTOCOL = 0x55
    WRITE_VARIABLE = 0x60
    SYNC_SESSION_KEY = 0x65
    OPEN_FILE = 0x70
    CLOSE_FILE = 0x75
    READ_FILE = 0x80
    WRITE_FILE = 0x85
    REMOVE_FILE = 0x90
    OPEN_DIRECTORY = 0x95
    DIRECTORY_ENTRY = 0xA0
    SELECT_STORAGE = 0xA5
    READ_VARIABLE = 0xB0


def radio() -> SimulatedRadio:
    """The simulated radio of backend "sim": ``radio().powered_on = False`` switches Bluetooth off."""
    return _vexatokenkit.default_radio()


class VirtualToken:
    """A virtual token, in range of the simulated radio from its creation until ``remove()``
    (or the end of its ``with`` block).

    ``key``: the key a host must use, as ``TokenManager.connect(key=...)`` takes it (a text of
    32+ characters is the key itself, a shorter one a password); ``password``: always a password.
    Neither: no key; the token then accepts any host and talks in plain text. ``serial``,
    ``battery_level`` (percent) and ``hardware_version`` set to None make their commands fail.
    ``files`` ({path: bytes}) and ``variables`` ({name: text}) are put on it at once.
    """

    def __init__(self, name: str = "VexaToken", *, key: Optional[str] = None, password: Optional[str] = None,
                 identifier: str = "", serial: Optional[str] = "24000001", battery_level: Optional[int] = 100,
                 firmware_version: int = 0x12, hardware_version: Optional[int] = 0x03, files: Optional[Mapping[str, bytes]] = None,
                 variables: Optional[Mapping[str, str]] = None, storages: int = 2, storage_capacity: int = 1024 * 1024,
                 rssi: int = -55, radio: Optional[SimulatedRadio] = None) -> None:
        if key is not None and password is not None:
            raise ValueError("give a key or a password, not both")
        stored = _stored_key(name, key, password)
        self._native = _vexatokenkit.VirtualToken(radio, name, identifier, stored, serial, battery_level, firmware_version,
                                                  hardware_version, storages, storage_capacity, rssi)
        _in_range[id(self)] = self  # answers while in range, even when the script keeps no reference
        for path, data in (files or {}).items():
            self.write_file(path, data)
        for variable, value in (variables or {}).items():
            self.set_variable(variable, value)

    def __enter__(self) -> "VirtualToken":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.remove()

    def __repr__(self) -> str:
        return f"<VirtualToken {self.name!r} {self.identifier} session={self.session}>"

    @property
    def name(self) -> str:
        return self._native.name

    @property
    def identifier(self) -> str:
        return self._native.identifier

    @property
    def session(self) -> str:
        """The current connection's session: "open" (no key), "locked" (key not agreed) or "encrypted"."""
        return self._native.session

    def set_key(self, key: Optional[str] = None, *, password: Optional[str] = None) -> None:
        """Changes the key, as in the constructor; takes effect at the next connection."""
        self._native.set_key(_stored_key(self.name, key, password))

    # ---- range and power ---------------------------------------------------------------------

    def remove(self) -> None:
        """Takes the token out of range; a live link is lost."""
        self._native.remove_from_radio()
        _in_range.pop(id(self), None)

    def bring_back(self, radio: Optional[SimulatedRadio] = None) -> None:
        """Puts the token in range again (of ``radio``, or the default one)."""
        self._native.add_to_radio(radio)
        _in_range[id(self)] = self

    @property
    def is_powered_on(self) -> bool:
        return self._native.is_powered_on

    def power_off(self) -> None:
        """Switches the token off as its button would: the link drops and it stops advertising."""
        self._native.power_off()

    def power_on(self) -> None:
        self._native.power_on()

    # ---- fault switches (command None: every command; times -1: until cleared) -------------

    def reply_status(self, command: Optional[int], status: int, *, times: int = -1) -> None:
        """Answers the command with only the status byte ``status`` (without running it)."""
        self._native.reply_status(command, status, times)

    def ignore(self, command: Optional[int], *, times: int = -1) -> None:
        """Never answers the command (it does not run)."""
        self._native.ignore_command(command, times)

    def delay(self, command: Optional[int], seconds: float, *, times: int = -1) -> None:
        """Runs the command at once but answers ``seconds`` later."""
        self._native.delay_replies(command, seconds, times)

    def corrupt(self, command: Optional[int], *, times: int = -1) -> None:
        """Answers with a reply whose checksum is wrong."""
        self._native.corrupt_replies(command, times)

    def refuse_connections(self, count: int = 1) -> None:
        """The next ``count`` connection attempts fail."""
        self._native.refuse_connections(count)

    def drop_link_after_writes(self, writes: int) -> None:
        """The link drops right after the ``writes``-th frame written to the token from now."""
        self._native.disconnect_after_writes(writes)

    def clear_faults(self) -> None:
        """Disarms every fault switch, the token's and its link's."""
        self._native.clear_faults()
        self._native.clear_link_faults()

    # ---- what is on the token ----------------------------------------------------------------

    def files(self, storage: int = 0) -> Dict[str, bytes]:
        """Every file of a storage, by path."""
        return self._native.files(storage)

    def read_file(self, path: str, storage: int = 0) -> Optional[bytes]:
        return self._native.read_file(path, storage)

    def write_file(self, path: str, data: bytes, storage: int = 0) -> None:
        """Creates or replaces a file (and its parent directories)."""
        if not self._native.write_file(path, bytes(data), storage):
            raise ValueError(f"cannot store {path!r} on the virtual token (bad path or storage full)")

    @property
    def open_file_count(self) -> int:
        """Files the host has open right now."""
        return self._native.open_file_count

    @property
    def variables(self) -> Dict[str, str]:
        """Every variable, paired-host records ("device0", ...) included."""
        return self._native.variables

    def set_variable(self, name: str, value: str) -> None:
        if not self._native.set_variable(name, value):
            raise ValueError(f"cannot store variable {name!r} on the virtual token")

    def remove_variable(self, name: str) -> bool:
        return self._native.remove_variable(name)


_in_range: Dict[int, VirtualToken] = {}


def _stored_key(name: str, key: Optional[str], password: Optional[str]) -> Optional[str]:
    if password is not None:
        return _vexatokenkit.derive_key(password, name)
    if key is not None:
        return _vexatokenkit.key_from_password(key, name)
    return None


__all__ = ["VirtualToken", "Command", "radio"]
