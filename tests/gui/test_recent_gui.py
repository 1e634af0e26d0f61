"""The recent-calls window with the real toolkit: a double-click on a call opens its contact,
Escape closes the window."""
import time
import types

import phonewatch

ANA = {"id": "a1", "name": "Ana Ruiz"}


def test_double_click_opens_the_contact_and_escape_closes(gui, workdir, browser):
    log = phonewatch.registro(str(workdir.path / "llamadas.sqlite3"), 90, "ES")
    log.abrir()
    log.anotar("699000111", resultado="formulario")
    log.anotar("612345678", contactos=[ANA], resultado="pagina")
    deadline = time.monotonic() + 5
    while len(log.recientes()) < 2 and time.monotonic() < deadline:
        time.sleep(0.01)
    app = phonewatch.phonewatch.__new__(phonewatch.phonewatch)
    app.registro = log
    app.variable = types.SimpleNamespace(cvariables={"pais": "ES"}, apiteam=types.SimpleNamespace())
    seen = {}

    def actions(gui):
        window = gui.wait_window("Llamadas recientes")
        table = window["-LLAMADAS-"].Widget
        first = table.get_children()[0]
        x, y, width, height = table.bbox(first, "#2")
        gui.screenshot("recent_calls.png")
        gui.click_at(table.winfo_rootx() + x + width // 2, table.winfo_rooty() + y + height // 2)
        gui.xdotool("click", "--repeat", 2, "--delay", 80, 1)  # a double-click on the selected call
        deadline = time.monotonic() + 5
        while not browser.urls and time.monotonic() < deadline:
            time.sleep(0.05)
        seen["pages"] = list(browser.urls)
        gui.key("Escape")

    gui.run(actions)
    assert app.recientes() is True
    gui.check()
    log.cerrar()
    assert seen["pages"] and seen["pages"][0].endswith("/contacts/a1")
