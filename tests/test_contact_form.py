"""The new-contact form (alta) and the creation of the contact (altateam, validatemail).

The form's loop runs against the scripted toolkit double; the contact goes to the Holded emulator
over real HTTP through the real client, which records the raw JSON body of each request."""
import base64
import json
import os
import re
import time
from pathlib import Path
from types import SimpleNamespace

import pytest

import crmapi
import crmprocs
import dirscrape
from tests.conftest import fake_caller, stand_in_client
from tests.toolkit_double import CLOSE, TIMEOUT, Step

NUMBER = "600112233"
TITLE = "Alta nuevo contacto / empresa"
NOT_CREATED = "No se ha podido crear el contacto"


def form(nombre="", apellidos="", email="", empresa="", tipo="Sin especificar"):
    return {"-Nombre-": nombre, "-Apellidos-": apellidos, "-Email-": email, "-TIPO-": tipo, "-Empresa-": empresa}


def ordered(value):
    """A JSON value with every object as its list of (key, value) pairs, so order counts."""
    return json.loads(value if isinstance(value, (str, bytes)) else json.dumps(value), object_pairs_hook=list)


def make_caller(client):
    """The application object as the form sees it: the form stays until it is answered."""
    return fake_caller(client, {"autocierre": False, "autocierre_tiempo": 600})


@pytest.fixture
def client(holded, workdir):
    return stand_in_client(holded, workdir)


@pytest.fixture
def caller(client):
    return make_caller(client)


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
    assert caller.notices == [(TITLE, "Contacto creado: " + expected["name"].strip())]


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
    assert [message for _, message in caller.notices] == [
        "Contacto creado: Talleres Perez", "Contacto creado: Talleres Perez (sin datos del directorio)"]


def test_without_notices_of_its_own_the_caller_gets_a_popup_that_closes(holded, client, sg, browser):
    caller = SimpleNamespace(variable=SimpleNamespace(apiteam=client, cvariables={}))
    crmprocs.altateam(form("Ana", "García"), NUMBER, False, caller)
    [(kind, args, kwargs)] = sg.popups
    assert (kind, args, kwargs["auto_close_duration"]) == ("popup_auto_close", ("Contacto creado: Ana García",), 2)


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
    crmprocs.alta(caller, NUMBER)

    [window] = sg.windows
    assert window.title == TITLE and window.closed
    assert window.kwargs["icon"].endswith("hola.png") and window.kwargs["force_toplevel"] is True
    assert "auto_close" not in window.kwargs, "the form times itself out, so that typing can stop it"
    rows = window.layout
    assert len(rows) == 8
    assert texts(rows[0]) == ["PULSE Redes Busqueda adicional"] and rows[0][0].kwargs["font"] == "Any 20"
    links = rows[1]
    assert [b.key for b in links] == ["linkedin-redes-", "Google-redes-", "Wh-redes-"]
    for button, picture, name in zip(links, ["linkedin.png", "google.png", "whatsapp.png"],
                                     ["LinkedIn", "Google", "WhatsApp"]):
        assert button.kind == "Button" and not button.text
        assert button.kwargs["tooltip"].startswith(name + ": ")
        path = button.kwargs["image_filename"]
        assert os.path.isfile(path) and os.path.samefile(path, os.path.join(app_dir, "img", picture))
    assert texts(rows[2]) == ["Telefono 600112233 no encontrado"] and rows[2][0].kwargs["font"] == "Any 20"
    contacto, empresa = rows[3][0], rows[5][0]
    assert (contacto.kind, contacto.text, contacto.kwargs["font"]) == ("Frame", "CONTACTO", "Any 10")
    assert [[e.text or e.key for e in row] for row in contacto.children] == [
        ["Nombre:", "-Nombre-"], ["Apellidos:", "-Apellidos-"], ["Email:", "-Email-"], ["-EmailAyuda-"]]
    assert [row[1].kwargs["enable_events"] for row in contacto.children[:3]] == [False, False, True]
    assert (empresa.text, empresa.kwargs["font"]) == ("EMPRESA VINCULADA", "Any 10")
    assert [[e.text or e.key for e in row] for row in empresa.children] == [["Empresa:", "-Empresa-"]]
    caption, tipo = rows[4]
    assert (caption.text, caption.kwargs["font"]) == ("Tipo de Contacto:", "Any 20")
    assert tipo.args[0] == ["Sin especificar", "Lead", "Cliente", "Proveedor", "Deudor", "Acreedor"]
    assert tipo.kwargs == {"default_value": "Sin especificar", "size": (15, 1), "key": "-TIPO-", "font": "Any 20"}
    [notice] = rows[6]
    assert (notice.key, notice.text) == ("-AVISO-", "")
    cancel, spacer, ok, switch_caption, switch = rows[7]
    assert (cancel.text, cancel.key, spacer.text) == ("Cancelar", "Cancelar", "   ")
    assert (ok.text, ok.key, ok.kwargs["font"], bool(ok.kwargs["expand_x"])) == ("OK", "OK", "Any 20", True)
    assert switch_caption.text == "Nuevo REGISTRO usando IA"
    assert switch.key == "-TOGGLE-GRAPHIC-" and switch.text == "" and switch.kwargs["tooltip"]
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
    crmprocs.alta(caller, NUMBER)
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
    # The hint says what an address looks like while the text would be refused on OK.
    hints = [args[0] for args, _ in sg.windows[0]["-EmailAyuda-"].updates]
    refused = [len(text) > 1 and not crmprocs.validatemail(text) for text in typed]
    assert [bool(hint) for hint in hints] == refused and "@" in max(hints)


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


def test_a_form_that_names_nobody_is_refused_beside_the_fields(sg, holded, caller, browser):
    blank = form(" ", "\t", "ana@correo.es", "   ")
    sg.script(("OK", blank), ("OK", form("Ana")))
    crmprocs.alta(caller, NUMBER)
    said = [args[0] for args, _ in sg.windows[0]["-AVISO-"].updates]
    assert said[0].startswith("Falta el nombre"), "told in the form, next to the fields"
    assert sg.popups == [] and len(posts(holded)) == 1
    assert crmprocs.altateam(blank, NUMBER, True, caller) is False and len(posts(holded)) == 1


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
    crmprocs.alta(caller, NUMBER)
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
    crmprocs.alta(caller, NUMBER)
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


# --- creations whose outcome Holded did not tell -------------------------------------------------

def store_then_answer(holded, monkeypatch, status=None, body=None, content_type="text/html", wait=0.0):
    """Holded stores the next create as usual, then answers it with `status` and `body` (its usual
    body when None), or with its usual answer after `wait` seconds. Later requests are served as
    usual."""
    original, pending = holded._answer, [True]

    def answer(record, headers):
        usual = original(record, headers)
        if record.method != "POST" or not pending:
            return usual
        pending.clear()
        if wait:
            time.sleep(wait)
            return usual
        return type(usual)(status, content_type if body is not None else usual.content_type,
                           usual.payload if body is None else body)
    monkeypatch.setattr(holded, "_answer", answer)


def opened_contact(holded, browser):
    """The one contact whose page was opened (v2 also makes its contact person a contact)."""
    [url] = browser.urls
    return holded.contact(url.rsplit("/", 1)[1])


@pytest.fixture(params=["v1", "v2"])
def any_caller(request, holded, workdir):
    return make_caller(stand_in_client(holded, workdir, request.param))


HTML_ERROR = b"<html><body><h1>500 Internal Server Error</h1></body></html>"


@pytest.mark.parametrize("answer", [
    dict(status=500, body=HTML_ERROR),
    dict(status=500, body=b'{"status": 0, "info": "Internal error"}', content_type="application/json"),
    dict(status=502, body=b"<html>Bad Gateway</html>"),
    dict(wait=2.0),  # stored, answered after the deadline
], ids=["html 500", "json 500", "502", "time-out"])
def test_a_creation_stored_without_a_clear_answer_is_not_sent_again(sg, holded, any_caller, browser, monkeypatch,
                                                                      answer):
    monkeypatch.setattr(crmapi, "TIMEOUT", (1, 0.5))
    store_then_answer(holded, monkeypatch, **answer)
    sg.script(("OK", form("Ana", "García")), Step("OK", on=TITLE))
    crmprocs.alta(any_caller, NUMBER)

    [contact] = [c for c in holded.contacts if c.get("phone") == NUMBER]
    assert len(popup_errors(sg)) == 1, "the first answer was told as a failure"
    assert len([r for r in posts(holded) if r.json.get("phone") == NUMBER]) == 1, "asked, not sent again"
    assert browser.urls == [holded.app_url + "contacts/" + contact["id"]]
    assert any_caller.notices == [(TITLE, "El contacto ya se había creado: Ana García")]
    assert any_caller.variable.apiteam.indice.buscar(NUMBER) or not any_caller.variable.apiteam.indice.listo
    assert sg.windows[0].closed


def test_a_creation_that_failed_unstored_is_sent_on_the_next_ok(sg, holded, any_caller, browser):
    holded.set_fault("html500", methods=["POST"], times=1)
    sg.script(("OK", form("Ana", "García")), Step("OK", on=TITLE))
    crmprocs.alta(any_caller, NUMBER)
    assert [r.query.startswith("phone=") for r in holded.requests if r.method == "GET"][:1] == [True], "asked first"
    assert opened_contact(holded, browser)["name"] == "Ana García"
    assert any_caller.notices == [(TITLE, "Contacto creado: Ana García")]


def test_any_2xx_answer_with_an_id_is_a_creation(sg, holded, any_caller, browser, monkeypatch):
    store_then_answer(holded, monkeypatch, status=200)
    sg.script(("OK", form("Ana", "García")))
    crmprocs.alta(any_caller, NUMBER)
    assert opened_contact(holded, browser)["phone"] == NUMBER and popup_errors(sg) == []
    assert sg.windows[0].closed


def test_a_long_refusal_is_cut_to_ten_lines(sg, holded, caller, browser):
    holded.set_fault("respond", status=400, body={"status": 0, "info": "\n".join(f"línea {n}" for n in range(200))})
    assert crmprocs.altateam(form("Ana"), NUMBER, False, caller)["status"] == 0
    [((heading, detail), _)] = popup_errors(sg)
    lines = detail.split("\n")
    assert len(lines) == 10 and lines[0] == "Holded: línea 0" and lines[-1].endswith("…")


def test_what_a_form_ends_in_goes_into_the_call_log(sg, holded, caller, browser, workdir):
    import phonewatch
    caller.registro = phonewatch.registro(str(workdir.path / "llamadas.sqlite3"), 90, "ES")
    caller.registro.abrir()
    caller.registro.anotar("699000111", resultado="formulario")
    created = crmprocs.altateam(form("Ana", "Ruiz"), "699000111", False, caller)
    caller.registro.cerrar()
    (call,) = caller.registro.recientes()
    assert (call["resultado"], call["detalle"]) == ("creado", created)
