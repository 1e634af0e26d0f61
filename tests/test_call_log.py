"""The call log kept beside config.ini: a new file, one of an older version, a damaged one, a
folder where it cannot be written, a run killed while writing, the days it keeps; the recent-calls
window and its actions with the scripted toolkit, against the Holded stand-in where an action
reaches Holded."""
import os
import signal
import sqlite3
import subprocess
import sys
import time
import types

import pytest

import crmapi
import crmprocs
import phonewatch
from tests.conftest import APP_DIR, config_text
from tests.toolkit_double import CLOSE, Step

LOG = "llamadas.sqlite3"
ANA = {"id": "a1", "name": "Ana Ruiz"}


def open_log(path, days=90):
    log = phonewatch.registro(str(path), days, "ES")
    return log, log.abrir()


def stored(path, sql="SELECT number, canonical, source, contacts, outcome, detail, event FROM calls ORDER BY id"):
    with sqlite3.connect(path) as db:
        return db.execute(sql).fetchall()


# --- the file ----------------------------------------------------------------------------------

def test_a_new_log_is_private_kept_in_wal_mode_and_at_the_newest_version(tmp_path):
    log, told = open_log(tmp_path / LOG)
    assert told == "" and log.activo
    log.anotar("612 34 56 78", origen="busqueda", contactos=[dict(ANA, email="ana@x.es")], resultado="pagina")
    log.anotar("699000111", resultado="formulario")
    log.resultado_de("699000111", "creado", "b2")
    log.cerrar()
    assert stored(tmp_path / LOG) == [
        ("612 34 56 78", "+34612345678", "busqueda", '[{"id": "a1", "name": "Ana Ruiz"}]', "pagina", "", ""),
        ("699000111", "+34699000111", "telefono", "[]", "creado", "b2", "")]
    with sqlite3.connect(tmp_path / LOG) as db:
        assert db.execute("PRAGMA journal_mode").fetchone() == ("wal",)
        assert db.execute("PRAGMA user_version").fetchone() == (2,)
    if os.name == "posix":
        assert (tmp_path / LOG).stat().st_mode & 0o777 == 0o600


def test_a_log_of_the_first_version_is_brought_up_to_date_with_its_calls(tmp_path):
    with sqlite3.connect(tmp_path / LOG) as db:
        db.execute("CREATE TABLE calls (id INTEGER PRIMARY KEY, at REAL NOT NULL, number TEXT NOT NULL, canonical TEXT,"
                   " source TEXT NOT NULL, contacts TEXT NOT NULL DEFAULT '[]', outcome TEXT NOT NULL,"
                   " detail TEXT NOT NULL DEFAULT '')")
        db.execute("INSERT INTO calls VALUES (1, ?, '612345678', '+34612345678', 'telefono', '[]', 'formulario', '')",
                   (time.time(),))
        db.execute("PRAGMA user_version = 1")
    log, told = open_log(tmp_path / LOG)
    assert told == ""
    (old,) = log.recientes()
    assert (old["numero"], old["resultado"], old["evento"]) == ("612345678", "formulario", "")
    log.evento(old["id"], "e1")
    log.guardar_indice("huella", 100.0, [["a1", "Ana Ruiz", ["+34612345678"], [], []]])
    log.cerrar()
    assert stored(tmp_path / LOG, "SELECT event FROM calls") == [("e1",)]
    assert open_log(tmp_path / LOG)[0].leer_indice("huella") == (100.0, [["a1", "Ana Ruiz", ["+34612345678"], [], []]])


def test_a_damaged_log_is_set_aside_and_a_new_one_started(tmp_path):
    garbage = b"this is no database " * 200
    (tmp_path / LOG).write_bytes(garbage)
    log, told = open_log(tmp_path / LOG)
    aside = [p for p in tmp_path.iterdir() if p.name.startswith(LOG + ".") and p.name.endswith(".bad")]
    assert len(aside) == 1 and aside[0].read_bytes() == garbage
    assert told == (f"El registro de llamadas estaba dañado: se ha apartado como {aside[0].name} y se empieza uno "
                    "nuevo.")
    log.anotar("612345678", resultado="pagina")
    log.cerrar()
    assert len(stored(tmp_path / LOG)) == 1


def test_where_the_log_cannot_be_written_calls_are_not_kept_and_nothing_fails(tmp_path):
    (tmp_path / LOG).mkdir()  # something that is no file stands where the log goes
    log, told = open_log(tmp_path / LOG)
    assert told.startswith("Las llamadas no se pueden guardar en esta carpeta: ") and not log.activo
    assert isinstance(log.anotar("612345678", resultado="pagina"), int)
    assert log.recientes() == [] and log.leer_indice("huella") is None
    log.cerrar()


KILLED_WRITER = """
import sys, time
sys.path.insert(0, {app!r})
import phonewatch
log = phonewatch.registro({path!r}, 90, "ES")
log.abrir()
for i in range(100):
    log.anotar("6000001%02d" % i, resultado="pagina")
log.cerrar()
log = phonewatch.registro({path!r}, 90, "ES")
log.abrir()
print("written", flush=True)
i = 0
while True:
    log.anotar("7000%05d" % i, resultado="formulario")
    i += 1
    if i % 50 == 0:
        time.sleep(0.001)
"""


def test_a_run_killed_while_writing_loses_nothing_written_before_and_records_nothing_twice(tmp_path):
    script = tmp_path / "writer.py"
    script.write_text(KILLED_WRITER.format(app=APP_DIR, path=str(tmp_path / LOG)))
    writer = subprocess.Popen([sys.executable, str(script)], stdout=subprocess.PIPE, text=True)
    assert writer.stdout.readline().strip() == "written"
    time.sleep(1.0)
    writer.send_signal(signal.SIGKILL)
    writer.wait(10)
    log, told = open_log(tmp_path / LOG)
    assert told == ""
    with sqlite3.connect(tmp_path / LOG) as db:
        assert db.execute("PRAGMA integrity_check").fetchone() == ("ok",)
        numbers = [n for (n,) in db.execute("SELECT number FROM calls ORDER BY id")]
    assert numbers[:100] == ["6000001%02d" % i for i in range(100)]
    later = numbers[100:]
    assert later and later == sorted(set(later)), "a call recorded twice or out of order"
    log.cerrar()


def test_the_log_keeps_its_days_and_none_at_zero(tmp_path):
    log, _ = open_log(tmp_path / LOG, days=30)
    log.anotar("612345678", resultado="pagina")
    log.cerrar()
    with sqlite3.connect(tmp_path / LOG) as db:
        db.execute("UPDATE calls SET at = at - 31 * 86400")
    log, _ = open_log(tmp_path / LOG, days=30)
    log.anotar("699000111", resultado="formulario")
    log.cerrar()
    assert stored(tmp_path / LOG, "SELECT number FROM calls") == [("699000111",)]
    off, told = open_log(tmp_path / "other.sqlite3", days=0)
    assert told == "" and not off.activo
    off.anotar("612345678", resultado="pagina")
    off.cerrar()
    assert stored(tmp_path / "other.sqlite3") == []


# --- the recent-calls window -----------------------------------------------------------------

class Recorder:
    def __init__(self):
        self.forms, self.requests = [], []


@pytest.fixture
def app(workdir, sg, browser, monkeypatch):
    """An application object with a call log, settings and a client; the calls of the window's
    actions that leave it are recorded."""
    log, _ = open_log(workdir.path / LOG)
    made = phonewatch.phonewatch.__new__(phonewatch.phonewatch)
    made.registro = log
    made.variable = types.SimpleNamespace(cvariables={"pais": "ES"}, apiteam=types.SimpleNamespace())
    made.seen = Recorder()
    monkeypatch.setattr(crmprocs, "alta", lambda self, number: made.seen.forms.append(number))
    yield made
    log.cerrar()


def fill(log, *calls):
    """Records calls (number, contacts, outcome) oldest first; returns the log's rows."""
    for number, contacts, outcome in calls:
        log.anotar(number, contactos=contacts, resultado=outcome)
    deadline = time.monotonic() + 5
    while len(log.recientes()) < len(calls):
        assert time.monotonic() < deadline, "the log did not write the calls"
        time.sleep(0.01)
    return log.recientes()


def table(sg):
    window = sg.windows[0]
    return window, window["-LLAMADAS-"].updates[-1][1]["values"]


def test_the_window_shows_the_newest_calls_a_run_of_one_number_once(app, sg):
    fill(app.registro, ("699000111", [], "formulario"), ("612345678", [ANA], "pagina"),
         ("612345678", [ANA], "pagina"), ("12345", [], "corto"))
    sg.script(CLOSE)
    assert app.recientes() is True
    window, rows = table(sg)
    assert window.title == "Llamadas recientes" and window.closed
    assert [row[1:] for row in rows] == [["12345", "desconocido", "", "no buscado: número corto"],
                                         ["612345678", "Ana Ruiz", "2", "página abierta"],
                                         ["699000111", "desconocido", "", "formulario mostrado"]]


def test_the_actions_on_a_call(app, sg, browser):
    fill(app.registro, ("699000111", [], "formulario"), ("612345678", [ANA], "pagina"))
    known, unknown = {"-LLAMADAS-": [0]}, {"-LLAMADAS-": [1]}
    sg.script(Step("-ABRIR-", known), Step("-ABRIR-", unknown), Step("-CREAR-", unknown),
              Step("-COPIAR-", unknown), Step("-LLAMADAS-+DOBLE", known), Step("Return:36", unknown),
              Step("-DESCONOCIDOS-", {"-DESCONOCIDOS-": True}), Step("Escape:9"))
    app.recientes()
    window, rows = table(sg)
    assert browser.urls[0].endswith("/contacts/a1") and len(browser.urls) == 2  # open, then the double-click
    assert app.seen.forms == ["699000111", "699000111"]  # "Crear contacto", then Enter on an unknown caller
    assert sg.clipboard == ["699000111"]
    assert [row[1] for row in rows] == ["699000111"], "the filter shows the unknown callers only"
    status = [args[0] for args, _ in window["-ESTADO-"].updates if args]
    assert status == ["Esta llamada no es de ningún contacto de Holded", "Número copiado: 699000111"]


def test_a_call_is_logged_in_holded_once(app, sg, workdir):
    (call, _) = fill(app.registro, ("612345678", [ANA], "pagina"), ("699000111", [], "formulario"))[::-1]
    events = []

    def evento(contacto, nombre, inicio, descripcion):
        events.append((contacto, nombre, inicio, descripcion))
        return "e1"
    app.variable.apiteam.Evento = evento
    sg.script(Step("-REGISTRAR-", {"-LLAMADAS-": [1]}), Step("-REGISTRAR-", {"-LLAMADAS-": [1]}),
              Step("-REGISTRAR-", {"-LLAMADAS-": [0]}), CLOSE)
    app.recientes()
    (contact, name, when, description), = events
    assert (contact, name, when) == ("a1", "Llamada de 612345678", call["hora"])
    assert description.startswith("Llamada recibida el ") and description.endswith(" desde el 612345678")
    window, _ = table(sg)
    status = [args[0] for args, _ in window["-ESTADO-"].updates if args and not args[0].endswith("...")]
    assert status == ["Llamada registrada en Holded", "Esta llamada ya está registrada en Holded",
                      "Esta llamada no es de ningún contacto de Holded"]
    app.registro.cerrar()
    assert stored(workdir.path / LOG, "SELECT number, event FROM calls ORDER BY id") == [
        ("612345678", "e1"), ("699000111", "")]


@pytest.mark.parametrize("api", ["v1", "v2"])
@pytest.mark.parametrize("stored_numbers, chosen, field", [
    ({"phone": "955 12 34 56", "mobile": ""}, None, "mobile"),
    ({"phone": "", "mobile": "677 88 99 00"}, None, "phone"),
    ({"phone": "955 12 34 56", "mobile": "677 88 99 00"}, "phone", "phone"),
    ({"phone": "955 12 34 56", "mobile": "677 88 99 00"}, "-CANCELAR-", None),
])
def test_adding_the_number_to_a_contact_fills_its_empty_field_or_the_one_chosen(
        app, sg, holded, workdir, monkeypatch, api, stored_numbers, chosen, field):
    monkeypatch.setattr(crmapi, "INDEX_REQUEST_GAP", 0)
    workdir.write_config(config_text(api_key=holded.token if api == "v2" else holded.key))
    client = crmapi.crmapi()
    contact_id = holded.add_contact({"name": "Talleres Ruiz", "email": "t@ruiz.es", **stored_numbers})
    client.indice.actualizar()
    app.variable.apiteam = client
    fill(app.registro, ("699000111", [], "formulario"))
    holded.clear_requests()
    steps = [Step("-ANADIR-", {"-LLAMADAS-": [0]}), Step("-NOMBRE-", {"-NOMBRE-": "ruiz"}, on="Añadir"),
             Step("-ANADIR-", {"-ELEGIDO-": ["Talleres Ruiz"]}, on="Añadir")]
    if chosen is not None:
        steps.append(Step(chosen, on="Añadir"))
    sg.script(*steps, CLOSE)
    app.recientes()
    updates = [r for r in holded.requests if r.method == "PUT"]
    if field is None:
        assert updates == [] and holded.contact(contact_id)["phone"] == stored_numbers["phone"]
        return
    (update,) = updates
    sent = update.json
    if api == "v1":
        assert sent == {field: "699000111"}
    else:  # v2 writes the whole contact back, with the number in its place
        assert sent[field] == "699000111" and sent["name"] == "Talleres Ruiz" and sent["email"] == "t@ruiz.es"
    assert holded.contact(contact_id)[field] == "699000111"
    # The index knows the number at once, and the log what was done.
    assert [c["id"] for c in client.indice.buscar("+34 699 000 111")] == [contact_id]
    window, _ = table(sg)
    assert window["-ESTADO-"].updates[-1][0] == ("Número añadido a Talleres Ruiz",)
