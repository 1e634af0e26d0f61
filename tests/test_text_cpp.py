"""The plain C++ text logic, through its own test program (built beside the application)."""
import os
import subprocess
from pathlib import Path

import pytest


def test_text_logic(app_dir):
    program = Path(app_dir).parent / ("text_tests.exe" if os.name == "nt" else "text_tests")
    if not program.exists():
        pytest.fail(f"{program} was not built: run make build")
    done = subprocess.run([str(program)], capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stdout + done.stderr
