"""zelto-perf: latency and throughput of a running engine through the zelto_sdk clients.

    zelto-perf --mock-engine                                 # all four transports, a private engine
    zelto-perf --unix /tmp/zelto.sock --shm /zelto_shm --sizes 4KiB,1MiB --calls 500
    zelto-perf --tcp 10.0.0.5:9096 --duration 10 --concurrency 4 --json out.json

See `zelto-perf --help`; the functions here are what the command runs.
"""

from .cli import main

__all__ = ["main"]
