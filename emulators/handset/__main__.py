"""Command line: python -m emulators.handset [--state FILE | --dll-dir DIR] CMD

CMD is ``ring NUMBER``, ``hangup``, ``unreachable`` or ``status``. Without
--state or --dll-dir the path comes from $HANDSET_STATE.
"""

import argparse
import os
import sys

from . import control


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m emulators.handset",
        description="Change or show the state of the handset stand-in.")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--state", metavar="FILE", help="state file to use")
    where.add_argument("--dll-dir", metavar="DIR",
                       help="folder holding %s; uses DIR/%s"
                       % (control.DLL_NAME, control.STATE_FILE_NAME))
    commands = parser.add_subparsers(dest="command", required=True)
    ring = commands.add_parser("ring", help="an incoming call")
    ring.add_argument("number")
    commands.add_parser("hangup", help="no call")
    commands.add_parser("unreachable", help="handset cannot be reached")
    commands.add_parser("status", help="print the current state")
    args = parser.parse_args(argv)

    if args.state:
        path = args.state
    elif args.dll_dir:
        path = control.state_path_for(args.dll_dir)
    elif os.environ.get(control.STATE_ENV):
        path = os.environ[control.STATE_ENV]
    else:
        parser.error("give --state, --dll-dir or set %s" % control.STATE_ENV)

    try:
        if args.command == "ring":
            control.ring(path, args.number)
        elif args.command == "hangup":
            control.hangup(path)
        elif args.command == "unreachable":
            control.unreachable(path)
        else:
            kind, number = control.status(path)
            print("%s %s" % (kind, number) if number else kind)
            return 0 if kind != "invalid" else 1
    except (control.HandsetError, OSError) as exc:
        print("handset: %s" % exc, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
