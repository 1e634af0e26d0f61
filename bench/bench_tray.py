#!/usr/bin/env python3
"""Presence at ring time, measured as users run the application (launcher.py, the real toolkit
under Xvfb, the tray icon docked in a notification area (trayer), the handset stand-in loaded
through pythonnet, the Holded stand-in on 127.0.0.1 answering after --latency-ms):

- ring to page: from the handset stand-in's change of number to the browser being asked for the
  contact's page, over --rings rings of known callers in each of three situations side by side:
  the tray idle, the new-contact form of an unknown caller open, a popup (the about box) open;
- ring to form: from the ring of an unknown caller to its new-contact form on the screen;
- the whole application's CPU time per minute while idle (the icon, the handset read every
  0.5 s), and its resident memory beside the same start with the toolkit's simulated tray.

    APP_DIR=build/app xvfb-run -a .venv/bin/python bench/bench_tray.py [--rings 100] [--idle 60]

A hook inside the process notes the moment the browser is asked for each page; windows are found
on the screen with xdotool.
"""
import argparse
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

from emulators.handset import control  # noqa: E402
from emulators.holded import HoldedEmulator  # noqa: E402
from tests.e2e.harness import AppRun, wait_until  # noqa: E402
from tests.fixtures.tray_host import TRAYER, docked_windows, tray_host_present  # noqa: E402

TARGETS = {"median_s": 0.4, "p95_s": 0.7, "form_s": 1.0, "idle_cpu_s": 0.2, "extra_rss_mb": 8.0,
           "notice_ms": 50.0}
KNOWN = ["622334455", "+34633445566"]   # contacts of the stand-in's seed, alternated
FORM_TITLE = "^Alta nuevo contacto / empresa$"
ABOUT_TITLE = "^Acerca de$"               # the about box, a window of its own
PHASES = random.Random(17)              # when each ring comes, the same from run to run

# Notes (epoch seconds) each page the browser is asked for, and how long each notice held the
# GUI thread, then runs the launcher.
PROBE = r'''
import os, runpy, sys, time
pages = open(os.environ["BENCH_PAGES"], "a", buffering=1)
import webbrowser
browser_open = webbrowser.open
def open_page(url, *args, **kwargs):
    pages.write("%.6f %s\n" % (time.time(), url))
    return browser_open(url, *args, **kwargs)
webbrowser.open = open_page
sys.argv = sys.argv[1:]
sys.path.insert(0, os.path.dirname(os.path.abspath(sys.argv[0])))
import phonewatch
show_message = phonewatch.bandeja.show_message
def timed_notice(self, *args, **kwargs):
    began = time.perf_counter()
    answer = show_message(self, *args, **kwargs)
    pages.write("%.6f notice:%.6f\n" % (time.time(), time.perf_counter() - began))
    return answer
phonewatch.bandeja.show_message = timed_notice
runpy.run_path(sys.argv[0], run_name="__main__")
'''


def pages(path):
    if not path.exists():
        return []
    return [(float(when), url) for when, url in (line.split(" ", 1) for line in path.read_text().splitlines())]


def contact_pages(path):
    return [(when, url) for when, url in pages(path) if "/contacts/" in url]


def notice_costs(path):
    return [float(url.split(":", 1)[1]) for _, url in pages(path) if url.startswith("notice:")]


def cpu_seconds(pid):
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def resident_mb(pid):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
    raise RuntimeError("no VmRSS")


def percentile(values, share):
    ordered = sorted(values)
    return ordered[max(0, int(round(share * len(ordered))) - 1)]


def verdict(name, value, unit):
    target = TARGETS[name]
    return f"{value:7.3f} {unit} (target < {target:g} {unit}: {'ok' if value < target else 'MISSED'})"


def ring_known(run, page_log, rings):
    """Seconds from each ring of a known caller to the browser being asked for the page."""
    waits = []
    for i in range(rings):
        seen = len(contact_pages(page_log))
        rang = time.time()
        run.ring(KNOWN[i % len(KNOWN)])
        opened = wait_until(lambda: contact_pages(page_log)[seen:], 10, what=f"the page of ring {i + 1}")
        waits.append(opened[0][0] - rang)
        run.hangup()
        # A read sees the line idle before the next ring, which comes at any moment of the
        # handset's reading rhythm, as calls do.
        time.sleep(0.6 + PHASES.random() * 0.5)
    return waits


def ring_unknown(run, calls):
    """Seconds from each ring of an unknown caller to its form on the screen."""
    waits = []
    for i in range(calls):
        rang = time.time()
        run.ring(f"69900{i:04d}")
        form = wait_until(lambda: run.windows(FORM_TITLE), 10, interval=0.01, what=f"form {i + 1}")[-1]
        waits.append(time.time() - rang)
        run.hangup()
        run.close_window(form)
        run.wait_gone(form)
        time.sleep(0.6)
    return waits


def summary(label, waits):
    return (f"  {label:<22} n={len(waits):3}  median {statistics.median(waits):.3f} s  "
            f"p95 {percentile(waits, 0.95):.3f} s  max {max(waits):.3f} s")


def measure_icon_run(run, page_log, args):
    run.start(wrapper=run.root.parent / "probe.py")
    wait_until(lambda: [w for w, name in docked_windows() if name.startswith("Holded: ")], 30, what="the icon")
    wait_until(lambda: any(r.query == "page=2" for r in run.holded.requests), 30, what="the contact index")
    time.sleep(2)
    pid = run.process.pid
    figures = {"rss": resident_mb(pid)}
    before = cpu_seconds(pid)
    time.sleep(args.idle)
    figures["idle_cpu"] = (cpu_seconds(pid) - before) * 60 / args.idle

    figures["idle"] = ring_known(run, page_log, args.rings)
    run.ring("699888777")
    form = wait_until(lambda: run.windows(FORM_TITLE), 10, what="the form")[-1]
    run.hangup()
    time.sleep(0.6)
    figures["form open"] = ring_known(run, page_log, args.rings)
    run.close_window(form)
    run.wait_gone(form)

    run.choose_icon_menu_entry("Acerca de")
    about = wait_until(lambda: run.windows(ABOUT_TITLE), 10, what="the about box")[-1]
    figures["popup open"] = ring_known(run, page_log, args.rings)
    run.close_window(about)
    run.wait_gone(about)

    figures["form"] = ring_unknown(run, args.forms)
    run.choose_icon_menu_entry("Apagar")
    figures["exit"] = run.wait_exit(20)
    return figures


def window_tray_rss(tmp, holded, dll, app_dir):
    with AppRun(tmp / "window", holded=holded, handset_dll=dll, app_dir=app_dir,
                env={"CALLCOMPANION_TRAY": "window"}) as run:
        run.start()
        run.wait_tray(30)
        wait_until(lambda: sum(r.query == "page=2" for r in holded.requests) >= 2, 30, what="the contact index")
        time.sleep(2)
        return resident_mb(run.process.pid)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rings", type=int, default=100, help="rings of known callers per situation")
    parser.add_argument("--forms", type=int, default=20, help="rings of unknown callers")
    parser.add_argument("--idle", type=float, default=60.0, help="seconds of idle application to measure")
    parser.add_argument("--latency-ms", type=int, default=150, help="the Holded stand-in's answer time")
    args = parser.parse_args(argv)
    if not os.environ.get("DISPLAY"):
        print("needs a display: run under xvfb-run (make bench does)", file=sys.stderr)
        return 2
    app_dir = Path(os.environ.get("APP_DIR") or ROOT / "build" / "app")
    trayer = subprocess.Popen(TRAYER, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_until(tray_host_present, 10, what="the notification area")
        with tempfile.TemporaryDirectory(prefix="bench-tray-") as tmp, \
                HoldedEmulator(latency_ms=args.latency_ms) as holded:
            tmp = Path(tmp)
            dll = control.build(tmp / "handset-build")
            (tmp / "probe.py").write_text(PROBE)
            page_log = tmp / "pages.txt"
            with AppRun(tmp / "icon", holded=holded, handset_dll=dll, app_dir=app_dir,
                        env={"BENCH_PAGES": str(page_log)}) as run:
                figures = measure_icon_run(run, page_log, args)
            figures["notices"] = [cost * 1000 for cost in notice_costs(page_log)]
            window_rss = window_tray_rss(tmp, holded, dll, app_dir)
    finally:
        trayer.terminate()

    print(f"Presence at ring time (launcher.py, tray icon in trayer, handset stand-in, Holded stand-in at "
          f"{args.latency_ms} ms)")
    print("  ring of a known caller -> browser asked for the page:")
    for situation in ("idle", "form open", "popup open"):
        waits = figures[situation]
        print(summary(situation, waits))
        print(f"      median {verdict('median_s', statistics.median(waits), 's')}, "
              f"p95 {verdict('p95_s', percentile(waits, 0.95), 's')}")
    print(summary("ring -> form on screen", figures["form"]))
    print(f"      median {verdict('form_s', statistics.median(figures['form']), 's')}, "
          f"max {max(figures['form']):.3f} s")
    notices = figures["notices"]
    print(f"  GUI thread held by a notice   n={len(notices)}  median {statistics.median(notices):.2f} ms, "
          f"max {verdict('notice_ms', max(notices), 'ms')}")
    print(f"  CPU per minute while idle     {verdict('idle_cpu_s', figures['idle_cpu'], 's')}")
    print(f"  resident memory: icon tray {figures['rss']:.1f} MB, the toolkit's tray {window_rss:.1f} MB: "
          f"{verdict('extra_rss_mb', figures['rss'] - window_rss, 'MB')} more")
    print(f"  shut down from the icon's menu: exit status {figures['exit']}")
    return 0 if figures["exit"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
