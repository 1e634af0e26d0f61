"""Contact books that look like a real office's: many contacts whose numbers are written in
the many ways people type them, with the right answer for every number worked out beforehand.

    book = make_book(10_000, seed_number=3)
    book.contacts                 # v1-shaped contact dicts, ready for HoldedEmulator(seed=...)
    book.truth["+34612345678"]    # sorted ids of the contacts holding that number
    book.ring_forms(200)          # [(number as a handset shows it, sorted ids), ...]

The truth comes from the digits the generator chose, never from reading the texts back, so a
parser under test cannot agree with itself by accident. A book depends only on ``seed_number``
and grows by appending: ``make_book(100, s).contacts`` is the start of ``make_book(1000, s)``'s.
"""

from __future__ import annotations

import random
import unicodedata
from dataclasses import dataclass, field

# Stored in the phone fields of contacts that have no usable number.
JUNK_PHONES = ("", "n/a", "-", "0", "sin teléfono", "112", "N/D", "000000000", "016", "Ninguno")

_BASE_TIME = 1546300800  # 2019-01-01, when the oldest contact was created

# city, province, first two digits of its postal codes, landline area code
_PLACES = (
    ("Madrid", "Madrid", "28", "91"), ("Alcalá de Henares", "Madrid", "28", "91"),
    ("Barcelona", "Barcelona", "08", "93"), ("Sabadell", "Barcelona", "08", "93"),
    ("Terrassa", "Barcelona", "08", "93"),
    ("Valencia", "Valencia", "46", "963"), ("Sevilla", "Sevilla", "41", "954"),
    ("Málaga", "Málaga", "29", "952"), ("Zaragoza", "Zaragoza", "50", "976"),
    ("Bilbao", "Bizkaia", "48", "944"), ("A Coruña", "A Coruña", "15", "981"),
    ("Vigo", "Pontevedra", "36", "986"), ("Oviedo", "Asturias", "33", "985"),
    ("Murcia", "Murcia", "30", "968"), ("Palma", "Illes Balears", "07", "971"),
    ("Las Palmas de Gran Canaria", "Las Palmas", "35", "928"),
    ("Valladolid", "Valladolid", "47", "983"), ("Granada", "Granada", "18", "958"),
    ("Córdoba", "Córdoba", "14", "957"), ("Alicante", "Alicante", "03", "965"),
    ("Pamplona", "Navarra", "31", "948"), ("Santander", "Cantabria", "39", "942"),
    ("Logroño", "La Rioja", "26", "941"), ("Salamanca", "Salamanca", "37", "923"),
    ("Toledo", "Toledo", "45", "925"), ("Badajoz", "Badajoz", "06", "924"),
    ("Girona", "Girona", "17", "972"), ("Reus", "Tarragona", "43", "977"),
    ("Tarragona", "Tarragona", "43", "977"), ("Huesca", "Huesca", "22", "974"),
    ("Almería", "Almería", "04", "950"), ("Cádiz", "Cádiz", "11", "956"),
    ("Jaén", "Jaén", "23", "953"), ("Castellón de la Plana", "Castellón", "12", "964"),
    ("Albacete", "Albacete", "02", "967"), ("Burgos", "Burgos", "09", "947"),
    ("León", "León", "24", "987"), ("Donostia-San Sebastián", "Gipuzkoa", "20", "943"),
    ("Vitoria-Gasteiz", "Araba", "01", "945"), ("Cáceres", "Cáceres", "10", "927"),
    ("Ourense", "Ourense", "32", "988"),
)

_FIRST = ("María", "José", "Antonio", "Carmen", "Lucía", "Javier", "Manuel", "Ana", "David",
          "Laura", "Francisco", "Marta", "Íñigo", "Nuria", "Sergio", "Rocío", "Álvaro", "Elena",
          "Jordi", "Montserrat", "Xabier", "Begoña", "Raúl", "Pilar", "Óscar", "Inés", "Iván",
          "Ainhoa", "Rubén", "Sofía", "Ángel", "Noelia", "Joan", "Maite", "Adrián", "Celia")
_SURNAMES = ("García", "Fernández", "González", "Rodríguez", "López", "Martínez", "Sánchez",
             "Pérez", "Gómez", "Martín", "Jiménez", "Ruiz", "Hernández", "Díaz", "Moreno",
             "Muñoz", "Álvarez", "Romero", "Alonso", "Gutiérrez", "Navarro", "Torres",
             "Domínguez", "Vázquez", "Ramos", "Gil", "Ramírez", "Serrano", "Blanco", "Molina",
             "Castaño", "Ibáñez", "Peña", "Etxeberria", "Puig", "Ferrer", "Oliveira", "Núñez")
_TRADES = ("Talleres", "Construcciones", "Asesoría", "Clínica Dental", "Panadería",
           "Ferretería", "Transportes", "Distribuciones", "Instalaciones", "Reformas",
           "Gestoría", "Farmacia", "Carpintería", "Electricidad", "Fontanería", "Autoescuela",
           "Restaurante", "Óptica", "Imprenta", "Frutas", "Climatización", "Laboratorio",
           "Inmobiliaria", "Academia")
_WORDS = ("del Norte", "Hermanos", "La Espiga", "El Pilar", "San Roque", "Mediterráneo",
          "Sol y Mar", "Nueva Era", "Los Olivos", "Atlántica", "Ibérica", "La Ribera",
          "Integral", "Express", "Peñalara", "Costa Brava", "Los Álamos", "Montaña")
_FORMS = ("S.L.", "S.L.", "S.L.", "S.A.", "S.L.U.", "S.C.", "S.Coop.", "S.L.P.", "C.B.")
_JOBS = ("Gerente", "Administración", "Contabilidad", "Compras", "Jefe de obra", "Recepción",
         "Director comercial", "Responsable de almacén", "Secretaría", "Técnico")
_STREETS = ("Calle Mayor", "Avenida de la Constitución", "Calle Real", "Plaza de España",
            "Calle de Alcalá", "Paseo de Gracia", "Calle San Vicente", "Avenida del Puerto",
            "Calle de la Paz", "Ronda de Sant Pere", "Calle Larios", "Polígono Industrial El Pla")
_TAGS = ("cliente habitual", "moroso", "proveedor", "urgente", "mantenimiento", "zona norte",
         "tarifa b", "exportación")
_MAIL_BOXES = ("info", "administracion", "contacto", "oficina", "pedidos", "facturacion")
_MAIL_HOSTS = ("correo.example", "mail.example", "telefonica.example", "gmail.example")

_TYPES = (("client", 70), ("supplier", 15), ("lead", 8), ("debtor", 4), ("creditor", 3))
_TYPE_CHOICES = tuple(t for t, weight in _TYPES for _ in range(weight))


@dataclass(frozen=True)
class _Abroad:
    """A foreign numbering plan: country code, national number shapes and how they group."""

    code: str
    country: str
    iso: str
    city: str
    shapes: tuple  # (leading digits, how many random digits follow, groups of the whole)
    trunk_zero: bool  # "+44 (0)20 ..." is a usual way of writing it


_ABROAD = (
    _Abroad("44", "Reino Unido", "GB", "London", (
        ("207", 7, (2, 4, 4)), ("161", 7, (3, 3, 4)), ("74", 8, (4, 6)), ("78", 8, (4, 6))), True),
    _Abroad("33", "Francia", "FR", "Paris", (
        ("1", 8, (1, 2, 2, 2, 2)), ("3", 8, (1, 2, 2, 2, 2)), ("61", 7, (1, 2, 2, 2, 2)),
        ("66", 7, (1, 2, 2, 2, 2))), True),
    _Abroad("351", "Portugal", "PT", "Lisboa", (
        ("21", 7, (2, 3, 4)), ("22", 7, (2, 3, 4)), ("91", 7, (3, 3, 3)), ("96", 7, (3, 3, 3))),
        False),
    _Abroad("49", "Alemania", "DE", "Berlin", (
        ("30", 8, (2, 8)), ("89", 8, (2, 4, 4)), ("151", 8, (3, 8)), ("176", 8, (3, 4, 4))), True),
    _Abroad("52", "México", "MX", "Ciudad de México", (
        ("55", 8, (2, 4, 4)), ("33", 8, (2, 4, 4)), ("81", 8, (2, 4, 4))), False),
    _Abroad("39", "Italia", "IT", "Roma", (
        ("06", 8, (2, 4, 4)), ("02", 8, (2, 4, 4)), ("333", 7, (3, 3, 4))), False),
    _Abroad("41", "Suiza", "CH", "Zürich", (
        ("44", 7, (2, 3, 2, 2)), ("79", 7, (2, 3, 2, 2))), True),
)

# Ways a Spanish number's national digits are grouped; each entry cuts the 9 digits.
_MOBILE_GROUPS = ((9,), (9,), (3, 3, 3), (3, 3, 3), (3, 2, 2, 2), (3, 2, 2, 2), (2, 3, 2, 2))
_LANDLINE_GROUPS = {2: ((9,), (2, 3, 2, 2), (2, 3, 2, 2), (2, 7), (3, 3, 3)),
                    3: ((9,), (3, 2, 2, 2), (3, 2, 2, 2), (3, 3, 3))}
_SEPARATORS = (" ", " ", " ", " ", ".", "-")
_ES_PREFIXES = ("", "", "", "", "", "", "+34 ", "+34 ", "+34", "0034 ", "0034", "(+34) ", "+34-")
_EXTENSIONS = (" ext. {}", "#{}", " ext {}", " Ext. {}", ",{}", " extensión {}")

_NIF_LETTERS = "TRWAGMYFPDXBNJZSQVHLCKE"
_CIF_CONTROL_LETTERS = "JABCDEFGHI"


@dataclass
class _Number:
    """One number the generator chose: the truth is built from these fields only."""

    e164: str
    handset: str  # how a handset shows it when it rings
    national: str  # the digits after the country code
    area: int  # length of a Spanish landline's area code; 0 otherwise
    abroad: _Abroad | None = None
    shape_groups: tuple = ()


@dataclass
class Book:
    """A generated contact book and the answers a correct lookup must give."""

    contacts: list
    truth: dict
    # (number, contact id, stored text) for every field holding a number
    _holdings: list = field(default_factory=list, repr=False)

    def ring_forms(self, k: int, rng_seed: int = 0) -> list:
        """Up to ``k`` pairs (number as the handset shows it, sorted ids of its holders).

        Only numbers whose handset form is stored in none of their fields are chosen, so a
        lookup that compares texts exactly cannot find them by luck. Spanish numbers ring as
        their nine national digits, foreign ones as "+" and all the digits.
        """
        texts: dict = {}
        handset: dict = {}
        for number, _, text in self._holdings:
            texts.setdefault(number.e164, set()).add(text)
            handset[number.e164] = number.handset
        eligible = sorted(e164 for e164, stored in texts.items() if handset[e164] not in stored)
        chosen = random.Random(rng_seed).sample(eligible, min(max(k, 0), len(eligible)))
        return [(handset[e164], list(self.truth[e164])) for e164 in chosen]


def make_book(n: int, seed_number: int = 0) -> Book:
    """A book of ``n`` contacts, the same for the same ``seed_number``."""
    return _Generator(seed_number).book(n)


class _Generator:
    def __init__(self, seed_number):
        self.rng = random.Random(f"holded-book:{seed_number}")
        self.used: set = set()  # e164 texts already given out, so sharing is only deliberate
        self.drawn: list = []  # every number given out, for deliberate sharing
        self.ids: set = set()
        self.holdings: list = []

    def book(self, n):
        contacts = [self.contact(i) for i in range(n)]
        truth: dict = {}
        for number, contact_id, _ in self.holdings:
            truth.setdefault(number.e164, set()).add(contact_id)
        return Book(contacts=contacts,
                    truth={e164: sorted(ids) for e164, ids in truth.items()},
                    _holdings=self.holdings)

    # -- numbers -------------------------------------------------------------

    def fresh(self, make):
        while True:
            number = make()
            if number.e164 not in self.used:
                self.used.add(number.e164)
                self.drawn.append(number)
                return number

    def spanish_mobile(self):
        rng = self.rng

        def make():
            if rng.random() < 0.85:
                national = "6" + "%08d" % rng.randrange(10 ** 8)
            else:
                national = "7" + rng.choice("1234") + "%07d" % rng.randrange(10 ** 7)
            return _Number("+34" + national, national, national, 0)
        return self.fresh(make)

    def spanish_landline(self, area):
        rng = self.rng

        def make():
            code = area
            if rng.random() < 0.1:  # the newer 8xx numbers share the province's digits
                code = "8" + area[1:]
            rest = 9 - len(code)
            national = code + "%0*d" % (rest, rng.randrange(10 ** rest))
            return _Number("+34" + national, national, national, len(area))
        return self.fresh(make)

    def foreign(self):
        rng = self.rng
        abroad = rng.choice(_ABROAD)

        def make():
            lead, count, groups = rng.choice(abroad.shapes)
            national = lead + "%0*d" % (count, rng.randrange(10 ** count))
            e164 = "+" + abroad.code + national
            return _Number(e164, e164, national, 0, abroad, groups)
        return self.fresh(make)

    def shared(self):
        """A number some earlier contact already holds."""
        return self.rng.choice(self.drawn)

    # -- writing numbers -----------------------------------------------------

    def write(self, number, extension=False):
        rng = self.rng
        if number.abroad is not None:
            abroad = number.abroad
            roll = rng.random()
            if roll < 0.2:
                return "+" + abroad.code + number.national
            grouped = _cut(number.national, number.shape_groups, " ")
            if abroad.trunk_zero and roll < 0.35:
                return f"+{abroad.code} (0){grouped}"
            return ("00" if roll < 0.55 else "+") + abroad.code + " " + grouped
        if number.area:
            groups = rng.choice(_LANDLINE_GROUPS[number.area])
        else:
            groups = rng.choice(_MOBILE_GROUPS)
        text = _cut(number.national, groups, rng.choice(_SEPARATORS))
        if number.area and groups[0] == number.area and rng.random() < 0.15:
            text = "(" + text[:number.area] + ")" + text[number.area:]
        text = rng.choice(_ES_PREFIXES) + text
        if extension:
            text += rng.choice(_EXTENSIONS).format(rng.randrange(1, 300))
        return text

    def hold(self, number, contact_id, extension=False):
        text = self.write(number, extension)
        self.holdings.append((number, contact_id, text))
        return text

    def phone_field(self, contact_id, mix, area):
        """A phone field's text; ``mix`` weighs mobile, landline, abroad, junk (rest empty)."""
        rng = self.rng
        roll = rng.random()
        mobile, landline, abroad, junk = mix
        if roll < mobile:
            return self.hold(self.spanish_mobile(), contact_id), None
        roll -= mobile
        if roll < landline:
            number = self.spanish_landline(area)
            return self.hold(number, contact_id, extension=rng.random() < 0.08), number
        roll -= landline
        if roll < abroad:
            return self.hold(self.foreign(), contact_id), None
        roll -= abroad
        if roll < junk:
            return rng.choice(JUNK_PHONES), None
        return "", None

    # -- contacts ------------------------------------------------------------

    def new_id(self):
        while True:
            candidate = "%024x" % self.rng.getrandbits(96)
            if candidate not in self.ids:
                self.ids.add(candidate)
                return candidate

    def contact(self, index):
        rng = self.rng
        contact_id = self.new_id()
        city, province, postal, area = rng.choice(_PLACES)
        is_person = rng.random() < 0.45
        kind = rng.choice(_TYPE_CHOICES)
        surname = rng.choice(_SURNAMES)
        if is_person:
            first = rng.choice(_FIRST)
            name = f"{first} {surname} {rng.choice(_SURNAMES)}"
            trade_name = ""
            email = self.person_mail(first, surname)
            phone_mix, mobile_mix = (0.45, 0.2, 0.04, 0.06), (0.35, 0.0, 0.02, 0.05)
        else:
            trade_name = self.company_name(surname, city)
            name = f"{trade_name} {rng.choice(_FORMS)}"
            email = self.company_mail(trade_name)
            phone_mix, mobile_mix = (0.12, 0.7, 0.04, 0.06), (0.25, 0.0, 0.01, 0.04)

        roll = rng.random()
        if roll < 0.015 and self.drawn:
            # Two contacts with one number: a family, or a firm and its adviser.
            phone, landline = self.hold(self.shared(), contact_id), None
        else:
            phone, landline = self.phone_field(contact_id, phone_mix, area)
        if 0.015 <= roll < 0.03 and self.holdings and self.holdings[-1][1] == contact_id:
            # The same number typed into both fields, each its own way.
            mobile = self.hold(self.holdings[-1][0], contact_id)
        else:
            mobile, _ = self.phone_field(contact_id, mobile_mix, area)

        record = {
            "id": contact_id,
            "customId": self.custom_id(kind, index),
            "name": name,
            "code": "",
            "tradeName": trade_name,
            "email": email,
            "mobile": mobile,
            "phone": phone,
            "type": kind,
            "iban": "",
            "swift": "",
            "clientRecord": 0,
            "supplierRecord": 0,
            "isperson": 1 if is_person else 0,
            "billAddress": self.address(city, province, postal),
            "defaults": {"salesChannel": 0, "expensesAccount": 0,
                         "dueDays": rng.choice((0, 30, 60)), "paymentMethod": 0,
                         "discount": 0, "language": "es", "currency": "eur", "tax": 0,
                         "retention": 0},
            "socialNetworks": {"website": ""},
            "tags": rng.sample(_TAGS, rng.choice((0, 0, 1, 2))),
            "notes": [],
            "contactPersons": [] if is_person else self.persons(contact_id, landline),
            "shippingAddresses": [],
            "customFields": [],
            "createdAt": _BASE_TIME + index * 3600,
            "updatedAt": _BASE_TIME + index * 3600 + rng.randrange(10 ** 7),
        }
        self.tax_id(record, is_person)
        if not is_person and rng.random() < 0.5:
            record["socialNetworks"]["website"] = "https://" + _slug(trade_name) + ".example"
        if rng.random() < 0.05:
            record["notes"].append({"noteId": "%024x" % rng.getrandbits(96), "name": "",
                                    "description": "Llamar por la mañana.", "color": "",
                                    "updatedAt": record["updatedAt"], "userId": ""})
        return record

    def persons(self, contact_id, switchboard):
        rng = self.rng
        roll = rng.random()
        count = 0 if roll < 0.55 else 1 if roll < 0.85 else 2 if roll < 0.95 else 3
        people = []
        for _ in range(count):
            first, surname = rng.choice(_FIRST), rng.choice(_SURNAMES)
            pick = rng.random()
            if switchboard is not None and pick < 0.15:
                phone = self.hold(switchboard, contact_id, extension=True)
            elif pick < 0.7:
                phone = self.hold(self.spanish_mobile(), contact_id)
            elif pick < 0.75:
                phone = rng.choice(JUNK_PHONES)
            else:
                phone = ""
            people.append({"personId": "%024x" % rng.getrandbits(96),
                           "name": f"{first} {surname}", "job": rng.choice(_JOBS),
                           "phone": phone, "email": self.person_mail(first, surname),
                           "sendDocumentsByDefault": False, "linkedin": ""})
        return people

    def company_name(self, surname, city):
        rng = self.rng
        roll = rng.random()
        trade = rng.choice(_TRADES)
        if roll < 0.4:
            return f"{trade} {surname}"
        if roll < 0.7:
            return f"{trade} {rng.choice(_WORDS)}"
        return f"{trade} {city}"

    def person_mail(self, first, surname):
        rng = self.rng
        roll = rng.random()
        if roll < 0.12:
            return ""
        mail = f"{_slug(first, '')}.{_slug(surname, '')}@{rng.choice(_MAIL_HOSTS)}"
        if roll < 0.22:  # typed with capitals, as some people do
            mail = f"{first}.{surname}@{rng.choice(_MAIL_HOSTS).capitalize()}"
            mail = _ascii(mail)
        return mail

    def company_mail(self, trade_name):
        rng = self.rng
        roll = rng.random()
        if roll < 0.08:
            return ""
        mail = f"{rng.choice(_MAIL_BOXES)}@{_slug(trade_name)}.example"
        if roll < 0.15:
            mail = mail.upper() if roll < 0.11 else mail.capitalize()
        return mail

    def custom_id(self, kind, index):
        roll = self.rng.random()
        if roll < 0.4:
            return ""
        return f"{'PRV' if kind in ('supplier', 'creditor') else 'CLI'}-{index + 1:05d}"

    def address(self, city, province, postal):
        rng = self.rng
        return {"address": f"{rng.choice(_STREETS)} {rng.randrange(1, 200)}", "city": city,
                "postalCode": postal + "%03d" % rng.randrange(1, 1000), "province": province,
                "country": "España", "countryCode": "ES", "info": ""}

    def tax_id(self, record, is_person):
        """Put a NIF/CIF in ``code`` or ``vatnumber``, written as people write it."""
        rng = self.rng
        if is_person:
            plain, written = (_nie(rng) if rng.random() < 0.1 else _nif(rng))
        else:
            plain, written = _cif(rng)
        roll = rng.random()
        if roll < 0.05:
            return  # no tax id at all
        if roll < 0.55:
            record["code"] = plain
        elif roll < 0.7:
            record["code"] = written
        elif roll < 0.85:
            record["code"] = plain
            record["vatnumber"] = "ES" + plain
        elif roll < 0.95:
            record["vatnumber"] = written
        else:
            record["code"] = written
            record["vatnumber"] = ""


def _cut(digits, groups, separator):
    parts, start = [], 0
    for size in groups:
        parts.append(digits[start:start + size])
        start += size
    return separator.join(part for part in parts if part)


def _nif(rng):
    number = rng.randrange(10 ** 8)
    letter = _NIF_LETTERS[number % 23]
    digits = "%08d" % number
    written = rng.choice((f"{digits[:2]}.{digits[2:5]}.{digits[5:]}-{letter}",
                          f"{digits}-{letter}", f"{digits} {letter}", digits + letter.lower()))
    return digits + letter, written


def _nie(rng):
    lead = rng.randrange(3)
    number = rng.randrange(10 ** 7)
    letter = _NIF_LETTERS[(lead * 10 ** 7 + number) % 23]
    prefix, digits = "XYZ"[lead], "%07d" % number
    return prefix + digits + letter, rng.choice((f"{prefix}-{digits}-{letter}",
                                                 f"{prefix} {digits} {letter}"))


def _cif(rng):
    kind = rng.choice("BBBBBAAEFGJNPQRSUVW")
    digits = "%02d%05d" % (rng.randrange(1, 100), rng.randrange(10 ** 5))
    even = sum(int(d) for d in digits[1::2])
    odd = sum(sum(divmod(2 * int(d), 10)) for d in digits[0::2])
    control = (10 - (even + odd) % 10) % 10
    if kind in "NPQRSW":
        mark = _CIF_CONTROL_LETTERS[control]
    else:
        mark = str(control)
    plain = kind + digits + mark
    written = rng.choice((f"{kind}-{digits}{mark}", f"{kind} {digits}{mark}",
                          f"{kind}-{digits[:2]}.{digits[2:5]}.{digits[5:]}{mark}", plain.lower()))
    return plain, written


def _ascii(text):
    return unicodedata.normalize("NFKD", text).encode("ascii", "ignore").decode("ascii")


def _slug(text, joiner="-"):
    words = "".join(c if c.isalnum() else " " for c in _ascii(text).lower()).split()
    return joiner.join(words)
