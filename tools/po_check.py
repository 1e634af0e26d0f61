#!/usr/bin/env python3
"""Check the gettext catalogues against the texts the modules show.

The modules mark every translatable text as ``tr("...")``; gettext's ``xgettext --keyword=tr``
finds them, polib reads the catalogue sources ``locale/<lang>/*.po`` (merged per language, first
one wins, as the build merges them) and tools/compile_catalogues.py tells whether each compiles.
The report lists:

- texts used in the code that a language lacks;
- entries left untranslated (empty, fuzzy, or equal to the Spanish source text outside Spanish
  and outside the short per-language list of texts that are rightly the same);
- Spanish entries whose text differs from the source text;
- one text translated differently by two files of the same language;
- translations that lose the leading or trailing blanks, line breaks, menu accelerator or
  ">> ... <<" frame of the source text (the code glues numbers and other texts to them);
- catalogues that do not compile or whose header is wrong;
- user-visible texts written as plain literals in a window, a button, a popup or a notice
  instead of through ``tr()`` (or ``verbatim()`` for the few texts shown as they stand in every
  language).

Run ``python tools/po_check.py [--root DIR]``: it prints the report and exits with 1 when
anything is wrong. Tests import it and call ``check()``. It needs polib and gettext's xgettext.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
from dataclasses import dataclass, field

import polib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import compile_catalogues  # noqa: E402  (the build's own reader of a catalogue)

LANGUAGES = ("ca", "de", "en", "es", "eu", "fr", "gl", "it", "nl", "no", "pt")
MODULES = ("phonewatch", "crmapi", "crmprocs", "dirscrape", "conf")
SOURCE_DIRS = MODULES + ("common", "libquorvaconfig")
SOURCE_SUFFIXES = (".cpp", ".hpp")
SOURCE_LANGUAGE = "es"

# Texts whose right translation is the Spanish text itself, per language.
# "OK" stays "OK" everywhere: the new-contact form matches its button by caption.
IDENTICAL_OK = {
    "ca": frozenset({"OK", "Error", "ERROR", "Empresa:", "Copiar número", "Hora", "Número"}),
    "de": frozenset({"OK"}),
    "en": frozenset({"OK", "Error", "ERROR", "Email:", "About...", "Remote Call "}),
    "eu": frozenset({"OK"}),
    "fr": frozenset({"OK"}),
    "gl": frozenset({"OK", "Buscar", "CONTACTO", "Empresa:", "Cancelar", "Aplicar", "conectado", "desactivado",
                     "Teléfono", "Índice", "Teléfono desactivado", "Copiar número", "Crear contacto", "Hora",
                     "Número copiado: ", "Número", "Resultado", "Veces", "contacto creado", "nunca", "0 = nunca",
                     "Versión {}"}),
    "it": frozenset({"OK", "Telefono:", "Telefono "}),
    "nl": frozenset({"OK"}),
    "no": frozenset({"OK"}),
    "pt": frozenset({"OK", "CONTACTO", "Empresa:", "Cancelar", "Aplicar", "Índice", "Copiar número", "Hora",
                     "Número copiado: ", "Número", "Resultado", "nunca", "0 = nunca"}),
}

# Pairs of markers that must open and close a translation when they open and close its source.
FRAMES = ((">>", "<<"),)

# The toolkit's calls whose first argument, or whose title, the user reads.
SHOWN_CALLS = ("Text", "Button", "Frame", "Window", "Popup", "popup", "popup_error", "popup_auto_close",
               "show_message")
_SHOWN_CALL = re.compile(r'\.attr\("(%s)"\)\(|\bshow_popup\("\w+",\s*' % "|".join(SHOWN_CALLS))
_TITLE = re.compile(r'"title"_a\s*=\s*')
# A plain literal with a letter in it (keys such as "-tlf-" hold letters too, but they are never
# an element's text or a window's title).
_LITERAL = re.compile(r'(?:u8)?"((?:\\.|[^"\\])*)"')


@dataclass
class Report:
    used: dict[str, list[str]] = field(default_factory=dict)
    catalogues: dict[str, dict[str, polib.POEntry]] = field(default_factory=dict)
    errors: list[str] = field(default_factory=list)
    missing: dict[str, list[str]] = field(default_factory=dict)
    untranslated: dict[str, list[str]] = field(default_factory=dict)
    source_changed: list[str] = field(default_factory=list)
    conflicts: list[str] = field(default_factory=list)
    markers: list[str] = field(default_factory=list)
    bare_literals: list[str] = field(default_factory=list)

    @property
    def ok(self) -> bool:
        return not (self.errors or self.source_changed or self.conflicts or self.markers or self.bare_literals
                    or any(self.missing.values()) or any(self.untranslated.values()))

    def unused(self) -> list[str]:
        """Catalogue texts no tr() call uses."""
        known = set().union(*(set(c) for c in self.catalogues.values())) if self.catalogues else set()
        return sorted(k for k in known if k and k not in self.used)

    def format(self) -> str:
        lines = [f"error: {e}" for e in self.errors]
        lacking: dict[str, list[str]] = {}
        for lang in sorted(self.missing):
            for msgid in self.missing[lang]:
                lacking.setdefault(msgid, []).append(lang)
        for msgid, langs in sorted(lacking.items()):
            where = ", ".join(self.used.get(msgid, [])) or "?"
            lines.append(f"missing [{' '.join(langs)}]: {msgid!r} (used at {where})")
        for lang in sorted(self.untranslated):
            lines += [f"untranslated [{lang}]: {msgid!r}" for msgid in self.untranslated[lang]]
        lines += [f"spanish text differs from its msgid: {m}" for m in self.source_changed]
        lines += [f"conflict: {m}" for m in self.conflicts]
        lines += [f"marker lost: {m}" for m in self.markers]
        lines += [f"shown without tr(): {m}" for m in self.bare_literals]
        if not lines:
            return f"catalogues OK: {len(self.catalogues)} languages, {len(self.used)} texts used in the code"
        return "\n".join(lines)


# ---------------------------------------------------------------- the sources

def source_files(root: str) -> list[str]:
    found = []
    for folder in SOURCE_DIRS:
        for base, subdirs, files in os.walk(os.path.join(root, folder)):
            subdirs.sort()
            found += [os.path.relpath(os.path.join(base, f), root) for f in sorted(files) if f.endswith(SOURCE_SUFFIXES)]
    return found


def extract(root: str, files: list[str]) -> dict[str, list[str]]:
    """Every tr() text of `files` (relative to root) → its places ("path:line"), read by xgettext."""
    if not files:
        return {}
    xgettext = shutil.which("xgettext")
    if xgettext is None:
        raise RuntimeError("gettext's xgettext is not installed (Debian package gettext)")
    done = subprocess.run([xgettext, "--language=C++", "--keyword=tr", "--from-code=UTF-8", "--no-wrap",
                           "--sort-by-file", "-o", "-", *files], cwd=root, capture_output=True,
                          env=dict(os.environ, LC_ALL="C.UTF-8"))
    if done.returncode != 0:
        raise RuntimeError("xgettext: " + done.stderr.decode("utf-8", "replace").strip())
    used: dict[str, list[str]] = {}
    for entry in polib.pofile(done.stdout.decode("utf-8")):
        if entry.msgid:
            used[entry.msgid] = [f"{path}:{line}" for path, line in entry.occurrences]
    return used


def _first_argument(text: str, start: int) -> tuple[str, int]:
    """The first argument of the call whose "(" is just before `start`, as written, and where it ends."""
    depth, i = 0, start
    while i < len(text):
        c = text[i]
        if c == '"':
            match = _LITERAL.match(text, i)
            i = match.end() if match else i + 1
            continue
        if c in "([{":
            depth += 1
        elif c in ")]}":
            if depth == 0:
                break
            depth -= 1
        elif c == "," and depth == 0:
            break
        i += 1
    return text[start:i].strip(), i


def bare_literals(root: str, files: list[str]) -> list[str]:
    """Texts given to the toolkit's windows, buttons, popups and notices as plain literals."""
    found = []
    for rel in files:
        with open(os.path.join(root, rel), encoding="utf-8") as f:
            text = f.read()
        # Comments hold examples of calls; they show nothing.
        text = re.sub(r"//[^\n]*", lambda m: " " * len(m.group()), text)
        spots = [m.end() for m in _SHOWN_CALL.finditer(text)] + [m.end() for m in _TITLE.finditer(text)]
        for start in spots:
            argument, _ = _first_argument(text, start)
            if argument.startswith("py::str(") and argument.endswith(")"):
                argument = argument[len("py::str("):-1].strip()
            literal = _LITERAL.fullmatch(argument)
            if literal and re.search(r"[^\W\d_]", literal.group(1)):
                line = text.count("\n", 0, start) + 1
                found.append(f"{rel}:{line}: {argument}")
    return found


# ---------------------------------------------------------------- the catalogues

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


def _key(entry: polib.POEntry) -> str:
    # gettext's own lookup key: context and text joined by EOT.
    return entry.msgid if entry.msgctxt is None else f"{entry.msgctxt}\x04{entry.msgid}"


def _translations(entry: polib.POEntry) -> list[str]:
    return [entry.msgstr_plural[k] for k in sorted(entry.msgstr_plural)] if entry.msgid_plural else [entry.msgstr]


def load_language(locale_dir: str, lang: str, report: Report) -> dict[str, polib.POEntry]:
    """The catalogues of one language merged the way the build merges them (first one wins):
    each module's own file first, then any other file of the language."""
    folder = os.path.join(locale_dir, lang)
    present = sorted(name[:-3] for name in (os.listdir(folder) if os.path.isdir(folder) else []) if name.endswith(".po"))
    merged: dict[str, polib.POEntry] = {}
    origin: dict[str, str] = {}
    for module in list(MODULES) + [name for name in present if name not in MODULES]:
        path, rel = os.path.join(folder, module + ".po"), os.path.join(lang, module + ".po")
        if not os.path.isfile(path):
            report.errors.append(f"{rel}: missing")
            continue
        try:
            compile_catalogues.read_source(path)  # it compiles, as the build compiles it
            catalogue = polib.pofile(path, check_for_duplicates=True)
        except (compile_catalogues.CatalogueError, OSError, ValueError) as exc:
            report.errors.append(f"{rel}: {exc}")
            continue
        if catalogue.metadata.get("Language") != lang:
            report.errors.append(f"{rel}: header Language is {catalogue.metadata.get('Language')!r}, not {lang!r}")
        for entry in catalogue:
            if entry.obsolete or not entry.msgid:
                continue
            key = _key(entry)
            if key in merged:
                if _translations(merged[key]) != _translations(entry):
                    report.conflicts.append(f"[{lang}] {entry.msgid!r}: {origin[key]} and {module}.po translate it differently")
                continue
            merged[key], origin[key] = entry, module + ".po"
    return merged


def check(root: str = ".", languages=LANGUAGES, identical_ok=None, used=None) -> Report:
    """Check root/locale against the tr() texts of root's module sources.

    `used` replaces the scan of the sources (a dict msgid → places, or any iterable of msgids);
    `identical_ok` replaces IDENTICAL_OK.
    """
    identical_ok = IDENTICAL_OK if identical_ok is None else identical_ok
    report = Report()
    files = source_files(root)
    if used is None:
        try:
            report.used = extract(root, files)
        except RuntimeError as exc:
            report.errors.append(str(exc))
    else:
        report.used = dict(used) if isinstance(used, dict) else {m: [] for m in used}
    report.bare_literals = bare_literals(root, files)
    for lang in languages:
        merged = load_language(os.path.join(root, "locale"), lang, report)
        report.catalogues[lang] = merged
        report.missing[lang] = sorted(m for m in report.used if m not in merged)
        bad = []
        for entry in merged.values():
            texts = _translations(entry)
            if "fuzzy" in entry.flags or not texts or "" in texts:
                bad.append(entry.msgid)
            elif lang == SOURCE_LANGUAGE:
                if not entry.msgid_plural and entry.msgstr != entry.msgid:
                    report.source_changed.append(f"[{lang}] {entry.msgid!r} -> {entry.msgstr!r}")
            else:
                if entry.msgstr == entry.msgid and entry.msgid not in identical_ok.get(lang, ()):
                    bad.append(entry.msgid)
                report.markers += [f"[{lang}] {entry.msgid!r} -> {entry.msgstr!r}: {problem}"
                                   for problem in marker_problems(entry.msgid, entry.msgstr)]
        report.untranslated[lang] = sorted(bad)
    return report


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--root", default=os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                        help="checkout folder holding locale/ and the module folders")
    parser.add_argument("--unused", action="store_true", help="also list catalogue texts that no tr() call uses")
    args = parser.parse_args(argv)
    report = check(args.root)
    print(report.format())
    if args.unused:
        for msgid in report.unused():
            print(f"unused: {msgid!r}")
    return 0 if report.ok else 1


if __name__ == "__main__":
    sys.exit(main())
