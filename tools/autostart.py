#!/usr/bin/env python3
"""Write the XDG autostart entry that starts the application with the user's session (Linux).

    python tools/autostart.py EXECUTABLE WORKDIR      (make autostart WORKDIR=...)

The entry, $XDG_CONFIG_HOME/autostart/callcompanion.desktop (~/.config/autostart/ by default),
starts EXECUTABLE (the one-file bundle) in WORKDIR, the folder that holds the user's config.ini.
Writing it again replaces it; deleting the file ends the autostart. Standard library only.
"""
import argparse
import os
import sys
import tempfile

ENTRY_NAME = "callcompanion.desktop"
# Characters that make a desktop entry (the freedesktop.org format) quote an Exec argument.
RESERVED = set(" \t\n\"'\\><~|&;$*?#()`")


def string_value(text):
    """A value of type string: backslash and control characters escaped."""
    return (text.replace("\\", "\\\\").replace("\n", "\\n").replace("\t", "\\t").replace("\r", "\\r"))


def exec_argument(text):
    """One argument of the Exec key: quoted when needed, then escaped as a string value."""
    text = text.replace("%", "%%")  # a lone % would be a field code
    if any(c in RESERVED for c in text):
        text = '"' + "".join("\\" + c if c in '"`$\\' else c for c in text) + '"'
    return string_value(text)


def entry_text(executable, workdir):
    return (
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=Call companion for Holded\n"
        "Comment=Opens each caller's Holded contact page\n"
        f"Exec={exec_argument(executable)}\n"
        f"Path={string_value(workdir)}\n"
        "Terminal=false\n"
        "X-GNOME-Autostart-enabled=true\n"
    )


def autostart_folder():
    config = os.environ.get("XDG_CONFIG_HOME") or os.path.join(os.path.expanduser("~"), ".config")
    return os.path.join(config, "autostart")


def write_entry(executable, workdir):
    """Writes the entry (whole or not at all) and returns its path."""
    folder = autostart_folder()
    os.makedirs(folder, exist_ok=True)
    target = os.path.join(folder, ENTRY_NAME)
    fd, temporary = tempfile.mkstemp(prefix=".callcompanion-", dir=folder)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(entry_text(os.path.abspath(executable), os.path.abspath(workdir)))
        os.chmod(temporary, 0o644)
        os.replace(temporary, target)
    except BaseException:
        os.unlink(temporary)
        raise
    return target


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("executable", help="the program the session starts (dist/callcompanion)")
    parser.add_argument("workdir", help="the folder it starts in, where config.ini is")
    args = parser.parse_args(argv)
    if not os.access(args.executable, os.X_OK):
        print(f"{args.executable}: no executable there (make bundle builds it)", file=sys.stderr)
        return 1
    if not os.path.isdir(args.workdir):
        print(f"{args.workdir}: no such folder", file=sys.stderr)
        return 1
    print(write_entry(args.executable, args.workdir))
    return 0


if __name__ == "__main__":
    sys.exit(main())
