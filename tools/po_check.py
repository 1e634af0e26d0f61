#!/usr/bin/env python3
"""Check the gettext catalogue sources against the texts the modules translate.

The modules mark every translatable text as ``tr("...")`` with one C++ string
literal.  This tool collects those texts from the module sources, reads the
catalogue sources ``locale/<lang>/<module>.po`` and reports:

- texts used in the code that a language's merged catalogue lacks;
- entries left untranslated (empty, fuzzy, or equal to the Spanish source text
  outside Spanish and outside the small per-language list of texts that are
  rightly the same in that language);
- Spanish entries whose text differs from the source text;
- one text translated differently by two modules of the same language (the
  build keeps only the first, so the other would silently vanish);
- translations that lose the leading or trailing blanks, line breaks, menu
  accelerator or ">> ... <<" frame of the source text (the code glues numbers
  and other texts to them);
- unreadable files, missing module files and wrong headers.

Run ``python tools/po_check.py [--root DIR]``: it prints the report and exits
with 1 when anything is wrong.  Tests import it and call ``check()``.
Standard library only.
"""

from __future__ import annotations

import argparse
import bisect
import os
import re
import sys
from dataclasses import dataclass, field

LANGUAGES = ("ca", "de", "en", "es", "eu", "fr", "gl", "it", "nl", "no", "pt")
MODULES = ("phonewatch", "crmapi", "crmprocs", "dirscrape", "conf")
SOURCE_DIRS = MODULES + ("common",)
SOURCE_SUFFIXES = (".cpp", ".hpp")
SOURCE_LANGUAGE = "es"

# Texts whose right translation is the Spanish text itself, per language.
# "OK" stays "OK" everywhere: the new-contact form matches its button by caption.
IDENTICAL_OK = {
    "ca": frozenset({"OK", "Error", "ERROR", "Empresa:"}),
    "de": frozenset({"OK"}),
    "en": frozenset({"OK", "Error", "ERROR", "Email:", "About...", "Remote Call "}),
    "eu": frozenset({"OK"}),
    "fr": frozenset({"OK"}),
    "gl": frozenset({"OK", "Buscar", "CONTACTO", "Empresa:", "Cancelar", "Aplicar"}),
    "it": frozenset({"OK", "Telefono:", "Telefono "}),
    "nl": frozenset({"OK"}),
    "no": frozenset({"OK"}),
    "pt": frozenset({"OK", "CONTACTO", "Empresa:", "Cancelar", "Aplicar"}),
}

# Pairs of markers that must open and close a translation when they open and
# close its source text.
FRAMES = ((">>", "<<"),)


class PoError(ValueError):
    """A catalogue or source file that cannot be read."""


@dataclass
class Entry:
    msgid: str
    msgstr: str
    context: str | None = None
    plural: str | None = None
    plural_forms: list[str] = field(default_factory=list)
    fuzzy: bool = False
    line: int = 0

    @property
    def key(self) -> str:
        # gettext's own lookup key: context and text joined by EOT.
        return self.msgid if self.context is None else f"{self.context}\x04{self.msgid}"

    @property
    def translations(self) -> list[str]:
        return self.plural_forms if self.plural is not None else [self.msgstr]


# ---------------------------------------------------------------- escapes

_SIMPLE_ESCAPES = {
    "n": "\n", "t": "\t", "r": "\r", "a": "\a", "b": "\b", "f": "\f", "v": "\v",
    "\\": "\\", '"': '"', "'": "'", "?": "?",
}


def unescape(body: str, where: str = "", cpp: bool = True) -> str:
    """Decode a C-style string literal body (without its quotes).

    Octal and \\x escapes give bytes, \\u and \\U give code points; the result is
    read as UTF-8, which is how both the catalogues and the sources are written.
    With cpp false only the escapes that gettext's own tools accept are allowed.
    """
    out = bytearray()
    i, n = 0, len(body)
    while i < n:
        c = body[i]
        if c != "\\":
            j = body.find("\\", i)
            j = n if j < 0 else j
            out += body[i:j].encode("utf-8")
            i = j
            continue
        if i + 1 >= n:
            raise PoError(f"{where}: string ends with a lone backslash")
        e = body[i + 1]
        if not cpp and e in "'?uU":
            raise PoError(f"{where}: escape \\{e} is not allowed in a catalogue")
        if e in _SIMPLE_ESCAPES:
            out += _SIMPLE_ESCAPES[e].encode()
            i += 2
        elif e in "01234567":
            m = re.match(r"[0-7]{1,3}", body[i + 1:])
            out.append(int(m.group(), 8) & 0xFF)
            i += 1 + len(m.group())
        elif e == "x":
            m = re.match(r"[0-9a-fA-F]+", body[i + 2:])
            if not m:
                raise PoError(f"{where}: \\x without hexadecimal digits")
            out.append(int(m.group(), 16) & 0xFF)
            i += 2 + len(m.group())
        elif e in "uU":
            width = 4 if e == "u" else 8
            digits = body[i + 2:i + 2 + width]
            if not re.fullmatch(r"[0-9a-fA-F]{%d}" % width, digits):
                raise PoError(f"{where}: bad \\{e} escape")
            out += chr(int(digits, 16)).encode("utf-8")
            i += 2 + width
        else:
            raise PoError(f"{where}: unknown escape \\{e}")
    try:
        return out.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise PoError(f"{where}: escapes do not make valid UTF-8 ({exc})") from None


# ---------------------------------------------------------------- catalogues

_STRING_LINE = re.compile(r'"((?:[^"\\]|\\.)*)"\s*$')
_KEYWORD_LINE = re.compile(r'(msgctxt|msgid_plural|msgid|msgstr(?:\[(\d+)\])?)\s+(".*)$')


def parse_po(text: str, name: str = "<po>") -> list[Entry]:
    """Parse catalogue source text into its entries (the header is the entry with msgid "")."""
    entries: list[Entry] = []
    fields: dict[str, str] = {}
    forms: dict[int, str] = {}
    current: str | None = None
    fuzzy = False
    start = 0

    def flush() -> None:
        nonlocal fields, forms, current, fuzzy
        if "msgid" in fields:
            if "msgstr" not in fields and not forms:
                raise PoError(f"{name}:{start}: msgid without msgstr")
            plural_forms = [forms[k] for k in sorted(forms)]
            entries.append(Entry(
                msgid=fields["msgid"], msgstr=fields.get("msgstr", plural_forms[0] if plural_forms else ""),
                context=fields.get("msgctxt"), plural=fields.get("msgid_plural"),
                plural_forms=plural_forms, fuzzy=fuzzy, line=start))
        elif fields or forms:
            raise PoError(f"{name}:{start}: entry without msgid")
        fields, forms, current, fuzzy = {}, {}, None, False

    for number, raw in enumerate(text.splitlines(), 1):
        line = raw.strip()
        where = f"{name}:{number}"
        if not line:
            continue
        if line.startswith("#"):
            if line.startswith("#~"):
                continue  # obsolete entry, ignored by msgfmt too
            if current is not None and current != "msgctxt":
                flush()  # a comment begins the next entry
            if line.startswith("#,") and "fuzzy" in [f.strip() for f in line[2:].split(",")]:
                fuzzy = True
            continue
        if line.startswith('"'):
            m = _STRING_LINE.match(line)
            if not m or current is None:
                raise PoError(f"{where}: stray string line")
            value = unescape(m.group(1), where, cpp=False)
            if current.startswith("msgstr["):
                forms[int(current[7:-1])] += value
            else:
                fields[current] += value
            continue
        m = _KEYWORD_LINE.match(line)
        if not m:
            raise PoError(f"{where}: cannot read {line[:40]!r}")
        keyword, index, rest = m.groups()
        s = _STRING_LINE.match(rest)
        if not s:
            raise PoError(f"{where}: badly quoted string")
        value = unescape(s.group(1), where, cpp=False)
        if keyword in ("msgctxt", "msgid") and (fields.get("msgstr") is not None or forms):
            flush()
        if keyword in ("msgctxt", "msgid") and not fields:
            start = number
        if keyword.startswith("msgstr["):
            if int(index) in forms:
                raise PoError(f"{where}: {keyword} given twice")
            forms[int(index)] = value
        else:
            if keyword in fields:
                raise PoError(f"{where}: {keyword} given twice")
            fields[keyword] = value
        current = keyword
    flush()

    seen: set[str] = set()
    for entry in entries:
        if entry.key in seen:
            raise PoError(f"{name}:{entry.line}: duplicate msgid {entry.msgid!r}")
        seen.add(entry.key)
    return entries


def read_po(path: str) -> list[Entry]:
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except UnicodeDecodeError as exc:
        raise PoError(f"{path}: not UTF-8 ({exc})") from None
    return parse_po(text, path)


def header_fields(entries: list[Entry]) -> dict[str, str] | None:
    for entry in entries:
        if entry.msgid == "" and entry.context is None:
            pairs = (line.split(":", 1) for line in entry.msgstr.splitlines() if ":" in line)
            return {k.strip(): v.strip() for k, v in pairs}
    return None


# ---------------------------------------------------------------- sources

_IDENT = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
_NUMBER = re.compile(r"[0-9A-Za-z_.']+")
_CHAR_LITERAL = re.compile(r"'(?:[^'\\\n]|\\.)*'")
_PLAIN_LITERAL = re.compile(r'"((?:[^"\\\n]|\\.)*)"')
_RAW_PREFIXES = {"R", "u8R", "uR", "UR", "LR"}
_PLAIN_PREFIXES = {"u8", "u", "U", "L"}


def _tokens(text: str, name: str):
    """Yield (kind, value, offset) for identifiers, string literals and punctuation,
    skipping comments, character literals and blanks."""
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if c.isspace():
            i += 1
        elif text.startswith("//", i):
            j = text.find("\n", i)
            i = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            i = n if j < 0 else j + 2
        elif c == '"':
            value, i2 = _plain_literal(text, i, name)
            yield "str", value, i
            i = i2
        elif c == "'":
            # A character literal, or a digit separator (1'000) which needs no skipping.
            if i > 0 and text[i - 1].isalnum():
                i += 1
                continue
            m = _CHAR_LITERAL.match(text, i)
            i = m.end() if m else i + 1
        elif c.isalpha() or c == "_":
            m = _IDENT.match(text, i)
            word, end = m.group(), m.end()
            if end < n and text[end] == '"' and word in _RAW_PREFIXES:
                value, i2 = _raw_literal(text, end, name)
                yield "str", value, i
                i = i2
            elif end < n and text[end] == '"' and word in _PLAIN_PREFIXES:
                value, i2 = _plain_literal(text, end, name)
                yield "str", value, i
                i = i2
            else:
                yield "id", word, i
                i = end
        elif c.isdigit():
            m = _NUMBER.match(text, i)
            i = m.end()
        else:
            yield "punct", c, i
            i += 1


def _plain_literal(text: str, start: int, name: str) -> tuple[str, int]:
    m = _PLAIN_LITERAL.match(text, start)
    if not m:
        raise PoError(f"{name}:{text.count(chr(10), 0, start) + 1}: unterminated string literal")
    return unescape(m.group(1), f"{name}:{text.count(chr(10), 0, start) + 1}"), m.end()


def _raw_literal(text: str, start: int, name: str) -> tuple[str, int]:
    open_paren = text.find("(", start)
    delimiter = text[start + 1:open_paren]
    close = text.find(")" + delimiter + '"', open_paren)
    if open_paren < 0 or close < 0:
        raise PoError(f"{name}:{text.count(chr(10), 0, start) + 1}: unterminated raw string")
    return text[open_paren + 1:close], close + len(delimiter) + 2


def extract_tr(text: str, name: str = "<source>") -> list[tuple[str, int]]:
    """The texts of the tr("...") calls in one C++ source, with their line numbers.

    Only calls whose whole argument is a string literal (adjacent literals are
    joined, as the compiler does) count; tr(variable) is somebody else's text.
    """
    newlines = [i for i, c in enumerate(text) if c == "\n"]
    tokens = list(_tokens(text, name))
    found = []
    for k, (kind, value, offset) in enumerate(tokens):
        if kind != "id" or value != "tr" or k + 2 >= len(tokens):
            continue
        if tokens[k + 1][:2] != ("punct", "("):
            continue
        j, parts = k + 2, []
        while j < len(tokens) and tokens[j][0] == "str":
            parts.append(tokens[j][1])
            j += 1
        if parts and j < len(tokens) and tokens[j][:2] == ("punct", ")"):
            found.append(("".join(parts), bisect.bisect_left(newlines, offset) + 1))
    return found


def scan_sources(root: str, dirs=SOURCE_DIRS) -> dict[str, list[str]]:
    """Every tr() text under the module folders of root → the places ("path:line") using it."""
    used: dict[str, list[str]] = {}
    for d in dirs:
        top = os.path.join(root, d)
        for folder, subdirs, files in os.walk(top):
            subdirs.sort()
            for file in sorted(files):
                if not file.endswith(SOURCE_SUFFIXES):
                    continue
                path = os.path.join(folder, file)
                rel = os.path.relpath(path, root)
                try:
                    with open(path, encoding="utf-8") as f:
                        text = f.read()
                except UnicodeDecodeError as exc:
                    raise PoError(f"{rel}: not UTF-8 ({exc})") from None
                for msgid, line in extract_tr(text, rel):
                    used.setdefault(msgid, []).append(f"{rel}:{line}")
    return used


# ---------------------------------------------------------------- checking

@dataclass
class Report:
    used: dict[str, list[str]] = field(default_factory=dict)
    catalogues: dict[str, dict[str, Entry]] = field(default_factory=dict)
    errors: list[str] = field(default_factory=list)
    missing: dict[str, list[str]] = field(default_factory=dict)
    untranslated: dict[str, list[str]] = field(default_factory=dict)
    source_changed: list[str] = field(default_factory=list)
    conflicts: list[str] = field(default_factory=list)
    markers: list[str] = field(default_factory=list)

    @property
    def ok(self) -> bool:
        return not (self.errors or self.source_changed or self.conflicts or self.markers
                    or any(self.missing.values()) or any(self.untranslated.values()))

    def unused(self) -> list[str]:
        """Catalogue texts no tr() call uses (only meaningful once all code is written)."""
        known = set().union(*(set(c) for c in self.catalogues.values())) if self.catalogues else set()
        return sorted(k for k in known if k and k not in self.used)

    def format(self) -> str:
        lines = []
        for e in self.errors:
            lines.append(f"error: {e}")
        langs_lacking: dict[str, list[str]] = {}
        for lang in sorted(self.missing):
            for msgid in self.missing[lang]:
                langs_lacking.setdefault(msgid, []).append(lang)
        for msgid, langs in sorted(langs_lacking.items()):
            where = ", ".join(self.used.get(msgid, [])) or "?"
            lines.append(f"missing [{' '.join(langs)}]: {msgid!r} (used at {where})")
        for lang in sorted(self.untranslated):
            for msgid in self.untranslated[lang]:
                lines.append(f"untranslated [{lang}]: {msgid!r}")
        lines += [f"spanish text differs from its msgid: {m}" for m in self.source_changed]
        lines += [f"conflict: {m}" for m in self.conflicts]
        lines += [f"marker lost: {m}" for m in self.markers]
        if not lines:
            langs = len(self.catalogues)
            return f"catalogues OK: {langs} languages, {len(self.used)} texts used in the code"
        return "\n".join(lines)


def _edges(s: str) -> tuple[str, str]:
    if not s.strip():
        return s, ""
    return s[:len(s) - len(s.lstrip())], s[len(s.rstrip()):]


def marker_problems(msgid: str, msgstr: str) -> list[str]:
    """What a translation loses of the parts of its source text that the code relies on."""
    problems = []
    if _edges(msgid) != _edges(msgstr):
        problems.append("leading/trailing blanks")
    if msgid.count("\n") != msgstr.count("\n"):
        problems.append("line breaks")
    if msgid.count("&") != msgstr.count("&"):
        problems.append("menu accelerator '&'")
    for opening, closing in FRAMES:
        if msgid.lstrip().startswith(opening) and not msgstr.lstrip().startswith(opening):
            problems.append(f"opening {opening!r}")
        if msgid.rstrip().endswith(closing) and not msgstr.rstrip().endswith(closing):
            problems.append(f"closing {closing!r}")
    return problems


def load_language(locale_dir: str, lang: str, report: Report) -> dict[str, Entry]:
    """Merge the module catalogues of one language the way the build does (first one wins)."""
    merged: dict[str, Entry] = {}
    origin: dict[str, str] = {}
    # Each module's own file, then any further catalogue of the language (the build merges them all).
    folder = os.path.join(locale_dir, lang)
    extra = sorted(name[:-3] for name in (os.listdir(folder) if os.path.isdir(folder) else [])
                   if name.endswith(".po") and name[:-3] not in MODULES)
    for module in list(MODULES) + extra:
        path = os.path.join(locale_dir, lang, module + ".po")
        rel = os.path.join(lang, module + ".po")
        if not os.path.isfile(path):
            report.errors.append(f"{rel}: missing")
            continue
        try:
            entries = read_po(path)
        except (OSError, PoError) as exc:
            report.errors.append(str(exc))
            continue
        header = header_fields(entries)
        if header is None:
            report.errors.append(f"{rel}: no header")
        else:
            if "charset=utf-8" not in header.get("Content-Type", "").lower().replace(" ", ""):
                report.errors.append(f"{rel}: header must declare charset=UTF-8")
            if header.get("Language") != lang:
                report.errors.append(f"{rel}: header Language is {header.get('Language')!r}, not {lang!r}")
            if not header.get("Plural-Forms"):
                report.errors.append(f"{rel}: header lacks Plural-Forms")
        for entry in entries:
            if entry.msgid == "" and entry.context is None:
                continue
            if entry.key in merged:
                if merged[entry.key].translations != entry.translations:
                    report.conflicts.append(
                        f"[{lang}] {entry.msgid!r}: {origin[entry.key]} and {module}.po translate it differently")
                continue
            merged[entry.key] = entry
            origin[entry.key] = module + ".po"
    return merged


def check(root: str = ".", languages=LANGUAGES, identical_ok=None, used=None) -> Report:
    """Check root/locale against the tr() texts of root's module sources.

    `used` replaces the scan of the sources (a dict msgid → places, or any
    iterable of msgids); `identical_ok` replaces IDENTICAL_OK.
    """
    identical_ok = IDENTICAL_OK if identical_ok is None else identical_ok
    report = Report()
    if used is None:
        try:
            report.used = scan_sources(root)
        except PoError as exc:
            report.errors.append(str(exc))
    else:
        report.used = dict(used) if isinstance(used, dict) else {m: [] for m in used}
    locale_dir = os.path.join(root, "locale")
    for lang in languages:
        merged = load_language(locale_dir, lang, report)
        report.catalogues[lang] = merged
        report.missing[lang] = sorted(m for m in report.used if m not in merged)
        bad = []
        for key, entry in merged.items():
            texts = entry.translations
            if entry.fuzzy or not texts or any(t == "" for t in texts):
                bad.append(entry.msgid)
            elif lang == SOURCE_LANGUAGE:
                if entry.plural is None and entry.msgstr != entry.msgid:
                    report.source_changed.append(f"[{lang}] {entry.msgid!r} -> {entry.msgstr!r}")
            else:
                if entry.msgstr == entry.msgid and entry.msgid not in identical_ok.get(lang, ()):
                    bad.append(entry.msgid)
                for problem in marker_problems(entry.msgid, entry.msgstr):
                    report.markers.append(f"[{lang}] {entry.msgid!r} -> {entry.msgstr!r}: {problem}")
        report.untranslated[lang] = sorted(bad)
    return report


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--root", default=os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                        help="checkout folder holding locale/ and the module folders")
    parser.add_argument("--unused", action="store_true",
                        help="also list catalogue texts that no tr() call uses")
    args = parser.parse_args(argv)
    report = check(args.root)
    print(report.format())
    if args.unused:
        for msgid in report.unused():
            print(f"unused: {msgid!r}")
    return 0 if report.ok else 1


if __name__ == "__main__":
    sys.exit(main())
