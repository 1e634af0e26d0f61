"""Run the Holded API emulator until interrupted.

    python -m emulators.holded --port 8400 --seed emulators/holded/seed.json --key KEY

Prints the API root (the value for HOLDED_API_URL) as the only line on
stdout, so a script can read it; everything else goes to stderr.
"""

import argparse
import signal
import sys
import threading

from .server import SEED_PATH, HoldedEmulator


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="python -m emulators.holded",
                                     description="Local Holded v1 API emulator")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--seed", default=str(SEED_PATH),
                        help="JSON file with contacts/products (default: the bundled seed)")
    parser.add_argument("--key", action="append", default=[],
                        help="an accepted API key; repeat for several")
    parser.add_argument("--verbose", action="store_true", help="log requests to stderr")
    args = parser.parse_args(argv)

    emulator = HoldedEmulator(seed=args.seed, keys=args.key or None,
                              host=args.host, verbose=args.verbose)
    stopping = threading.Event()
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, lambda *_: stopping.set())
    emulator.start(args.port)
    print(emulator.api_url, flush=True)
    print(f"web app: {emulator.app_url}  key: {', '.join(emulator.keys)}",
          file=sys.stderr, flush=True)
    try:
        while not stopping.wait(0.5):
            pass
    finally:
        emulator.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
