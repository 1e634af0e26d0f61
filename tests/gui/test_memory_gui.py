"""Nothing of a closed window stays behind with the real toolkit: the new-contact form and the
tray notice of a lookup, opened and closed again and again, leave the Tk image table and the
toolkit's windows as they were."""
import gc

import pytest

import crmprocs
from tests.conftest import fake_caller, stand_in_client

ROUNDS = 4


def kept(toolkit):
    """What a leak would pile up: Tk images, toolkit windows alive, windows it counts as active."""
    gc.collect()
    root = toolkit.Window.hidden_master_root
    images = len(root.tk.call("image", "names")) if root is not None else 0
    windows = sum(1 for item in gc.get_objects() if isinstance(item, toolkit.Window))
    return images, windows, len(toolkit.Window._active_windows)


@pytest.fixture
def caller(holded, workdir, browser):
    # The form closes by itself at its first read: built whole, then gone.
    return fake_caller(stand_in_client(holded, workdir), {"autocierre": True, "autocierre_tiempo": 0})


@pytest.fixture
def tray(real_sg, monkeypatch):
    show_message = real_sg.SystemTray.show_message

    def short(self, *args, **kwargs):  # the toolkit's own notice, only shown for less time
        return show_message(self, *args, **dict(kwargs, time=(0, 10)))
    monkeypatch.setattr(real_sg.SystemTray, "show_message", short)
    icon = real_sg.SystemTray(menu=["UNUSED", ["Buscar"]], data_base64=real_sg.DEFAULT_BASE64_ICON)
    yield icon
    icon.close()


def test_forms_and_notices_leave_nothing_behind(real_sg, caller, tray, browser):
    def call(known):
        # A known caller: its page and the notice; an unknown one: the notice, then the form.
        crmprocs.buscateam(caller, "622334455" if known else "699000111", tray)

    call(True)
    call(False)
    before = kept(real_sg)
    for _ in range(ROUNDS):
        call(True)
        call(False)
    assert kept(real_sg) == before
    assert len(browser.urls) == ROUNDS + 1
