"""API v2's view of the emulator's contacts and CRM events: reads in snake_case, writes checked
and turned back into the v1 shape the store keeps, so a record written through either API is seen
by both."""

from __future__ import annotations

import re
from datetime import datetime, timezone

PROBLEM_BASE = "https://api.holded.com/problems/"
PROBLEMS = {
    400: ("bad-request", "Bad Request"),
    401: ("unauthorized", "Unauthorized"),
    403: ("forbidden", "Forbidden"),
    404: ("not-found", "Not Found"),
    422: ("unprocessable-entity", "Unprocessable Entity"),
    429: ("too-many-requests", "Too Many Requests"),
}

CONTACT_TYPES = ("client", "debtor", "supplier", "creditor", "lead")

# v2 name -> v1 name, for the contact's own texts that both APIs write
TEXT_FIELDS = {"name": "name", "code": "code", "vat_number": "vatnumber",
               "trade_name": "tradeName", "email": "email", "phone": "phone", "mobile": "mobile"}
ADDRESS_FIELDS = {"address": "address", "city": "city", "postal_code": "postalCode",
                  "province": "province", "country": "country", "country_code": "countryCode",
                  "info": "info"}


class Problem(Exception):
    """A request v2 refuses; becomes an application/problem+json answer."""

    def __init__(self, status: int, detail: str):
        super().__init__(detail)
        self.status = status
        self.detail = detail

    def body(self) -> dict:
        kind, title = PROBLEMS[self.status]
        return {"type": PROBLEM_BASE + kind, "title": title, "status": self.status,
                "detail": self.detail}


def to_v2(record: dict) -> dict:
    """A stored (v1-shaped) contact as v2 reads it."""
    address = record.get("billAddress") if isinstance(record.get("billAddress"), dict) else {}
    social = record.get("socialNetworks") if isinstance(record.get("socialNetworks"), dict) else {}
    answer = {"id": record.get("id"), "custom_id": _text(record.get("customId"))}
    answer.update({v2: _text(record.get(v1)) for v2, v1 in TEXT_FIELDS.items()})
    answer.update({
        "type": _text(record.get("type")),
        "is_person": record.get("isperson") in (1, True, "1", "true"),
        "bill_address": {v2: _text(address.get(v1)) for v2, v1 in ADDRESS_FIELDS.items()},
        "contact_persons": [
            {"person_id": p.get("personId"), "name": _text(p.get("name")),
             "job": _text(p.get("job")), "phone": _text(p.get("phone")),
             "email": _text(p.get("email"))}
            for p in _objects(record.get("contactPersons"))],
        "notes": [
            {"note_id": n.get("noteId"), "name": _text(n.get("name")),
             "description": _text(n.get("description")), "color": _text(n.get("color")),
             "updated_at": _iso(n.get("updatedAt")), "user_id": _text(n.get("userId"))}
            for n in _objects(record.get("notes"))],
        "tags": list(record.get("tags") or []),
        "social_networks": {_snake(k): v for k, v in social.items()},
        "custom_fields": [{"field": f.get("field"), "value": f.get("value")}
                          for f in _objects(record.get("customFields"))],
        "extra_emails": list(record.get("extraEmails") or []),
        "defaults": {_snake(k): v for k, v in (record.get("defaults") or {}).items()},
        "created_at": _iso(record.get("createdAt")),
        "updated_at": _iso(record.get("updatedAt")),
    })
    return answer


def written_fields(body, find_contact=None) -> tuple[dict, str | None]:
    """The v1 fields a create (or, with ``find_contact``, a PUT) body sets, and its website.

    Every field v2 writes is present in the result, empty when the body omits it, because a
    PUT replaces the whole contact. Contact persons are only taken by a PUT, where each
    ``person_id`` must name an existing contact (``find_contact(id)`` gives it or None).
    Fields v2 does not write are dropped silently.
    """
    if not isinstance(body, dict):
        raise Problem(400, "The request body must be a JSON object.")
    name = body.get("name")
    if not isinstance(name, str) or not name.strip():
        raise Problem(422, "name: this field is required and must be a non-empty text.")
    fields = {v1: _written_text(body, v2) for v2, v1 in TEXT_FIELDS.items()}
    kind = body.get("type")
    if kind is not None and kind not in CONTACT_TYPES:
        raise Problem(422, f"type: must be one of {', '.join(CONTACT_TYPES)}.")
    fields["type"] = kind or ""
    is_person = body.get("is_person")
    if is_person is not None and not isinstance(is_person, bool):
        raise Problem(422, "is_person: must be true or false.")
    fields["isperson"] = 1 if is_person else 0
    address = _written_object(body, "bill_address")
    fields["billAddress"] = {v1: _written_text(address, v2, "bill_address.")
                             for v2, v1 in ADDRESS_FIELDS.items()}
    fields["customFields"] = _custom_fields(body)
    fields["defaults"] = {_camel(k): v for k, v in _written_object(body, "defaults").items()}
    fields["contactPersons"] = [] if find_contact is None else _linked_persons(body, find_contact)
    return fields, _written_text(body, "website")


# v2 name -> v1 name, for the texts of a CRM event
EVENT_TEXTS = {"kind": "kind", "contact_id": "contactId", "description": "desc",
               "user_id": "userId", "lead_id": "leadId"}


def event_fields(body) -> dict:
    """The v1 fields a v2 event create sets; ``start_date`` becomes v1's Unix seconds and an
    ``end_date`` a ``duration`` in seconds. Fields v2 does not write are dropped silently."""
    if not isinstance(body, dict):
        raise Problem(400, "The request body must be a JSON object.")
    name = body.get("name")
    if not isinstance(name, str) or not name.strip():
        raise Problem(422, "name: this field is required and must be a non-empty text.")
    start = _written_time(body, "start_date")
    if start is None:
        raise Problem(422, "start_date: this field is required.")
    fields = {"name": name, "startDate": start}
    fields.update({v1: _written_text(body, v2) for v2, v1 in EVENT_TEXTS.items() if v2 in body})
    end = _written_time(body, "end_date")
    duration = body.get("duration") if end is None else end - start
    if duration is not None:
        if isinstance(duration, bool) or not isinstance(duration, int) or duration < 0:
            raise Problem(422, "duration: must be a whole number of seconds from 0.")
        fields["duration"] = duration
    for key in ("status", "tags"):
        if body.get(key) is not None:
            fields[key] = body[key]
    return fields


def event_to_v2(record: dict) -> dict:
    """A stored (v1-shaped) event as v2 reads it."""
    answer = {"id": record.get("id"), "name": _text(record.get("name"))}
    answer.update({v2: _text(record.get(v1)) for v2, v1 in EVENT_TEXTS.items()})
    answer.update({"start_date": _iso(record.get("startDate")),
                   "duration": record.get("duration"), "status": record.get("status"),
                   "tags": list(record.get("tags") or [])})
    return answer


def _written_time(body, key):
    """An ISO 8601 time with its offset from UTC, as Unix seconds; None when not given."""
    value = body.get(key)
    if value is None:
        return None
    try:
        moment = datetime.fromisoformat(value) if isinstance(value, str) else None
    except ValueError:
        moment = None
    if moment is None or moment.tzinfo is None:
        raise Problem(422, f"{key}: must be an ISO 8601 date and time with its offset from UTC.")
    return int(moment.timestamp())


def _custom_fields(body):
    entries = body.get("custom_fields")
    if entries is None:
        return []
    if not isinstance(entries, list) or not all(
            isinstance(e, dict) and isinstance(e.get("field"), str) for e in entries):
        raise Problem(422, "custom_fields: must be a list of {field, value} objects.")
    return [{"field": e["field"], "value": e.get("value")} for e in entries]


def _linked_persons(body, find_contact):
    links = body.get("contact_persons")
    if links is None:
        return []
    if not isinstance(links, list):
        raise Problem(422, "contact_persons: must be a list of {person_id} objects.")
    persons = []
    for index, link in enumerate(links):
        person_id = link.get("person_id") if isinstance(link, dict) else None
        other = find_contact(person_id) if isinstance(person_id, str) else None
        if other is None:
            raise Problem(422, f"contact_persons[{index}].person_id: "
                               f"no contact has the id {person_id!r}.")
        persons.append({"personId": person_id, "name": _text(other.get("name")), "job": "",
                        "phone": _text(other.get("phone")), "email": _text(other.get("email")),
                        "sendDocumentsByDefault": False, "linkedin": ""})
    return persons


def _written_text(body, key, where=""):
    value = body.get(key)
    if value is None:
        return ""
    if isinstance(value, bool) or not isinstance(value, (str, int, float)):
        raise Problem(422, f"{where}{key}: must be a text.")
    return value if isinstance(value, str) else str(value)


def _written_object(body, key):
    value = body.get(key)
    if value is None:
        return {}
    if not isinstance(value, dict):
        raise Problem(422, f"{key}: must be an object.")
    return value


def _objects(value):
    return [item for item in value if isinstance(item, dict)] if isinstance(value, list) else []


def _text(value):
    if value is None:
        return ""
    return value if isinstance(value, str) else str(value)


def _iso(seconds):
    """Unix seconds (how v1 keeps times) as the ISO 8601 text v2 answers."""
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float)):
        return None
    return datetime.fromtimestamp(seconds, tz=timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def _snake(name):
    return re.sub(r"(?<=[a-z0-9])([A-Z])", r"_\1", name).lower()


def _camel(name):
    head, *rest = name.split("_")
    return head + "".join(part[:1].upper() + part[1:] for part in rest)
