"""Stand-in for the handset component reached through pythonnet.

See README.md; ``control`` drives it, ``build.sh`` compiles it.
"""

from .control import (  # noqa: F401
    DLL_NAME, STATE_ENV, STATE_FILE_NAME, HandsetError,
    build, hangup, ring, state_path_for, status, unreachable,
)
