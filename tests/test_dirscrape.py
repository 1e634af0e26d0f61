"""The company-directory lookup over real HTTP against the directory emulator: fetching pages,
the search and its filter, the chooser's events (toolkit double) and reading company pages."""
import os
import threading
import time
import webbrowser
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest
import requests

import dirscrape
from emulators.directory import DirectoryEmulator
from tests.toolkit_double import CLOSE, Step

CHOOSER = "Empresa eInforma"
UNREADABLE = "No se pudieron leer los datos del directorio de empresas"
CHOOSE_ONE = "Seleccione una empresa de la lista"


def use(*names):
    return Step("-exportar-", {"-LISTBOX-": list(names)}, on=CHOOSER)


def popup_texts(sg):
    return [args[0] for _, args, _ in sg.popups]


def fetched(directory):
    return [r.path for r in directory.requests]


@pytest.fixture(autouse=True)
def no_waiting_notice(monkeypatch):
    """The toolkit double reads only what a test scripts: no notice of a search that takes long."""
    monkeypatch.setattr(dirscrape, "NOTICE_DELAY", 60)


@pytest.fixture
def own_listing(directory, monkeypatch):
    """A directory whose every listing is made of the anchors the test appends, for listings the
    emulator does not have; its company pages are the emulator's."""
    anchors = []

    class Listing(BaseHTTPRequestHandler):
        def do_GET(self):
            content_type = "text/html; charset=utf-8"
            if self.path.startswith("/Empresa/"):
                page = requests.get(directory.url + self.path[1:], timeout=5)
                body, content_type = page.content, page.headers["Content-Type"]
            else:
                body = ("<html><body>" + "\n".join(anchors) + "</body></html>").encode()
            self.send_response(200)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Listing)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    monkeypatch.setenv("DIRECTORY_URL", f"http://127.0.0.1:{server.server_port}/")
    yield anchors
    server.shutdown()
    server.server_close()


# Fetching ------------------------------------------------------------------------------------

def test_get_request_gives_the_page_its_anchors_or_none(directory):
    page = dirscrape.get_request(directory.url + "Actividad/HORNO/")
    assert page.status_code == 200
    assert b"Ver perfil de HORNO SAN JUAN SL" in page.html.raw_html
    own_text = {a.attrs["title"]: a.element.text for a in page.html.find("a") if "title" in a.attrs}
    assert own_text["Ver perfil de HORNO SAN JUAN SL"] == "HORNO SAN JUAN SL"  # without its <span>
    assert own_text["Ver perfil de HORNO DEL PUEBLO SL"] is None  # the name starts in a <b>
    page.close()
    assert directory.requests[-1].user_agent.startswith("Mozilla/5.0")

    assert dirscrape.get_request(directory.url + "Actividad/NADIE/") is None
    assert dirscrape.get_request(directory.url + "Actividad/HORNO/", render=True).status_code == 200


def test_get_request_reads_latin1_pages(directory):
    page = dirscrape.get_request(directory.url + "Actividad/CAF%C3%89S-DEL-NORTE/")
    names = [a.element.text for a in page.html.find("a") if "Ver perfil" in a.attrs.get("title", "")]
    assert names == ["CAFÉS DEL NORTE SL", "CAFES DEL NORTE SA"]


def test_get_request_times_out_and_lets_network_errors_through(directory, monkeypatch):
    monkeypatch.setattr(dirscrape, "REQUEST_TIMEOUT", 0.3)
    directory.set_fault("stall", seconds=5)
    with pytest.raises(requests.Timeout):
        dirscrape.get_request(directory.url + "Actividad/HORNO/")


def test_get_request_bounds_the_whole_page_its_size_and_its_site(directory, monkeypatch):
    # A listing trickling in a byte at a time used to be read for as long as it lasted.
    monkeypatch.setattr(dirscrape, "REQUEST_TIMEOUT", 0.5)
    directory.set_fault("trickle", seconds=0.05)
    started = time.monotonic()
    with pytest.raises(requests.Timeout):
        dirscrape.get_request(directory.url + "Actividad/HORNO/")
    assert time.monotonic() - started < 2
    monkeypatch.setattr(dirscrape, "REQUEST_TIMEOUT", 10)
    directory.set_fault("huge", size=6 * 1024 * 1024)  # without a Content-Length
    with pytest.raises(requests.RequestException, match="longer than"):
        dirscrape.get_request(directory.url + "Actividad/HORNO/")
    # Redirects are followed on the directory's own site, never to another.
    directory.set_fault("redirect", location="/Actividad/HORNO/", path="/Actividad/PAN/")
    page = dirscrape.get_request(directory.url + "Actividad/PAN/")
    assert b"HORNO SAN JUAN" in page.html.raw_html and page.url == directory.url + "Actividad/HORNO/"
    with DirectoryEmulator() as elsewhere:
        directory.set_fault("redirect", location=elsewhere.url + "Actividad/HORNO/")
        assert dirscrape.get_request(directory.url + "Actividad/HORNO/") is None
        assert elsewhere.requests == []


# Reading company pages -----------------------------------------------------------------------

@pytest.mark.parametrize("search, pick, expected", [
    # España, street, postcode, town: cut before ", town"; accents in the values and labels.
    ("Ferreteria Sol", None, {
        "Razón Social": "FERRETERÍA SOL SL", "Cif": "B41000004", "Email": "ventas@ferreteriasol.es",
        "Poblacion": "SEVILLA", "Provincia": "SEVILLA", "Codpost": "41004", "Pais": "España",
        "Direccion": "Avenida de la Constitución 14, 41004", "Fecha de constitución": "12/03/1998",
        "Localidad": "Sevilla", "webeinform": "Empresa/FERRETERIA-SOL-SL.html"}),
    # A Latin-1 listing searched with an accent, and a Latin-1 page.
    ("Cafés del Norte", None, {
        "Razón Social": "CAFÉS DEL NORTE SL", "Poblacion": "GIJÓN", "Direccion": "Calle Cervantes 12, 33201",
        "Pais": "España", "webeinform": "Empresa/CAFES-DEL-NORTE-SL.html"}),
    # No Domicilio Social: no street, the country stays.
    ("Cafes del Norte", None, {"Razón Social": "CAFES DEL NORTE SA", "Direccion": "", "Pais": "España",
                               "Poblacion": "OVIEDO", "Codpost": "33003"}),
    # ESPAÑA in capitals and a Latin-1 page reached through a site-relative link.
    ("Panaderia Luna", "PANADERIA LUNA HERMANOS SA", {
        "Razón Social": "PANADERIA LUNA HERMANOS SA", "Direccion": "CALLE TOLEDO 40, 28005", "Pais": "España",
        "Teléfono": "913 000 002", "webeinform": "Empresa/PANADERIA-LUNA-HERMANOS-SA.html"}),
    # No Razón Social: the normalised search text; a link relative to the listing's folder.
    ("Panaderia Luna", "LA PANADERIA DE LUNA SL", {
        "Razón Social": "PANADERIA-LUNA", "Cif": "B45000003", "Direccion": "Plaza de Zocodover 2, 45001",
        "webeinform": "Actividad/PANADERIA-LUNA/Empresa/LA-PANADERIA-DE-LUNA-SL.html"}),
    # Not España: 7 characters go all the same, the cut is before the upper-case town, no country.
    ("Talleres Muñoz", "TALLERES MUÑOZ SL — A Coruña · Reparación de vehículos", {
        "Direccion": "eal 3, 15001, ", "Pais": "", "Poblacion": "A CORUÑA",
                                             "Cif": "B15000007"}),
    # About 300 KB of menus, links and tables around the data.
    ("Almacenes Gigante", None, {"Razón Social": "ALMACENES GIGANTE SA", "Cif": "A28000014",
                                 "Direccion": "Paseo de la Castellana 200, 28046", "Teléfono": "914 000 014"}),
    ("Construcciones Garcia Torres", None, {"Razón Social": "CONSTRUCCIONES GARCIA TORRES SL", "Cif": "B90000000",
                                            "Email": "obras@garcia-torres.es", "Direccion": "Calle Torres 1, 28000"}),
])
def test_company_page_is_read_and_normalised(directory, sg, search, pick, expected):
    if pick:
        sg.script(use(pick))
    data = dirscrape.dirscrape(search)
    for key, value in expected.items():
        if key == "webeinform":
            assert data[key] == directory.url + value
        else:
            assert data[key] == value, key
    assert sg.popups == [] and len(sg.windows) == (1 if pick else 0)  # one result: no chooser
    # Only the data block is read: the sidebar's decoy CIF and e-mail never win.
    assert "X00000000" not in data.values() and "no-usar@lateral.example" not in data.values()


def test_town_in_other_case_than_the_locality_drops_only_the_last_character(own_listing, directory, sg):
    own_listing.append('<a href="/Empresa/TALLERES-MUNOZ-SL-LUGO.html" '
                       'title="Ver perfil de TALLERES MUÑOZ SL">TALLERES MUÑOZ SL</a>')
    data = dirscrape.dirscrape("Talleres Muñoz")
    assert (data["Direccion"], data["Pais"], data["Poblacion"]) == ("Progreso 20, 27001, Lug", "", "LUGO")
    assert data["Razón Social"] == "TALLERES MUÑOZ SL"  # a Latin-1 page


def test_cells_that_cannot_be_read_are_left_out_and_the_user_told(directory, sg):
    sg.script(use("\n        EL   HORNO\n        VIEJO SL  "))
    data = dirscrape.dirscrape("Horno")
    assert data["Razón Social"] == "EL HORNO VIEJO SL"
    assert data["Direccion"] == "Calle Alfonso I 7, 50003"
    # A cell opening its own row, a label ending in an image, a blank before the cell, "# " in a value.
    assert not {"Sin etiqueta", "976 000 012", "3.006 €", "Nave # 4"} & set(data.values())
    assert all(key.strip() and "<" not in key for key in data)
    assert popup_texts(sg) == [UNREADABLE]


@pytest.mark.parametrize("search, pick", [("Horno", "HORNO DORADO SL"),  # no div#content-inner
                                          ("Bar Luna", "BAR LUNA SL")])  # the page answers 404
def test_company_page_without_data_gives_nothing_and_tells(directory, sg, search, pick):
    sg.script(use(pick))
    assert dirscrape.dirscrape(search) == {}
    assert popup_texts(sg) == [UNREADABLE]


@pytest.mark.parametrize("fault", ["stall listing", "stall company", "refuse", "trickle", "huge", "redirect"])
def test_network_failures_give_nothing_and_tell(directory, sg, monkeypatch, fault):
    monkeypatch.setattr(dirscrape, "REQUEST_TIMEOUT", 0.3)
    if fault == "refuse":
        directory.set_fault("refuse")
    elif fault == "trickle":
        directory.set_fault("trickle", seconds=0.02)
    elif fault == "huge":
        monkeypatch.setattr(dirscrape, "REQUEST_TIMEOUT", 10)
        directory.set_fault("huge")
    elif fault == "redirect":
        directory.set_fault("redirect", location="http://127.0.0.1:9/Actividad/FERRETERIA-SOL/")
    else:
        directory.set_fault("stall", seconds=5, path="/Empresa/" if fault == "stall company" else None)
    assert dirscrape.dirscrape("Ferreteria Sol") == {}
    assert popup_texts(sg) == [UNREADABLE]


@pytest.mark.parametrize("status, told", [(503, True), (429, True), (404, False), (410, False)])
def test_a_listing_not_there_is_no_result_and_one_the_site_failed_to_give_is_told(directory, sg, status, told):
    directory.set_fault("status", status=status)
    assert dirscrape.dirscrape("Ferreteria Sol") == {}
    assert popup_texts(sg) == ([UNREADABLE] if told else [])
    assert sg.windows == [] and fetched(directory) == ["/Actividad/FERRETERIA-SOL/"]


def test_listing_without_results_gives_nothing_silently(directory, sg):
    assert dirscrape.dirscrape("Empresa Fantasma") == {}
    assert sg.popups == [] and sg.windows == []


# Searching and filtering ---------------------------------------------------------------------

def test_search_address_keeps_blanks_at_the_ends_as_hyphens(directory, sg):
    assert dirscrape.dirscrape(" Ferreteria Sol ") == {}
    assert fetched(directory) == ["/Actividad/-FERRETERIA-SOL-/"]
    dirscrape.dirscrape("Talleres Muñoz/Sol?")  # stays one path segment
    assert fetched(directory)[-1] == "/Actividad/TALLERES-MU%C3%91OZ%2FSOL%3F/"


@pytest.mark.parametrize("search, names", [
    # Whole words only, in any case; decoy titles, a word only in the <span>, and a name
    # starting in a child element (its first run of text is taken).
    ("Horno", ["HORNO SAN JUAN SL", "HORNO DEL PUEBLO SL", "HORNO DORADO SL", "\n        EL   HORNO\n        VIEJO SL  "]),
    # BAR twice counts as two matching words; LUNA alone is one.
    ("Bar Luna", ["BAR LUNA SL", "BAR EL BAR SL"]),
    # The same name twice: each row also shows what the listing says of it, else its address.
    ("Talleres Muñoz", ["TALLERES MUÑOZ SL — A Coruña · Reparación de vehículos",
                        "TALLERES MUÑOZ SL — Lugo · Reparación de vehículos"]),
    ("Bar Central", ["BAR CENTRAL SL — BAR-CENTRAL-SL-ZAMORA", "BAR CENTRAL SL — BAR-CENTRAL-SL-SORIA"]),
])
def test_filter_keeps_names_with_enough_search_words(directory, sg, search, names):
    sg.script(CLOSE)
    assert dirscrape.dirscrape(search) == {}
    assert sg.windows[0]["-LISTBOX-"].kwargs["values"] == names


def test_filter_over_two_hundred_results(directory, sg):
    sg.script(CLOSE, CLOSE)
    dirscrape.dirscrape("Construcciones")
    dirscrape.dirscrape("Construcciones Garcia")
    everything, garcia = (w["-LISTBOX-"].kwargs["values"] for w in sg.windows)
    assert len(everything) == 200 and len(set(everything)) == 200
    assert garcia == [n for n in everything if n.split()[1] == "GARCIA"] and len(garcia) == 10


def test_only_the_directorys_own_pages_are_results(own_listing, directory, sg, browser):
    here = os.environ["DIRECTORY_URL"]
    own_listing.extend([
        '<a href="/Empresa/UNO.html" title="Ver perfil de UNO SL">UNO SL</a>',
        f'<a href="{here.replace("http://", "https://")}Empresa/SEIS.html" title="Ver perfil de SEIS SL">SEIS SL</a>',
        '<a href="https://otro.example/Empresa/DOS.html" title="Ver perfil de DOS SA">Dos SA</a>',
        f'<a href="{directory.url}Empresa/DOS.html" title="Ver perfil de DOS SL">DOS SL</a>',  # another port
        '<a href="javascript:alert(1)" title="Ver perfil de CINCO SL">CINCO SL</a>',
        '<a href="file:///etc/passwd" title="Ver perfil de SIETE SL">SIETE SL</a>',
        f'<a href="{here.replace("127.0.0.1", "user@otro.example")}x" title="Ver perfil de OCHO SL">OCHO SL</a>',
        '<a title="Ver perfil de TRES SL">TRES SL</a>',  # nothing to open: not a result
        '<a href="/Empresa/CUATRO.html" title="Ver mapa">CUATRO SL</a>',
    ])
    sg.script(Step("verwer", {"-LISTBOX-": ["UNO SL", "SEIS SL"]}), CLOSE)
    assert dirscrape.dirscrape("   ") == {}  # a search without words keeps every profile link
    assert sg.windows[0]["-LISTBOX-"].kwargs["values"] == ["UNO SL", "SEIS SL"]
    assert browser.urls == [here + "Empresa/UNO.html", here.replace("http://", "https://") + "Empresa/SEIS.html"]


def test_a_single_result_on_another_site_is_not_fetched(own_listing, directory, sg):
    own_listing.append(f'<a href="{directory.url}Empresa/FERRETERIA-SOL-SL.html" '
                       'title="Ver perfil de FERRETERIA SOL SL">FERRETERIA SOL SL</a>')
    assert dirscrape.dirscrape("Ferreteria Sol") == {}
    assert directory.requests == [] and sg.windows == [] and sg.popups == []


# The chooser ---------------------------------------------------------------------------------

def test_chooser_window_and_closing_it(directory, sg):
    sg.script(CLOSE)
    assert dirscrape.dirscrape("Panaderia Luna") == {}
    window = sg.windows[0]
    assert (window.title, window.closed) == (CHOOSER, True)
    assert window.kwargs["keep_on_top"] and window.kwargs["modal"] and window.kwargs["icon"].endswith("hola.png")
    listbox = window["-LISTBOX-"].kwargs
    assert listbox["size"] == (len("PANADERIA LUNA HERMANOS SA") + 10, 3 + 3)  # longest name, number of names
    assert listbox["select_mode"] == sg.LISTBOX_SELECT_MODE_MULTIPLE
    assert window["verwer"].text == "Abrir web informacion" and window["-exportar-"].text == "USAR DATOS EINFORMA"


def test_chooser_opens_selected_pages_then_uses_one(directory, sg, browser):
    names = ["PANADERIA LUNA SL", "PANADERIA LUNA HERMANOS SA", "LA PANADERIA DE LUNA SL"]
    sg.script(Step("verwer", {"-LISTBOX-": names}), use("PANADERIA LUNA SL"))
    data = dirscrape.dirscrape("Panaderia Luna")
    base = directory.url
    assert browser.opened == [(base + "Empresa/PANADERIA-LUNA-SL.html", 2, True),
                              (base + "Empresa/PANADERIA-LUNA-HERMANOS-SA.html", 2, True),
                              (base + "Actividad/PANADERIA-LUNA/Empresa/LA-PANADERIA-DE-LUNA-SL.html", 2, True)]
    assert data["Direccion"] == "Calle Mayor 5, 28013" and sg.windows[0].closed


def test_the_second_of_two_same_names_reads_its_own_page(directory, sg, browser):
    lugo = "TALLERES MUÑOZ SL — Lugo · Reparación de vehículos"
    sg.script(Step("verwer", {"-LISTBOX-": [lugo]}), use(lugo))
    data = dirscrape.dirscrape("Talleres Muñoz")
    assert browser.urls == [directory.url + "Empresa/TALLERES-MUNOZ-SL-LUGO.html"]
    assert (data["Cif"], data["Poblacion"]) == ("B27000008", "LUGO")
    assert fetched(directory)[-1] == "/Empresa/TALLERES-MUNOZ-SL-LUGO.html"


def test_use_with_nothing_selected_asks_and_stays(directory, sg):
    sg.script(use(), use("BAR EL BAR SL"))
    data = dirscrape.dirscrape("Bar Luna")
    assert popup_texts(sg) == [CHOOSE_ONE]
    assert data["Razón Social"] == "BAR EL BAR SL"


def test_use_with_several_selected_refuses_and_stays_for_another_choice(directory, sg):
    sg.script(use("BAR LUNA SL", "BAR EL BAR SL"), use("BAR EL BAR SL"))
    data = dirscrape.dirscrape("Bar Luna")
    assert popup_texts(sg) == ["Solo se permite elegir un Registro por telefono"]
    assert data["Razón Social"] == "BAR EL BAR SL" and len(sg.windows) == 1
    assert [p for p in fetched(directory) if p.startswith("/Empresa/")] == ["/Empresa/BAR-EL-BAR-SL.html"]


def test_a_failure_inside_the_chooser_closes_it(directory, sg, monkeypatch):
    def broken(*args, **kwargs):
        raise RuntimeError("no browser")
    monkeypatch.setattr(webbrowser, "open", broken)
    sg.script(Step("verwer", {"-LISTBOX-": ["BAR LUNA SL"]}))
    with pytest.raises(RuntimeError):
        dirscrape.dirscrape("Bar Luna")
    assert sg.windows[0].closed
