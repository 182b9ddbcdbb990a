"""vexatokenkit: hardware security tokens over Bluetooth LE, from asyncio.

Find tokens, connect with the token's key, and run its commands: serial number, battery,
versions, clock, power, APDUs to the secure element, files on its storages, environment
variables and paired hosts. Every operation is a coroutine that returns its value or raises
``TokenError``.

Example::

    import asyncio
    import vexatokenkit as vt

    async def main():
        async with vt.TokenManager() as manager:                  # backend "auto", "sim" or "bluez"
            token = await manager.find(name="Token A", timeout=5)  # or: await manager.scan(timeout=5) -> list
            async with manager.connect(token, key="1234") as t:  # raises NotPaired if the key is refused
                print(await t.serial(), await t.battery_level())
                await t.write_file("/notes.txt", b"hello", progress=lambda done, total: None)
                print(await t.list_files("/"))

    asyncio.run(main())

Classes:

- ``TokenManager``: scan (``scan``, ``find``) and connect (``connect``) on BlueZ or the simulated
  radio.
- ``Token``: a token heard by a scan; ``ConnectedToken``: a connected one, with the operations.
- ``FileEntry``, ``PairedDevice``: directory entries and paired hosts; ``OpenMode`` for files.
- ``TokenError(domain, code, message)`` and its kinds ``NotPaired``, ``TokenTimeout``,
  ``ConnectionLost``, ``OperationCancelled``, ``TokenNotFound``, ``BluetoothUnavailable``.

Without hardware, ``vexatokenkit.testing.VirtualToken`` puts a virtual token on the simulated
radio (backend "sim", which "auto" falls back to when there is no BlueZ adapter).

The library's work runs on the asyncio event loop that entered the ``TokenManager``; Bluetooth
events from BlueZ's own thread are handed into that loop.
"""
from ._vexatokenkit import __version__
from ._errors import (BluetoothUnavailable, ConnectionLost, NotPaired, OperationCancelled, TokenError, TokenNotFound,
                      TokenTimeout)
from ._manager import Token, TokenManager
from ._token import ConnectedToken
from ._types import FileEntry, OpenMode, PairedDevice

__all__ = [
    "__version__",
    "TokenManager",
    "Token",
    "ConnectedToken",
    "FileEntry",
    "PairedDevice",
    "OpenMode",
    "TokenError",
    "NotPaired",
    "TokenTimeout",
    "ConnectionLost",
    "OperationCancelled",
    "TokenNotFound",
    "BluetoothUnavailable",
]
