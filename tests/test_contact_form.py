"""The new-contact form (alta) and the creation of the contact (altateam, validatemail).

The form's loop runs against the scripted toolkit double; the contact goes to the Holded emulator
over real HTTP through the real client, which records the raw JSON body of each request."""
import base64
import json
import os
import re
from pathlib import Path
from types import SimpleNamespace

import pytest

import crmapi
import crmprocs
import dirscrape
from tests.conftest import config_text
from tests.toolkit_double import CLOSE, TIMEOUT, Step

NUMBER = "600112233"
TITLE = "Alta nuevo contacto / empresa"
NOT_CREATED = "No se ha podido crear el contacto"


def form(nombre="", apellidos="", email="", empresa="", tipo="Sin especificar"):
    return {"-Nombre-": nombre, "-Apellidos-": apellidos, "-Email-": email, "-TIPO-": tipo, "-Empresa-": empresa}


def ordered(value):
    """A JSON value with every object as its list of (key, value) pairs, so order counts."""
    return json.loads(value if isinstance(value, (str, bytes)) else json.dumps(value), object_pairs_hook=list)


@pytest.fixture
def client(holded, workdir):
    workdir.write_config(config_text(api_key=holded.key))
    api = crmapi.crmapi()
    assert api.estado
    holded.clear_requests()
    return api


@pytest.fixture
def caller(client):
    return SimpleNamespace(variable=SimpleNamespace(apiteam=client, cvariables={"autocierre": False, "autocierre_tiempo": 600}))


@pytest.fixture
def lookups(monkeypatch):
    """The directory lookup replaced: answers what the test sets and records the companies asked."""
    state = SimpleNamespace(asked=[], answer=None)

    def lookup(company):
        state.asked.append(company)
        return state.answer

    monkeypatch.setattr(dirscrape, "dirscrape", lookup, raising=False)
    return state


def posts(holded):
    return [r for r in holded.requests if r.method == "POST"]


def record(**fields):
    """The record the form sends for NUMBER, with the fields every case shares."""
    base = {"socialNetworks": {"website": "http://wa.me/" + NUMBER}, "billAddress": {}, "contactPersons": [],
            "name": None, "email": "", "mobile": NUMBER, "phone": NUMBER, "type": "", "taxOperation": "general",
            "isperson": True}
    base.update(fields)
    return base


# --- validatemail ------------------------------------------------------------------------------

@pytest.mark.parametrize("text, valid", [
    ("ana.garcia+crm@correo-uno.example.es", True),
    ("", False), ("ana.correo.es", False), ("ana@correo", False), ("ana @correo.es", False),
    ("ana@correo.es\n", False),
])
def test_validatemail(text, valid):
    assert crmprocs.validatemail(text) is valid


# --- the record --------------------------------------------------------------------------------

PERSON = "Ana García López"

# (form values, number, directory allowed, record sent); an empty company never asks the directory.
RECORD_CASES = {
    "person": (form("Ana", "García López", "ana@correo.es", tipo="Cliente"), NUMBER, True, record(
        contactPersons=[{"name": PERSON, "phone": NUMBER, "email": "ana@correo.es"}],
        name=PERSON, email="ana@correo.es", type="client")),
    "company without surnames": (form("Ana", "", "", "Talleres Pérez", "Proveedor"), NUMBER, False, record(
        contactPersons=[{"name": "Ana Talleres Pérez", "phone": NUMBER, "email": ""}],
        name="Talleres Pérez", type="supplier", isperson=False)),
    "first name only": (form("Ana"), NUMBER, True, record(
        contactPersons=[{"name": "Ana Ana ", "phone": NUMBER, "email": ""}], name="Ana ")),
    "no first name": (form("", "García", "x", tipo="Lead"), NUMBER, False,
                      record(name=" García", email="x", type="lead")),
    "number with blanks": (form("Ana", "García"), "+34 600 11 22 33", False, record(
        socialNetworks={"website": "http://wa.me/+34600112233"},
        contactPersons=[{"name": "Ana García", "phone": "+34 600 11 22 33", "email": ""}],
        name="Ana García", mobile="+34 600 11 22 33", phone="+34 600 11 22 33")),
}


@pytest.mark.parametrize("values, number, allowed, expected", RECORD_CASES.values(), ids=RECORD_CASES.keys())
def test_record_sent_and_page_opened(holded, caller, lookups, browser, sg, values, number, allowed, expected):
    answer = crmprocs.altateam(values, number, allowed, caller)

    [post] = posts(holded)
    assert post.path == "/api/invoicing/v1/contacts"
    assert ordered(post.body) == ordered(expected)
    [stored] = holded.contacts[-1:]
    assert answer == stored["id"] and stored["phone"] == number
    assert browser.opened == [(holded.app_url + "contacts/" + answer, 2, True)]
    assert lookups.asked == [] and sg.popups == []


@pytest.mark.parametrize("tipo, sent", [("Sin especificar", ""), ("Lead", "lead"), ("Cliente", "client"),
                                        ("Proveedor", "supplier"), ("Deudor", "debtor"), ("Acreedor", "creditor"),
                                        ("Cliente VIP", None)])
def test_contact_type_map(holded, caller, browser, tipo, sent):
    crmprocs.altateam(form("Ana", tipo=tipo), NUMBER, False, caller)
    assert json.loads(posts(holded)[0].body)["type"] == sent


# --- the directory enrichment ------------------------------------------------------------------

COMPANY = {
    "Razón Social": "TALLERES PÉREZ E HIJOS SL",
    "Cif": "B12345678",
    "Email": "info@talleresperez.example",
    "Direccion": "Calle Mayor 5",
    "Poblacion": "Toledo",
    "Codpost": "45001",
    "Actividad": "Reparación <script>alert(1)</script>",
    "Web <b>": "<img src=x onerror=alert(1)>",
    "Enlace": "[pulse](javascript:alert(1)) y *Nota*",
    "Empleados": 12,
}

NOTE = ("<ul>\n"
        "<li><strong>Razón Social:</strong> TALLERES PÉREZ E HIJOS SL</li>\n"
        "<li><strong>Cif:</strong> B12345678</li>\n"
        "<li><strong>Email:</strong> info@talleresperez.example</li>\n"
        "<li><strong>Direccion:</strong> Calle Mayor 5</li>\n"
        "<li><strong>Poblacion:</strong> Toledo</li>\n"
        "<li><strong>Codpost:</strong> 45001</li>\n"
        "<li><strong>Actividad:</strong> Reparación &lt;script&gt;alert(1)&lt;/script&gt;</li>\n"
        "<li><strong>Web &lt;b&gt;:</strong> &lt;img src=x onerror=alert(1)&gt;</li>\n"
        "<li><strong>Enlace:</strong> [pulse](javascript:alert(1)) y *Nota*</li>\n"
        "<li><strong>Empleados:</strong> 12</li>\n"
        "</ul>")


@pytest.mark.parametrize("typed_email, sent_email", [("ana@correo.es", "ana@correo.es"),
                                                     ("", "info@talleresperez.example")])
def test_directory_data_fills_the_company(holded, caller, lookups, browser, typed_email, sent_email):
    lookups.answer = dict(COMPANY)
    answer = crmprocs.altateam(form("Ana", "García", typed_email, "Talleres Perez", "Cliente"), NUMBER, True, caller)

    assert lookups.asked == ["Talleres Perez"]
    expected = record(
        billAddress={"address": "Calle Mayor 5", "city": "Toledo", "country": "España", "postalCode": "45001"},
        contactPersons=[{"name": "Ana García", "phone": NUMBER, "email": typed_email}],
        name="TALLERES PÉREZ E HIJOS SL", email=sent_email, type="client", isperson=False,
        note=NOTE, vatnumber="B12345678", code="B12345678")
    assert ordered(posts(holded)[0].body) == ordered(expected)
    stored = holded.contact(answer)
    assert stored["code"] == "B12345678" and stored["notes"][0]["description"] == NOTE
    assert browser.urls == [holded.app_url + "contacts/" + answer]


@pytest.mark.parametrize("nothing", [None, {}])
def test_nothing_chosen_in_the_directory_sends_the_plain_record(holded, caller, lookups, browser, nothing):
    values = form("Ana", "", "ana@correo.es", "Talleres Perez")
    crmprocs.altateam(values, NUMBER, False, caller)
    lookups.answer = nothing
    crmprocs.altateam(values, NUMBER, True, caller)
    plain, looked_up = posts(holded)
    assert lookups.asked == ["Talleres Perez"]
    assert plain.body == looked_up.body


def test_directory_page_without_legal_name_keeps_the_typed_name(holded, caller, lookups, browser):
    lookups.answer = {"Cif": "B87654321", "Poblacion": "Madrid"}
    crmprocs.altateam(form("", "", "", "Talleres Perez"), NUMBER, True, caller)
    body = json.loads(posts(holded)[0].body)
    assert body["name"] == "Talleres Perez"
    assert body["billAddress"] == {"address": None, "city": "Madrid", "country": "España", "postalCode": None}


# --- the form ----------------------------------------------------------------------------------

def texts(row):
    return [element.text for element in row]


def test_form_window_and_layout(sg, caller, app_dir):
    caller.variable.cvariables.update(autocierre=True, autocierre_tiempo=300)
    sg.script(CLOSE)
    assert crmprocs.alta(caller, NUMBER) is None

    [window] = sg.windows
    assert window.title == TITLE and window.closed
    assert window.kwargs["icon"].endswith("hola.png") and window.kwargs["force_toplevel"] is True
    assert "auto_close" not in window.kwargs, "the form times itself out, so that typing can stop it"
    rows = window.layout
    assert len(rows) == 7
    assert texts(rows[0]) == ["PULSE Redes Busqueda adicional"] and rows[0][0].kwargs["font"] == "Any 20"
    links = rows[1]
    assert [b.key for b in links] == ["linkedin-redes-", "Google-redes-", "Wh-redes-"]
    for button, picture in zip(links, ["linkedin.png", "google.png", "whatsapp.png"]):
        assert button.kind == "Button" and not button.text
        path = button.kwargs["image_filename"]
        assert os.path.isfile(path) and os.path.samefile(path, os.path.join(app_dir, "img", picture))
    assert texts(rows[2]) == ["Telefono 600112233 no encontrado"] and rows[2][0].kwargs["font"] == "Any 20"
    contacto, empresa = rows[3][0], rows[5][0]
    assert (contacto.kind, contacto.text, contacto.kwargs["font"]) == ("Frame", "CONTACTO", "Any 10")
    assert [[e.text or e.key for e in row] for row in contacto.children] == [
        ["Nombre:", "-Nombre-"], ["Apellidos:", "-Apellidos-"], ["Email:", "-Email-"]]
    assert [row[1].kwargs["enable_events"] for row in contacto.children] == [False, False, True]
    assert (empresa.text, empresa.kwargs["font"]) == ("EMPRESA VINCULADA", "Any 10")
    assert [[e.text or e.key for e in row] for row in empresa.children] == [["Empresa:", "-Empresa-"]]
    caption, tipo = rows[4]
    assert (caption.text, caption.kwargs["font"]) == ("Tipo de Contacto:", "Any 20")
    assert tipo.args[0] == ["Sin especificar", "Lead", "Cliente", "Proveedor", "Deudor", "Acreedor"]
    assert tipo.kwargs == {"default_value": "Sin especificar", "size": (15, 1), "key": "-TIPO-", "font": "Any 20"}
    cancel, spacer, ok, switch_caption, switch = rows[6]
    assert (cancel.text, cancel.key, spacer.text) == ("Cancelar", "Cancelar", "   ")
    assert (ok.text, ok.key, ok.kwargs["font"], bool(ok.kwargs["expand_x"])) == ("OK", "OK", "Any 20", True)
    assert switch_caption.text == "Nuevo REGISTRO usando IA"
    assert switch.key == "-TOGGLE-GRAPHIC-" and switch.text == ""
    assert switch.kwargs["image_data"] == PICTURES[0]
    assert switch.kwargs["button_color"] == ("#1c44ac", "#1c44ac") and switch.kwargs["border_width"] == 0


def _load_pictures():
    """The ON and OFF switch pictures as the module carries them: base64 PNG text."""
    header = (Path(__file__).resolve().parents[1] / "common" / "embedded_images.hpp").read_text()
    found = {}
    for name in ("TOGGLE_ON_PNG_B64", "TOGGLE_OFF_PNG_B64"):
        body = re.search(name + r" =\s*((?:\s*\"[^\"]*\")+);", header).group(1)
        found[name] = "".join(re.findall(r"\"([^\"]*)\"", body)).encode()
        assert base64.b64decode(found[name])[:8] == b"\x89PNG\r\n\x1a\n"
    return found["TOGGLE_ON_PNG_B64"], found["TOGGLE_OFF_PNG_B64"]


PICTURES = _load_pictures()


@pytest.mark.parametrize("ending", ["Cancelar", CLOSE])
def test_cancel_or_close_sends_nothing(sg, holded, caller, browser, ending):
    sg.script(("-Email-", {"-Nombre-": "Ana", "-Email-": "ana@correo.es"}), ending)
    assert crmprocs.alta(caller, NUMBER) is None
    assert posts(holded) == [] and browser.opened == [] and sg.popups == []
    assert sg.windows[0].closed


def test_email_colours_while_typing(sg, caller):
    typed = ["a", "an", "ana", "ana@", "ana@c", "ana@co", "ana@cor", "ana@cor.", "ana@cor.e", "ana@cor.es",
             "ana@c", "ana@cor.es!"]
    sg.script(*[("-Email-", {"-Email-": text}) for text in typed], "Cancelar")
    crmprocs.alta(caller, NUMBER)
    colours = [(kw["background_color"], kw["text_color"]) for _, kw in sg.windows[0]["-Email-"].updates]
    # Nothing up to five characters, orange while longer and invalid, blue once valid; cut back to
    # five characters it stays blue, and a longer invalid text turns it orange again.
    orange, blue = ("orange", "black"), ("Blue", "white")
    assert colours == [orange, orange, orange, blue, blue, orange]


def test_switch_pictures_and_directory_use(sg, holded, caller, lookups, browser):
    values = form("Ana", "", "", "Talleres Perez")
    sg.script("-TOGGLE-GRAPHIC-", "-TOGGLE-GRAPHIC-", "-TOGGLE-GRAPHIC-", ("OK", values))
    crmprocs.alta(caller, NUMBER)
    on, off = PICTURES
    switch = sg.windows[0]["-TOGGLE-GRAPHIC-"]
    assert [kw for _, kw in switch.updates] == [{"image_data": off}, {"image_data": on}, {"image_data": off}]
    assert lookups.asked == [] and len(posts(holded)) == 1

    sg.script(("OK", values))
    crmprocs.alta(caller, NUMBER)
    assert lookups.asked == ["Talleres Perez"] and len(posts(holded)) == 2


@pytest.mark.parametrize("email, created", [("", True), ("x", True), ("xy", False), ("ana@correo", False),
                                            ("ana@correo.es", True)])
def test_ok_checks_the_email(sg, holded, caller, browser, email, created):
    values = form("Ana", "García", email)
    sg.script(("OK", values), *([] if created else ["Cancelar"]))
    crmprocs.alta(caller, NUMBER)
    if created:
        assert json.loads(posts(holded)[0].body)["email"] == email and sg.popups == []
        assert len(browser.opened) == 1
    else:
        assert posts(holded) == [] and browser.opened == []
        assert sg.popups == [("popup", ("Revise campo email",), {"title": "ERROR", "font": "Any 15"})]
    assert sg.windows[0].closed and len(sg.windows) == 1


def test_quick_links_search_and_keep_the_form(sg, caller, browser):
    values = form("Ana", "García", "", "Talleres Perez")
    sg.script(("linkedin-redes-", values), "Google-redes-", "Wh-redes-", "Cancelar")
    crmprocs.alta(caller, NUMBER)
    crmprocs.blink(values, NUMBER)
    per_click = browser.opened[-4:]
    assert len(per_click) == 4 and browser.opened == per_click * 4
    assert any(NUMBER in url for url, _, _ in per_click)
    assert sg.windows[0].closed and [e for e in sg.timeline if e[0] == "close"] == [("close", TITLE)]


@pytest.fixture
def read_timeouts(sg, monkeypatch):
    """The time-out (ms) each read of a window asked for."""
    asked = []
    original = sg.Window.read

    def read(window, timeout=None, **kwargs):
        asked.append(timeout)
        return original(window, timeout=timeout, **kwargs)
    monkeypatch.setattr(sg.Window, "read", read)
    return asked


@pytest.mark.parametrize("steps, closes_by_itself", [
    ([TIMEOUT], True),
    ([Step(TIMEOUT, {"-Nombre-": "Ana"}), TIMEOUT, "Cancelar"], False),  # typed, no event yet
    ([Step(TIMEOUT, {"-TIPO-": "Lead"}), "Cancelar"], False),
    (["-TOGGLE-GRAPHIC-", TIMEOUT, "Cancelar"], False),
], ids=["untouched", "typed", "type chosen", "switch used"])
def test_auto_close_only_while_nobody_uses_the_form(sg, holded, caller, read_timeouts, steps, closes_by_itself):
    caller.variable.cvariables.update(autocierre=True, autocierre_tiempo=300)
    sg.script(*steps)
    assert crmprocs.alta(caller, NUMBER) is None
    assert sg.windows[0].closed and posts(holded) == []
    assert 299_000 < read_timeouts[0] <= 300_000
    if not closes_by_itself:
        assert read_timeouts[-1] is None, "once used, the form waits for the user"


def test_no_auto_close_when_it_is_off(sg, caller, read_timeouts):
    sg.script(TIMEOUT, "Cancelar")
    crmprocs.alta(caller, NUMBER)
    assert read_timeouts == [None, None]


def test_a_failure_inside_the_form_closes_it(sg, caller, monkeypatch):
    def broken(values, telefono):
        raise RuntimeError("no browser")
    monkeypatch.setattr(crmprocs, "blink", broken)
    sg.script("Wh-redes-")
    with pytest.raises(RuntimeError):
        crmprocs.alta(caller, NUMBER)
    assert sg.windows[0].closed


# --- failures of the creation ------------------------------------------------------------------

def popup_errors(sg):
    return [(args, kwargs["title"]) for name, args, kwargs in sg.popups if name == "popup_error"]


@pytest.mark.parametrize("answer, detail", [({"status": 0, "info": "name needed"}, "Holded: name needed"),
                                            ({"status": 401}, "Holded: 401")])
def test_refused_creation_keeps_the_form_for_a_retry(sg, holded, caller, browser, answer, detail):
    values = form("Ana", "García", "ana@correo.es")
    holded.set_fault("respond", status=answer["status"] or 400, body=answer, times=1)
    sg.script(("OK", values), "OK")
    crmprocs.alta(caller, NUMBER)

    refused, accepted = posts(holded)
    assert refused.status != 201 and refused.body == accepted.body  # the retry sent the same values
    assert popup_errors(sg) == [((NOT_CREATED, detail), "ERROR")]
    [contact] = [c for c in holded.contacts if c.get("phone") == NUMBER]
    assert browser.urls == [holded.app_url + "contacts/" + contact["id"]]
    events = [e[:2] for e in sg.timeline if e[0] in ("popup", "browser", "close")]
    assert events == [("popup", "popup_error"), ("browser", browser.urls[0]), ("close", TITLE)]


def test_refusal_after_a_creation_opens_no_stale_page(holded, caller, sg, browser):
    first = crmprocs.altateam(form("Ana"), NUMBER, False, caller)
    holded.set_fault("respond", status=400, body={"status": 0, "info": "Invalid value"})
    answer = crmprocs.altateam(form("Eva"), "600999888", False, caller)
    assert answer == {"status": 0, "info": "Invalid value"}
    assert browser.urls == [holded.app_url + "contacts/" + first]
    assert popup_errors(sg) == [((NOT_CREATED, "Holded: Invalid value"), "ERROR")]


@pytest.mark.parametrize("fault, detail", [
    ("refuse", "Holded no responde; compruebe la conexión"),
    ("stall", "Holded no responde; compruebe la conexión"),
    ("html500", "Holded ha respondido algo que no se puede leer"),
    ("blocked", "Holded: Account has been blocked. Reason: Unpaid"),  # Holded's own reason
])
def test_failed_request_keeps_the_form_and_the_app(sg, holded, caller, browser, monkeypatch, fault, detail):
    monkeypatch.setattr(crmapi, "TIMEOUT", (1, 0.5))
    holded.set_fault(fault, seconds=3)
    sg.script(("OK", form("Ana", "García")), Step("Cancelar", on=TITLE))
    assert crmprocs.alta(caller, NUMBER) is None
    assert popup_errors(sg) == [((NOT_CREATED, detail), "ERROR")]
    assert browser.opened == [] and sg.windows[0].closed


def test_created_without_id_closes_the_form_without_a_page(sg, holded, caller, browser):
    holded.set_fault("noid")
    sg.script(("OK", form("Ana", "García")))
    crmprocs.alta(caller, NUMBER)
    assert [c["name"] for c in holded.contacts if c.get("phone") == NUMBER] == ["Ana García"]
    assert browser.opened == [] and popup_errors(sg) == []
    [(name, args, kwargs)] = sg.popups
    assert name == "popup" and "sin decir" in args[0]
