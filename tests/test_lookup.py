"""The caller lookup against the Holded emulator over HTTP, with the real API client: the
requests it makes, the pages it opens and the order of what the user sees; the labelled input
row; the quick-link addresses."""

import pytest

import crmprocs
from tests.conftest import fake_caller, stand_in_client

SEED = {
    "lucia": "5b201ff1d4b57c91bbfaf122",        # phone 622334455
    "javier": "d5a2158c9b332920f87a7146",       # mobile 644556677
    "alcantara": "d3248d64454bbf477221fda0",    # phone +34633445566
    "asesoria": "f81a87a7e7b23b737a2908b7",     # phone 961223344, like the clinic
    "clinica": "d33133a7a17ccccc80a139cf",
}


@pytest.fixture
def caller(holded, workdir, sg, browser, monkeypatch):
    """The object the tray hands to the lookup, with a real client against the emulator; the
    new-contact form is recorded instead of opened."""
    client = stand_in_client(holded, workdir)
    forms = []

    def alta(app, number):
        forms.append(number)
        sg.timeline.append(("alta", number))
    monkeypatch.setattr(crmprocs, "alta", alta, raising=False)
    return fake_caller(client, forms=forms)


def queries(holded):
    return [(r.method, r.path, r.query) for r in holded.requests]


def page(holded, name):
    return holded.app_url + "contacts/" + SEED[name]


def test_one_contact_opens_its_page_then_the_notice(caller, holded, sg, browser):
    tray = sg.SystemTray(menu=["UNUSED", []])
    crmprocs.buscateam(caller, "622334455", tray)

    assert queries(holded) == [("GET", "/api/invoicing/v1/contacts", "phone=622334455")]
    assert browser.opened == [(page(holded, "lucia"), 2, True)]
    # The notice names the caller under the number.
    assert tray.messages == [("Verificando", "Telefono 622334455\nLucía Fernández Ortega",
                              sg.SYSTEM_TRAY_MESSAGE_ICON_INFORMATION)]
    timeline = [entry[0] for entry in sg.timeline if entry[0] in ("browser", "message", "alta")]
    assert timeline == ["browser", "message"] and caller.forms == []


def test_two_contacts_open_two_tabs_in_list_order(caller, holded, browser):
    crmprocs.buscateam(caller, "961223344")
    assert browser.urls == [page(holded, "asesoria"), page(holded, "clinica")]


def test_mobile_number_and_international_number(caller, holded, browser):
    crmprocs.buscateam(caller, "644556677")
    crmprocs.buscateam(ntelf="+34633445566", self=caller)
    assert queries(holded)[1:] == [("GET", "/api/invoicing/v1/contacts", "mobile=644556677"),
                                   ("GET", "/api/invoicing/v1/contacts", "phone=%2B34633445566")]
    assert browser.urls == [page(holded, "javier"), page(holded, "alcantara")]


def test_unknown_number_with_the_tray_shows_the_notice_then_the_form(caller, holded, sg, browser):
    tray = sg.SystemTray()
    crmprocs.buscateam(caller, "699000111", tray)
    assert [q[2] for q in queries(holded)] == ["phone=699000111", "mobile=699000111"]
    assert browser.opened == [] and caller.forms == ["699000111"]
    assert [e[0] for e in sg.timeline if e[0] in ("message", "alta")] == ["message", "alta"]


def test_unknown_number_from_the_search_window_opens_the_form_only(caller, sg, browser):
    crmprocs.buscateam(caller, "699000111")
    assert caller.forms == ["699000111"] and not any(e[0] == "message" for e in sg.timeline)


@pytest.mark.parametrize("number", [None, ""])
def test_no_number_is_never_looked_up(caller, holded, sg, browser, number):
    # An empty filter would match every contact without a phone and open a tab for each.
    tray = sg.SystemTray()
    crmprocs.buscateam(caller, number, tray)
    assert holded.requests == [] and browser.opened == [] and tray.messages == [] and caller.forms == []


def test_refused_answer_is_reported_not_opened(caller, holded, browser):
    holded.keys[:] = ["0" * 32]  # the key was revoked while the tray was running
    # The user reads what happened and what to do, not an error code.
    with pytest.raises(RuntimeError, match=r"^Holded ha rechazado la clave API: revísela en Configurar$"):
        crmprocs.buscateam(caller, "622334455")
    assert browser.opened == [] and caller.forms == []


def test_info_in_row(sg):
    caption, field = crmprocs.InfoIn("Email:", "-Email-", True)
    assert (caption.kind, caption.args) == ("Text", ("Email:",))
    assert caption.kwargs == {"size": (0, 0), "justification": "r", "font": "Any 14", "expand_x": 10}
    assert (field.kind, field.args, field.kwargs) == ("Input", (), {"key": "-Email-", "size": (50, 0),
                                                                   "enable_events": True})
    _, plain = crmprocs.InfoIn(text="Nombre:", key="-Nombre-")
    assert plain.kwargs["enable_events"] is False


WA, GOOGLE = "https://wa.me/", "https://www.google.com/search?q="
LINKEDIN, ORIGIN = "https://www.linkedin.com/search/results/all/?keywords=", "&origin=GLOBAL_SEARCH_HEADER"


def form(nombre="", apellidos="", empresa=""):
    return {"-Nombre-": nombre, "-Apellidos-": apellidos, "-Empresa-": empresa, "-Email-": "x"}


@pytest.mark.parametrize("number, chat, searched", [
    ("612345678", "34612345678", "612345678"),          # national: the Spanish prefix is added
    ("612 34 56 78", "34612345678", "612345678"),
    ("+34612345678", "34612345678", "+34612345678"),    # international: its own digits
    ("+44 20 7946 0958", "442079460958", "+442079460958"),
    ("0044207946095", "44207946095", "0044207946095"),
    ("4915112345678", "4915112345678", "4915112345678"),
])
def test_blink_without_names_opens_whatsapp_and_google(browser, number, chat, searched):
    crmprocs.blink(form(), number)
    assert browser.opened == [(WA + chat, 2, False), (GOOGLE + searched, 2, True)]


def test_blink_with_person_and_company(browser):
    crmprocs.blink(form("Ana María", "Pérez Gil", "Pérez & Hijos #2"), "612345678")
    assert browser.opened[2:] == [(LINKEDIN + "Ana María%20Pérez Gil" + ORIGIN, 2, True),
                                  (LINKEDIN + "Pérez %26 Hijos %232" + ORIGIN, 2, True)]


def test_blink_with_first_name_only(browser):
    crmprocs.blink(valores=form("Ana"), telefono="612345678")
    assert browser.urls[2:] == [LINKEDIN + "Ana%20" + ORIGIN]


def test_a_contact_without_an_id_is_skipped(caller, holded, browser):
    holded.set_fault("respond", status=200, body=[{"name": "Sin id"}, {"id": SEED["lucia"], "name": "Lucía"}], times=1)
    crmprocs.buscateam(caller, "622334455")
    assert browser.urls == [page(holded, "lucia")] and caller.forms == []


def test_a_lookup_is_logged_with_where_the_number_came_from(caller, holded, workdir):
    import phonewatch
    caller.registro = phonewatch.registro(str(workdir.path / "llamadas.sqlite3"), 90, "ES")
    caller.registro.abrir()
    crmprocs.buscateam(caller, "622334455", origen="linea")
    crmprocs.buscateam(caller, "699000111")
    holded.set_fault("refuse")
    with pytest.raises(Exception):
        crmprocs.buscateam(caller, "611000000")
    caller.registro.cerrar()
    calls = caller.registro.recientes()
    assert [(c["numero"], c["origen"], c["resultado"]) for c in reversed(calls)] == [
        ("622334455", "linea", "pagina"), ("699000111", "busqueda", "formulario"),
        ("611000000", "busqueda", "sin_conexion")]
    assert calls[-1]["contactos"] == [{"id": SEED["lucia"], "name": "Lucía Fernández Ortega"}]
