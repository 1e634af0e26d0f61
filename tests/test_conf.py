"""The settings store: config.ini, its defaults and conversions, the language and the resource
folders, with the damaged files, odd values and locales an office PC really has."""
import builtins
import locale
import os
import stat
import subprocess
import sys

import pytest

import conf
import crmapi
import libquorvaconfig
from tests.conftest import config_text


@pytest.fixture
def no_window(monkeypatch):
    """Records calls of the configuration window instead of opening it."""
    calls = []
    monkeypatch.setattr(conf.conf, "inicioconfig", lambda self: calls.append(self), raising=False)
    return calls


@pytest.fixture
def user_locale(monkeypatch):
    """Sets what the user's default locale reports."""
    def set_locale(lang, encoding):
        monkeypatch.setattr(locale, "getdefaultlocale", lambda *a, **k: (lang, encoding))
    set_locale("es_ES", "UTF-8")
    return set_locale


def test_first_start_writes_defaults_and_asks_for_the_key(workdir, sg, no_window, user_locale):
    settings = conf.conf()
    assert settings.lnuevo is True
    assert settings.cvariables == {"api_key": "", "camposlibres": "", "idioma": "es", "autocierre_tiempo": 600,
                                   "tema": "DarkBlue16", "appandroid": False, "pais": "ES", "indice_horas": 8.0,
                                   "dias_registro": 90, "registrar_llamadas": False, "autocierre": True}
    assert settings.apiteam is None
    assert no_window == [settings], "an empty key opens the configuration window once"
    assert list(vars(settings)) == ["ficheroini", "configparser", "modelo", "lnuevo", "cvariables", "apiteam"]
    assert workdir.read_config() == config_text(idioma="es", appandroid="1")


def test_existing_file_is_kept_and_completed(workdir, sg, no_window, user_locale):
    workdir.write_config("[api]\napi_key = KEY1\n\n[windows]\ntema = Topanga\nidioma = fr\n")
    settings = conf.conf()
    assert settings.lnuevo is False
    assert not no_window and not hasattr(settings, "apiteam")
    assert settings.cvariables["tema"] == "Topanga" and settings.cvariables["api_key"] == "KEY1"
    text = workdir.read_config()
    assert "camposlibres = \n" in text and "autocierre_tiempo = 60\n" in text and "idioma = fr\n" in text
    assert [name for name in os.listdir(workdir.path)] == ["config.ini"], "no temporary file is left behind"


@pytest.mark.parametrize("stored, seconds, closes", [
    ("0", 0, False), ("3", 30, True), ("10", 100, True),
    ("abc", 600, True), ("", 600, True), ("7.5", 600, True),
    ("-1", -10, False), ("99999999999999999999999", 999999999999999999999990, True),
])
def test_autoclose_time(workdir, sg, no_window, user_locale, stored, seconds, closes):
    workdir.write_config(config_text(api_key="K", autocierre=stored))
    values = conf.conf().cvariables
    assert (values["autocierre_tiempo"], values["autocierre"]) == (seconds, closes)


@pytest.mark.parametrize("stored, on", [("Si", True), ("si", True), ("SI", True), ("1", False), ("No", False),
                                         ("sí", False), ("", False)])
def test_android_link_setting(workdir, sg, no_window, user_locale, stored, on):
    workdir.write_config(config_text(api_key="K", appandroid=stored))
    assert conf.conf().cvariables["appandroid"] is on


def test_actualizar_variables_follows_the_parser(workdir, sg, no_window, user_locale):
    workdir.write_config(config_text(api_key="K"))
    settings = conf.conf()
    settings.configparser.set("windows", "autocierre_tiempo", "2")
    settings.configparser.set("windows", "appandroid", "Si")
    settings.actualizar_variables()
    assert settings.cvariables["autocierre_tiempo"] == 20 and settings.cvariables["appandroid"] is True


@pytest.mark.parametrize("stored, region", [("es", "ES"), (" ES", "ES"), ("fr", "FR"), ("ESP", None), ("XX", None),
                                             ("", None)])
def test_office_region_is_read_trimmed_and_upper_cased(workdir, sg, no_window, user_locale, capsys, monkeypatch,
                                                      stored, region):
    monkeypatch.setattr(sys, "_office_regions_told", set(), raising=False)  # a run of its own
    workdir.write_config(config_text(api_key="K", pais=stored))
    assert conf.conf().cvariables["pais"] == (region or "ES")
    conf.conf()
    told = capsys.readouterr().out.splitlines()
    assert len(told) == (0 if region else 1), "an unknown region is told once, on standard output"


class TestLanguage:
    def test_stored_language_is_installed_whatever_its_case(self, workdir, sg, no_window, user_locale):
        workdir.write_config(config_text(api_key="K", idioma="EN"))
        conf.conf()
        assert builtins._("Buscar") == "Search"

    def test_missing_catalogue_keeps_the_earlier_translation(self, workdir, sg, no_window, user_locale, capsys):
        conf.idioma("fr")
        french = builtins._("Buscar")
        assert french != "Buscar"
        conf.idioma("xx")
        assert "xx" in capsys.readouterr().out
        assert builtins._("Buscar") == french

    def test_spanish_texts_when_no_catalogue_was_ever_loaded(self, workdir, sg, no_window, user_locale, capsys):
        if hasattr(builtins, "_"):
            del builtins._
        workdir.write_config(config_text(api_key="K", idioma="xx"))
        conf.conf()
        assert "No translation file found" in capsys.readouterr().out
        assert builtins._("Apagar") == "Apagar"


class TestLocale:
    def test_no_language_or_encoding_in_the_locale(self, workdir, sg, no_window, user_locale):
        user_locale(None, None)
        workdir.write_config(config_text(api_key="Razón", idioma="es"), encoding="utf-8")
        settings = conf.conf()
        assert settings.modelo[1]["windows"]["idioma"] == "en"
        assert settings.cvariables["api_key"] == "Razón", "read as UTF-8 when no encoding is known"

    def test_language_comes_from_the_locale_even_with_lang_set(self, workdir, sg, no_window, user_locale, monkeypatch):
        monkeypatch.setenv("LANG", "C")
        user_locale("fr_FR", "UTF-8")
        settings = conf.conf()
        assert settings.cvariables["idioma"] == "fr"

    @pytest.mark.parametrize("encoding", ["UTF-8", "cp1252"])
    def test_accented_values_survive_every_write_back(self, workdir, sg, no_window, user_locale, encoding):
        user_locale("es_ES", encoding)
        original = config_text(api_key="K", camposlibres='"a|b|Razón Social" ,  "c|d|Población" ,')
        workdir.write_config(original, encoding=encoding)
        settings = conf.conf()
        assert settings.cvariables["camposlibres"] == '"a|b|Razón Social" ,  "c|d|Población" ,'
        libquorvaconfig.manejoini(settings)
        assert workdir.read_config(encoding=encoding) == original


class TestEncodingsAndRepeats:
    @pytest.mark.parametrize("locale_encoding, content, key, written_as", [
        ("UTF-8", "[api]\napi_key = KEY\ncamposlibres = Razón\n", "KEY", "utf-8-sig"),  # Notepad's BOM
        ("cp1252", "[api]\napi_key = KEY\ncamposlibres = ÍÑIGO ó\n", "KEY", "utf-8"),  # UTF-8 on a cp1252 PC
        ("cp1252", "[api]\napi_key = KEY\ncamposlibres = Razón €\n", "KEY", "cp1252"),  # the locale's own
        ("UTF-8", "[api]\napi_key = OLD\ncamposlibres =\nAPI_KEY = NEW\n", "NEW", "utf-8"),
        ("UTF-8", "[api]\napi_key = OLD\n[windows]\ntema = Topanga\n[api]\napi_key = NEW\n", "NEW", "utf-8"),
    ], ids=["bom", "utf8-on-cp1252", "cp1252", "option-twice", "section-twice"])
    def test_read_and_written_back_in_the_same_encoding(self, workdir, sg, no_window, user_locale,
                                                        locale_encoding, content, key, written_as):
        user_locale("es_ES", locale_encoding)
        workdir.config.write_bytes(content.encode(written_as))
        settings = conf.conf()
        values = settings.cvariables
        assert values["api_key"] == key and not no_window and sg.popups == []
        camposlibres = settings.configparser.get("api", "camposlibres")
        assert camposlibres in content
        written = workdir.config.read_bytes()
        assert f"camposlibres = {camposlibres}\n" in written.decode(written_as)
        assert written.startswith(b"\xef\xbb\xbf") == (written_as == "utf-8-sig")
        assert os.listdir(workdir.path) == ["config.ini"]

    def test_a_value_the_old_encoding_cannot_hold_turns_the_file_into_utf8(self, workdir, sg, no_window, user_locale):
        user_locale("es_ES", "cp1252")
        workdir.write_config(config_text(api_key="K", camposlibres="Razón"), encoding="cp1252")
        settings = conf.conf()
        settings.configparser.set("api", "camposlibres", "Łódź")
        settings.configparser.remove_option("windows", "tema")  # something to complete: the file is written
        libquorvaconfig.manejoini(settings)
        assert "camposlibres = Łódź\n" in workdir.read_config(encoding="utf-8")


class TestDamagedFile:
    @pytest.mark.parametrize("locale_encoding, content, key", [
        ("UTF-8", b"\x89PNG\r\n\x1a\n\x00\x00\xff\xfe binary", ""),
        ("UTF-8", b"api_key = kept\n[api]\n", "kept"),
        ("cp1252", b"[api]\n api_key = old\napi_key=K \xe9\x81\nnot an option\n", ""),  # no encoding reads it
        ("cp1252", b"[api]\napi_key = K2\r\nnot an option\n\x81", "K2"),
    ], ids=["binary", "no-section", "undecodable-key", "undecodable"])
    def test_is_kept_aside_and_the_user_is_told(self, workdir, sg, no_window, user_locale, locale_encoding, content,
                                                key):
        user_locale("es_ES", locale_encoding)
        workdir.config.write_bytes(content)
        settings = conf.conf()
        assert (workdir.path / "config.ini.bad").read_bytes() == content
        assert settings.cvariables["tema"] == "DarkBlue16"
        assert settings.cvariables["api_key"] == key, "an api_key line of the damaged file is kept"
        assert len(no_window) == (0 if key else 1)
        [(name, args, kwargs)] = sg.popups
        assert name == "popup_error" and "config.ini.bad" in args[1] and kwargs == {"keep_on_top": True}
        assert "[windows]" in workdir.read_config()

    def test_an_earlier_copy_is_not_overwritten(self, workdir, sg, no_window, user_locale):
        (workdir.path / "config.ini.bad").write_bytes(b"first")
        workdir.config.write_bytes(b"second\n")
        conf.conf()
        assert (workdir.path / "config.ini.bad").read_bytes() == b"first"
        assert (workdir.path / "config.ini.bad1").read_bytes() == b"second\n"


def make_unwritable(folder):
    """Takes away the right to create files in `folder`; for root, whom modes do not stop, the
    folder is made immutable. Returns the undo, or skips when neither works here."""
    os.chmod(folder, 0o555)
    undo = [lambda: os.chmod(folder, 0o755)]
    if writable(folder) and subprocess.run(["chattr", "+i", str(folder)], capture_output=True).returncode == 0:
        undo.insert(0, lambda: subprocess.run(["chattr", "-i", str(folder)], check=True))
    if writable(folder):
        for step in undo:
            step()
        pytest.skip("no way to make a folder unwritable here")
    return lambda: [step() for step in undo]


def writable(folder):
    try:
        (folder / ".probe").write_text("")
    except OSError:
        return False
    (folder / ".probe").unlink()
    return True


class TestSettingsFileOnDisk:
    @pytest.mark.parametrize("case, reason", [("folder", "es una carpeta, no un fichero"),
                                              ("read-only folder without one", "permiso denegado")])
    def test_unusable_file_ends_the_run_with_a_clear_popup(self, workdir, sg, no_window, user_locale, case, reason):
        undo = lambda: None  # noqa: E731
        if case == "folder":
            workdir.config.mkdir()
        else:
            undo = make_unwritable(workdir.path)
        try:
            with pytest.raises(SystemExit) as ended:
                conf.conf()
        finally:
            undo()
        assert ended.value.code == 1
        [(name, args, _)] = sg.popups
        assert name == "popup_error" and args[1] == \
            f"No se puede leer ni guardar el fichero de configuración\n{workdir.config}\n{reason}"
        assert not no_window and sg.windows == []

    def test_read_only_folder_with_a_complete_file_runs_and_says_so_once(self, workdir, sg, no_window, user_locale):
        workdir.write_config(config_text(api_key="K", idioma="en"))
        undo = make_unwritable(workdir.path)
        try:
            settings = conf.conf()
        finally:
            undo()
        assert settings.cvariables["api_key"] == "K" and not no_window
        [(name, args, kwargs)] = sg.popups
        assert name == "popup" and kwargs["title"] == "Read-only folder"
        assert args == (f"The settings and the call log cannot be saved in this folder:\n{workdir.path}",)

    def test_written_only_when_an_option_is_missing(self, workdir, sg, no_window, user_locale):
        text = "# the office's own notes\n" + config_text(api_key="K", pais="FR") + "[mine]\nnote = kept\n"
        workdir.write_config(text)
        os.chmod(workdir.config, 0o444)
        conf.conf()
        crmapi.conf()
        assert workdir.read_config() == text and stat.S_IMODE(workdir.config.stat().st_mode) == 0o444

        os.chmod(workdir.config, 0o640)
        workdir.write_config(text.replace("tema = DarkBlue16\n", ""))
        conf.conf()
        written = workdir.read_config()
        assert "tema = DarkBlue16\n" in written and "[mine]\nnote = kept\n" in written
        assert stat.S_IMODE(workdir.config.stat().st_mode) == 0o640, "a rewrite keeps the file's mode"

    def test_a_new_file_is_for_its_owner_only(self, workdir, sg, no_window, user_locale):
        umask = os.umask(0o022)
        try:
            conf.conf()
        finally:
            os.umask(umask)
        assert stat.S_IMODE(workdir.config.stat().st_mode) == 0o600

    def test_temporaries_of_a_save_cut_short_are_removed(self, workdir, sg, no_window, user_locale):
        workdir.write_config(config_text(api_key="K"))
        (workdir.path / ".config.k3y_x9zq.tmp").write_text("[api]\napi_key = SECRET\n")
        (workdir.path / ".config.notes.txt").write_text("mine")
        conf.conf()
        assert sorted(os.listdir(workdir.path)) == [".config.notes.txt", "config.ini"]

    def test_a_linked_file_is_written_through_the_link(self, workdir, sg, no_window, user_locale, tmp_path_factory):
        shared = tmp_path_factory.mktemp("shared") / "office.ini"
        shared.write_text("[api]\napi_key = K\n", encoding="utf-8")
        workdir.config.symlink_to(shared)
        conf.conf()
        assert workdir.config.is_symlink() and os.readlink(workdir.config) == str(shared)
        assert "[windows]" in shared.read_text(encoding="utf-8")
        assert os.listdir(shared.parent) == ["office.ini"]


class TestResourceFolders:
    def test_beside_the_module(self, monkeypatch):
        monkeypatch.delattr(sys, "_MEIPASS", raising=False)
        here = os.path.dirname(os.path.abspath(conf.__file__))
        assert conf.foldimg("img") == os.path.join(here, "img")
        assert conf.foldimg("img\\ca.png") == os.path.join(here, "img", "ca.png")

    def test_inside_a_bundle(self, monkeypatch, tmp_path):
        monkeypatch.setattr(sys, "_MEIPASS", str(tmp_path), raising=False)
        assert conf.foldimg("locale") == str(tmp_path / "locale")
