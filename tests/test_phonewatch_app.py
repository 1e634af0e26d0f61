"""The tray application with the scripted toolkit: start-up, the menu, the polling of the
handset, the turns, the start-up number, the manual search window and what the user sees when
something fails. The API client, the handset link and the lookup are small fakes here; the
lookup itself is tested over HTTP in test_lookup.py."""
import base64
import struct
import sys
import threading
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
    """Application object of the handset link; ActiveNumber as the test sets it. Reads made
    from other threads than the main one are noted, with the number they saw."""

    def __init__(self, name):
        self.name = name
        self.number = ""
        self.connected = []
        self.background_reads = []
        self.read = threading.Condition()

    def BeginConnect(self, flag):
        self.connected.append(flag)

    @property
    def Phone(self):
        return self

    @property
    def ActiveNumber(self):
        with self.read:
            if threading.current_thread() is not threading.main_thread():
                self.background_reads.append(self.number)
                self.read.notify_all()
        if self.number is None:
            raise OSError("handset unreachable")
        return self.number

    def show_until_read(self, number):
        """Shows `number` until a background read has seen it."""
        with self.read:
            self.number = number
            seen = len(self.background_reads)
            assert self.read.wait_for(lambda: self.background_reads[seen:].count(number), timeout=10), \
                f"no background read saw {number!r}"


class FakeClient:
    """The API client as the tray sees it. Each probe (at construction and each probar) takes the
    next of the world's answers: True, False (a refused key) or "offline" (no network)."""

    def __init__(self, world):
        self.world = world
        self.probe_threads = []
        self._answer()
        world.clients.append(self)

    def _answer(self):
        answer = self.world.probes.pop(0) if self.world.probes else True
        self.estado = answer is True
        self.sin_conexion = answer == "offline"
        self.lasterror = {True: "", False: self.world.lasterror}.get(answer, "connection refused: http://holded")

    def probar(self):
        self.probe_threads.append(threading.current_thread())
        self._answer()
        return self.estado


class World:
    def __init__(self, workdir, sg, monkeypatch):
        self.workdir, self.sg, self.monkeypatch = workdir, sg, monkeypatch
        self.probes, self.clients, self.lasterror = [], [], "401: clave rechazada"
        self.lookups, self.lookup_error = [], None
        self.while_looking_up = []  # numbers the handset shows in turn during the first lookup
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
            # A probe of Holded started in the background has ended before the tray reads again.
            for thread in threading.enumerate():
                if thread.name == "holded-probe":
                    thread.join(10)
            step = original(reader)
            if hasattr(step, "handset") and self.handset is not None:
                self.handset.number = step.handset
            return step
        monkeypatch.setattr(sg, "_next_step", next_step)

    def _buscateam(self, app, number, tray=None):
        self.lookups.append((number, tray))
        shown, self.while_looking_up = self.while_looking_up, []
        for other in shown:
            self.handset.show_until_read(other)
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


def test_holded_unreachable_at_start_the_tray_starts_and_retries_in_the_background(world, sg, monkeypatch):
    monkeypatch.setattr(phonewatch, "RETRY_SECONDS", 0)
    world.probes = ["offline", "offline", True]
    app = world.run(poll("600111222"), TIMEOUT, TIMEOUT, TIMEOUT, APAGAR)

    # No popup and no configuration window: the network may simply not be up yet.
    assert not sg.popups and world.config_calls == [] and len(world.clients) == 1
    client, = world.clients
    assert app.variable.apiteam is client and world.numbers == ["600111222"]
    assert len(client.probe_threads) == 2 and threading.main_thread() not in client.probe_threads
    tray, = sg.trays
    # The notice gives the cause first.
    assert [m[:2] for m in tray.messages[:2]] == [
        ("Sin conexión con Holded", "connection refused: http://holded\n"
         "Holded no responde. Se volverá a intentar cada minuto; las búsquedas pueden fallar mientras tanto."),
        ("Conexión con Holded", "Holded vuelve a responder.")]
    assert tray.messages[0][2] == sg.SYSTEM_TRAY_MESSAGE_ICON_WARNING


def test_holded_unreachable_after_a_refused_key_starts_the_tray(world, sg):
    world.probes = [False, "offline"]
    world.run(APAGAR)
    assert [p[1][0] for p in sg.popups] == ["Error API"] and len(world.config_calls) == 1
    assert len(sg.trays) == 1 and sg.trays[0].messages[0][0] == "Sin conexión con Holded"


def test_holded_back_but_refusing_the_key_says_so_once_and_stops_retrying(world, sg, monkeypatch):
    monkeypatch.setattr(phonewatch, "RETRY_SECONDS", 0)
    world.probes = ["offline", False]
    world.run(TIMEOUT, TIMEOUT, TIMEOUT, TIMEOUT, APAGAR)
    assert [p[1] for p in sg.popups_named("popup_error")] == [("Error API", "401: clave rechazada")]
    assert len(world.clients[0].probe_threads) == 1


# -- polling --------------------------------------------------------------------------------

def test_polling_takes_each_call_once_and_a_call_back_again(world, sg, capsys):
    world.run(poll(""), poll("600 111 222"), poll("600 111 222"), poll(""), poll("600 111 222"),
              poll("1234567"), poll("123456"), poll("1234567"), poll("0034 612 345 678"), APAGAR)

    tray = sg.trays[0]
    # The same call seen at two polls is one call; after the line went idle, or an extension
    # rang in between, the same number calling again is a new call.
    assert world.lookups == [("600111222", tray), ("600111222", tray), ("1234567", tray), ("1234567", tray),
                             ("+34612345678", tray)]
    assert capsys.readouterr().out.splitlines() == ["600 111 222", "600 111 222", "1234567", "1234567",
                                                    "0034 612 345 678"]


def test_handset_numbers_are_cleaned_and_numbers_without_digits_never_looked_up(world, sg, capsys):
    world.run(poll("#31#622334455"), poll(""), poll("*31# 600 111 222"), poll("\u202a611\u00a0222\t333\u202c"),
              poll("６２２３３４４５５"), poll("٦١١٠٠٠٠٠٠"), poll("#31#"), poll("Número privado"),
              poll("#31#1234"), APAGAR)
    assert world.numbers == ["622334455", "600111222", "611222333", "622334455", "611000000"]
    assert "#31#" not in capsys.readouterr().out.splitlines()


def test_unreachable_handset_is_reported_at_each_poll_and_keeps_the_last_caller(world, sg, capsys):
    world.run(poll("600111222"), poll(None), poll(None), poll("600111222"), poll("611000000"), APAGAR)
    assert world.numbers == ["600111222", "611000000"]
    assert capsys.readouterr().out.splitlines() == ["600111222", "APP no activo", "APP no activo", "611000000"]


def test_calls_that_ring_during_a_lookup_are_looked_up_after_it_in_order(world, sg, monkeypatch):
    monkeypatch.setattr(phonewatch, "POLL_SECONDS", 0.01)
    # While the first lookup holds the GUI thread (a form, a popup), two more callers ring.
    world.while_looking_up = ["611000000", "", "622000000"]
    world.run(poll("600111222"), poll("622000000"), APAGAR)
    # The second caller still on the line at the next poll is the same call, not a new one.
    assert world.numbers == ["600111222", "611000000", "622000000"]
    assert [tray is sg.trays[0] for _, tray in world.lookups] == [True] * 3
    assert not any(t.name == "handset-watch" for t in threading.enumerate()), "the reader outlived the lookup"


def test_ultimo_telefono_looks_the_last_caller_up_again(world, sg):
    # The poll after the idle one is the caller calling back: a new call, looked up too.
    world.run(poll("600111222"), poll(""), ULTIMO, poll("600111222"), ULTIMO, APAGAR)
    assert world.numbers == ["600111222"] * 4
    assert [tray is sg.trays[0] for _, tray in world.lookups] == [True] * 4


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
    (["+44 20 7946 0958"], "+442079460958"),        # a foreign number is kept whole
    (["tel:0044", "20 7946 0958"], "+442079460958"),
    (["#31#622334455"], "622334455"),                  # the caller-ID prefix is no part of it
    (["٦٢٢ ٣٣٤ ٤٥٥"], "622334455"),                    # digits of another script
])
def test_start_up_number(world, sg, args, number):
    world.run(APAGAR, argv=["launcher.py", *args])
    assert world.lookups[0] == (number, None)
    assert len(world.lookups) == 1 and len(sg.trays) == 1


@pytest.mark.parametrize("argv", [["launcher.py"], ["launcher.py", "abc123", "--x"], ["launcher.py", "#31#"]])
def test_no_start_up_number(world, sg, argv):
    # Without a digit there is nothing to look up (an empty filter would match every contact
    # without a phone).
    world.run(APAGAR, argv=argv)
    assert world.lookups == []


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


def test_search_cleans_a_pasted_number_and_refuses_one_without_digits(world, sg):
    world.run(BUSCAR, typed(" " * 9), Step("\r"), typed("+" * 9), Step("buscar"),
              typed("#31#\u00a0612\u200b345\t678"), Step("\r"), APAGAR)
    assert world.lookups == [("612345678", None)]
    assert sg.windows[0]["-tlf-"].updates[-1] == ((), {"background_color": "Blue"})


def test_search_window_closed_without_searching(world, sg):
    world.run(BUSCAR, typed("612345678"), CLOSE, APAGAR)
    assert world.lookups == [] and sg.windows[0].closed


def test_search_window_closes_when_the_lookup_fails(world, sg):
    world.lookup_error = ValueError("not a list")
    world.run(BUSCAR, typed("612345678"), Step("\r"), TIMEOUT, APAGAR)
    assert sg.windows[0].closed
    assert sg.popups_named("popup_error")[0][1] == ("Error", "ValueError: not a list")
