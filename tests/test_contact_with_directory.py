"""A new company contact filled from the company directory: the real lookup against the directory
stand-in, the real client against the Holded stand-in, the user's choice made in the chooser."""
import html

import pytest

import crmapi
import crmprocs
from tests.test_contact_form import TITLE, caller, client  # noqa: F401  (fixtures)
from tests.test_dirscrape import no_waiting_notice  # noqa: F401  (fixture)
from tests.toolkit_double import Step


def form(company, name="Ana", surnames="Gil", email=""):
    return {"-Nombre-": name, "-Apellidos-": surnames, "-Email-": email, "-Empresa-": company, "-TIPO-": "Cliente"}


def test_single_result_fills_the_record(caller, holded, directory, sg, browser):
    new_id = crmprocs.altateam(form("Ferreteria Sol"), "611222333", True, caller)
    stored = holded.contact(new_id)
    assert stored["name"] == "FERRETERÍA SOL SL"
    assert stored["vatnumber"] == stored["code"] == "B41000004"
    assert stored["billAddress"] == {"address": "Avenida de la Constitución 14, 41004", "city": "SEVILLA",
                                     "country": "España", "postalCode": "41004"}
    assert stored["email"] == "ventas@ferreteriasol.es", "the directory's address when none was typed"
    assert browser.urls[-1].endswith("contacts/" + new_id)
    assert not sg.windows, "one result needs no chooser"


def test_hostile_page_reaches_the_note_only_as_text(caller, holded, directory, sg, browser):
    sg.script(Step("-exportar-", {"-LISTBOX-": ["HORNO SAN JUAN SL"]}, on="Empresa eInforma"))
    new_id = crmprocs.altateam(form("Horno", email="yo@example.com"), "611222334", True, caller)
    stored = holded.contact(new_id)
    note = stored["notes"][0]["description"]
    assert "<script" not in note and "<img" not in note and "href" not in note
    assert html.escape("<script>alert(1)</script>") in note
    assert stored["name"] == "HORNO SAN JUAN <script>alert(1)</script> SL", "the legal name is data, sent as typed text"
    assert stored["email"] == "yo@example.com", "a typed e-mail wins"
    assert stored["vatnumber"] == "B46000009"


@pytest.mark.parametrize("ending", ["closed", "unreachable"])
def test_no_directory_data_is_said_with_the_creation(caller, holded, directory, sg, browser, ending):
    if ending == "closed":
        sg.script(Step(None, on="Empresa eInforma"))
    else:
        directory.set_fault("refuse")
    new_id = crmprocs.altateam(form("Horno"), "611222335", True, caller)
    stored = holded.contact(new_id)
    assert stored["name"] == "Horno" and "vatnumber" not in stored and stored["billAddress"] == {}
    assert caller.notices == [(TITLE, "Contacto creado: Horno (sin datos del directorio)")]


def test_the_directorys_email_is_checked_against_the_contacts(caller, holded, directory, sg, browser, monkeypatch):
    monkeypatch.setattr(crmapi, "INDEX_REQUEST_GAP", 0)
    holded.add_contact({"name": "Ferretería de siempre", "email": "ventas@ferreteriasol.es"})
    caller.variable.apiteam.indice.actualizar()
    sg.script(Step("-VOLVER-", on="Contacto ya existente"))
    assert crmprocs.altateam(form("Ferreteria Sol"), "611222336", True, caller) is False
    assert "Ferretería de siempre" in str(sg.windows[0].layout) and "el mismo email" in str(sg.windows[0].layout)
    assert [r for r in holded.requests if r.method == "POST"] == []
