#!/usr/bin/env python3
"""Figures of the one-file bundle beside launcher.py, in one run:

- the time to build the bundle (PyInstaller, from the built application folder, fresh work folder);
- the bundle's size;
- start-up, from launching the process to the tray on the screen, for both;
- resident memory once started (for the bundle, its unpacking parent and the application together).

    APP_DIR=build/app xvfb-run -a .venv/bin/python bench/bench_bundle.py [--starts 3]

Both are run as users run them, with the handset stand-in loaded through pythonnet and the
Holded emulator on 127.0.0.1, alternately, so that both see the same machine. Nothing can be
hooked inside a bundle, so both are timed from outside: the toolkit maps the tray window when it
makes it, just before its first read, and xdotool sees it within a few milliseconds.
"""
import argparse
import os
import re
import statistics
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

from emulators.handset import control  # noqa: E402
from emulators.holded import HoldedEmulator  # noqa: E402
from tests.e2e.harness import TRAY_TITLE, AppRun, build_bundle, wait_until  # noqa: E402

TRAY = f"^{re.escape(TRAY_TITLE)}$"


def process_tree(pid):
    found = [pid]
    for child in Path(f"/proc/{pid}/task/{pid}/children").read_text().split():
        found += process_tree(int(child))
    return found


def resident_mb(pid):
    total = 0
    for member in process_tree(pid):
        for line in Path(f"/proc/{member}/status").read_text().splitlines():
            if line.startswith("VmRSS:"):
                total += int(line.split()[1])
    return total / 1024


def one_start(root, holded, dll, app_dir, executable=None):
    """(seconds to the tray, resident MB) of one start."""
    with AppRun(root, holded=holded, handset_dll=dll, app_dir=app_dir, executable=executable) as run:
        launched = time.monotonic()
        run.start()
        wait_until(lambda: run.windows(TRAY), 60, interval=0.01, what="the tray")
        startup = time.monotonic() - launched
        time.sleep(3.0)  # past the first poll of the handset
        assert run.running(), run.report()
        return startup, resident_mb(run.process.pid)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--starts", type=int, default=3, help="starts of each, alternated")
    args = parser.parse_args(argv)
    if not os.environ.get("DISPLAY"):
        print("needs a display: run under xvfb-run (make bench does)", file=sys.stderr)
        return 2
    app_dir = Path(os.environ.get("APP_DIR") or ROOT / "build" / "app")

    with tempfile.TemporaryDirectory(prefix="bench-bundle-") as tmp, HoldedEmulator() as holded:
        tmp = Path(tmp)
        dll = control.build(tmp / "handset-build")
        began = time.monotonic()
        bundle = build_bundle(tmp / "dist", tmp / "work", app_dir=app_dir, dlls=[dll])
        build_s = time.monotonic() - began
        size_mb = bundle.stat().st_size / 2 ** 20

        figures = {"launcher.py": [], "bundle": []}
        for i in range(args.starts):
            figures["launcher.py"].append(one_start(tmp / f"launcher-{i}", holded, dll, app_dir))
            figures["bundle"].append(one_start(tmp / f"bundle-{i}", holded, dll, app_dir, executable=bundle))

    print("bundle (one file, handset stand-in included)")
    print(f"  build time            {build_s:8.1f} s")
    print(f"  size                  {size_mb:8.1f} MB")
    print(f"start-up to the tray and resident memory, median of {args.starts} starts each")
    for name, runs in figures.items():
        startups = [s for s, _ in runs]
        rss = [m for _, m in runs]
        print(f"  {name:12} start-up {statistics.median(startups):6.2f} s "
              f"({', '.join(f'{s:.2f}' for s in startups)})   "
              f"RSS {statistics.median(rss):6.1f} MB ({', '.join(f'{m:.0f}' for m in rss)})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
