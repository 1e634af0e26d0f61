"""The manual search window with the real toolkit: typed as a person would, Enter as X11
reports it, the button, the field's colours and the window closing by itself."""
import types

import pytest

import phonewatch


class Calls(list):
    """The run's queue of numbers for the lookup thread, as a list."""

    def put(self, item):
        self.append(item)


@pytest.fixture
def searcher():
    """A phonewatch object with settings only (no tray, no handset), and the lookups it hands to
    the run's lookup thread."""
    app = phonewatch.phonewatch.__new__(phonewatch.phonewatch)
    app.variable = types.SimpleNamespace(cvariables={"autocierre": False, "autocierre_tiempo": 600})
    app.consultas = app.lookups = Calls()
    return app


def background(window):
    return str(window["-tlf-"].Widget.cget("background"))


def test_typed_number_and_enter(searcher, gui):
    seen = {}

    def actions(gui):
        window = gui.wait_window("")
        gui.click(window, "-tlf-")
        gui.type("+34 612 34 56 78")
        seen["colour"] = background(window)
        gui.screenshot("search_window.png")
        gui.key("Return")

    gui.run(actions)
    assert searcher.buscar() is True
    gui.check()
    assert seen["colour"] == "Blue"
    assert searcher.lookups == [("+34612345678", "busqueda")]


def test_a_number_with_dashes_is_not_searched_until_corrected(searcher, gui):
    seen = {}

    def actions(gui):
        window = gui.wait_window("")
        gui.click(window, "-tlf-")
        gui.type("612-345-678")
        gui.key("Return", "KP_Enter")
        seen["colour"], seen["lookups"] = background(window), list(searcher.lookups)
        gui.key(*["BackSpace"] * 11)
        gui.type("612345678")
        gui.click(window, "buscar")

    gui.run(actions)
    searcher.buscar()
    gui.check()
    assert seen == {"colour": "orange", "lookups": []}
    assert searcher.lookups == [("612345678", "busqueda")]


def test_window_closes_by_itself(searcher, gui):
    searcher.variable.cvariables.update(autocierre=True, autocierre_tiempo=1)
    gui.run(lambda gui: gui.wait_window(""))
    assert searcher.buscar() is True
    gui.check()
    assert searcher.lookups == []
