"""The window shown before creating a contact that exists already, with the real toolkit: the
number typed for a new contact is a known contact's in another format; "Abrir existente"."""
from types import SimpleNamespace

import crmapi
import crmprocs
from tests.conftest import config_text

TALLERES = "128957aefc7f0c91aa90f67a"  # phone "+34 612 34 56 78"


def test_open_the_existing_contact_instead_of_a_duplicate(gui, holded, workdir, browser, monkeypatch):
    monkeypatch.setattr(crmapi, "INDEX_REQUEST_GAP", 0)
    workdir.write_config(config_text(api_key=holded.key))
    client = crmapi.crmapi()
    client.indice.actualizar()
    caller = SimpleNamespace(variable=SimpleNamespace(apiteam=client, cvariables={}))
    holded.clear_requests()
    seen = {}

    def actions(gui):
        window = gui.wait_window("Contacto ya existente")
        seen["texts"] = [e.DisplayText for e in window.element_list() if type(e).__name__ == "Text"]
        gui.screenshot("duplicate_window.png")
        gui.click(window, "-ABRIR-")

    gui.run(actions)
    values = {"-Nombre-": "Ana", "-Apellidos-": "Pérez", "-Email-": "", "-TIPO-": "Sin especificar", "-Empresa-": ""}
    assert crmprocs.altateam(values, "612 345 678", False, caller) is None
    gui.check()
    assert "Talleres Ebro Norte S.L. (el mismo teléfono)" in seen["texts"]
    assert browser.urls == [holded.app_url + "contacts/" + TALLERES]
    assert [r for r in holded.requests if r.method == "POST"] == [], "nothing was created"
