"""The tray with the real toolkit and pystray under Xvfb, run in this process against the Holded
stand-in. pystray's X11 icon gets no clicks from xdotool here, so the icon's default action and
its menu items are called from another thread, exactly as pystray calls them on a click."""
import threading
import time

import pytest

import conf
import phonewatch
from tests.conftest import config_text


def wait_for(condition, what, timeout=15):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.05)


@pytest.fixture
def icons(monkeypatch):
    """The pystray icons the application makes."""
    import pystray
    made = []
    original = pystray.Icon.__init__

    def recording(icon, *args, **kwargs):
        original(icon, *args, **kwargs)
        made.append(icon)
    monkeypatch.setattr(pystray.Icon, "__init__", recording)
    return made


def menu_item(icon, text):
    return next(item for item in icon.menu.items if item.text == text)


def picture(name):
    from PIL import Image
    return Image.open(conf.foldimg("img") + "/" + name).tobytes()


def run_app(actions):
    """Runs the application on this (the GUI) thread while `actions` act from another."""
    failures = []

    def body():
        try:
            actions()
        except BaseException as error:  # reported below
            failures.append(error)
    driver = threading.Thread(target=body, daemon=True)
    driver.start()
    phonewatch.phonewatch()
    driver.join(10)
    if failures:
        raise failures[0]


def test_the_icons_click_and_menu_reach_the_tray_loop(real_sg, tray_host, icons, workdir, holded, monkeypatch):
    workdir.write_config(config_text(api_key=holded.key, appandroid="No", indice_horas="0"))
    chosen = []
    monkeypatch.setattr(phonewatch.phonewatch, "buscar", lambda self: chosen.append("buscar") or True)
    monkeypatch.setattr(conf, "Acercade", lambda: chosen.append("acerca"))

    def actions():
        wait_for(lambda: icons and icons[0].visible, "the icon")
        icon, = icons
        icon()  # a click: the default item, "Buscar"
        wait_for(lambda: chosen == ["buscar"], "the search window")
        menu_item(icon, "Acerca de")(icon)
        wait_for(lambda: chosen == ["buscar", "acerca"], "the about box")
        menu_item(icon, "Apagar")(icon)
    run_app(actions)

    icon, = icons
    assert chosen == ["buscar", "acerca"]
    assert icon.HAS_MENU is False  # X11: the tray shows the menu itself on a right click
    assert not icon._running, "the icon was not stopped"
    notices = [w for w in real_sg.Window.hidden_master_root.winfo_children() if w.winfo_name().startswith("notice")]
    assert notices == [], "a notice outlived the run"


def test_the_icon_tells_when_holded_is_lost_and_back(real_sg, tray_host, icons, workdir, holded, monkeypatch):
    monkeypatch.setattr(phonewatch, "RETRY_SECONDS", 0.2)
    workdir.write_config(config_text(api_key=holded.key, appandroid="No", indice_horas="0"))
    holded.set_fault("refuse")
    seen = {}

    def actions():
        wait_for(lambda: icons and icons[0].visible, "the icon")
        icon, = icons
        wait_for(lambda: icon.title.startswith("Holded: sin conexión desde "), "the status line")
        seen["lost"] = (icon.title, icon.icon.tobytes())
        holded.clear_fault()
        wait_for(lambda: icon.title.startswith("Holded: conectado"), "Holded back in the status line")
        seen["back"] = icon.icon.tobytes()
        menu_item(icon, "Apagar")(icon)
    run_app(actions)

    assert seen["lost"][1] == picture("tray-alert-32.png")
    assert seen["back"] == picture("tray-32.png")
    assert "Teléfono: desactivado en Configurar" in seen["lost"][0]
