"""The translation catalogues: complete for the code, compilable, and loadable the way `conf` loads them."""

import gettext
import os
import shutil
import subprocess
import textwrap
from pathlib import Path

import pytest

from tools import compile_catalogues, po_check

ROOT = Path(__file__).resolve().parents[1]
PO_FILES = sorted((ROOT / "locale").glob("*/*.po"))


needs_xgettext = pytest.mark.skipif(shutil.which("xgettext") is None, reason="gettext's xgettext is not installed")


@pytest.fixture(scope="module")
def report():
    if shutil.which("xgettext") is None:
        pytest.skip("gettext's xgettext is not installed (the catalogue check reads the code with it)")
    return po_check.check(str(ROOT))


def test_every_text_the_code_translates_is_in_every_language(report):
    # Passes trivially while no module uses tr(); strict as soon as one does.
    assert not report.errors, report.format()
    assert not any(report.missing.values()), report.format()


def test_catalogues_are_translated_and_consistent(report):
    assert set(report.catalogues) == set(po_check.LANGUAGES)
    assert all(report.catalogues.values()), "a language has no entries"
    assert report.ok, report.format()


# A cross-check with gettext's own compiler where it is installed; the build does not need it.
@pytest.mark.skipif(shutil.which("msgfmt") is None, reason="gettext's msgfmt is not installed")
@pytest.mark.parametrize("path", PO_FILES, ids=lambda p: f"{p.parent.name}/{p.name}")
def test_msgfmt_accepts(path):
    run = subprocess.run(["msgfmt", "--check", "-o", os.devnull, str(path)], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr


@pytest.fixture(scope="module")
def localedir(tmp_path_factory):
    """The catalogues built as the build builds them: one merged .mo per language."""
    out = tmp_path_factory.mktemp("locale")
    for lang in po_check.LANGUAGES:
        sources = sorted(str(path) for path in (ROOT / "locale" / lang).glob("*.po"))
        compile_catalogues.compile_files(sources, str(out / lang / "LC_MESSAGES" / f"{lang}.mo"))
    return str(out)


@pytest.mark.parametrize("lang", po_check.LANGUAGES)
def test_compiled_catalogue_gives_every_source_translation(localedir, report, lang):
    translation = gettext.translation(lang, localedir, [lang])
    for entry in report.catalogues[lang].values():
        assert translation.gettext(entry.msgid) == entry.msgstr, entry.msgid


@pytest.mark.parametrize("lang,msgid,expected", [
    ("en", "Buscar", "Search"),
    ("en", "Telefono ", "Phone "),
    ("de", "Cancelar", "Abbrechen"),
    ("fr", "&Ayuda", "&Aide"),
    ("no", "Apagar", "Avslutt"),
])
def test_sample_lookups(localedir, lang, msgid, expected):
    assert gettext.translation(lang, localedir, [lang]).gettext(msgid) == expected


# ---- the checker itself, on a small tree of its own ----


@needs_xgettext
def test_extract_reads_literals_as_the_compiler_does(tmp_path):
    (tmp_path / "conf").mkdir()
    (tmp_path / "conf" / "x.cpp").write_text(textwrap.dedent(r'''
        #include "py.hpp"
        // tr("in a line comment")
        /* tr("in a block comment") */
        void f() {
            tr("Telefono ");
            tr( "Dice \"hola\"\n\tadiós\\" );
            tr("caf\xc3\xa9 " "junto");
            tr(u8"¿Usar?");
            tr(R"x(crudo "sin" \n escapes)x");
            obj.attr("variable"); py::str("nope"); tr(name);
            char q = '"'; int big = 1'000;
        }
    '''), encoding="utf-8")
    found = po_check.extract(str(tmp_path), po_check.source_files(str(tmp_path)))
    assert list(found) == ["Telefono ", 'Dice "hola"\n\tadiós\\', "café junto", "¿Usar?", 'crudo "sin" \\n escapes']
    assert found["Telefono "] == ["conf/x.cpp:6"]


def _po(lang, *pairs):
    head = f'msgid ""\nmsgstr ""\n"Content-Type: text/plain; charset=UTF-8\\n"\n"Language: {lang}\\n"\n' \
           '"Plural-Forms: nplurals=2; plural=(n != 1);\\n"\n'
    return head + "".join(f'\nmsgid "{a}"\nmsgstr "{b}"\n' for a, b in pairs)


@needs_xgettext
def test_check_reports_each_kind_of_fault(tmp_path):
    (tmp_path / "crmprocs").mkdir()
    (tmp_path / "crmprocs" / "form.cpp").write_text(
        'x(tr("Nombre:")); y(tr("Nuevo texto"));\n'
        'sg.attr("Button")("Guardar", "key"_a = "-g-"); sg.attr("Text")(verbatim("Ok"), "key"_a = "-k-");\n'
        'sg.attr("Window")(tr("Nombre:"), layout, "title"_a = "Aviso");\n'
        'show_popup("popup_error", "Fallo", "keep_on_top"_a = true);\n', encoding="utf-8")
    files = {
        ("es", "crmprocs"): _po("es", ("Nombre:", "Nombre:"), ("Cancelar", "Cancelar"), ("OK", "Okay")),
        ("es", "conf"): _po("es", ("Cancelar", "Cancelar")),
        ("en", "crmprocs"): _po("en", ("Nombre:", "First name:"), ("Cancelar", "Cancel"), ("OK", "OK"),
                                ("Telefono ", "Phone"), ("Email:", "Email:"), ("Vacío", "")),
        ("en", "conf"): _po("en", ("Cancelar", "Abort"), ("&Ayuda", "Help")),
    }
    for lang in ("es", "en"):
        for module in po_check.MODULES:
            path = tmp_path / "locale" / lang / f"{module}.po"
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(files.get((lang, module), _po(lang)), encoding="utf-8")
    (tmp_path / "locale" / "en" / "dirscrape.po").write_text(_po("de"), encoding="utf-8")
    (tmp_path / "locale" / "es" / "dirscrape.po").write_text(_po("es") + '\nmsgid "Sin cerrar"\nmsgstr "Sin cerrar\n',
                                                             encoding="utf-8")

    report = po_check.check(str(tmp_path), languages=("es", "en"),
                            identical_ok={"en": frozenset({"OK"})})
    assert report.missing == {"es": ["Nuevo texto"], "en": ["Nuevo texto"]}
    assert report.used["Nuevo texto"] == ["crmprocs/form.cpp:1"]
    assert report.untranslated == {"es": [], "en": ["Email:", "Vacío"]}
    assert len(report.source_changed) == 1 and "'OK'" in report.source_changed[0]
    assert len(report.conflicts) == 1 and "Cancelar" in report.conflicts[0]
    assert sorted(m.split(":")[-1].strip() for m in report.markers) == [
        "leading/trailing blanks", "menu accelerator '&'"]
    assert len(report.errors) == 2 and "badly quoted" in report.errors[0] and "Language" in report.errors[1]
    # A text shown in a window must go through tr(), or verbatim() when it is meant to stay as it is.
    assert report.bare_literals == ['crmprocs/form.cpp:2: "Guardar"', 'crmprocs/form.cpp:4: "Fallo"',
                                    'crmprocs/form.cpp:3: "Aviso"']
    assert not report.ok
    assert po_check.main(["--root", str(tmp_path)]) == 1


@needs_xgettext
def test_check_passes_a_sound_tree_without_code(tmp_path):
    for lang in ("es", "en"):
        for module in po_check.MODULES:
            path = tmp_path / "locale" / lang / f"{module}.po"
            path.parent.mkdir(parents=True, exist_ok=True)
            pair = ("Buscar", "Buscar" if lang == "es" else "Search")
            path.write_text(_po(lang, pair) if module == "phonewatch" else _po(lang), encoding="utf-8")
    report = po_check.check(str(tmp_path), languages=("es", "en"))
    assert report.ok, report.format()
    assert report.unused() == ["Buscar"]
