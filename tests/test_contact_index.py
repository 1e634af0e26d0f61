"""Callers found however their number is written: the canonical form of a number, the contact index
read from the Holded emulator over HTTP, the lookup through it, and the check against duplicates
before a contact is created."""
import time
from types import SimpleNamespace

import pytest

import crmapi
import crmprocs
import dirscrape
from emulators.holded import HoldedEmulator
from emulators.holded.v2 import to_v2
from tests.conftest import config_text, fake_caller, stand_in_client

CONTACTS = "/api/invoicing/v1/contacts"
TALLERES = "128957aefc7f0c91aa90f67a"  # phone "+34 612 34 56 78"
LUCIA = "5b201ff1d4b57c91bbfaf122"     # phone "622334455"
MARIA = "5e3e8d7ccd9ee4647e247887"     # phone "+34 955 12 34 56", mobile "+34677889900"


@pytest.mark.parametrize("written, region, canonical", [
    # The usual Spanish ways of writing one mobile number.
    ("612345678", "ES", "+34612345678"), ("612 345 678", "ES", "+34612345678"),
    ("612 34 56 78", "ES", "+34612345678"), ("+34 612 34 56 78", "ES", "+34612345678"),
    ("0034 612 345 678", "ES", "+34612345678"), ("(+34) 612-34-56-78", "ES", "+34612345678"),
    ("612.34.56.78", "ES", "+34612345678"), ("６１２３４５６７８", "ES", "+34612345678"),
    ("91 123 45 67", "ES", "+34911234567"),
    # An extension belongs to its main number.
    ("912 345 678 ext. 21", "ES", "+34912345678"), ("912345678#21", "ES", "+34912345678"),
    # Foreign numbers written with their prefix, whatever the office's country.
    ("+44 20 7946 0958", "ES", "+442079460958"), ("0044 20 7946 0958", "ES", "+442079460958"),
    ("+44 20 7946 0958", "FR", "+442079460958"),
    # Another office's country reads national numbers as its own.
    ("06 12 34 56 78", "FR", "+33612345678"), ("612345678", "FR", "+33612345678"),
    # Ranges the number data does not list as assigned (7x, 90x, 99x) are still numbers.
    ("712 34 56 78", "ES", "+34712345678"), ("909 123 456", "ES", "+34909123456"),
    ("991 23 45 67", "ES", "+34991234567"), ("+34 751 234 567", "ES", "+34751234567"),
    # No possible number (too short or too long for its country): matched only exactly, never by
    # a tail of digits.
    ("112", "ES", None), ("016", "ES", None), ("", "ES", None), ("-1", "ES", None), ("Unknown", "ES", None),
    ("n/a", "ES", None), ("12345", "ES", None), ("+34 (0) 612345678", "ES", None), ("45678", "ES", None),
    ("6123456789", "ES", None), ("+34 61234567", "ES", None),
])
def test_canonical_number(written, region, canonical):
    assert crmapi.numero_canonico(written, region) == canonical


# --- the index over HTTP ---------------------------------------------------------------------

@pytest.fixture(autouse=True)
def no_gap(monkeypatch):
    """The builds of these tests need not spread their requests over a minute."""
    monkeypatch.setattr(crmapi, "INDEX_REQUEST_GAP", 0)


def make_client(emulator, workdir, monkeypatch, api="v1", **settings):
    """A client against `emulator`, which may be one of the test's own rather than the fixture."""
    monkeypatch.setenv("HOLDED_API_URL", emulator.api_url)
    monkeypatch.setenv("HOLDED_APP_URL", emulator.app_url)
    return stand_in_client(emulator, workdir, api, **settings)


@pytest.fixture
def client(holded, workdir, monkeypatch):
    return make_client(holded, workdir, monkeypatch)


def pages_asked(emulator):
    return [r.query for r in emulator.requests if r.path == CONTACTS]


def ids(records):
    return sorted(record["id"] for record in records)


@pytest.mark.parametrize("stored", ["es", " ES", "ESP", "XX", ""])
def test_an_office_region_written_loosely_still_reads_national_numbers(holded, workdir, monkeypatch, stored):
    client = make_client(holded, workdir, monkeypatch, pais=stored)
    client.indice.actualizar()
    assert ids(client.indice.buscar("612 34 56 78")) == [TALLERES]


def test_every_written_form_finds_its_contact_without_a_request(client, holded):
    index = client.indice
    assert not index.listo and index.buscar("612345678") == []
    assert index.actualizar() == len(holded.contacts)
    # One page of 8: only an empty page tells that it was the last (v1 gives no count).
    assert index.listo and pages_asked(holded) == ["page=1", "page=2"]
    holded.clear_requests()
    assert ids(index.buscar("612345678")) == [TALLERES]
    assert ids(index.buscar("+34622334455")) == [LUCIA]
    assert ids(index.buscar("677 88 99 00")) == ids(index.buscar("0034955123456")) == [MARIA]
    assert index.buscar("699000111") == [] and index.buscar("112") == []
    assert holded.requests == []
    [found] = index.buscar("612345678")
    assert found == {"id": TALLERES, "name": "Talleres Ebro Norte S.L."}


def test_contact_persons_phones_are_found(holded, workdir, monkeypatch):
    holded.add_contact({"name": "Obras Levante", "phone": "", "contactPersons": [
        {"personId": "p1", "name": "Jefa de obra", "phone": "+34 699 88 77 66"}]})
    client = make_client(holded, workdir, monkeypatch)
    client.indice.actualizar()
    assert [c["name"] for c in client.indice.buscar("699887766")] == ["Obras Levante"]


def test_listing_pages_until_a_short_page(workdir, monkeypatch):
    with HoldedEmulator(page_size=3) as emulator:
        client = make_client(emulator, workdir, monkeypatch)
        assert client.indice.actualizar() == 8
        assert pages_asked(emulator) == ["page=1", "page=2", "page=3"]  # 3 + 3 + 2: the third is the last
        emulator.add_contact({"name": "Novena", "phone": "600000009"})
        emulator.clear_requests()
        assert client.indice.actualizar() == 9
        assert pages_asked(emulator) == ["page=1", "page=2", "page=3", "page=4"]  # 3 + 3 + 3 + nothing


def test_an_api_that_ignores_the_page_does_not_loop(workdir, monkeypatch):
    with HoldedEmulator(page_size=3, ignore_page=True) as emulator:
        client = make_client(emulator, workdir, monkeypatch)
        assert client.indice.actualizar() == 3
        assert pages_asked(emulator) == ["page=1", "page=2"]


def test_a_failed_build_keeps_the_index_it_had(client, holded, capsys):
    index = client.indice
    index.actualizar()
    holded.set_fault("refuse")
    with pytest.raises(Exception):
        index.actualizar()
    assert index.listo and ids(index.buscar("612345678")) == [TALLERES]
    holded.clear_fault()
    holded.keys[:] = ["0" * 32]  # the key revoked: a refusal is a failed build too
    with pytest.raises(RuntimeError):
        index.actualizar()
    assert ids(index.buscar("612345678")) == [TALLERES]


def wait_for(condition, timeout=10):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.02)


def test_background_builds_follow_the_age_rule(holded, workdir, monkeypatch, capsys):
    client = make_client(holded, workdir, monkeypatch, indice_horas="0,0003")  # about a second, written "0,0003"
    index = client.indice
    assert index.revisar() is True
    wait_for(lambda: index.listo)
    assert index.revisar() is False, "a fresh index is not read again"
    time.sleep(1.2)
    assert index.revisar() is False, "however few the hours, a rebuild waits minutes after the last"
    monkeypatch.setattr(crmapi, "INDEX_MIN_SECONDS", 1)
    holded.clear_requests()
    assert index.revisar() is True
    wait_for(lambda: pages_asked(holded) and index.revisar() is False)
    # A failed background build says so in one line, keeps the index and is not retried at once.
    time.sleep(1.2)
    holded.set_fault("refuse")
    assert index.revisar() is True
    wait_for(lambda: "Indice de contactos sin actualizar" in capsys.readouterr().out)
    assert index.revisar() is False and index.listo


def test_turned_off_the_index_is_never_built(holded, workdir, monkeypatch):
    client = make_client(holded, workdir, monkeypatch, indice_horas="0")
    assert client.indice.revisar() is False and client.indice.revisar(forzar=True) is False
    assert not client.indice.listo and holded.requests == []


def test_a_new_key_forgets_the_old_accounts_contacts(client, holded):
    client.indice.actualizar()
    assert client.cambiar_clave(holded.key) is False and client.indice.listo
    assert client.cambiar_clave("1" * 32) is True
    assert not client.indice.listo and client.headers["key"] == "1" * 32


def test_the_tray_never_waits_for_a_build(holded, workdir, monkeypatch):
    holded.set_fault("stall", seconds=3)
    client = make_client(holded, workdir, monkeypatch)
    started = time.monotonic()
    assert client.indice.revisar() is True
    assert time.monotonic() - started < 0.2
    holded.clear_fault()
    wait_for(lambda: client.indice.listo)


# --- what Holded may send -------------------------------------------------------------------

def names(records):
    return sorted(record["name"] for record in records)


@pytest.mark.parametrize("api", ["v1", "v2"])
def test_malformed_records_are_mended_or_skipped_never_fatal(holded, workdir, monkeypatch, capfd, api):
    # Half an emoji (a lone surrogate escape) in a field used to stop the index for good.
    holded.add_contact({"name": "Ana \ud83d", "phone": "611 22 33 44\ud83d", "code": "B1\ud83d",
                        "email": "ana@x.es\ud83d"})
    holded.add_contact({"id": "0123456789abcdef012345\ud83d", "name": "Sin página propia", "phone": "622000000"})
    holded.add_contact({"name": ["Lista"], "phone": {"no": 1}, "mobile": True, "code": 3.5, "email": 7})
    client = make_client(holded, workdir, monkeypatch, api)
    index = client.indice
    assert index.revisar() is True
    wait_for(lambda: index.listo)
    mended = 2 if api == "v1" else 1  # the v2 stand-in sends every field as text
    printed = capfd.readouterr()
    assert f"Indice de contactos: 1 contactos ilegibles omitidos y {mended} reparados" in printed.out
    assert printed.err == ""
    assert len(index) == len(holded.contacts) - 1
    assert names(index.buscar("611223344")) == ["Ana \ufffd"] and index.buscar("622000000") == []

    # Items that are no contact at all are skipped too.
    items = [c if api == "v1" else to_v2(c) for c in holded.contacts] + ["texto", 7, None, []]
    holded.set_fault("respond", methods=["GET"], times=1,
                     body=items if api == "v1" else {"items": items, "cursor": None, "has_more": False})
    assert index.actualizar() == len(holded.contacts) - 1
    assert f"5 contactos ilegibles omitidos y {mended} reparados" in capfd.readouterr().out


def test_any_failure_of_a_background_build_is_told_in_one_line(holded, workdir, monkeypatch, capfd):
    client = make_client(holded, workdir, monkeypatch)
    monkeypatch.setattr(crmapi, "INDEX_REQUEST_GAP", "no es un número")  # fails in C++, not in Python
    assert client.indice.revisar() is True
    wait_for(lambda: "Indice de contactos sin actualizar: " in capfd.readouterr().out)
    assert capfd.readouterr().err == "" and not client.indice.listo


@pytest.mark.parametrize("api", ["v1", "v2"])
def test_every_number_of_a_phone_field_is_indexed(holded, workdir, monkeypatch, api):
    holded.add_contact({"name": "Con nota", "phone": "612 34 56 70 (móvil)"})
    holded.add_contact({"name": "Dos números", "phone": "912 345 670 / 699 112 230"})
    holded.add_contact({"name": "Número JSON", "mobile": 655443322, "phone": 34911223340})
    client = make_client(holded, workdir, monkeypatch, api)
    client.indice.actualizar()
    found = {number: names(client.indice.buscar(number)) for number in
             ("612345670", "912345670", "699112230", "+34 655 44 33 22", "911 22 33 40")}
    assert found == {"612345670": ["Con nota"], "912345670": ["Dos números"], "699112230": ["Dos números"],
                     "+34 655 44 33 22": ["Número JSON"], "911 22 33 40": ["Número JSON"]}


def test_the_duplicate_guard_knows_the_usual_spellings(holded, workdir, monkeypatch):
    holded.add_contact({"name": "Forma europea", "code": "ESB12345670", "email": "a@x.es, b@y.es"})
    holded.add_contact({"name": "Con nombre", "vatnumber": "ES B-87654320", "email": "Ana Pérez <Ana@Z.es>"})
    client = make_client(holded, workdir, monkeypatch)
    client.indice.actualizar()

    def matched(**given):
        return [(d["contacto"]["name"], d["coincide"]) for d in client.indice.duplicados(**given)]

    for written in ("B12345670", "ES B-12345670", "B/12345670", "b.1234.5670"):
        assert matched(nif=written) == [("Forma europea", ["nif"])], written
    assert matched(nif="B87654320") == [("Con nombre", ["nif"])]
    assert matched(email="B@y.es") == [("Forma europea", ["email"])]
    assert matched(email="ana@z.es") == [("Con nombre", ["email"])]
    assert matched(email="x@x.es") == [] and matched(nif="B1234567") == []


def test_a_listing_cut_short_keeps_the_index_it_had(workdir, monkeypatch, capfd):
    with HoldedEmulator(seed=[{"name": f"Cliente {n}", "phone": f"6{n:08d}"} for n in range(1500)]) as emulator:
        client = make_client(emulator, workdir, monkeypatch)
        index = client.indice
        assert index.actualizar() == 1500
        # One empty page in the middle used to shrink the index to the first page's 500.
        emulator.blank_pages = {2}
        with pytest.raises(RuntimeError, match="500 contactos de los 1500"):
            index.actualizar()
        assert len(index) == 1500 and names(index.buscar("600001499")) == ["Cliente 1499"]
        assert index.revisar(forzar=True) is True
        wait_for(lambda: "se conserva el índice anterior" in capfd.readouterr().out)
        assert len(index) == 1500
        # A listing that ends as Holded ends one may shrink the index.
        emulator.blank_pages = set()
        for contact in emulator.contacts[400:]:
            emulator.remove_contact(contact["id"])
        assert index.actualizar() == 400 and len(index) == 400


def test_odd_v2_answers_keep_the_index_it_had(holded, workdir, monkeypatch):
    client = make_client(holded, workdir, monkeypatch, "v2")
    index = client.indice
    index.actualizar()
    for odd in ({"items": ["a", "b", "c", "d", "e"], "has_more": False}, {"data": []}, {"items": []}):
        holded.set_fault("respond", methods=["GET"], times=1, body=odd)
        with pytest.raises(RuntimeError):
            index.actualizar()
        assert len(index) == len(holded.contacts)


@pytest.mark.parametrize("limit, value", [("INDEX_MAX_PAGES", 5), ("INDEX_MAX_CONTACTS", 10)])
def test_an_endless_listing_is_given_up(workdir, monkeypatch, limit, value):
    with HoldedEmulator(page_size=3) as emulator:
        client = make_client(emulator, workdir, monkeypatch)
        client.indice.actualizar()
        emulator.endless = True
        monkeypatch.setattr(crmapi, limit, value)
        emulator.clear_requests()
        with pytest.raises(RuntimeError, match="no termina la lista"):
            client.indice.actualizar()
        assert len(client.indice) == len(emulator.contacts) and len(emulator.requests) <= 5


# --- the lookup through the index ----------------------------------------------------------

@pytest.fixture
def caller(client, sg, browser, monkeypatch):
    forms = []
    monkeypatch.setattr(crmprocs, "alta", lambda app, number: forms.append(number), raising=False)
    return fake_caller(client, forms=forms)


def test_known_caller_opens_without_a_request(caller, client, holded, sg, browser):
    client.indice.actualizar()
    holded.clear_requests()
    tray = sg.SystemTray()
    crmprocs.buscateam(caller, "612345678", tray)
    assert holded.requests == []
    assert browser.urls == [holded.app_url + "contacts/" + TALLERES] and caller.forms == []
    assert tray.messages[0][1] == "Telefono 612345678\nTalleres Ebro Norte S.L."


def test_numbers_the_index_lacks_go_to_holded_and_are_learnt(caller, client, holded, browser):
    client.indice.actualizar()
    new_id = holded.add_contact({"name": "Recién llegada", "phone": "699112233"})  # added in the web app
    holded.clear_requests()
    crmprocs.buscateam(caller, "699112233")
    assert pages_asked(holded) == ["phone=699112233"]
    crmprocs.buscateam(caller, "+34 699 11 22 33")
    assert len(holded.requests) == 1, "found again through the index"
    assert browser.urls == [holded.app_url + "contacts/" + new_id] * 2

    crmprocs.buscateam(caller, "699000111")
    assert pages_asked(holded)[1:] == ["phone=699000111", "mobile=699000111"] and caller.forms == ["699000111"]


def test_without_an_index_the_lookup_asks_holded(caller, client, holded, browser):
    crmprocs.buscateam(caller, "622334455")
    assert pages_asked(holded) == ["phone=622334455"]
    bare = SimpleNamespace(Lista=client.Lista)  # a client without an index
    crmprocs.buscateam(SimpleNamespace(variable=SimpleNamespace(apiteam=bare)), "622334455")
    assert len(browser.urls) == 2


# --- no duplicates -------------------------------------------------------------------------

def form(nombre="", apellidos="", email="", empresa=""):
    return {"-Nombre-": nombre, "-Apellidos-": apellidos, "-Email-": email, "-TIPO-": "Sin especificar",
            "-Empresa-": empresa}


def posts(holded):
    return [r for r in holded.requests if r.method == "POST"]


DUPLICATE = "Contacto ya existente"


@pytest.mark.parametrize("choice, created, answer", [("-ABRIR-", False, None), ("-CREAR-", True, str),
                                                     ("-VOLVER-", False, False), (None, False, False)])
def test_a_known_number_asks_before_creating(caller, client, holded, sg, browser, choice, created, answer):
    client.indice.actualizar()
    holded.clear_requests()
    sg.script((choice, {}))
    result = crmprocs.altateam(form("Ana", "Pérez"), "612 345 678", False, caller)

    [window] = sg.windows
    assert window.title == DUPLICATE and window.closed
    assert any("Talleres Ebro Norte S.L. (el mismo teléfono)" == e.text for e in window.walk())
    assert bool(posts(holded)) is created
    if answer is str:
        assert isinstance(result, str) and browser.urls == [holded.app_url + "contacts/" + result]
        assert ids(client.indice.buscar("612345678")) == sorted([TALLERES, result]), "the new contact is indexed"
    else:
        assert result is answer
        opened = [holded.app_url + "contacts/" + TALLERES] if choice == "-ABRIR-" else []
        assert browser.urls == opened


def test_e_mail_and_tax_id_are_duplicates_too(caller, client, holded, sg, browser, monkeypatch):
    client.indice.actualizar()
    monkeypatch.setattr(dirscrape, "dirscrape", lambda company: {"Razón Social": "TALLERES EBRO NORTE SL",
                                                                 "Cif": "b-50.123.456"}, raising=False)
    sg.script(("-VOLVER-", {}))
    crmprocs.altateam(form("Luis", "", "Lucia.Fernandez@correo.example", "Talleres Ebro"), "699000111", True, caller)
    texts = [e.text for e in sg.windows[0].find("Text")]
    assert "Talleres Ebro Norte S.L. (el mismo NIF/CIF)" in texts
    assert "Lucía Fernández Ortega (el mismo email)" in texts
    assert posts(holded) == []


def test_a_new_contact_asks_nothing(caller, client, holded, sg, browser):
    client.indice.actualizar()
    crmprocs.altateam(form("Eva", "Ruiz", "eva@nueva.example"), "699000222", False, caller)
    assert sg.windows == [] and len(posts(holded)) == 1


def test_a_build_begun_with_the_old_key_is_not_kept(holded, workdir, monkeypatch):
    workdir.write_config(config_text(api_key=holded.token))  # v2: one page holds the whole seed
    client = crmapi.crmapi()
    holded.clear_requests()
    holded.set_fault("stall", seconds=1, times=1)
    assert client.indice.revisar() is True
    wait_for(lambda: holded.requests)
    client.cambiar_clave("pat_OtraCuenta123")
    wait_for(lambda: holded.requests[0].status is not None)
    time.sleep(0.3)
    assert not client.indice.listo, "the old account's contacts are not kept"
