"""The asyncio layer end to end: every operation, errors, refused key, time-outs, a lost link and
cancellation, over the simulated radio and over BlueZ (fake org.bluez)."""
import asyncio

import pytest

import vexatokenkit as vt
from vexatokenkit.testing import Command, VirtualToken, radio

from conftest import NAME, PASSWORD, SERIAL

TOKEN_DOMAIN = "org.vexatokenkit.LumoToken"
GET_CHALLENGE = bytes.fromhex("0084000008")


async def test_every_operation(session):
    t, _ = session
    assert (await t.serial(), await t.battery_level()) == (SERIAL, 1.0)
    assert (await t.firmware_version(), await t.hardware_version()) == ("12", "03")
    await t.initialize()

    assert (await t.secure_element_on()).startswith(b"\x3b")
    await t.set_protocol(1)
    response = await t.transmit_apdu(GET_CHALLENGE)
    assert len(response) == 10 and response.endswith(b"\x90\x00")
    await t.secure_element_off()

    data = bytes(i % 251 for i in range(40000))
    seen = []
    await t.write_file("/notes.bin", data, progress=lambda done, total: seen.append((done, total)), chunk_size=16384)
    assert seen == [(16384, 40000), (32768, 40000), (40000, 40000)]
    assert await t.read_file("/notes.bin", chunk_size=9000) == data
    assert [(e.name, e.size, e.is_directory) for e in await t.list_files("/")] == [("notes.bin", 40000, False)]
    await t.select_storage(1)
    assert await t.list_files("/") == []
    await t.select_storage(0)
    await t.remove_file("/notes.bin")
    assert await t.list_files() == []

    await t.write_variable("colour", "blue")
    assert await t.read_variable("colour") == "blue"
    await t.remove_variable("colour")
    paired = await t.paired_devices()  # this host, recorded when it connected
    assert [(p.variable, len(p.address)) for p in paired] == [("device0", 17)]
    await t.remove_paired_device("device0")
    assert await t.paired_devices() == []

    # Concurrent operations: each gets its own answer.
    assert await asyncio.gather(t.serial(), t.write_variable("a", "1"), t.read_variable("a"), t.battery_level()) == [SERIAL, None, "1", 1.0]

    await t.power_off()  # the token drops the link right after its answer
    await t.wait_disconnected()
    with pytest.raises(vt.ConnectionLost):
        await t.serial()


@pytest.mark.parametrize("command, status, call, domain, code", [
    (Command.SERIAL, 7, lambda t: t.serial(), "VexaTokenError", -2016),
    (Command.OPEN_FILE, 11, lambda t: t.read_file("/notes.bin"), TOKEN_DOMAIN, 0xFF0B),
    (Command.READ_VARIABLE, 12, lambda t: t.read_variable("colour"), TOKEN_DOMAIN, 0xFF0C),
])
async def test_refusals_become_token_errors(session, command, status, call, domain, code):
    t, token = session
    token.reply_status(command, status, times=1)
    with pytest.raises(vt.TokenError) as failure:
        await call(t)
    assert (type(failure.value), failure.value.domain, failure.value.code) == (vt.TokenError, domain, code)
    assert await t.serial() == SERIAL  # the session goes on


async def test_refused_key_then_right_key(rig):
    arguments, _ = rig
    async with vt.TokenManager(**arguments) as manager:
        with pytest.raises(vt.NotPaired):
            await manager.connect(await manager.find(name=NAME), password="9999")
        async with manager.connect(await manager.find(name=NAME), key=PASSWORD) as t:
            assert await t.serial() == SERIAL


async def test_reply_timeout_drops_the_link(rig):
    arguments, token = rig
    async with vt.TokenManager(**arguments) as manager:
        t = await manager.connect(await manager.find(name=NAME), key=PASSWORD)
        t.reply_timeout = 0.2
        token.ignore(Command.READ_VARIABLE, times=1)
        waiting = asyncio.gather(t.read_variable("x"), t.serial(), return_exceptions=True)
        timed_out, queued = await waiting
        assert isinstance(timed_out, vt.TokenTimeout) and (timed_out.domain, timed_out.code) == (TOKEN_DOMAIN, 4)
        assert isinstance(queued, vt.ConnectionLost)
        with pytest.raises(vt.ConnectionLost):
            await t.battery_level()


async def test_link_lost_during_file_transfer(session):
    t, token = session
    token.drop_link_after_writes(30)
    with pytest.raises(vt.ConnectionLost):
        await t.write_file("/big.bin", bytes(64 * 1024))
    assert not t.is_connected


async def test_cancelled_operations_leave_the_session_working():
    with VirtualToken(NAME, key=PASSWORD, serial=str(SERIAL)) as token:
        async with vt.TokenManager(backend="sim") as manager:
            async with manager.connect(await manager.find(name=NAME), key=PASSWORD) as t:
                token.delay(Command.SERIAL, 0.05, times=1)
                serial = asyncio.ensure_future(t.serial())
                await asyncio.sleep(0)
                serial.cancel()
                with pytest.raises(asyncio.CancelledError):
                    await serial
                assert await t.battery_level() == 1.0  # after the late serial answer, which is dropped

                # One library write of 32 pieces, each answered late: cancelling the task cancels the pieces not sent.
                token.delay(Command.WRITE_FILE, 0.01)
                transfer = asyncio.ensure_future(t.write_file("/big.bin", bytes(64 * 1024), chunk_size=64 * 1024))
                while len(token.read_file("/big.bin") or b"") < 4096:
                    await asyncio.sleep(0)
                transfer.cancel()
                written = len(token.read_file("/big.bin"))
                with pytest.raises(asyncio.CancelledError):
                    await transfer
                assert await t.serial() == SERIAL  # runs after the piece that was on the link
                assert written <= len(token.read_file("/big.bin")) <= written + 2048
                assert token.open_file_count == 0  # closed behind the cancelled transfer


async def test_scan_find_connect_and_bluetooth_off():
    with VirtualToken(NAME, key=PASSWORD, serial=str(SERIAL)) as token:
        async with vt.TokenManager(backend="sim") as manager:
            assert NAME in [found.name for found in await manager.scan(timeout=0.05)]
            with pytest.raises(vt.TokenNotFound):
                await manager.find(name="Token Z", timeout=0.05)
            found = await manager.find(name=NAME)
            token.refuse_connections()
            with pytest.raises(vt.TokenError, match="SimulatedBle"):
                await manager.connect(found, key=PASSWORD)
            async with manager.connect(found, key=PASSWORD) as t:  # the next attempt succeeds
                assert await t.serial() == SERIAL
            radio().powered_on = False
            try:
                with pytest.raises(vt.BluetoothUnavailable):
                    await manager.scan(timeout=1)
            finally:
                radio().powered_on = True
