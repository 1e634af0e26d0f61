"""The tray application with the scripted toolkit: start-up, the menu, the polling of the
handset, the turns, the start-up number, the manual search window and what the user sees when
something fails. The API client, the handset link and the lookup are small fakes here; the
lookup itself is tested over HTTP in test_lookup.py."""
import base64
import struct
import sys
import types

import pytest

import conf
import crmapi
import crmprocs
import phonewatch
from tests.conftest import config_text
from tests.toolkit_double import CLOSE, Step

TIMEOUT = "__TIMEOUT__"
APAGAR = "Apagar::Apagar"
ULTIMO = "Ultimo Telefono::Ultimo"
BUSCAR = "Buscar::Buscar"
CONFIGURAR = "Configurar::Configurar"


def at(event, number):
    """A tray event read while the handset shows `number` (None: the handset cannot be reached)."""
    step = Step(event)
    step.handset = number
    return step


def poll(number):
    return at(TIMEOUT, number)


class FakeHandset:
    """Application object of the handset link; ActiveNumber as the test sets it."""

    def __init__(self, name):
        self.name = name
        self.number = ""
        self.connected = []

    def BeginConnect(self, flag):
        self.connected.append(flag)

    @property
    def Phone(self):
        return self

    @property
    def ActiveNumber(self):
        if self.number is None:
            raise OSError("handset unreachable")
        return self.number


class FakeClient:
    """The API client as the tray sees it: estado from the world's probe answers."""

    def __init__(self, world):
        self.estado = world.probes.pop(0) if world.probes else True
        self.lasterror = world.lasterror
        world.clients.append(self)


class World:
    def __init__(self, workdir, sg, monkeypatch):
        self.workdir, self.sg, self.monkeypatch = workdir, sg, monkeypatch
        self.probes, self.clients, self.lasterror = [], [], "401: clave rechazada"
        self.lookups, self.lookup_error = [], None
        self.handset = None
        self.clr_calls, self.clr_error, self.connect_error = [], None, None
        self.config_calls, self.opened = [], []
        workdir.write_config(config_text(api_key="K" * 32, appandroid="Si"))

        monkeypatch.setattr(crmapi, "crmapi", lambda: FakeClient(self))
        monkeypatch.setattr(crmprocs, "buscateam", self._buscateam)
        monkeypatch.setattr(conf.conf, "inicioconfig", lambda settings: self.config_calls.append(settings),
                            raising=False)
        monkeypatch.setattr(conf.conf, "tema", lambda settings: self.opened.append("tema"), raising=False)
        monkeypatch.setattr(conf, "Acercade", lambda: self.opened.append("acerca"), raising=False)
        self._fake_handset_link()

        original = sg._next_step

        def next_step(reader):
            step = original(reader)
            if hasattr(step, "handset") and self.handset is not None:
                self.handset.number = step.handset
            return step
        monkeypatch.setattr(sg, "_next_step", next_step)

    def _buscateam(self, app, number, tray=None):
        self.lookups.append((number, tray))
        if self.lookup_error is not None:
            raise self.lookup_error

    def _fake_handset_link(self):
        world = self

        def add_reference(name):
            world.clr_calls.append(("AddReference", name, list(sys.path)))
            if world.clr_error:
                raise world.clr_error

        def application(name):
            world.handset = FakeHandset(name)
            if world.connect_error:
                world.handset.BeginConnect = lambda flag: (_ for _ in ()).throw(world.connect_error)
            return world.handset

        clr = types.ModuleType("clr")
        clr.AddReference = add_reference
        package = types.ModuleType("JustRemotePhone")
        service = types.ModuleType("JustRemotePhone.RemotePhoneService")
        service.Application = application
        package.RemotePhoneService = service
        for name, module in [("clr", clr), ("JustRemotePhone", package), ("JustRemotePhone.RemotePhoneService", service)]:
            self.monkeypatch.setitem(sys.modules, name, module)

    def run(self, *steps, argv=("launcher.py",)):
        self.monkeypatch.setattr(sys, "argv", list(argv))
        self.sg.script(*steps)
        return phonewatch.phonewatch()

    @property
    def numbers(self):
        return [number for number, _ in self.lookups]


@pytest.fixture
def world(workdir, sg, monkeypatch):
    return World(workdir, sg, monkeypatch)


def png_size(data):
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", data[16:24])


# -- start-up and the menu ------------------------------------------------------------------

def test_start_connects_the_handset_and_shuts_down_from_the_menu(world, sg, capsys):
    app = world.run(APAGAR)

    assert isinstance(app.variable, conf.conf) and app.variable.apiteam is world.clients[0]
    assert app.app is world.handset and world.handset.name == "Zelvora_IA_Holded"
    assert world.handset.connected == [True]
    (_, name, path), = world.clr_calls
    assert name == "RemotePhoneService" and path[-1] == conf.foldimg("dll")
    assert ("theme", "DarkBlue16") in sg.timeline

    tray, = sg.trays
    assert tray.menu == ["UNUSED", ["Buscar::Buscar", "Ultimo Telefono::Ultimo", "---", "Configurar::Configurar",
                                    "Aspecto::Aspecto", "---", "Acerca de::Acerca de", "Apagar::Apagar"]]
    assert isinstance(tray.data_base64, bytes) and png_size(base64.b64decode(tray.data_base64)) == (55, 55)
    assert tray.messages == [("Saliendo", "!!Tenga un buen dia!!", sg.SYSTEM_TRAY_MESSAGE_ICON_INFORMATION)]
    assert tray.closed, "the tray window goes away with the run"
    assert world.lookups == [] and not sg.popups
    assert "sin dll" not in capsys.readouterr().out


def test_menu_follows_the_language_and_events_match_on_their_key(world, sg):
    world.workdir.write_config(config_text(api_key="K", idioma="en"))
    world.run("Appearance::Aspecto", "About::Acerca de", "Exit::Apagar")
    assert world.opened == ["tema", "acerca"]

    assert sg.trays[0].menu[1] == ["Search::Buscar", "Last Number::Ultimo", "---", "Settings::Configurar",
                                   "Appearance::Aspecto", "---", "About::Acerca de", "Exit::Apagar"]
    assert sg.trays[0].messages[0][:2] == ("Exiting", "!!Have a nice day!!")


def test_menu_entries_run_their_windows(world, sg):
    world.run("Aspecto::Aspecto", "Acerca de::Acerca de", "Aspecto::Aspecto", APAGAR)
    assert world.opened == ["tema", "acerca", "tema"]


def test_handset_link_switched_off(world, sg, capsys):
    world.workdir.write_config(config_text(api_key="K", appandroid="No"))
    app = world.run(poll("600111222"), poll("600111222"), APAGAR)
    assert app.app is None and world.clr_calls == [] and world.lookups == []
    assert "sin dll" not in capsys.readouterr().out


@pytest.mark.parametrize("failure", ["reference", "connect"])
def test_handset_link_that_cannot_be_set_up(world, sg, capsys, failure):
    if failure == "reference":
        world.clr_error = OSError("Unable to find assembly 'RemotePhoneService'")
    else:
        world.connect_error = RuntimeError("no service")
    app = world.run(TIMEOUT, BUSCAR, CLOSE, APAGAR)
    assert capsys.readouterr().out.splitlines() == ["sin dll"]
    # The tray still runs and the search works; after a failed BeginConnect the object stays.
    assert (app.app is None) == (failure == "reference")
    assert [w.title for w in sg.windows] == [""]


# -- the API probe at start -----------------------------------------------------------------

def test_failed_probe_asks_for_the_key_and_tries_again(world, sg):
    world.probes = [False, True]
    app = world.run(APAGAR)
    (name, args, kwargs), = sg.popups
    assert name == "popup_error" and args == ("Error API", "401: clave rechazada")
    assert kwargs["keep_on_top"] is True and png_size(base64.b64decode(kwargs["icon"])) == (55, 55)
    assert world.config_calls == [app.variable]
    assert app.variable.apiteam is world.clients[1] and len(sg.trays) == 1


def test_probe_failing_twice_ends_the_run(world, sg):
    world.probes = [False, False]
    world.lasterror = None  # a client that cannot say why
    app = world.run()
    assert [p[1] for p in sg.popups] == [("Error API", "Revise la clave API y la conexión a Internet"),
                                         ("Error API", "Imposible seguir sin la informaion de API correcta")]
    assert sg.popups[1][2] == {}
    assert sg.trays == [] and world.clr_calls == [] and app.app is None


# -- polling --------------------------------------------------------------------------------

def test_polling_takes_each_new_caller_once_per_turn(world, sg, capsys):
    world.run(poll(""), poll("600 111 222"), poll("600 111 222"), poll(""), poll("600 111 222"),
              poll("1234567"), poll("123456"), poll("1234567"), poll("0034 612 345 678"), APAGAR)

    tray = sg.trays[0]
    assert world.lookups == [("600111222", tray), ("1234567", tray), ("1234567", tray), ("+34612345678", tray)]
    # An extension clears the memory of the last caller, so 1234567 calling again is taken again.
    assert capsys.readouterr().out.splitlines() == ["600 111 222", "1234567", "1234567", "0034 612 345 678"]


def test_unreachable_handset_is_reported_at_each_poll_and_keeps_the_last_caller(world, sg, capsys):
    world.run(poll("600111222"), poll(None), poll(None), poll("600111222"), poll("611000000"), APAGAR)
    assert world.numbers == ["600111222", "611000000"]
    assert capsys.readouterr().out.splitlines() == ["600111222", "APP no activo", "APP no activo", "611000000"]


def test_ultimo_telefono_looks_the_last_caller_up_again(world, sg):
    world.run(poll("600111222"), poll(""), ULTIMO, poll("600111222"), ULTIMO, APAGAR)
    assert world.numbers == ["600111222", "600111222", "600111222"]
    assert [tray is sg.trays[0] for _, tray in world.lookups] == [True] * 3


def test_configurar_starts_a_new_turn_in_the_new_language(world, sg, monkeypatch):
    def choose_english(settings):
        world.config_calls.append(settings)
        conf.idioma("en")
    monkeypatch.setattr(conf.conf, "inicioconfig", choose_english, raising=False)

    # After the new turn, "Ultimo" reads the handset instead of the caller of the old turn.
    world.run(poll("600111222"), CONFIGURAR, at("Last Number::Ultimo", "611222333"), "Exit::Apagar")
    assert world.numbers == ["600111222", "611222333"]
    assert world.lookups[1][1] is sg.trays[1]
    assert sg.trays[0].closed and sg.trays[1].menu[1][0] == "Search::Buscar"


def test_ultimo_telefono_with_nothing_to_read_only_says_so(world, sg):
    world.run(poll(""), ULTIMO, poll(None), ULTIMO, APAGAR)
    assert world.lookups == []
    notices = sg.popups_named("popup_auto_close")
    assert [p[1] for p in notices] == [("No hay ningún número para volver a buscar",)] * 2
    assert notices[0][2]["auto_close_duration"] == 2


def test_ultimo_telefono_without_handset_link(world, sg):
    world.workdir.write_config(config_text(api_key="K", appandroid="No"))
    world.run(ULTIMO, APAGAR)
    assert world.lookups == [] and len(sg.popups_named("popup_auto_close")) == 1


# -- the start-up number --------------------------------------------------------------------

@pytest.mark.parametrize("args, number", [
    (["tel:+34 612 34 56 78"], "612345678"),         # the country code falls away at nine digits
    (["+34", "612", "345", "678"], "612345678"),     # arguments are joined without a separator
    (["12 34"], "1234"),                              # fewer than nine digits: all of them
    (["1234567890 12"], "456789012"),                 # past nine: the last nine characters
    (["abc123 600 111 222"], "600111222"),            # digits glued to letters are no run
    (["0034612345678"], "612345678"),
])
def test_start_up_number(world, sg, args, number):
    world.run(APAGAR, argv=["launcher.py", *args])
    assert world.lookups[0] == (number, None)
    assert len(world.lookups) == 1 and len(sg.trays) == 1


@pytest.mark.parametrize("argv", [["launcher.py"], ["launcher.py", "abc123", "--x"]])
def test_no_start_up_number(world, sg, monkeypatch, argv):
    # Without digits the real lookup is asked for the empty text and turns it away.
    calls = []
    monkeypatch.setattr(crmprocs, "buscateam", lambda *a: calls.append(a[1:]))
    world.run(APAGAR, argv=argv)
    assert calls == ([] if len(argv) == 1 else [("",)])


# -- failures during the run ----------------------------------------------------------------

def test_a_failed_lookup_is_shown_and_polling_goes_on(world, sg):
    import requests
    error = requests.exceptions.ConnectionError("Max retries exceeded\nwith url")
    error.request = requests.Request("GET", "http://127.0.0.1:9/api/x").prepare()
    world.lookup_error = error
    world.run(poll("600111222"), poll("600111222"), poll("611000000"), APAGAR)

    assert world.numbers == ["600111222", "611000000"], "a failed lookup is not retried at every poll"
    errors = sg.popups_named("popup_error")
    assert [p[1] for p in errors] == [("Error", "No se puede conectar con 127.0.0.1:9")] * 2
    assert errors[0][2] == {"keep_on_top": True}


@pytest.mark.parametrize("error, line", [
    (ValueError("first line\nsecond line"), "ValueError: first line"),
    (AttributeError("module 'crmprocs' has no attribute 'alta'"),
     "AttributeError: module 'crmprocs' has no attribute 'alta'"),
    (KeyError("id"), "KeyError: 'id'"),
    (RuntimeError(""), "RuntimeError"),
    # The application's own failures are worded for the user already.
    (RuntimeError("x" * 400), "x" * 157 + "..."),
])
def test_failure_popup_is_one_line(world, sg, error, line):
    world.lookup_error = error
    world.run(poll("600111222"), APAGAR)
    assert sg.popups_named("popup_error")[0][1] == ("Error", line)


def test_time_out_and_unreadable_answer_are_described(world, sg):
    import json
    import requests
    world.lookup_error = requests.exceptions.ReadTimeout("read timed out")
    world.run(poll("600111222"), APAGAR)
    world.lookup_error = json.JSONDecodeError("Expecting value", "<html>", 0)
    world.run(poll("600111222"), APAGAR)
    assert [p[1][1] for p in sg.popups_named("popup_error")] == [
        "El servicio no responde a tiempo", "El servicio ha respondido algo que no se puede leer"]


def test_a_failing_menu_action_is_shown_and_the_tray_goes_on(world, sg, monkeypatch):
    def broken(settings):
        raise OSError("disk full")
    monkeypatch.setattr(conf.conf, "tema", broken, raising=False)
    monkeypatch.setattr(conf.conf, "inicioconfig", broken, raising=False)
    world.run("Aspecto::Aspecto", poll("600111222"), CONFIGURAR, APAGAR)
    assert [p[1][1] for p in sg.popups_named("popup_error")] == ["OSError: disk full"] * 2
    assert world.numbers == ["600111222"] and len(sg.trays) == 2


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_interrupts_are_not_swallowed(world, sg, error):
    world.lookup_error = error()
    with pytest.raises(error):
        world.run(poll("600111222"))
    assert not sg.popups


def test_start_up_lookup_failure_is_shown_and_the_tray_starts(world, sg):
    world.lookup_error = ConnectionResetError("reset by peer")
    world.run(APAGAR, argv=["launcher.py", "600111222"])
    assert sg.popups_named("popup_error")[0][1] == ("Error", "ConnectionResetError: reset by peer")
    assert len(sg.trays) == 1


# -- the manual search window ---------------------------------------------------------------

def typed(text):
    return Step("-tlf-", {"-tlf-": text}, on="")


def test_search_window_layout_and_settings(world, sg):
    world.workdir.write_config(config_text(api_key="K", autocierre="3"))
    world.run("__ACTIVATED__", CLOSE, APAGAR)
    window, = sg.windows
    assert window.title == "" and window.closed
    assert window.kwargs == {"return_keyboard_events": True, "force_toplevel": True,
                             "icon": conf.foldimg("img") + "/hola.png", "auto_close": True,
                             "auto_close_duration": 30}
    (text,), (field,), (button,) = window.layout
    assert (text.kind, text.args, text.kwargs) == ("Text", ("Telefono:",), {"font": "Any 20"})
    assert field.kind == "Input" and field.kwargs == {"key": "-tlf-", "size": (15, 0), "font": "Any 14",
                                                      "enable_events": True, "focus": True}
    assert button.args == ("Buscar",) and button.kwargs == {"p": (0, 5), "font": "Any 20", "key": "buscar",
                                                           "expand_x": 10}
    assert world.lookups == []


@pytest.mark.parametrize("enter", ["\r", "Return:36", "KP_Enter:104", "buscar"])
def test_search_with_enter_or_the_button(world, sg, enter):
    world.run(BUSCAR, typed("+34 612 34 56 78"), Step(enter, on=""), APAGAR)
    assert world.lookups == [("+34612345678", None)]
    field = sg.windows[0]["-tlf-"]
    assert field.updates == [((), {"background_color": "Blue"})] and sg.windows[0].closed


def test_search_field_colours_and_what_cannot_be_searched(world, sg):
    world.run(BUSCAR,
              typed("a"), typed("ab"),                  # one letter: unchanged; two: orange
              typed("612-345-678"), Step("Return:36"),  # dashes: orange, Enter does nothing
              typed(""),                                # clearing keeps the last colour
              typed("61234567"), Step("buscar"),        # valid but eight characters: nothing
              Step("a:38"), Step("Shift_L:50"),          # other keys are ignored
              typed("6 12345 6"), Step("\r"),           # nine with two blanks: seven digits go
              APAGAR)
    colours = [kw["background_color"] for _, kw in sg.windows[0]["-tlf-"].updates]
    assert colours == ["orange", "orange", "Blue", "Blue"]
    assert world.lookups == [("6123456", None)]


def test_search_window_closed_without_searching(world, sg):
    world.run(BUSCAR, typed("612345678"), CLOSE, APAGAR)
    assert world.lookups == [] and sg.windows[0].closed


def test_search_window_closes_when_the_lookup_fails(world, sg):
    world.lookup_error = ValueError("not a list")
    world.run(BUSCAR, typed("612345678"), Step("\r"), TIMEOUT, APAGAR)
    assert sg.windows[0].closed
    assert sg.popups_named("popup_error")[0][1] == ("Error", "ValueError: not a list")
