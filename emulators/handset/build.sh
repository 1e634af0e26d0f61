#!/bin/sh
# Compile the handset stand-in into OUTDIR/RemotePhoneService.dll.
# Does nothing when the dll is already newer than its source, so callers
# (main build, test fixture, demo) can run it unconditionally.
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 OUTDIR" >&2
    exit 2
fi

here=$(cd "$(dirname "$0")" && pwd)
src="$here/RemotePhoneService.cs"
outdir=$1
out="$outdir/RemotePhoneService.dll"

if [ -f "$out" ] && [ ! "$src" -nt "$out" ]; then
    exit 0
fi

if ! command -v mcs >/dev/null 2>&1; then
    echo "$0: mcs not found (Debian package mono-mcs)" >&2
    exit 1
fi

mkdir -p "$outdir"
# Build in a private folder beside the target and rename, so a process
# loading the dll never sees a half-written file and parallel builds do not
# trip over each other. The file name must stay RemotePhoneService.dll while
# compiling: mcs takes the assembly name from it.
tmpdir=$(mktemp -d "$outdir/.handset-build.XXXXXX")
trap 'rm -rf "$tmpdir"' EXIT
mcs -nologo -target:library -optimize+ -out:"$tmpdir/RemotePhoneService.dll" "$src"
mv -f "$tmpdir/RemotePhoneService.dll" "$out"
