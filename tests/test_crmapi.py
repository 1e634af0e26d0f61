"""The Holded API client, spoken to over real HTTP against the API emulator."""

import configparser
import json
import os
import re
import time

import pytest
import requests

import crmapi
from tests.conftest import config_text, stand_in_client

ID = re.compile(r"[0-9a-f]{24}\Z")
CONTACTS = "/api/invoicing/v1/contacts"
NO_KEY_POPUP = ("popup_error", ("ERROR", "Necesito los datos API para seguir "), {})

MARIA = "5e3e8d7ccd9ee4647e247887"  # phone "+34 955 12 34 56", mobile "+34677889900"
TALLERES = "128957aefc7f0c91aa90f67a"  # phone "+34 612 34 56 78"

CONTACT_TEMPLATE = {
    "billAddress": {"address": " ", "city": " ", "postalCode": " ", "province": " ", "country": " "},
    "numberingSeries": {"receipt": " ", "salesOrder": " ", "purchasesOrder": " ", "proform": " ", "waybill": " "},
    "defaults": {
        "expensesAccountRecord": 0, "expensesAccountName": " ", "salesAccountRecord": 0,
        "salesAccountName": " ", "dueDays": 0, "salesTax": 0, "purchasesTax": 0,
        "accumulateInForm347": "Yes or No", "paymentMethod": " ", "discount": 0,
        "currency": "eur = Euro, usd = U.S. Dollar",
        "language": "es = spanish, en = english, fr = french, de = german, it = italian, ca = catalan, eu = euskera",
        "showTradeNameOnDocs": True, "showCountryOnDocs": True,
    },
    "socialNetworks": {"website": " "},
    "CustomId": " ", "name": " ", "code": " ", "email": " ", "mobile": " ",
    "phone": " Options: supplier, debtor, creditor, client, lead",
    "isperson": False, "iban": " ", "swift": " ", "sepaRef": " ", "groupId": " ",
    "taxOperation": "general, intra, impexp, nosujeto, receq, exento",
    "sepaDate": 0, "clientRecord": 0, "supplierRecord": 0,
    "shippingAddresses": [{"name": " ", "address": " ", "city": " ", "postalCode": " ", "province": " ",
                           "country": " ", "note": " ", "privateNote": " "}],
    "tags": ["etiqueta"],
    "note": " ",
    "contactPersons": [{"name": " ", "phone": " ", "email": " "}],
}
PRODUCT_TEMPLATE = {"kind": "wqdsd", "name": "asd", "tax": 12, "barcode": "asd", "desc": "qwe", "subtotal": 12,
                    "sku": "12e", "purchasePrice": 12, "cost": 12, "weight": 12}


@pytest.fixture
def client(holded, workdir, sg):
    made = stand_in_client(holded, workdir)
    assert (made.lasterror, sg.popups) == ("", [])
    return made


def sent(holded):
    return [(r.method, r.path, r.query) for r in holded.requests]


def our_headers(record):
    return [(name, value) for name, value in record.headers.items() if name.lower() in ("accept", "content-type", "key")]


class TestRequests:
    def test_number_lookup_encodes_and_falls_back_to_mobile(self, client, holded):
        found = client.Lista("contacts", "+34 612 34 56 78")
        assert [c["id"] for c in found] == [TALLERES]
        assert sent(holded) == [("GET", CONTACTS, "phone=%2B34%20612%2034%2056%2078")]
        expected_headers = [("accept", "application/json"), ("content-type", "application/json"), ("key", holded.key)]
        assert our_headers(holded.requests[0]) == expected_headers

        holded.clear_requests()
        assert [c["id"] for c in client.Lista(cual="contacts", where="+34677889900")] == [MARIA]
        assert sent(holded) == [("GET", CONTACTS, "phone=%2B34677889900"), ("GET", CONTACTS, "mobile=%2B34677889900")]
        assert all(our_headers(r) == expected_headers for r in holded.requests)

        holded.clear_requests()
        assert client.Lista("contacts", "600 000 000") == []
        assert sent(holded) == [("GET", CONTACTS, "phone=600%20000%20000"), ("GET", CONTACTS, "mobile=600%20000%20000")]

    def test_shared_number_and_empty_number(self, client, holded):
        assert len(client.Lista("contacts", "961223344")) == 2
        assert len(holded.requests) == 1
        holded.clear_requests()
        # "" is a number (not None): the filter goes out with nothing after it.
        client.Lista("contacts", "")
        assert sent(holded) == [("GET", CONTACTS, "phone=")]

    def test_list_and_fetch_return_what_the_api_sends(self, client, holded):
        assert client.Lista("contacts") == holded.contacts
        assert client.Info("contacts", MARIA) == holded.contact(MARIA)
        assert client.Info(cual="products", id=holded.products[0]["id"]) == holded.products[0]
        assert sent(holded) == [("GET", CONTACTS, ""), ("GET", CONTACTS + "/" + MARIA, ""),
                                ("GET", "/api/invoicing/v1/products/" + holded.products[0]["id"], "")]
        # GET answers are never judged by their status: an error body comes back as data.
        assert client.Info("contacts", "me") == {"status": 0, "info": "not found"}
        client.headers["key"] = "0" * 32
        assert client.Lista("contacts", "961223344") == {"status": 401}

    @pytest.mark.parametrize("fault, error", [("notjson", json.JSONDecodeError), ("html500", json.JSONDecodeError),
                                              ("refuse", requests.ConnectionError)])
    def test_failed_gets_reach_the_caller(self, client, holded, fault, error):
        holded.set_fault(fault)
        with pytest.raises(error):
            client.Lista("contacts", "622334455")
        with pytest.raises(error):
            client.Info("contacts", MARIA)

    def test_requests_give_up_after_the_timeout(self, client, holded, monkeypatch):
        monkeypatch.setattr(crmapi, "TIMEOUT", (1, 0.3))
        holded.set_fault("stall", seconds=5, methods=["POST"])
        with pytest.raises(requests.Timeout):
            client.Nuevo("contacts", {"name": "Lenta"})


class TestWithoutArguments:
    def test_keys_texts_and_templates_without_requests(self, client, holded):
        for keys in (client.Lista(), client.Info(), client.Update(), client.Nuevo(), client.Lista(where="1")):
            assert list(keys) == ["contacts", "products"]
        assert client.Info("contacts") == client.Info("unknown") == "No se puede si ID"
        assert client.Update("contacts", payload={"name": "X"}) == "ID necesario"
        assert client.Update("contacts", MARIA) is client.listabbdd["contacts"][1]
        assert client.Nuevo("products") is client.listabbdd["products"][1]
        assert holded.requests == []
        with pytest.raises(KeyError):
            client.Lista("invoices", "1")

    def test_templates_are_shared_with_the_client_and_fresh_from_diccio(self, client):
        template = client.Nuevo("contacts")
        template["name"] = "Cambiado"
        assert client.Update("contacts", "x")["name"] == "Cambiado"
        first, second = client.Diccio(), client.Diccio()
        assert first == second and first is not second
        first["contacts"][1]["defaults"]["dueDays"] = 30
        first["products"][1]["tags"] = []
        assert second["contacts"][1]["defaults"]["dueDays"] == 0 and "tags" not in second["products"][1]
        assert client.Diccio()["contacts"][1]["name"] == " "

    def test_table_paths_and_template_order(self, client):
        table = client.Diccio()
        assert list(table) == ["contacts", "products"]
        assert [entry[0] for entry in table.values()] == ["invoicing/v1/contacts", "invoicing/v1/products"]
        # Comparing serialisations checks key order, nesting and value types (false is not 0).
        assert json.dumps(table["contacts"][1]) == json.dumps(CONTACT_TEMPLATE)
        assert json.dumps(table["products"][1]) == json.dumps(PRODUCT_TEMPLATE)


class TestWrites:
    def test_create_and_update(self, client, holded, monkeypatch):
        payload = {"name": "Nueva Óptica S.L.", "phone": "+34 600 11 22 33", "CustomId": "N-1", "isperson": False}
        new_id = client.Nuevo(cual="contacts", payload=payload)
        assert ID.match(new_id)
        record = holded.requests[0]
        assert (record.method, record.path, record.query) == ("POST", CONTACTS, "")
        assert list(record.json.items()) == list(payload.items())
        assert our_headers(record)[-1] == ("key", holded.key)
        assert holded.contact(new_id)["name"] == "Nueva Óptica S.L."
        assert client.web == holded.app_url + "contacts/" + new_id

        monkeypatch.delenv("HOLDED_APP_URL")  # the web-app address is read when used
        assert client.Update("contacts", TALLERES, {"email": "nuevo@correo.example"}) == TALLERES
        assert holded.requests[1].method == "PUT" and holded.requests[1].path == CONTACTS + "/" + TALLERES
        assert holded.contact(TALLERES)["email"] == "nuevo@correo.example"
        assert client.web == "https://app.holded.com/contacts/" + TALLERES

    def test_refusals_return_the_body_and_keep_web(self, client, holded):
        created = client.Nuevo("contacts", {"name": "Primera"})
        web = client.web
        assert client.Update("contacts", "0" * 24, {"name": "Nadie"}) == {"status": 0, "info": "not found"}
        # A 2xx that names no record and says status 0 is a refusal all the same.
        answer = {"status": 0, "info": "name needed"}
        holded.set_fault("respond", status=200, body=answer)
        assert client.Nuevo("contacts", {"name": "Otra"}) == answer
        assert client.web == web == holded.app_url + "contacts/" + created

    @pytest.mark.parametrize("status", [500, 502])
    def test_a_server_error_to_a_write_raises(self, client, holded, status):
        holded.set_fault("respond", status=status, body={"status": 0, "info": "Internal error"})
        with pytest.raises(RuntimeError, match=f"{status}: Internal error"):
            client.Nuevo("contacts", {"name": "Otra"})

    @pytest.mark.parametrize("method, fault", [("Nuevo", dict(mode="noid")),
                                               ("Nuevo", dict(mode="respond", status=201, body="<html>Created</html>")),
                                               ("Update", dict(mode="noid")),
                                               ("Update", dict(mode="notjson"))])
    def test_success_without_a_usable_id_gives_none(self, client, holded, method, fault):
        client.Nuevo("contacts", {"name": "Primera"})
        web = client.web
        holded.set_fault(**fault)
        call = getattr(client, method)
        args = ("contacts", {"name": "Sin id"}) if method == "Nuevo" else ("contacts", TALLERES, {"name": "Sin id"})
        assert call(*args) is None
        assert client.web == web

    def test_web_is_unset_until_a_success(self, client, holded):
        holded.set_fault("noid")
        assert client.Nuevo("contacts", {"name": "Sin id"}) is None
        assert not hasattr(client, "web")


class TestSettingsFile:
    @pytest.mark.parametrize("text, written", [
        (None, "[api]\napi_key = \n\n"),
        ("[windows]\nidioma = es\n", "[windows]\nidioma = es\n\n[api]\napi_key = \n\n"),
        ("[api]\ncamposlibres = x\n", "[api]\ncamposlibres = x\n"),  # no entry: no NoOptionError
        ("[api]\napi_key = \n", "[api]\napi_key = \n"),
    ])
    def test_no_key_shows_the_popup_and_ends(self, holded, workdir, sg, text, written):
        if text is not None:
            workdir.write_config(text)
        with pytest.raises(SystemExit) as ended:
            crmapi.crmapi()
        assert ended.value.code is None
        assert sg.popups == [NO_KEY_POPUP]
        assert holded.requests == []
        assert workdir.read_config() == written

    def test_reader_writes_only_a_missing_api_section(self, workdir):
        workdir.write_config("[api]\napi_key=clave%de%prueba\n[windows]\ntema:Azul\n")
        reader = crmapi.conf()
        assert (reader.ficheroini, reader.cvariables) == ("config.ini", {"api_key": "clave%de%prueba"})
        assert isinstance(reader.config, configparser.ConfigParser)
        assert workdir.read_config() == "[api]\napi_key=clave%de%prueba\n[windows]\ntema:Azul\n"
        workdir.write_config("[windows]\ntema:Azul\n")
        crmapi.conf()
        assert workdir.read_config() == "[windows]\ntema = Azul\n\n[api]\napi_key = \n\n"
        assert os.listdir(workdir.path) == ["config.ini"]

    def test_accents_survive_in_the_settings_encoding(self, workdir, monkeypatch):
        monkeypatch.setenv("LC_ALL", "es_ES.ISO8859-15")
        text = config_text(api_key="clave", camposlibres="Razón Social=Nombre; Año=Peña €", tema="Español")
        workdir.write_config(text, encoding="iso8859-15")
        crmapi.conf()
        assert workdir.read_config(encoding="iso8859-15") == text

    def test_failed_write_leaves_the_old_file(self, workdir, sg, monkeypatch):
        text = "[windows]\ntema = Azul\n"  # no [api]: the reader completes the file
        workdir.write_config(text)

        def broken_write(parser, handle, *args, **kwargs):
            handle.write("[api]\napi_k")
            raise OSError("disk full")

        monkeypatch.setattr(configparser.ConfigParser, "write", broken_write)
        with pytest.raises(SystemExit) as ended:
            crmapi.conf()
        assert ended.value.code == 1 and "disk full" in sg.popups[0][1][1]
        assert workdir.read_config() == text
        assert os.listdir(workdir.path) == ["config.ini"]


class TestKey:
    def test_pasted_blanks_and_invisible_characters_are_no_part_of_the_key(self, client, holded, workdir, sg):
        assert client.cambiar_clave(f" {holded.key}\u200b\n") is False, "the same key once cleaned"
        assert [c["id"] for c in client.Lista("contacts", "+34 612 34 56 78")] == [TALLERES]
        workdir.write_config(config_text(api_key=f"\ufeff\u2060{holded.key}\u200d"))
        assert crmapi.crmapi().estado is True and sg.popups == []

    @pytest.mark.parametrize("key", ["0123456789ab\x07cdef", "ключ0123456789abcdef"])
    def test_a_key_no_header_can_carry_is_refused_in_words_without_its_text(self, holded, workdir, sg, key):
        workdir.write_config(config_text(api_key=key))
        made = crmapi.crmapi()
        assert made.estado is False and holded.requests == []
        with pytest.raises(RuntimeError) as refused:
            made.Lista("contacts", "622334455")
        worded = "La clave del API tiene caracteres que una clave de Holded no tiene: cópiela de nuevo en Configurar."
        assert made.motivo == str(refused.value) == worded and made.lasterror.endswith(worded)


class TestProbe:
    def test_success_and_addresses(self, client, holded, monkeypatch):
        assert client.base_url == holded.api_url
        assert list(client.headers.items()) == [("accept", "application/json"), ("content-type", "application/json"),
                                                ("key", holded.key)]
        monkeypatch.setenv("HOLDED_API_URL", "http://127.0.0.1:9/api/")  # read at construction only
        client.Lista("contacts")
        assert sent(holded) == [("GET", CONTACTS, "")]

    @pytest.mark.parametrize("key, note", [("0123456789abcdef0123456789abcdef", "401: the API key was refused"),
                                           ("clave-mala", "400: Invalid key")])
    def test_refused_key_is_described(self, holded, workdir, sg, key, note):
        # The refusal is JSON too, but a client whose key is refused cannot be used.
        workdir.write_config(config_text(api_key=key))
        made = crmapi.crmapi()
        assert (made.estado, made.lasterror) == (False, note)
        assert sent(holded) == [("GET", CONTACTS, "")]

    @pytest.mark.parametrize("fault, note", [
        (dict(mode="refuse"), r"connection refused: http://127\.0\.0\.1:\d+/api/invoicing/v1/contacts\Z"),
        (dict(mode="stall", seconds=5), r"time-out: no answer from http://\S+/contacts within 0\.4 s\Z"),
        (dict(mode="html500"), r"500: the answer is not JSON \(text/html; charset=utf-8\)\Z"),
        (dict(mode="blocked"), r"402: the answer is not JSON: Account has been blocked\. Reason: Unpaid\Z"),
    ])
    def test_unusable_service(self, holded, workdir, sg, monkeypatch, fault, note):
        monkeypatch.setattr(crmapi, "TIMEOUT", (1, 0.4))
        workdir.write_config(config_text(api_key=holded.key))
        holded.set_fault(**fault)
        started = time.monotonic()
        made = crmapi.crmapi()
        assert time.monotonic() - started < 3
        assert made.estado is False
        assert re.match(note, made.lasterror), made.lasterror
        assert sg.popups == []

    def test_wrong_address_answering_html(self, holded, workdir, sg, monkeypatch):
        monkeypatch.setenv("HOLDED_API_URL", holded.base_url + "v1/")
        workdir.write_config(config_text(api_key=holded.key))
        made = crmapi.crmapi()
        assert (made.estado, made.lasterror) == (False, "200: the answer is not JSON (text/html; charset=utf-8)")
