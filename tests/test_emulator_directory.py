"""The directory emulator serves what the lookup's tests rely on, and misbehaves on demand."""

import os
import re
import subprocess
import sys
from pathlib import Path
from urllib.parse import urljoin

import pytest
import requests
from bs4 import BeautifulSoup
from lxml import html as lxml_html

from emulators.directory.catalogue import COMPANY_DIR

TIMEOUT = 5


def get(path, **kwargs):
    kwargs.setdefault("timeout", TIMEOUT)
    return requests.get(os.environ["DIRECTORY_URL"] + path, **kwargs)


def profile_links(response):
    """(resolved address, own leading text upper-cased) of each "Ver perfil" anchor."""
    doc = lxml_html.document_fromstring(response.text)
    return [
        (urljoin(response.url, a.get("href")), (a.text or "").upper())
        for a in doc.iter("a")
        if "Ver perfil" in (a.get("title") or "")
    ]


def test_listing_links_lead_to_company_pages(directory):
    r = get("Actividad/PANADERIA-LUNA/")
    assert r.status_code == 200
    links = profile_links(r)
    # Anchors without a title, or with another title, are not results.
    assert [name for _, name in links] == [
        "PANADERIA LUNA SL", "PANADERIA LUNA HERMANOS SA", "LA PANADERIA DE LUNA SL",
    ]
    assert links[0][0].startswith(directory.url)  # absolute links name the emulator itself
    assert links[2][0] == directory.url + "Actividad/PANADERIA-LUNA/Empresa/LA-PANADERIA-DE-LUNA-SL.html"
    for address, _ in links:
        page = requests.get(address, timeout=TIMEOUT)
        assert page.status_code == 200 and 'id="content-inner"' in page.text
    # Each result block also has a line of its own after the links.
    blocks = lxml_html.document_fromstring(r.text).find_class("resultado")
    assert [b.find_class("datos")[0].text_content() for b in blocks][0] == "Fabricación de pan · Calle Mayor 5"


@pytest.mark.parametrize(
    "name, expected",
    [
        ("TALLERES-MUÑOZ", ["TALLERES MUÑOZ SL", "TALLERES MUÑOZ SL"]),
        ("CAFÉS-DEL-NORTE", ["CAFÉS DEL NORTE SL", "CAFES DEL NORTE SA"]),
        ("FERRETERIA-SOL", ["FERRETERIA SOL SL"]),
        ("HORNO", ["HORNO SAN JUAN SL", "", "HORNO DORADO SL", "\n        EL   HORNO\n        VIEJO SL  ",
                   "HORNOS INDUSTRIALES SA", "PANADERIA EL TRIGO SL"]),
        ("EMPRESA-FANTASMA", []),
        ("BAR-CENTRAL", ["BAR CENTRAL SL", "BAR CENTRAL SL"]),
    ],
)
def test_listings_by_name(directory, name, expected):
    r = get(f"Actividad/{name}/")  # requests percent-encodes the accented letters as UTF-8
    assert r.status_code == 200
    assert [name for _, name in profile_links(r)] == expected


def test_listing_reached_by_percent_encoded_path(directory):
    r = get("Actividad/TALLERES-MU%C3%91OZ/")
    assert r.status_code == 200 and "TALLERES MUÑOZ SL" in r.text
    assert directory.requests[-1].path == "/Actividad/TALLERES-MU%C3%91OZ/"


@pytest.mark.parametrize(
    "path, charset, accented",
    [
        ("Actividad/CAF%C3%89S-DEL-NORTE/", "iso-8859-1", "CAFÉS DEL NORTE SL"),
        ("Empresa/CAFES-DEL-NORTE-SL.html", "iso-8859-1", "Gijón"),
        ("Empresa/PANADERIA-LUNA-HERMANOS-SA.html", "iso-8859-1", "ESPAÑA CALLE TOLEDO"),
        ("Empresa/TALLERES-MUNOZ-SL.html", "utf-8", "TALLERES MUÑOZ SL"),
        ("Actividad/TALLERES-MU%C3%91OZ/", "utf-8", "Talleres Muñoz"),
    ],
)
def test_pages_decode_with_their_declared_charset(directory, path, charset, accented):
    r = get(path)
    assert r.status_code == 200
    assert r.headers["Content-Type"] == f"text/html; charset={charset}"
    assert r.encoding == charset
    assert accented in r.text
    # The bytes really are in that encoding, and the page's own meta agrees.
    other = "utf-8" if charset == "iso-8859-1" else "iso-8859-1"
    assert accented.encode(charset) in r.content and accented.encode(other) not in r.content
    assert re.search(rb'<meta charset="([^"]+)">', r.content).group(1).decode() == charset


@pytest.mark.parametrize("page", sorted(p.name for p in COMPANY_DIR.glob("*.html")))
def test_company_page_value_cells_follow_their_labels(directory, page):
    soup = BeautifulSoup(get("Empresa/" + page).content, "lxml")
    block = soup.find("div", id="content-inner")
    if page == "HORNO-DORADO-SL.html":
        assert block is None and soup.find(class_="td-datos-externos") is not None
        return
    cells = block.find_all(class_="td-datos-externos")
    assert len(cells) >= 5
    if page == "EL-HORNO-VIEJO-SL.html":  # its last cells are the awkward ones
        cells = cells[:8]
    for cell in cells:
        # The value's preceding node is the label's text: nothing may sit between.
        assert cell.previous == cell.find_previous_sibling("th").get_text()


def test_generated_listing_and_big_page(directory):
    links = profile_links(get("Actividad/CONSTRUCCIONES/"))
    assert len(links) == 200 and len({address for address, _ in links}) == 200
    assert sum("GARCIA" in name.split() for _, name in links) == 10
    last = requests.get(links[-1][0], timeout=TIMEOUT)
    assert last.status_code == 200 and links[-1][1] in last.text

    big = get("Empresa/ALMACENES-GIGANTE-SA.html")
    assert 280_000 <= len(big.content) <= 340_000
    block = BeautifulSoup(big.content, "lxml").find("div", id="content-inner")
    cell = block.find(class_="td-datos-externos")
    assert (cell.previous, cell.text) == ("Razón Social", "ALMACENES GIGANTE SA")


@pytest.mark.parametrize(
    "path",
    [
        "Actividad/NO-EXISTE/",
        "Actividad/panaderia-luna/",  # names are matched as sent, upper case
        "Actividad/PANADERIA-LUNA",  # the closing slash is part of the address
        "Actividad/%FF/",  # not UTF-8
        "Empresa/BAR-LUNA-SL.html",  # a listed result whose page is gone
        "Empresa/%2E%2E/catalogue.py",
    ],
)
def test_unknown_addresses_answer_404(directory, path):
    r = get(path)
    assert r.status_code == 404 and r.headers["Content-Type"].startswith("text/html")


def test_requests_are_recorded(directory):
    get("Actividad/HORNO/?pagina=1", headers={"User-Agent": "prueba/1.0"})
    (recorded,) = directory.requests
    assert (recorded.method, recorded.path, recorded.user_agent) == ("GET", "/Actividad/HORNO/?pagina=1", "prueba/1.0")
    assert recorded.headers["user-agent"] == "prueba/1.0"


def test_stall_holds_answers_until_cleared(directory):
    directory.set_fault("stall", seconds=30, path="/Empresa/")
    assert get("Actividad/FERRETERIA-SOL/").status_code == 200
    with pytest.raises(requests.exceptions.ReadTimeout):
        get("Empresa/FERRETERIA-SOL-SL.html", timeout=0.3)
    assert directory.requests[-1].path == "/Empresa/FERRETERIA-SOL-SL.html"
    directory.clear_fault()
    assert get("Empresa/FERRETERIA-SOL-SL.html").status_code == 200


def test_refuse_closes_the_port_until_cleared(directory):
    directory.set_fault("refuse")
    with pytest.raises(requests.exceptions.ConnectionError):
        get("Actividad/FERRETERIA-SOL/")
    directory.clear_fault()
    assert get("Actividad/FERRETERIA-SOL/").status_code == 200


def test_status_fault_answers_the_given_code(directory):
    directory.set_fault("status", status=503, path="/Empresa/")
    assert get("Actividad/FERRETERIA-SOL/").status_code == 200
    r = get("Empresa/FERRETERIA-SOL-SL.html")
    assert r.status_code == 503 and "<html" in r.text
    directory.clear_fault()
    assert get("Empresa/FERRETERIA-SOL-SL.html").status_code == 200
    with pytest.raises(ValueError):
        directory.set_fault("explode")


def test_command_line_serves_and_takes_fault_commands():
    root = Path(__file__).resolve().parents[1]
    process = subprocess.Popen(
        [sys.executable, "-m", "emulators.directory", "--port", "0"],
        cwd=root, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
    )
    try:
        url = process.stdout.readline().strip()
        assert re.fullmatch(r"http://127\.0\.0\.1:\d+/", url)
        assert requests.get(url + "Actividad/HORNO/", timeout=TIMEOUT).status_code == 200
        process.stdin.write("status 502\n")
        process.stdin.flush()
        assert process.stdout.readline().strip() == "ok: status 502"
        assert requests.get(url + "Actividad/HORNO/", timeout=TIMEOUT).status_code == 502
    finally:
        process.terminate()
        process.wait(timeout=TIMEOUT)
