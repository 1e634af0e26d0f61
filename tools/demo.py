#!/usr/bin/env python3
"""Runs the whole application against local stand-ins of the outside world.

    APP_DIR=build/app [xvfb-run -a] .venv/bin/python tools/demo.py [--script]

It lays out a demo application folder beside APP_DIR (links to the built application, plus the
simulated handset link in its dll/), starts the Holded and directory emulators on 127.0.0.1, writes
a config.ini with the emulator's key and the handset link switched on, and starts launcher.py with
a web browser that only prints the pages it is asked to open.

Without --script it prints how to ring the simulated handset and runs until the application is
shut down from its tray menu ("Apagar") or Ctrl-C. With --script it rings three known numbers (one
written otherwise than Holded stores it) and one unknown number by itself, prints what happened,
then shuts the application down from the tray menu and ends with the application's exit status.
--api v2 gives the application a v2 token (pat_...) instead of a v1 key.
"""
import argparse
import os
import shutil
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

from emulators.directory import DirectoryEmulator  # noqa: E402
from emulators.handset import control  # noqa: E402
from emulators.holded import HoldedEmulator  # noqa: E402
from tests import screens  # noqa: E402
from tests.e2e.harness import TRAY_MENU, AppRun, wait_until  # noqa: E402

KNOWN = [("622334455", "Lucía Fernández Ortega (phone)"), ("644556677", "Javier Muñoz Peña (mobile)"),
         ("612345678", "Talleres Ebro Norte S.L. (stored as +34 612 34 56 78: found through the contact index)")]
UNKNOWN = "699000111"
FORM_TITLE = "^Alta nuevo contacto / empresa$"
ERROR_TITLE = "^Error$"


class Echo:
    """Prints what the application writes and the pages it opens, as they come."""

    def __init__(self, run):
        self.run = run
        self.lines = 0
        self.pages = 0

    def __call__(self):
        lines = self.run.output_lines()
        for line in lines[self.lines:]:
            print(f"  [app] {line}", flush=True)
        self.lines = len(lines)
        pages = self.run.pages()
        for _, url in pages[self.pages:]:
            print(f"  [browser] {url}", flush=True)
        self.pages = len(pages)

    def wait(self, condition, timeout, what):
        def check():
            self()
            return condition()
        return wait_until(check, timeout, interval=0.1, what=what)


def prepare(app_dir, demo_dir):
    if demo_dir.exists():
        shutil.rmtree(demo_dir)
    demo_dir.mkdir(parents=True)
    dll = control.build(demo_dir / "handset-build")
    return dll


def index_read(holded):
    """Whether the application has read the contact list for its index (v1 pages, v2 cursor pages)."""
    return any("page=" in r.query or r.query.startswith("limit=100") for r in holded.requests)


def scripted(run, echo, demo_dir, holded):
    echo.wait(lambda: index_read(holded), 20, "the contact index")
    print("* the contact index has been read", flush=True)
    for number, who in KNOWN:
        print(f"* ringing {number}, a known caller: {who}", flush=True)
        before = len(run.pages())
        run.ring(number)
        # A read of the handset (every 0.5 s) and the lookup.
        echo.wait(lambda: len(run.pages()) > before, 20, f"the page of {number}")
        run.hangup()
        time.sleep(1)  # the line seen idle, and a moment to see the notice

    print(f"* ringing {UNKNOWN}, a number no contact has", flush=True)
    run.ring(UNKNOWN)
    window = echo.wait(lambda: (run.windows(FORM_TITLE) + run.windows(ERROR_TITLE) or [None])[-1], 25,
                       "the new-contact form")
    kind = "the new-contact form" if run.windows(FORM_TITLE) else "an error popup"
    shot = screens.screenshot(str(demo_dir / "unknown-caller.png"))
    print(f"  {kind} opened" + (f" (screenshot: {shot})" if shot else "") + "; closing it", flush=True)
    run.close_window(window)
    run.wait_gone(window)
    run.hangup()

    print("* choosing \"Apagar\" in the tray menu", flush=True)
    run.choose_menu_entry(TRAY_MENU.index("Apagar"))
    code = run.wait_exit(timeout=20)
    echo()
    print(f"* the application ended with status {code}; pages opened:", flush=True)
    for url in run.urls():
        print(f"    {url}", flush=True)
    return code


def interactive(run, echo):
    try:
        while run.running():
            echo()
            time.sleep(0.2)
    except KeyboardInterrupt:
        print("\n* stopping", flush=True)
        return 130
    echo()
    return run.process.returncode


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--script", action="store_true", help="play a few calls and shut down by itself")
    parser.add_argument("--api", choices=["v1", "v2"], default="v1",
                        help="v1: a v1 key; v2: a v2 token (pat_...), as Holded makes them now")
    args = parser.parse_args(argv)

    app_dir = Path(os.environ.get("APP_DIR") or ROOT / "build" / "app").resolve()
    if not (app_dir / "launcher.py").exists():
        print(f"no built application at {app_dir}: run `make build` first", file=sys.stderr)
        return 2
    if not os.environ.get("DISPLAY"):
        # No screen: run again on a virtual one.
        if not shutil.which("xvfb-run"):
            print("the application needs a display, and xvfb-run is missing (Debian package xvfb)", file=sys.stderr)
            return 2
        command = ["xvfb-run", "-a", "-s", "-screen 0 1280x1024x24", sys.executable, str(Path(__file__).resolve())]
        os.execvp("xvfb-run", command + (["--script"] if args.script else []) + ["--api", args.api])
    demo_dir = app_dir.parent / "demo-run"
    dll = prepare(app_dir, demo_dir)

    with HoldedEmulator() as holded, DirectoryEmulator() as directory:
        # The scripted demo drives the toolkit's tray window with the keyboard; played by hand, the
        # tray is what the desktop offers (an icon where it has a notification area).
        env = {"CALLCOMPANION_TRAY": "window"} if args.script else {}
        with AppRun(demo_dir, holded=holded, handset_dll=dll, directory_url=directory.url,
                    app_dir=app_dir, env=env) as run:
            key = holded.token if args.api == "v2" else holded.key
            run.write_config(api_key=key)
            python = Path(sys.executable)
            print(f"Holded emulator:    {holded.base_url} (API {args.api}, key {key})", flush=True)
            print(f"Directory emulator: {directory.url}", flush=True)
            print(f"Application folder: {run.app}", flush=True)
            print(f"Working folder:     {run.work} (config.ini)", flush=True)
            if args.script:
                print("The script rings the simulated handset by itself: "
                      f"{len(KNOWN)} known callers, then one unknown.", flush=True)
            else:
                print("Ring the simulated handset from another terminal:", flush=True)
                print(f"    {python} -m emulators.handset --dll-dir {run.app / 'dll'} ring 622334455", flush=True)
                print(f"    {python} -m emulators.handset --dll-dir {run.app / 'dll'} hangup", flush=True)
                print("Known numbers: " + ", ".join(n for n, _ in KNOWN) + ", 961223344 (two contacts), in "
                      "any usual writing (+34 622 33 44 55, 0034622334455...); any other number opens the "
                      "new-contact form.", flush=True)
            print("Pages the application opens are printed below as [browser] lines.", flush=True)

            run.start()
            echo = Echo(run)
            try:
                if args.script:
                    run.wait_tray(timeout=20)
                print("* the application is up: its icon is in the notification area, or the small tray "
                      "window at the bottom right of the screen", flush=True)
                code = scripted(run, echo, demo_dir, holded) if args.script else interactive(run, echo)
            except AssertionError as failure:
                echo()
                print(f"demo failed: {failure}", file=sys.stderr, flush=True)
                print(run.report(), file=sys.stderr, flush=True)
                screens.screenshot(str(demo_dir / "failure.png"))
                return 1
    return code


if __name__ == "__main__":
    sys.exit(main())
