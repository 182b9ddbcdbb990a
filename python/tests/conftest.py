"""Fixtures: the virtual token on the simulated radio, or behind the fake org.bluez (the fakebluez
program named by VEXA_FAKEBLUEZ, on a private bus), and a connection to it."""
import os
import subprocess

import pytest

import vexatokenkit as vt
from vexatokenkit import _vexatokenkit
from vexatokenkit.testing import VirtualToken

NAME = "Token A"
PASSWORD = "1234"
SERIAL = 24000017


class BlueZToken:
    """The virtual token behind fakebluez, with the fault switches of testing.VirtualToken that
    the tests use."""

    def __init__(self, program: str) -> None:
        key = _vexatokenkit.key_from_password(PASSWORD, NAME)
        self.process = subprocess.Popen([program, "--name", NAME, "--key", key, "--serial", str(SERIAL)],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.bus = self.process.stdout.readline().split()[-1]

    def _command(self, line: str) -> None:
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()
        assert self.process.stdout.readline().strip() == "ok"

    def reply_status(self, command: int, status: int, *, times: int = -1) -> None:
        self._command(f"status {int(command)} {status} {times}")

    def ignore(self, command: int, *, times: int = -1) -> None:
        self._command(f"ignore {int(command)} {times}")

    def drop_link_after_writes(self, writes: int) -> None:
        self._command(f"drop-after {writes}")

    def close(self) -> None:
        self.process.stdin.close()
        self.process.wait(timeout=10)


@pytest.fixture(params=["sim", "bluez"])
def rig(request):
    """(TokenManager arguments, token) for a token named NAME whose key is PASSWORD."""
    if request.param == "sim":
        with VirtualToken(NAME, key=PASSWORD, serial=str(SERIAL)) as token:
            yield {"backend": "sim"}, token
        return
    program = os.environ.get("VEXA_FAKEBLUEZ")
    if not program:
        pytest.skip("VEXA_FAKEBLUEZ does not name the fakebluez program")
    token = BlueZToken(program)
    try:
        yield {"backend": "bluez", "bus_address": token.bus}, token
    finally:
        token.close()


@pytest.fixture
async def session(rig):
    """(connected token, the virtual token behind it)."""
    arguments, token = rig
    async with vt.TokenManager(**arguments) as manager:
        found = await manager.find(name=NAME)
        async with manager.connect(found, key=PASSWORD) as connected:
            yield connected, token
