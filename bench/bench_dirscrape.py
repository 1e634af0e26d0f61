"""Directory lookup timings against the local directory emulator.

    APP_DIR=build/app .venv/bin/python bench/bench_dirscrape.py

Prints the median of 50 runs of:
- the lookup of a name whose single result is the ~300 KB company page: the page is fetched,
  read and normalised, after the small listing that leads to it (so an upper bound for the page);
- fetching a 200-result listing and filtering it down to the names shown in the chooser
  (the chooser is the toolkit double, closed at once).
Targets on the project's machine: under 60 ms for the page and 20 ms for the listing.
"""
import os
import statistics
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
APP_DIR = os.environ.get("APP_DIR") or os.path.join(ROOT, "build", "app")
sys.path[:0] = [APP_DIR, ROOT]

from tests.toolkit_double import CLOSE, make_toolkit  # noqa: E402

RUNS = 50


def median_ms(action, setup=lambda: None):
    setup()
    action()  # warm up: imports, connection set-up
    times = []
    for _ in range(RUNS):
        setup()
        start = time.perf_counter()
        action()
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1000


def main():
    sg = make_toolkit()
    sys.modules["FreeSimpleGUI"] = sys.modules["PySimpleGUI"] = sg
    import dirscrape
    from emulators.directory import DirectoryEmulator

    with DirectoryEmulator() as directory:
        os.environ["DIRECTORY_URL"] = directory.url
        lookup_ms = median_ms(lambda: dirscrape.dirscrape("Almacenes Gigante"))
        data = dirscrape.dirscrape("Almacenes Gigante")
        assert data["Cif"] == "A28000014" and not sg.popups, (data, sg.popups)
        size_kb = len(dirscrape.get_request(data["webeinform"]).html.raw_html) / 1024

        def script_close():
            sg.steps[:] = [CLOSE]
        filter_ms = median_ms(lambda: dirscrape.dirscrape("Construcciones"), setup=script_close)
        shown = len(sg.windows[-1]["-LISTBOX-"].kwargs["values"])
        assert shown == 200, shown

    print(f"dirscrape: read and normalise the {size_kb:.0f} KB company page (with its listing): "
          f"{lookup_ms:.1f} ms (target < 60 ms)")
    print(f"dirscrape: fetch and filter a listing of 200 results ({shown} shown): {filter_ms:.1f} ms (target < 20 ms)")


if __name__ == "__main__":
    main()
