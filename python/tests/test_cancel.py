"""Cancelling a task that awaits a file transfer cancels the transfer in the library."""
import asyncio

import pytest

import vexatokenkit as vt
from vexatokenkit.testing import VirtualToken

from conftest import NAME, PASSWORD, SERIAL


async def test_cancelled_write_file_sends_nothing_more():
    with VirtualToken(NAME, key=PASSWORD, serial=str(SERIAL)) as token:
        async with vt.TokenManager(backend="sim") as manager:
            async with manager.connect(await manager.find(name=NAME), key=PASSWORD) as t:
                data = bytes(64 * 1024)
                # One library write of 32 pieces: cancelling the task cancels the pieces not sent.
                transfer = asyncio.ensure_future(t.write_file("/big.bin", data, chunk_size=len(data)))
                while len(token.read_file("/big.bin") or b"") < 4096:
                    await asyncio.sleep(0)
                transfer.cancel()
                with pytest.raises(asyncio.CancelledError):
                    await transfer
                written = len(token.read_file("/big.bin"))
                assert await t.serial() == SERIAL  # runs after the piece that was on the link
                assert written <= len(token.read_file("/big.bin")) <= written + 2048
                assert token.open_file_count == 0
