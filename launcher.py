"""Starts the call companion: the phonewatch object runs until the user chooses to shut down."""
import os
import sys

# The modules and their resources sit beside this file.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import phonewatch  # noqa: E402


def main():
    phonewatch.phonewatch()
    return 0


if __name__ == "__main__":
    sys.exit(main())
