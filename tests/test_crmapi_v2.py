"""The client with a v2 token (pat_...) against the stand-in's API v2, over real HTTP: the same
calls and v1-shaped records as with a v1 key; and what both APIs share: rate limits, deadlines for
the whole exchange, redirects and filters that carry any character."""
import json
import threading
import time

import pytest
import requests

import crmapi
from emulators.holded import DEFAULT_TOKEN
from tests.conftest import config_text, stand_in_client

V2 = "/api/v2/contacts"
V1 = "/api/invoicing/v1/contacts"
TALLERES = "128957aefc7f0c91aa90f67a"  # phone "+34 612 34 56 78", code B50123456
JAVIER = "d5a2158c9b332920f87a7146"    # mobile 644556677


def sent(holded):
    return [(r.method, r.path, r.query) for r in holded.requests]


@pytest.fixture
def v2(holded, workdir, sg):
    client = stand_in_client(holded, workdir, "v2")
    assert (client.version, sg.popups) == (2, [])
    return client


@pytest.fixture
def v1(holded, workdir, sg):
    return stand_in_client(holded, workdir)


def test_a_token_speaks_v2_with_a_bearer_header(holded, workdir, sg):
    workdir.write_config(config_text(api_key=holded.token))
    client = crmapi.crmapi()
    assert client.base_url == holded.api_url + "v2/"
    assert list(client.headers.items()) == [("accept", "application/json"), ("content-type", "application/json"),
                                            ("Authorization", "Bearer " + DEFAULT_TOKEN)]
    [probe] = holded.requests
    assert (probe.path, probe.query, probe.header("key")) == (V2, "limit=1", None)


@pytest.mark.parametrize("key, note, version", [
    ("pat_Invented0000", "403: the API key was refused", 2),
    ("0123456789abcdef0123456789abcdef", "401: the API key was refused", 1),
    ("clave-mala", "400: Invalid key", 1),
])
def test_a_refused_key_says_which_kind_and_where_to_make_one(holded, workdir, sg, key, note, version):
    workdir.write_config(config_text(api_key=key))
    client = crmapi.crmapi()
    assert (client.estado, client.lasterror, client.clave_rechazada, client.sin_conexion) == (False, note, True, False)
    assert "Desarrolladores" in client.motivo
    assert ("v2" in client.motivo and "v1" not in client.motivo) is (version == 2)


def test_lookup_by_phone_then_mobile_gives_v1_records(v2, holded):
    [found] = v2.Lista("contacts", "+34 612 34 56 78")
    assert found["id"] == TALLERES and found["billAddress"]["postalCode"] == "50014"
    assert found["isperson"] == 0 and "bill_address" not in found
    assert [c["id"] for c in v2.Lista("contacts", "644556677")] == [JAVIER]
    assert v2.Lista("contacts", "699000111") == []
    assert sent(holded) == [("GET", V2, "phone=%2B34%20612%2034%2056%2078"), ("GET", V2, "phone=644556677"),
                            ("GET", V2, "mobile=644556677"), ("GET", V2, "phone=699000111"),
                            ("GET", V2, "mobile=699000111")]
    assert v2.Info("contacts", TALLERES)["code"] == "B50123456"


def test_the_index_reads_v2_by_cursor(v2, holded, monkeypatch):
    monkeypatch.setattr(crmapi, "INDEX_REQUEST_GAP", 0)
    for n in range(205):
        holded.add_contact({"name": f"Cliente {n}", "phone": f"+34 600 {n:06d}"[:16]})
    assert v2.indice.actualizar() == 213
    queries = [r.query for r in holded.requests]
    assert queries[0] == "limit=100" and len(queries) == 3 and queries[1].startswith("limit=100&cursor=")
    assert [c["id"] for c in v2.indice.buscar("612345678")] == [TALLERES]


def body(record):
    return json.loads(record.body)


def test_a_person_is_created_with_the_v2_body(v2, holded, sg):
    record = {"socialNetworks": {"website": "http://wa.me/600112233"}, "billAddress": {}, "contactPersons": [],
              "name": "Ana García", "email": "ana@correo.es", "mobile": "600112233", "phone": "600112233",
              "type": "", "taxOperation": "general", "isperson": True}
    new_id = v2.Nuevo("contacts", record)
    [post] = holded.requests
    assert body(post) == {"website": "http://wa.me/600112233", "bill_address": {}, "name": "Ana García",
                          "email": "ana@correo.es", "mobile": "600112233", "phone": "600112233", "is_person": True}
    assert v2.web == holded.app_url + "contacts/" + new_id and v2.no_guardado == []
    assert holded.contact(new_id)["name"] == "Ana García"


@pytest.mark.parametrize("kind", ["client", ""])  # "" is the form's "Sin especificar"
def test_a_company_with_contact_person_and_directory_data(v2, holded, kind):
    record = {"socialNetworks": {"website": "http://wa.me/600112233"},
              "billAddress": {"address": "Calle Mayor 5", "city": "TOLEDO", "country": "España", "postalCode": "45001"},
              "contactPersons": [{"name": "Ana García", "phone": "600112233", "email": "ana@correo.es"}],
              "name": "TALLERES PÉREZ SL", "email": "ana@correo.es", "mobile": "600112233", "phone": "600112233",
              "type": kind, "taxOperation": "general", "isperson": False,
              "note": "<ul><li>Actividad: talleres</li></ul>", "vatnumber": "B12345678", "code": "B12345678"}
    new_id = v2.Nuevo("contacts", record)
    company, person, read, put = holded.requests
    assert (company.method, person.method, read.method, put.method) == ("POST", "POST", "GET", "PUT")
    expected = {
        "website": "http://wa.me/600112233",
        "bill_address": {"address": "Calle Mayor 5", "city": "TOLEDO", "country": "España", "postal_code": "45001"},
        "name": "TALLERES PÉREZ SL", "email": "ana@correo.es", "mobile": "600112233", "phone": "600112233",
        "type": kind, "is_person": False, "vat_number": "B12345678", "code": "B12345678"}
    if not kind:
        del expected["type"]  # v2 knows no empty type
    assert body(company) == expected
    assert body(person) == {"name": "Ana García", "phone": "600112233", "email": "ana@correo.es", "is_person": True}
    person_id = holded.contacts[-1]["id"]
    assert put.path == V2 + "/" + new_id and body(put)["contact_persons"] == [{"person_id": person_id}]
    assert body(put)["code"] == "B12345678" and body(put)["bill_address"]["city"] == "TOLEDO"
    stored = holded.contact(new_id)
    assert [p["name"] for p in stored["contactPersons"]] == ["Ana García"] and stored["code"] == "B12345678"
    assert v2.no_guardado == ["note"] and v2.web.endswith("/" + new_id)


def test_update_writes_the_whole_contact_back(v2, holded):
    assert v2.Update("contacts", TALLERES, {"email": "nuevo@talleres.example"}) == TALLERES
    read, put = holded.requests
    assert (read.method, put.method) == ("GET", "PUT")
    sent_body = body(put)
    assert sent_body["email"] == "nuevo@talleres.example"
    assert sent_body["name"] == "Talleres Ebro Norte S.L." and sent_body["phone"] == "+34 612 34 56 78"
    assert holded.contact(TALLERES)["code"] == "B50123456", "nothing else was reset"
    assert v2.web.endswith("/contacts/" + TALLERES)


def test_refusals_come_back_in_v1_shape(v2, holded):
    answer = v2.Nuevo("contacts", {"email": "sin@nombre.es"})
    assert answer["status"] == 422 and "name" in answer["info"]
    assert v2.Update("contacts", "0" * 24, {"name": "Nadie"})["status"] == 404


# --- what both APIs share ----------------------------------------------------------------

@pytest.fixture(params=["v1", "v2"])
def client(request):
    return request.getfixturevalue(request.param)


def test_a_rate_limit_is_waited_out_once_for_the_user(client, holded, monkeypatch):
    holded.rate_limit(per_minute=1, retry_after=1, window=1.0)
    client.Info("contacts", TALLERES)
    holded.clear_requests()
    started = time.monotonic()
    assert client.Info("contacts", TALLERES)["id"] == TALLERES
    assert 0.9 < time.monotonic() - started < 3 and [r.status for r in holded.requests] == [429, 200]


def test_a_lasting_rate_limit_ends_in_words_not_a_loop(client, holded):
    holded.rate_limit(per_minute=0, retry_after=30)
    started = time.monotonic()
    with pytest.raises(RuntimeError, match="limitando las peticiones"):
        client.Lista("contacts", "622334455")
    assert time.monotonic() - started < 4 and len(holded.requests) == 2


def test_the_index_waits_out_a_rate_limit(client, holded, monkeypatch):
    monkeypatch.setattr(crmapi, "INDEX_REQUEST_GAP", 0)
    holded.rate_limit(per_minute=0, retry_after=1)
    threading.Timer(0.5, holded.clear_rate_limit).start()
    assert client.indice.actualizar() == len(holded.contacts)
    assert [r.status for r in holded.requests][:2] == [429, 200]


def test_a_trickling_answer_is_given_up_at_the_deadline(client, holded, monkeypatch):
    monkeypatch.setattr(crmapi, "TIMEOUT", (1, 0.6))
    monkeypatch.setattr(crmapi, "LOOKUP_TIMEOUT", 0.9)
    holded.set_fault("trickle", seconds=0.05)
    started = time.monotonic()
    with pytest.raises(requests.Timeout):
        client.Lista("contacts", "699000111")
    assert time.monotonic() - started < 1.4, "one lookup never takes longer than its deadline"
    holded.clear_fault()


def test_trickling_answers_never_leave_the_client_dead(client, holded, monkeypatch):
    # Sixteen answers trickling in at a few bytes a second, each given up by its caller, used to hold
    # every worker: the client then failed every request, also once Holded was healthy again.
    monkeypatch.setattr(crmapi, "TIMEOUT", (1, 0.5))
    holded.set_fault("trickle", seconds=0.1)
    outcomes = []

    def lookup():
        try:
            outcomes.append(client.Info("contacts", TALLERES))
        except requests.Timeout as error:
            outcomes.append(error)

    callers = [threading.Thread(target=lookup) for _ in range(16)]
    for caller in callers:
        caller.start()
    for caller in callers:
        caller.join(10)
    assert len(outcomes) == 16 and all(isinstance(o, requests.Timeout) for o in outcomes)
    holded.clear_fault(release=False)  # healthy again, the sixteen answers still trickling
    assert client.Info("contacts", TALLERES)["id"] == TALLERES
    assert [c["id"] for c in client.Lista("contacts", "+34 612 34 56 78")] == [TALLERES]


def test_the_key_never_follows_a_redirect_to_another_host(client, holded, monkeypatch):
    caught = []
    with OtherHost(caught) as elsewhere:
        holded.set_fault("redirect", location=elsewhere + "robar", times=1)
        with pytest.raises(RuntimeError, match="otro servidor"):
            client.Info("contacts", TALLERES)
    assert caught == []


def test_a_redirect_on_the_same_host_is_followed(client, holded):
    target = client.base_url + ("contacts/" if client.version == 2 else "invoicing/v1/contacts/") + TALLERES
    holded.set_fault("redirect", location=target, times=1)
    assert client.Info("contacts", "a" * 24)["id"] == TALLERES


def test_any_character_in_a_number_stays_in_the_filter(client, holded):
    client.Lista("contacts", "#31#622334455&x=1")
    assert holded.requests[0].query == "phone=%2331%23622334455%26x%3D1"
    assert holded.requests[0].params["phone"] == ["#31#622334455&x=1"]


class OtherHost:
    """A second web server on another port that records whoever reaches it."""

    def __init__(self, caught):
        self.caught = caught

    def __enter__(self):
        import http.server
        caught = self.caught

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                caught.append(dict(self.headers))
                self.send_response(200)
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        return f"http://127.0.0.1:{self.server.server_address[1]}/"

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()


def test_a_certificate_the_pc_cannot_check_is_told_and_never_skipped(workdir, sg, monkeypatch):
    from emulators.holded import HoldedEmulator
    with HoldedEmulator(tls=True) as emulator:
        monkeypatch.setenv("HOLDED_API_URL", emulator.api_url)
        workdir.write_config(config_text(api_key=emulator.key))
        client = crmapi.crmapi()
        assert (client.estado, client.sin_conexion) == (False, True)
        assert client.motivo.startswith("certificado no válido: 127.0.0.1:") and "self-signed" in client.motivo
        assert emulator.requests == [], "nothing was sent over the unchecked connection"
        # The same server, once its certificate is trusted.
        monkeypatch.setenv("REQUESTS_CA_BUNDLE", str(emulator.cert_path))
        assert client.probar() is True
