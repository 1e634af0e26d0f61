#!/usr/bin/env python3
"""The Windows gate: cross-builds the extension modules for CPython 3.11 on 64-bit Windows with
Debian's mingw-w64 and checks what each ``.pyd`` exports and imports.

1. CPython 3.11's Windows headers (``Include/`` and ``PC/pyconfig.h`` of its source, as Debian
   ships it) are fetched once into the cache folder.
2. The names ``python311.dll`` exports are read from those headers as a Windows build of an
   extension sees them (every ``PyAPI_FUNC``/``PyAPI_DATA``), and dlltool makes an import library
   of them.
3. CMakeLists.txt is configured with cmake/mingw-w64.cmake and builds each module it adds, as it
   adds it (the same source lists, options and warnings as errors). Every compilation goes
   through this script (``--compile``), which fails a source of ours that includes a POSIX
   header MSVC lacks: mingw-w64 has them, Windows' own compiler has not.
4. Each ``.pyd`` must export ``PyInit_<name>`` only, import nothing but ``python311.dll`` and
   Windows' own DLLs (mingw's C++ runtime is linked in), and import from ``python311.dll`` only
   names it exports.

Run ``python tools/windows_check.py --build DIR --cache DIR`` (``make windows-check``); it exits
with 1 and names the module and the symbol when anything is wrong.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import urllib.request
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
MINGW = "x86_64-w64-mingw32"
TOOLS = {"cc": f"{MINGW}-gcc-posix", "cxx": f"{MINGW}-g++-posix", "dlltool": f"{MINGW}-dlltool",
         "objdump": f"{MINGW}-objdump"}
# The cross toolchain's Debian packages, for the message when a tool is missing.
DEBS = "g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-tools"
# CMake's toolchain file sets the same: CPython's Windows pyconfig.h sets it for MSVC only.
WINDOWS_DEFINES = ["-DMS_WIN64"]

# CPython's source as Debian's archive keeps it (the same file in both pools).
CPYTHON = "Python-3.11.2"
CPYTHON_TARBALL = "python3.11_3.11.2.orig.tar.gz"
CPYTHON_SHA256 = "2411c74bda5bbcfcddaf4531f66d1adc73f247f529aee981b029513aefdbf849"
CPYTHON_POOLS = ("http://deb.debian.org/debian/pool/main/p/python3.11/",
                 "http://deb.debian.org/debian-security/pool/updates/main/p/python3.11/")
# Headers of CPython's that need a third-party library's own headers; neither declares API.
UNPROBED_HEADERS = {"py_curses.h", "pyexpat.h"}

# POSIX headers that mingw-w64 provides and MSVC and the Windows SDK do not.
POSIX_ONLY = ("unistd.h", "sys/unistd.h", "dirent.h", "pthread.h", "sched.h", "semaphore.h",
              "strings.h", "libgen.h", "getopt.h", "utime.h", "ftw.h", "sys/time.h", "sys/param.h",
              "sys/file.h")
# DLLs every Windows has; anything else would have to ship beside the modules.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "user32.dll", "gdi32.dll", "winspool.drv",
               "shell32.dll", "ole32.dll", "oleaut32.dll", "comdlg32.dll", "advapi32.dll",
               "ws2_32.dll", "bcrypt.dll", "shlwapi.dll", "version.dll", "crypt32.dll",
               "secur32.dll"}
PYTHON_DLL = "python311.dll"


def run(command, **options):
    return subprocess.run([str(part) for part in command], check=True, **options)


# ---- 1. CPython's Windows headers ----

def windows_headers(cache: Path) -> Path:
    """The folder of Python.h and the Windows pyconfig.h, fetched into the cache the first time."""
    include = cache / f"{CPYTHON}-windows-include"
    if (include / "Python.h").is_file() and (include / "pyconfig.h").is_file():
        return include
    cache.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=cache) as scratch:
        tarball = Path(scratch) / CPYTHON_TARBALL
        download(tarball)
        staged = Path(scratch) / "include"
        with tarfile.open(tarball) as archive:
            for member in archive.getmembers():
                name = member.name.removeprefix(f"{CPYTHON}/")
                target = windows_header_path(name)
                if target and member.isfile():
                    (staged / target).parent.mkdir(parents=True, exist_ok=True)
                    (staged / target).write_bytes(archive.extractfile(member).read())
        if not (staged / "pyconfig.h").is_file():
            sys.exit(f"windows-check: {CPYTHON_TARBALL} holds no PC/pyconfig.h")
        shutil.rmtree(include, ignore_errors=True)
        try:
            staged.rename(include)
        except OSError:  # another run has just put them there
            if not (include / "pyconfig.h").is_file():
                raise
    return include


def windows_header_path(name: str) -> str | None:
    """Where a file of CPython's source goes in a Windows installation's include folder."""
    if name == "PC/pyconfig.h":
        return "pyconfig.h"
    if name.startswith("Include/") and ".." not in name.split("/"):
        return name.removeprefix("Include/")
    return None


def download(tarball: Path):
    print(f"windows-check: fetching CPython's headers ({CPYTHON_TARBALL}, once)", flush=True)
    failures = []
    for pool in CPYTHON_POOLS:
        try:
            with urllib.request.urlopen(pool + CPYTHON_TARBALL, timeout=60) as answer:
                tarball.write_bytes(answer.read())
        except OSError as error:
            failures.append(f"{pool}: {error}")
            continue
        if hashlib.sha256(tarball.read_bytes()).hexdigest() == CPYTHON_SHA256:
            return
        failures.append(f"{pool}: the file's SHA-256 is not the expected one")
    sys.exit("windows-check: could not fetch CPython's source\n  " + "\n  ".join(failures))


# ---- 2. the names python311.dll exports, and its import library ----

def exported_names(include: Path, work: Path) -> dict[str, bool]:
    """Every name the headers declare PyAPI_FUNC (False) or PyAPI_DATA (True) on Windows."""
    probe = work / "python_api.c"
    headers = sorted(p.name for p in include.glob("*.h") if p.name not in UNPROBED_HEADERS)
    probe.write_text("".join(f"#include <{name}>\n" for name in ["Python.h", *headers]) +
                     '_Static_assert(sizeof(Py_ssize_t) == 8 && SIZEOF_VOID_P == 8, "64-bit ABI");\n')
    flags = [*WINDOWS_DEFINES, "-I", include]
    run([TOOLS["cc"], "-fsyntax-only", *flags, probe])
    text = run([TOOLS["cc"], "-E", *flags, probe], capture_output=True, text=True).stdout
    return api_declarations(text, include)


def api_declarations(preprocessed: str, include: Path) -> dict[str, bool]:
    """The dllimport declarations of the preprocessed text that come from the headers in `include`."""
    ours, keep = [], False
    for line in preprocessed.splitlines():
        marker = re.match(r'# \d+ "([^"]*)"', line)
        if marker:
            keep = Path(marker.group(1)).resolve().is_relative_to(include.resolve())
        elif keep:
            ours.append(line)
    names = {}
    for statement in re.split(r"[;{}]", " ".join(ours)):
        if "dllimport" not in statement:
            continue
        declaration = without_attributes(statement)
        pointer = re.match(r"[^(]*\(\s*\*\s*(\w+)\s*\)", declaration)  # a pointer to a function
        name = pointer.group(1) if pointer else re.findall(r"\w+", re.split(r"[(\[]", declaration)[0])[-1]
        names[name] = bool(pointer) or re.search(r"\bextern\b", declaration) is not None
    return names


def without_attributes(text: str) -> str:
    while (start := text.find("__attribute__")) >= 0:
        depth, end = 0, text.index("(", start)
        while True:
            depth += {"(": 1, ")": -1}.get(text[end], 0)
            if depth == 0:
                break
            end += 1
        text = text[:start] + " " + text[end + 1:]
    return text


def import_library(names: dict[str, bool], work: Path) -> Path:
    """libpython311.dll.a, remade only when the list of names changes."""
    definition = work / "python311.def"
    library = work / "libpython311.dll.a"
    text = f"LIBRARY {PYTHON_DLL}\nEXPORTS\n" + "".join(
        f"{name}{' DATA' if data else ''}\n" for name, data in sorted(names.items()))
    if not library.is_file() or not definition.is_file() or definition.read_text() != text:
        definition.write_text(text)
        run([TOOLS["dlltool"], "--input-def", definition, "--output-lib", library])
    return library


# ---- 3. the cross-build ----

def module_names() -> list[str]:
    """The modules CMakeLists.txt adds, in its order."""
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.findall(r"^\s*add_app_module\(\s*(\w+)", text, re.MULTILINE)


def cmake() -> str:
    """The virtual environment's CMake (from PyPI), as `make build` uses."""
    beside = Path(sys.executable).parent / "cmake"
    return str(beside) if beside.exists() else "cmake"


def configure(build: Path, include: Path, library: Path):
    import pybind11

    foreign = os.pathsep.join([str(include), pybind11.get_include()])
    launcher = f"{sys.executable};{Path(__file__).resolve()};--compile;{foreign}"
    run([cmake(), "-S", ROOT, "-B", build, "-G", "Unix Makefiles",
         f"-DCMAKE_TOOLCHAIN_FILE={ROOT / 'cmake' / 'mingw-w64.cmake'}",
         f"-DPython_EXECUTABLE={sys.executable}", f"-DPython_INCLUDE_DIR={include}",
         # Both libraries given, so that FindPython asks nothing of the Linux interpreter's config.
         f"-DPython_LIBRARY={library}", f"-DPython_SABI_LIBRARY={library}",
         f"-Dpybind11_DIR={pybind11.get_cmake_dir()}", "-DWARNINGS_AS_ERRORS=ON",
         f"-DCMAKE_CXX_COMPILER_LAUNCHER={launcher}"], stdout=subprocess.DEVNULL)


def cross_build(build: Path, module: str) -> bool:
    print(f"windows-check: building {module}.pyd", flush=True)
    result = subprocess.run([cmake(), "--build", str(build), "--target", module, "-j", "2", "--",
                             "--no-print-directory"])
    return result.returncode == 0


# ---- every compilation: no POSIX-only header in our sources ----

def compile_source(foreign: list[str], command: list[str]) -> int:
    """Runs the compiler with -H and fails when one of our files includes a POSIX-only header."""
    result = subprocess.run([*command, "-H"], stderr=subprocess.PIPE, text=True, errors="replace")
    tree, messages = include_tree(result.stderr)
    sys.stderr.write("".join(messages))
    source = command[command.index("-c") + 1] if "-c" in command else ""
    faults = posix_includes(source, tree, [Path(folder).resolve() for folder in foreign])
    for includer, header in faults:
        print(f"windows-check: {includer} includes <{header}>, a POSIX header that MSVC does not have",
              file=sys.stderr)
    if faults and "-o" in command:
        Path(command[command.index("-o") + 1]).unlink(missing_ok=True)
    return result.returncode or (1 if faults else 0)


def include_tree(stderr: str) -> tuple[list[tuple[int, str]], list[str]]:
    """The compiler's -H lines as (depth, header), and its other messages."""
    tree, messages, guards = [], [], False
    for line in stderr.splitlines(keepends=True):
        entry = re.match(r"(\.+) (.+)$", line.rstrip("\n"))
        if entry:
            tree.append((len(entry.group(1)), entry.group(2)))
        elif line.startswith("Multiple include guards may be useful for:"):
            guards = True
        elif not (guards and os.path.isfile(line.strip())):
            messages.append(line)
    return tree, messages


def posix_includes(source: str, tree, foreign: list[Path]) -> list[tuple[str, str]]:
    """(our file, header) for each POSIX-only header that a file of this checkout includes itself."""
    def ours(path: str) -> bool:
        resolved = Path(path).resolve()
        return resolved.is_relative_to(ROOT) and not any(resolved.is_relative_to(f) for f in foreign)

    faults, stack = [], [source]
    for depth, header in tree:
        del stack[depth:]
        includer = stack[-1]
        stack.append(header)
        if ours(includer) and not ours(header):
            named = next((name for name in POSIX_ONLY if header.endswith("/" + name)), None)
            if named:
                faults.append((os.path.relpath(Path(includer).resolve(), ROOT), named))
    return faults


# ---- 4. what each module exports and imports ----

def pe_tables(objdump_text: str) -> tuple[list[str], dict[str, list[str]]]:
    """The exported names and the imported names per DLL, from `objdump -p`."""
    exports, imports, dll, section = [], {}, None, None
    for line in objdump_text.splitlines():
        if line.startswith("The Import Tables"):
            section = "imports"
        elif line.startswith("[Ordinal/Name Pointer] Table"):
            section = "exports"
        elif line.startswith("The "):
            section = None
        elif section == "imports" and (named := re.match(r"\tDLL Name: (\S+)", line)):
            dll = named.group(1)
            imports.setdefault(dll, [])
        elif section == "imports" and dll and (entry := re.match(r"\t[0-9a-f]+\t\s*\d+\s+(\S+)", line)):
            imports[dll].append(entry.group(1))
        elif section == "exports" and (entry := re.match(r"\t\[\s*\d+\] (\S+)", line)):
            exports.append(entry.group(1))
    return exports, imports


def module_faults(name: str, exports: list[str], imports: dict[str, list[str]],
                  python_names) -> list[str]:
    faults = [f"{name}.pyd exports {symbol}: only PyInit_{name} may be exported"
              for symbol in exports if symbol != f"PyInit_{name}"]
    if f"PyInit_{name}" not in exports:
        faults.append(f"{name}.pyd does not export PyInit_{name}")
    for dll, symbols in imports.items():
        if dll.lower() == PYTHON_DLL:
            faults += [f"{name}.pyd imports {symbol} from {PYTHON_DLL}, which CPython 3.11 does not export"
                       for symbol in symbols if symbol not in python_names]
        elif dll.lower() not in SYSTEM_DLLS:
            faults.append(f"{name}.pyd imports {dll}: only {PYTHON_DLL} and Windows' own DLLs may be "
                          "imported (mingw's runtime must be linked in)")
    if PYTHON_DLL not in (dll.lower() for dll in imports):
        faults.append(f"{name}.pyd does not import {PYTHON_DLL}")
    return faults


def check_module(path: Path, name: str, python_names) -> list[str]:
    if not path.is_file():
        return [f"{name}.pyd was not built"]
    text = run([TOOLS["objdump"], "-p", path], capture_output=True, text=True).stdout
    return module_faults(name, *pe_tables(text), python_names)


# ---- the whole gate ----

def gate(build: Path, cache: Path) -> list[str]:
    missing = [tool for tool in TOOLS.values() if not shutil.which(tool)]
    if missing:
        return [f"{', '.join(missing)} not found: install the Debian packages {DEBS}"]
    start = time.monotonic()
    build.mkdir(parents=True, exist_ok=True)
    include = windows_headers(cache)
    names = exported_names(include, build)
    configure(build, include, import_library(names, build))
    print(f"windows-check: {len(names)} names of {PYTHON_DLL} from CPython's headers; "
          f"configured in {time.monotonic() - start:.0f} s", flush=True)
    faults = []
    for module in module_names():
        if not cross_build(build, module):
            faults.append(f"{module}: the cross-build failed (the compiler's messages are above)")
            continue
        faults += check_module(build / "app" / f"{module}.pyd", module, names)
    print(f"windows-check: {len(module_names())} modules in {time.monotonic() - start:.0f} s", flush=True)
    return faults


def main(argv=None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["--compile"]:
        return compile_source(argv[1].split(os.pathsep), argv[2:])
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=Path, required=True, help="the cross-build's folder")
    parser.add_argument("--cache", type=Path, required=True, help="where CPython's headers are kept")
    options = parser.parse_args(argv)
    faults = gate(options.build.resolve(), options.cache.resolve())
    for fault in faults:
        print(f"windows-check: FAILED: {fault}")
    if not faults:
        print("windows-check: passed")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
