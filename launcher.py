"""Starts the call companion: the phonewatch object runs until the user chooses to shut down.

One run at a time per user, whatever folder it is started from: two trays would poll the same
handset and open every caller's page twice, so a second start says so in a popup (naming the
folder the running one serves) and ends (status 0) before it reads the handset, opens a window
or goes to the network.

`launcher.py --version` prints the product's name and version and ends (status 0) without
starting anything.
"""
import configparser
import gettext
import getpass
import os
import re
import sys
import tempfile

# The modules and their resources sit beside this file.
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

ALREADY_RUNNING = "La aplicación ya está en marcha"
RUNNING_FOLDER = "Está en marcha con la carpeta:"
LOCK_SUFFIX = ".lock"
# Beside the lock, the working folder of the run that holds it, for the message of a second start.
FOLDER_SUFFIX = ".folder"


def resource_folder():
    """Where img/ and locale/ are: the bundle's folder in a one-file bundle, else beside this file
    (the rule conf.foldimg follows, without importing the modules yet)."""
    return getattr(sys, "_MEIPASS", HERE)


def user_name():
    """The user's login name, made safe for a file name; the user id when there is no name."""
    try:
        name = getpass.getuser()
    except Exception:  # no login name in the environment nor in the password database
        name = str(os.getuid()) if hasattr(os, "getuid") else "user"
    return re.sub(r"[^A-Za-z0-9._-]", "_", name) or "user"


def lock_places():
    """Where this user's lock may live, in order: the first place that can hold it is used.

    Never the working folder, where the user keeps config.ini and would find a file they cannot
    place. First the user's private runtime folder on Linux (XDG_RUNTIME_DIR, emptied at log-out)
    or, without one, the user's cache folder; on Windows the user's local application data. Then
    the user's temporary folder. The file is named by the user, so that one user's runs meet
    whatever folder they start in, and users sharing a temporary folder keep apart.
    """
    name = f"callcompanion-{user_name()}{LOCK_SUFFIX}"
    if sys.platform == "win32":
        base = os.path.join(os.environ.get("LOCALAPPDATA") or tempfile.gettempdir(), "callcompanion")
    else:
        base = os.environ.get("XDG_RUNTIME_DIR", "")
        if not os.path.isdir(base):
            cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
            base = os.path.join(cache, "callcompanion")
    places = [os.path.join(base, name)]
    fallback = os.path.join(tempfile.gettempdir(), name)
    if os.path.normcase(fallback) != os.path.normcase(places[0]):
        places.append(fallback)
    return places


def folder_note(path):
    return path[:-len(LOCK_SUFFIX)] + FOLDER_SUFFIX


def hold_instance_lock():
    """(lock, path): this run's lock, held until the run ends, and where it is; lock is None when
    another run holds it there.

    An OS file lock: the system lets go of it when the holder dies, even by kill -9, so a crash
    never blocks the next start. OSError when no place can hold the lock file at all.
    """
    from filelock import FileLock, Timeout

    failure = None
    for path in lock_places():
        # No soft-lock fallback: a lock file left by a dead run would block every later start.
        lock = FileLock(path, timeout=0, mode=0o600, fallback_to_soft=False)
        try:
            os.makedirs(os.path.dirname(path), mode=0o700, exist_ok=True)
            lock.acquire()
        except Timeout:  # an OSError too: asked first
            return None, path
        except OSError as error:
            failure = error
            continue
        try:
            with open(folder_note(path), "w", encoding="utf-8", errors="surrogateescape") as note:
                note.write(os.getcwd())
        except OSError:
            pass  # the second start then names no folder
        return lock, path
    raise failure


def let_go(lock, path):
    """Ends this run's hold on the lock and removes its files, so that no file stays behind."""
    try:
        os.unlink(folder_note(path))
    except OSError:
        pass
    if sys.platform != "win32":
        # Removed while still held, so that no start in between finds a file about to vanish.
        try:
            os.unlink(path)
        except OSError:
            pass
    lock.release()
    if sys.platform == "win32":
        try:
            os.unlink(path)
        except OSError:
            pass


def running_folder(path):
    """The working folder of the run that holds the lock at `path`; None when it did not say."""
    try:
        with open(folder_note(path), encoding="utf-8", errors="surrogateescape") as note:
            return note.read().strip() or None
    except OSError:
        return None


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


def tell_already_running(folder=None):
    try:
        import FreeSimpleGUI as sg
    except ImportError:
        import PySimpleGUI as sg
    language = stored_language()
    text = translated(ALREADY_RUNNING, language)
    lines = [text]
    if folder:
        lines += [translated(RUNNING_FOLDER, language), folder]
    icon = os.path.join(resource_folder(), "img", "hola.ico" if sys.platform == "win32" else "hola.png")
    sg.popup("\n".join(lines), title=text, keep_on_top=True, auto_close=True, auto_close_duration=10,
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
        lock, path = hold_instance_lock()
    except OSError as error:
        # Nowhere to keep the lock (a read-only profile): better unguarded than not at all.
        print("sin bloqueo de una sola ejecución:", error, flush=True)
        lock, path = None, None
    if lock is None and path is not None:
        tell_already_running(running_folder(path))
        return 0

    import phonewatch

    try:
        phonewatch.phonewatch()
    finally:
        if lock is not None:
            let_go(lock, path)
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
