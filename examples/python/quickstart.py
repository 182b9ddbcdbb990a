"""The README's Python example, on a virtual token: the first line puts "Token A" with the key
"1234" on the simulated radio; the rest runs on BlueZ just as well, against a real token."""
import asyncio

import vexatokenkit as vt
from vexatokenkit.testing import VirtualToken

VirtualToken(name="Token A", key="1234")  # in range until the program ends


async def main():
    async with vt.TokenManager() as manager:                  # backend "auto", "sim" or "bluez"
        token = await manager.find(name="Token A", timeout=5)  # or: await manager.scan(timeout=5) -> list
        async with manager.connect(token, key="1234") as t:  # raises NotPaired if the key is refused
            print(await t.serial(), await t.battery_level())
            await t.write_file("/notes.txt", b"hello", progress=lambda done, total: None)
            print(await t.list_files("/"))

asyncio.run(main())
