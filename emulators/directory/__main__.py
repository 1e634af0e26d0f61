"""Run the directory emulator until killed.

    python -m emulators.directory --port 8082 [--host 127.0.0.1] [--verbose]

Prints its base URL (for DIRECTORY_URL) on the first line. Faults are switched
by writing lines to its standard input:

    stall SECONDS [PATH]    status CODE [PATH]    refuse    clear
"""

from __future__ import annotations

import argparse
import sys
import time

from .server import DirectoryEmulator


def apply_command(emulator: DirectoryEmulator, line: str) -> str:
    words = line.split()
    if not words:
        return ""
    try:
        match words:
            case ["clear"]:
                emulator.clear_fault()
            case ["refuse"]:
                emulator.set_fault("refuse")
            case ["stall", seconds, *path] if len(path) <= 1:
                emulator.set_fault("stall", seconds=float(seconds), path=path[0] if path else None)
            case ["status", code, *path] if len(path) <= 1:
                emulator.set_fault("status", status=int(code), path=path[0] if path else None)
            case _:
                return f"unknown command: {line.strip()}"
    except (ValueError, OSError) as error:
        return f"error: {error}"
    return f"ok: {line.strip()}"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m emulators.directory", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--verbose", action="store_true", help="log every request to stderr")
    args = parser.parse_args(argv)

    emulator = DirectoryEmulator(host=args.host, verbose=args.verbose)
    emulator.start(args.port)
    print(emulator.url, flush=True)
    try:
        for line in sys.stdin:
            reply = apply_command(emulator, line)
            if reply:
                print(reply, flush=True)
        # Standard input closed (started in the background): keep serving.
        while True:
            time.sleep(3600)
    except KeyboardInterrupt:
        pass
    finally:
        emulator.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
