"""The Holded API emulator, spoken to over real HTTP."""

import contextlib
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import phonenumbers
import pytest
import requests

from emulators.holded import DEFAULT_KEY, DEFAULT_TOKEN, HoldedEmulator, make_book

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
                         ("GET", "v3/contacts")]:
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


@contextlib.contextmanager
def command_line(*args):
    """The emulator run as a program; yields the API root it prints, and must end cleanly on
    SIGTERM."""
    proc = subprocess.Popen([sys.executable, "-m", "emulators.holded", "--port", "0", *args],
                            cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        yield proc.stdout.readline().strip()
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=5) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def test_command_line_serves_until_terminated(tmp_path):
    seed = tmp_path / "seed.json"
    seed.write_text('{"contacts": [{"id": "aaaaaaaaaaaaaaaaaaaaaaaa", "name": "Única"}]}',
                    encoding="utf-8")
    with command_line("--seed", str(seed), "--key", "k1", "--key", "k2") as url:
        assert re.fullmatch(r"http://127\.0\.0\.1:\d+/api/", url)
        answer = requests.get(url + "invoicing/v1/contacts", headers={"key": "k2"}, timeout=5)
        assert [c["name"] for c in answer.json()] == ["Única"]


# -- generated contact books ---------------------------------------------------


def phone_texts(contact):
    yield contact["phone"]
    yield contact["mobile"]
    for person in contact["contactPersons"]:
        yield person["phone"]


class TestBook:
    def test_same_seed_same_book_and_books_grow_by_appending(self):
        book = make_book(300, seed_number=4)
        again = make_book(300, seed_number=4)
        assert (again.contacts, again.truth) == (book.contacts, book.truth)
        assert make_book(120, seed_number=4).contacts == book.contacts[:120]
        assert make_book(300, seed_number=5).contacts != book.contacts
        ids = [c["id"] for c in book.contacts]
        assert len(set(ids)) == 300 and all(ID.match(i) for i in ids)

    def test_truth_is_what_a_phone_library_reads_in_the_texts(self):
        book = make_book(1500, seed_number=1)
        read = {}
        for contact in book.contacts:
            for text in phone_texts(contact):
                try:
                    number = phonenumbers.parse(text, "ES")
                except phonenumbers.NumberParseException:
                    continue
                if phonenumbers.is_valid_number(number):
                    e164 = phonenumbers.format_number(number, phonenumbers.PhoneNumberFormat.E164)
                    read.setdefault(e164, set()).add(contact["id"])
        assert {k: sorted(v) for k, v in read.items()} == book.truth

        texts = [t for c in book.contacts for t in phone_texts(c)]
        for form in ("+34 ", "0034", "(+34)", "ext", "#", ".", "-", "+44", "0033", "(0)"):
            assert any(form in t for t in texts), form
        assert {"", "n/a", "-", "0", "sin teléfono", "112"} <= set(texts)
        assert any(len(ids) > 1 for ids in book.truth.values())
        assert any(p["phone"] for c in book.contacts for p in c["contactPersons"])
        assert any(c["email"] != c["email"].lower() for c in book.contacts)
        assert any(c.get("vatnumber") for c in book.contacts)
        assert any(c["code"] and not c["code"].isalnum() for c in book.contacts)
        nif = re.compile(r"(\d{8})([A-Z])\Z")
        for contact in book.contacts:
            for tax_id in (contact["code"], contact.get("vatnumber") or ""):
                found = nif.match(re.sub(r"[ .\-]", "", tax_id).upper().removeprefix("ES"))
                if found:
                    assert "TRWAGMYFPDXBNJZSQVHLCKE"[int(found[1]) % 23] == found[2], tax_id

    def test_ring_forms_differ_from_every_stored_text(self):
        book = make_book(800, seed_number=2)
        forms = book.ring_forms(60, rng_seed=9)
        assert len(forms) == 60 and forms == book.ring_forms(60, rng_seed=9)
        assert forms != book.ring_forms(60, rng_seed=10)
        by_id = {c["id"]: c for c in book.contacts}
        for shown, ids in forms:
            if shown.startswith("+"):
                assert not shown.startswith("+34") and shown[1:].isdigit()
                e164 = shown
            else:
                assert re.fullmatch(r"[6789]\d{8}", shown)
                e164 = "+34" + shown
            assert ids == book.truth[e164]
            for contact_id in ids:
                assert shown not in set(phone_texts(by_id[contact_id]))
        assert len(book.ring_forms(10 ** 6)) < len(book.truth)

    def test_served_by_the_emulator(self):
        book = make_book(600, seed_number=3)
        with HoldedEmulator(seed=book) as emu:
            first, second = get(emu, "?page=1").json(), get(emu, "?page=2").json()
            assert [c["id"] for c in first + second] == [c["id"] for c in book.contacts]


# -- API v2 ------------------------------------------------------------------------


def v2_url(emu, suffix=""):
    return emu.api_url + "v2/contacts" + suffix


def v2(emu, method="GET", suffix="", token=None, **kwargs):
    headers = {"Authorization": "Bearer " + (token or emu.token)}
    return requests.request(method, v2_url(emu, suffix), headers=headers, timeout=5, **kwargs)


def assert_problem(answer, status, kind):
    assert answer.status_code == status
    assert answer.headers["Content-Type"].startswith("application/problem+json")
    body = answer.json()
    assert body["type"] == "https://api.holded.com/problems/" + kind
    assert body["status"] == status and body["title"] and body["detail"]
    return body["detail"]


class TestV2Auth:
    def test_bearer_token_decides(self, holded):
        url = v2_url(holded)
        assert re.fullmatch(r"pat_[A-Za-z0-9]+", DEFAULT_TOKEN) and holded.token == DEFAULT_TOKEN
        assert_problem(requests.get(url, timeout=5), 401, "unauthorized")
        assert_problem(requests.get(url, headers={"key": holded.key}, timeout=5),
                       401, "unauthorized")
        for authorization in ("Bearer pat_Inventado123", "Bearer " + holded.key,
                              "Bearer", "Basic " + holded.token, holded.token):
            answer = requests.get(url, headers={"Authorization": authorization}, timeout=5)
            assert assert_problem(answer, 403, "forbidden") == "Access denied.", authorization
        assert v2(holded).status_code == 200
        # A v2 token is a malformed key to v1.
        answer = get(holded, key=holded.token)
        assert (answer.status_code, answer.json()) == (400, {"status": 0, "info": "Invalid key"})

    def test_configured_tokens(self):
        with HoldedEmulator(seed=None, tokens=["pat_uno1", "pat_dos2"]) as emu:
            assert [v2(emu, token=t).status_code for t in ("pat_uno1", "pat_dos2")] == [200, 200]
            assert v2(emu, token=DEFAULT_TOKEN).status_code == 403


class TestV2Contacts:
    def test_read_shape(self, holded):
        listed = v2(holded).json()
        assert listed["has_more"] is False and len(listed["items"]) == 8
        by_name = {c["name"]: c for c in listed["items"]}
        firm = by_name["Construcciones Alcántara Hermanos S.A."]
        stored = seeded(holded, firm["name"])
        assert v2(holded, suffix="/" + firm["id"]).json() == firm
        assert (firm["id"], firm["custom_id"], firm["code"], firm["phone"], firm["is_person"]) == (
            stored["id"], stored["customId"], stored["code"], stored["phone"], False)
        assert firm["bill_address"]["postal_code"] == stored["billAddress"]["postalCode"]
        assert firm["bill_address"]["country_code"] == "ES"
        assert firm["contact_persons"] == [{
            "person_id": "4dd62118544c0f6f55e28410", "name": "Rocío Alcántara",
            "job": "Jefa de obra", "phone": "699001122",
            "email": "rocio@alcantarahermanos.example"}]
        assert firm["trade_name"] == stored["tradeName"] and firm["vat_number"] == ""
        assert firm["social_networks"]["website"] == stored["socialNetworks"]["website"]
        assert (firm["created_at"], firm["updated_at"]) == ("2023-03-01T00:00:00Z",
                                                            "2023-03-01T01:00:00Z")
        assert by_name["Lucía Fernández Ortega"]["is_person"] is True
        [note] = by_name["Panadería La Espiga de Oro"]["notes"]
        assert note["note_id"] == "b5be250bc85cfb1cc1edd542"
        assert note["description"] == "Llamar por la mañana, antes de las 11."
        assert_problem(v2(holded, suffix="/" + "0" * 24), 404, "not-found")
        assert_problem(v2(holded, suffix="/me"), 404, "not-found")

    @pytest.mark.parametrize("query, names", [
        ("phone=%2B34633445566", ["Construcciones Alcántara Hermanos S.A."]),
        ("phone=633445566", []),
        ("mobile=644556677", ["Javier Muñoz Peña"]),
        ("email=citas%40sonrisaturia.example", ["Clínica Dental Sonrisa Turia S.L.P."]),
        ("email=CITAS%40sonrisaturia.example", []),
        ("code=12345678Z", ["Lucía Fernández Ortega"]),
        ("custom_id=CLI-0002", ["Lucía Fernández Ortega"]),
        ("phone=961223344&code=B46987654", ["Asesoría Gestiona Levante S.L."]),
        ("phone=699001122", []),  # contact persons are not searched
        ("name=Javier&type=client&page=2", None),  # not filters: every contact
    ])
    def test_filters_match_exactly(self, holded, query, names):
        answer = v2(holded, suffix="?" + query)
        assert answer.status_code == 200
        expected = names if names is not None else [c["name"] for c in holded.contacts]
        assert [c["name"] for c in answer.json()["items"]] == expected

    def test_cursor_pages(self):
        contacts = [{"name": f"Cliente {n}", "phone": "600000000" if n % 2 else ""}
                    for n in range(230)]
        with HoldedEmulator(seed=contacts) as emu:
            ids = [c["id"] for c in emu.contacts]
            seen, cursor, sizes = [], None, []
            while True:
                page = v2(emu, suffix="?limit=100" + (f"&cursor={cursor}" if cursor else "")).json()
                sizes.append(len(page["items"]))
                seen += [c["id"] for c in page["items"]]
                assert page["cursor"] == seen[-1]
                if not page["has_more"]:
                    break
                cursor = page["cursor"]
            assert (sizes, seen) == ([100, 100, 30], ids)
            assert len(v2(emu).json()["items"]) == 50
            assert len(v2(emu, suffix="?limit=500").json()["items"]) == 100
            odd = v2(emu, suffix=f"?phone=600000000&limit=10&cursor={ids[100]}").json()
            assert [c["name"] for c in odd["items"]][:2] == ["Cliente 101", "Cliente 103"]
            assert v2(emu, suffix="?cursor=").json() == {"items": [], "cursor": None,
                                                         "has_more": False}
            for bad in ("abc", "f" * 24):
                assert_problem(v2(emu, suffix="?cursor=" + bad), 400, "bad-request")
            assert_problem(v2(emu, suffix="?limit=0"), 400, "bad-request")
            # A contact deleted while paging still marks its place.
            assert v2(emu, "DELETE", "/" + ids[199]).status_code == 204
            rest = v2(emu, suffix=f"?limit=100&cursor={ids[199]}").json()
            assert [c["id"] for c in rest["items"]] == ids[200:]

    def test_create_and_both_apis_see_it(self, holded):
        payload = {"name": "Óptica Ñandú S.L.", "code": "B26000001", "vat_number": "ESB26000001",
                   "trade_name": "Óptica Ñandú", "is_person": False,
                   "email": "hola@nandu.example",
                   "phone": "+34 941 00 11 22", "mobile": "", "website": "https://nandu.example",
                   "type": "lead", "bill_address": {"city": "Logroño", "postal_code": "26001"},
                   "custom_fields": [{"field": "origen", "value": "web"}],
                   "tags": ["web"], "notes": [{"description": "x"}], "social_networks": {},
                   "contact_persons": [{"person_id": holded.contacts[0]["id"]}],
                   "custom_id": "WEB-1"}
        answer = v2(holded, "POST", json=payload)
        assert answer.status_code == 201
        [new_id] = answer.json().values()
        assert ID.match(new_id) and answer.json() == {"id": new_id}
        read = v2(holded, suffix="/" + new_id).json()
        for key in ("name", "code", "vat_number", "trade_name", "is_person", "email", "phone",
                    "type", "custom_fields"):
            assert read[key] == payload[key], key
        assert read["bill_address"]["postal_code"] == "26001"
        assert read["social_networks"]["website"] == "https://nandu.example"
        assert (read["tags"], read["notes"], read["contact_persons"], read["custom_id"]) == (
            [], [], [], "")
        in_v1 = get(holded, "/" + new_id).json()
        assert (in_v1["vatnumber"], in_v1["tradeName"], in_v1["isperson"]) == (
            "ESB26000001", "Óptica Ñandú", 0)
        assert in_v1["billAddress"]["postalCode"] == "26001"
        assert get(holded, "?phone=%2B34%20941%2000%2011%2022").json()[0]["id"] == new_id
        v1_id = requests.post(contacts_url(holded), json={"name": "Desde v1", "email": "a@b.es"},
                              headers={"key": holded.key}, timeout=5).json()["id"]
        [seen] = v2(holded, suffix="?email=a%40b.es").json()["items"]
        assert (seen["id"], seen["name"]) == (v1_id, "Desde v1")

    def test_create_refusals(self, holded):
        for body in ({}, {"name": ""}, {"phone": "600000000"}):
            assert "name" in assert_problem(v2(holded, "POST", json=body), 422,
                                            "unprocessable-entity")
        assert "type" in assert_problem(v2(holded, "POST", json={"name": "A", "type": "amigo"}),
                                        422, "unprocessable-entity")
        assert_problem(v2(holded, "POST", data=b"{roto"), 400, "bad-request")
        assert_problem(v2(holded, "POST", json=["name"]), 400, "bad-request")
        assert len(holded.contacts) == 8

    def test_put_replaces_the_whole_contact_and_links_persons(self, holded):
        target = seeded(holded, "Panadería La Espiga de Oro")
        person = seeded(holded, "Javier Muñoz Peña")
        url = "/" + target["id"]
        answer = v2(holded, "PUT", url, json={"name": "Espiga S.L.", "phone": "941000000",
                                              "contact_persons": [{"person_id": person["id"]}]})
        assert (answer.status_code, answer.json()) == (200, {"status": 1})
        read = v2(holded, suffix=url).json()
        assert (read["name"], read["phone"], read["code"], read["email"], read["type"]) == (
            "Espiga S.L.", "941000000", "", "", "")
        assert read["contact_persons"] == [{"person_id": person["id"], "name": person["name"],
                                            "job": "", "phone": person["phone"],
                                            "email": person["email"]}]
        assert len(read["notes"]) == 1  # read-only: a PUT leaves them
        assert holded.contact(target["id"])["customId"] == target["customId"]

        before = holded.contact(target["id"])
        refused = v2(holded, "PUT", url, json={"name": "X", "contact_persons": [
            {"person_id": "0" * 24}]})
        assert "person_id" in assert_problem(refused, 422, "unprocessable-entity")
        assert_problem(v2(holded, "PUT", url, json={"phone": "1"}), 422, "unprocessable-entity")
        assert holded.contact(target["id"]) == before
        assert_problem(v2(holded, "PUT", "/" + "0" * 24, json={"name": "X"}), 404, "not-found")

    def test_delete(self, holded):
        target = holded.contacts[0]["id"]
        answer = v2(holded, "DELETE", "/" + target)
        assert (answer.status_code, answer.content) == (204, b"")
        assert_problem(v2(holded, suffix="/" + target), 404, "not-found")
        assert_problem(v2(holded, "DELETE", "/" + target), 404, "not-found")
        assert get(holded, "/" + target).status_code == 400
        assert_problem(v2(holded, suffix="/search?name=Pan"), 404, "not-found")


class TestEvents:
    def test_v1_creates_and_lists_events(self, holded):
        url, key = holded.api_url + "crm/v1/events", {"key": holded.key}
        sent = {"name": "Llamada de 612345678", "kind": "call", "contactId": holded.contacts[0]["id"],
                "startDate": 1796738645, "desc": "A las 15:04", "contact_id": "no es de v1"}
        answer = requests.post(url, json=sent, headers=key, timeout=5)
        new_id = answer.json().get("id", "")
        assert (answer.status_code, answer.json()) == (201, {"status": 1, "info": "Created", "id": new_id})
        assert ID.match(new_id)
        kept = {"id": new_id, **sent}
        del kept["contact_id"]
        assert holded.events == [kept] and requests.get(url, headers=key, timeout=5).json() == [kept]
        for headers, body, refusal in [({"key": "clave-mala"}, sent, {"status": 0, "info": "Invalid key"}),
                                       ({}, sent, {"status": 401}),
                                       (key, ["name"], {"status": 0, "info": "Invalid body"})]:
            answer = requests.post(url, json=body, headers=headers, timeout=5)
            assert answer.json() == refusal and answer.status_code in (400, 401)
        holded.set_fault("noid", times=1)
        assert requests.post(url, json=sent, headers=key, timeout=5).json() == {"status": 1, "info": "Created"}
        assert len(holded.events) == 2

    def test_v2_creates_and_lists_events_that_v1_reads(self, holded):
        url = holded.api_url + "v2/events"
        bearer = {"Authorization": "Bearer " + holded.token}
        contact = holded.contacts[0]["id"]
        sent = {"name": "Llamada de 612345678", "kind": "call", "contact_id": contact,
                "start_date": "2026-12-08T15:04:05+01:00", "description": "A las 15:04"}
        answer = requests.post(url, json=sent, headers=bearer, timeout=5)
        new_id = answer.json().get("id", "")
        assert (answer.status_code, answer.json()) == (201, {"id": new_id}) and ID.match(new_id)
        [read] = requests.get(url, headers=bearer, timeout=5).json()["items"]
        assert {k: read[k] for k in sent} == {**sent, "start_date": "2026-12-08T14:04:05Z"}
        [in_v1] = holded.events
        assert (in_v1["id"], in_v1["contactId"], in_v1["startDate"], in_v1["desc"]) == (
            new_id, contact, 1796738645, "A las 15:04")
        for missing, field in [("name", "name"), ("start_date", "start_date")]:
            body = {k: v for k, v in sent.items() if k != missing}
            assert assert_problem(requests.post(url, json=body, headers=bearer, timeout=5),
                                  422, "unprocessable-entity").startswith(field)
        naive = {**sent, "start_date": "2026-12-08T15:04:05"}
        assert_problem(requests.post(url, json=naive, headers=bearer, timeout=5), 422, "unprocessable-entity")
        assert_problem(requests.post(url, json=sent, timeout=5), 401, "unauthorized")
        assert len(holded.events) == 1


# -- switches for load and reliability tests ---------------------------------------


def test_rate_limit(holded):
    holded.rate_limit(per_minute=3, retry_after=7, window=0.6)
    assert [get(holded).status_code for _ in range(3)] == [200, 200, 200]
    refused = get(holded)
    assert (refused.status_code, refused.json()) == (429, {"status": 429,
                                                          "info": "Too many requests"})
    assert refused.headers["Retry-After"] == "7"
    refused = v2(holded)
    assert_problem(refused, 429, "too-many-requests")
    assert refused.headers["Retry-After"] == "7"
    assert [r.status for r in holded.requests[-5:]] == [200, 200, 200, 429, 429]
    time.sleep(0.65)
    assert get(holded).status_code == 200
    holded.clear_rate_limit()
    assert all(get(holded).status_code == 200 for _ in range(4))


def test_latency_delays_every_api_answer():
    with HoldedEmulator(latency_ms=120) as emu:
        for answer in (lambda: get(emu), lambda: v2(emu)):
            started = time.monotonic()
            assert answer().status_code == 200
            assert time.monotonic() - started >= 0.12
        emu.latency_ms = 0
        assert get(emu).status_code == 200 and emu.requests[-1].duration < 0.12


def test_ignore_page_answers_the_first_page_always():
    contacts = [{"name": f"Cliente {n}"} for n in range(600)]
    with HoldedEmulator(seed=contacts, ignore_page=True) as emu:
        first = get(emu).json()
        assert len(first) == 500 and get(emu, "?page=2").json() == first
        emu.ignore_page = False
        assert len(get(emu, "?page=2").json()) == 100


class TestReliabilityFaults:
    def test_trickle_never_trips_a_read_timeout(self, holded):
        holded.set_fault("trickle", seconds=0.002, times=1)
        started = time.monotonic()
        answer = get(holded, "/me", timeout=(2, 0.2))
        assert time.monotonic() - started > 0.3  # ~200 bytes, one every 2 ms
        assert (answer.status_code, answer.json()) == (400, {"status": 0, "info": "not found"})
        assert holded.requests[-1].fault == "trickle"
        started = time.monotonic()
        assert get(holded, "/me").status_code == 400 and time.monotonic() - started < 0.5

    def test_redirect_elsewhere(self, holded):
        holded.set_fault("redirect", location="https://otro.example/robar")
        answer = requests.get(contacts_url(holded), headers={"key": holded.key},
                              allow_redirects=False, timeout=5)
        assert (answer.status_code, answer.headers["Location"], answer.content) == (
            302, "https://otro.example/robar", b"")
        holded.set_fault("redirect", status=307, location="http://127.0.0.1:9/")
        assert v2(holded, allow_redirects=False).status_code == 307
        with pytest.raises(ValueError):
            holded.set_fault("redirect")

    def test_tls_with_a_self_signed_certificate(self):
        with HoldedEmulator(tls=True) as emu:
            assert emu.api_url.startswith("https://127.0.0.1:")
            assert emu.app_url.startswith("https://") and emu.api_url.endswith("/api/")
            answer = requests.get(contacts_url(emu), headers={"key": emu.key},
                                  verify=emu.cert_path, timeout=5)
            assert answer.status_code == 200 and len(answer.json()) == 8
            assert v2(emu, verify=emu.cert_path).status_code == 200
            with pytest.raises(requests.exceptions.SSLError):
                get(emu)  # not trusted by default
            cert = emu.cert_path
        assert not os.path.exists(cert)

    def test_tls_without_openssl_says_so(self, monkeypatch, tmp_path):
        monkeypatch.setenv("PATH", str(tmp_path))
        with pytest.raises(RuntimeError, match="certificate"):
            HoldedEmulator(tls=True).start()


def test_command_line_serves_a_generated_book():
    with command_line("--contacts", "40", "--seed-number", "6", "--latency-ms", "1",
                      "--token", "pat_cli1") as url:
        answer = requests.get(url + "v2/contacts?limit=100",
                              headers={"Authorization": "Bearer pat_cli1"}, timeout=5)
        expected = [c["id"] for c in make_book(40, seed_number=6).contacts]
        assert [c["id"] for c in answer.json()["items"]] == expected
