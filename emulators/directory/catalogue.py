"""What the directory emulator serves: listings by name, company pages by file.

Company pages are hand-written files under ``pages/empresa/``; the listings are
rendered from the index below into ``pages/listing.html``. The two large
fixtures (a 200-result listing and a ~300 KB company page) are generated here
so that no huge file sits in the repository.

README.md documents every name and page and the values they hold.
"""

from __future__ import annotations

import html
import re
from dataclasses import dataclass, field
from pathlib import Path
from string import Template

PAGES = Path(__file__).resolve().parent / "pages"
COMPANY_DIR = PAGES / "empresa"

# In hrefs, BASE stands for the emulator's own address (absolute links).
BASE = "{base}"


@dataclass(frozen=True)
class Result:
    """One "Ver perfil" anchor of a listing."""

    href: str
    name: str  # the anchor's own leading text, as written in the page
    place: str = ""  # the <span> the real listings put after the name
    markup: str | None = None  # inner HTML when it is not name + <span>place</span>
    title: str | None = None  # defaults to "Ver perfil de <name>"
    line: str = ""  # a line of the result block after the links: activity, address (assumed shape)

    def inner_html(self) -> str:
        if self.markup is not None:
            return self.markup
        span = f"<span> - {html.escape(self.place)}</span>" if self.place else ""
        return html.escape(self.name, quote=False) + span

    def title_text(self) -> str:
        if self.title is not None:
            return self.title
        return "Ver perfil de " + " ".join(self.name.split())


@dataclass(frozen=True)
class Listing:
    title: str
    results: tuple[Result, ...]
    charset: str = "utf-8"
    # Anchors that look like results but are not (no title, other titles).
    decoys: str = ""


# ---------------------------------------------------------------------------
# Hand-made listings. Keys are the path segment after /Actividad/, decoded.

_PANADERIA_LUNA = Listing(
    "Panaderia Luna",
    (
        Result(BASE + "Empresa/PANADERIA-LUNA-SL.html", "PANADERIA LUNA SL", "Madrid",
               line="Fabricación de pan · Calle Mayor 5"),
        Result("/Empresa/PANADERIA-LUNA-HERMANOS-SA.html", "PANADERIA LUNA HERMANOS SA", "Madrid",
               line="Fabricación de pan · Calle Toledo 40"),
        # Relative without a leading slash: resolves below the listing's folder.
        Result("Empresa/LA-PANADERIA-DE-LUNA-SL.html", "La Panaderia de Luna SL", "Toledo",
               line="Comercio de pan · Plaza de Zocodover 2"),
    ),
    decoys='<li><a href="/Empresa/PANADERIA-LUNA-SL.html">PANADERIA LUNA SL</a></li>\n',
)

_FERRETERIA_SOL = Listing(
    "Ferreteria Sol",
    (Result("/Empresa/FERRETERIA-SOL-SL.html", "FERRETERIA SOL SL", "Sevilla"),),
)

_CAFES_DEL_NORTE = Listing(
    "Cafés del Norte",
    (
        Result(BASE + "Empresa/CAFES-DEL-NORTE-SL.html", "CAFÉS DEL NORTE SL", "Gijón"),
        Result("/Empresa/CAFES-DEL-NORTE-SA.html", "CAFES DEL NORTE SA", "Oviedo"),
    ),
    charset="iso-8859-1",
)

_TALLERES_MUNOZ = Listing(
    "Talleres Muñoz",
    (
        Result("/Empresa/TALLERES-MUNOZ-SL.html", "TALLERES MUÑOZ SL", "A Coruña",
               line="Reparación de vehículos"),
        Result(BASE + "Empresa/TALLERES-MUNOZ-SL-LUGO.html", "TALLERES MUÑOZ SL", "Lugo",
               line="Reparación de vehículos"),
    ),
)

_HORNO = Listing(
    "Horno",
    (
        Result("/Empresa/HORNO-SAN-JUAN-SL.html", "HORNO SAN JUAN SL", "Valencia"),
        # The name starts inside a child element: no leading text of its own.
        Result(
            "/Empresa/HORNO-DEL-PUEBLO-SL.html",
            "",
            markup="<b>HORNO</b> DEL PUEBLO SL<span> - Cuenca</span>",
            title="Ver perfil de HORNO DEL PUEBLO SL",
        ),
        Result("/Empresa/HORNO-DORADO-SL.html", "horno dorado sl", "Burgos"),
        Result("Empresa/EL-HORNO-VIEJO-SL.html", "\n        El   Horno\n        Viejo SL  ", "Zaragoza"),
        Result("/Empresa/HORNOS-INDUSTRIALES-SA.html", "HORNOS INDUSTRIALES SA", "Palencia"),
        # The searched word is only in the child <span>.
        Result("/Empresa/PANADERIA-EL-TRIGO-SL.html", "PANADERIA EL TRIGO SL", "HORNO de leña"),
    ),
    decoys=(
        '<li><a href="/Empresa/HORNO-ROTO-SL.html" title="ver perfil de HORNO ROTO SL">HORNO ROTO SL</a></li>\n'
        '<li><a href="/Empresa/HORNO-SIN-TITULO-SL.html" title="">HORNO SIN TITULO SL</a></li>\n'
        '<li><a href="/Empresa/HORNO-NORTE-SL.html">HORNO NORTE SL</a></li>\n'
    ),
)

_BAR_LUNA = Listing(
    "Bar Luna",
    (
        Result("/Empresa/BAR-LUNA-SL.html", "BAR LUNA SL", "Cádiz"),  # no such page: 404
        Result("/Empresa/BAR-EL-BAR-SL.html", "BAR EL BAR SL", "Barcelona"),
        Result("/Empresa/CAFETERIA-LUNA-SL.html", "CAFETERIA LUNA SL", "Cádiz"),
    ),
)

_EMPRESA_FANTASMA = Listing("Empresa Fantasma", ())

# Two results of one name that the listing tells apart by nothing: no place, no line.
_BAR_CENTRAL = Listing(
    "Bar Central",
    (
        Result("/Empresa/BAR-CENTRAL-SL-ZAMORA.html", "BAR CENTRAL SL"),
        Result("/Empresa/BAR-CENTRAL-SL-SORIA.html", "BAR CENTRAL SL"),
    ),
)

_ALMACENES_GIGANTE = Listing(
    "Almacenes Gigante",
    (Result("/Empresa/ALMACENES-GIGANTE-SA.html", "ALMACENES GIGANTE SA", "Madrid"),),
)

LISTINGS: dict[str, Listing] = {
    "PANADERIA-LUNA": _PANADERIA_LUNA,
    "FERRETERIA-SOL": _FERRETERIA_SOL,
    "CAFÉS-DEL-NORTE": _CAFES_DEL_NORTE,
    "CAFES-DEL-NORTE": _CAFES_DEL_NORTE,
    "TALLERES-MUÑOZ": _TALLERES_MUNOZ,
    "HORNO": _HORNO,
    "BAR-LUNA": _BAR_LUNA,
    "EMPRESA-FANTASMA": _EMPRESA_FANTASMA,
    "BAR-CENTRAL": _BAR_CENTRAL,
    "ALMACENES-GIGANTE": _ALMACENES_GIGANTE,
}

# ---------------------------------------------------------------------------
# Generated: a 200-result listing and its 200 small company pages.

BUILDERS_FIRST = (
    "GARCIA", "FERNANDEZ", "GONZALEZ", "RODRIGUEZ", "LOPEZ", "MARTINEZ", "SANCHEZ",
    "PEREZ", "GOMEZ", "MARTIN", "JIMENEZ", "RUIZ", "HERNANDEZ", "DIAZ", "MORENO",
    "ALVAREZ", "ROMERO", "ALONSO", "GUTIERREZ", "NAVARRO",
)
BUILDERS_SECOND = (
    "TORRES", "DOMINGUEZ", "VAZQUEZ", "RAMOS", "GIL", "SERRANO", "BLANCO", "MOLINA",
    "SUAREZ", "ORTEGA",
)


def builder(i: int) -> tuple[str, str]:
    """(company page slug, name) of the i-th generated builder, 0 <= i < 200."""
    first = BUILDERS_FIRST[i // len(BUILDERS_SECOND)]
    second = BUILDERS_SECOND[i % len(BUILDERS_SECOND)]
    name = f"CONSTRUCCIONES {first} {second} SL"
    return name.replace(" ", "-") + ".html", name


def _builders_listing() -> Listing:
    results = []
    for i in range(len(BUILDERS_FIRST) * len(BUILDERS_SECOND)):
        slug, name = builder(i)
        # Alternate absolute and root-relative links, as on the real listings.
        href = (BASE + "Empresa/" if i % 2 == 0 else "/Empresa/") + slug
        results.append(Result(href, name, "Madrid"))
    return Listing("Construcciones", tuple(results))


def _builder_page(i: int) -> str:
    _, name = builder(i)
    words = name.split()
    rows = [
        ("Razón Social", name),
        ("CIF", f"B{90000000 + i}"),
        ("Domicilio Social", f"España Calle {words[2].title()} {i + 1}, 28{i % 1000:03d}, Madrid"),
        ("Localidad", "Madrid"),
        ("Provincia", "Madrid"),
        ("Código postal", f"28{i % 1000:03d}"),
        ("Teléfono", f"91{i:07d}"),
    ]
    email = f"obras@{words[1].lower()}-{words[2].lower()}.es"
    table = "\n".join(_row(label, html.escape(value, quote=False)) for label, value in rows)
    table += "\n" + _row("Email", f'<a href="mailto:{email}">{email}</a>')
    return (
        '<!DOCTYPE html>\n<html lang="es">\n<head>\n<meta charset="utf-8">\n'
        f"<title>{name} - Madrid</title>\n</head>\n<body>\n"
        f'<div id="content-inner">\n<h1>{name}</h1>\n<table class="datos">\n{table}\n</table>\n</div>\n'
        "</body>\n</html>\n"
    )


def _row(label: str, value_html: str) -> str:
    # Label and value cell touch: the value's preceding node is the label text.
    return f'<tr><th>{label}</th><td class="td-datos-externos">{value_html}</td></tr>'


# ---------------------------------------------------------------------------
# Generated padding for the big company page (about 300 KB).

BIG_PAGE = "ALMACENES-GIGANTE-SA.html"


def _padding_outside() -> str:
    menu = "\n".join(
        f'<li><a href="/Provincia/{p}/Actividad/{a:03d}/">Actividad {a:03d} en {p}</a></li>'
        for p in ("Madrid", "Barcelona", "Sevilla", "Valencia")
        for a in range(150)
    )
    related = "\n".join(
        f'<li><a href="/Empresa/RELACIONADA-{n:04d}.html" title="Empresa relacionada {n:04d}">'
        f"EMPRESA RELACIONADA {n:04d} SL</a> <span>Madrid</span></li>"
        for n in range(1150)
    )
    script = "var datos = [" + ",".join(str(n * 7919 % 100003) for n in range(4000)) + "];"
    return (
        f'<ul class="menu-actividades">\n{menu}\n</ul>\n'
        f'<div class="relacionadas"><ul>\n{related}\n</ul></div>\n'
        f"<script>{script}</script>\n"
    )


def _padding_inside() -> str:
    text = (
        "Almacenes Gigante distribuye artículos de hogar, ferretería y jardín en toda "
        "la península desde su sede de Madrid. "
    )
    paragraphs = "\n".join(f"<p>{text * 3}</p>" for _ in range(100))
    balance = "\n".join(
        f"<tr><td>Partida {n:03d}</td><td>{n * 1234 % 99991:,} €</td><td>{n * 4321 % 99989:,} €</td></tr>"
        for n in range(500)
    )
    return (
        f'<div class="descripcion">\n{paragraphs}\n</div>\n'
        f'<table class="balance">\n<tr><th>Partida</th><th>2022</th><th>2023</th></tr>\n{balance}\n</table>\n'
    )


# ---------------------------------------------------------------------------

_META_CHARSET = re.compile(r'<meta\s+charset="([^"]+)"', re.IGNORECASE)


@dataclass
class Page:
    text: str
    charset: str

    def encoded(self) -> bytes:
        # Characters Latin-1 lacks (such as the euro sign) become references.
        return self.text.encode(self.charset, "xmlcharrefreplace")


@dataclass
class Site:
    """Everything the emulator serves, loaded once when a server starts."""

    listings: dict[str, Listing] = field(default_factory=dict)
    companies: dict[str, Page] = field(default_factory=dict)
    listing_template: Template = field(default_factory=lambda: Template(""))

    @classmethod
    def load(cls) -> "Site":
        site = cls(dict(LISTINGS))
        site.listing_template = Template((PAGES / "listing.html").read_text("utf-8"))
        for path in sorted(COMPANY_DIR.glob("*.html")):
            text = path.read_text("utf-8")
            match = _META_CHARSET.search(text)
            site.companies[path.name] = Page(text, match.group(1).lower() if match else "utf-8")
        big = site.companies[BIG_PAGE]
        big.text = big.text.replace("<!--PADDING-OUTSIDE-->", _padding_outside()).replace(
            "<!--PADDING-INSIDE-->", _padding_inside()
        )
        builders = _builders_listing()
        # Narrower searches land on the same listing, so the filter has work to do.
        for name in ("CONSTRUCCIONES", "CONSTRUCCIONES-GARCIA", "CONSTRUCCIONES-GARCIA-TORRES"):
            site.listings[name] = builders
        for i in range(len(BUILDERS_FIRST) * len(BUILDERS_SECOND)):
            site.companies[builder(i)[0]] = Page(_builder_page(i), "utf-8")
        return site

    def render_listing(self, listing: Listing, base: str) -> Page:
        items = []
        for result in listing.results:
            href = html.escape(result.href.replace(BASE, base))
            title = result.title_text()
            shown = html.escape(title.removeprefix("Ver perfil de "))
            line = f'<p class="datos">{html.escape(result.line)}</p>' if result.line else ""
            items.append(
                f'<li class="resultado"><a href="{href}" title="{html.escape(title)}">{result.inner_html()}</a>'
                f' <a href="{href}#mapa" title="Ver mapa de {shown}">Mapa</a>{line}</li>'
            )
        text = self.listing_template.safe_substitute(
            charset=listing.charset,
            title=html.escape(listing.title),
            count=str(len(listing.results)),
            results="\n".join(items),
            decoys=listing.decoys,
        )
        return Page(text, listing.charset)
