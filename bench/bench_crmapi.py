"""Time of a lookup by number, Lista("contacts", number), against the local Holded API emulator.

    APP_DIR=build/app .venv/bin/python bench/bench_crmapi.py [--calls 200]

For a hit on phone (one request) and on mobile (two requests) it prints the median time of a
call, the emulator's own handling time, and the client's share: the call minus the emulator's
handling (loopback TCP, the HTTP layers of both sides and the client itself). For scale it also
times a bare requests.get + json.loads of the same address, so the client's own cost shows
as the difference.
"""

import argparse
import json
import os
import statistics
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
APP_DIR = os.environ.get("APP_DIR") or os.path.join(ROOT, "build", "app")
sys.path[:0] = [APP_DIR, ROOT]

import requests  # noqa: E402

from emulators.holded import HoldedEmulator  # noqa: E402

PHONE_HIT = "+34 612 34 56 78"  # stored as phone: one request
MOBILE_HIT = "+34677889900"  # stored only as mobile: phone misses, then mobile


def measure(rows, emulator, calls):
    """Per row, the medians (ms) of the call's wall time, of the emulator's handling time within
    it, and of their difference. The rows take turns, so a load change on the machine touches
    them all alike."""
    samples = {name: ([], []) for name, _, _ in rows}
    for _ in range(calls):
        for name, _, call in rows:
            emulator.clear_requests()
            started = time.perf_counter()
            call()
            elapsed = time.perf_counter() - started
            handled = sum(r.duration or 0.0 for r in emulator.requests)
            samples[name][0].append(elapsed)
            samples[name][1].append(handled)
    medians = {}
    for name, (totals, handled) in samples.items():
        shares = [t - h for t, h in zip(totals, handled)]
        medians[name] = tuple(1000.0 * statistics.median(v) for v in (totals, handled, shares))
    return medians


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=200)
    args = parser.parse_args()

    with HoldedEmulator() as emulator, tempfile.TemporaryDirectory() as folder:
        os.environ["HOLDED_API_URL"] = emulator.api_url
        os.environ["HOLDED_APP_URL"] = emulator.app_url
        os.chdir(folder)
        with open("config.ini", "w", encoding="utf-8") as handle:
            handle.write(f"[api]\napi_key = {emulator.key}\n")
        import crmapi

        client = crmapi.crmapi()
        if not client.estado:
            sys.exit(f"the client could not reach the emulator: {client.lasterror}")
        for number, expected in ((PHONE_HIT, 1), (MOBILE_HIT, 2)):
            emulator.clear_requests()
            assert len(client.Lista("contacts", number)) == 1 and len(emulator.requests) == expected

        url = client.base_url + client.listabbdd["contacts"][0] + "?phone=%2B34%20612%2034%2056%2078"
        headers = dict(client.headers)

        def bare():
            return json.loads(requests.get(url, headers=headers, timeout=crmapi.TIMEOUT).text)

        for _ in range(20):  # warm up imports, caches and the server's threads
            client.Lista("contacts", PHONE_HIT)

        print(f"Lista(\"contacts\", number) against the emulator on 127.0.0.1, median of {args.calls} calls")
        print(f"{'case':<26}{'requests':>9}{'call ms':>10}{'emulator ms':>13}{'client ms':>11}{'per request':>13}")
        rows = [("phone hit", 1, lambda: client.Lista("contacts", PHONE_HIT)),
                ("mobile hit", 2, lambda: client.Lista("contacts", MOBILE_HIT)),
                ("bare requests.get (phone)", 1, bare)]
        results = {}
        medians = measure(rows, emulator, args.calls)
        for name, count, _ in rows:
            total, handled, share = medians[name]
            results[name] = share / count
            print(f"{name:<26}{count:>9}{total:>10.3f}{handled:>13.3f}{share:>11.3f}{share / count:>13.3f}")
        own = results["phone hit"] - results["bare requests.get (phone)"]
        print(f"client's own cost over a bare requests.get: {own:.3f} ms per request")


if __name__ == "__main__":
    main()
