"""launcher.py's one-instance lock: one run per user whatever the folder, a second place when the
first cannot hold it, the folder of the running one told to a second start, nothing left behind."""
import os
import subprocess
import sys
import tempfile

import pytest

import launcher

HOLDER = ("import sys, launcher\n"
          "lock, path = launcher.hold_instance_lock()\n"
          "print(path, flush=True)\n"
          "sys.stdin.read()\n"
          "launcher.let_go(lock, path)\n")


@pytest.fixture
def places(tmp_path, monkeypatch):
    """A user whose runtime and cache folders cannot hold the lock (the cache is a file): only the
    temporary folder can."""
    temporary = tmp_path / "tmp"
    temporary.mkdir()
    (tmp_path / "cache").write_text("")
    monkeypatch.delenv("XDG_RUNTIME_DIR", raising=False)
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    monkeypatch.setenv("TMPDIR", str(temporary))
    monkeypatch.setattr(tempfile, "tempdir", None)
    return temporary


def test_a_second_start_from_another_folder_is_told_where_the_first_runs(places, tmp_path, monkeypatch, sg, app_dir):
    first, second = tmp_path / "a", tmp_path / "b"
    first.mkdir()
    second.mkdir()
    holder = subprocess.Popen([sys.executable, "-c", HOLDER], cwd=first, stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True, env={**os.environ, "PYTHONPATH": app_dir})
    try:
        held = holder.stdout.readline().strip()
        assert os.path.dirname(held) == str(places), "the temporary folder is the second place"

        monkeypatch.chdir(second)
        lock, path = launcher.hold_instance_lock()
        assert (lock, path) == (None, held)
        launcher.tell_already_running(launcher.running_folder(path))
        [(_, args, kwargs)] = sg.popups
        assert args == (f"La aplicación ya está en marcha\nEstá en marcha con la carpeta:\n{first}",)
        assert kwargs["title"] == "La aplicación ya está en marcha"
    finally:
        holder.communicate("", timeout=10)
    assert holder.returncode == 0 and os.listdir(places) == [], "the lock's files go with its run"
