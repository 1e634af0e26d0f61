#!/usr/bin/env python3
"""Figures of the tray application, run as users run it (launcher.py, the real toolkit, the
handset stand-in loaded through pythonnet, the Holded emulator on 127.0.0.1):

- start-up: from launching the process to the first read of the tray;
- resident memory once started;
- CPU seconds used by 60 s of idle tray (polling the handset every 2.4 s);
- ring-to-page latency over 20 rings, from the tray read whose time-out polls the new number to
  the call that opens the contact's page (the wait for the poll itself is not counted).

    APP_DIR=build/app xvfb-run -a .venv/bin/python bench/bench_tray.py [--idle 60] [--rings 20]

Hooks inside the process note the times of tray reads and browser calls. They also shorten the
tray notice shown after each lookup from about 5 s to 0.2 s, only so that 20 rings take one
minute instead of three; the notice comes after the page and is outside the measured span.
"""
import argparse
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

from emulators.handset import control  # noqa: E402
from emulators.holded import HoldedEmulator  # noqa: E402
from tests.e2e.harness import TRAY_MENU, AppRun, wait_until  # noqa: E402

TARGETS = {"latency_ms": 20.0, "idle_cpu_s": 0.2, "startup_s": 1.5, "rss_mb": 80.0}
NUMBERS = ["622334455", "+34633445566"]  # alternated: the same number twice is taken only once

# Runs the launcher with the hooks; times are CLOCK_MONOTONIC, shared by every process.
PROBE = r'''
import os, runpy, sys, time
if os.environ.get("TRAY_BENCH_NO_CLR"):
    sys.modules["clr"] = None  # the application then runs without the .NET runtime ("sin dll")
events = open(os.environ["TRAY_BENCH_EVENTS"], "a", buffering=1)
def note(kind, detail=""):
    events.write("%.6f %s %s\n" % (time.monotonic(), kind, detail))
import FreeSimpleGUI as sg
tray_read = sg.SystemTray.read
def read(self, *args, **kwargs):
    note("read-start")
    event = tray_read(self, *args, **kwargs)
    note("read", event)
    return event
sg.SystemTray.read = read
show_message = sg.SystemTray.show_message
def short_message(self, *args, **kwargs):
    kwargs["time"] = (0, 200)
    return show_message(self, *args, **kwargs)
sg.SystemTray.show_message = short_message
import webbrowser
browser_open = webbrowser.open
def open_page(url, *args, **kwargs):
    note("open", url)
    return browser_open(url, *args, **kwargs)
webbrowser.open = open_page
sys.argv = sys.argv[1:]
runpy.run_path(sys.argv[0], run_name="__main__")
'''


class Events:
    def __init__(self, path):
        self.path = path

    def all(self):
        if not self.path.exists():
            return []
        found = []
        for line in self.path.read_text().splitlines():
            when, kind, *detail = line.split(" ", 2)
            found.append((float(when), kind, detail[0] if detail else ""))
        return found

    def first(self, kind, after=0.0, detail=None):
        for when, found, text in self.all():
            if found == kind and when > after and (detail is None or text == detail):
                return when
        return None


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def resident_mb(pid):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
    raise RuntimeError("no VmRSS")


def verdict(name, value, unit):
    target = TARGETS[name]
    return f"{value:8.3f} {unit:3} (target < {target:g} {unit}: {'ok' if value < target else 'MISSED'})"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--idle", type=float, default=60.0, help="seconds of idle tray to measure")
    parser.add_argument("--rings", type=int, default=20)
    args = parser.parse_args(argv)
    if not os.environ.get("DISPLAY"):
        print("needs a display: run under xvfb-run (make bench does)", file=sys.stderr)
        return 2
    app_dir = Path(os.environ.get("APP_DIR") or ROOT / "build" / "app")

    with tempfile.TemporaryDirectory(prefix="bench-tray-") as tmp, HoldedEmulator() as holded:
        tmp = Path(tmp)
        dll = control.build(tmp / "handset-build")
        probe = tmp / "probe.py"
        probe.write_text(PROBE)
        events = Events(tmp / "events.txt")
        with AppRun(tmp / "run", holded=holded, handset_dll=dll, app_dir=app_dir,
                    env={"TRAY_BENCH_EVENTS": str(events.path)}) as run:
            launched = time.monotonic()
            run.start(wrapper=probe)
            first_read = wait_until(lambda: events.first("read-start"), 30, what="the first tray read")
            startup = first_read - launched
            time.sleep(1.0)
            pid = run.process.pid
            rss = resident_mb(pid)

            before = cpu_seconds(pid)
            time.sleep(args.idle)
            idle_cpu = cpu_seconds(pid) - before
            polls = sum(1 for when, kind, detail in events.all()
                        if kind == "read" and detail == "__TIMEOUT__" and when > first_read + 1.0)

            latencies, waits = [], []
            for i in range(args.rings):
                number = NUMBERS[i % len(NUMBERS)]
                seen_opens = len([e for e in events.all() if e[1] == "open"])
                rang = time.monotonic()
                run.ring(number)
                wait_until(lambda: len([e for e in events.all() if e[1] == "open"]) > seen_opens, 15,
                           what=f"the page for ring {i + 1}")
                poll = events.first("read", after=rang, detail="__TIMEOUT__")
                opened = events.first("open", after=poll)
                latencies.append((opened - poll) * 1000)
                waits.append(opened - rang)
                run.hangup()
                # Let the (shortened) notice end so the next ring finds the tray reading again.
                wait_until(lambda: events.first("read-start", after=opened), 10, what="the tray again")

            run.choose_menu_entry(TRAY_MENU.index("Apagar"))
            code = run.wait_exit(20)

        # The same start without the .NET runtime, to show what the handset link costs.
        bare_events = Events(tmp / "bare-events.txt")
        with AppRun(tmp / "bare", holded=holded, handset_dll=dll, app_dir=app_dir,
                    env={"TRAY_BENCH_EVENTS": str(bare_events.path), "TRAY_BENCH_NO_CLR": "1"}) as bare:
            bare.start(wrapper=probe)
            wait_until(lambda: bare_events.first("read-start"), 30, what="the first tray read")
            time.sleep(1.0)
            bare_rss = resident_mb(bare.process.pid)

    latencies.sort()
    p95 = latencies[max(0, int(round(0.95 * len(latencies))) - 1)]
    print("Tray application (launcher.py, real toolkit under Xvfb, handset stand-in, Holded emulator)")
    print(f"  start-up to first tray read   {verdict('startup_s', startup, 's')}")
    print(f"  resident memory after start   {verdict('rss_mb', rss, 'MB')}")
    print(f"      of which the .NET runtime of the handset link: {rss - bare_rss:.1f} MB "
          f"(the same start without it: {bare_rss:.1f} MB)")
    print(f"  CPU of {args.idle:g} s idle tray        {verdict('idle_cpu_s', idle_cpu, 's')}  ({polls} polls)")
    print(f"  ring-to-page latency, {len(latencies)} rings (poll that sees the number -> browser call):")
    print(f"      median {statistics.median(latencies):.2f} ms, mean {statistics.mean(latencies):.2f} ms, "
          f"p95 {p95:.2f} ms, max {latencies[-1]:.2f} ms")
    print(f"      median {verdict('latency_ms', statistics.median(latencies), 'ms')}")
    print(f"  ring to page including the poll wait: mean {statistics.mean(waits):.2f} s, max {max(waits):.2f} s")
    print(f"  shut down from the tray menu: exit status {code}")
    return 0 if code == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
