"""The configuration window, the free-field mapping window, the theme chooser and the about box,
driven through the scripted toolkit: what the user sees, what each button does, what is saved."""
import builtins
import gettext
import locale
import os
import webbrowser

import pytest

import conf
from tests.conftest import APP_DIR, config_text
from tests.test_contact_form import PICTURES
from tests.toolkit_double import CLOSE, Step

SUPPORT = "Necesita soporte Telefono +34 900 000 000"
MAKER_SITE = "https://zelvora.example.com/"
QUICK_START = "https://zelvora.example.com/holded/guia-rapida"
VIDEO = "https://zelvora.example.com/holded/video-tutorial"
STORE = "https://play.google.com/store/search?q=remotePhone&c=apps"
INSTALLER = "https://zelvora.example.com/holded/descargas/CallCenter.msi"
LANGUAGES = ["es", "ca", "gl", "eu", "en", "fr", "de", "nl", "it", "pt", "no"]
TITLE = "Configuración Zelvora Holded"
ICON = os.path.join(APP_DIR, "img", "hola.png")


@pytest.fixture
def make_settings(workdir, sg, browser, monkeypatch):
    """A settings object over a config.ini with a key (so no window opens while it is made)."""
    monkeypatch.setattr(locale, "getdefaultlocale", lambda *a, **k: ("es_ES", "UTF-8"))
    monkeypatch.setenv("HOLDED_APP_URL", "http://127.0.0.1:9/")

    def make(**options):
        workdir.write_config(config_text(**{"api_key": "K", **options}))
        return conf.conf()
    return make


@pytest.fixture
def settings(make_settings):
    return make_settings()


def when_read(sg, event, action):
    """Runs action() when the scripted step with this event is read (a user acting meanwhile)."""
    original = sg._next_step

    def next_step(reader):
        step = original(reader)
        if step.event == event:
            action()
        return step
    sg._next_step = next_step


def labels(row):
    return [element.kwargs.get("key", element.text) for element in row]


class TestConfigurationLayout:
    def test_rows_keys_and_options(self, settings, sg, app_dir):
        sg.script("Quit")
        assert settings.inicioconfig() is None
        [window] = sg.windows
        assert window.title == TITLE and window.closed
        assert window.kwargs == {"finalize": True, "keep_on_top": True, "icon": os.path.join(app_dir, "img", "hola.png"),
                                 "auto_size_text": True, "auto_size_buttons": True}
        rows = window.layout
        assert rows[0][0].text == ">> CAMBIAR IDIOMA / CHANGE LANGUAGE <<" and rows[0][0].kwargs["font"] == "Mambo 10"
        flags = rows[1]
        assert [e.kind for e in flags].index("VSeparator") == 4
        buttons = [e for e in flags if e.kind == "Button"]
        assert [b.key for b in buttons] == [code + "-I-" for code in LANGUAGES]
        for button, code in zip(buttons, LANGUAGES):
            assert button.kwargs["image_filename"] == os.path.join(app_dir, "img", code + ".png")
            assert os.path.isfile(button.kwargs["image_filename"]), "the real toolkit fails on a missing picture"
            assert (button.text, button.kwargs["border_width"], button.kwargs["size"]) == ("", 0, (1, 1))
        menu = rows[3][0]
        assert menu.args[0] == [["&Ayuda", ["---", "About..."]]] and menu.kwargs == {"tearoff": True, "key": "-MENUBAR-"}
        assert labels(rows[4]) == ["APi/APP Procesos: ", "-proceso-", "-win-", "-remote-"]
        frame = rows[6][0]
        assert frame.text == "Introduzca los datos del API"
        assert [e.text for e in frame.children[0]][0] == "api_key API Holded:       "
        assert frame.children[0][1].kwargs == {"key": "api_key", "default_text": "K"}
        slider_column, android_column = rows[8]
        slider_frame = slider_column.children[0][0]
        assert slider_frame.text == "AutoCierre:"
        slider, caption = slider_frame.children[0]
        assert (slider.kwargs["range"], slider.kwargs["resolution"]) == ((0, 60), 1), "it reaches the default, 60"
        assert caption.text == "10 min" and slider_frame.children[1][0].text == "0 = nunca"
        assert [row[0].text for row in android_column.children[:2]] == ["¿Usar APP Android?", "Remote Call "]
        toggle = android_column.children[2][0]
        assert toggle.key == "-ANDROID-" and toggle.kwargs["button_color"] == ("#1c44ac", "#1c44ac")
        assert labels(rows[10]) == ["-CAMPOS-", "-RES-"]
        assert labels(rows[12]) == ["Ok", " " * 20, "Quit"] and rows[12][0].kwargs["font"] == "Mambo 20"

    @pytest.mark.parametrize("stored, start", [("60", 60), ("7", 7), ("0", 0), ("-3", 0), ("90", 60), ("abc", 60),
                                               ("99999999999999999999999", 60)])
    def test_slider_starts_inside_its_range(self, make_settings, sg, stored, start):
        settings = make_settings()
        settings.configparser.set("windows", "autocierre_tiempo", stored)
        sg.script("Quit")
        settings.inicioconfig()
        assert sg.windows[0]["-tiempo-"].kwargs["default_value"] == start


class TestFirstRun:
    def test_new_settings_file_walks_through_the_set_up_pages_first(self, make_settings, sg, browser, monkeypatch):
        monkeypatch.setenv("HOLDED_APP_URL", "http://127.0.0.1:9")
        sg.script("Quit")
        settings = conf.conf()  # no config.ini: new file, empty key, so the window opens at once
        assert settings.lnuevo
        assert [entry[:2] for entry in sg.timeline if entry[0] in ("browser", "popup", "window")] == [
            ("browser", QUICK_START), ("popup", "popup_auto_close"), ("browser", "http://127.0.0.1:9/home#settings:/api"),
            ("popup", "popup_auto_close"), ("browser", STORE), ("browser", VIDEO), ("browser", INSTALLER),
            ("window", TITLE)]
        assert [new for _, new, _ in browser.opened] == [2, 1, 2, 2, 2]
        api, remote = sg.popups
        assert api == ("popup_auto_close", ("Obtenga api_key API Holded", "Obtenga Password_id API Holded"),
                       {"title": "Proceso API", "keep_on_top": True, "icon": ICON, "auto_close_duration": 2})
        assert remote[1] == ("Ejecute callcenter.msi para unir Terminal Android con Windows",
                             "Instale en su terminal Android remotePhone")
        assert remote[2]["title"] == "Proceso remotePhone"
        sg.script("Quit")
        settings.inicioconfig()
        assert len(browser.opened) == 10, "the guide comes back at every opening while the file counts as new"

    def test_known_settings_file_shows_the_window_at_once(self, settings, sg, browser):
        sg.script("Quit")
        settings.inicioconfig()
        assert browser.opened == [] and sg.popups == []


class TestConfigurationEvents:
    @pytest.mark.parametrize("way_out", ["Quit", CLOSE])
    def test_leaving_saves_nothing(self, settings, sg, workdir, way_out):
        before = workdir.read_config()
        settings.listalibre, settings.presentacioncamposlibre = ["x"], "old"
        sg.script(("-ANDROID-"), Step("en-I-", {"api_key": "typed"}), way_out)
        settings.inicioconfig()
        assert workdir.read_config() == before
        assert all(window.closed for window in sg.windows)
        assert (settings.presentacioncamposlibre, settings.listalibre, settings.libreteamleader) == ("", [], {})
        assert builtins._("Buscar") == "Search", "the new language stays until the program ends"

    def test_android_toggle_flips_its_picture(self, settings, sg):
        sg.script("-ANDROID-", "-ANDROID-", "Quit")
        settings.inicioconfig()
        toggle = sg.windows[0]["-ANDROID-"]
        on, off = toggle.kwargs["image_data"], toggle.updates[0][1]["image_data"]
        assert on != off and toggle.updates[1][1]["image_data"] == on

    def test_set_up_buttons(self, settings, sg, browser):
        sg.script("-proceso-", "-win-", "-remote-", "Quit")
        settings.inicioconfig()
        steps = [entry[1] if entry[0] == "browser" else entry[2] for entry in sg.timeline if entry[0] in ("browser", "popup")]
        assert steps == ["http://127.0.0.1:9/home#settings:/api",
                         ("Proceso Descarga", "Ejecute callcenter.msi para unir Terminal Android con Windows"), INSTALLER,
                         ("Enlace Google Play ", "Instalación necesarias en Terminal Android."), VIDEO, STORE]
        assert browser.opened[0][1] == 1 and {new for _, new, _ in browser.opened[1:]} == {2}
        assert all(p[2] == {"keep_on_top": True, "icon": ICON, "auto_close_duration": 2} for p in sg.popups)

    @pytest.mark.parametrize("lang", LANGUAGES)
    def test_about_entry_in_every_language(self, make_settings, sg, browser, app_dir, lang):
        settings = make_settings(idioma=lang)
        label = gettext.translation(lang, os.path.join(app_dir, "locale"), [lang]).gettext("About...")
        shown = label.replace("&", "", 1)  # what the toolkit reports for the chosen item
        sg.script(shown, "Quit")
        settings.inicioconfig()
        assert sg.windows[0].find("Menu")[0].args[0][0][1][1] == label
        assert browser.opened == [(MAKER_SITE, 2, True)]

    def test_language_button_rebuilds_the_window_translated(self, settings, sg):
        sg.script("-ANDROID-", Step("fr-I-", {"api_key": "typed", "-tiempo-": 3.0}), "Ok")
        settings.inicioconfig()
        first, second = sg.windows
        assert first.closed and second.title == "Configuration Zelvora Holded"
        assert second["api_key"].kwargs["default_text"] == "K", "unsaved typing is dropped"
        assert second["-tiempo-"].kwargs["default_value"] == 60
        assert second["-ANDROID-"].kwargs["image_data"] == first["-ANDROID-"].updates[0][1]["image_data"], \
            "the switch keeps its state"
        assert settings.configparser["windows"]["idioma"] == "fr" and settings.cvariables["appandroid"] is True
        assert settings.configparser["windows"]["autocierre_tiempo"] == "60", "the slider was not moved"

    def test_mapping_without_fields_explains_instead_of_failing(self, settings, sg):
        sg.script("-CAMPOS-", "Quit")
        settings.inicioconfig()
        [(name, args, kwargs)] = sg.popups
        assert (name, args) == ("popup_error", ("Error", "No hay campos libres de Holded ni datos disponibles que asignar."))
        assert len(sg.windows) == 1

    def test_mapping_result_is_shown_and_saved_with_ok(self, settings, sg, workdir):
        def fill():
            settings.listalibre = ["Sector"]
            settings.libreteamleader = {"Sector": ("f1", "Sector")}
            settings.jsoneinforma = {"Actividad": "x"}
        when_read(sg, "-CAMPOS-", fill)
        sg.script("-CAMPOS-", Step("-UNIR-", {"-EI-": ["Actividad"], "-LIBRETEAM-": ["Sector"]}), "-aplicar-", "Ok")
        settings.inicioconfig()
        assert sg.windows[0]["-RES-"].updates[-1][0] == ("Sector <-- NEW --> Actividad\n",)
        assert 'camposlibres =   "f1|Sector|Actividad" ,  \n' in workdir.read_config()


class TestSaving:
    @pytest.mark.parametrize("toggles, android", [(0, "No"), (1, "Si"), (2, "No")])
    def test_ok_writes_the_five_settings(self, make_settings, sg, workdir, toggles, android):
        settings = make_settings(camposlibres='"a|b|Razón" ,', appandroid="No")
        sg.script(*["-ANDROID-"] * toggles, Step("Ok", {"api_key": "NEWKEY", "-tiempo-": 7.0}))
        settings.inicioconfig()
        assert workdir.read_config() == config_text(api_key="NEWKEY", idioma="es", autocierre="7",
                                                    appandroid=android, camposlibres='"a|b|Razón" ,')
        assert settings.cvariables["autocierre_tiempo"] == 70 and settings.cvariables["appandroid"] is (android == "Si")
        assert os.listdir(workdir.path) == ["config.ini"]

    @pytest.mark.parametrize("appandroid, autocierre, on", [("No", "60", False), ("Si", "60", True), ("1", "7", False),
                                                           ("sI", "-3", True)])
    def test_what_the_user_did_not_touch_is_saved_as_stored(self, make_settings, sg, workdir, appandroid, autocierre, on):
        settings = make_settings(appandroid=appandroid, autocierre=autocierre)
        sg.script(Step("Ok", {"api_key": "NEWKEY"}))
        settings.inicioconfig()
        toggle = sg.windows[0]["-ANDROID-"].kwargs["image_data"]
        assert (toggle == PICTURES[0].decode()) is on, "the switch starts as stored"
        assert workdir.read_config() == config_text(api_key="NEWKEY", appandroid=appandroid, autocierre=autocierre)
        assert settings.cvariables["autocierre_tiempo"] == int(autocierre) * 10

    def test_slider_at_zero_turns_auto_close_off(self, settings, sg, workdir):
        sg.script(Step("Ok", {"-tiempo-": 0.0}))
        settings.inicioconfig()
        assert "autocierre_tiempo = 0\n" in workdir.read_config() and settings.cvariables["autocierre"] is False

    def test_empty_or_blank_key_is_refused(self, settings, sg):
        sg.script(Step("Ok", {"api_key": ""}), Step("Ok", {"api_key": " \u200b"}), "Quit")
        settings.inicioconfig()
        popup = ("popup_error", ("Error", "No se puede dejar vació Datos API\n" + SUPPORT), {"keep_on_top": True})
        assert sg.popups == [popup, popup]
        assert settings.configparser["api"]["api_key"] == "K"

    def test_pasted_key_is_saved_clean_and_one_no_header_can_carry_is_refused_beside_the_field(self, settings, sg,
                                                                                             workdir):
        sg.script(Step("Ok", {"api_key": "NEW\u00a0KEY\u0007"}), Step("Ok", {"api_key": "\ufeff NEWKEY\u200b\n"}))
        settings.inicioconfig()
        assert sg.popups == [], "the key is never shown in a popup"
        [(args, _)] = sg.windows[0]["-KEYNOTE-"].updates
        assert args == ("La clave tiene caracteres que una clave de Holded no tiene: cópiela de nuevo desde Holded.",)
        assert "api_key = NEWKEY\n" in workdir.read_config() and settings.cvariables["api_key"] == "NEWKEY"

    def test_the_office_region_is_offered_first_and_written_only_when_chosen(self, make_settings, sg, workdir):
        settings = make_settings(pais="es ")
        sg.script("Ok")
        settings.inicioconfig()
        choices = sg.windows[0]["-PAIS-"]
        assert choices.args[0][:1] == ["ES"] and {"FR", "PT", "GB"} <= set(choices.args[0])
        assert "pais = es \n" in workdir.read_config(), "left as it was written"
        sg.script(Step("Ok", {"-PAIS-": "PT"}))
        settings.inicioconfig()
        assert "pais = PT\n" in workdir.read_config() and settings.cvariables["pais"] == "PT"

    def test_ok_keeps_what_was_edited_by_hand_meanwhile(self, settings, sg, workdir):
        edited = "# la oficina\n" + config_text(api_key="K", pais="FR", indice_horas="24") + "[mine]\nnote = kept\n"
        workdir.write_config(edited)
        sg.script("Ok")
        settings.inicioconfig()
        assert workdir.read_config() == edited, "nothing changed in the window: the file is not written"
        sg.script(Step("Ok", {"api_key": "NEWKEY"}))
        settings.inicioconfig()
        assert workdir.read_config() == edited.replace("# la oficina\n", "").replace("api_key = K", "api_key = NEWKEY") \
            + "\n", "only the key changed: the hand edits and the user's section stay"
        assert settings.cvariables["pais"] == "FR" and settings.cvariables["indice_horas"] == 24.0

    def test_written_in_the_encoding_the_store_reads(self, make_settings, sg, workdir, monkeypatch):
        monkeypatch.setattr(locale, "getdefaultlocale", lambda *a, **k: ("es_ES", "cp1252"))
        workdir.write_config(config_text(api_key="K", camposlibres='"a|b|Población" ,'), encoding="cp1252")
        settings = conf.conf()
        sg.script("Ok")
        settings.inicioconfig()
        assert '"a|b|Población" ,' in workdir.read_config(encoding="cp1252")

    def test_unwritable_file_is_reported_and_nothing_is_lost(self, settings, sg, workdir):
        before = workdir.read_config()
        settings.ficheroini = str(workdir.path / "gone" / "config.ini")
        sg.script(Step("Ok", {"api_key": "NEWKEY"}), "Quit")
        settings.inicioconfig()
        [(name, args, _)] = sg.popups
        assert name == "popup_error" and args[1].startswith("No se ha podido guardar config.ini\n")
        assert "gone" in args[1], "the reason is shown"
        assert settings.configparser["api"]["api_key"] == "NEWKEY" and settings.cvariables["api_key"] == "K"
        assert workdir.read_config() == before


@pytest.fixture
def mapping(settings):
    settings.listalibre = ["Sector", "Web", "Notas"]
    settings.libreteamleader = {"Sector": ("f1", "Sector"), "Web": [7, None], "Notas": ("f3", "Notas", "extra")}
    settings.jsoneinforma = {"Razón Social": 1, "CIF": 2, "Actividad": 3}
    settings.presentacioncamposlibre = ""
    return settings


def join(left, right):
    return Step("-UNIR-", {"-LIBRETEAM-": [left], "-EI-": [right]})


class TestMappingWindow:
    def test_layout(self, mapping, sg, app_dir):
        mapping.presentacioncamposlibre = "Antes <-- NEW --> CIF\n"
        sg.script("-EXIT-")
        mapping.unircamposlibre()
        [window] = sg.windows
        assert window.title == "Asignar Campos disponibles"
        assert window.kwargs == {"keep_on_top": True, "icon": ICON, "finalize": True}
        left, _, right = window.layout[0]
        assert left.children[1][0].args[0] == ["Sector", "Web", "Notas"]
        assert right.children[1][0].args[0] == ["Razón Social", "CIF", "Actividad"]
        assert right.children[1][0].kwargs["enable_events"] and not left.children[1][0].kwargs["enable_events"]
        assert window["-RES-"].args[0] == "Antes <-- NEW --> CIF\n"
        assert [labels(row) for row in window.layout[4::2]] == [["-UNIR-"], ["-aplicar-", "-EXIT-"]]

    def test_join_and_apply(self, mapping, sg):
        sg.script("-EI-", join("Sector", "Actividad"), join("Web", "CIF"), "-aplicar-")
        result = mapping.unircamposlibre()
        assert mapping.cvariables["camposlibres"] == '  "f1|Sector|Actividad" ,  "7|None|CIF" ,  '
        assert result == "Sector <-- NEW --> Actividad\nWeb <-- NEW --> CIF\n"
        assert mapping.listalibre == ["Notas"]
        left = sg.windows[0]["-LIBRETEAM-"]
        assert [u[1]["values"] for u in left.updates] == [["Web", "Notas"], ["Notas"]]

    def test_newer_pairs_come_first(self, mapping, sg):
        mapping.cvariables["camposlibres"] = '"old|x|CIF" ,'
        sg.script(join("Notas", "CIF"), "-aplicar-")
        mapping.unircamposlibre()
        assert mapping.cvariables["camposlibres"] == '  "f3|Notas|CIF" , "old|x|CIF" , '

    @pytest.mark.parametrize("leave", ["-EXIT-", CLOSE])
    def test_pairs_not_applied_still_leave_the_list(self, mapping, sg, leave):
        sg.script(join("Sector", "CIF"), join("Web", "CIF"), leave)
        assert mapping.unircamposlibre() == "Sector <-- NEW --> CIF\nWeb <-- NEW --> CIF\n"
        assert mapping.cvariables["camposlibres"] == "" and mapping.listalibre == ["Notas"]

    @pytest.mark.parametrize("selection", [{"-EI-": ["CIF"]}, {"-LIBRETEAM-": ["Web"]}, {}])
    def test_join_needs_a_field_on_each_side(self, mapping, sg, selection):
        sg.script(Step("-UNIR-", selection), "-EXIT-")
        assert mapping.unircamposlibre() == ""
        assert sg.popups == [("popup_error", ("Error", "Debe seleccionar una columna en cada tabla"), {"keep_on_top": True})]
        assert mapping.listalibre == ["Sector", "Web", "Notas"]

    def test_without_the_data_record_no_window_opens(self, settings, sg):
        settings.presentacioncamposlibre, settings.listalibre = "", []
        with pytest.raises(AttributeError):
            settings.unircamposlibre()
        assert sg.windows == []


class TestThemeChooser:
    def test_layout(self, settings, sg):
        sg.script("-S-")
        assert settings.tema() is None
        [window] = sg.windows
        assert (window.title, window.kwargs) == ("Configura Aspecto", {"icon": ICON, "keep_on_top": True, "finalize": True})
        assert [row[0].text for row in window.layout[:2]] == ["Lista Aspecto disponible", "Seleccione para ventana Ejemplo"]
        assert window["-LIST-"].kwargs == {"values": sg.THEMES, "size": (20, 12), "key": "-LIST-", "enable_events": True}
        assert [(b.text, b.key) for b in window.layout[3]] == [("OK", "-ok-"), ("Salir", "-S-")]

    @pytest.mark.parametrize("way_out", [Step("-S-", {"-LIST-": ["Topanga"]}), CLOSE])
    def test_previews_change_the_look_but_not_the_file(self, settings, sg, workdir, way_out):
        before = workdir.read_config()
        sg.script(Step("-LIST-", {"-LIST-": ["LightGreen"]}), Step("-LIST-", {"-LIST-": ["Topanga"]}), way_out)
        assert settings.tema() == "Topanga"
        assert [p[1] for p in sg.popups] == [("Este tema es  LightGreen",), ("Este tema es  Topanga",)]
        assert [e for e in sg.timeline if e[0] in ("theme", "popup")][:2] == [
            ("theme", "LightGreen"), ("popup", "popup_auto_close", ("Este tema es  LightGreen",))]
        assert sg.current_theme == "Topanga" and workdir.read_config() == before

    def test_ok_stores_a_new_theme(self, settings, sg, workdir):
        sg.script(Step("-LIST-", {"-LIST-": ["DarkGrey13"]}), "-ok-")
        assert settings.tema() == "DarkGrey13"
        assert workdir.read_config() == config_text(api_key="K", tema="DarkGrey13")
        assert sg.current_theme == "DarkGrey13" and settings.cvariables["tema"] == "DarkBlue16"

    @pytest.mark.parametrize("chosen", [["DarkBlue16"], []])
    def test_ok_on_the_stored_theme_or_nothing_writes_nothing(self, settings, sg, workdir, chosen):
        workdir.write_config("# hand-written\n" + workdir.read_config())
        sg.script(Step("-ok-", {"-LIST-": chosen}))
        assert settings.tema() == (chosen[0] if chosen else None)
        assert workdir.read_config().startswith("# hand-written\n")

    def test_unwritable_file_is_reported_and_the_window_stays(self, settings, sg, workdir):
        settings.ficheroini = str(workdir.path / "gone" / "config.ini")
        sg.script(Step("-ok-", {"-LIST-": ["Topanga"]}), "-S-")
        assert settings.tema() == "Topanga"
        assert sg.popups[0][0] == "popup_error" and "gone" in sg.popups[0][1][1]
        assert settings.configparser["windows"]["tema"] == "Topanga"


class Broken(Exception):
    pass


def fail(*args, **kwargs):
    raise Broken()


@pytest.mark.parametrize("window", ["configuration", "mapping", "theme"])
def test_a_failure_inside_a_window_closes_it(mapping, sg, monkeypatch, window):
    if window == "configuration":
        monkeypatch.setattr(webbrowser, "open", fail)
        sg.script("-proceso-")
        run = mapping.inicioconfig
    elif window == "mapping":
        sg.script(join("Web", "CIF"))
        mapping.libreteamleader = type("Unreadable", (dict,), {"__getitem__": fail})()
        run = mapping.unircamposlibre
    else:
        sg.script(Step("-LIST-", {"-LIST-": ["Topanga"]}))
        sg.theme = fail
        run = mapping.tema
    with pytest.raises(Broken):
        run()
    assert [w.closed for w in sg.windows] == [True]


@pytest.mark.parametrize("lang, title, version, support", [
    ("es", "Acerca de", "Versión ", SUPPORT),
    ("fr", "À propos", "Version ", "Besoin d'aide ? Téléphone +34 900 000 000")])
@pytest.mark.parametrize("way_out", ["-OK-", CLOSE])
def test_about_box_opens_the_site_then_names_the_product_and_its_version(sg, browser, lang, title, version, support,
                                                                        way_out):
    conf.idioma(lang)
    sg.script(way_out)
    assert conf.Acercade() is None
    assert [e[:2] for e in sg.timeline] == [("browser", MAKER_SITE), ("window", title), ("close", title)]
    assert browser.opened == [(MAKER_SITE, 2, True)]
    [window] = sg.windows
    shown = [element.text for row in window.layout for element in row if element.kind == "Text"]
    assert shown == [conf.PRODUCT_NAME, version + conf.__version__, support]
    assert conf.PRODUCT_NAME == "Zelvora Holded" and conf.__version__.count(".") == 2
    assert window.kwargs["keep_on_top"] and window.kwargs["icon"] == ICON
