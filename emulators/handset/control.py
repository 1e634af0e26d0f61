"""Drive the handset stand-in by rewriting its state file.

The assembly reads the file on every poll, so a change is seen at the next
read of ``Phone.ActiveNumber``. Writes go through a temporary file and a
rename so that the reader only ever sees a whole state.
"""

import os
import subprocess
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
SOURCE = HERE / "RemotePhoneService.cs"
BUILD_SCRIPT = HERE / "build.sh"
DLL_NAME = "RemotePhoneService.dll"
STATE_FILE_NAME = "handset.state"
STATE_ENV = "HANDSET_STATE"

IDLE = "idle"
RING = "ring"
UNREACHABLE = "unreachable"


class HandsetError(Exception):
    """A state that cannot be written, or a build that failed."""


def state_path_for(dll_dir):
    """The state file the assembly in ``dll_dir`` reads by default."""
    return Path(dll_dir) / STATE_FILE_NAME


def build(outdir):
    """Compile the assembly into ``outdir`` (no-op when up to date)."""
    result = subprocess.run(
        ["sh", str(BUILD_SCRIPT), str(outdir)],
        capture_output=True, text=True,
    )
    if result.returncode != 0:
        raise HandsetError(
            "building %s failed (exit %d):\n%s%s"
            % (DLL_NAME, result.returncode, result.stdout, result.stderr))
    return Path(outdir) / DLL_NAME


def _write(state_path, line):
    state_path = Path(state_path)
    try:
        fd, tmp = tempfile.mkstemp(prefix=".handset-", dir=state_path.parent)
    except OSError as exc:
        raise HandsetError("cannot write %s: %s" % (state_path, exc.strerror)) from exc
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(line + "\n")
        os.replace(tmp, state_path)
    except BaseException:
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        raise


def ring(state_path, number):
    """An incoming call from ``number``: ActiveNumber returns it."""
    number = str(number).strip()
    if not number:
        raise HandsetError("a ringing handset needs a number")
    if "\n" in number or "\r" in number:
        raise HandsetError("the number must be a single line")
    _write(state_path, "%s %s" % (RING, number))


def hangup(state_path):
    """No call: ActiveNumber returns the empty text."""
    _write(state_path, IDLE)


def unreachable(state_path):
    """Handset or service gone: reading ActiveNumber raises."""
    _write(state_path, UNREACHABLE)


def delay(state_path, seconds):
    """Every read of ActiveNumber takes ``seconds`` first (a component that blocks); the state
    stays what it was. 0 reads at once again."""
    kind, number = status(state_path)
    line = {IDLE: IDLE, UNREACHABLE: UNREACHABLE}.get(kind, "%s %s" % (RING, number))
    _write(state_path, line + ("\ndelay %g" % seconds if seconds > 0 else ""))


def status(state_path):
    """The state as the assembly would see it: (kind, number).

    kind is ``idle``, ``ring``, ``unreachable`` or ``invalid`` (then
    ``number`` holds the offending line). Mirrors the parser in the .cs file.
    """
    try:
        text = Path(state_path).read_text(encoding="utf-8")
    except FileNotFoundError:
        return IDLE, ""
    lines = text.splitlines()
    line = lines[0].strip() if lines else ""
    if line in ("", IDLE):
        return IDLE, ""
    if line == UNREACHABLE:
        return UNREACHABLE, ""
    if line.startswith(RING + " ") and line[len(RING) + 1:].strip():
        return RING, line[len(RING) + 1:].strip()
    return "invalid", line
