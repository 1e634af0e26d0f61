#!/usr/bin/env python3
"""A long run of calls through the tray application, run as users run it (launcher.py, the real
toolkit under Xvfb, the handset stand-in loaded through pythonnet, the Holded emulator on
127.0.0.1):

- soak: known and unknown callers alternating, every call rung and hung up on the handset; a
  known caller's page opens and the "Verificando" notice shows; an unknown caller's notice is
  followed by the new-contact form, which is closed as a user closes it (the window manager's
  close message). Resident memory and open handles (file descriptors, threads) are printed at
  the start, after a minute of warm-up calls (the handset link's .NET runtime fills its nursery
  once), every 250 calls and at the end; the growth is counted from the warm-up's end;
- freeze: the longest time the GUI thread's event loop stood still during one lookup of an
  unknown caller while Holded trickles its answer (one byte a second) and while it stalls
  (answers after two minutes); the lookup runs off the GUI thread, within the client's deadlines
  crmapi.TIMEOUT and crmapi.LOOKUP_TIMEOUT.

    APP_DIR=build/app xvfb-run -a .venv/bin/python bench/bench_soak.py [--calls 1000]

Hooks inside the process, so that 1,000 calls take minutes rather than hours: the handset is
read every --poll seconds (phonewatch.POLL_SECONDS, which the application reads at each use,
instead of 0.5 s) and each tray notice stays --notice-ms (instead of about 5 s). Every window,
notice and lookup still really happens. The hooks also note, in a file the
benchmark reads, the tray's reads, the notices and the pages opened, and run a Tk timer every
50 ms on the GUI thread whose late firings are the event loop's freezes.
"""
import argparse
import bisect
import os
import re
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

from emulators.handset import control  # noqa: E402
from emulators.holded import HoldedEmulator  # noqa: E402
from tests.e2e.harness import TRAY_MENU, AppRun, wait_until  # noqa: E402

TARGETS = {"growth_mb": 2.0, "freeze_s": 20.0}
KNOWN = ["622334455", "+34633445566"]  # contacts of the emulator's seed
FORM_TITLE = "^Alta nuevo contacto / empresa$"
REPORT_EVERY = 250
# Calls made before the soak's own figures: the .NET runtime of the handset link touches its 4 MB
# nursery for the first time in the first half minute of polling (an idle tray shows it as well,
# and not with MONO_GC_PARAMS=nursery-size=1m); that is no growth per call.
WARM_UP_S = 60.0
# A freeze is a late firing of the 50 ms timer by more than this.
FROZEN_AFTER_S = 0.5

# Hooks run before the launcher: the handset is read every SOAK_POLL s, tray notices stay
# SOAK_NOTICE_MS, and the tray's reads, the notices and the pages opened are noted; a Tk timer
# every 50 ms on the GUI thread notes its late firings, the event loop's freezes.
PROBE = r'''
import os, runpy, sys, time
events = open(os.environ["SOAK_EVENTS"], "a", buffering=1)
def note(kind, detail=""):
    events.write("%.6f %s %s\n" % (time.monotonic(), kind, detail))
sys.argv = sys.argv[1:]
sys.path.insert(0, os.path.dirname(os.path.abspath(sys.argv[0])))
import phonewatch
import FreeSimpleGUI as sg
phonewatch.POLL_SECONDS = float(os.environ["SOAK_POLL"])
started = []
def beat():
    root = sg._get_hidden_master_root()
    last = [time.monotonic()]
    def tick():
        now = time.monotonic()
        if now - last[0] > 0.05 + float(os.environ["SOAK_FROZEN_AFTER"]):
            note("frozen", "%.3f" % (now - last[0] - 0.05))
        last[0] = now
        root.after(50, tick)
    root.after(50, tick)
tray_read, tray_show = phonewatch.bandeja.read, phonewatch.bandeja.show_message
def read(self, *args, **kwargs):
    if not started:
        started.append(True)
        beat()
    note("read-start")
    event = tray_read(self, *args, **kwargs)
    note("read", event)
    return event
def show_message(self, title, message, *args, **kwargs):
    kwargs["time"] = (0, int(os.environ["SOAK_NOTICE_MS"]))
    answer = tray_show(self, title, message, *args, **kwargs)
    note("notice", str(message).replace("\n", " "))
    return answer
phonewatch.bandeja.read, phonewatch.bandeja.show_message = read, show_message
import webbrowser
browser_open = webbrowser.open
def open_page(url, *args, **kwargs):
    note("open", url)
    return browser_open(url, *args, **kwargs)
webbrowser.open = open_page
runpy.run_path(sys.argv[0], run_name="__main__")
'''


class Events:
    """The hooks' notes, read as the file grows (they come in time order: one writer)."""

    def __init__(self, path):
        self.path = path
        self.seen = []
        self.times = []
        self.counts = {}
        self._offset = 0

    def all(self):
        if self.path.exists():
            with open(self.path, "rb") as handle:
                handle.seek(self._offset)
                text = handle.read()
            complete = text[:text.rfind(b"\n") + 1]
            self._offset += len(complete)
            for line in complete.decode().splitlines():
                when, kind, *detail = line.split(" ", 2)
                self.seen.append((float(when), kind, detail[0] if detail else ""))
                self.times.append(float(when))
                self.counts[kind] = self.counts.get(kind, 0) + 1
        return self.seen

    def first(self, kind, after, detail=None):
        events = self.all()
        for when, found, text in events[bisect.bisect_right(self.times, after):]:
            if found == kind and (detail is None or text == detail):
                return when
        return None

    def count(self, kind):
        self.all()
        return self.counts.get(kind, 0)

    def freezes(self, start, end):
        """The longest freeze (s) that ended between start and end, 0 when none."""
        return max([float(text) for when, kind, text in self.all()
                    if kind == "frozen" and start < when <= end] or [0.0])


def figures(pid):
    status = Path(f"/proc/{pid}/status").read_text()
    rss = int(re.search(r"^VmRSS:\s+(\d+)", status, re.M).group(1)) / 1024
    threads = int(re.search(r"^Threads:\s+(\d+)", status, re.M).group(1))
    return rss, len(os.listdir(f"/proc/{pid}/fd")), threads


def line(label, pid, base=None):
    rss, fds, threads = figures(pid)
    text = f"  {label:<34} RSS {rss:7.2f} MB   fds {fds:3d}   threads {threads:3d}"
    if base is not None:
        text += f"   ({rss - base[0]:+.2f} MB, {fds - base[1]:+d} fds, {threads - base[2]:+d} threads)"
    print(text, flush=True)
    return rss, fds, threads


class Caller:
    """Rings the handset and acts on what the application shows, one call at a time."""

    def __init__(self, run, events, poll):
        self.run, self.events, self.poll = run, events, poll
        self.closed_forms = set()
        self.known = self.unknown = 0

    def next_number(self, i):
        if i % 2 == 0:
            self.known += 1
            return KNOWN[(i // 2) % len(KNOWN)], True
        self.unknown += 1
        return f"699{self.unknown % 1000000:06d}", False

    def call(self, i):
        number, known = self.next_number(i)
        notices = self.events.count("notice")
        rang = time.monotonic()
        self.run.ring(number)
        wait_until(lambda: self.events.count("notice") > notices, 30, what=f"the notice of call {i + 1}")
        done = time.monotonic()
        if not known:
            form = wait_until(lambda: [w for w in self.run.windows(FORM_TITLE) if w not in self.closed_forms],
                              30, what=f"the new-contact form of call {i + 1}")[-1]
            self.run.close_window(form)
            self.closed_forms.add(form)
            done = time.monotonic()
        wait_until(lambda: self.events.first("read-start", after=done), 30, what=f"the tray after call {i + 1}")
        self.hang_up()
        return time.monotonic() - rang

    def hang_up(self):
        self.run.hangup()
        # A few reads of the idle line: the next ring is then a new call even for the same number.
        time.sleep(3 * self.poll)

    def failing_lookup(self, number):
        """Rings an unknown caller while Holded misbehaves. The longest freeze (s) of the tray's
        event loop from the ring to the notice that says why the caller could not be looked up,
        and that time (s)."""
        rang = time.monotonic()
        self.run.ring(number)
        told = wait_until(lambda: self.events.first("notice", after=rang, detail=None), 90, what="the notice")
        time.sleep(0.3)
        return self.events.freezes(rang, time.monotonic()), told - rang


def verdict(name, value, unit):
    target = TARGETS[name]
    return f"{value:.2f} {unit} (target < {target:g} {unit}: {'ok' if value < target else 'MISSED'})"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=1000)
    parser.add_argument("--poll", type=float, default=0.1, help="seconds between handset polls")
    parser.add_argument("--notice-ms", type=int, default=20, help="how long each tray notice stays")
    parser.add_argument("--warm-up", type=float, default=WARM_UP_S, help="seconds of calls before the soak's figures")
    parser.add_argument("--log-days", default="90", help="dias_registro: 0 runs without the call log")
    args = parser.parse_args(argv)
    if not os.environ.get("DISPLAY"):
        print("needs a display: run under xvfb-run (make bench does)", file=sys.stderr)
        return 2
    app_dir = Path(os.environ.get("APP_DIR") or ROOT / "build" / "app")

    began = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="bench-soak-") as tmp, HoldedEmulator() as holded:
        tmp = Path(tmp)
        dll = control.build(tmp / "handset-build")
        probe = tmp / "probe.py"
        probe.write_text(PROBE)
        events = Events(tmp / "events.txt")
        env = {"SOAK_EVENTS": str(events.path), "SOAK_POLL": str(args.poll),
               "SOAK_NOTICE_MS": str(args.notice_ms), "SOAK_FROZEN_AFTER": str(FROZEN_AFTER_S)}
        with AppRun(tmp / "run", holded=holded, handset_dll=dll, app_dir=app_dir, env=env,
                    config={"dias_registro": args.log_days}) as run:
            run.start(wrapper=probe)
            run.wait_tray(30)
            # The contact index is read once Holded answers: a list request without a filter.
            wait_until(lambda: any(r.path.endswith("/contacts") and "phone=" not in r.query and
                                   "mobile=" not in r.query for r in holded.requests), 30,
                       what="the contact index to be read")
            time.sleep(2.0)
            pid = run.process.pid
            caller = Caller(run, events, args.poll)

            print(f"Soak: {args.calls} calls, known and unknown callers alternating "
                  f"(poll {args.poll:g} s, notice {args.notice_ms} ms)", flush=True)
            start = line("start (tray up, no call yet)", pid)
            soak_began = time.monotonic()
            warm_up = 0
            while time.monotonic() - soak_began < args.warm_up:
                caller.call(warm_up)
                warm_up += 1
            base = line(f"after {warm_up} warm-up calls ({args.warm_up:g} s)", pid, start)
            durations = []
            for i in range(args.calls):
                durations.append(caller.call(warm_up + i))
                if (i + 1) % REPORT_EVERY == 0 and i + 1 < args.calls:
                    line(f"after {i + 1} calls", pid, base)
            time.sleep(2.0)
            end = line(f"end, after {args.calls} calls", pid, base)
            soak_took = time.monotonic() - soak_began
            pages, known = len(run.pages()), caller.known
            soak_freeze = events.freezes(soak_began, time.monotonic())

            print("Freeze of the tray by one lookup of an unknown caller while Holded misbehaves:", flush=True)
            freezes = {}
            for mode, seconds in (("trickle", 1.0), ("stall", 120.0)):
                holded.set_fault(mode, seconds=seconds)
                freeze, to_popup = caller.failing_lookup(f"6980000{len(freezes):02d}")
                holded.clear_fault()
                caller.hang_up()
                freezes[mode] = freeze
                print(f"  {mode:<8} longest freeze {freeze:6.2f} s   ring to the notice of the failure "
                      f"{to_popup:6.2f} s", flush=True)

            run.choose_menu_entry(TRAY_MENU.index("Apagar"))
            code = run.wait_exit(30)
            errors = [text for text in run.errors().splitlines() if "Exception ignored" in text or "Traceback" in text]

    growth = end[0] - base[0]
    print("Summary")
    print(f"  RSS growth over {args.calls} calls           {verdict('growth_mb', growth, 'MB')} "
          f"({growth * 1024 / args.calls:.2f} KB a call; {end[0] - start[0]:+.2f} MB counting the warm-up)")
    print(f"  handles over {args.calls} calls              {end[1] - base[1]:+d} fds, {end[2] - base[2]:+d} threads")
    print(f"  pages opened                          {pages} for {known} known callers "
          f"({'ok' if pages == known else 'MISMATCH'})")
    print(f"  soak took                             {soak_took / 60:.1f} min "
          f"({sum(durations) / len(durations):.2f} s a call); longest tray freeze in it: "
          f"{f'{soak_freeze:.2f} s' if soak_freeze else f'none over {FROZEN_AFTER_S:g} s'}")
    worst = max(freezes.values())
    print(f"  longest freeze by one lookup          {verdict('freeze_s', worst, 's')}")
    print(f"  whole benchmark                       {(time.monotonic() - began) / 60:.1f} min; "
          f"shut down from the tray menu: exit status {code}; {len(errors)} tracebacks on stderr")
    return 0 if code == 0 and not errors and pages == known else 1


if __name__ == "__main__":
    sys.exit(main())
