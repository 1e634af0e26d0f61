#!/usr/bin/env python3
"""Compile the catalogue sources of one language into its .mo file, on any system.

    python tools/compile_catalogues.py -o build/app/locale/en/LC_MESSAGES/en.mo locale/en/*.po

The build calls this once per language; it needs Python and Babel, not gettext's own tools,
which a Windows PC does not have. The sources are merged in the order given: the first
translation of a text wins and the header comes from the first file. Before anything is
written, every source must pass the checks that `msgfmt --check` made:

- it reads: quoting, keywords and escapes as gettext's tools accept them (polib and Babel
  alone cut a string that lacks its closing quote), no text defined twice in one file (Babel
  alone would keep the last one silently);
- its header declares a charset, the language and plural forms that can be evaluated;
- a plural entry has one translation per plural form;
- an entry flagged c-format or python-format keeps the source text's % placeholders.

On a failure it prints the file, line and reason, writes nothing and exits with 1, so the build
stops. Fuzzy and untranslated entries are left out of the .mo, as msgfmt leaves them out.
"""

from __future__ import annotations

import argparse
import gettext
import io
import os
import re
import sys
import tempfile

import polib
from babel.messages.catalog import Catalog, Message, TranslationError
from babel.messages.checkers import python_format
from babel.messages.mofile import write_mo
from babel.messages.pofile import PoFileError, read_po

# One quoted string as gettext's tools accept it: the escapes of C that msgfmt knows, no \u.
_QUOTED = r'"(?:\\[ntrabfv"\\]|\\[0-7]{1,3}|\\x[0-9a-fA-F]+|[^"\\])*"'
# Every line of a catalogue: blank, a comment, a keyword with its string, or a continuation.
_LINE = re.compile(r"\s*(?:#.*|(?:msgctxt|msgid|msgid_plural|msgstr(?:\[\d+\])?)\s+%s|%s)?\s*" % (_QUOTED, _QUOTED))


class CatalogueError(Exception):
    """A catalogue source that cannot be compiled; the text says where and why."""


def _check_header(catalog: Catalog, header: dict[str, str] | None, path: str) -> None:
    if header is None:
        raise CatalogueError(f"{path}: no header entry")
    content_type = header.get("Content-Type", "").lower().replace(" ", "")
    if "charset=" not in content_type:
        raise CatalogueError(f"{path}: the header declares no charset")
    if not header.get("Language"):
        raise CatalogueError(f"{path}: the header names no Language")
    plural_forms = header.get("Plural-Forms", "")
    if "plural=" not in plural_forms or "nplurals=" not in plural_forms:
        raise CatalogueError(f"{path}: the header lacks Plural-Forms")
    try:
        gettext.c2py(catalog.plural_expr)
    except (ValueError, SyntaxError, RecursionError) as exc:
        raise CatalogueError(f"{path}: Plural-Forms cannot be evaluated: {exc}") from None


def _check_messages(catalog: Catalog, path: str) -> None:
    for message in catalog:
        if not message.id or not message.string:
            continue
        errors = list(message.check(catalog))  # Babel's checks: plural forms, python-format
        if "c-format" in message.flags and "python-format" not in message.flags:
            # C's printf placeholders follow the rules of Python's % that Babel checks.
            try:
                python_format(catalog, Message(message.id, message.string, flags={"python-format"}))
            except TranslationError as exc:
                errors.append(exc)
        if errors:
            raise CatalogueError(f"{path}:{message.lineno}: {message.id!r}: {errors[0]}")


def _check_syntax(text: str, path: str) -> None:
    # Neither polib nor Babel refuses a string left without its closing quote (they cut it).
    for number, line in enumerate(text.splitlines(), 1):
        if not _LINE.fullmatch(line):
            raise CatalogueError(f"{path}:{number}: badly quoted or unknown line: {line.strip()[:60]}")


def read_source(path: str) -> Catalog:
    """One catalogue source, read and checked; CatalogueError when it fails a check."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as exc:
        raise CatalogueError(f"{path}: {exc.strerror}") from None
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise CatalogueError(f"{path}: not UTF-8 ({exc})") from None
    _check_syntax(text, path)
    try:
        entries = polib.pofile(text, check_for_duplicates=True)
    except ValueError as exc:  # polib's word for a text defined twice
        raise CatalogueError(f"{path}: duplicate message definition: {exc}") from None
    except OSError as exc:
        raise CatalogueError(f"{path}: {exc}") from None
    try:
        catalog = read_po(io.BytesIO(data), abort_invalid=True)
    except (PoFileError, ValueError) as exc:
        raise CatalogueError(f"{path}: {exc}") from None
    _check_header(catalog, entries.metadata or None, path)
    for entry in entries:
        # Babel pads missing plural translations with empty texts; msgfmt refuses them.
        if entry.msgid_plural and len(entry.msgstr_plural) != catalog.num_plurals:
            raise CatalogueError(f"{path}:{entry.linenum}: {entry.msgid!r} has {len(entry.msgstr_plural)} plural "
                                 f"translations, the header's Plural-Forms wants {catalog.num_plurals}")
    _check_messages(catalog, path)
    return catalog


def merge(catalogs: list[Catalog]) -> Catalog:
    """The first catalogue with the texts of the others that it lacks added, in order."""
    merged = catalogs[0]
    for catalog in catalogs[1:]:
        for message in catalog:
            if message.id and merged.get(message.id, context=message.context) is None:
                merged[message.id] = message
    return merged


def compile_files(sources: list[str], target: str) -> None:
    """Checks and merges `sources` into the .mo file `target`, written whole or not at all."""
    if not sources:
        raise CatalogueError(f"{target}: no catalogue sources given")
    catalog = merge([read_source(path) for path in sources])
    folder = os.path.dirname(os.path.abspath(target))
    os.makedirs(folder, exist_ok=True)
    fd, temporary = tempfile.mkstemp(prefix=".catalogue-", suffix=".mo", dir=folder)
    try:
        with os.fdopen(fd, "wb") as f:
            write_mo(f, catalog, use_fuzzy=False)
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-o", "--output", required=True, help="the .mo file to write")
    parser.add_argument("sources", nargs="+", help="the language's .po files, first one wins")
    args = parser.parse_args(argv)
    try:
        compile_files(args.sources, args.output)
    except CatalogueError as exc:
        print(f"catalogue error: {exc}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
