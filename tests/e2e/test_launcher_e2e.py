"""launcher.py's own duties, run as users run it under Xvfb: one run per user whatever the folder,
told in the stored interface language, and a run that has no standard output at all."""
import re
import subprocess
import time

import pytest

from tests.e2e.harness import TRAY_MENU, TRAY_TITLE, AppRun
from tests.test_conf import make_unwritable

pytestmark = pytest.mark.screen

POLL = 2.4
LUCIA = "5b201ff1d4b57c91bbfaf122"   # phone 622334455
TRAY = f"^{re.escape(TRAY_TITLE)}$"


def test_one_run_per_user_whatever_the_folder(tmp_path, holded):
    # Both folders' runs share the user's runtime folder, where the lock lives.
    runtime = tmp_path / "runtime"
    runtime.mkdir(mode=0o700)
    shared = {"XDG_RUNTIME_DIR": str(runtime)}
    with AppRun(tmp_path / "a", holded=holded, config={"idioma": "en"}, env=shared) as first, \
            AppRun(tmp_path / "b", holded=holded, config={"idioma": "en"}, env=shared) as elsewhere:
        first.start()
        tray = first.wait_tray()
        config = (first.work / "config.ini").read_bytes()

        for second in (first, elsewhere):
            started = subprocess.Popen(second.command(), cwd=second.work, env=second.env, stdin=subprocess.DEVNULL,
                                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            try:
                popup = first.wait_window("^The application is already running$")
                first.close_window(popup)
                assert started.wait(15) == 0, started.stdout.read()
            finally:
                if started.poll() is None:
                    started.kill()
        assert first.running() and first.windows(TRAY) == [tray]
        assert (first.work / "config.ini").read_bytes() == config
        assert not [p.name for p in first.work.iterdir() if not p.name.startswith(("config.ini", "llamadas.sqlite3"))], \
            "the lock litters the folder"

        first.choose_menu_entry(TRAY_MENU.index("Apagar"))
        assert first.wait_exit() == 0
        assert list(runtime.iterdir()) == [], "the lock's files go with the run"


def test_a_run_without_standard_output_takes_calls(tmp_path, holded, handset):
    with AppRun(tmp_path, holded=holded, handset_dll=handset.dll_path) as run:
        run.start(without_output=True)
        run.wait_tray()
        run.ring("622334455")
        (_, url), = run.wait_pages(1, timeout=POLL + 3)
        assert url == run.contact_page(LUCIA)
        # Every poll of an unreachable handset prints its trace line, to nowhere.
        run.unreachable()
        time.sleep(POLL * 2 + 1)
        assert run.running(), "a trace line without standard output ended the run"
        run.choose_menu_entry(TRAY_MENU.index("Apagar"))
        assert run.wait_exit() == 0


def window_icon(wid):
    """The icon the window gives the desktop (_NET_WM_ICON): width, height, then ARGB pixels."""
    import Xlib.display
    display = Xlib.display.Display()
    try:
        window = display.create_resource_object("window", int(wid))
        found = window.get_full_property(display.intern_atom("_NET_WM_ICON"), 0)
        return list(found.value) if found is not None else []
    finally:
        display.close()


def picture_as_icon(path):
    from PIL import Image
    with Image.open(path) as picture:
        rgba = picture.convert("RGBA")
        data = rgba.tobytes()
        pixels = [data[i + 3] << 24 | data[i] << 16 | data[i + 1] << 8 | data[i + 2] for i in range(0, len(data), 4)]
        return [rgba.width, rgba.height, *pixels]


def test_version_then_the_about_box_with_its_icon_and_escape(tmp_path, holded):
    with AppRun(tmp_path, holded=holded) as run:
        # --version: the name and version the about box shows, and nothing started.
        before, requests = sorted(p.name for p in run.work.iterdir()), len(holded.requests)
        asked = subprocess.run(run.command("--version"), cwd=run.work, env=run.env, capture_output=True, text=True,
                               timeout=30)
        assert asked.returncode == 0, asked.stderr
        name, version = asked.stdout.strip().rsplit(" ", 1)
        assert name == "Zelvora Holded" and re.fullmatch(r"\d+\.\d+\.\d+", version), asked.stdout
        assert sorted(p.name for p in run.work.iterdir()) == before, "--version touched the working folder"
        assert run.urls() == [] and len(holded.requests) == requests

        run.start()
        run.wait_tray()
        run.choose_menu_entry(TRAY_MENU.index("Acerca de"))
        about = run.wait_window("^Acerca de$")
        assert window_icon(about) == picture_as_icon(run.app / "img" / "hola.png")
        run.screenshot("about_box.png")
        run.focus(about)
        run.key("Escape")
        run.wait_gone(about)
        assert run.urls() == ["https://zelvora.example.com/"]
        # The tray is back at work: its menu answers.
        run.choose_menu_entry(TRAY_MENU.index("Apagar"))
        assert run.wait_exit() == 0, run.report()


def test_a_read_only_folder_with_its_settings_takes_calls(tmp_path, holded, handset):
    with AppRun(tmp_path, holded=holded, handset_dll=handset.dll_path, config={"idioma": "en"}) as run:
        config = (run.work / "config.ini").read_bytes()
        undo = make_unwritable(run.work)
        try:
            run.start()
            run.close_window(run.wait_window("^Read-only folder$"))
            run.wait_tray()
            run.ring("622334455")
            (_, url), = run.wait_pages(1, timeout=POLL + 3)
            assert url == run.contact_page(LUCIA)
            assert run.windows("^Read-only folder$") == [], "said once"
            run.choose_menu_entry(TRAY_MENU.index("Apagar"))
            assert run.wait_exit() == 0
        finally:
            undo()
        assert [p.name for p in run.work.iterdir()] == ["config.ini"] and (run.work / "config.ini").read_bytes() == config
