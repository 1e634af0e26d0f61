"""The configuration windows with the real toolkit, used as a person would: clicks and typing on
the virtual screen, then what reached config.ini."""
import locale
import time

import pytest

import conf
from tests.conftest import config_text

TITLE_ES = "Configuración Zelvora Holded"
TITLE_FR = "Configuration Zelvora Holded"


@pytest.fixture
def spanish_user(workdir, monkeypatch):
    monkeypatch.setattr(locale, "getdefaultlocale", lambda *a, **k: ("es_ES", "UTF-8"))
    return workdir


@pytest.fixture
def keep_theme(real_sg):
    """Previews change the look of every later window; later tests get the look they expect."""
    before = real_sg.theme()
    yield
    real_sg.theme(before)


def click_slider_towards(gui, window, key, value):
    """Clicks the slider's trough on the side of `value`: the slider moves one step that way."""
    widget = window[key].Widget
    x, y = widget.coords(value)
    gui.click_at(widget.winfo_rootx() + x, widget.winfo_rooty() + y)


def choose_menu_entry(window, key):
    """Chooses the last command of the menu bar's first menu."""
    bar = window[key].Widget
    cascade = next(i for i in range(bar.index("end") + 1) if bar.type(i) == "cascade")
    menu = bar.nametowidget(bar.entrycget(cascade, "menu"))
    menu.invoke(max(i for i in range(menu.index("end") + 1) if menu.type(i) == "command"))


def test_first_key_language_time_and_ok(spanish_user, gui, browser):
    spanish_user.write_config(config_text(api_key="", idioma="es", autocierre="60", appandroid="No"))

    def actions(gui):
        spanish = gui.wait_window(TITLE_ES)
        gui.screenshot("conf_window_es.png")
        gui.click(spanish, "fr-I-")
        french = gui.wait_window(TITLE_FR)
        gui.screenshot("conf_window_fr.png")
        choose_menu_entry(french, "-MENUBAR-")
        time.sleep(0.5)
        gui.click(french, "api_key")
        gui.type("CLAVE-GUI-42")
        click_slider_towards(gui, french, "-tiempo-", 0)
        click_slider_towards(gui, french, "-tiempo-", 0)
        gui.click(french, "Ok")

    gui.run(actions)
    settings = conf.conf()  # the empty key opens the configuration window
    gui.check()
    assert spanish_user.read_config() == config_text(api_key="CLAVE-GUI-42", idioma="fr", autocierre="58",
                                                     appandroid="No")
    assert settings.cvariables["autocierre_tiempo"] == 580
    assert browser.urls == ["https://zelvora.example.com/"], "the French 'About...' entry opens the maker's site"


def test_free_fields_are_paired_and_saved(spanish_user, gui):
    spanish_user.write_config(config_text(api_key="K", idioma="es"))
    settings = conf.conf()

    def actions(gui):
        window = gui.wait_window(TITLE_ES)
        # What a future data source would hand over; nothing in the program fills it yet.
        settings.listalibre = ["Sector", "Web"]
        settings.libreteamleader = {"Sector": ("f1", "Sector"), "Web": ("f2", "Web")}
        settings.jsoneinforma = {"Razón Social": "", "Actividad": "", "CIF": ""}
        gui.click(window, "-CAMPOS-")
        mapping = gui.wait_window("Asignar Campos disponibles")
        gui.click_list_item(mapping, "-LIBRETEAM-", "Sector")
        gui.click_list_item(mapping, "-EI-", "Actividad")
        gui.click(mapping, "-UNIR-")
        gui.screenshot("mapping_window.png")
        gui.click(mapping, "-aplicar-")
        time.sleep(0.5)
        gui.screenshot("conf_window_mapped.png")
        gui.click(gui.wait_window(TITLE_ES), "Ok")

    gui.run(actions)
    settings.inicioconfig()
    gui.check()
    assert 'camposlibres =   "f1|Sector|Actividad" ,  \n' in spanish_user.read_config()
    assert settings.listalibre == ["Web"]


def test_theme_previews_then_ok(spanish_user, gui, keep_theme, window_manager):
    spanish_user.write_config(config_text(api_key="K", idioma="es"))
    settings = conf.conf()

    def actions(gui):
        chooser = gui.wait_window("Configura Aspecto")
        gui.screenshot("theme_chooser.png")
        for theme in ("DarkAmber", "BrightColors"):
            gui.click_list_item(chooser, "-LIST-", theme)
            sample = gui.wait_window(f"Este tema es  {theme}")
            # Both are kept on top: the window manager puts the sample above the chooser.
            assert sample.TKroot.tk.call("wm", "stackorder", sample.TKroot._w, "isabove", chooser.TKroot._w)
            if theme == "DarkAmber":
                gui.screenshot("theme_preview.png")
            deadline = time.monotonic() + 10
            while not sample.is_closed(quick_check=True) and time.monotonic() < deadline:
                time.sleep(0.2)  # the sample closes by itself
        gui.click(chooser, "-ok-")

    gui.run(actions)
    assert settings.tema() == "BrightColors"
    gui.check()
    assert spanish_user.read_config() == config_text(api_key="K", idioma="es", tema="BrightColors")


def test_autoclose_caption_follows_the_slider(spanish_user, gui):
    spanish_user.write_config(config_text(api_key="K", idioma="es", autocierre="60"))
    settings = conf.conf()
    captions = []

    def actions(gui):
        window = gui.wait_window(TITLE_ES)
        caption = window["-tiempo-texto-"]
        captions.append(caption.get())
        click_slider_towards(gui, window, "-tiempo-", 0)
        gui.screenshot("conf_window_autoclose.png")
        for position in (6, 0, 1):
            window["-tiempo-"].Widget.set(position)
            time.sleep(0.3)
            captions.append(caption.get())
        gui.click(window, "Ok")

    gui.run(actions)
    settings.inicioconfig()
    gui.check()
    assert captions == ["10 min", "1 min", "nunca", "10 s"]
    # Stored as before: tens of seconds.
    assert spanish_user.read_config() == config_text(api_key="K", idioma="es", autocierre="1")
    assert settings.cvariables["autocierre_tiempo"] == 10


CLOSE_BUTTONS = {"configuration": "Quit", "mapping": "-EXIT-", "theme": "-S-", "about": "-OK-"}


@pytest.mark.parametrize("window", CLOSE_BUTTONS)
def test_escape_closes_as_the_close_button_does(spanish_user, gui, keep_theme, browser, window):
    spanish_user.write_config(config_text(api_key="K", idioma="es"))
    settings = conf.conf()
    settings.listalibre = ["Sector", "Web"]
    settings.libreteamleader = {"Sector": ("f1", "Sector"), "Web": ("f2", "Web")}
    settings.jsoneinforma = {"Actividad": "", "CIF": ""}
    settings.presentacioncamposlibre = ""
    before = spanish_user.read_config()

    def actions(gui):
        if window == "configuration":
            shown = gui.wait_window(TITLE_ES)
            gui.click(shown, "api_key")
            gui.type("OTRA")
        elif window == "mapping":
            shown = gui.wait_window("Asignar Campos disponibles")
            gui.click_list_item(shown, "-LIBRETEAM-", "Sector")
            gui.click_list_item(shown, "-EI-", "Actividad")
            gui.click(shown, "-UNIR-")
        elif window == "theme":
            shown = gui.wait_window("Configura Aspecto")
            gui.click_list_item(shown, "-LIST-", "DarkAmber")
            sample = gui.wait_window("Este tema es  DarkAmber")
            while not sample.is_closed(quick_check=True):
                time.sleep(0.2)  # the sample closes by itself
            gui.xdotool("mousemove", "--sync", *gui.center(shown, "-LIST-"))
        else:
            shown = gui.wait_window("Acerca de")
            gui.click_at(*gui.center(shown, "-VERSION-"))
        gui.key("Escape")
        deadline = time.monotonic() + 5
        while not shown.is_closed(quick_check=True):
            if time.monotonic() > deadline:
                gui.click(shown, CLOSE_BUTTONS[window])  # so that the window's function returns
                raise AssertionError(f"Escape left the {window} window open")
            time.sleep(0.1)

    gui.run(actions)
    run = {"configuration": settings.inicioconfig, "mapping": settings.unircamposlibre, "theme": settings.tema,
           "about": conf.Acercade}[window]
    result = run()
    gui.check()
    assert all(w.is_closed(quick_check=True) for w in gui.windows)
    assert spanish_user.read_config() == before
    if window == "mapping":
        assert settings.cvariables["camposlibres"] == "" and "Sector <-- NEW --> Actividad" in result
    elif window == "theme":
        assert result == "DarkAmber"
