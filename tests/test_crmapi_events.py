"""A call logged in Holded as a CRM event (crmapi.Evento), v1 and v2, against the stand-in over
real HTTP: the exact body sent, the id it answers, refusals in v1's shape and failures that raise."""
import json
import os
import re
import time

import pytest
import requests

import crmapi
from tests.conftest import stand_in_client

TALLERES = "128957aefc7f0c91aa90f67a"
ID = re.compile(r"[0-9a-f]{24}\Z")
WINTER = 1796738645  # 2026-12-08 14:04:05 UTC
SUMMER = 1783519445  # 2026-07-08 14:04:05 UTC
NAME, DESCRIPTION = "Llamada de 612 34 56 78", "Llamada recibida a las 15:04 del +34612345678"


@pytest.fixture
def madrid():
    """The PC's clock in Spain's peninsular time, summer time included."""
    before = os.environ.get("TZ")
    os.environ["TZ"] = "CET-1CEST,M3.5.0,M10.5.0/3"
    time.tzset()
    yield
    if before is None:
        del os.environ["TZ"]
    else:
        os.environ["TZ"] = before
    time.tzset()


@pytest.fixture(params=[1, 2], ids=["v1", "v2"])
def client(request, holded, workdir, sg):
    made = stand_in_client(holded, workdir, f"v{request.param}")
    assert made.version == request.param
    return made


def test_a_call_is_one_event_with_the_exact_body(client, holded, madrid):
    winter = client.Evento(TALLERES, NAME, WINTER + 0.7, DESCRIPTION)
    summer = client.Evento(TALLERES, NAME, SUMMER, DESCRIPTION)
    first, second = holded.requests
    if client.version == 1:
        assert (first.method, first.path) == ("POST", "/api/crm/v1/events")
        expected = [{"name": NAME, "kind": "call", "contactId": TALLERES, "startDate": start, "desc": DESCRIPTION}
                    for start in (WINTER, SUMMER)]
    else:
        assert (first.method, first.path) == ("POST", "/api/v2/events")
        expected = [{"name": NAME, "kind": "call", "contact_id": TALLERES, "start_date": start,
                     "description": DESCRIPTION}
                    for start in ("2026-12-08T15:04:05+01:00", "2026-07-08T16:04:05+02:00")]
    assert [json.loads(first.body), json.loads(second.body)] == expected
    assert ID.match(winter) and ID.match(summer) and winter != summer
    stored = holded.events
    assert [e["id"] for e in stored] == [winter, summer]
    assert [(e["contactId"], e["kind"], e["startDate"]) for e in stored] == [
        (TALLERES, "call", WINTER), (TALLERES, "call", SUMMER)]


def test_refusals_come_back_in_v1_shape(client, holded):
    if client.version == 2:
        assert client.Evento(TALLERES, " ", WINTER, DESCRIPTION) == {
            "status": 422, "info": "name: this field is required and must be a non-empty text."}
        client.headers["Authorization"] = "Bearer pat_Otro123"
        refused = {"status": 403, "info": "Access denied."}
    else:
        client.headers["key"] = "clave-mala"
        refused = {"status": 0, "info": "Invalid key"}
    assert client.Evento(TALLERES, NAME, WINTER, DESCRIPTION) == refused
    assert holded.events == []


def test_a_success_that_names_no_event_is_none(client, holded):
    holded.set_fault("noid", times=1)
    assert client.Evento(TALLERES, NAME, WINTER, DESCRIPTION) is None
    assert len(holded.events) == 1


def test_failures_raise_after_one_request(client, holded, monkeypatch):
    holded.set_fault("refuse")
    with pytest.raises(requests.ConnectionError):
        client.Evento(TALLERES, NAME, WINTER, DESCRIPTION)
    holded.set_fault("respond", status=503, body={"info": "Mantenimiento"})
    with pytest.raises(RuntimeError, match="Holded: error 503: Mantenimiento"):
        client.Evento(TALLERES, NAME, WINTER, DESCRIPTION)
    monkeypatch.setattr(crmapi, "TIMEOUT", (1, 0.5))
    holded.set_fault("stall", seconds=3)
    with pytest.raises(requests.Timeout):
        client.Evento(TALLERES, NAME, WINTER, DESCRIPTION)
    assert len(holded.requests) == 2 and holded.events == []
    holded.clear_fault()


@pytest.mark.parametrize("args, error", [
    (("", NAME, WINTER, DESCRIPTION), ValueError),
    ((None, NAME, WINTER, DESCRIPTION), TypeError),
    ((TALLERES, NAME, "2026-12-08", DESCRIPTION), TypeError),
    ((TALLERES, NAME, float("nan"), DESCRIPTION), ValueError),
    ((TALLERES, NAME, WINTER, None), TypeError),
])
def test_what_cannot_be_an_event_is_never_sent(client, holded, args, error):
    with pytest.raises(error):
        client.Evento(*args)
    assert holded.requests == []
