"""Starts the call companion: the phonewatch object runs until the user chooses to shut down.

One run at a time per user and working folder: two trays would poll the same handset and open
every caller's page twice, so a second start says so in a popup and ends (status 0) before it
reads the handset, opens a window or goes to the network.

`launcher.py --version` prints the product's name and version and ends (status 0) without
starting anything.
"""
import configparser
import gettext
import hashlib
import os
import sys
import tempfile

# The modules and their resources sit beside this file.
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

ALREADY_RUNNING = "La aplicación ya está en marcha"


def resource_folder():
    """Where img/ and locale/ are: the bundle's folder in a one-file bundle, else beside this file
    (the rule conf.foldimg follows, without importing the modules yet)."""
    return getattr(sys, "_MEIPASS", HERE)


def lock_path(workdir=None):
    """The lock file of this user's run in `workdir` (the current folder).

    It never goes in the working folder, where the user keeps config.ini and would find a file
    they cannot place. On Linux it lives in the user's private runtime folder (XDG_RUNTIME_DIR,
    emptied at log-out) or, without one, in the user's cache folder; on Windows in the user's own
    temporary folder. The folder's path, hashed, keeps runs of different folders apart.
    """
    folder = os.path.normcase(os.path.realpath(workdir or os.getcwd()))
    digest = hashlib.sha256(folder.encode("utf-8", "surrogateescape")).hexdigest()[:16]
    if sys.platform == "win32":
        base = tempfile.gettempdir()
    else:
        base = os.environ.get("XDG_RUNTIME_DIR", "")
        if not os.path.isdir(base):
            cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
            base = os.path.join(cache, "callcompanion")
    return os.path.join(base, f"callcompanion-{digest}.lock")


def hold_instance_lock():
    """This run's lock, held until the process ends, or None when another run holds it.

    An OS file lock: the system lets go of it when the holder dies, even by kill -9, so a crash
    never blocks the next start. OSError when the lock file cannot be made at all.
    """
    from filelock import FileLock, Timeout

    path = lock_path()
    os.makedirs(os.path.dirname(path), mode=0o700, exist_ok=True)
    # No soft-lock fallback: a lock file left by a dead run would block every later start.
    lock = FileLock(path, timeout=0, mode=0o600, fallback_to_soft=False)
    try:
        lock.acquire()
    except Timeout:
        return None
    return lock


def stored_language():
    """The interface language stored in config.ini ([windows] idioma), None when unreadable."""
    parser = configparser.ConfigParser(interpolation=None)
    try:
        with open("config.ini", "rb") as f:
            # Only the ASCII language code is needed: Latin-1 reads it in any of the file's encodings.
            parser.read_string(f.read().decode("latin-1"))
        return parser.get("windows", "idioma").strip().lower() or None
    except (OSError, configparser.Error):
        return None


def translated(text, language):
    """`text` in `language` through the application's own catalogues; the Spanish text when
    there is no language or no catalogue for it."""
    if not language:
        return text
    try:
        catalogue = gettext.translation(language, os.path.join(resource_folder(), "locale"), [language])
    except OSError:
        return text
    return catalogue.gettext(text)


def tell_already_running():
    try:
        import FreeSimpleGUI as sg
    except ImportError:
        import PySimpleGUI as sg
    text = translated(ALREADY_RUNNING, stored_language())
    icon = os.path.join(resource_folder(), "img", "hola.ico" if sys.platform == "win32" else "hola.png")
    sg.popup(text, title=text, keep_on_top=True, auto_close=True, auto_close_duration=10,
             icon=icon if os.path.isfile(icon) else None)


def print_version():
    """The product's name and version, as the modules were built with them."""
    import conf
    print(f"{conf.PRODUCT_NAME} {conf.__version__}", flush=True)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if "--version" in argv:
        print_version()
        return 0
    try:
        lock = hold_instance_lock()
    except OSError as error:
        # Nowhere to keep the lock (a read-only profile): better unguarded than not at all.
        print("sin bloqueo:", error, flush=True)
        lock = True
    if lock is None:
        tell_already_running()
        return 0

    import phonewatch

    phonewatch.phonewatch()
    return 0


def handset_read_stuck():
    """Whether a read of the handset component is still going on: one that blocks keeps the
    handset watch's thread inside .NET, and the runtime's shutdown would then abort it and end the
    process with an error."""
    import threading
    return any(thread.name == "handset-watch" for thread in threading.enumerate())


if __name__ == "__main__":
    status = main()
    if handset_read_stuck():
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(status)
    sys.exit(status)
