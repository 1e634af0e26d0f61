"""Run the Holded API emulator until interrupted.

    python -m emulators.holded --port 8400 --seed emulators/holded/seed.json --key KEY
    python -m emulators.holded --contacts 10000 --seed-number 3 --latency-ms 120

Prints the API root (the value for HOLDED_API_URL) as the only line on
stdout, so a script can read it; everything else goes to stderr.
"""

import argparse
import signal
import sys
import threading

from .book import make_book
from .server import SEED_PATH, HoldedEmulator


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="python -m emulators.holded",
                                     description="Local Holded API emulator (v1 and v2)")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--seed", default=str(SEED_PATH),
                        help="JSON file with contacts/products (default: the bundled seed)")
    parser.add_argument("--contacts", type=int, metavar="N",
                        help="serve a generated book of N contacts instead of the seed file")
    parser.add_argument("--seed-number", type=int, default=0, metavar="S",
                        help="which generated book (with --contacts; default 0)")
    parser.add_argument("--key", action="append", default=[],
                        help="an accepted v1 API key; repeat for several")
    parser.add_argument("--token", action="append", default=[],
                        help="an accepted v2 token (pat_...); repeat for several")
    parser.add_argument("--latency-ms", type=float, default=0,
                        help="delay every API answer by this many milliseconds")
    parser.add_argument("--tls", action="store_true",
                        help="serve HTTPS with a self-signed certificate")
    parser.add_argument("--verbose", action="store_true", help="log requests to stderr")
    args = parser.parse_args(argv)
    if args.contacts is not None and args.contacts < 0:
        parser.error("--contacts must be 0 or more")

    seed = make_book(args.contacts, args.seed_number) if args.contacts is not None else args.seed
    emulator = HoldedEmulator(seed=seed, keys=args.key or None, tokens=args.token or None,
                              host=args.host, verbose=args.verbose,
                              latency_ms=args.latency_ms, tls=args.tls)
    stopping = threading.Event()
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, lambda *_: stopping.set())
    emulator.start(args.port)
    print(emulator.api_url, flush=True)
    print(f"web app: {emulator.app_url}  key: {', '.join(emulator.keys)}  "
          f"token: {', '.join(emulator.tokens)}", file=sys.stderr, flush=True)
    if emulator.cert_path:
        print(f"certificate: {emulator.cert_path}", file=sys.stderr, flush=True)
    try:
        while not stopping.wait(0.5):
            pass
    finally:
        emulator.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
