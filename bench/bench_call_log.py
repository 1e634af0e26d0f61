#!/usr/bin/env python3
"""The call log with 100,000 calls and a contact index of 10,000 contacts, measured in one
process with the real toolkit under Xvfb:

- recording one call from the GUI thread (the write itself goes to the log's own thread);
- opening the recent-calls window, from the menu's call to the window on the screen;
- the contact index loaded from the log at start, against reading it from the Holded stand-in
  answering after --latency-ms (requests and seconds);
- the resident memory the log and the loaded index add, and the size of the file.

    APP_DIR=build/app xvfb-run -a .venv/bin/python bench/bench_call_log.py [--calls 100000]
"""
import argparse
import gc
import os
import statistics
import sys
import tempfile
import threading
import time
import types
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
APP_DIR = Path(os.environ.get("APP_DIR") or ROOT / "build" / "app")
sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(APP_DIR))

import crmapi  # noqa: E402
import phonewatch  # noqa: E402
from emulators.holded import HoldedEmulator  # noqa: E402
from emulators.holded.book import make_book  # noqa: E402

TARGETS = {"record_ms": 5.0, "window_ms": 300.0, "load_ms": 300.0, "rss_mb": 10.0}


def resident_mb():
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
    raise RuntimeError("no VmRSS")


def verdict(name, value, unit):
    target = TARGETS[name]
    return f"{value:8.2f} {unit} (target < {target:g} {unit}: {'ok' if value < target else 'MISSED'})"


def fill(path, calls):
    """A log of `calls` calls over the last 80 days, written straight into the file."""
    import json
    import random
    import sqlite3
    log = phonewatch.registro(str(path), 90, "ES")
    log.abrir()
    log.cerrar()
    rng = random.Random(5)
    now = time.time()
    rows = []
    for i in range(calls):
        known = rng.random() < 0.7
        contacts = json.dumps([{"id": f"{i:024x}", "name": f"Contacto {i % 5000}"}]) if known else "[]"
        at = now - (calls - i) * (80 * 86400 / calls)
        rows.append((int(at * 1e6), at, f"6{rng.randrange(10**8):08d}", None, "telefono", contacts,
                     "pagina" if known else "formulario", "", ""))
    with sqlite3.connect(path) as db:
        db.executemany("INSERT INTO calls VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)", rows)


def recording(log, samples):
    times = []
    for i in range(samples):
        began = time.perf_counter()
        log.anotar(f"699{i:06d}", contactos=[], resultado="formulario")
        times.append((time.perf_counter() - began) * 1000)
    times.sort()
    return statistics.median(times), times[int(0.99 * len(times)) - 1]


def window_opening(log):
    """Milliseconds from the call that opens the recent-calls window to the window on the screen."""
    import FreeSimpleGUI as sg
    app = phonewatch.phonewatch.__new__(phonewatch.phonewatch)
    app.registro = log
    app.variable = types.SimpleNamespace(cvariables={"pais": "ES"}, apiteam=types.SimpleNamespace())
    shown = {}
    made = []
    original = sg.Window.__init__

    def tracking(window, *args, **kwargs):
        original(window, *args, **kwargs)
        made.append(window)
    sg.Window.__init__ = tracking

    def close_when_shown():
        while not made or made[-1].TKroot is None or not made[-1].TKroot.winfo_viewable():
            time.sleep(0.001)
        shown["at"] = time.perf_counter()
        made[-1].write_event_value("-CERRAR-", None)
    try:
        threading.Thread(target=close_when_shown, daemon=True).start()
        began = time.perf_counter()
        app.recientes()
        return (shown["at"] - began) * 1000
    finally:
        sg.Window.__init__ = original


def index_from_holded(contacts, latency_ms, workdir):
    """(requests, seconds, index) of reading the index from the stand-in."""
    with HoldedEmulator(seed=make_book(contacts, 1), latency_ms=latency_ms) as holded:
        os.environ.update(HOLDED_API_URL=holded.api_url, HOLDED_APP_URL=holded.app_url)
        (workdir / "config.ini").write_text(f"[api]\napi_key = {holded.key}\n\n[windows]\nindice_horas = 8\n")
        os.chdir(workdir)
        client = crmapi.crmapi()
        holded.clear_requests()
        began = time.perf_counter()
        client.indice.actualizar()
        took = time.perf_counter() - began
        return len(holded.requests), took, client


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=100000)
    parser.add_argument("--contacts", type=int, default=10000)
    parser.add_argument("--latency-ms", type=int, default=150)
    args = parser.parse_args(argv)
    if not os.environ.get("DISPLAY"):
        print("needs a display: run under xvfb-run (make bench does)", file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory(prefix="bench-log-") as tmp:
        tmp = Path(tmp)
        path = tmp / "llamadas.sqlite3"
        fill(path, args.calls)
        requests, holded_seconds, client = index_from_holded(args.contacts, args.latency_ms, tmp)
        entries, read_at = client.indice.exportar(), client.indice.leido
        gc.collect()

        before = resident_mb()
        log = phonewatch.registro(str(path), 90, "ES")
        log.abrir()
        log.guardar_indice("huella", read_at, entries)
        record_median, record_p99 = recording(log, 2000)
        # The first window of a process builds the toolkit's own root; the application's tray
        # has done that long before the window is opened.
        window_opening(log)
        window_ms = statistics.median(window_opening(log) for _ in range(5))
        log.cerrar()

        log = phonewatch.registro(str(path), 90, "ES")
        log.abrir()
        index = crmapi.indice(client, "ES", 8)
        began = time.perf_counter()
        kept = log.leer_indice("huella")
        index.importar(kept[1], kept[0])
        load_ms = (time.perf_counter() - began) * 1000
        # What was read is let go, as the application does once the index holds it.
        del kept
        gc.collect()
        added = resident_mb() - before
        log.cerrar()
        size = sum(p.stat().st_size for p in tmp.glob("llamadas.sqlite3*")) / 2**20

    print(f"Call log ({args.calls} calls) and contact index ({len(index)} contacts), one process, real toolkit")
    print(f"  recording one call (GUI thread)   median {verdict('record_ms', record_median, 'ms')}, "
          f"p99 {record_p99:.3f} ms")
    print(f"  opening the recent-calls window   {verdict('window_ms', window_ms, 'ms')} (median of 5)")
    print(f"  index loaded from the log         {verdict('load_ms', load_ms, 'ms')}")
    print(f"      read from Holded instead      {requests} requests, {holded_seconds:.1f} s at {args.latency_ms} ms a "
          f"request")
    print(f"  resident memory added             {verdict('rss_mb', added, 'MB')}")
    print(f"  the log's file                    {size:.1f} MB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
