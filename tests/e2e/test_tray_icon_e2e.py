"""The tray as an icon in a notification area (trayer on the virtual screen), from launcher.py
with the handset stand-in and the Holded stand-in: it docks, its picture and tooltip tell how
things stand, and its menu answers whatever the handset does."""
import re
import time

import pytest

from emulators.handset import control
from tests.e2e.harness import TRAY_TITLE, AppRun, wait_until
from tests.fixtures.tray_host import docked_windows

pytestmark = pytest.mark.screen

LUCIA = "5b201ff1d4b57c91bbfaf122"   # phone 622334455


def docked_icon(run):
    """The application's icon in the notification area: its window carries the status line."""
    icons = [(wid, name) for wid, name in docked_windows() if name.startswith("Holded: ")]
    return icons[-1] if icons else None


def test_the_icon_docks_tells_how_things_stand_and_answers_a_blocked_handset(tmp_path, holded, handset, tray_host):
    with AppRun(tmp_path, holded=holded, handset_dll=handset.dll_path) as run:
        run.start()
        wid, status = wait_until(lambda: docked_icon(run), 15, what="the icon in the notification area")
        assert re.match(r"Holded: conectado · Teléfono: enlazado · Índice: ", status), status
        assert not run.windows(f"^{re.escape(TRAY_TITLE)}$"), "the toolkit's tray window is shown too"

        run.ring("622334455")
        (_, url), = run.wait_pages(1)
        assert url == run.contact_page(LUCIA)
        run.hangup()

        # Holded goes away: the next call says so, and so does the icon's tooltip.
        holded.set_fault("refuse")
        run.ring("611000000")
        try:
            wait_until(lambda: "Holded: sin conexión desde" in (docked_icon(run) or ("", ""))[1], 15,
                       what="the status line to say that Holded is lost")
        except AssertionError as failure:
            raise AssertionError(f"{failure}; the icon says {docked_icon(run)!r}\n{run.report()}") from None
        run.hangup()

        # A handset component whose every read blocks for 10 s holds only the watch's thread:
        # the menu still answers and the run ends long before one read would.
        control.delay(run.state_path, 10)
        time.sleep(1)
        run.choose_icon_menu_entry("Apagar")
        assert run.wait_exit(timeout=8) == 0, run.report()
