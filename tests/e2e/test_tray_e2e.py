"""The whole application from launcher.py, with the real toolkit under Xvfb, the Holded
emulator and the handset stand-in, used from outside as a person would."""
import pytest

from tests.e2e.harness import TRAY_MENU, AppRun, wait_until

pytestmark = pytest.mark.screen

POLL = 2.4
LUCIA = "5b201ff1d4b57c91bbfaf122"                       # phone 622334455
SAME_NUMBER = ["f81a87a7e7b23b737a2908b7", "d33133a7a17ccccc80a139cf"]  # both 961223344
FORM_TITLE = "^Alta nuevo contacto / empresa$"
ERROR_TITLE = "^Error$"


@pytest.fixture
def run(tmp_path, holded, handset):
    with AppRun(tmp_path, holded=holded, handset_dll=handset.dll_path) as app_run:
        yield app_run


def test_calls_search_and_shut_down(run, holded):
    run.start()
    run.wait_tray()

    # A known caller: the contact's page opens within one poll period and a second.
    rang = run.ring("622334455")
    (opened, url), = run.wait_pages(1, timeout=POLL + 3)
    assert url == run.contact_page(LUCIA)
    assert opened - rang < POLL + 1.0, f"page opened {opened - rang:.2f} s after the ring"
    run.hangup()

    # An unknown caller: the new-contact form (or, without one, the error popup) appears and
    # the tray goes on afterwards.
    run.ring("699000111")
    form = wait_until(lambda: (run.windows(FORM_TITLE) + run.windows(ERROR_TITLE) or [None])[-1], 15,
                      what="the new-contact form or an error popup")
    run.screenshot("e2e_unknown_caller.png")
    run.close_window(form)
    run.wait_gone(form)
    run.hangup()

    # The tray icon opens the search window; a typed number and Enter look it up.
    run.click_tray()
    search = run.wait_new_window()
    run.focus(search)
    run.type("961 223 344")
    run.key("Return")
    pages = run.wait_pages(3, timeout=10)
    assert [url for _, url in pages[1:]] == [run.contact_page(i) for i in SAME_NUMBER]
    run.wait_gone(search)

    # A handset that cannot be reached is reported at every poll; the tray keeps going.
    run.unreachable()
    run.wait_output("APP no activo", timeout=POLL * 2 + 6, count=2)

    run.choose_menu_entry(TRAY_MENU.index("Apagar"))
    assert run.wait_exit(timeout=20) == 0, run.report()
    lines = run.output_lines()
    assert "622334455" in lines and "699000111" in lines and "sin dll" not in lines
    assert len(run.pages()) == 3
    assert [r.query for r in holded.requests if r.path.endswith("/contacts")] == [
        "", "phone=622334455", "phone=699000111", "mobile=699000111", "phone=961223344"]


def test_without_handset_link_with_a_start_up_number(tmp_path, holded):
    with AppRun(tmp_path, holded=holded, handset_dll=None) as run:
        run.start("tel:+34", "622 33 44 55")
        run.wait_tray()
        (_, url), = run.wait_pages(1)
        assert url == run.contact_page(LUCIA)
        run.wait_output("sin dll")
        run.choose_menu_entry(TRAY_MENU.index("Apagar"))
        assert run.wait_exit() == 0, run.report()
        assert run.output_lines().count("sin dll") == 1
