"""The application folder as users get it: six modules exporting only their entry points, the
resources beside them, and modules that import without a display or a .NET runtime; the build
path without gettext's tools; the catalogue compiler's checks; the autostart entry; the Windows gate's verdicts."""
import gettext
import glob
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from tests.e2e.harness import wait_until

MODULES = ["phonewatch", "crmapi", "crmprocs", "dirscrape", "conf", "libquorvaconfig"]
LANGUAGES = ["ca", "de", "en", "es", "eu", "fr", "gl", "it", "nl", "no", "pt"]


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads the ELF symbol table with nm")
@pytest.mark.parametrize("name", MODULES)
def test_module_exports_only_its_entry_point(app_dir, name):
    [library] = glob.glob(os.path.join(app_dir, f"{name}.*.so")) or glob.glob(os.path.join(app_dir, f"{name}.so"))
    symbols = subprocess.run(["nm", "-D", "--defined-only", library], capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in symbols.splitlines()] == [f"PyInit_{name}"]


def test_application_folder_holds_launcher_and_resources(app_dir):
    assert os.path.isfile(os.path.join(app_dir, "launcher.py"))
    assert os.path.isdir(os.path.join(app_dir, "dll"))
    assert not os.path.exists(os.path.join(app_dir, "dll", "RemotePhoneService.dll")), \
        "the simulated handset link must never reach the users' folder"
    for image in ["hola.ico", "hola.png", "es.png", "whatsapp.png"]:
        assert os.path.isfile(os.path.join(app_dir, "img", image))
    for lang in LANGUAGES:
        assert os.path.isfile(os.path.join(app_dir, "locale", lang, "LC_MESSAGES", f"{lang}.mo")), lang


def _import_in_child(app_dir, code, env_changes):
    env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
    env.update(env_changes)
    return subprocess.run([sys.executable, "-c", f"import sys; sys.path.insert(0, {app_dir!r}); {code}"],
                          capture_output=True, text=True, env=env, cwd=app_dir, timeout=60)


def test_modules_import_without_display_and_start_nothing(app_dir, tmp_path):
    code = ("import os; os.chdir(%r); import phonewatch, crmprocs, crmapi, dirscrape, conf; "
            "print(sorted(os.listdir('.')), phonewatch.clr is not None)") % str(tmp_path)
    result = _import_in_child(app_dir, code, {})
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["[]", "True"], "importing must create no file and load the link library"


def test_phonewatch_imports_when_no_dotnet_runtime_can_start(app_dir):
    result = _import_in_child(app_dir, "import phonewatch; print(phonewatch.clr)", {"PYTHONNET_RUNTIME": "bogus"})
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "None"


# ---- the build path on a machine without gettext's tools, as a Windows PC is ----

GETTEXT_TOOLS = ("msgfmt", "msgcat")
ROOT = Path(__file__).resolve().parents[1]
PYTHON = Path(sys.executable)
CMAKE = shutil.which("cmake", path=str(PYTHON.parent)) or "cmake"  # the venv's, from PyPI


def _path_without(tools, shadows):
    """PATH with each folder that holds one of `tools` replaced by links to everything else in it."""
    folders = []
    for number, folder in enumerate(os.environ.get("PATH", "").split(os.pathsep)):
        if folder and any(os.path.exists(os.path.join(folder, tool)) for tool in tools):
            shadow = shadows / str(number)
            shadow.mkdir(parents=True)
            for name in os.listdir(folder):
                if name not in tools:
                    (shadow / name).symlink_to(os.path.join(folder, name))
            folder = str(shadow)
        folders.append(folder)
    return os.pathsep.join(folders)


def _copy_sources(target):
    """What the build reads: the checkout without its build output, tests and stand-ins."""
    def skip(folder, names):
        at_top = Path(folder) == ROOT
        return [n for n in names if n == "__pycache__" or at_top and (
            n in {".git", ".venv", "dist", "tests", "emulators", "bench"} or n.startswith("build"))]
    shutil.copytree(ROOT, target, ignore=skip)


def test_catalogues_build_without_gettext_tools_and_a_broken_one_fails_the_build(tmp_path):
    source, build = tmp_path / "src", tmp_path / "build"
    _copy_sources(source)
    env = dict(os.environ, PATH=_path_without(GETTEXT_TOOLS, tmp_path / "path"))
    assert not any(shutil.which(tool, path=env["PATH"]) for tool in GETTEXT_TOOLS)
    pybind11_dir = subprocess.run([str(PYTHON), "-m", "pybind11", "--cmakedir"], capture_output=True, text=True,
                                  check=True).stdout.strip()
    configure = subprocess.run([CMAKE, "-S", str(source), "-B", str(build), f"-DPython_EXECUTABLE={PYTHON}",
                                f"-Dpybind11_DIR={pybind11_dir}"], capture_output=True, text=True, env=env)
    assert configure.returncode == 0, configure.stdout + configure.stderr

    def build_resources():
        return subprocess.run([CMAKE, "--build", str(build), "--target", "app_resources"],
                              capture_output=True, text=True, env=env)

    done = build_resources()
    assert done.returncode == 0, done.stdout + done.stderr
    locale = build / "app" / "locale"
    for lang in LANGUAGES:
        assert (locale / lang / "LC_MESSAGES" / f"{lang}.mo").is_file(), lang
    german = gettext.translation("de", str(locale), ["de"])
    assert german.gettext("Apagar") == "Beenden"
    assert german.gettext("La aplicación ya está en marcha") == "Die Anwendung läuft bereits"

    broken = source / "locale" / "fr" / "conf.po"
    broken.write_text(broken.read_text(encoding="utf-8") + '\nmsgid "Sin cerrar"\nmsgstr "Pas fermé\n',
                      encoding="utf-8")
    done = build_resources()
    assert done.returncode != 0
    assert os.path.join("fr", "conf.po") in done.stdout + done.stderr


def _po(body, plural_forms=True):
    head = ('msgid ""\nmsgstr ""\n"Content-Type: text/plain; charset=UTF-8\\n"\n"Language: en\\n"\n'
            + ('"Plural-Forms: nplurals=2; plural=(n != 1);\\n"\n' if plural_forms else ""))
    return head + "\n" + body


@pytest.mark.parametrize("source,reason", [
    (_po('msgid "Abrir"\nmsgstr "Open\n'), "badly quoted"),
    (_po('msgid "Abrir"\nmsgstr "Open"\n\nmsgid "Abrir"\nmsgstr "Opened"\n'), "duplicate"),
    (_po('msgid "Abrir"\nmsgstr "Open"\n', plural_forms=False), "Plural-Forms"),
    (_po('msgid "Llamada"\nmsgid_plural "Llamadas"\nmsgstr[0] "Call"\n'), "plural"),
    (_po('#, c-format\nmsgid "%d llamadas de %s"\nmsgstr "%s calls"\n'), "placeholder"),
], ids=["quoting", "duplicate", "no-plural-forms", "plural-translations", "c-format"])
def test_compiler_refuses_a_catalogue_msgfmt_refuses(tmp_path, source, reason):
    po, mo = tmp_path / "bad.po", tmp_path / "out" / "bad.mo"
    po.write_text(source, encoding="utf-8")
    done = subprocess.run([str(PYTHON), str(ROOT / "tools" / "compile_catalogues.py"), "-o", str(mo), str(po)],
                          capture_output=True, text=True)
    assert done.returncode == 1
    assert "bad.po" in done.stderr and reason.lower() in done.stderr.lower(), done.stderr
    assert not mo.exists()


def test_compiler_merges_first_translation_first_and_leaves_out_fuzzy_and_empty(tmp_path):
    from tools import compile_catalogues
    first = tmp_path / "a.po"
    first.write_text(_po('msgid "Abrir"\nmsgstr "Open"\n\n#, fuzzy\nmsgid "Cerrar"\nmsgstr "Close"\n\n'
                         'msgid "Vacío"\nmsgstr ""\n'), encoding="utf-8")
    second = tmp_path / "b.po"
    second.write_text(_po('msgid "Abrir"\nmsgstr "Opened"\n\nmsgid "Buscar"\nmsgstr "Search"\n'), encoding="utf-8")
    compile_catalogues.compile_files([str(first), str(second)], str(tmp_path / "en" / "LC_MESSAGES" / "en.mo"))
    english = gettext.translation("en", str(tmp_path), ["en"])
    assert [english.gettext(t) for t in ("Abrir", "Buscar", "Cerrar", "Vacío")] == ["Open", "Search", "Cerrar", "Vacío"]


@pytest.mark.skipif(shutil.which("gio") is None, reason="needs GLib's gio (Debian package libglib2.0-bin)")
def test_make_autostart_writes_an_entry_the_session_starts_in_the_working_folder(tmp_path):
    dist, workdir = tmp_path / "dist", tmp_path / "Oficina de María"
    dist.mkdir()
    workdir.mkdir()
    program = dist / "callcompanion"
    program.write_text('#!/bin/sh\npwd > "$STARTED_IN.tmp" && mv "$STARTED_IN.tmp" "$STARTED_IN"\n')
    program.chmod(0o755)
    started_in = tmp_path / "started-in"
    env = dict(os.environ, XDG_CONFIG_HOME=str(tmp_path / "config"), STARTED_IN=str(started_in))
    done = subprocess.run(["make", "-s", "-C", str(ROOT), "autostart", f"DIST={dist}", f"WORKDIR={workdir}"],
                          capture_output=True, text=True, env=env)
    assert done.returncode == 0, done.stdout + done.stderr
    entry = tmp_path / "config" / "autostart" / "callcompanion.desktop"
    # GLib reads and starts the entry as a desktop session's autostart does.
    subprocess.run(["gio", "launch", str(entry)], check=True, env=env, timeout=30)
    wait_until(started_in.exists, 10, what="the program the entry starts")
    assert started_in.read_text().strip() == str(workdir)


@pytest.mark.skipif(shutil.which("clang-format", path=str(PYTHON.parent)) is None, reason="clang-format is not installed")
def test_cpp_sources_are_laid_out_as_clang_format_says():
    sources = subprocess.run(["git", "ls-files", "*.cpp", "*.hpp"], cwd=ROOT, capture_output=True, text=True,
                             check=True).stdout.split()
    sources = [s for s in sources if not s.endswith("embedded_images.hpp")]
    done = subprocess.run([shutil.which("clang-format", path=str(PYTHON.parent)), "--dry-run", "--Werror", *sources],
                          cwd=ROOT, capture_output=True, text=True)
    assert done.returncode == 0, "run make format:\n" + done.stderr[:2000]


# ---- the Windows gate's verdicts (make windows-check runs the gate itself, with mingw-w64) ----

def _objdump(imports, exports):
    """`objdump -p`'s import and export tables of a .pyd, as it prints them."""
    lines = ["The Import Tables (interpreted .idata section contents)",
             " vma:            Hint    Time      Forward  DLL       First"]
    for dll, symbols in imports.items():
        lines += ["", f"\tDLL Name: {dll}", "\tvma:  Hint/Ord Member-Name Bound-To"]
        lines += [f"\t7cf{n:02x}\t   {n}  {symbol}" for n, symbol in enumerate(symbols)]
    lines += ["", "The Export Tables (interpreted .edata section contents)", "", "Export Flags \t\t\t0",
              "Export Address Table -- Ordinal Base 1", "\t[   0] +base[   1] 2430 Export RVA", "",
              "[Ordinal/Name Pointer] Table"]
    lines += [f"\t[{n:4}] {symbol}" for n, symbol in enumerate(exports)]
    return "\n".join(lines + ["", "The Function Table (interpreted .pdata section contents)", ""])


def test_windows_gate_names_the_module_and_each_symbol_it_refuses():
    from tools import windows_check

    python = {"PyBaseObject_Type", "_Py_NoneStruct"}
    good = {"python311.dll": ["PyBaseObject_Type", "_Py_NoneStruct"], "KERNEL32.dll": ["CloseHandle"],
            "msvcrt.dll": ["malloc"]}
    assert windows_check.module_faults("conf", *windows_check.pe_tables(_objdump(good, ["PyInit_conf"])),
                                       python) == []

    bad = dict(good, **{"python311.dll": ["PyBaseObject_Type", "_PyOld_Gone"], "libstdc++-6.dll": ["_ZSt4cout"]})
    faults = windows_check.module_faults("conf", *windows_check.pe_tables(_objdump(bad, ["PyInit_conf", "stray"])),
                                         python)
    assert faults == ["conf.pyd exports stray: only PyInit_conf may be exported",
                      "conf.pyd imports _PyOld_Gone from python311.dll, which CPython 3.11 does not export",
                      "conf.pyd imports libstdc++-6.dll: only python311.dll and Windows' own DLLs may be "
                      "imported (mingw's runtime must be linked in)"]


def test_windows_gate_refuses_posix_headers_our_files_include_not_those_the_toolchain_does():
    from tools import windows_check

    root, mingw = windows_check.ROOT, "/usr/share/mingw-w64/include"
    pybind11 = root / ".venv" / "pybind11" / "include"
    stderr = "\n".join([f". {root}/common/py.hpp", f".. {pybind11}/pybind11/pybind11.h", f"... {mingw}/pthread.h",
                        f".. {mingw}/sys/time.h", f". {mingw}/unistd.h", "x.cpp:3: warning: something",
                        ". /usr/lib/gcc/x86_64-w64-mingw32/12-posix/include/c++/mutex",
                        f".. {mingw}/pthread.h", "Multiple include guards may be useful for:", __file__, ""])
    tree, messages = windows_check.include_tree(stderr)
    assert messages == ["x.cpp:3: warning: something\n"]
    assert windows_check.posix_includes(str(root / "crmapi" / "client.cpp"), tree, [pybind11]) == [
        (os.path.join("common", "py.hpp"), "sys/time.h"), (os.path.join("crmapi", "client.cpp"), "unistd.h")]



def pyinstaller_version_classes(monkeypatch):
    """PyInstaller's version-resource module. It loads only on Windows, for names its classes do
    not use (the resource writer's pefile and win32api); stand-ins let it load here."""
    import types

    import PyInstaller.compat
    monkeypatch.setitem(sys.modules, "pefile", types.ModuleType("pefile"))
    monkeypatch.setattr(PyInstaller.compat, "win32api", None, raising=False)
    monkeypatch.delitem(sys.modules, "PyInstaller.utils.win32.versioninfo", raising=False)
    import PyInstaller.utils.win32.versioninfo as versioninfo
    return versioninfo


def test_windows_file_properties_carry_the_built_version(app_dir, tmp_path, monkeypatch):
    """The version file callcompanion.spec gives the Windows executable, as PyInstaller loads it.
    (Its raw resource is made with the C sizes of Windows, so it is not made here.)"""
    from tools.version_resource import version_numbers, write_version_file

    versioninfo = pyinstaller_version_classes(monkeypatch)
    monkeypatch.syspath_prepend(app_dir)
    import conf
    path = write_version_file(str(tmp_path / "version.txt"), conf.PRODUCT_NAME, conf.__version__)
    read = versioninfo.load_version_info_from_text_file(path)
    major, minor, patch, build = version_numbers(conf.__version__)
    assert (read.ffi.fileVersionMS, read.ffi.fileVersionLS) == (major << 16 | minor, patch << 16 | build)
    assert (read.ffi.productVersionMS, read.ffi.productVersionLS) == (read.ffi.fileVersionMS, read.ffi.fileVersionLS)
    [table] = next(kid for kid in read.kids if kid.name == "StringFileInfo").kids
    fields = {entry.name: entry.val for entry in table.kids}
    assert fields["FileVersion"] == fields["ProductVersion"] == conf.__version__
    assert fields["ProductName"] == conf.PRODUCT_NAME and fields["OriginalFilename"] == "callcompanion.exe"
    assert version_numbers("2.5") == (2, 5, 0, 0)
    for bad in ("1.0.0-beta", "1.70000", "1.2.3.4.5"):
        with pytest.raises(ValueError):
            version_numbers(bad)
