"""The tray application with the scripted toolkit: start-up, the menu, the handset watch and
the presentation of calls on their own threads, the turns, the status line, the start-up number,
the manual search window and what the user sees when something fails. The API client, the
handset link and the lookups are small fakes here; the lookup itself is tested over HTTP in
test_lookup.py, the real tray in tests/gui/test_tray_gui.py."""
import base64
import os
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
from tests.toolkit_double import CLOSE, Step, Until

TIMEOUT = "__TIMEOUT__"
APAGAR = "Apagar::Apagar"
ULTIMO = "Ultimo Telefono::Ultimo"
BUSCAR = "Buscar::Buscar"
CONFIGURAR = "Configurar::Configurar"
ENTRIES = ["Buscar::Buscar", "Ultimo Telefono::Ultimo", "Llamadas recientes::Recientes", "---",
           "Configurar::Configurar", "Aspecto::Aspecto", "---", "Acerca de::Acerca de", "Apagar::Apagar"]
ANA = {"id": "a1", "name": "Ana Ruiz"}


class FakeHandset:
    """Application object of the handset link; ActiveNumber as the test sets it (None: the
    handset cannot be reached). Reads made from other threads than the main one are noted."""

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
    def __init__(self, workdir, sg, monkeypatch, browser):
        self.workdir, self.sg, self.monkeypatch, self.browser = workdir, sg, monkeypatch, browser
        self.probes, self.clients, self.lasterror = [], [], "401: clave rechazada"
        self.lookups, self.lookup_error = [], None     # the GUI thread's lookups (start-up, search)
        self.found, self.contacts = [], {}              # the presenter's lookups, and their answers
        self.forms, self.during_form = [], None          # forms opened, and what happens in the first
        self.handset = None
        self.clr_calls, self.clr_error, self.connect_error = [], None, None
        self.config_calls, self.opened = [], []
        workdir.write_config(config_text(api_key="K" * 32, appandroid="Si"))

        monkeypatch.setattr(phonewatch, "POLL_SECONDS", 0.01)
        monkeypatch.setattr(crmapi, "crmapi", lambda: FakeClient(self))
        monkeypatch.setattr(crmprocs, "buscateam", self._buscateam)
        monkeypatch.setattr(crmprocs, "buscar_contactos", self._buscar_contactos)
        monkeypatch.setattr(crmprocs, "alta", self._alta)
        monkeypatch.setattr(conf.conf, "inicioconfig", lambda settings: self.config_calls.append(settings),
                            raising=False)
        monkeypatch.setattr(conf.conf, "tema", lambda settings: self.opened.append("tema"), raising=False)
        monkeypatch.setattr(conf, "Acercade", lambda: self.opened.append("acerca"), raising=False)
        self._fake_handset_link()

    def _buscateam(self, app, number, tray=None, origen="busqueda"):
        self.lookups.append((number, tray))
        if self.lookup_error is not None:
            raise self.lookup_error

    def _buscar_contactos(self, app, number):
        self.found.append(number)
        if self.lookup_error is not None:
            raise self.lookup_error
        return list(self.contacts.get(number, []))

    def _alta(self, app, number):
        self.forms.append(number)
        during, self.during_form = self.during_form, None
        if during is not None:
            during()

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

    # -- what the steps wait for ------------------------------------------------------------

    def ring(self, number):
        """The handset shows `number` (None: unreachable) until the watch has read it."""
        return Until(lambda: True, f"a read of {number!r}", before=lambda: self.handset.show_until_read(number))

    def until(self, condition, what):
        return Until(condition, what)

    def found_count(self, count):
        return Until(lambda: len(self.found) >= count, f"{count} lookups of calls (have {self.found!r})")

    def notice_count(self, count):
        return Until(lambda: len(self.notices) >= count, f"{count} notices (have {self.notices!r})")

    @property
    def notices(self):
        return [message[:2] for tray in self.sg.trays for message in tray.messages]

    @property
    def numbers(self):
        return [number for number, _ in self.lookups]


@pytest.fixture
def world(workdir, sg, monkeypatch, browser):
    return World(workdir, sg, monkeypatch, browser)


def page(contact_id):
    return os.environ.get("HOLDED_APP_URL", "https://app.holded.com/").rstrip("/") + "/contacts/" + contact_id


def png_size(data):
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", data[16:24])


def status_of(tray):
    """The status line: the first entry of the tray's menu, shown but not a choice."""
    status, separator, *_ = tray.menu[1]
    assert status.startswith("!") and separator == "---"
    return status[1:]


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
    assert tray.menu[0] == "UNUSED" and tray.menu[1][2:] == ENTRIES
    assert status_of(tray) == "Holded: conectado · Teléfono: enlazado · Índice: desactivado"
    assert tray.tooltip == status_of(tray)
    assert isinstance(tray.data_base64, bytes) and png_size(base64.b64decode(tray.data_base64)) == (55, 55)
    assert tray.messages == [("Saliendo", "!!Tenga un buen dia!!", sg.SYSTEM_TRAY_MESSAGE_ICON_INFORMATION)]
    assert tray.closed, "the tray window goes away with the run"
    assert world.lookups == [] and world.found == [] and not sg.popups
    assert "sin dll" not in capsys.readouterr().out
    assert not [t for t in threading.enumerate() if t.name in ("handset-watch", "call-presenter")], \
        "the threads of the run outlived it"


def test_menu_follows_the_language_and_events_match_on_their_key(world, sg):
    world.workdir.write_config(config_text(api_key="K", idioma="en"))
    world.run("Appearance::Aspecto", "About::Acerca de", "Exit::Apagar")
    assert world.opened == ["tema", "acerca"]

    assert sg.trays[0].menu[1][2:] == ["Search::Buscar", "Last Number::Ultimo", "Recent calls::Recientes", "---",
                                       "Settings::Configurar", "Appearance::Aspecto", "---", "About::Acerca de",
                                       "Exit::Apagar"]
    assert status_of(sg.trays[0]).startswith("Holded: connected · Phone: ")
    assert sg.trays[0].messages[-1][:2] == ("Exiting", "!!Have a nice day!!")


def test_menu_entries_run_their_windows(world, sg):
    world.run("Aspecto::Aspecto", "Acerca de::Acerca de", "Aspecto::Aspecto", APAGAR)
    assert world.opened == ["tema", "acerca", "tema"]


def test_handset_link_switched_off(world, sg, capsys):
    world.workdir.write_config(config_text(api_key="K", appandroid="No"))
    app = world.run(TIMEOUT, APAGAR)
    assert app.app is None and world.clr_calls == [] and world.found == []
    assert "Teléfono: desactivado en Configurar" in status_of(sg.trays[0])
    assert "sin dll" not in capsys.readouterr().out


def test_a_first_start_says_that_the_handset_link_is_off(world, sg, monkeypatch, tmp_path):
    # The component is there, but a new config.ini keeps the link off until Configurar says "Si".
    (tmp_path / "dll").mkdir()
    (tmp_path / "dll" / "RemotePhoneService.dll").write_bytes(b"MZ")
    foldimg = conf.foldimg
    monkeypatch.setattr(conf, "foldimg", lambda cdir: str(tmp_path / "dll") if cdir == "dll" else foldimg(cdir))
    world.workdir.config.unlink()
    monkeypatch.setenv("LANG", "es_ES.UTF-8")
    world.run(TIMEOUT, APAGAR)
    assert world.clr_calls == [] and len(world.config_calls) == 1
    assert world.notices[0] == ("Teléfono desactivado", "El enlace con el teléfono está desactivado: actívelo en "
                                                          "Configurar para ver quién llama.")


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
    assert ("sin componente" in status_of(sg.trays[0])) == (failure == "reference")


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
    offline = []
    app = world.run(Until(lambda: offline.append(status_of(sg.trays[0])) or True, "the status line"),
                    world.notice_count(2), APAGAR)

    # No popup and no configuration window: the network may simply not be up yet.
    assert not sg.popups and world.config_calls == [] and len(world.clients) == 1
    client, = world.clients
    assert app.variable.apiteam is client
    assert len(client.probe_threads) == 2 and threading.main_thread() not in client.probe_threads
    assert offline[0].startswith("Holded: sin conexión desde ")
    tray, = sg.trays
    # One notice when it is lost (the cause first), one when it is back; the icon follows.
    assert tray.messages[:2] == [
        ("Sin conexión con Holded", "connection refused: http://holded\n"
         "Holded no responde. Se volverá a intentar cada minuto; las búsquedas pueden fallar mientras tanto.",
         sg.SYSTEM_TRAY_MESSAGE_ICON_WARNING),
        ("Conexión con Holded", "Holded vuelve a responder.", sg.SYSTEM_TRAY_MESSAGE_ICON_INFORMATION)]
    assert tray.pictures[0].endswith("tray-alert-32.png") and isinstance(tray.pictures[-1], bytes)


def test_holded_unreachable_after_a_refused_key_starts_the_tray(world, sg):
    world.probes = [False, "offline"]
    world.run(world.notice_count(1), APAGAR)
    assert [p[1][0] for p in sg.popups] == ["Error API"] and len(world.config_calls) == 1
    assert len(sg.trays) == 1 and sg.trays[0].messages[0][0] == "Sin conexión con Holded"


def test_holded_back_but_refusing_the_key_says_so_once_and_stops_retrying(world, sg, monkeypatch):
    monkeypatch.setattr(phonewatch, "RETRY_SECONDS", 0)
    world.probes = ["offline", False]
    world.run(world.until(lambda: sg.popups_named("popup_error"), "the refusal"), TIMEOUT, TIMEOUT, APAGAR)
    assert [p[1] for p in sg.popups_named("popup_error")] == [("Error API", "401: clave rechazada")]
    assert len(world.clients[0].probe_threads) == 1
    assert "Holded: clave rechazada" in status_of(sg.trays[0])


# -- the handset watch and the presentation of calls -----------------------------------------

def test_each_call_is_taken_once_and_a_call_back_again(world, sg, capsys):
    world.run(world.ring(""), world.ring("600 111 222"), world.ring("600 111 222"), world.ring(""),
              world.ring("600 111 222"), world.ring("1234567"), world.ring("123456"), world.ring("1234567"),
              world.ring("0034 612 345 678"), world.found_count(5), APAGAR)

    # The same call seen at two reads is one call; after the line went idle, or an extension
    # rang in between, the same number calling again is a new call.
    assert world.found == ["600111222", "600111222", "1234567", "1234567", "+34612345678"]
    assert capsys.readouterr().out.splitlines() == ["600 111 222", "600 111 222", "1234567", "1234567",
                                                    "0034 612 345 678"]


def test_handset_numbers_are_cleaned_and_numbers_without_digits_never_looked_up(world, sg, capsys):
    world.run(*map(world.ring, ["#31#622334455", "", "*31# 600 111 222", "\u202a611\u00a0222\t333\u202c",
                                "６２２３３４４５５", "٦١١٠٠٠٠٠٠", "#31#", "Número privado", "#31#1234",
                                "\x00622\x07334\x1b455\x7f\x9b"]),
              world.found_count(6), APAGAR)
    assert world.found == ["622334455", "600111222", "611222333", "622334455", "611000000", "622334455"]
    # Control characters never reach standard output.
    printed = capsys.readouterr().out
    assert "#31#" not in printed.splitlines() and "\x1b" not in printed and "\x00" not in printed


def test_an_unreachable_handset_is_reported_once_and_keeps_the_last_caller(world, sg, capsys):
    world.run(world.ring("600111222"), world.ring(None), world.ring(None), world.ring("600111222"),
              world.ring("611000000"), world.found_count(2), APAGAR)
    assert world.found == ["600111222", "611000000"]
    assert capsys.readouterr().out.splitlines() == ["600111222", "APP no activo", "611000000"]


def test_a_handset_lost_and_back_gives_one_notice_each(world, sg, monkeypatch):
    monkeypatch.setattr(phonewatch, "SILENCE_SECONDS", 0.2)
    lost = []
    world.run(world.ring(None), world.notice_count(1), Until(lambda: lost.append(status_of(sg.trays[0])) or True, ""),
              world.ring(""), world.notice_count(2), TIMEOUT, APAGAR)
    assert [n[0] for n in world.notices] == ["Teléfono sin respuesta", "Teléfono enlazado", "Saliendo"]
    assert "Teléfono: sin respuesta desde " in lost[0]
    assert "Teléfono: enlazado" in status_of(sg.trays[0])


def test_a_known_caller_is_shown_while_a_form_holds_the_gui_thread(world, sg, browser):
    world.contacts = {"600111222": [ANA]}
    seen_in_form = []

    def form_open():
        # The form of an unknown caller is open (the GUI thread waits in it) when Ana rings.
        world.handset.show_until_read("600111222")
        for _ in range(500):
            if browser.urls:
                break
            threading.Event().wait(0.01)
        seen_in_form.extend(browser.urls)
    world.during_form = form_open
    world.run(world.ring("699000111"), world.until(lambda: world.forms, "the form"), world.notice_count(2), APAGAR)

    assert world.forms == ["699000111"]
    assert seen_in_form == [page("a1")]
    assert world.notices[:2] == [("Verificando", "Llamada de 699000111: no está en Holded"),
                                 ("Verificando", "Telefono 600111222\nAna Ruiz")]


def test_callers_without_a_contact_wait_merged_and_at_most_five(world, sg):
    unknown = ["611000001", "611000002", "611000003", "611000004", "611000005", "611000006", "611000007"]

    def form_open():
        # Seven callers ring while the first form is open, the fourth twice.
        for number in unknown[:4] + ["", unknown[3]] + unknown[4:]:
            world.handset.show_until_read(number)
        for _ in range(1000):
            if len(world.found) == 9:
                break
            threading.Event().wait(0.01)
    world.during_form = form_open
    world.run(world.ring("699000111"), world.until(lambda: len(world.forms) == 6, "the forms"), APAGAR)
    # The oldest two were dropped (their notices were shown); the fourth caller is one form.
    assert world.forms == ["699000111"] + unknown[2:]
    assert sum(1 for n in world.notices if n[1].endswith("no está en Holded")) == 9


def test_ultimo_telefono_looks_the_last_caller_up_again(world, sg):
    # The ring after the idle one is the caller calling back: a new call, looked up too.
    world.run(world.ring("600111222"), world.found_count(1), world.ring(""), ULTIMO, world.found_count(2),
              world.ring("600111222"), world.found_count(3), ULTIMO, world.found_count(4), APAGAR)
    assert world.found == ["600111222"] * 4


def test_configurar_starts_a_new_turn_in_the_new_language(world, sg, monkeypatch):
    def choose_english(settings):
        world.config_calls.append(settings)
        conf.idioma("en")
    monkeypatch.setattr(conf.conf, "inicioconfig", choose_english, raising=False)

    # After the new turn, "Ultimo" reads the handset (idle now) instead of the caller of the old turn.
    world.run(world.ring("600111222"), world.found_count(1), world.ring(""), CONFIGURAR, "Last Number::Ultimo",
              world.until(lambda: sg.trays[-1].messages, "a notice"), "Exit::Apagar")
    assert world.found == ["600111222"]
    assert sg.trays[1].messages[0][:2] == ("Last Number", "There is no number to look up again")
    assert sg.trays[0].closed and sg.trays[1].menu[1][2] == "Search::Buscar"


def test_ultimo_telefono_with_nothing_to_read_only_says_so(world, sg):
    world.run(world.ring(""), ULTIMO, world.notice_count(1), world.ring(None), ULTIMO, world.notice_count(2), APAGAR)
    assert world.found == [] and not sg.popups
    assert world.notices[:2] == [("Ultimo Telefono", "No hay ningún número para volver a buscar")] * 2


def test_ultimo_telefono_without_handset_link(world, sg):
    world.workdir.write_config(config_text(api_key="K", appandroid="No"))
    world.run(ULTIMO, world.notice_count(1), APAGAR)
    assert world.found == [] and world.notices[0][0] == "Ultimo Telefono"


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
    world.run(world.found_count(1), APAGAR, argv=["launcher.py", *args])
    assert world.found == [number] and world.lookups == []  # looked up off the GUI thread
    assert len(sg.trays) == 1


@pytest.mark.parametrize("argv", [["launcher.py"], ["launcher.py", "abc123", "--x"], ["launcher.py", "#31#"]])
def test_no_start_up_number(world, sg, argv):
    # Without a digit there is nothing to look up (an empty filter would match every contact
    # without a phone).
    world.run(APAGAR, argv=argv)
    assert world.found == world.lookups == []


# -- failures during the run ----------------------------------------------------------------

def test_a_failed_lookup_is_told_and_the_watch_goes_on(world, sg):
    import requests
    error = requests.exceptions.ConnectionError("Max retries exceeded\nwith url")
    error.request = requests.Request("GET", "http://127.0.0.1:9/api/x").prepare()
    world.lookup_error = error
    world.run(world.ring("600111222"), world.ring("600111222"), world.ring("611000000"), world.found_count(2),
              world.notice_count(3), APAGAR)

    assert world.found == ["600111222", "611000000"], "a failed lookup is not retried at every read"
    # No popup holds the GUI thread: a notice names the number and the cause, and one more says
    # that Holded is lost (once).
    assert not sg.popups
    assert world.notices[:3] == [("Verificando", "Llamada de 600111222: No se puede conectar con 127.0.0.1:9"),
                                 ("Sin conexión con Holded", "No se puede conectar con 127.0.0.1:9\nHolded no responde."
                                  " Se volverá a intentar cada minuto; las búsquedas pueden fallar mientras tanto."),
                                 ("Verificando", "Llamada de 611000000: No se puede conectar con 127.0.0.1:9")]


@pytest.mark.parametrize("error, line", [
    (ValueError("first line\nsecond line"), "ValueError: first line"),
    (KeyError("id"), "KeyError: 'id'"),
    (RuntimeError(""), "RuntimeError"),
    # The application's own failures are worded for the user already.
    (RuntimeError("x" * 400), "x" * 157 + "..."),
])
def test_a_failure_is_told_in_one_line(world, sg, error, line):
    world.lookup_error = error
    world.run(world.ring("600111222"), world.notice_count(1), APAGAR)
    assert world.notices[0] == ("Verificando", "Llamada de 600111222: " + line)


def test_time_out_and_unreadable_answer_are_described(world, sg):
    import json
    import requests
    world.lookup_error = requests.exceptions.ReadTimeout("read timed out")
    world.run(world.ring("600111222"), world.notice_count(1), APAGAR)
    world.lookup_error = json.JSONDecodeError("Expecting value", "<html>", 0)
    world.run(world.ring("611000000"), world.notice_count(4), APAGAR)
    assert [n[1] for n in world.notices if n[1].startswith("Llamada")] == [
        "Llamada de 600111222: El servicio no responde a tiempo",
        "Llamada de 611000000: El servicio ha respondido algo que no se puede leer"]


def test_a_failing_menu_action_is_shown_and_the_tray_goes_on(world, sg, monkeypatch):
    def broken(settings):
        raise OSError("disk full")
    monkeypatch.setattr(conf.conf, "tema", broken, raising=False)
    monkeypatch.setattr(conf.conf, "inicioconfig", broken, raising=False)
    world.run("Aspecto::Aspecto", world.ring("600111222"), CONFIGURAR, world.found_count(1), APAGAR)
    assert [p[1][1] for p in sg.popups_named("popup_error")] == ["OSError: disk full"] * 2
    assert world.found == ["600111222"] and len(sg.trays) == 2


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_interrupts_are_not_swallowed(world, sg, error):
    def interrupt():
        raise error()
    world.during_form = interrupt
    with pytest.raises(error):
        world.run(world.ring("600111222"), world.until(lambda: False, "the form's interrupt"))
    sg.steps.clear()  # the wait for the interrupt is cut short by it
    assert not sg.popups
    assert not [t for t in threading.enumerate() if t.name in ("handset-watch", "call-presenter")]


def test_start_up_lookup_failure_is_told_and_the_tray_starts(world, sg):
    world.lookup_error = ConnectionResetError("reset by peer")
    world.run(world.notice_count(1), APAGAR, argv=["launcher.py", "600111222"])
    assert world.notices[0] == ("Verificando", "Telefono 600111222: ConnectionResetError: reset by peer")
    assert not sg.popups and len(sg.trays) == 1


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
    (text,), (field,), (hint,), (button,) = window.layout
    assert (text.kind, text.args, text.kwargs) == ("Text", ("Telefono:",), {"font": "Any 20"})
    assert hint.kind == "Text" and hint.key == "-HINT-"
    assert field.kind == "Input" and field.kwargs == {"key": "-tlf-", "size": (15, 0), "font": "Any 14",
                                                      "enable_events": True, "focus": True}
    assert button.args == ("Buscar",) and button.kwargs == {"p": (0, 5), "font": "Any 20", "key": "buscar",
                                                           "expand_x": 10}
    assert world.lookups == []


@pytest.mark.parametrize("enter", ["\r", "Return:36", "KP_Enter:104", "buscar"])
def test_search_with_enter_or_the_button(world, sg, enter):
    world.run(BUSCAR, typed("+34 612 34 56 78"), Step(enter, on=""), world.found_count(1), APAGAR)
    assert world.found == ["+34612345678"] and world.lookups == []
    field = sg.windows[0]["-tlf-"]
    assert field.updates == [((), {"background_color": "Blue"})] and sg.windows[0].closed


def test_search_field_colours_and_what_cannot_be_searched(world, sg):
    world.run(BUSCAR,
              typed("a"), typed("ab"),                  # one letter: unchanged; two: orange
              typed("612-345-678"), Step("Return:36"),  # dashes: orange, Enter does nothing
              typed(""),                                # clearing keeps the last colour
              typed("61234567"), Step("buscar"),        # eight characters cannot be searched: orange
              Step("a:38"), Step("Shift_L:50"),          # other keys are ignored
              typed("6 12345 6"), Step("\r"),           # nine with two blanks: seven digits go
              world.found_count(1), APAGAR)
    colours = [kw["background_color"] for _, kw in sg.windows[0]["-tlf-"].updates]
    assert colours == ["orange", "orange", "orange", "Blue"]
    # Not by colour alone: a hint says what is wanted while the text cannot be searched.
    hints = [kw["value"] for _, kw in sg.windows[0]["-HINT-"].updates]
    assert hints == ["Escriba un teléfono de al menos 9 cifras"] * 3 + [""]
    assert world.found == ["6123456"]


def test_search_cleans_a_pasted_number_and_refuses_one_without_digits(world, sg):
    world.run(BUSCAR, typed(" " * 9), Step("\r"), typed("+" * 9), Step("buscar"),
              typed("#31#\u00a0612\u200b345\t678"), Step("\r"), world.found_count(1), APAGAR)
    assert world.found == ["612345678"]
    assert sg.windows[0]["-tlf-"].updates[-1] == ((), {"background_color": "Blue"})


@pytest.mark.parametrize("close", [CLOSE, Step("Escape:9", on=""), Step("\x1b", on="")])
def test_search_window_closed_without_searching(world, sg, close):
    world.run(BUSCAR, typed("612345678"), close, APAGAR)
    assert world.found == [] and sg.windows[0].closed


def test_a_failed_search_is_told_without_holding_the_tray(world, sg):
    world.lookup_error = ValueError("not a list")
    world.run(BUSCAR, typed("612345678"), Step("\r"), world.notice_count(1), APAGAR)
    assert sg.windows[0].closed and not sg.popups
    assert world.notices[0] == ("Verificando", "Telefono 612345678: ValueError: not a list")


# -- the call log ---------------------------------------------------------------------------

def logged(workdir):
    import sqlite3
    with sqlite3.connect(workdir.path / "llamadas.sqlite3") as db:
        return db.execute("SELECT number, source, contacts, outcome, detail, event FROM calls ORDER BY id").fetchall()


def test_every_call_is_logged_with_where_it_came_from_and_what_happened(world, sg, workdir):
    import requests
    world.contacts = {"600111222": [ANA]}
    failing = requests.exceptions.ConnectionError("refused")

    def fail_once(app, number):
        world.found.append(number)
        if number == "611000000":
            raise failing
        return list(world.contacts.get(number, []))
    world.monkeypatch.setattr(crmprocs, "buscar_contactos", fail_once)
    world.run(world.ring("600111222"), world.ring(""), world.ring("699000111"), world.ring(""),
              world.ring("12345"), world.ring("Número privado"), world.ring("611000000"), world.found_count(3),
              ULTIMO, world.found_count(4), world.until(lambda: world.forms, "the form"), APAGAR)
    assert logged(workdir) == [
        ("600111222", "telefono", '[{"id": "a1", "name": "Ana Ruiz"}]', "pagina", "", ""),
        ("699000111", "telefono", "[]", "formulario", "", ""),
        ("12345", "telefono", "[]", "corto", "", ""),
        ("Número privado", "telefono", "[]", "oculto", "", ""),
        ("611000000", "telefono", "[]", "sin_conexion", "No se puede conectar con el servicio", ""),
        ("611000000", "ultimo", "[]", "sin_conexion", "No se puede conectar con el servicio", "")]


def test_calls_of_known_callers_are_logged_in_holded_when_the_settings_say_so(world, sg, workdir):
    world.workdir.write_config(config_text(api_key="K" * 32, appandroid="Si", registrar_llamadas="Si"))
    world.contacts = {"600111222": [ANA, {"id": "b2", "name": "Luis"}]}
    events = []

    def run_with_events(*steps):
        def evento(contacto, nombre, inicio, descripcion):
            events.append((contacto, nombre))
            return f"e{len(events)}"
        world.monkeypatch.setattr(FakeClient, "Evento", lambda self, *args: evento(*args), raising=False)
        world.run(*steps)
    run_with_events(world.ring("600111222"), world.ring(""), world.ring("699000111"), world.found_count(2),
                    world.until(lambda: world.forms, "the form"), APAGAR)
    # One event per call of a known caller (for its first contact), none for an unknown one.
    assert events == [("a1", "Llamada de 600111222")]
    assert [row[0::5] for row in logged(workdir)] == [("600111222", "e1"), ("699000111", "")]


def test_a_region_chosen_in_the_settings_is_followed_by_the_contact_index(world, sg, monkeypatch):
    def client():
        made = FakeClient(world)
        made.indice = crmapi.indice(made, pais="ES", horas=0)
        return made
    monkeypatch.setattr(crmapi, "crmapi", client)
    monkeypatch.setattr(conf.conf, "inicioconfig", lambda settings: settings.cvariables.update(pais="fr "),
                        raising=False)
    world.run(CONFIGURAR, APAGAR)
    [made] = world.clients
    assert (made.indice.pais, made.indice.horas) == ("FR", 0), "numbers without prefix are French now"
