"""The application folder as users get it: six modules exporting only their entry points, the
resources beside them, and modules that import without a display or a .NET runtime."""
import glob
import os
import subprocess
import sys

import pytest

MODULES = ["phonewatch", "crmapi", "crmprocs", "dirscrape", "conf", "libquorvaconfig"]
LANGUAGES = ["ca", "de", "en", "es", "eu", "fr", "gl", "it", "nl", "no", "pt"]


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
