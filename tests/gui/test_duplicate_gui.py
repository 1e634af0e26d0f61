"""The window shown before creating a contact that exists already, with the real toolkit: the
number typed for a new contact is a known contact's in another format; "Abrir existente". A
number shared by sixty contacts still gives a window that fits the screen; Escape is "Volver"."""

import pytest

import crmapi
import crmprocs
from tests.conftest import fake_caller, stand_in_client

TALLERES = "128957aefc7f0c91aa90f67a"  # phone "+34 612 34 56 78"
VALUES = {"-Nombre-": "Ana", "-Apellidos-": "Pérez", "-Email-": "", "-TIPO-": "Sin especificar", "-Empresa-": ""}


@pytest.fixture
def caller(holded, workdir, monkeypatch):
    def make():
        monkeypatch.setattr(crmapi, "INDEX_REQUEST_GAP", 0)
        client = stand_in_client(holded, workdir)
        client.indice.actualizar()
        holded.clear_requests()
        return fake_caller(client)
    return make


def test_open_the_existing_contact_instead_of_a_duplicate(gui, holded, caller, browser):
    seen = {}

    def actions(gui):
        window = gui.wait_window("Contacto ya existente")
        seen["texts"] = [e.DisplayText for e in window.element_list() if type(e).__name__ == "Text"]
        gui.screenshot("duplicate_window.png")
        gui.click(window, "-ABRIR-")

    gui.run(actions)
    assert crmprocs.altateam(VALUES, "612 345 678", False, caller()) is None
    gui.check()
    assert "Talleres Ebro Norte S.L. (el mismo teléfono)" in seen["texts"]
    assert browser.urls == [holded.app_url + "contacts/" + TALLERES]
    assert [r for r in holded.requests if r.method == "POST"] == [], "nothing was created"


def test_sixty_contacts_of_one_number_fit_the_screen_and_escape_goes_back(gui, holded, caller, browser):
    for n in range(60):
        holded.add_contact({"name": f"Centralita {n:02d} " + "S.L. " * n, "phone": "+34 911 22 33 44"})
    seen = {}

    def actions(gui):
        window = gui.wait_window("Contacto ya existente")
        root = window.TKroot
        seen["box"] = (root.winfo_rootx(), root.winfo_rooty(), root.winfo_width(), root.winfo_height())
        seen["screen"] = (root.winfo_screenwidth(), root.winfo_screenheight())
        seen["rows"] = window["-COINCIDENCIAS-"].Widget.size()
        gui.screenshot("duplicate_window_sixty.png")
        gui.key("Escape")

    gui.run(actions)
    assert crmprocs.altateam(VALUES, "911 22 33 44", False, caller()) is False
    gui.check()
    x, y, width, height = seen["box"]
    assert x >= 0 and y >= 0 and x + width <= seen["screen"][0] and y + height <= seen["screen"][1]
    assert seen["rows"] == 60, "every contact is in the list, which scrolls"
    assert browser.urls == [] and [r for r in holded.requests if r.method == "POST"] == []
