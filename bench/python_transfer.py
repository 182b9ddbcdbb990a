#!/usr/bin/env python3
"""Python against C++: write 1 MiB to a virtual token and read it back over the zero-latency
simulated link, through vexatokenkit's asyncio layer and through the library's C++ interface in
the same process, and print both times and their ratio (best of several rounds each). The times
are CPU time of the one thread that runs everything (the library, the simulated stack and the
virtual token; the event loop for Python), so other load on the machine does not count.

    build/python/python on PYTHONPATH (cmake --build --preset python), or vexatokenkit installed:
    /usr/bin/python3 bench/python_transfer.py [--size BYTES] [--rounds N]
"""
import argparse
import asyncio
import time

import vexatokenkit as vt
from vexatokenkit import _vexatokenkit
from vexatokenkit._token import READ_CHUNK, WRITE_CHUNK
from vexatokenkit.testing import VirtualToken

NAME = "Bench Token"
PASSWORD = "1234"


async def python_transfer(size: int, rounds: int) -> float:
    data = bytes((i * 31 + (i >> 9)) & 0xFF for i in range(size))
    device = VirtualToken(NAME, key=PASSWORD, storage_capacity=4 * size + 4096)
    try:
        async with vt.TokenManager(backend="sim") as manager:
            token = await manager.find(name=NAME)
            async with manager.connect(token, key=PASSWORD) as t:
                best = None
                for _ in range(rounds):
                    start = time.thread_time()
                    await t.write_file("/bench.bin", data)
                    back = await t.read_file("/bench.bin")
                    seconds = time.thread_time() - start
                    if back != data:
                        raise SystemExit("the file read back differs from the one written")
                    best = seconds if best is None else min(best, seconds)
                return best
    finally:
        device.remove()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=1024 * 1024)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    cpp = _vexatokenkit.bench_transfer_cpp(args.size, WRITE_CHUNK, READ_CHUNK, args.rounds)
    python = asyncio.run(python_transfer(args.size, args.rounds))
    print(f"write + read back of {args.size} bytes, zero-latency simulated link, CPU time, best of {args.rounds}:")
    print(f"  C++    {cpp * 1000:8.1f} ms")
    print(f"  Python {python * 1000:8.1f} ms")
    print(f"  ratio  {python / cpp:8.2f}x (goal: at most 1.5x)")


if __name__ == "__main__":
    main()
