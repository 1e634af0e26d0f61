"""The handset stand-in, loaded through pythonnet exactly as the tray does.

The CLR runs in a child process (it cannot be unloaded, and a Mono abort
must not take the test run with it); the child answers one line of JSON per
command so the test can change the state between reads.
"""

import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

from emulators.handset import control

DRIVER = textwrap.dedent("""
    import json, sys, threading
    sys.path.append(sys.argv[1])
    import clr
    ref = clr.AddReference("RemotePhoneService")
    import JustRemotePhone.RemotePhoneService
    def answer(**kw):
        print(json.dumps(kw), flush=True)
    answer(assembly=ref.GetName().Name)
    app = None
    for line in sys.stdin:
        cmd = line.strip()
        try:
            if cmd == "new":
                app = JustRemotePhone.RemotePhoneService.Application("Zelvora_IA_Holded")
                answer(value=None)
            elif cmd == "connect":
                answer(value=app.BeginConnect(True))
            elif cmd == "read":
                answer(value=app.Phone.ActiveNumber)
            elif cmd == "read-in-thread":
                # As the tray's background reader does: a new thread, while the main one waits.
                seen = {}
                def body():
                    try:
                        seen["value"] = app.Phone.ActiveNumber
                    except Exception as exc:
                        seen["error"] = type(exc).__name__
                thread = threading.Thread(target=body)
                thread.start()
                thread.join()
                answer(**seen)
        except Exception as exc:
            answer(error=type(exc).__name__)
""")


class ClrChild:
    def __init__(self, dll_dir, env=None):
        self.proc = subprocess.Popen(
            [sys.executable, "-W", "ignore", "-c", DRIVER, str(dll_dir)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            text=True, env=env)
        self.assembly = self._answer()["assembly"]

    def _answer(self):
        line = self.proc.stdout.readline()
        if not line:
            self.proc.kill()
            raise AssertionError(
                "pythonnet child died (exit %s); Mono's netstandard facade "
                "comes with the Debian package mono-devel:\n%s"
                % (self.proc.wait(), self.proc.stderr.read()[-2000:]))
        return json.loads(line)

    def __call__(self, cmd):
        self.proc.stdin.write(cmd + "\n")
        self.proc.stdin.flush()
        return self._answer()

    def close(self):
        self.proc.stdin.close()
        assert self.proc.wait(timeout=30) == 0, self.proc.stderr.read()
        self.proc.stderr.close()
        self.proc.stdout.close()


@pytest.fixture
def clr_child():
    children = []

    def start(dll_dir, env=None):
        children.append(ClrChild(dll_dir, env))
        return children[-1]

    yield start
    for child in children:
        child.close()


def test_active_number_follows_the_handset(handset, clr_child):
    phone = clr_child(handset.dll_dir)
    assert phone.assembly == "RemotePhoneService"
    assert phone("new") == {"value": None}
    assert phone("read") == {"error": "InvalidOperationException"}
    assert phone("connect") == {"value": None}

    assert phone("read") == {"value": ""}  # no state file yet
    handset.ring("+34 600 111 222")
    assert phone("read") == {"value": "+34 600 111 222"}
    handset.ring("911222333")
    assert phone("read") == {"value": "911222333"}
    handset.hangup()
    assert phone("read") == {"value": ""}
    handset.unreachable()
    assert phone("read") == {"error": "HandsetUnreachableException"}
    assert phone("read") == {"error": "HandsetUnreachableException"}
    handset.state_path.write_text("ringing\n")
    assert phone("read") == {"error": "InvalidDataException"}
    handset.state_path.unlink()
    assert phone("read") == {"value": ""}


def test_active_number_can_be_read_from_another_thread(handset, clr_child):
    phone = clr_child(handset.dll_dir)
    phone("new"), phone("connect")
    handset.ring("622334455")
    assert [phone("read-in-thread") for _ in range(3)] == [{"value": "622334455"}] * 3
    assert phone("read") == {"value": "622334455"}
    handset.unreachable()
    assert phone("read-in-thread") == {"error": "HandsetUnreachableException"}


def test_app_folder_is_self_contained(handset, clr_child, tmp_path):
    handset.ring("600111222")
    dll_dir = handset.install_into(tmp_path / "app")
    assert dll_dir == tmp_path / "app" / "dll"
    assert handset.state_path == dll_dir / "handset.state"
    phone = clr_child(dll_dir)
    phone("new"), phone("connect")
    assert phone("read") == {"value": "600111222"}
    handset.unreachable()
    assert phone("read") == {"error": "HandsetUnreachableException"}


def test_environment_overrides_state_location(handset, clr_child, tmp_path):
    elsewhere = tmp_path / "elsewhere.state"
    control.ring(elsewhere, "955000111")
    handset.unreachable()
    env = dict(os.environ, HANDSET_STATE=str(elsewhere))
    phone = clr_child(handset.dll_dir, env)
    phone("new"), phone("connect")
    assert phone("read") == {"value": "955000111"}


def cli(*args, env=None):
    return subprocess.run(
        [sys.executable, "-m", "emulators.handset", *args],
        capture_output=True, text=True, env=env)


def test_control_command(tmp_path):
    state = str(tmp_path / "handset.state")
    assert cli("--state", state, "status").stdout == "idle\n"
    assert cli("--dll-dir", str(tmp_path), "ring", "+34 600 111 222").returncode == 0
    assert cli("--state", state, "status").stdout == "ring +34 600 111 222\n"

    env = dict(os.environ, HANDSET_STATE=state)
    assert cli("unreachable", env=env).returncode == 0
    assert cli("--state", state, "status").stdout == "unreachable\n"
    assert cli("--state", state, "hangup").returncode == 0
    assert cli("--state", state, "status").stdout == "idle\n"

    bad = cli("--state", state, "ring", "  ")
    assert bad.returncode == 1 and "number" in bad.stderr
    assert cli("--state", state, "status").stdout == "idle\n"
    assert cli("--state", str(tmp_path / "no" / "such"), "hangup").returncode == 1
    env.pop("HANDSET_STATE")
    assert cli("hangup", env=env).returncode == 2
    assert sorted(os.listdir(tmp_path)) == ["handset.state"]  # no temp leftovers

    (tmp_path / "handset.state").write_text("ring\n")
    garbled = cli("--state", state, "status")
    assert (garbled.returncode, garbled.stdout) == (1, "invalid ring\n")


def test_build_only_when_source_is_newer(tmp_path):
    src = tmp_path / "src"
    src.mkdir()
    shutil.copy2(control.BUILD_SCRIPT, src)
    shutil.copy2(control.SOURCE, src)
    out = tmp_path / "out"

    def build():
        subprocess.run(["sh", str(src / "build.sh"), str(out)], check=True)
        return (out / control.DLL_NAME).stat().st_mtime_ns

    first = build()
    assert build() == first
    later = first / 1e9 + 10
    os.utime(src / "RemotePhoneService.cs", (later, later))
    assert build() != first
    assert os.listdir(out) == [control.DLL_NAME]
