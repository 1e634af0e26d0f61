"""The whole application from launcher.py, with the real toolkit under Xvfb, the Holded
emulator and the handset stand-in, used from outside as a person would."""
import sqlite3
import time

import pytest

from tests.e2e.harness import TRAY_MENU, AppRun, wait_until

pytestmark = pytest.mark.screen

POLL = 0.5
LUCIA = "5b201ff1d4b57c91bbfaf122"                       # phone 622334455
SAME_NUMBER = ["f81a87a7e7b23b737a2908b7", "d33133a7a17ccccc80a139cf"]  # both 961223344
FORM_TITLE = "^Alta nuevo contacto / empresa$"
ERROR_TITLE = "^Error$"


@pytest.fixture
def run(tmp_path, holded, handset):
    # Without the contact index, every lookup asks Holded, so its requests tell what was looked up.
    with AppRun(tmp_path, holded=holded, handset_dll=handset.dll_path, config={"indice_horas": "0"}) as app_run:
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

    # A handset that cannot be reached is reported once; the tray keeps going.
    run.unreachable()
    run.wait_output("APP no activo", timeout=POLL * 2 + 6)

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


def test_a_known_caller_is_shown_while_the_form_of_an_unknown_one_is_open(run, holded):
    run.start()
    run.wait_tray()
    run.ring("622334455")
    run.wait_pages(1, timeout=POLL + 3)
    run.hangup()
    # Long enough for a read to see the line idle: the caller calling back is a new call.
    time.sleep(POLL + 0.5)
    run.ring("622334455")
    run.wait_pages(2, timeout=POLL + 3)
    run.hangup()

    # An unknown caller: the form opens without waiting for the notice that names the number.
    run.ring("699000111")
    form = run.wait_window(FORM_TITLE, timeout=5)
    assert run.windows("^Verificando: Llamada de 699000111: no est.* en Holded$")
    run.hangup()
    # While the form is open, a caller with two contacts rings: both pages open, the form stays.
    run.ring("961223344")
    pages = run.wait_pages(4, timeout=POLL + 3)
    assert [url for _, url in pages] == [run.contact_page(LUCIA)] * 2 + [run.contact_page(i) for i in SAME_NUMBER]
    assert form in run.windows(FORM_TITLE)
    run.hangup()
    run.close_window(form)
    run.wait_gone(form)

    run.choose_menu_entry(TRAY_MENU.index("Apagar"))
    assert run.wait_exit() == 0, run.report()
    assert run.output_lines().count("622334455") == 2
    assert [r.query for r in holded.requests if r.path.endswith("/contacts")][1:] == [
        "phone=622334455", "phone=622334455", "phone=699000111", "mobile=699000111", "phone=961223344"]


# Runs the launcher with a shorter wait between probes of an unreachable Holded.
SHORT_RETRY = """
import os, runpy, sys
sys.argv = sys.argv[1:]
sys.path.insert(0, os.path.dirname(os.path.abspath(sys.argv[0])))
import phonewatch
phonewatch.RETRY_SECONDS = 1.0
runpy.run_path(sys.argv[0], run_name="__main__")
"""


def test_started_while_holded_refuses_connections(run, holded, tmp_path):
    wrapper = tmp_path / "short_retry.py"
    wrapper.write_text(SHORT_RETRY)
    holded.set_fault("refuse")
    run.start(wrapper=wrapper)
    run.wait_tray()
    wait_until(lambda: any(line.startswith("Holded no responde: ") for line in run.output_lines()), 10,
               what="the trace of the failed probe")
    assert not run.windows("^Error API$") and not run.windows("^Configuración")

    # A call meanwhile: a notice names the number and why Holded could not be asked; no popup
    # holds the tray.
    run.ring("622334455")
    run.wait_window(r"^Verificando: Llamada de 622334455: No se puede conectar con 127\.0\.0\.1:[0-9]+$",
                    timeout=POLL + 12)
    assert not run.windows(ERROR_TITLE)
    run.hangup()

    holded.clear_fault()
    wait_until(lambda: any(r.path.endswith("/contacts") and r.query == "" for r in holded.requests), 15,
               what="a probe once Holded is back")
    run.ring("622334455")
    (_, url), = run.wait_pages(1, timeout=POLL + 8)
    assert url == run.contact_page(LUCIA)
    run.hangup()
    run.choose_menu_entry(TRAY_MENU.index("Apagar"))
    assert run.wait_exit() == 0, run.report()


def test_a_number_stored_in_another_format_opens_its_contact_without_a_request(tmp_path, holded, handset):
    with AppRun(tmp_path, holded=holded, handset_dll=handset.dll_path) as run:
        run.start()
        run.wait_tray()
        # The contact index is read in the background once Holded has answered.
        wait_until(lambda: any(r.query == "page=2" for r in holded.requests), 15, what="the contact index")
        holded.clear_requests()

        run.ring("612345678")  # stored in Holded as "+34 612 34 56 78"
        (_, url), = run.wait_pages(1, timeout=POLL + 3)
        assert url == run.contact_page("128957aefc7f0c91aa90f67a")
        assert holded.requests == [], "a known call costs no request"
        assert run.windows(FORM_TITLE) == []

        run.choose_menu_entry(TRAY_MENU.index("Apagar"))
        assert run.wait_exit(timeout=20) == 0, run.report()


def test_a_start_while_holded_is_unreachable_knows_callers_from_the_kept_index(tmp_path, holded, handset):
    with AppRun(tmp_path, holded=holded, handset_dll=handset.dll_path) as run:
        run.start()
        run.wait_tray()
        # The contact index is read once Holded answers, and kept in the working folder's log.
        kept = run.work / "llamadas.sqlite3"
        wait_until(lambda: any(r.query == "page=2" for r in holded.requests), 15, what="the contact index")
        wait_until(lambda: kept.exists() and stored_index(kept), 15,
                   what="the index kept")
        run.choose_menu_entry(TRAY_MENU.index("Apagar"))
        assert run.wait_exit() == 0, run.report()

        holded.set_fault("refuse")
        holded.clear_requests()
        run.start()
        run.wait_tray()
        run.ring("612345678")  # stored in Holded as "+34 612 34 56 78"
        (_, url), = run.wait_pages(1, timeout=POLL + 5)
        assert url == run.contact_page("128957aefc7f0c91aa90f67a")
        run.hangup()
        run.choose_menu_entry(TRAY_MENU.index("Apagar"))
        assert run.wait_exit() == 0, run.report()

        # An index older than its hours (8 here) is not trusted: the caller is asked of Holded.
        with sqlite3.connect(kept) as db:
            db.execute("UPDATE contact_index SET read_at = read_at - 9 * 3600")
        run.start()
        run.wait_tray()
        run.ring("612345678")
        wait_until(lambda: outcomes(kept)[-1:] == ["sin_conexion"], POLL + 10, what="the call logged")
        assert len(run.pages()) == 1, "no page from the stale index"
        run.choose_menu_entry(TRAY_MENU.index("Apagar"))
        assert run.wait_exit() == 0, run.report()


def outcomes(path):
    with sqlite3.connect(path) as db:
        return [row[0] for row in db.execute("SELECT outcome FROM calls ORDER BY id")]


def stored_index(path):
    with sqlite3.connect(path) as db:
        try:
            return db.execute("SELECT count(*) FROM contact_index").fetchone()[0] > 0
        except sqlite3.DatabaseError:
            return False
