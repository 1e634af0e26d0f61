"""The one-file bundle as users start it: built once per session from the application folder with
the handset stand-in in its dll/, started under Xvfb from a working folder with config.ini, against
the Holded emulator."""
import re
import subprocess
import sys
from pathlib import Path

import pytest

from tests.e2e.harness import TRAY_MENU, TRAY_TITLE, AppRun, build_bundle, wait_until
from tools.po_check import LANGUAGES

pytestmark = pytest.mark.screen

POLL = 0.5
LUCIA = "5b201ff1d4b57c91bbfaf122"       # phone 622334455
ALCANTARA = "d3248d64454bbf477221fda0"   # phone +34633445566
# "La aplicación ya está en marcha": X11 keeps the title in compound text, where each accented
# letter is several bytes that xdotool's pattern cannot match as one.
POPUP = "^La aplicaci.+n ya est.+ en marcha$"
TRAY = f"^{re.escape(TRAY_TITLE)}$"


@pytest.fixture(scope="session")
def bundle(tmp_path_factory, app_dir, handset_build):
    out = tmp_path_factory.mktemp("bundle")
    return build_bundle(out / "dist", out / "work", app_dir=app_dir, dlls=[handset_build / "RemotePhoneService.dll"])


def test_bundle_runs_alone_and_survives_a_killed_run(bundle, tmp_path, holded):
    with AppRun(tmp_path, holded=holded, executable=bundle) as run:
        run.start()
        first_tray = run.wait_tray(timeout=30)
        run.ring("622334455")
        (_, url), = run.wait_pages(1, timeout=POLL + 5)
        assert url == run.contact_page(LUCIA)
        run.hangup()

        # A second start in the same folder: the popup, status 0, and nothing else done (once the
        # first one has read its contact index, so that its requests are not counted).
        wait_until(lambda: any(r.query == "page=2" for r in holded.requests), 15, what="the contact index")
        config = (run.work / "config.ini").read_bytes()
        requests = len(holded.requests)
        second = subprocess.Popen(run.command(), cwd=run.work, env=run.env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        try:
            popup = run.wait_window(POPUP, timeout=30)
            assert run.windows(TRAY) == [first_tray], "the second start made a tray"
            run.focus(popup)
            run.key("Return")
            assert second.wait(15) == 0, second.stdout.read()
        finally:
            if second.poll() is None:
                second.kill()
        assert (run.work / "config.ini").read_bytes() == config
        assert len(holded.requests) == requests, "the second start went to the network"

        # The first run goes on taking calls.
        run.ring("+34633445566")
        pages = run.wait_pages(2, timeout=POLL + 5)
        assert pages[-1][1] == run.contact_page(ALCANTARA)
        run.hangup()

        # Killed outright, it leaves nothing that stops the next start.
        run.kill()
        wait_until(lambda: first_tray not in run.windows(TRAY), 10, what="the killed tray to go")
        run.start()
        run.wait_tray(timeout=30)
        run.ring("622334455")
        pages = run.wait_pages(3, timeout=POLL + 5)
        assert pages[-1][1] == run.contact_page(LUCIA)
        run.choose_menu_entry(TRAY_MENU.index("Apagar"))
        assert run.wait_exit(timeout=20) == 0, run.report()
        assert "sin dll" not in run.output_lines()


def test_bundle_holds_what_is_loaded_late(bundle, app_dir):
    """Parts that a call to a known contact never loads: other languages, pictures of other
    windows, the directory lookup's libraries and the number data phonenumbers reads lazily."""
    listing = subprocess.run([str(Path(sys.executable).parent / "pyi-archive_viewer"), "-r", "-b", str(bundle)],
                             capture_output=True, text=True, check=True).stdout
    names = {line.strip() for line in listing.splitlines()}
    expected = {f"locale/{lang}/LC_MESSAGES/{lang}.mo" for lang in LANGUAGES}
    expected |= {"img/" + p.name for p in (Path(app_dir) / "img").iterdir() if not p.name.startswith(".")}
    expected |= {"markdown", "lxml.html", "bs4.builder._lxml", "certifi/cacert.pem",
                 "phonenumbers.data.region_ES", "phonenumbers.shortdata.region_ES"}
    missing = {name for name in expected if name not in names and not any(n.startswith(name + ".") for n in names)}
    assert not missing
