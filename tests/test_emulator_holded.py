"""The Holded API emulator, spoken to over real HTTP."""

import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
import requests

from emulators.holded import DEFAULT_KEY, HoldedEmulator

ROOT = Path(__file__).resolve().parents[1]
ID = re.compile(r"[0-9a-f]{24}\Z")


def contacts_url(emu, suffix=""):
    return emu.api_url + "invoicing/v1/contacts" + suffix


def get(emu, suffix="", key=None, timeout=5):
    return requests.get(contacts_url(emu, suffix), headers={"key": key or emu.key}, timeout=timeout)


def seeded(emu, name):
    return next(c for c in emu.contacts if c["name"] == name)


class TestAuth:
    def test_key_header_decides(self, holded):
        url = contacts_url(holded)
        cases = [
            ({}, 401, {"status": 401}),
            ({"key": ""}, 401, {"status": 401}),
            ({"key": "0123456789abcdef0123456789ABCDEF"}, 401, {"status": 401}),
            ({"key": "not-a-key"}, 400, {"status": 0, "info": "Invalid key"}),
            ({"key": "pat_" + "a" * 40}, 400, {"status": 0, "info": "Invalid key"}),
            ({"Authorization": "Bearer " + holded.key}, 401, {"status": 401}),
            ({"key": holded.key + "0"}, 400, {"status": 0, "info": "Invalid key"}),
        ]
        for headers, status, body in cases:
            answer = requests.get(url, headers=headers, timeout=5)
            assert (answer.status_code, answer.json()) == (status, body), headers
            assert answer.headers["Content-Type"].startswith("application/json")
        assert requests.get(url, headers={"KEY": holded.key}, timeout=5).status_code == 200

    def test_several_keys_of_any_shape(self):
        with HoldedEmulator(seed=None, keys=["clave de pruebas", DEFAULT_KEY]) as emu:
            for key in emu.keys:
                answer = get(emu, key=key)
                assert (answer.status_code, answer.json()) == (200, [])


class TestContactList:
    def test_bare_array_of_every_contact(self, holded):
        answer = get(holded, "?limit=2&per_page=1&name=Nadie")
        assert answer.status_code == 200
        assert answer.headers["Content-Type"].startswith("application/json")
        assert [c["id"] for c in answer.json()] == [c["id"] for c in holded.contacts]
        assert len(answer.json()) == 8

    @pytest.mark.parametrize("query, names", [
        ("phone=%2B34%20612%2034%2056%2078", ["Talleres Ebro Norte S.L."]),
        ("phone=%2B34612345678", []),
        ("phone=612345678", []),
        # A raw "+" is a blank in a query, so this asks for " 34633445566".
        ("phone=+34633445566", []),
        ("phone=%2B34633445566", ["Construcciones Alcántara Hermanos S.A."]),
        ("phone=%2B34+955+12+34+56", ["María José Ibáñez Rivas"]),
        ("phone=644556677", []),
        ("mobile=644556677", ["Javier Muñoz Peña"]),
        ("phone=961223344", ["Asesoría Gestiona Levante S.L.", "Clínica Dental Sonrisa Turia S.L.P."]),
        ("phone=961223344&customId=PRV-0001", ["Asesoría Gestiona Levante S.L."]),
        ("phone=", ["Javier Muñoz Peña", "Panadería La Espiga de Oro"]),
        ("mobile=&phone=", ["Panadería La Espiga de Oro"]),
        ("customId=CLI-0002,CLI-0006,NADA", ["Lucía Fernández Ortega", "Panadería La Espiga de Oro"]),
        ("phone=699001122", []),  # a contact person's phone is not the contact's
    ])
    def test_filters_match_stored_text_exactly(self, holded, query, names):
        answer = get(holded, "?" + query)
        assert answer.status_code == 200
        assert [c["name"] for c in answer.json()] == names

    def test_pages_of_500(self):
        contacts = [{"name": f"Cliente {n}", "phone": "600000000"} for n in range(1001)]
        with HoldedEmulator(seed=contacts) as emu:
            pages = [get(emu, f"?page={n}").json() for n in (1, 2, 3, 4)]
            assert [len(p) for p in pages] == [500, 500, 1, 0]
            assert pages[2][0]["name"] == "Cliente 1000"
            assert get(emu, "?phone=600000000&page=2").json()[0]["name"] == "Cliente 500"
            assert get(emu, "?page=0").json() == pages[0]
            assert get(emu, "?page=x").json() == pages[0]


class TestContactRecord:
    def test_get_one_and_not_found(self, holded):
        target = seeded(holded, "Lucía Fernández Ortega")
        answer = get(holded, "/" + target["id"])
        assert (answer.status_code, answer.json()) == (200, target)
        for bad in ("me", "0" * 24, target["id"].upper()):
            answer = get(holded, "/" + bad)
            assert (answer.status_code, answer.json()) == (400, {"status": 0, "info": "not found"})
        answer = requests.put(contacts_url(holded, "/" + "0" * 24), json={"name": "x"},
                              headers={"key": holded.key}, timeout=5)
        assert (answer.status_code, answer.json()) == (400, {"status": 0, "info": "not found"})

    def test_create_stores_what_was_sent(self, holded):
        payload = {"name": "Ñandú Óptica S.L.", "CustomId": "WEB-9", "phone": "+34 600 11 22 33",
                   "billAddress": {"city": "Logroño", "postalCode": "26001"},
                   "isperson": False, "note": "Llamó por una montura", "tags": ["óptica"]}
        ids = []
        for _ in range(2):  # no deduplication
            answer = requests.post(contacts_url(holded), json=payload,
                                   headers={"key": holded.key}, timeout=5)
            assert answer.status_code == 201
            body = answer.json()
            assert body["status"] == 1 and body["info"] == "Created" and ID.match(body["id"])
            ids.append(body["id"])
        assert ids[0] != ids[1]

        stored = get(holded, "/" + ids[0]).json()
        assert stored["customId"] == "WEB-9" and "CustomId" not in stored and "note" not in stored
        [note] = stored["notes"]
        assert note["description"] == "Llamó por una montura" and ID.match(note["noteId"])
        rest = {k: v for k, v in stored.items() if k not in ("id", "customId", "notes")}
        assert rest == {k: v for k, v in payload.items() if k not in ("CustomId", "note")}
        found = get(holded, "?phone=%2B34%20600%2011%2022%2033").json()
        assert [c["id"] for c in found] == ids

    def test_update_merges_only_sent_fields(self, holded):
        target = seeded(holded, "Javier Muñoz Peña")
        answer = requests.put(contacts_url(holded, "/" + target["id"]),
                              json={"phone": "963000111", "id": "f" * 24, "CustomId": "CLI-0404"},
                              headers={"key": holded.key}, timeout=5)
        assert (answer.status_code, answer.json()) == (
            200, {"status": 1, "info": "Updated", "id": target["id"]})
        after = holded.contact(target["id"])
        assert after == {**target, "phone": "963000111", "customId": "CLI-0404"}

    def test_write_with_a_body_that_is_not_an_object(self, holded):
        before = holded.contacts
        for body in (b"{roto", b"[1, 2]"):
            answer = requests.post(contacts_url(holded), data=body,
                                   headers={"key": holded.key}, timeout=5)
            assert answer.status_code == 400 and answer.json()["status"] == 0
        assert holded.contacts == before


def test_products(holded):
    url = holded.api_url + "invoicing/v1/products"
    headers = {"key": holded.key}
    listed = requests.get(url, headers=headers, timeout=5).json()
    assert [p["name"] for p in listed] == [p["name"] for p in holded.products]
    assert len(listed) == 2
    new_id = requests.post(url, json={"kind": "simple", "name": "Junta tórica", "price": 1.2},
                           headers=headers, timeout=5).json()["id"]
    answer = requests.put(f"{url}/{new_id}", json={"price": 1.5}, headers=headers, timeout=5)
    assert answer.json() == {"status": 1, "info": "Updated", "id": new_id}
    assert requests.get(f"{url}/{new_id}", headers=headers, timeout=5).json() == {
        "id": new_id, "kind": "simple", "name": "Junta tórica", "price": 1.5}
    assert requests.get(f"{url}?page=2", headers=headers, timeout=5).json() == []


def test_unknown_routes_answer_an_html_page(holded):
    for method, path in [("GET", "invoicing/v1/taxes"), ("GET", "invoicing/v1/contacts/"),
                         ("GET", "/invoicing/v1/contacts"), ("PUT", "invoicing/v1/contacts"),
                         ("POST", "invoicing/v1/contacts/" + holded.contacts[0]["id"]),
                         ("GET", "v2/contacts")]:
        answer = requests.request(method, holded.api_url + path, headers={"key": holded.key},
                                  json={}, timeout=5)
        assert answer.status_code == 200, path
        assert answer.headers["Content-Type"].startswith("text/html")
        assert "404 · Holded" in answer.text
    assert len(holded.contacts) == 8


def test_requests_are_recorded(holded):
    holded.clear_requests()
    get(holded, "?phone=%2B34%20612%2034%2056%2078")
    requests.post(contacts_url(holded), data='{"name":"Á"}'.encode(),
                  headers={"key": holded.key, "content-type": "application/json"}, timeout=5)
    listed, created = holded.requests
    assert (listed.method, listed.path, listed.query) == (
        "GET", "/api/invoicing/v1/contacts", "phone=%2B34%20612%2034%2056%2078")
    assert listed.params == {"phone": ["+34 612 34 56 78"]}
    assert listed.header("KEY") == holded.key and listed.status == 200
    assert created.body == '{"name":"Á"}'.encode() and created.json == {"name": "Á"}
    assert created.status == 201 and 0 <= created.duration < 1


class TestFaults:
    def test_refuse_and_come_back_on_the_same_port(self, holded):
        port = holded.port
        holded.set_fault("refuse")
        with pytest.raises(requests.ConnectionError):
            get(holded)
        holded.clear_fault()
        assert holded.port == port
        assert len(get(holded).json()) == 8

    def test_stall_times_the_client_out_until_cleared(self, holded):
        holded.set_fault("stall", seconds=30)
        started = time.monotonic()
        with pytest.raises(requests.ReadTimeout):
            get(holded, timeout=0.3)
        holded.clear_fault()
        assert time.monotonic() - started < 5
        assert get(holded).status_code == 200

    def test_stall_then_answer(self, holded):
        holded.set_fault("stall", seconds=0.2)
        answer = get(holded)
        assert answer.status_code == 200 and len(answer.json()) == 8
        assert holded.requests[-1].duration >= 0.2 and holded.requests[-1].fault == "stall"

    def test_broken_answers(self, holded):
        holded.set_fault("html500")
        answer = get(holded)
        assert answer.status_code == 500 and answer.headers["Content-Type"].startswith("text/html")
        holded.set_fault("notjson")
        answer = get(holded)
        assert answer.status_code == 200
        with pytest.raises(ValueError):
            answer.json()
        holded.set_fault("blocked")
        answer = get(holded)
        assert (answer.status_code, answer.text) == (402, "Account has been blocked. Reason: Unpaid")
        holded.clear_fault()
        assert get(holded).status_code == 200

    def test_created_without_id_still_stores(self, holded):
        holded.set_fault("noid")
        assert len(get(holded).json()) == 8  # reads are untouched
        answer = requests.post(contacts_url(holded), json={"name": "Sin id"},
                               headers={"key": holded.key}, timeout=5)
        assert (answer.status_code, answer.json()) == (201, {"status": 1, "info": "Created"})
        assert holded.contacts[-1]["name"] == "Sin id"

    def test_limited_to_methods_and_times(self, holded):
        holded.set_fault("respond", status=200, body={"status": 0, "info": "name needed"},
                         methods=["POST"], times=1)
        assert get(holded).status_code == 200
        post = lambda: requests.post(contacts_url(holded), json={"name": "Otra"},
                                     headers={"key": holded.key}, timeout=5)
        assert post().json() == {"status": 0, "info": "name needed"}
        assert post().status_code == 201
        assert holded.fault is None
        with pytest.raises(ValueError):
            holded.set_fault("slow")


def test_web_app_contact_page(holded):
    target = seeded(holded, "Panadería La Espiga de Oro")
    page = requests.get(holded.app_url + "contacts/" + target["id"], timeout=5)
    assert page.status_code == 200 and "Panadería La Espiga de Oro" in page.text
    assert "404 · Holded" in requests.get(holded.app_url + "contacts/" + "0" * 24, timeout=5).text


def test_fixture_points_the_client_at_the_emulator(holded):
    assert os.environ["HOLDED_API_URL"] == holded.api_url
    assert holded.api_url.startswith("http://127.0.0.1:") and holded.api_url.endswith("/api/")
    assert os.environ["HOLDED_APP_URL"] == holded.app_url != holded.api_url


def test_command_line_serves_until_terminated(tmp_path):
    seed = tmp_path / "seed.json"
    seed.write_text('{"contacts": [{"id": "aaaaaaaaaaaaaaaaaaaaaaaa", "name": "Única"}]}',
                    encoding="utf-8")
    proc = subprocess.Popen(
        [sys.executable, "-m", "emulators.holded", "--port", "0", "--seed", str(seed),
         "--key", "k1", "--key", "k2"],
        cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        url = proc.stdout.readline().strip()
        assert re.fullmatch(r"http://127\.0\.0\.1:\d+/api/", url)
        answer = requests.get(url + "invoicing/v1/contacts", headers={"key": "k2"}, timeout=5)
        assert [c["name"] for c in answer.json()] == ["Única"]
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=5) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
